// Text tables of a data set: plain, Tecplot-style (POINT layout) and CSV.

#include "orvex/core/CPUInfo.h"
#include "orvex/core/ParallelRows.h"
#include "orvex/data/DeformedPositions.h"
#include "orvex/data/ExportProgress.h"
#include "orvex/data/FileReplace.h"
#include "orvex/data/TableNumber.h"
#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace orvex {

namespace {

struct TableOptions {
    ZelDataSet::Format format;
    char separator;
    bool blank; // leave out invalid points
};

TableOptions tableOptions(ZelDataSet::Format format, const char* delimiter, bool blank) {
    TableOptions options{format, format == ZelDataSet::Csv ? ',' : ' ', blank && format != ZelDataSet::Tecplot};
    // An empty delimiter would put NUL bytes between the values; it keeps the default.
    if (delimiter && *delimiter)
        options.separator = *delimiter;
    if (format == ZelDataSet::Tecplot)
        options.separator = ',';
    return options;
}

// `texts` each as blank, quote, text, quote, joined by ", ".
std::string quotedList(const std::vector<std::string>& texts) {
    std::string line;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            line += ", ";
        line += " \"" + texts[i] + "\"";
    }
    return line;
}

std::string titleLine(const std::string& deformedImage, CsDataSystemType type) {
    const std::string fileName = std::filesystem::path(deformedImage).filename().string();
    return std::string("TITLE = \"") + (type == Type3d ? "Zel-3D Data: " : "Zel-2D Data:") + fileName + "\"\n";
}

std::string csvHeader(const ZelData& area) {
    std::vector<std::string> names;
    for (const ZelDataVarInfo& info : area.variables())
        names.push_back(info.name);
    return quotedList(names) + "\n";
}

std::string zoneHeader(const ZelData& area) {
    std::vector<std::string> descriptions;
    for (const ZelDataVarInfo& info : area.variables())
        descriptions.push_back(info.description);
    return "VARIABLES = " + quotedList(descriptions) + "\nZONE I=" + std::to_string(area.numColumns()) +
           ", J=" + std::to_string(area.numRows()) + ", F=POINT\n";
}

// The rows of one area's table.
struct TableRows {
    std::vector<const float*> columns; // one per variable
    const float* blanking;             // negative values are left out; null writes every point
    char separator;

    // Bytes one row takes at most.
    std::size_t maxRowSize() const { return columns.size() * (TableValueMaxChars + 1) + 1; }

    // Formats the rows of points [begin, end) at `out`; returns the end and adds
    // the number of rows written to `written`.
    char* format(int begin, int end, char* out, std::int64_t& written) const {
        for (int i = begin; i < end; ++i) {
            if (blanking && blanking[i] < 0)
                continue;
            for (std::size_t v = 0; v < columns.size(); ++v) {
                if (v > 0)
                    *out++ = separator;
                out = formatTableValue(out, columns[v][i]);
            }
            *out++ = '\n';
            ++written;
        }
        return out;
    }
};

TableRows tableRows(const ZelData& area, const TableOptions& options) {
    TableRows rows{{}, nullptr, options.separator};
    for (std::size_t v = 0; v < area.numVariables(); ++v)
        rows.columns.push_back(area.data(v));
    float* blanking = nullptr;
    if (options.blank && area.findBlankingVariable(blanking))
        rows.blanking = blanking;
    return rows;
}

// Formatted blocks of rows, reused from area to area: several blocks are
// formatted at once on worker threads, then written in order, so the bytes are
// those of a one-thread run.
class RowBlocks {
public:
    // One block per worker thread, at most MaxBlocks.
    RowBlocks() : blocks_(static_cast<std::size_t>(std::clamp(CPUInfo::numCPU(), 1, MaxBlocks))) {}

    // Writes the rows of every point of `area`.
    bool write(std::ostream& file, const ZelData& area, const TableOptions& options, ExportProgress& progress) {
        constexpr std::size_t BlockBytes = std::size_t{1} << 20;
        const TableRows rows = tableRows(area, options);
        const int pointCount = area.matrixSize();
        const int blockPoints = static_cast<int>(std::max<std::size_t>(1, BlockBytes / rows.maxRowSize()));
        for (Block& block : blocks_)
            block.text.resize(static_cast<std::size_t>(blockPoints) * rows.maxRowSize());
        progress.startArea();
        const std::int64_t windowPoints = std::int64_t{blockPoints} * static_cast<std::int64_t>(blocks_.size());
        for (std::int64_t start = 0; start < pointCount; start += windowPoints) {
            const auto blockCount =
                static_cast<int>((std::min(pointCount - start, windowPoints) + blockPoints - 1) / blockPoints);
            parallelForRows(blockCount, [&](int first, int last) {
                for (int b = first; b < last; ++b)
                    formatBlock(b, rows, start + std::int64_t{b} * blockPoints, blockPoints, pointCount);
            });
            for (int b = 0; b < blockCount; ++b) {
                const Block& block = blocks_[static_cast<std::size_t>(b)];
                if (!file.write(block.text.data(), block.end - block.text.data()))
                    return false;
                progress.pointsWritten(block.written);
            }
        }
        return static_cast<bool>(file << '\n');
    }

private:
    static constexpr int MaxBlocks = 64;

    struct Block {
        std::vector<char> text;
        const char* end = nullptr;
        std::int64_t written = 0; // rows
    };

    // Formats the rows of points [begin, begin + count) below pointCount into block b.
    void formatBlock(int b, const TableRows& rows, std::int64_t begin, int count, int pointCount) {
        Block& block = blocks_[static_cast<std::size_t>(b)];
        block.written = 0;
        const auto end = static_cast<int>(std::min<std::int64_t>(pointCount, begin + count));
        block.end = rows.format(static_cast<int>(begin), end, block.text.data(), block.written);
    }

    std::vector<Block> blocks_;
};

} // namespace

bool ZelDataSet::exportAs(const std::string& path, Format format, int& progress, CsDataSystemType type,
                          const char* delimiter, bool blank, bool addDeformed, bool firstOnly) const {
    if (format == Stl)
        return exportSTL(path, addDeformed, firstOnly);
    if (format == MatV4)
        return exportMatV4(path, addDeformed, firstOnly, type);

    const TableOptions options = tableOptions(format, delimiter, blank);
    const int areaCount = firstOnly ? std::min(numData(), 1) : numData();
    std::int64_t totalPoints = 0;
    for (int i = 0; i < areaCount; ++i)
        totalPoints += data(i)->matrixSize();
    const std::vector<DeformedAxis>* axes = addDeformed ? &textDeformedAxes(type) : nullptr;

    const bool written = writeFileReplacing(path, [&](std::ostream& file) {
        ExportProgress tracker(progress, totalPoints);
        if (format == Tecplot && !deformedImage().empty())
            file << titleLine(deformedImage(), type);
        RowBlocks blocks;
        for (int i = 0; i < areaCount; ++i) {
            const ExportedArea area(*data(i), axes);
            if (format == Csv && i == 0)
                file << csvHeader(*area);
            if (format == Tecplot)
                file << zoneHeader(*area);
            if (!blocks.write(file, *area, options, tracker))
                return false;
        }
        return static_cast<bool>(file);
    });
    if (written)
        progress = 100;
    return written;
}

} // namespace orvex
