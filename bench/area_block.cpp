// Encoding and decoding of one large area block, against copying the same bytes,
// and world-position searches with and without the KD-tree.

#include "BestOf.h"
#include "orvex/data/ZelData.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// A stereo area of side x side points 1 apart with ten variables.
orvex::ZelData makeArea(int side) {
    orvex::ZelData area(side, side, 0, "bench");
    const char* names[] = {"X", "Y", "Z", "U", "V", "W", "sigma", "x", "y", "exx"};
    const orvex::ZelDataVariableType types[] = {
        orvex::GlobalCoordinate,   orvex::GlobalCoordinate,   orvex::GlobalCoordinate, orvex::GlobalDisplacement,
        orvex::GlobalDisplacement, orvex::GlobalDisplacement, orvex::Correlation,      orvex::PixelCoordinate,
        orvex::PixelCoordinate,    orvex::Strain};
    for (int v = 0; v < 10; ++v) {
        float* values = area.allocateVariable(types[v], names[v], "");
        for (int p = 0; p < side * side; ++p)
            values[p] = v == 0 || v == 7 ? float(p % side) : v == 1 || v == 8 ? float(p / side) : 0.001f * v;
    }
    return area;
}

void benchBlock() {
    const orvex::ZelData area = makeArea(1000);
    std::vector<char> bytes(area.diskSize());
    std::vector<char> copy(bytes.size());
    orvex::ZelData decoded;
    const double encode = bestMilliseconds(5, [&] { area.encode(bytes.data(), static_cast<int>(bytes.size())); });
    const double decode = bestMilliseconds(5, [&] { decoded.decode(bytes.data(), static_cast<int>(bytes.size())); });
    const double memcpyTime = bestMilliseconds(5, [&] { std::memcpy(copy.data(), bytes.data(), bytes.size()); });
    // Decoding fills fresh arrays, so compare it with copying into fresh memory too.
    std::unique_ptr<char[]> fresh;
    const double freshCopy = bestMilliseconds(5, [&] {
        fresh.reset();
        fresh.reset(new char[bytes.size()]);
        std::memcpy(fresh.get(), bytes.data(), bytes.size());
    });
    if (fresh[bytes.size() / 2] != bytes[bytes.size() / 2])
        std::printf("copy differs\n");
    std::printf("area block 1000 x 1000 x 10 variables (%.1f MB): encode %.2f ms (%.2fx memcpy %.2f ms), "
                "decode %.2f ms (%.2fx memcpy into fresh memory %.2f ms)\n",
                bytes.size() / 1e6, encode, encode / memcpyTime, memcpyTime, decode, decode / freshCopy, freshCopy);
}

void benchSearch() {
    const int side = 300;
    const orvex::ZelData area = makeArea(side);
    std::mt19937 random(1);
    std::uniform_real_distribution<double> coordinate(0.5, side - 1.5);
    std::vector<orvex::Vector2> positions;
    for (int i = 0; i < 200; ++i)
        positions.emplace_back(coordinate(random), coordinate(random));
    const double build = bestMilliseconds(1, [&] { area.extractGlobalPoint(positions[0], false, true); });
    std::printf("KD-tree over %d x %d points: built in %.2f ms\n", side, side, build);
    for (bool useTree : {false, true}) {
        int found = 0;
        const double total = bestMilliseconds(1, [&] {
            for (const orvex::Vector2& p : positions)
                found += area.extractGlobalPoint(p, false, useTree).first >= 0;
        });
        std::printf("extractGlobalPoint, %s: %.4f ms per search (%d of %zu found)\n",
                    useTree ? "KD-tree" : "cell scan", total / positions.size(), found, positions.size());
    }
}

} // namespace

int main() {
    benchBlock();
    benchSearch();
    return 0;
}
