#include "orvex/data/ZelDataSet.h"

#include "data/AclFixtures.h"
#include "data/AreaFixtures.h"
#include "data/TestFiles.h"
#include "orvex/core/CPUInfo.h"
#include "orvex/data/ZelData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

using namespace orvex;
using orvex::testing::fileContent;
using orvex::testing::makeArea;
using orvex::testing::permissionsOf;
using orvex::testing::plainlyCreated;
using orvex::testing::ScopedFileSizeLimit;
using orvex::testing::TemporaryDirectory;
using orvex::testing::valuesOf;

namespace {

// One row of two columns: X and a blanking variable with one invalid point.
ZelData* blankedArea() {
    return new ZelData(makeArea(1, 2, {{GlobalCoordinate, "X", "X[mm]", {1.5f, 2.0f}},
                                       {Correlation, "sigma", "sigma[px]", {-1.0f, 0.0f}}}));
}

struct Export {
    ZelDataSet::Format format;
    const char* delimiter = nullptr;
    bool blank = false;
    bool addDeformed = false;
    bool firstOnly = false;
    CsDataSystemType type = Type3d;
};

class TextExport : public ::testing::Test {
protected:
    // The exported text; the export is expected to succeed with progress 100.
    std::string exported(const ZelDataSet& set, const Export& e) {
        int progress = -1;
        EXPECT_TRUE(set.exportAs(path().string(), e.format, progress, e.type, e.delimiter, e.blank, e.addDeformed,
                                 e.firstOnly));
        EXPECT_EQ(progress, 100);
        return fileContent(path());
    }

    std::filesystem::path path() const { return directory.path / "table.txt"; }

    TemporaryDirectory directory;
};

} // namespace

