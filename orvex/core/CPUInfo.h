#pragma once

namespace orvex {

// Process-wide worker-thread count and processor-feature mask. The thread count may
// be forced from any thread while others read it.
class CPUInfo {
public:
    // The forced thread count when above 0, otherwise the hardware concurrency (may be 0).
    static int numCPU();
    // Forces the thread count; 0 or a negative count returns to the hardware concurrency.
    static void forceThreads(int count);

    // Always 7: the processor is not probed.
    static int detectFeatures();
    // The feature mask: detected on first use unless forced.
    static int features();
    static void forceFeatures(int mask);
};

} // namespace orvex
