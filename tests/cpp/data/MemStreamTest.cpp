#include "orvex/data/MemStream.h"

#include "data/ByteWriter.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

using orvex::MemStream;
using orvex::testing::ByteWriter;

static_assert(!std::is_copy_constructible_v<MemStream> && !std::is_copy_assignable_v<MemStream>);
static_assert(std::is_nothrow_move_constructible_v<MemStream>);

TEST(MemStream, WritesTheStringForm) {
    struct Case {
        std::string text;
        std::vector<char> bytes;
    };
    const Case cases[] = {
        {"", {'\xFF', '\xFF', '\xFF', '\xFF'}},
        {"Ab", {0, 0, 0, 4, 0, 0x41, 0, 0x62}},
        {"\xC3\xA9", {0, 0, 0, 2, 0, '\xE9'}},
        {"\xF0\x9F\x98\x80", {0, 0, 0, 4, '\xD8', 0x3D, '\xDE', 0x00}}, // U+1F600 as a surrogate pair
    };
    for (const Case& c : cases) {
        std::vector<char> buffer(c.bytes.size() + 4, 'z');
        MemStream stream(buffer.data(), static_cast<int>(buffer.size()));
        EXPECT_TRUE(stream.push_string(c.text));
        EXPECT_EQ(stream.position(), static_cast<int>(c.bytes.size()));
        EXPECT_EQ(MemStream::stringSize(c.text), c.bytes.size());
        EXPECT_EQ(std::vector<char>(buffer.begin(), buffer.begin() + stream.position()), c.bytes);
        EXPECT_EQ(buffer.back(), 'z');

        MemStream reader(static_cast<const char*>(buffer.data()), stream.position());
        std::string text = "old";
        EXPECT_TRUE(reader.pop_string(text));
        EXPECT_EQ(text, c.text);
        EXPECT_EQ(reader.position(), stream.position());
    }
}

TEST(MemStream, ReadsCountsAndRejectsMalformedStrings) {
    struct Case {
        ByteWriter input;
        bool ok;
        std::string text;
        int position; // after the call
    };
    const Case cases[] = {
        {ByteWriter().u32(0), true, "", 4},
        {ByteWriter().u32(4).u32(0x00610000).u32(0x00620000), true, "a", 8}, // stops at the NUL unit
        {ByteWriter().u32(3).u32(0x00610062), false, "", 4},
        {ByteWriter().u32(6).u32(0x00610062), false, "", 8},
        {ByteWriter().u32(6).u32(0x00610062).byte(0x63), false, "", 8}, // the half unit stays unread
        {ByteWriter().u32(0x7FFFFFFE), false, "", 4},
        {ByteWriter().u32(0xFFFFFFFE), false, "", 4},
        {ByteWriter(), false, "old", 0},
        {ByteWriter{{0, 0, 0}}, false, "old", 0},
    };
    for (const Case& c : cases) {
        MemStream reader(c.input.bytes.data(), c.input.size());
        std::string text = "old";
        EXPECT_EQ(reader.pop_string(text), c.ok) << c.input.size();
        EXPECT_EQ(text, c.text) << c.input.size();
        EXPECT_EQ(reader.position(), c.position) << c.input.size();
    }
}

TEST(MemStream, WritesFailWithoutRoom) {
    std::vector<char> buffer(7, 'z');
    MemStream stream(buffer.data(), 7);
    EXPECT_FALSE(stream.push_string("Ab")); // the count fits, the units do not
    EXPECT_EQ(stream.position(), 4);
    EXPECT_FALSE(stream.push_string(""));
    EXPECT_FALSE(stream.push_u32(1));
    EXPECT_TRUE(stream.push_bytes("abc", 3));
    EXPECT_EQ(stream.remaining(), 0u);
    EXPECT_FALSE(stream.push_bytes("d", 1));

    const char bytes[] = {1, 2, 3, 4};
    MemStream readOnly(bytes, 4);
    EXPECT_FALSE(readOnly.push_u32(7));
    std::uint32_t value = 0;
    EXPECT_TRUE(readOnly.pop_u32(value));
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_FALSE(readOnly.pop_u32(value));
}

TEST(MemStream, MovingTransfersTheOwnedBuffer) {
    MemStream first(new char[8], 8, true);
    ASSERT_TRUE(first.push_u32(5));
    MemStream second(std::move(first));
    EXPECT_EQ(first.buffer(), nullptr);
    EXPECT_FALSE(first.ownsBuffer());
    EXPECT_TRUE(second.ownsBuffer());
    EXPECT_EQ(second.position(), 4);

    MemStream third(new char[4], 4, true);
    third = std::move(second); // releases its own buffer, takes the other
    EXPECT_EQ(third.capacity(), 8);
    EXPECT_TRUE(third.push_u32(6));
}

TEST(MemStream, NullBufferHasNoRoom) {
    MemStream writer(static_cast<char*>(nullptr), 16);
    MemStream reader(static_cast<const char*>(nullptr), 16);
    EXPECT_EQ(writer.capacity(), 0);
    EXPECT_EQ(reader.capacity(), 0);
    EXPECT_FALSE(writer.push_u32(1));
    std::uint32_t value = 0;
    std::string text = "old";
    EXPECT_FALSE(reader.pop_u32(value));
    EXPECT_FALSE(reader.pop_string(text));
    EXPECT_EQ(reader.position(), 0);
}
