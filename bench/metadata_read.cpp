// Reading data-set metadata: 32 MB of area records against one plain parse of the
// same text with nlohmann-json, also as the load of a data-set file that holds
// them; 50,000 empty members; and 32 MB of empty arrays (whose parsed form would
// take 23 times the text), skipped in an unused member and refused in the
// calibration, which is kept whole. Times are the best of several runs; peak memory
// is the growth of the resident set during one read.
#include "BestOf.h"
#include "PeakMemory.h"
#include "orvex/data/MetaData.h"
#include "orvex/data/ZelDataSet.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

using MetaData = orvex::ZelDataSet::Private::MetaData;

namespace {

constexpr std::size_t kTextSize = std::size_t{32} << 20;
constexpr int kRuns = 3;

std::string areaRecords() {
    std::string text = R"({"aois":{)";
    for (int i = 0; text.size() < kTextSize; ++i)
        text += "\"" + std::to_string(i) +
                R"(":{"step_size":5,"subset_size":29,"vars":{"exx":{"strain_filter_size":15,"strain_tensor_type":"lagrange"}}},)";
    return text + R"("-1":{"step_size":1}}})";
}

std::string repeated(const std::string& open, const std::string& element, std::size_t size, const std::string& close) {
    std::string text = open;
    while (text.size() < size)
        text += element;
    return text + close;
}

std::size_t readMetaData(const std::string& text) {
    MetaData metaData;
    metaData.deserialize(text);
    return metaData.aois.size();
}

void report(const char* label, const std::string& text) {
    std::size_t areas = 0;
    const double ms = bestMilliseconds(kRuns, [&] { areas = readMetaData(text); });
    const double peak = peakGrowth([&] { readMetaData(text); });
    std::printf("%-32s %6.1f MB: %8.1f ms, %zu area records, peak +%.0f MB (%.2fx the text)\n", label,
                text.size() / 1e6, ms, areas, peak / 1e6, peak / text.size());
}

// Records of step and subset sizes as the metadata of a data-set file, loaded whole.
void reportFileLoad() {
    orvex::ZelDataSet set;
    for (int area = 0; area < 780000; ++area) { // about 32 MB of records
        set.setStepSizeForAoi(area, 5);
        set.setSubsetSizeForAoi(area, 29);
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "bench_metadata_read-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return;
    const std::filesystem::path path = std::filesystem::path(pattern) / "records.out";
    if (set.save(path.string())) {
        const double size = static_cast<double>(std::filesystem::file_size(path));
        orvex::ZelDataSet loaded;
        bool ok = true;
        const double peak = peakGrowth([&] { ok = loaded.load(path.string()); });
        const double ms = bestMilliseconds(kRuns, [&] { ok = loaded.load(path.string()) && ok; });
        std::printf("%-32s %6.1f MB: %8.1f ms%s, peak +%.0f MB (%.2fx the file)\n", "load of a file of such records",
                    size / 1e6, ms, ok ? "" : " (failed)", peak / 1e6, peak / size);
    }
    std::filesystem::remove_all(pattern);
}

} // namespace

int main() {
    const std::string records = areaRecords();
    report("read of area records", records);
    bool parsed = false;
    const double plain = bestMilliseconds(kRuns, [&] {
        parsed = nlohmann::json::parse(records, nullptr, false).is_object();
    });
    const double plainPeak = peakGrowth([&] { parsed = nlohmann::json::parse(records, nullptr, false).is_object() && parsed; });
    std::printf("%-32s %6.1f MB: %8.1f ms, peak +%.0f MB (%.2fx the text)%s\n", "plain nlohmann::json::parse",
                records.size() / 1e6, plain, plainPeak / 1e6, plainPeak / records.size(), parsed ? "" : " (failed)");
    std::string emptyMembers = R"({"x":{)";
    for (int i = 0; i < 50000; ++i)
        emptyMembers += "\"m" + std::to_string(i) + "\":{},";
    reportFileLoad();
    report("read of 50,000 empty members", emptyMembers + R"("end":{}}})");
    report("empty arrays, unused member", repeated(R"({"x":[)", "[],", kTextSize, "[]]}"));
    report("empty arrays, calibration", repeated(R"({"calibration":[)", "[],", kTextSize, "[]]}"));
    return 0;
}
