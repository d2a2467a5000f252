#include "stream/byte_reader.h"

#include <array>

#include <gtest/gtest.h>

TEST(ByteReader, ReadsBothByteOrdersAndStopsAtTheEnd)
{
    constexpr std::array<uint8_t, 7> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07};
    ByteReader in(bytes);
    EXPECT_EQ(in.u16le(), 0x0201);
    EXPECT_EQ(in.u32be(), 0x03040506u);
    EXPECT_EQ(in.u32le(), 0u);  // one byte left: nothing read, cursor kept
    EXPECT_FALSE(in.ok());
    EXPECT_EQ(in.position(), 6u);
    EXPECT_EQ(in.u8(), 0);  // a failed reader stays failed
}

TEST(ByteReader, ViewsStringsAndSeeksStayInsideTheSpan)
{
    constexpr std::array<uint8_t, 6> bytes{'a', 'b', 0, 'c', 'd', 'e'};
    ByteReader in(bytes);
    EXPECT_EQ(in.cstring(), "ab");
    EXPECT_EQ(in.bytes(2).size(), 2u);
    EXPECT_TRUE(in.ok());
    EXPECT_TRUE(in.cstring().empty());  // "e" has no NUL
    EXPECT_FALSE(in.ok());

    ByteReader again(bytes);
    EXPECT_FALSE(again.seek(7));
    ByteReader view(bytes);
    EXPECT_TRUE(view.seek(6));
    EXPECT_TRUE(view.at_end());
    EXPECT_TRUE(view.bytes(1).empty());
}

TEST(ByteReader, BitFieldsAreReadMostSignificantFirstAndSigned)
{
    // 5 bits of 3, then 5 bits of -2 (11110), then the next whole byte.
    constexpr std::array<uint8_t, 3> bytes{0b00011111, 0b10000000, 0xAB};
    ByteReader in(bytes);
    EXPECT_EQ(in.ubits(5), 3u);
    EXPECT_EQ(in.sbits(5), -2);
    EXPECT_EQ(in.u8(), 0xAB);
    EXPECT_TRUE(in.ok());
    EXPECT_EQ(in.ubits(1), 0u);
    EXPECT_FALSE(in.ok());
}
