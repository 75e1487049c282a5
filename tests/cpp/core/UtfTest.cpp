#include "orvex/core/Utf.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using orvex::utfCharFromRowData;

struct DecodeCase {
    const char* label;
    std::string bytes;
    std::optional<char32_t> expected;
    std::ptrdiff_t advance;
};

TEST(Utf, DecodesOneCodePointLeniently) {
    const DecodeCase cases[] = {
        {"empty range", "", std::nullopt, 0},
        {"0 byte", std::string("\0a", 2), std::nullopt, 0},
        {"stray continuation", "\x80", std::nullopt, 0},
        {"lead 0xF8", "\xF8\x80\x80\x80", std::nullopt, 0},
        {"ascii", "ab", U'a', 1},
        {"two bytes", "\xC3\xA9", U'\u00E9', 2},
        {"three bytes", "\xE2\x82\xAC", U'\u20AC', 3},
        {"four bytes", "\xF0\x9F\x98\x80", U'\U0001F600', 4},
        {"overlong A", "\xC1\x81", U'A', 2},
        {"overlong two-byte 0", "\xC0\x80", std::nullopt, 2},
        {"overlong three-byte 0", "\xE0\x80\x80", std::nullopt, 3},
        {"surrogate", "\xED\xA0\x80", std::nullopt, 0},
        {"above U+10FFFF", "\xF4\x90\x80\x80", std::nullopt, 0},
        {"truncated three-byte", "\xE2\x82", std::nullopt, 0},
        {"truncated four-byte", "\xF0\x9F\x98", std::nullopt, 0},
        {"lead without continuation", "\xC5\x41", U'\u0005', 1},
        {"non-continuation passed over", "\xE2\x41\x82", U'\u0082', 2},
        {"0xC0 without continuation", "\xC0\x41", std::nullopt, 0},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.label);
        const char* begin = c.bytes.data();
        const char* position = begin;
        EXPECT_EQ(utfCharFromRowData(position, begin + c.bytes.size()), c.expected);
        EXPECT_EQ(position - begin, c.advance);
    }
    const char* null = nullptr;
    EXPECT_EQ(utfCharFromRowData(null, null), std::nullopt);
}

