#pragma once
// The percentage a text export reports while it writes: updated at the first
// written point of every area and at every 500th written point after it within
// that area, each update giving the accumulator rounded, the accumulator growing
// by 50000 / total points per update (so small areas may pass 100 before the end).

#include <cstdint>

namespace orvex {

class ExportProgress {
public:
    ExportProgress(int& progress, std::int64_t totalPoints)
        : progress_(progress), step_(static_cast<float>(50000.0 / static_cast<double>(totalPoints))) {}

    void startArea() { countdown_ = 0; }

    // Accounts for `count` further written points of the current area.
    void pointsWritten(std::int64_t count) {
        while (count > 0) {
            if (countdown_ == 0) {
                progress_ = static_cast<int>(accumulated_ + 0.5);
                accumulated_ += step_;
                countdown_ = UpdateInterval - 1;
                --count;
            } else {
                const std::int64_t skipped = count < countdown_ ? count : countdown_;
                countdown_ -= static_cast<int>(skipped);
                count -= skipped;
            }
        }
    }

private:
    static constexpr int UpdateInterval = 500;

    int& progress_;
    float step_;
    float accumulated_ = 0.0f;
    int countdown_ = 0;
};

} // namespace orvex
