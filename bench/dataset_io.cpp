// Load and save time of a data set of about 160 MB (4 areas of 1000 x 1000
// points, 10 variables), each as a ratio to writing the same bytes with plain
// write(2) (into a new file, or truncating an existing one) or reading them into
// new memory with read(2), and the in-memory encode and decode times. A save over
// an existing file replaces it by rename, or, for a file with a second name, copies
// the complete content into it. The best of several runs is reported.

#include "BestOf.h"
#include "PlainFileIO.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace fs = std::filesystem;
using namespace orvex;

namespace {

constexpr int kAreas = 4;
constexpr int kSide = 1000;
constexpr int kVariables = 10;
constexpr int kRuns = 5;

ZelDataSet makeDataSet() {
    ZelDataSet set;
    for (int a = 0; a < kAreas; ++a) {
        auto* area = new ZelData(kSide, kSide, 0, "area " + std::to_string(a));
        for (int v = 0; v < kVariables; ++v) {
            const int index = area->addVariable(v == 0 ? Correlation : GlobalCoordinate, "v" + std::to_string(v), "");
            float* values = area->data(static_cast<std::size_t>(index));
            for (int p = 0; p < kSide * kSide; ++p)
                values[p] = static_cast<float>(p % 997) * 0.25f + static_cast<float>(v);
        }
        set.addData(area);
    }
    set.setReference("reference.tif");
    set.setDeformed("deformed.tif");
    return set;
}

} // namespace

int main() {
    const fs::path directory = fs::temp_directory_path() / ("bench_dataset_io-" + std::to_string(::getpid()));
    fs::create_directories(directory);
    const fs::path setPath = directory / "set.out";
    const fs::path rawPath = directory / "raw.bin";

    ZelDataSet set = makeDataSet();
    std::size_t size = 0;
    const std::unique_ptr<char[]> image(set.encode(size, false));
    if (!image) {
        std::fprintf(stderr, "encode failed\n");
        return 1;
    }

    bool ok = true;
    const auto newBytes = [](std::size_t count) { return std::unique_ptr<char[]>(new char[count]); };
    // Both writers create a new file, so that neither pays for releasing an old one.
    const double save =
        bestMilliseconds(kRuns, [&] { ok = set.save(setPath.string()) && ok; }, [&] { fs::remove(setPath); });
    const double write = bestMilliseconds(
        kRuns, [&] { ok = plainWrite(rawPath, image.get(), size) && ok; }, [&] { fs::remove(rawPath); });
    // Over an existing file: the old blocks are released by the rename or the truncation.
    // Each run starts with the earlier runs' data on the disk, so that none waits for them.
    const auto settled = [] { ::sync(); };
    const double replace = bestMilliseconds(kRuns, [&] { ok = set.save(setPath.string()) && ok; }, settled);
    const double overwrite =
        bestMilliseconds(kRuns, [&] { ok = plainWrite(rawPath, image.get(), size) && ok; }, settled);
    const fs::path secondName = directory / "second-name.out";
    const double inPlace = bestMilliseconds(
        kRuns, [&] { ok = set.save(setPath.string()) && ok; },
        [&] {
            fs::remove(secondName);
            fs::create_hard_link(setPath, secondName);
            settled();
        });
    ZelDataSet loaded;
    const double load = bestMilliseconds(kRuns, [&] { ok = loaded.load(setPath.string()) && ok; });
    const double read = bestMilliseconds(kRuns, [&] { ok = plainRead(rawPath, size, newBytes) && ok; });
    // In memory: the share of load and save that is not file I/O.
    const double encode = bestMilliseconds(kRuns, [&] { delete[] set.encode(size, false); });
    const double decode =
        bestMilliseconds(kRuns, [&] { ok = loaded.decode(image.get(), static_cast<int>(size), false) && ok; });
    fs::remove_all(directory);
    if (!ok || loaded.numData() != kAreas) {
        std::fprintf(stderr, "save or load failed\n");
        return 1;
    }

    std::printf("data set: %d areas of %d x %d points, %d variables, %.1f MB\n", kAreas, kSide, kSide, kVariables,
                static_cast<double>(size) / 1e6);
    std::printf("save %.1f ms, raw write %.1f ms: %.2fx (target 1.5x)\n", save, write, save / write);
    std::printf("save over a file %.1f ms (renamed over it), raw write over a file %.1f ms: %.2fx\n", replace,
                overwrite, replace / overwrite);
    std::printf("save into a file of two names %.1f ms (copied in place): %.2fx the raw write over a file\n",
                inPlace, inPlace / overwrite);
    std::printf("load %.1f ms, raw read  %.1f ms: %.2fx (target 1.5x)\n", load, read, load / read);
    std::printf("in memory: encode %.1f ms, decode %.1f ms\n", encode, decode);
    return 0;
}
