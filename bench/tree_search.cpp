// Point search at world positions with orvex::ZelData::extractGlobalPoint: the KD-tree
// build and 10^5 queries at random positions on a 1000 x 1000 area, beside the cell
// scan (the way without a tree) on a 100 x 100 area. Best of several runs.
#include "BestOf.h"
#include "orvex/data/ZelData.h"

#include <cstdio>
#include <random>
#include <string>
#include <vector>

using namespace orvex;

namespace {

constexpr int kQueries = 100000;
constexpr int kRuns = 5;

// A stereo area on a slightly sheared grid 1 mm apart, every point valid.
ZelData makeArea(int side) {
    ZelData area(side, side, 0, "bench");
    const char* names[] = {"X", "Y", "Z", "U", "V", "W", "sigma", "e"};
    const ZelDataVariableType types[] = {GlobalCoordinate,   GlobalCoordinate,   GlobalCoordinate,
                                         GlobalDisplacement, GlobalDisplacement, GlobalDisplacement,
                                         Correlation,        Strain};
    for (int v = 0; v < 8; ++v) {
        float* values = area.allocateVariable(types[v], names[v], names[v]);
        for (int p = 0; p < side * side; ++p) {
            const float column = static_cast<float>(p % side), row = static_cast<float>(p / side);
            const float fields[] = {column + 0.1f * row, row, 0.01f * column, 0.5f, 0.25f, 0.0f, 0.0f, column * row};
            values[p] = fields[v];
        }
    }
    return area;
}

std::vector<Vector2> randomPositions(int side, int count) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> along(1.0, side - 2.0);
    std::vector<Vector2> positions;
    for (int i = 0; i < count; ++i) {
        const double row = along(random);
        positions.emplace_back(along(random) + 0.1 * row, row);
    }
    return positions;
}

// Searches every position; the number found.
int searchAll(const ZelData& area, const std::vector<Vector2>& positions, bool useTree) {
    int found = 0;
    for (const Vector2& position : positions)
        found += area.extractGlobalPoint(position, false, useTree).first >= 0 ? 1 : 0;
    return found;
}

} // namespace

int main() {
    ZelData large = makeArea(1000);
    const std::vector<Vector2> positions = randomPositions(1000, kQueries);
    const double build = bestMilliseconds(kRuns, [&] { large.extractGlobalPoint(positions[0], false, true); },
                                          [&] { large.clearSearchTrees(); });
    int found = 0;
    const double queries = bestMilliseconds(kRuns, [&] { found = searchAll(large, positions, true); });
    std::printf("1000 x 1000 area: tree build %8.2f ms; %d tree queries %8.2f ms, %.3f us each (%d found)\n", build,
                kQueries, queries, queries * 1e3 / kQueries, found);

    const ZelData small = makeArea(100);
    const std::vector<Vector2> fewer = randomPositions(100, 1000);
    const double scan = bestMilliseconds(kRuns, [&] { found = searchAll(small, fewer, false); });
    const double smallTree = bestMilliseconds(kRuns, [&] { searchAll(small, fewer, true); });
    std::printf("100 x 100 area: cell scan %.3f us per query, tree %.3f us per query (%d of %zu found)\n",
                scan * 1e3 / fewer.size(), smallTree * 1e3 / fewer.size(), found, fewer.size());
    return 0;
}