TEST(Utf, ValidPrefixAndStringValidity) {
    struct Case {
        std::string bytes;
        std::size_t validEnd;
    } const cases[] = {
        {"abc", 3},
        {std::string("ab\0c", 4), 2},
        {"ab\xC0\x80", 4},  // the decoded 0 is consumed, then decoding stops at the end
        {"ab\xFF" "c", 2},
        {"\xE2\x41\x82", 2}, // rests on the continuation byte that follows
        {"", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        const char* begin = c.bytes.data();
        EXPECT_EQ(orvex::utfFindRowDataEnd(begin, begin + c.bytes.size()) - begin,
                  static_cast<std::ptrdiff_t>(c.validEnd));
        EXPECT_EQ(orvex::utfIsValid(c.bytes), c.validEnd == c.bytes.size());
    }
}

TEST(Utf, CodePointValidity) {
    struct Case {
        char32_t codePoint;
        bool valid;
    } const cases[] = {{0, true},         {0xD7FF, true},  {0xD800, false},   {0xDFFF, false},
                       {0xE000, true},    {0xFFFF, true},  {0x10FFFF, true}, {0x110000, false},
                       {0xFFFFFFFF, false}};
    for (const Case& c : cases)
        EXPECT_EQ(orvex::utfIsValid(c.codePoint), c.valid) << std::hex << uint32_t(c.codePoint);
}

TEST(Utf, Utf8ToUtf16StopsAtFirstUndecodableByte) {
    struct Case {
        std::string bytes;
        std::u16string units;
    } const cases[] = {
        {"A\xE2\x82\xAC\xF0\x9F\x98\x80", {0x0041, 0x20AC, 0xD83D, 0xDE00}},
        {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
        {"ab\xFF" "c", u"ab"},
        {std::string("ab\0c", 4), u"ab"},
        {"ab\xC0\x80" "c", u"ab"},
        {"", u""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(orvex::utfStrToU16(c.bytes), c.units);
    }
}

TEST(Utf, Utf16ToUtf8StopsAtFirstBadUnit) {
    struct Case {
        const char* label;
        std::u16string units;
        std::string bytes;
    } const cases[] = {
        {"lone low surrogate", {0x0041, 0xDE00, 0x0042}, "A"},
        {"high surrogate at the end", {0x0041, 0xD83D}, "A"},
        {"high surrogate before a non-surrogate", {0x0041, 0xD83D, 0x0042}, "A"},
        {"surrogate pair", {0xD83D, 0xDE00}, "\xF0\x9F\x98\x80"},
        {"0 unit", {0x0061, 0x0062, 0x0000, 0x0063}, "ab"},
        {"two and three bytes", {0x00E9, 0x20AC, 0xFFFF}, "\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF"},
        {"empty", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(orvex::utf16ToStr(c.units), c.bytes);
    }
}

TEST(Utf, RoundTripsEveryValidCodePoint) {
    for (char32_t codePoint = 1; codePoint <= 0x10FFFF; ++codePoint) {
        if (!orvex::utfIsValid(codePoint))
            continue;
        const std::string utf8 = orvex::utfChar2String(codePoint);
        const char* position = utf8.data();
        ASSERT_EQ(utfCharFromRowData(position, utf8.data() + utf8.size()), codePoint);
        ASSERT_EQ(position, utf8.data() + utf8.size());
        ASSERT_EQ(orvex::utf16ToStr(orvex::utfStrToU16(utf8)), utf8);
    }
}

TEST(Utf, EncodesAndAppendsOnlyValidCodePoints) {
    struct Case {
        char32_t codePoint;
        std::string bytes;
    } const cases[] = {
        {0, std::string(1, '\0')},
        {0x7F, "\x7F"},
        {0x80, "\xC2\x80"},
        {0x7FF, "\xDF\xBF"},
        {0x800, "\xE0\xA0\x80"},
        {0x10000, "\xF0\x90\x80\x80"},
        {0x10FFFF, "\xF4\x8F\xBF\xBF"},
        {0xD800, ""},
        {0x110000, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << uint32_t(c.codePoint));
        EXPECT_EQ(orvex::utfChar2String(c.codePoint), c.bytes);
        std::string text = "x";
        EXPECT_EQ(orvex::utfAppend(text, c.codePoint), !c.bytes.empty());
        EXPECT_EQ(text, "x" + c.bytes);
    }
}

TEST(Utf, DigitAndSpaceAreAsciiOnly) {
    for (char32_t codePoint : {U'0', U'5', U'9'})
        EXPECT_TRUE(orvex::utfIsDigit(codePoint));
    for (char32_t codePoint : {U'/', U':', U'\u0660', U'\uFF10'})
        EXPECT_FALSE(orvex::utfIsDigit(codePoint));
    for (char32_t codePoint : {U'\t', U'\n', U'\v', U'\f', U'\r', U' '})
        EXPECT_TRUE(orvex::utfIsSpace(codePoint));
    for (char32_t codePoint : {U'\u0008', U'\u000E', U'\u0085', U'\u00A0', U'\u2003'})
        EXPECT_FALSE(orvex::utfIsSpace(codePoint));
}

std::u32string collect(const std::string& text) {
    std::u32string visited;
    for (char32_t codePoint : orvex::utfChars(text))
        visited.push_back(codePoint);
    return visited;
}

TEST(Utf, IteratesUpToFirstUndecodableByte) {
    EXPECT_EQ(collect("ab\xFF" "c"), U"ab");
    EXPECT_EQ(collect(""), U"");
    EXPECT_EQ(collect("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), U"\u00E9\u20AC\U0001F600");
    // The overlong 0 at the end is visited as 0, since nothing decodes there.
    EXPECT_EQ(collect("a\xC0\x80"), std::u32string(U"a\0", 2));
}

TEST(Utf, IteratorStepsAndOffsets) {
    const std::string text = "a\xC3\xA9" "b\xFF";
    const orvex::UtfCharsIterable chars = orvex::utfChars(text);
    auto it = chars.begin();
    EXPECT_EQ(*it, U'a');
    EXPECT_EQ(*(it++), U'a');
    EXPECT_EQ(*it, U'\u00E9');
    EXPECT_EQ(*++it, U'b');
    EXPECT_EQ(chars.begin() + 0, chars.begin());
    EXPECT_EQ(chars.begin() + -1, chars.begin());
    EXPECT_EQ(*(chars.begin() + 2), U'b');
    EXPECT_EQ(chars.begin() + 3, chars.end());
    // Past the valid prefix, steps stay put and the iterator reads 0.
    EXPECT_EQ(chars.begin() + 10, chars.end());
    EXPECT_EQ(*chars.end(), U'\0');
    EXPECT_EQ(++chars.end(), chars.end());
}

} // namespace
