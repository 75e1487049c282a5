// Writes the MAT version 4 export of a fixed synthetic data set to the path given
// as its argument, for the Python test that reads it back with scipy.
//
// Area a (0 or 1) has 3 + a rows and 4 + a columns and the variables X, Y, Z, U,
// V, W, sigma; variable k holds a * 1000 + k * 100 + row * 10 + column + 0.25 at
// each point. The export adds the deformed positions of a stereo set.

#include "orvex/data/ZelData.h"
#include "orvex/data/ZelDataSet.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.mat\n", argv[0]);
        return 2;
    }
    const char* const names[] = {"X", "Y", "Z", "U", "V", "W", "sigma"};
    orvex::ZelDataSet set;
    for (int a = 0; a < 2; ++a) {
        const int rows = 3 + a;
        const int columns = 4 + a;
        auto* area = new orvex::ZelData(columns, rows, 0, "");
        set.addData(area);
        for (int k = 0; k < 7; ++k) {
            float* values =
                area->allocateVariable(k == 6 ? orvex::Correlation : orvex::GlobalCoordinate, names[k], names[k]);
            for (int r = 0; r < rows; ++r)
                for (int c = 0; c < columns; ++c)
                    values[r * columns + c] = static_cast<float>(a * 1000 + k * 100 + r * 10 + c) + 0.25f;
        }
    }
    return set.exportMatV4(argv[1], true, false, orvex::Type3d) ? 0 : 1;
}
