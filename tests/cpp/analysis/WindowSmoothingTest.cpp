#include "orvex/analysis/WindowSmoothing.h"
#include "orvex/analysis/SmoothThread.h"

#include "AreaBuilder.h"
#include "DirectReference.h"

#include "orvex/core/CPUInfo.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

using namespace orvex;

namespace {

constexpr float kUntouched = 777.0f;

// Several fields over one grid with a mask, and output buffers preset to kUntouched.
struct Fields {
    int columns, rows;
    std::vector<float> mask;
    std::vector<std::vector<float>> inputs, outputs;

    Fields(int columns_, int rows_, int count) : columns(columns_), rows(rows_), mask(columns_ * rows_, 1.0f) {
        for (int k = 0; k < count; ++k) {
            std::vector<float> field(mask.size());
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < columns; ++c)
                    field[r * columns + c] = float(std::sin(0.3 * c + k) * std::cos(0.2 * r) * (k + 1) + 0.05 * r);
            inputs.push_back(field);
            outputs.emplace_back(mask.size(), kUntouched);
        }
    }
    void punchHoles() {
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < columns; ++c) {
                const bool blob = (r - 20) * (r - 20) + (c - 15) * (c - 15) < 30;
                const bool bar = r >= 5 && r < 8 && c > 25;
                if (blob || bar) mask[r * columns + c] = -1.0f;
            }
        // Invalid points may hold anything (the blob's centre, when the grid holds it).
        if (rows > 20 && columns > 15)
            for (auto& field : inputs) field[20 * columns + 15] = NAN;
    }
    Array1<float*> outputPointers() {
        Array1<float*> list;
        for (auto& f : outputs) list.push_back(f.data());
        return list;
    }
    Array1<float const*> inputPointers() const {
        Array1<float const*> list;
        for (const auto& f : inputs) list.push_back(f.data());
        return list;
    }
    bool smooth(int windowSize, bool weighted) {
        return orvex::smooth(outputPointers(), inputPointers(), mask.data(), columns, rows, windowSize, weighted);
    }
};

// A square grid whose valid points lie on one line under a wavy field, or the line and
// one more valid point beside it (next to the line point nearest the centre) under a
// plane.
struct LineGrid {
    using OnLine = bool (*)(int row, int column, int side);
    int side;
    OnLine onLine;
    int offRow = -1, offColumn = -1;
    std::vector<float> mask, field;
    std::vector<std::pair<int, int>> linePoints; // row, column

    LineGrid(int side_, OnLine onLine_, bool withOffPoint) : side(side_), onLine(onLine_) {
        const int size = side * side;
        mask.assign(size, -1.0f);
        field.resize(size);
        int nearest = INT_MAX;
        for (int r = 0; r < side; ++r)
            for (int c = 0; c < side; ++c) {
                field[r * side + c] = withOffPoint ? plane(r, c) : float(2 + std::sin(0.37 * c) * std::cos(0.23 * r));
                if (!onLine(r, c, side)) continue;
                mask[r * side + c] = 0.5f;
                linePoints.emplace_back(r, c);
                const int distance = (r - side / 2) * (r - side / 2) + (c - side / 2) * (c - side / 2);
                if (distance < nearest) nearest = distance, offRow = r, offColumn = c;
            }
        if (!withOffPoint) {
            offRow = offColumn = -1;
            return;
        }
        if (onLine(offRow, offColumn + 1, side)) ++offRow;
        else ++offColumn;
        mask[offRow * side + offColumn] = 0.5f;
    }
    static float plane(int row, int column) { return 1.0f + 0.25f * column - 0.125f * row; }
    // Three valid points of the window of (row, column) are not collinear: it holds the
    // point off the line and two line points.
    bool determined(int row, int column, int windowSize) const {
        const int h = windowSize / 2;
        auto inWindow = [&](int r, int c) { return std::abs(r - row) <= h && std::abs(c - column) <= h; };
        const auto inside = std::count_if(linePoints.begin(), linePoints.end(),
                                          [&](const std::pair<int, int>& q) { return inWindow(q.first, q.second); });
        return offRow >= 0 && inWindow(offRow, offColumn) && inside >= 2;
    }
};

bool sameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

} // namespace

