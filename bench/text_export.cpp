// Times the CSV and Tecplot exports of one 1000 x 1000 area with 10 variables, on
// one thread and on the library's worker threads. bench/python/bench_text_export.py
// times numpy.savetxt(fmt="%g") of the same table for comparison.
#include "BestOf.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

constexpr int Side = 1000;
constexpr int Variables = 10;

// Values in [-1000, 1000) from a multiplicative hash of point and variable; the
// Python benchmark builds the same table.
orvex::ZelData* benchArea() {
    auto* area = new orvex::ZelData(Side, Side, Variables, "bench");
    for (int k = 0; k < Variables; ++k) {
        const std::string name = "v" + std::to_string(k);
        area->setVarAttributes(k, name, name, orvex::Unknown);
        float* values = area->data(static_cast<std::size_t>(k));
        for (std::uint32_t p = 0; p < static_cast<std::uint32_t>(Side * Side); ++p) {
            const std::uint32_t hash = p * 2654435761u + static_cast<std::uint32_t>(k) * 40503u;
            values[p] = static_cast<float>(hash / 4294967296.0 * 2000.0 - 1000.0);
        }
    }
    return area;
}

bool timeExport(const orvex::ZelDataSet& set, orvex::ZelDataSet::Format format, const char* label,
                const std::string& path) {
    for (const int threads : {1, 0}) {
        orvex::CPUInfo::forceThreads(threads);
        int progress = 0;
        bool ok = true;
        const double best = bestMilliseconds(5, [&] {
            ok = set.exportAs(path, format, progress, orvex::Type3d, nullptr, false, false, false) && ok;
        });
        if (!ok)
            return false;
        const double megabytes = std::filesystem::file_size(path) / 1e6;
        std::printf("%-8s export of 10^6 points x 10 variables (%.1f MB), %d thread(s): %8.1f ms, %7.1f MB/s\n", label,
                    megabytes, orvex::CPUInfo::numCPU(), best, megabytes / (best / 1e3));
    }
    orvex::CPUInfo::forceThreads(0);
    return true;
}

} // namespace

int main() {
    orvex::ZelDataSet set;
    set.addData(benchArea());
    set.setDeformed("bench.tif");
    std::string pattern = (std::filesystem::temp_directory_path() / "bench_text_export-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const std::filesystem::path directory = pattern;
    const bool ok = timeExport(set, orvex::ZelDataSet::Csv, "CSV", (directory / "table.csv").string()) &&
                    timeExport(set, orvex::ZelDataSet::Tecplot, "Tecplot", (directory / "table.dat").string());
    std::filesystem::remove_all(directory);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak resident memory: %.0f MB (the table itself: 40 MB)\n", usage.ru_maxrss / 1e3);
    return ok ? 0 : 1;
}
