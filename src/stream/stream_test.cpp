#include "stream/stream.h"

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "capture.h"

namespace {

// A stream over a copy of the given bytes, released on scope exit.
struct TestStream {
    Stream s{};
    explicit TestStream(std::initializer_list<uint8_t> bytes)
    {
        stream_resize(&s, static_cast<uint32_t>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), s.buf);
    }
    ~TestStream() { stream_clear(&s); }
};

std::string captured(void (*fn)(Stream*), Stream* s)
{
    testkit::CapturedStdout capture;
    fn(s);
    return capture.take();
}

TEST(StreamBits, ByteReadAfterPartialBitsAlignsAndSaysSo)
{
    TestStream t{0xE0, 0xAB, 0xCD};
    EXPECT_EQ(stream_read_ubits(&t.s, 3), 7u);
    uint8_t value = 0;
    testkit::CapturedStdout capture;
    value = stream_read_ui8(&t.s);
    std::string out = capture.take();
    EXPECT_EQ(value, 0xAB);
    EXPECT_EQ(t.s.pos, 2u);
    EXPECT_NE(out.find("[DEBUG] stream:"), std::string::npos);
    EXPECT_NE(out.find(" <reset_bitread>: stream->bitpos:3\n"), std::string::npos);
    // Aligned reads print nothing.
    t.s.pos = 0;
    EXPECT_EQ(captured([](Stream* s) { stream_read_ui8(s); }, &t.s), "");
}

TEST(StreamBits, UbitsCrossBytesAndTrackPosition)
{
    TestStream t{0xA5, 0x0F};
    EXPECT_EQ(stream_read_ubits(&t.s, 3), 5u);
    EXPECT_EQ(stream_read_ubits(&t.s, 7), 20u);
    EXPECT_EQ(t.s.pos, 1u);
    EXPECT_EQ(t.s.bitpos, 2);
    EXPECT_EQ(stream_read_ubits(&t.s, 0), 0u);
    EXPECT_EQ(t.s.pos, 1u);
    EXPECT_EQ(t.s.bitpos, 2);
    EXPECT_EQ(stream_read_ubits(&t.s, 6), 0x0Fu);
    EXPECT_EQ(t.s.pos, 2u);
    EXPECT_EQ(t.s.bitpos, 0);
}

TEST(StreamBits, SignedBitFields)
{
    TestStream t{0xF0, 0x80};  // 1111 0000, 1000 0000
    EXPECT_EQ(stream_read_sbits(&t.s, 5), -2);
    EXPECT_EQ(stream_read_sbits(&t.s, 0), 0);
    EXPECT_EQ(stream_read_sbits(&t.s, 1), 0);
    t.s.pos = 1;
    t.s.bitpos = 0;
    EXPECT_EQ(stream_read_sbits(&t.s, 1), -1);
    TestStream wide{0x80, 0, 0, 0, 0};
    EXPECT_EQ(stream_read_sbits(&wide.s, 32), INT32_MIN);
}

TEST(StreamRead, LittleEndianIntegersDoublesStrings)
{
    TestStream t{0x34, 0x12, 0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12, 'h', 'i', 0, 0xFF};
    EXPECT_EQ(stream_read_ui16(&t.s), 0x1234);
    EXPECT_EQ(stream_read_si16(&t.s), -2);
    EXPECT_EQ(stream_read_ui32(&t.s), 0x12345678u);
    EXPECT_STREQ(stream_read_string(&t.s), "hi");
    EXPECT_EQ(t.s.pos, 11u);
    EXPECT_EQ(stream_read_si8(&t.s), -1);

    Stream d{};
    stream_resize(&d, 8);
    stream_write_double(&d, -1.5);
    d.pos = 0;
    EXPECT_EQ(stream_read_double(&d), -1.5);
    stream_clear(&d);
}

TEST(StreamRead, EncodedU32)
{
    TestStream one{0x7F};
    EXPECT_EQ(stream_read_encodedu32(&one.s), 127u);
    EXPECT_EQ(one.s.pos, 1u);
    TestStream two{0x80, 0x01};
    EXPECT_EQ(stream_read_encodedu32(&two.s), 128u);
    EXPECT_EQ(two.s.pos, 2u);
    TestStream five{0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
    EXPECT_EQ(stream_read_encodedu32(&five.s), 4294967295u);
    EXPECT_EQ(five.s.pos, 5u);
    TestStream high{0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(stream_read_encodedu32(&high.s), 4294967295u);
}

TEST(StreamWrite, WritersResizeCopyAndFill)
{
    Stream s{};
    stream_resize(&s, 4);
    EXPECT_EQ(std::memcmp(s.buf, "\0\0\0\0", 4), 0);  // zero-filled
    stream_write_ui16(&s, 0xBEEF);
    stream_write_bytes(&s, "x", 0);
    EXPECT_EQ(s.pos, 2u);
    stream_resize(&s, 16);  // keeps bytes and position
    EXPECT_EQ(s.buf[0], 0xEF);
    EXPECT_EQ(s.pos, 2u);
    stream_write_si32(&s, -2);
    stream_fill(&s, 0x55, 3);
    stream_write_string(&s, "ab");
    EXPECT_EQ(s.pos, 12u);
    const uint8_t expect[] = {0xEF, 0xBE, 0xFE, 0xFF, 0xFF, 0xFF, 0x55, 0x55, 0x55, 'a', 'b', 0};
    EXPECT_EQ(std::memcmp(s.buf, expect, sizeof expect), 0);

    Stream dest{};
    stream_resize(&dest, 3);
    s.pos = 1;
    stream_copy(&dest, &s, 3);
    EXPECT_EQ(s.pos, 1u);
    EXPECT_EQ(dest.pos, 0u);
    EXPECT_EQ(dest.buf[0], 0xBE);
    uint8_t out[2];
    stream_read_bytes(out, &s, 2);
    EXPECT_EQ(s.pos, 3u);
    EXPECT_EQ(out[1], 0xFE);
    stream_clear(&dest);
    stream_clear(&s);
    EXPECT_EQ(s.buf, nullptr);
    EXPECT_EQ(s.len, 0u);
}

void read_twice_from_one_byte()
{
    TestStream t{1};
    stream_read_ui8(&t.s);
    stream_read_ui8(&t.s);
}

// A value that starts inside the buffer but ends past it is refused as well.
void read_u32_from_two_bytes()
{
    TestStream t{1, 2};
    stream_read_ui32(&t.s);
}

TEST(StreamDeathTest, AllocationLimitAndReadsPastTheEnd)
{
    void* p = mem_alloc((size_t{1} << 30) - 1);
    EXPECT_NE(p, nullptr);
    mem_free(p);
    EXPECT_DEATH(mem_alloc(size_t{1} << 30), "size < kMaxBufferSize");
    EXPECT_DEATH(read_twice_from_one_byte(), "stream->pos < stream->len");
    EXPECT_DEATH(read_u32_from_two_bytes(), "");
}

}  // namespace
