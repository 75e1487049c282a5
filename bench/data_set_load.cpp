// Times orvex::ZelDataSet::load of one 1000 x 1000 area with 10 variables (40 MB),
// the figure that bench/python/bench_values.py compares the module's load with.
#include "BestOf.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

int main() {
    constexpr int side = 1000;
    constexpr int variables = 10;
    auto* area = new orvex::ZelData(side, side, variables, "bench");
    std::mt19937 random(1);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (int v = 0; v < variables; ++v) {
        const auto type = v == 0 ? orvex::Correlation : orvex::Unknown;
        area->setVarAttributes(v, "v" + std::to_string(v), "v" + std::to_string(v), type);
        std::generate(area->data(v), area->data(v) + area->matrixSize(), [&] { return uniform(random); });
    }
    orvex::ZelDataSet dataSet;
    dataSet.addData(area);
    const auto path = std::filesystem::temp_directory_path() / "bench_data_set_load-0001_0.out";
    if (!dataSet.save(path.string())) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        return 1;
    }
    const double megabytes = std::filesystem::file_size(path) / 1e6;
    // Each run loads into an empty set: releasing the previous areas is not timed.
    orvex::ZelDataSet loaded;
    bool ok = true;
    const double best =
        bestMilliseconds(7, [&] { ok = loaded.load(path.string()) && ok; }, [&] { loaded.clear(); });
    std::filesystem::remove(path);
    if (!ok)
        return 1;
    std::printf("orvex::ZelDataSet::load of a %.0f MB file: %8.2f ms\n", megabytes, best);
    return 0;
}