TEST_F(TextExport, HeadersSeparatorsAndBlanking) {
    ZelDataSet set;
    set.addData(blankedArea());
    set.setDeformed("/data/run/img_0005.tif");
    const struct {
        Export options;
        const char* expected;
    } cases[] = {
        {{ZelDataSet::Csv}, " \"X\",  \"sigma\"\n1.5,-1\n2,0\n\n"},
        {{ZelDataSet::Csv, nullptr, true}, " \"X\",  \"sigma\"\n2,0\n\n"},
        {{ZelDataSet::Csv, ";"}, " \"X\",  \"sigma\"\n1.5;-1\n2;0\n\n"},
        {{ZelDataSet::PlainText}, "1.5 -1\n2 0\n\n"},
        {{ZelDataSet::PlainText, "\t", true}, "2\t0\n\n"},
        {{ZelDataSet::PlainText, ""}, "1.5 -1\n2 0\n\n"},
        {{static_cast<ZelDataSet::Format>(9)}, "1.5 -1\n2 0\n\n"},
        {{ZelDataSet::Tecplot, ";", true},
         "TITLE = \"Zel-3D Data: img_0005.tif\"\nVARIABLES =  \"X[mm]\",  \"sigma[px]\"\nZONE I=2, J=1, F=POINT\n"
         "1.5,-1\n2,0\n\n"},
        {{ZelDataSet::Tecplot, nullptr, false, false, false, Type2d},
         "TITLE = \"Zel-2D Data:img_0005.tif\"\nVARIABLES =  \"X[mm]\",  \"sigma[px]\"\nZONE I=2, J=1, F=POINT\n"
         "1.5,-1\n2,0\n\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exported(set, c.options), c.expected) << c.options.format << " " << c.expected;
}

TEST_F(TextExport, TecplotZonePerAreaWithoutTitleForAnEmptyDeformedName) {
    ZelDataSet set;
    set.addData(new ZelData(makeArea(2, 3, {{Unknown, "a", "A", {1, 2, 3, 4, 5, 6}}})));
    set.addData(new ZelData(makeArea(1, 1, {{Unknown, "b", "B", {7}}})));
    EXPECT_EQ(exported(set, {ZelDataSet::Tecplot}),
              "VARIABLES =  \"A\"\nZONE I=3, J=2, F=POINT\n1\n2\n3\n4\n5\n6\n\n"
              "VARIABLES =  \"B\"\nZONE I=1, J=1, F=POINT\n7\n\n");
    EXPECT_EQ(exported(set, {ZelDataSet::Tecplot, nullptr, false, false, true}),
              "VARIABLES =  \"A\"\nZONE I=3, J=2, F=POINT\n1\n2\n3\n4\n5\n6\n\n");
}

TEST_F(TextExport, SpecialValuesAndNumberFormat) {
    ZelDataSet set;
    set.addData(new ZelData(makeArea(1, 1, {{Unknown, "v", "v", {std::numeric_limits<float>::infinity()}},
                                            {Unknown, "w", "w", {-std::numeric_limits<float>::infinity()}},
                                            {Unknown, "n", "n", {std::nanf("")}},
                                            {Unknown, "m", "m", {3.4028235e38f}},
                                            {Unknown, "e", "e", {0.00001f}},
                                            {Unknown, "g", "g", {123456789.0f}}})));
    EXPECT_EQ(exported(set, {ZelDataSet::PlainText}), "0 0 0 3.40282e+38 1e-05 1.23457e+08\n\n");
}

TEST_F(TextExport, EmptySets) {
    ZelDataSet set;
    EXPECT_EQ(exported(set, {ZelDataSet::Csv}), "");
    EXPECT_EQ(exported(set, {ZelDataSet::PlainText}), "");
    EXPECT_EQ(exported(set, {ZelDataSet::Tecplot}), "");
    // Area 0 alone of a set without areas is an empty export as well.
    EXPECT_EQ(exported(set, {ZelDataSet::Csv, nullptr, false, true, true}), "");
    set.setDeformed("dir/def.tif");
    EXPECT_EQ(exported(set, {ZelDataSet::Tecplot, nullptr, false, false, true}), "TITLE = \"Zel-3D Data: def.tif\"\n");
}

TEST_F(TextExport, DeformedPositions) {
    const std::vector<float> one = {1.0f};
    const std::vector<float> half = {0.5f};
    const struct {
        const char* label;
        ZelData area;
        CsDataSystemType type;
        const char* expected;
    } cases[] = {
        {"stereo",
         makeArea(1, 1,
                  {{GlobalCoordinate, "X", "X", one}, {GlobalCoordinate, "Y", "Y", {2}},
                   {GlobalCoordinate, "Z", "Z", {3}}, {GlobalDisplacement, "U", "U", half},
                   {GlobalDisplacement, "V", "V", {0.25f}}, {GlobalDisplacement, "W", "W", {-1}}}),
         Type3d, " \"X\",  \"Y\",  \"Z\",  \"U\",  \"V\",  \"W\",  \"Xp\",  \"Yp\",  \"Zp\"\n1,2,3,0.5,0.25,-1,1.5,2.25,2\n\n"},
        {"stereo without W",
         makeArea(1, 1, {{GlobalCoordinate, "X", "X", one}, {GlobalCoordinate, "Y", "Y", one},
                         {GlobalCoordinate, "Z", "Z", one}, {GlobalDisplacement, "U", "U", half},
                         {GlobalDisplacement, "V", "V", half}}),
         Type3d, " \"X\",  \"Y\",  \"Z\",  \"U\",  \"V\",  \"Xp\",  \"Yp\",  \"Zp\"\n1,1,1,0.5,0.5,0,0,0\n\n"},
        {"planar world",
         makeArea(1, 1, {{GlobalCoordinate, "x_c", "x_c", one}, {GlobalCoordinate, "y_c", "y_c", {2}},
                         {GlobalDisplacement, "u_c", "u_c", half}, {GlobalDisplacement, "v_c", "v_c", half}}),
         Type2d, " \"x_c\",  \"y_c\",  \"u_c\",  \"v_c\",  \"Xp\",  \"Yp\"\n1,2,0.5,0.5,1.5,2.5\n\n"},
        // An existing Xp keeps its value; the sums go into the added Xp_1.
        {"existing Xp",
         makeArea(1, 1, {{GlobalCoordinate, "x_c", "x_c", one}, {GlobalCoordinate, "y_c", "y_c", one},
                         {GlobalDisplacement, "u_c", "u_c", half}, {GlobalDisplacement, "v_c", "v_c", half},
                         {Unknown, "Xp", "measured", {7}}}),
         Type2d, " \"x_c\",  \"y_c\",  \"u_c\",  \"v_c\",  \"Xp\",  \"Xp_1\",  \"Yp\"\n1,1,0.5,0.5,7,1.5,1.5\n\n"},
    };
    for (const auto& c : cases) {
        ZelDataSet set;
        set.addData(new ZelData(c.area));
        EXPECT_EQ(exported(set, {ZelDataSet::Csv, nullptr, false, true, false, c.type}), c.expected) << c.label;
        // The set itself is unchanged.
        EXPECT_EQ(set.data(0)->numVariables(), c.area.numVariables()) << c.label;
    }
}

TEST_F(TextExport, DeformedDescriptionsInTecplot) {
    ZelDataSet set;
    set.addData(new ZelData(makeArea(1, 1, {{GlobalCoordinate, "X", "X[mm]", {1}}})));
    EXPECT_EQ(exported(set, {ZelDataSet::Tecplot, nullptr, false, true}),
              "VARIABLES =  \"X[mm]\",  \"Xp[mm]\",  \"Yp[mm]\",  \"Zp[mm]\"\nZONE I=1, J=1, F=POINT\n1,0,0,0\n\n");
}

// Blocks of rows formatted on several threads give the bytes of one thread.
TEST_F(TextExport, ThreadCountDoesNotChangeTheBytes) {
    const int rows = 300, columns = 700;
    std::vector<float> a(rows * columns), sigma(rows * columns);
    for (int p = 0; p < rows * columns; ++p) {
        a[p] = std::sin(static_cast<float>(p)) * static_cast<float>(p);
        sigma[p] = p % 5 == 0 ? -1.0f : 0.5f;
    }
    ZelDataSet set;
    set.addData(new ZelData(makeArea(rows, columns, {{Unknown, "a", "a", a}, {Correlation, "s", "s", sigma}})));
    CPUInfo::forceThreads(1);
    const std::string single = exported(set, {ZelDataSet::Csv, nullptr, true});
    CPUInfo::forceThreads(5);
    const std::string parallel = exported(set, {ZelDataSet::Csv, nullptr, true});
    CPUInfo::forceThreads(0);
    EXPECT_EQ(parallel, single);
    EXPECT_EQ(std::count(single.begin(), single.end(), '\n'), 1 + rows * columns * 4 / 5 + 1);
}

TEST_F(TextExport, FailuresLeaveAnExistingFileAndNoTemporary) {
    ZelDataSet set;
    std::vector<float> values(100000, 1.25f);
    set.addData(new ZelData(makeArea(100, 1000, {{Unknown, "a", "a", values}})));
    std::ofstream(path()) << "previous";
    int progress = -1;
    {
        const ScopedFileSizeLimit limit(1000);
        EXPECT_FALSE(set.exportAs(path().string(), ZelDataSet::Csv, progress, Type3d, nullptr, false, false, false));
    }
    EXPECT_NE(progress, 100);
    EXPECT_EQ(fileContent(path()), "previous");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory.path), {}), 1);

    progress = -1;
    const std::string missing = (directory.path / "missing" / "table.txt").string();
    EXPECT_FALSE(set.exportAs(missing, ZelDataSet::PlainText, progress, Type3d, nullptr, false, false, false));
    EXPECT_EQ(progress, -1);
}

// In a folder with a default ACL, the export gets the mode and ACL that a plain open gives.
TEST_F(TextExport, NewFileInADefaultAclFolderGetsWhatAPlainOpenGets) {
    using namespace orvex::testing;
    const std::string defaultAcl =
        aclBytes({{AclUserObj, 6}, {AclUser, 6, 1}, {AclGroupObj, 6}, {AclMask, 6}, {AclOther, 0}});
    if (!setAcl(directory.path, kDefaultAclAttribute, defaultAcl))
        GTEST_SKIP() << "no POSIX ACLs on this file system";
    ZelDataSet set;
    set.addData(blankedArea());
    exported(set, {ZelDataSet::Csv});
    EXPECT_EQ(permissionsOf(path()), plainlyCreated(directory.path));
}