// A window whose valid points lie on one line (one or two points included) gets no fit
// in either form, whatever the rounding of its sums; one valid point off the line makes
// the fit of every window holding it and two line points determined again: the plane
// is reproduced there.
TEST(WindowSmoothing, WindowOnOneLineHasNoFit) {
    const struct {
        const char* name;
        LineGrid::OnLine onLine;
    } lines[] = {
        {"row", [](int r, int, int n) { return r == n / 2; }},
        {"column", [](int, int c, int n) { return c == n / 3; }},
        {"x = y", [](int r, int c, int) { return c == r; }},
        {"x + y = N - 1", [](int r, int c, int n) { return c + r == n - 1; }},
        {"x = 3y", [](int r, int c, int) { return c == 3 * r; }},
        {"2x = 3y", [](int r, int c, int) { return 2 * c == 3 * r; }},
    };
    struct Run {
        int windowSize;
        bool withOffPoint;
    };
    std::vector<Run> runs;
    for (int w = 3; w <= 51; w += 2) runs.push_back({w, false});
    for (int w = 3; w <= 51; w += 8) runs.push_back({w, true});
    runs.push_back({153, false});
    runs.push_back({153, true});
    CPUInfo::forceThreads(2); // the worker split, without a thread start per core for each case
    for (const auto& line : lines)
        for (const auto [windowSize, withOffPoint] : runs)
            for (bool weighted : {true, false}) {
                SCOPED_TRACE(::testing::Message() << line.name << ", window " << windowSize
                                                << (weighted ? ", weighted" : ", uniform")
                                                << (withOffPoint ? ", a point off the line" : ""));
                const LineGrid grid(std::max(30, windowSize / 2 + 1), line.onLine, withOffPoint);
                const int n = grid.side;
                std::vector<float> fields(n * n, kUntouched);
                ASSERT_TRUE(smooth(Array1<float*>{fields.data()}, Array1<float const*>{grid.field.data()},
                                   grid.mask.data(), n, n, windowSize, weighted));
                ZelData area = makeArea(n, n, {{"f", Unknown, grid.field}, {"sigma", Correlation, grid.mask}});
                ASSERT_TRUE(smoothVariable(area, "f", windowSize, weighted, nullptr));
                for (int r = 0; r < n; ++r)
                    for (int c = 0; c < n; ++c) {
                        const int p = r * n + c;
                        if (grid.mask[p] < 0) continue;
                        const float variable = area.data(0)[p];
                        if (!grid.determined(r, c, windowSize)) {
                            ASSERT_EQ(fields[p], kUntouched) << "row " << r << " column " << c;
                            ASSERT_TRUE(sameBits(variable, grid.field[p])) << "row " << r << " column " << c;
                            continue;
                        }
                        ASSERT_NEAR(fields[p], LineGrid::plane(r, c), 1e-5) << "row " << r << " column " << c;
                        ASSERT_NEAR(variable, LineGrid::plane(r, c), 1e-5) << "row " << r << " column " << c;
                    }
            }
    CPUInfo::forceThreads(0);
}

// The separable row-parallel sums give the fits of the full-window loop on a grid with
// holes, for windows from 1 (no fit anywhere) to larger than the grid, both kernels,
// and more workers than rows.
TEST(WindowSmoothing, ParallelFitsEqualDirectFits) {
    Fields base(43, 31, 3);
    base.punchHoles();
    const double scale = 4.0; // largest field magnitude
    for (int windowSize : {1, 3, 5, 15, 29, 71})
        for (bool weighted : {true, false}) {
            Fields expected = base;
            reference::smooth(expected.outputPointers(), expected.inputPointers(), expected.mask.data(),
                              base.columns, base.rows, windowSize, weighted);
            for (int threads : {1, 4, 40}) {
                SCOPED_TRACE(::testing::Message() << "window " << windowSize << " weighted " << weighted
                                                << " threads " << threads);
                CPUInfo::forceThreads(threads);
                Fields fields = base;
                ASSERT_TRUE(fields.smooth(windowSize, weighted));
                for (int k = 0; k < 3; ++k)
                    for (int p = 0; p < int(base.mask.size()); ++p) {
                        const float want = expected.outputs[k][p];
                        if (want == kUntouched)
                            ASSERT_EQ(fields.outputs[k][p], kUntouched) << "point " << p;
                        else
                            ASSERT_NEAR(fields.outputs[k][p], want, 1e-6 * scale) << "point " << p;
                    }
            }
        }
    CPUInfo::forceThreads(0);
}

TEST(WindowSmoothing, SingleFieldFormMatchesDirectFits) {
    Fields fields(20, 17, 1);
    fields.punchHoles();
    Fields expected = fields;
    reference::smooth(expected.outputPointers(), expected.inputPointers(), expected.mask.data(), 20, 17, 7, true);
    ASSERT_TRUE(smooth(fields.outputs[0].data(), fields.inputs[0].data(), fields.mask.data(), 20, 17, 7, true));
    for (std::size_t p = 0; p < fields.mask.size(); ++p)
        EXPECT_NEAR(fields.outputs[0][p], expected.outputs[0][p], 1e-5);
}

