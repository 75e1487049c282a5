#include "orvex/core/TextUtils.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Strings = std::vector<std::string>;

using orvex::testing::LogCapture;

// The library's log capture, emptied.
LogCapture& recordWarnings() {
    LogCapture& capture = LogCapture::instance();
    capture.take();
    return capture;
}

const std::string stoiFunction = "std::optional<int> orvex::stoi_maybe(const std::string&)";
const std::string stodFunction = "std::optional<double> orvex::stod_maybe(const std::string&)";
const std::string stolFunction = "std::optional<long int> orvex::stol_maybe(const std::string&)";
const std::string changeExtensionFunction =
    "std::optional<std::__cxx11::basic_string<char> > orvex::changeFileExtension(const std::string&, const "
    "std::string&)";

TEST(TextUtils, TrimsAsciiWhiteSpaceOnly) {
    struct Case {
        std::string text;
        std::string expected;
    } const cases[] = {
        {"\t a b \r\n", "a b"},
        {"   ", ""},
        {"", ""},
        {"\v\fx\v\f", "x"},
        {"\xA0x\xA0", "\xA0x\xA0"},
        {"x", "x"},
        {std::string("\0x\0", 3), std::string("\0x\0", 3)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(orvex::trimmed(c.text), c.expected) << testing::PrintToString(c.text);
}

TEST(TextUtils, ReplacesWithoutRescanningInsertedText) {
    struct Case {
        std::string text, from, to, expected;
    } const cases[] = {
        {"x.y.z", ".", "::", "x::y::z"},
        {"aaa", "aa", "a", "aa"},
        {"abc", "x", "y", "abc"},
        {"aa", "a", "aa", "aaaa"},
        {"abab", "ab", "", ""},
        {"", "a", "b", ""},
        {"abc", "", "x", "abc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(orvex::replace(c.text, c.from, c.to), c.expected)
            << "'" << c.text << "' '" << c.from << "' -> '" << c.to << "'";
}

TEST(TextUtils, SplitsKeepingEmptySegments) {
    struct Case {
        std::string text, separator;
        Strings expected;
    } const cases[] = {
        {"a,,b,", ",", {"a", "", "b", ""}},
        {",a", ",", {"", "a"}},
        {"", ",", {""}},
        {"ab", "ab", {"", ""}},
        {"a::b::c", "::", {"a", "b", "c"}},
        {"a:::b", "::", {"a", ":b"}},
        {"abc", "x", {"abc"}},
        {"a,b", "", {"a,b"}},
        {"", "", {""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(orvex::split(c.text, c.separator), c.expected) << "'" << c.text << "' at '" << c.separator << "'";
}

// Checks that exactly `count` warnings were logged, each with `message` from `function`.
void expectWarnings(LogCapture& warnings, std::size_t count, const std::string& message,
                    const std::string& function) {
    ASSERT_EQ(warnings.messages.size(), count);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(warnings.messages[i], message);
        EXPECT_EQ(warnings.severities[i], plog::warning);
        EXPECT_EQ(warnings.functions[i], function);
    }
    warnings.take();
}

TEST(TextUtils, ParsesNumbersOrWarns) {
    LogCapture& warnings = recordWarnings();
    struct IntCase {
        std::string text;
        std::optional<int> expected;
    } const intCases[] = {
        {" 42", 42}, {"12abc", 12}, {"-7", -7}, {"abc", std::nullopt}, {"99999999999", std::nullopt}, {"", std::nullopt},
    };
    for (const IntCase& c : intCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(orvex::stoi_maybe(c.text), c.expected);
        expectWarnings(warnings, c.expected ? 0 : 1, "stoi", stoiFunction);
    }

    EXPECT_EQ(orvex::stod_maybe(" 2.5e3x"), 2500.0);
    EXPECT_EQ(orvex::stod_maybe("1e-400"), std::nullopt);
    EXPECT_EQ(orvex::stod_maybe("1e400"), std::nullopt);
    EXPECT_EQ(orvex::stod_maybe("e5"), std::nullopt);
    expectWarnings(warnings, 3, "stod", stodFunction);

    EXPECT_EQ(orvex::stol_maybe("-9000000000"), -9000000000L);
    EXPECT_EQ(orvex::stol_maybe(""), std::nullopt);
    EXPECT_EQ(orvex::stol_maybe("99999999999999999999"), std::nullopt);
    expectWarnings(warnings, 2, "stol", stolFunction);

    // Below warning severity nothing is recorded.
    plog::get<0>()->setMaxSeverity(plog::error);
    EXPECT_EQ(orvex::stoi_maybe("abc"), std::nullopt);
    expectWarnings(warnings, 0, "", "");
}

TEST(TextUtils, SplitsHdf5EntryNames) {
    struct Case {
        std::string name;
        bool isEntry;
        Strings parts; // file, group, key
    } const cases[] = {
        {"/d/run.h5:out:7", true, {"/d/run.h5", "out", "7"}},
        {"D:/d/run.h5:out:7", true, {"D:/d/run.h5", "out", "7"}},
        {"/d/12:30:00.h5:out:7", true, {"/d/12:30:00.h5", "out", "7"}},
        {"run.h5::", true, {"run.h5", "", ""}},
        {"/d/run.out", false, {}},
        {"p:q:r:s:t", false, {}},
        {"/d/2024-05-01T12:30:00.out", false, {}},
        {"/d/a:b:c", false, {}},
        {"/d/run.H5:out:7", false, {}},
        {"/d/run.h5:out", false, {}},
        {"::", false, {}},
        {"", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string file = "f", group = "g", key = "k";
        EXPECT_EQ(orvex::splitH5FileName(c.name, file, group, key), c.isEntry);
        EXPECT_EQ(Strings({file, group, key}), c.isEntry ? c.parts : Strings({"f", "g", "k"}));
    }
}

TEST(TextUtils, FileNameDropsDirectories) {
    struct Case {
        std::string name, expected;
    } const cases[] = {
        {"/d/x/run-3_0.out", "run-3_0.out"},
        {"/d/run.h5:out:7", "run.h5:out:7"},
        {"/d/x/", ""},
        {"run.out", "run.out"},
        {"/d/12:30:00.out", "12:30:00.out"},
        {"C:\\d\\run.out", "C:\\d\\run.out"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(orvex::fileName(c.name), c.expected) << c.name;
}

TEST(TextUtils, ChangesFileExtension) {
    struct Case {
        std::string name, extension, expected;
    } const cases[] = {
        {"/d/run-3_0.out", "csv", "/d/run-3_0.csv"},
        {"/d/run-3_0.out", ".csv", "/d/run-3_0.csv"},
        {"/d/run", "out", "/d/run.out"},
        {"/d/.hidden", "out", "/d/.hidden.out"},
        {"/d/a.b.out", "csv", "/d/a.b.csv"},
        {"/d/2024-05-01T12:30:00.out", "csv", "/d/2024-05-01T12:30:00.csv"},
        {"/d/a:b:c.out", "csv", "/d/a:b:c.csv"},
        {"/d/run.h5:out:7", ".out", "/d/run-7_0.out"},
        {"/d/run_out.h5:out:7", ".out", "/d/run-7_0.out"},
        {"/d/_out.h5:out:7", ".out", "/d/-7_0.out"},
        {"run.h5:out:7", "out", "run-7_0.out"},
        {"D:/d/run.h5:out:7", "csv", "D:/d/run-7_0.csv"},
        {"/d/12:30:00.h5:out:7", "csv", "/d/12:30:00-7_0.csv"},
    };
    LogCapture& warnings = recordWarnings();
    for (const Case& c : cases)
        EXPECT_EQ(orvex::changeFileExtension(c.name, c.extension), c.expected) << c.name << " " << c.extension;
    EXPECT_TRUE(warnings.messages.empty());
}

TEST(TextUtils, ChangeFileExtensionRefusesEmptyArguments) {
    LogCapture& warnings = recordWarnings();
    EXPECT_EQ(orvex::changeFileExtension("", ".csv"), std::nullopt);
    EXPECT_EQ(orvex::changeFileExtension("/d/run.out", ""), std::nullopt);
    expectWarnings(warnings, 2, "File and extension should not be empty", changeExtensionFunction);
}

} // namespace
