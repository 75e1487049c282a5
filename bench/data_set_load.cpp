// Times orvex::ZelDataSet::load of a data set of about 160 MB (4 areas of 1000 x 1000
// points, 10 variables) beside the fastest plain way of bringing the same bytes into
// memory: open and one read(2) into freshly allocated memory. Both are the best of
// several runs; the peak resident growth of one load is reported as a ratio to the
// file's size. The area values go into 2 MiB-aligned memory advised for huge pages,
// so a plain read into the same kind of memory is shown as well.
#include "BestOf.h"
#include "PeakMemory.h"
#include "PlainFileIO.h"
#include "orvex/core/LargeBuffer.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kAreas = 4;
constexpr int kSide = 1000;
constexpr int kVariables = 10;
constexpr int kRuns = 7;

orvex::ZelDataSet makeDataSet() {
    orvex::ZelDataSet set;
    std::mt19937 random(1);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (int a = 0; a < kAreas; ++a) {
        auto* area = new orvex::ZelData(kSide, kSide, kVariables, "area " + std::to_string(a));
        for (int v = 0; v < kVariables; ++v) {
            const auto type = v == 0 ? orvex::Correlation : orvex::Unknown;
            area->setVarAttributes(v, "v" + std::to_string(v), "v" + std::to_string(v), type);
            float* values = area->data(static_cast<std::size_t>(v));
            for (int p = 0; p < area->matrixSize(); ++p)
                values[p] = uniform(random);
        }
        set.addData(area);
    }
    return set;
}

} // namespace

int main() {
    std::string pattern = (fs::temp_directory_path() / "bench_data_set_load-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const fs::path directory = pattern;
    const fs::path path = directory / "set-0001_0.out";
    bool ok = makeDataSet().save(path.string());
    const std::size_t size = ok ? fs::file_size(path) : 0;

    // Each load goes into an empty set: releasing the previous areas is not timed.
    orvex::ZelDataSet loaded;
    const double peak = peakGrowth([&] { ok = loaded.load(path.string()) && ok; });
    loaded.clear();
    const double load = bestMilliseconds(kRuns, [&] { ok = loaded.load(path.string()) && ok; }, [&] { loaded.clear(); });
    const auto plainMemory = [](std::size_t bytes) { return std::unique_ptr<char[]>(new char[bytes]); };
    const auto hugePageMemory = [](std::size_t bytes) { return orvex::makeLargeBuffer<char>(bytes); };
    const double read = bestMilliseconds(kRuns, [&] { ok = plainRead(path, size, plainMemory) && ok; });
    const double hugePageRead = bestMilliseconds(kRuns, [&] { ok = plainRead(path, size, hugePageMemory) && ok; });
    ok = ok && loaded.numData() == kAreas;
    fs::remove_all(directory);
    if (!ok) {
        std::fprintf(stderr, "the data set could not be saved or loaded\n");
        return 1;
    }
    std::printf("data set: %d areas of %d x %d points, %d variables, %.1f MB\n", kAreas, kSide, kSide, kVariables,
                static_cast<double>(size) / 1e6);
    std::printf("orvex::ZelDataSet::load %8.2f ms, open + read(2) into new memory %8.2f ms: %.2fx (target 1.3x)\n",
                load, read, load / read);
    std::printf("  the same read(2) into memory the load's way (2 MiB aligned, huge pages advised) %8.2f ms: %.2fx\n",
                hugePageRead, load / hugePageRead);
    std::printf("peak resident growth during load: %.1f MB, %.2fx the file (target 1.15x)\n", peak / 1e6,
                peak / static_cast<double>(size));
    return 0;
}
