#include "support/deflate.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/memory.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Text-like bytes with repeats, so every level has matches to find.
Bytes sample_bytes(size_t n, uint32_t seed)
{
    Bytes out(n);
    uint32_t state = seed;
    for (size_t i = 0; i < n; ++i) {
        state = state * 1103515245u + 12345;
        out[i] = static_cast<uint8_t>(i % 97 < 60 ? 'a' + (i % 13) : state >> 24);
    }
    return out;
}

Bytes deflated(const Bytes& raw, int level = kDeflateLevel)
{
    Bytes out(zlib_deflate_bound(raw.size()));
    out.resize(zlib_deflate(raw, out.data(), out.size(), level).value);
    return out;
}

int uncompress_code(const Bytes& stream, size_t capacity)
{
    Bytes out(capacity);
    uLongf length = static_cast<uLongf>(capacity);
    return uncompress(out.data(), &length, stream.data(), static_cast<uLong>(stream.size()));
}

Bytes deflated_filtered(const Bytes& raw)
{
    Bytes out(zlib_deflate_bound(raw.size()));
    out.resize(zlib_deflate_filtered(raw, out.data(), out.size()).value);
    return out;
}

Bytes noise(size_t n)
{
    Bytes out(n);
    uint32_t state = 77;
    for (uint8_t& b : out) {
        state = state * 1103515245u + 12345;
        b = static_cast<uint8_t>(state >> 23);
    }
    return out;
}

// Every level and the filtered strategy, on text-like bytes and on noise that no match
// shrinks (the bound must hold for it). Level 0 stands for the filtered strategy.
TEST(Deflate, StreamsInflateWithZlibAtEveryLevel)
{
    std::vector<Bytes> inputs;
    for (size_t size : {size_t{0}, size_t{1}, size_t{1000}, size_t{300000}})
        inputs.push_back(sample_bytes(size, 5));
    inputs.push_back(noise(200000));
    for (const Bytes& raw : inputs) {
        for (int level : {1, 4, kDeflateLevel, 9, 12, 0}) {
            const Bytes stream = level == 0 ? deflated_filtered(raw) : deflated(raw, level);
            ASSERT_FALSE(stream.empty()) << raw.size() << " at " << level;
            Bytes back(raw.size() + 1);
            uLongf length = static_cast<uLongf>(back.size());
            ASSERT_EQ(uncompress(back.data(), &length, stream.data(), static_cast<uLong>(stream.size())), Z_OK);
            back.resize(length);
            EXPECT_EQ(back, raw) << raw.size() << " at " << level;
        }
    }
}

TEST(Deflate, OutputThatDoesNotFitIsTooLarge)
{
    Bytes raw = sample_bytes(5000, 9);
    Bytes out(10);
    EXPECT_EQ(zlib_deflate(raw, out.data(), out.size()).fault, Fault::too_large);
    EXPECT_EQ(zlib_deflate_filtered(raw, out.data(), out.size()).fault, Fault::too_large);
}

TEST(Deflate, ChecksumsAgreeWithZlibAlsoInPieces)
{
    Bytes data = sample_bytes(100000, 3);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, data.data(), static_cast<uInt>(data.size())));
    const uint32_t adler = static_cast<uint32_t>(adler32(1, data.data(), static_cast<uInt>(data.size())));
    EXPECT_EQ(crc32_update(0, data), crc);
    EXPECT_EQ(adler32_update(1, data), adler);
    std::span<const uint8_t> all(data);
    EXPECT_EQ(crc32_update(crc32_update(0, all.first(777)), all.subspan(777)), crc);
    EXPECT_EQ(adler32_update(adler32_update(1, all.first(777)), all.subspan(777)), adler);
    EXPECT_EQ(crc32_update(0, {}), 0u);
    EXPECT_EQ(adler32_update(1, {}), 1u);
}

// Good streams fill the buffer and give the size; every broken one says why, as the code
// zlib's uncompress gives for it.
TEST(Deflate, InflateKnownSizeReportsZlibsCodes)
{
    Bytes raw = sample_bytes(20000, 1);
    Bytes stream = deflated(raw);
    Bytes out(raw.size());
    size_t size = out.size();
    ASSERT_EQ(zlib_inflate_known_size(stream, out.data(), &size), Fault::none);
    EXPECT_EQ(size, raw.size());
    EXPECT_EQ(out, raw);

    // More room than needed: the real size comes back.
    Bytes roomy(raw.size() + 100);
    size = roomy.size();
    ASSERT_EQ(zlib_inflate_known_size(stream, roomy.data(), &size), Fault::none);
    EXPECT_EQ(size, raw.size());

    Bytes corrupt = stream;
    corrupt[corrupt.size() / 2] ^= 0x55;
    Bytes bad_check = stream;
    bad_check.back() ^= 1;
    Bytes bad_header = stream;
    bad_header[1] ^= 1;
    const Bytes truncated(stream.data(), stream.data() + stream.size() / 2);
    struct Case {
        const char* name;
        const Bytes& data;
        size_t capacity;
    };
    for (const Case& c : {Case{"short output", stream, raw.size() - 1}, Case{"corrupt", corrupt, raw.size()},
                          Case{"adler", bad_check, raw.size()}, Case{"header", bad_header, raw.size()},
                          Case{"truncated", truncated, raw.size()}, Case{"empty", Bytes{}, raw.size()}}) {
        SCOPED_TRACE(c.name);
        const int expected = uncompress_code(c.data, c.capacity);
        EXPECT_NE(expected, Z_OK);
        Bytes target(c.capacity);
        size = target.size();
        EXPECT_EQ(zlib_code(zlib_inflate_known_size(c.data, target.data(), &size)), expected);
        uint8_t* grown = nullptr;
        EXPECT_EQ(zlib_code(zlib_inflate_growing(c.data, c.capacity, &grown, &size)), expected);
        EXPECT_EQ(grown, nullptr);
    }
    // Growing from a small first block to the whole stream, and to a limit it just fits.
    for (size_t limit : {raw.size(), raw.size() + 100}) {
        uint8_t* grown = nullptr;
        ASSERT_EQ(zlib_inflate_growing(stream, limit, &grown, &size), Fault::none);
        ByteBuffer owned(grown);
        EXPECT_EQ(Bytes(grown, grown + size), raw);
    }
}

}  // namespace
