#pragma once
// Resident memory of this process from /proc/self/status, and the reset of its
// peak (Linux: writing 5 to /proc/self/clear_refs), to measure the peak growth of
// one piece of work.

#include <malloc.h>

#include <fstream>
#include <string>

// VmRSS (current) or VmHWM (peak since the last reset) in bytes; 0 when unknown.
inline double residentBytes(const char* field = "VmRSS:") {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(line.find(':') + 1)) * 1024.0;
    return 0.0;
}

// Peak resident growth in bytes while `work` runs; memory the allocator keeps
// from earlier work is returned to the system first.
template <class Work>
double peakGrowth(Work work) {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const double before = residentBytes();
    work();
    return residentBytes("VmHWM:") - before;
}