// A plane in row and column is its own fit wherever the window holds three
// non-collinear valid points, also for windows far beyond the grid or an int's square.
TEST(WindowSmoothing, LinearFieldIsReproduced) {
    for (int windowSize : {3, 9, 4, 1001, INT_MAX})
        for (bool weighted : {true, false}) {
            SCOPED_TRACE(::testing::Message() << "window " << windowSize << " weighted " << weighted);
            Fields fields(12, 9, 1);
            for (int r = 0; r < 9; ++r)
                for (int c = 0; c < 12; ++c) fields.inputs[0][r * 12 + c] = float(2.0 + 0.25 * c - 0.5 * r);
            fields.mask[4 * 12 + 6] = -1.0f;
            ASSERT_TRUE(fields.smooth(windowSize, weighted));
            for (int p = 0; p < 12 * 9; ++p)
                if (p == 4 * 12 + 6)
                    EXPECT_EQ(fields.outputs[0][p], kUntouched);
                else
                    EXPECT_NEAR(fields.outputs[0][p], fields.inputs[0][p], 1e-5) << "point " << p;
        }
}

TEST(WindowSmoothing, WindowSizesAndMaskValues) {
    {   // An even window is widened to the next odd one.
        Fields even(15, 11, 2), odd(15, 11, 2);
        ASSERT_TRUE(even.smooth(6, true));
        ASSERT_TRUE(odd.smooth(7, true));
        EXPECT_EQ(even.outputs, odd.outputs);
    }
    {   // Below 1: refused, logged, nothing written.
        auto& log = orvex::testing::LogCapture::emptied();
        Fields fields(5, 5, 1);
        EXPECT_FALSE(fields.smooth(0, true));
        EXPECT_FALSE(fields.smooth(-3, false));
        EXPECT_EQ(fields.outputs[0], std::vector<float>(25, kUntouched));
        EXPECT_EQ(log.messages, std::vector<std::string>(2, "Smoothing window too small in smooth()"));
    }
    {   // A NaN mask value marks a point invalid exactly like a negative one.
        Fields withNaN(9, 8, 1), withNegative(9, 8, 1);
        withNaN.mask[30] = NAN;
        withNegative.mask[30] = -1.0f;
        withNaN.inputs[0][30] = withNegative.inputs[0][30] = 1e6f;
        ASSERT_TRUE(withNaN.smooth(5, true));
        ASSERT_TRUE(withNegative.smooth(5, true));
        EXPECT_EQ(withNaN.outputs, withNegative.outputs);
        EXPECT_EQ(withNaN.outputs[0][30], kUntouched);
    }
    {   // One row: every fit is singular and every output stays.
        Fields fields(10, 1, 1);
        ASSERT_TRUE(fields.smooth(5, true));
        EXPECT_EQ(fields.outputs[0], std::vector<float>(10, kUntouched));
    }
}

TEST(WindowSmoothing, WorkerStartsOnlyOnce) {
    Fields fields(6, 6, 1);
    SmoothThread worker(fields.outputPointers(), fields.inputPointers(), fields.mask.data(),
                        std::vector<double>{0.5, 1.0, 0.5}, 6, 6, 1, 0, 1);
    auto& log = orvex::testing::LogCapture::emptied();
    worker.start();
    worker.start();
    worker.join();
    EXPECT_EQ(worker.thread, nullptr);
    EXPECT_FALSE(worker.error);
    EXPECT_EQ(log.messages, std::vector<std::string>{"There is already a thread running."});
    EXPECT_NE(fields.outputs[0][0], kUntouched);
}

// A worker whose block, weights or field lists do not fit together reports
// std::invalid_argument and writes nothing, instead of reading past the fields.
TEST(WindowSmoothing, WorkerRefusesAnInconsistentJob) {
    struct Case {
        const char* name;
        int halfWindow, index, count;
        bool outputWithoutInput;
    } cases[] = {
        {"no workers", 1, 0, 0, false},           {"negative block", 1, -1, 2, false},
        {"block past the split", 1, 2, 2, false}, {"half window beyond the weights", 2, 0, 1, false},
        {"negative half window", -1, 0, 1, false}, {"more outputs than inputs", 1, 0, 1, true},
    };
    for (const Case& cs : cases) {
        SCOPED_TRACE(cs.name);
        Fields fields(6, 6, 2);
        Array1<float const*> inputs = fields.inputPointers();
        if (cs.outputWithoutInput) inputs.pop_back();
        SmoothThread worker(fields.outputPointers(), inputs, fields.mask.data(), std::vector<double>{0.5, 1.0, 0.5}, 6,
                            6, cs.halfWindow, cs.index, cs.count);
        worker.run();
        ASSERT_TRUE(worker.error);
        EXPECT_THROW(std::rethrow_exception(worker.error), std::invalid_argument);
        for (const auto& output : fields.outputs) EXPECT_EQ(output, std::vector<float>(36, kUntouched));
    }
}
