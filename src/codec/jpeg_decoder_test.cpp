#include "codec/jpeg_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "jpeg_oracle.h"
#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------- test pictures

uint32_t next_random(uint32_t& state)
{
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

// Smooth gradients, a hard-edged disc and mild noise: enough detail to exercise every
// coefficient position without being pure noise.
Bytes make_picture(int width, int height, int components, uint32_t seed)
{
    Bytes pixels(size_t(width) * height * components);
    uint32_t state = seed;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int dx = x - width / 2, dy = y - height / 3;
            bool inside = dx * dx + dy * dy < (width * width) / 9;
            for (int c = 0; c < components; ++c) {
                int v = (x * (60 + 50 * c)) / (width + 1) + (y * (150 - 40 * c)) / (height + 1);
                v += inside ? 70 - 30 * c : 0;
                v += int(next_random(state) % 13) - 6;
                pixels[(size_t(y) * width + x) * components + c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return pixels;
}

struct Decoded {
    int status = -1;
    int width = 0, height = 0, colour = 0;
    Bytes pixels;
};

// Copies the input into an exactly sized heap block so that AddressSanitizer catches
// any read past its end.
Decoded decode(const Bytes& jpeg, size_t length = SIZE_MAX)
{
    length = std::min(length, jpeg.size());
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
    std::memcpy(copy.get(), jpeg.data(), length);
    Decoded result;
    JpegDecoder decoder;
    result.status = decoder.decode(copy.get(), int32_t(length));
    if (result.status == kJpegOk) {
        result.width = decoder.width();
        result.height = decoder.height();
        result.colour = decoder.is_colour();
        result.pixels.assign(decoder.pixels(), decoder.pixels() + decoder.pixels_size());
    }
    return result;
}

struct Difference {
    double mean = 0;
    int max = 0;
};

Difference compare(const Bytes& a, const Bytes& b)
{
    Difference d;
    long total = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int diff = std::abs(int(a[i]) - int(b[i]));
        total += diff;
        d.max = std::max(d.max, diff);
    }
    d.mean = a.empty() ? 0 : double(total) / double(a.size());
    return d;
}

// ---------------------------------------------------------------- hand-made streams

// Writes entropy-coded bits MSB first, stuffing 00 after every FF; pads with 1-bits.
struct BitWriter {
    Bytes bytes;
    uint32_t acc = 0;
    int used = 0;
    void put(uint32_t bits, int n)
    {
        for (int i = n - 1; i >= 0; --i) {
            acc = (acc << 1) | ((bits >> i) & 1);
            if (++used == 8) {
                bytes.push_back(uint8_t(acc));
                if (acc == 0xFF)
                    bytes.push_back(0);
                acc = 0;
                used = 0;
            }
        }
    }
    // Magnitude category and bits of a coefficient value, as the coder stores them.
    void put_value(int v, int category) { put(uint32_t(v > 0 ? v : v + (1 << category) - 1), category); }
    Bytes finish()
    {
        while (used)
            put(1, 1);
        return bytes;
    }
};

int category_of(int v)
{
    int n = 0;
    for (int a = std::abs(v); a; a >>= 1)
        ++n;
    return n;
}

struct JpegWriter {
    Bytes out{0xFF, 0xD8};
    void segment(int marker, const Bytes& payload)
    {
        out.push_back(0xFF);
        out.push_back(uint8_t(marker));
        size_t length = payload.size() + 2;
        out.push_back(uint8_t(length >> 8));
        out.push_back(uint8_t(length));
        out.insert(out.end(), payload.begin(), payload.end());
    }
    void quant(int id, uint8_t value)
    {
        Bytes p(65, value);
        p[0] = uint8_t(id);
        segment(0xDB, p);
    }
    // `sampling` holds one 0xHV byte per component; components are numbered from 1.
    void frame(int width, int height, const Bytes& sampling, int precision = 8)
    {
        Bytes p{uint8_t(precision),  uint8_t(height >> 8), uint8_t(height),
                uint8_t(width >> 8), uint8_t(width),       uint8_t(sampling.size())};
        for (size_t i = 0; i < sampling.size(); ++i)
            p.insert(p.end(), {uint8_t(i + 1), sampling[i], 0});
        segment(0xC0, p);
    }
    void huffman(int class_and_id, const Bytes& counts, const Bytes& symbols)
    {
        Bytes p{uint8_t(class_and_id)};
        p.insert(p.end(), counts.begin(), counts.end());
        p.insert(p.end(), symbols.begin(), symbols.end());
        segment(0xC4, p);
    }
    void scan(int components, const Bytes& data)
    {
        Bytes p{uint8_t(components)};
        for (int i = 0; i < components; ++i)
            p.insert(p.end(), {uint8_t(i + 1), 0x00});
        p.insert(p.end(), {0, 63, 0});
        segment(0xDA, p);
        out.insert(out.end(), data.begin(), data.end());
    }
    Bytes end()
    {
        out.push_back(0xFF);
        out.push_back(0xD9);
        return out;
    }
};

// DC table: categories 0..11, four-bit codes equal to the category.
// AC table: end of block, ZRL and run/size symbols for runs 0..15 and sizes 1..3, all
// eight-bit codes in that order. No all-ones codes, so libjpeg accepts both.
constexpr int kAcSymbolCount = 50;
uint8_t ac_symbol(int index)
{
    if (index == 0)
        return 0x00;
    if (index == 1)
        return 0xF0;
    int i = index - 2;
    return uint8_t(((i / 3) << 4) | (i % 3 + 1));
}
int ac_code(uint8_t symbol)
{
    for (int i = 0; i < kAcSymbolCount; ++i)
        if (ac_symbol(i) == symbol)
            return i;
    return -1;
}

void write_test_tables(JpegWriter& w, uint8_t quant_value, int ac_length = 8)
{
    w.quant(0, quant_value);
    Bytes dc_counts(16, 0), dc_symbols;
    dc_counts[3] = 12;
    for (int i = 0; i < 12; ++i)
        dc_symbols.push_back(uint8_t(i));
    w.huffman(0x00, dc_counts, dc_symbols);
    Bytes ac_counts(16, 0), ac_symbols;
    ac_counts[ac_length - 1] = kAcSymbolCount;
    for (int i = 0; i < kAcSymbolCount; ++i)
        ac_symbols.push_back(ac_symbol(i));
    w.huffman(0x10, ac_counts, ac_symbols);
}

// A block as (zig-zag position, value) pairs after the DC difference.
struct TestBlock {
    int dc_diff = 0;
    std::vector<std::pair<int, int>> ac;  // values in -7..7, positions ascending
};

void put_block(BitWriter& bits, const TestBlock& block, int ac_length = 8)
{
    int dc_category = category_of(block.dc_diff);
    bits.put(uint32_t(dc_category), 4);
    bits.put_value(block.dc_diff, dc_category);
    int k = 0;
    for (auto [position, value] : block.ac) {
        int run = position - k - 1;
        for (; run >= 16; run -= 16)
            bits.put(uint32_t(ac_code(0xF0)), ac_length);
        int category = category_of(value);
        bits.put(uint32_t(ac_code(uint8_t((run << 4) | category))), ac_length);
        bits.put_value(value, category);
        k = position;
    }
    if (k < 63)
        bits.put(uint32_t(ac_code(0x00)), ac_length);
}

Bytes single_block_image(const std::vector<TestBlock>& blocks, int width, int height, const Bytes& sampling,
                         uint8_t quant_value, int ac_length = 8)
{
    JpegWriter w;
    write_test_tables(w, quant_value, ac_length);
    w.frame(width, height, sampling);
    BitWriter bits;
    for (const TestBlock& b : blocks)
        put_block(bits, b, ac_length);
    w.scan(int(sampling.size()), bits.finish());
    return w.end();
}

// The value of every sample of a block whose only coefficient is `dc` (dequantised),
// following the row shortcut (dc << 3) and the column shortcut ((v + 32) >> 6) + 128.
int flat_value(int dc)
{
    int v = (((dc * 8) + 32) >> 6) + 128;
    return v < 0 ? 0 : v > 255 ? 255 : v;
}

// ---------------------------------------------------------------- tests

TEST(JpegDecoder, RefusesNonJpegAndTruncatedStart)
{
    JpegDecoder decoder;
    const uint8_t soi_only[] = {0xFF, 0xD8};
    const uint8_t one_byte[] = {0xFF};
    const uint8_t eoi_first[] = {0xFF, 0xD9, 0xFF, 0xD8};
    EXPECT_EQ(decoder.decode(soi_only, 2), kJpegSyntaxError);
    EXPECT_EQ(decoder.decode(one_byte, 1), kJpegNotJpeg);
    EXPECT_EQ(decoder.decode(eoi_first, 4), kJpegNotJpeg);
    EXPECT_EQ(decoder.decode(nullptr, 10), kJpegNotJpeg);
    // A negative size must not turn into 2 GiB of input once the top bit is cleared.
    EXPECT_EQ(decoder.decode(soi_only, -2), kJpegNotJpeg);
}

TEST(JpegDecoder, ZeroBlocksAreFlat128AndDcOnlyBlocksFollowTheShortcuts)
{
    Decoded zero = decode(single_block_image({TestBlock{}}, 8, 8, {0x11}, 1));
    ASSERT_EQ(zero.status, kJpegOk);
    EXPECT_EQ(zero.pixels, Bytes(64, 128));

    // DC predictions accumulate: 5, 5 - 12 = -7, -7 + 100 = 93, times quantiser 4.
    std::vector<TestBlock> blocks(3);
    blocks[0].dc_diff = 5;
    blocks[1].dc_diff = -12;
    blocks[2].dc_diff = 100;
    Bytes jpeg = single_block_image(blocks, 24, 8, {0x11}, 4);
    Decoded dc = decode(jpeg);
    ASSERT_EQ(dc.status, kJpegOk);
    ASSERT_EQ(dc.pixels.size(), 24u * 8u);
    const int predictors[3] = {5, -7, 93};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 24; ++x)
            ASSERT_EQ(dc.pixels[y * 24 + x], flat_value(predictors[x / 8] * 4)) << x << "," << y;
    // libjpeg agrees on what the hand-made stream means.
    EXPECT_LE(compare(dc.pixels, oracle::decode_jpeg(jpeg).samples).max, 1);
}

TEST(JpegDecoder, ColourConversionWorkedValues)
{
    // Quantiser 8 and DC 127 give 127 * 8 << 3 = 8128, ((8128 + 32) >> 6) + 128 = 255.
    TestBlock full;
    full.dc_diff = 127;
    Decoded white = decode(single_block_image({full, full, full}, 8, 8, {0x11, 0x11, 0x11}, 8));
    ASSERT_EQ(white.status, kJpegOk);
    ASSERT_EQ(white.colour, 1);
    ASSERT_EQ(white.pixels.size(), 8u * 8u * 3u);
    for (size_t i = 0; i < white.pixels.size(); i += 3) {
        ASSERT_EQ(white.pixels[i], 255);
        ASSERT_EQ(white.pixels[i + 1], 121);  // (65280 - 88*127 - 183*127 + 128) >> 8
        ASSERT_EQ(white.pixels[i + 2], 255);
    }
    Decoded grey = decode(single_block_image({{}, {}, {}}, 1, 1, {0x11, 0x11, 0x11}, 8));
    ASSERT_EQ(grey.status, kJpegOk);
    EXPECT_EQ(grey.pixels, (Bytes{128, 128, 128}));
    Decoded one = decode(single_block_image({{}}, 1, 1, {0x11}, 8));
    ASSERT_EQ(one.status, kJpegOk);
    EXPECT_EQ(one.colour, 0);
    EXPECT_EQ(one.pixels, Bytes{128});
}

TEST(JpegDecoder, FullBlockWithoutEndOfBlockAndOverlongRun)
{
    // First block codes all 63 AC positions (no end-of-block code may follow); the
    // second block is DC-only and decodes flat only if the first ended at position 63.
    TestBlock full;
    for (int k = 1; k <= 63; ++k)
        full.ac.push_back({k, (k % 3) - 1 ? (k % 3) - 1 : 2});
    TestBlock second;
    second.dc_diff = 3;
    Bytes jpeg = single_block_image({full, second}, 16, 8, {0x11}, 2);
    Decoded d = decode(jpeg);
    ASSERT_EQ(d.status, kJpegOk);
    for (int y = 0; y < 8; ++y)
        for (int x = 8; x < 16; ++x)
            ASSERT_EQ(d.pixels[y * 16 + x], flat_value(3 * 2));
    Bytes reference = oracle::decode_jpeg(jpeg).samples;
    ASSERT_EQ(reference.size(), d.pixels.size());
    EXPECT_LE(compare(d.pixels, reference).max, 2);
    // The same coefficients with 12- and 16-bit AC codes, which only the full 16-bit
    // lookup knows, decode to the same pixels.
    for (int ac_length : {12, 16}) {
        Decoded long_codes = decode(single_block_image({full, second}, 16, 8, {0x11}, 2, ac_length));
        ASSERT_EQ(long_codes.status, kJpegOk);
        EXPECT_EQ(long_codes.pixels, d.pixels) << ac_length;
    }

    // Four ZRL symbols move to position 64.
    JpegWriter w;
    write_test_tables(w, 1);
    w.frame(8, 8, {0x11});
    BitWriter bits;
    bits.put(0, 4);
    for (int i = 0; i < 4; ++i)
        bits.put(uint32_t(ac_code(0xF0)), 8);
    w.scan(1, bits.finish());
    EXPECT_EQ(decode(w.end()).status, kJpegSyntaxError);
}

// A plane as the upsampling filters see it: w x h samples in rows s bytes apart.
struct Plane {
    Bytes data;
    int w, h, s;
};

uint8_t filter_value(int v)
{
    v = (v + 64) >> 7;
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// The 4-tap filter along a line of n samples, written out case by case; `far_end` is
// the sample that the last three outputs treat as the line's end.
uint8_t filter_tap(int i, int n, int far_end, const std::function<int(int)>& p)
{
    const int l = far_end;
    if (i == 0)
        return filter_value(139 * p(0) - 11 * p(1));
    if (i == 1)
        return filter_value(104 * p(0) + 27 * p(1) - 3 * p(2));
    if (i == 2)
        return filter_value(28 * p(0) + 109 * p(1) - 9 * p(2));
    if (i == 2 * n - 3)
        return filter_value(28 * p(l) + 109 * p(l - 1) - 9 * p(l - 2));
    if (i == 2 * n - 2)
        return filter_value(104 * p(l) + 27 * p(l - 1) - 3 * p(l - 2));
    if (i == 2 * n - 1)
        return filter_value(139 * p(l) - 11 * p(l - 1));
    if (i % 2) {
        int j = (i - 3) / 2;
        return filter_value(-9 * p(j) + 111 * p(j + 1) + 29 * p(j + 2) - 3 * p(j + 3));
    }
    int j = (i - 4) / 2;
    return filter_value(-3 * p(j) + 29 * p(j + 1) + 111 * p(j + 2) - 9 * p(j + 3));
}

// Horizontal doubling: both edges read the real samples, never the MCU padding.
Plane reference_horizontal(const Plane& in)
{
    Plane out{Bytes(size_t(2 * in.w) * in.h), 2 * in.w, in.h, 2 * in.w};
    for (int y = 0; y < in.h; ++y)
        for (int x = 0; x < 2 * in.w; ++x)
            out.data[size_t(y) * out.s + x] = filter_tap(x, in.w, in.w - 1,
                                                         [&](int i) { return int(in.data[size_t(y) * in.s + i]); });
    return out;
}

Plane reference_vertical(const Plane& in)
{
    Plane out{Bytes(size_t(in.w) * 2 * in.h), in.w, 2 * in.h, in.w};
    for (int y = 0; y < 2 * in.h; ++y)
        for (int x = 0; x < in.w; ++x)
            out.data[size_t(y) * out.s + x] = filter_tap(y, in.h, in.h - 1,
                                                         [&](int i) { return int(in.data[size_t(i) * in.s + x]); });
    return out;
}

Plane reference_upsample(Plane plane, int width, int height)
{
    while (plane.w < width || plane.h < height) {
        if (plane.w < width)
            plane = reference_horizontal(plane);
        if (plane.h < height)
            plane = reference_vertical(plane);
    }
    return plane;
}

// Y sampled 1x1 against larger chroma factors makes the luma plane the one that is
// upsampled, and flat chroma lets every output pixel be predicted from the luma plane
// alone. The same luma blocks coded as a grey image give the plane before upsampling,
// so the filters and the colour conversion can be checked exactly: once where one
// doubling each way suffices (chroma 2x2) and once where the width doubles twice
// (chroma 4x2).
TEST(JpegDecoder, UpsamplingAndColourConversionAreExact)
{
    struct Layout {
        int width, height, chroma_h, chroma_v;
    };
    // Both are 3 x 3 MCUs with one luma block each: luma plane 23 x 19 in 24 x 24.
    for (Layout layout : {Layout{45, 38, 2, 2}, Layout{90, 38, 4, 2}}) {
        SCOPED_TRACE(layout.chroma_h);
        const int blocks_x = 3, blocks_y = 3;
        uint32_t state = 7;
        std::vector<TestBlock> luma(blocks_x * blocks_y);
        for (TestBlock& b : luma) {
            b.dc_diff = int(next_random(state) % 61) - 30;
            for (int k = 1; k < 64; k += 1 + int(next_random(state) % 9))
                b.ac.push_back({k, int(next_random(state) % 7) + 1 - 2 * int(next_random(state) % 2) * 4});
        }
        Decoded grey = decode(single_block_image(luma, blocks_x * 8, blocks_y * 8, {0x11}, 3));
        ASSERT_EQ(grey.status, kJpegOk);
        const int plane_w = (layout.width + layout.chroma_h - 1) / layout.chroma_h;
        const int plane_h = (layout.height + layout.chroma_v - 1) / layout.chroma_v;
        Plane stored{grey.pixels, plane_w, plane_h, blocks_x * 8};
        Plane up = reference_upsample(stored, layout.width, layout.height);

        for (int chroma_dc : {0, 1}) {
            // Chroma: flat 128, or flat values from DC differences +5 (Cb) and -7 (Cr).
            const int cb_diff = chroma_dc ? 5 : 0, cr_diff = chroma_dc ? -7 : 0;
            TestBlock cb, cr;
            cb.dc_diff = cb_diff;
            cr.dc_diff = cr_diff;
            const int chroma_blocks = layout.chroma_h * layout.chroma_v;
            BitWriter bits;
            for (const TestBlock& y : luma) {
                put_block(bits, y);
                if (&y != &luma[0])
                    cb.dc_diff = cr.dc_diff = 0;  // the predictors hold the value from here on
                put_block(bits, cb);
                for (int i = 1; i < chroma_blocks; ++i)
                    put_block(bits, TestBlock{});
                put_block(bits, cr);
                for (int i = 1; i < chroma_blocks; ++i)
                    put_block(bits, TestBlock{});
            }
            JpegWriter w;
            write_test_tables(w, 3);
            const uint8_t chroma = uint8_t(layout.chroma_h << 4 | layout.chroma_v);
            w.frame(layout.width, layout.height, {0x11, chroma, chroma});
            w.scan(3, bits.finish());
            Decoded colour = decode(w.end());
            ASSERT_EQ(colour.status, kJpegOk);
            ASSERT_EQ(colour.pixels.size(), size_t(layout.width) * layout.height * 3);

            const int cb_value = flat_value(cb_diff * 3) - 128, cr_value = flat_value(cr_diff * 3) - 128;
            auto clip = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
            for (int y = 0; y < layout.height; ++y) {
                for (int x = 0; x < layout.width; ++x) {
                    int luma_value = up.data[size_t(y) * up.s + x] << 8;
                    const uint8_t* rgb = &colour.pixels[(size_t(y) * layout.width + x) * 3];
                    ASSERT_EQ(rgb[0], clip((luma_value + 359 * cr_value + 128) >> 8)) << x << "," << y;
                    ASSERT_EQ(rgb[1], clip((luma_value - 88 * cb_value - 183 * cr_value + 128) >> 8));
                    ASSERT_EQ(rgb[2], clip((luma_value + 454 * cb_value + 128) >> 8));
                }
            }
        }
    }
}

struct OracleCase {
    const char* name;
    int components, h, v, width, height, quality;
    double mean_bound;  // mean absolute difference per byte stays below this
    int max_bound;      // and no byte differs by more than this
};

// The decoder's transform, upsampling filter and colour constants are not libjpeg's, so
// pictures agree closely rather than exactly. Bounds as measured (in brackets) with a
// little headroom:
// - grey [mean 0.016, max 1] and 4:4:4 [0.067, 2]: transform and colour rounding only;
// - 4:2:2, 4:2:0, 4:4:0 [<= 0.89, <= 8]: the 4-tap filter against libjpeg's triangle
//   filter, the larger differences on the disc's hard edges;
// - 4:1:1 [1.21, 9]: libjpeg replicates samples there instead of filtering;
// - chroma planes of 3 samples: the 4-tap filter's edge cases cover most of the row.
TEST(JpegDecoder, AgreesWithLibjpegTurbo)
{
    const OracleCase cases[] = {
        {"grey", 1, 1, 1, 37, 23, 85, 0.05, 1},       {"grey-1x1", 1, 1, 1, 1, 1, 90, 0.05, 1},
        {"grey-q100", 1, 1, 1, 64, 40, 100, 0.05, 1}, {"444", 3, 1, 1, 37, 23, 85, 0.1, 2},
        {"444-1x1", 3, 1, 1, 1, 1, 75, 0.1, 2},       {"444-q100", 3, 1, 1, 30, 17, 100, 0.1, 2},
        {"422", 3, 2, 1, 37, 23, 85, 1.0, 8},         {"420", 3, 2, 2, 37, 23, 85, 1.0, 8},
        {"420-odd", 3, 2, 2, 17, 9, 90, 1.0, 8},      {"420-wide", 3, 2, 2, 203, 131, 75, 1.0, 8},
        {"440", 3, 1, 2, 50, 33, 90, 1.0, 8},         {"411", 3, 4, 1, 61, 20, 85, 1.5, 10},
        {"422-6x3", 3, 2, 1, 6, 3, 80, 12, 40},       {"420-5x5", 3, 2, 2, 5, 5, 85, 12, 40},
    };
    for (const OracleCase& c : cases) {
        SCOPED_TRACE(c.name);
        oracle::JpegOptions options{.quality = c.quality, .h_samp = c.h, .v_samp = c.v};
        Bytes source = make_picture(c.width, c.height, c.components, 99);
        Bytes jpeg = oracle::encode_jpeg(c.width, c.height, c.components, source, options);
        Decoded ours = decode(jpeg);
        ASSERT_EQ(ours.status, kJpegOk);
        EXPECT_EQ(ours.width, c.width);
        EXPECT_EQ(ours.height, c.height);
        EXPECT_EQ(ours.colour, c.components == 3 ? 1 : 0);
        Bytes reference = oracle::decode_jpeg(jpeg).samples;
        ASSERT_EQ(ours.pixels.size(), reference.size());
        Difference diff = compare(ours.pixels, reference);
        EXPECT_LT(diff.mean, c.mean_bound) << diff.max;
        EXPECT_LE(diff.max, c.max_bound) << diff.mean;
    }
}

// Mean absolute difference to libjpeg per output column, over all rows and channels.
std::vector<double> column_differences(const Bytes& ours, const Bytes& reference, int width, int height)
{
    std::vector<double> columns(size_t(width), 0.0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t i = (size_t(y) * width + x) * 3 + c;
                columns[size_t(x)] += std::abs(int(ours[i]) - int(reference[i]));
            }
    for (double& column : columns)
        column /= 3.0 * height;
    return columns;
}

// Sets the frame width in the SOF0 segment of a baseline stream.
void patch_frame_width(Bytes& jpeg, int width)
{
    for (size_t at = 2; at + 9 <= jpeg.size(); at += 2 + (size_t(jpeg[at + 2]) << 8 | jpeg[at + 3])) {
        if (jpeg[at + 1] == 0xC0) {
            jpeg[at + 7] = uint8_t(width >> 8);
            jpeg[at + 8] = uint8_t(width);
            return;
        }
    }
    ADD_FAILURE() << "no frame header";
}

// The right edge is filtered from the last real chroma samples, as the left edge is, never
// from the MCU padding. The stream is coded at a whole number of MCUs with a contrasting
// colour beyond the picture and then narrowed to an odd width (a chroma plane ending in a
// half-used sample), so the padding holds other chroma than the edge, as some encoders
// leave it (before, the last two columns came out 60 to 90 levels off). The last columns must stay as close to libjpeg
// as the inside ones.
TEST(JpegDecoder, RightEdgeColumnsAreAsCloseToLibjpegAsTheInside)
{
    struct EdgeCase {
        int width, height, h, v;
    };
    for (EdgeCase c :
         {EdgeCase{37, 23, 2, 2}, EdgeCase{37, 23, 2, 1}, EdgeCase{45, 30, 2, 2}, EdgeCase{21, 16, 2, 1}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.h << "x" << c.v);
        const int coded_width = (c.width + 8 * c.h - 1) / (8 * c.h) * (8 * c.h);
        Bytes source = make_picture(coded_width, c.height, 3, 17);
        // The half-used chroma sample's second pixel repeats the last one, as an encoder
        // fills it; the whole samples beyond it get the contrasting colour.
        const int last_sample_end = (c.width + c.h - 1) / c.h * c.h;
        for (int y = 0; y < c.height; ++y)
            for (int x = c.width; x < coded_width; ++x) {
                uint8_t* p = &source[(size_t(y) * coded_width + x) * 3];
                const uint8_t* last = &source[(size_t(y) * coded_width + c.width - 1) * 3];
                const uint8_t green[3] = {20, 230, 40};
                std::memcpy(p, x < last_sample_end ? last : green, 3);
            }
        oracle::JpegOptions options{.quality = 90, .h_samp = c.h, .v_samp = c.v};
        Bytes jpeg = oracle::encode_jpeg(coded_width, c.height, 3, source, options);
        patch_frame_width(jpeg, c.width);
        Decoded ours = decode(jpeg);
        ASSERT_EQ(ours.status, kJpegOk);
        Bytes reference = oracle::decode_jpeg(jpeg).samples;
        ASSERT_EQ(ours.pixels.size(), reference.size());
        std::vector<double> columns = column_differences(ours.pixels, reference, c.width, c.height);
        double inside = 0, worst_inside = 0;
        for (int x = 3; x < c.width - 3; ++x) {
            inside += columns[size_t(x)];
            worst_inside = std::max(worst_inside, columns[size_t(x)]);
        }
        inside /= c.width - 6;
        for (int x = c.width - 3; x < c.width; ++x)
            EXPECT_LE(columns[size_t(x)], std::max(worst_inside, 2 * inside + 1.0))
                << "column " << x << ", inside mean " << inside;
    }
}

// Segments of a JPEG stream from SOI to SOS, each with its marker and length.
std::vector<Bytes> segments_before_scan(const Bytes& jpeg, size_t* scan_at)
{
    std::vector<Bytes> segments;
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA) {
        const size_t length = size_t(jpeg[at + 2]) << 8 | jpeg[at + 3];
        segments.emplace_back(jpeg.begin() + long(at), jpeg.begin() + long(at + 2 + length));
        at += 2 + length;
    }
    *scan_at = at;
    return segments;
}

// Streams as older authoring tools wrote them: an EOI SOI pair in front, or the tables
// and the picture in two SOI..EOI blocks. Both decode to the plain stream's pixels; a
// lone EOI before the picture still ends the decode.
TEST(JpegDecoder, EndStartPairsBetweenSegmentsAreStepsOver)
{
    Bytes source = make_picture(40, 24, 3, 8);
    Bytes plain = oracle::encode_jpeg(40, 24, 3, source, {.quality = 85, .h_samp = 2, .v_samp = 2});
    Decoded expected = decode(plain);
    ASSERT_EQ(expected.status, kJpegOk);

    const Bytes pair = {0xFF, 0xD9, 0xFF, 0xD8};
    Bytes leading = pair;
    leading.insert(leading.end(), plain.begin(), plain.end());

    size_t scan_at = 0;
    std::vector<Bytes> segments = segments_before_scan(plain, &scan_at);
    Bytes tables = {0xFF, 0xD8}, picture;
    for (const Bytes& segment : segments) {
        const bool is_table = segment[1] == 0xDB || segment[1] == 0xC4;
        Bytes& block = is_table ? tables : picture;
        block.insert(block.end(), segment.begin(), segment.end());
    }
    ASSERT_GT(tables.size(), 2u);
    Bytes split = tables;
    split.insert(split.end(), pair.begin(), pair.end());
    split.insert(split.end(), picture.begin(), picture.end());
    split.insert(split.end(), plain.begin() + long(scan_at), plain.end());
    Bytes split_after_leading = pair;
    split_after_leading.insert(split_after_leading.end(), split.begin(), split.end());

    for (const Bytes* stream : {&leading, &split, &split_after_leading}) {
        Decoded d = decode(*stream);
        ASSERT_EQ(d.status, kJpegOk);
        EXPECT_EQ(d.pixels, expected.pixels);
    }

    Bytes lone_end = tables;
    lone_end.insert(lone_end.end(), {0xFF, 0xD9});
    lone_end.insert(lone_end.end(), picture.begin(), picture.end());
    lone_end.insert(lone_end.end(), plain.begin() + long(scan_at), plain.end());
    EXPECT_NE(decode(lone_end).status, kJpegOk);
    EXPECT_EQ(decode(pair).status, kJpegNotJpeg);
}

// Decoders hold their pictures side by side; releasing one leaves the others alone.
TEST(JpegDecoder, DecodersKeepTheirOwnPictures)
{
    Bytes small = oracle::encode_jpeg(16, 8, 3, make_picture(16, 8, 3, 1), {.quality = 90});
    Bytes grey = oracle::encode_jpeg(24, 9, 1, make_picture(24, 9, 1, 2), {.quality = 90});
    Decoded small_alone = decode(small), grey_alone = decode(grey);
    JpegDecoder first, second;
    ASSERT_EQ(first.decode(small.data(), int32_t(small.size())), kJpegOk);
    ASSERT_EQ(second.decode(grey.data(), int32_t(grey.size())), kJpegOk);
    JpegDecoder third;
    ASSERT_EQ(third.decode(small.data(), int32_t(small.size())), kJpegOk);
    third.release();
    EXPECT_EQ(first.width(), 16);
    EXPECT_EQ(first.is_colour(), 1);
    EXPECT_EQ(Bytes(first.pixels(), first.pixels() + first.pixels_size()), small_alone.pixels);
    EXPECT_EQ(second.height(), 9);
    EXPECT_EQ(second.is_colour(), 0);
    EXPECT_EQ(Bytes(second.pixels(), second.pixels() + second.pixels_size()), grey_alone.pixels);
    first.release();
    EXPECT_EQ(first.pixels_size(), 0);
    EXPECT_EQ(second.pixels_size(), 24 * 9);
}

// Finds the n-th (0-based) restart marker after the start of scan.
size_t find_restart_marker(const Bytes& jpeg, int n)
{
    size_t sos = 0;
    for (size_t i = 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            sos = i;
            break;
        }
    for (size_t i = sos + 2; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && (jpeg[i + 1] & 0xF8) == 0xD0 && n-- == 0)
            return i;
    return 0;
}

TEST(JpegDecoder, RestartMarkersCycleAndResetPredictors)
{
    // 48 x 32 at 4:2:0 is 6 MCUs; an interval of 1 gives markers D0..D4, and a wider
    // picture runs through D7 and back to D0.
    for (int width : {48, 176}) {
        Bytes source = make_picture(width, 32, 3, 5);
        oracle::JpegOptions options{.quality = 85, .h_samp = 2, .v_samp = 2};
        Bytes plain = oracle::encode_jpeg(width, 32, 3, source, options);
        options.restart_interval = 1;
        Bytes restarted = oracle::encode_jpeg(width, 32, 3, source, options);
        ASSERT_NE(find_restart_marker(restarted, 4), 0u);
        if (width == 176) {
            ASSERT_NE(find_restart_marker(restarted, 8), 0u);
            ASSERT_EQ(restarted[find_restart_marker(restarted, 8) + 1], 0xD0);
        }
        Decoded a = decode(plain), b = decode(restarted);
        ASSERT_EQ(a.status, kJpegOk);
        ASSERT_EQ(b.status, kJpegOk);
        EXPECT_EQ(a.pixels, b.pixels);

        Bytes skipped = restarted, repeated = restarted;
        size_t second = find_restart_marker(restarted, 1);
        skipped[second + 1] = 0xD2;
        repeated[second + 1] = 0xD0;
        EXPECT_EQ(decode(skipped).status, kJpegSyntaxError);
        EXPECT_EQ(decode(repeated).status, kJpegSyntaxError);
    }
}

TEST(JpegDecoder, UnsupportedFramesAndTables)
{
    Bytes source = make_picture(16, 16, 3, 1);
    Bytes progressive = oracle::encode_jpeg(16, 16, 3, source, {.progressive = true});
    EXPECT_EQ(decode(progressive).status, kJpegUnsupported);

    auto frame_status = [](int width, int height, const Bytes& sampling, int precision = 8) {
        JpegWriter w;
        write_test_tables(w, 1);
        w.frame(width, height, sampling, precision);
        w.scan(int(sampling.size()), Bytes(64, 0));
        return decode(w.end()).status;
    };
    EXPECT_EQ(frame_status(8, 8, {0x11, 0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(8, 8, {0x11, 0x11, 0x11, 0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(8, 8, {0x11}, 12), kJpegUnsupported);
    EXPECT_EQ(frame_status(8, 8, {0x31, 0x11, 0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(8, 8, {0x01, 0x11, 0x11}), kJpegSyntaxError);
    EXPECT_EQ(frame_status(8, 8, {0x10, 0x11, 0x11}), kJpegSyntaxError);
    EXPECT_EQ(frame_status(4, 16, {0x22, 0x11, 0x11}), kJpegUnsupported);  // chroma 2 wide
    EXPECT_EQ(frame_status(16, 4, {0x22, 0x11, 0x11}), kJpegUnsupported);  // chroma 2 high

    JpegWriter eoi_after_tables;
    write_test_tables(eoi_after_tables, 1);
    EXPECT_EQ(decode(eoi_after_tables.end()).status, kJpegUnsupported);

    JpegWriter table_two;
    table_two.huffman(0x02, Bytes(16, 0), {});
    EXPECT_EQ(decode(table_two.end()).status, kJpegUnsupported);

    Bytes three_short_codes(16, 0);
    three_short_codes[0] = 3;
    JpegWriter oversubscribed;
    oversubscribed.huffman(0x00, three_short_codes, {1, 2, 3});
    EXPECT_EQ(decode(oversubscribed.end()).status, kJpegSyntaxError);

    JpegWriter wide_quant;
    Bytes sixteen_bit(129, 1);
    sixteen_bit[0] = 0x10;
    wide_quant.segment(0xDB, sixteen_bit);
    EXPECT_EQ(decode(wide_quant.end()).status, kJpegSyntaxError);
}

TEST(JpegDecoder, GreyComponentSamplingIsIgnored)
{
    Bytes source = make_picture(21, 13, 1, 3);
    Bytes jpeg = oracle::encode_jpeg(21, 13, 1, source, {.quality = 85});
    Decoded plain = decode(jpeg);
    ASSERT_EQ(plain.status, kJpegOk);
    for (size_t i = 0; i + 10 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            ASSERT_EQ(jpeg[i + 11], 0x11);
            jpeg[i + 11] = 0x22;
            break;
        }
    }
    Decoded patched = decode(jpeg);
    ASSERT_EQ(patched.status, kJpegOk);
    EXPECT_EQ(patched.pixels, plain.pixels);
}

TEST(JpegDecoder, RefusesEmptyAndOversizedFrames)
{
    auto frame_status = [](int width, int height, const Bytes& sampling) {
        JpegWriter w;
        write_test_tables(w, 1);
        w.frame(width, height, sampling);
        w.scan(int(sampling.size()), Bytes(64, 0));
        return decode(w.end()).status;
    };
    EXPECT_EQ(frame_status(0, 8, {0x11}), kJpegSyntaxError);
    EXPECT_EQ(frame_status(8, 0, {0x11, 0x11, 0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(0, 0, {0x11}), kJpegSyntaxError);
    // 65535 x 65535 x 3 is 12 GiB, and even grey reaches 4 GiB: refused before allocating.
    EXPECT_EQ(frame_status(65535, 65535, {0x11, 0x11, 0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(65535, 65535, {0x11}), kJpegUnsupported);
    EXPECT_EQ(frame_status(65535, 65535, {0x88, 0x11, 0x11}), kJpegUnsupported);
    // 32768 x 32767 grey is just under 1 GiB of padded plane: still refused once the
    // padding (32768 rows) reaches it.
    EXPECT_EQ(frame_status(32768, 32767, {0x11}), kJpegUnsupported);
    // 20551 x 35150 colour: each plane (722 MB) is under the limit, the colour image
    // (2.2 GB) is not. Refused before any plane is taken (the fuzz replay, under a
    // timeout, holds the input that once claimed and zeroed the planes first).
    EXPECT_EQ(frame_status(20551, 35150, {0x11, 0x11, 0x11}), kJpegUnsupported);
}

TEST(JpegDecoder, MalformedSegmentsEndTheDecode)
{
    // A segment length of 0 or 1 would step backwards onto its own marker.
    for (uint8_t length : {0, 1}) {
        Bytes comment{0xFF, 0xD8, 0xFF, 0xFE, 0x00, length, 0xFF, 0xD9};
        EXPECT_EQ(decode(comment).status, kJpegSyntaxError);
    }
    Bytes overrun{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x09, 1, 2};
    EXPECT_EQ(decode(overrun).status, kJpegSyntaxError);
    Bytes not_a_marker{0xFF, 0xD8, 0x12, 0x34};
    EXPECT_EQ(decode(not_a_marker).status, kJpegSyntaxError);
    Bytes short_restart_interval{0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x03, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(decode(short_restart_interval).status, kJpegSyntaxError);
    // Markers that are not handled end the decode where they occur.
    for (uint8_t marker : {0xD0, 0xD9, 0xC1, 0xC3, 0xC9, 0xDC}) {
        Bytes unsupported{0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x02, 0xFF, marker, 0x00, 0x02};
        EXPECT_EQ(decode(unsupported).status, kJpegUnsupported) << int(marker);
    }

    // A scan with no frame before it has nothing to decode into.
    Bytes scan_first{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x06, 0x00, 0x00, 0x3F, 0x00, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(decode(scan_first).status, kJpegSyntaxError);
}

TEST(JpegDecoder, TablesDoNotCarryOverToTheNextImage)
{
    Bytes source = make_picture(16, 16, 1, 2);
    Bytes jpeg = oracle::encode_jpeg(16, 16, 1, source, {.quality = 85});
    ASSERT_EQ(decode(jpeg).status, kJpegOk);
    // Drop every DHT segment: the scan then names tables the image never defined.
    Bytes stripped{0xFF, 0xD8};
    for (size_t i = 2; i + 3 < jpeg.size();) {
        int marker = jpeg[i + 1];
        size_t length = (size_t(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (marker == 0xDA) {
            stripped.insert(stripped.end(), jpeg.begin() + long(i), jpeg.end());
            break;
        }
        if (marker != 0xC4)
            stripped.insert(stripped.end(), jpeg.begin() + long(i), jpeg.begin() + long(i + 2 + length));
        i += 2 + length;
    }
    EXPECT_EQ(decode(stripped).status, kJpegSyntaxError);
    EXPECT_EQ(decode(jpeg).status, kJpegOk);
}

TEST(JpegDecoder, TruncatedAndCorruptedDataIsRefusedSafely)
{
    oracle::JpegOptions options{.quality = 85, .h_samp = 2, .v_samp = 2, .restart_interval = 2};
    Bytes source = make_picture(40, 24, 3, 11);
    Bytes jpeg = oracle::encode_jpeg(40, 24, 3, source, options);
    Decoded full = decode(jpeg);
    ASSERT_EQ(full.status, kJpegOk);

    int succeeded = 0;
    for (size_t length = 0; length < jpeg.size(); ++length) {
        Decoded d = decode(jpeg, length);
        ASSERT_TRUE(d.status == kJpegOk || d.status == kJpegNotJpeg || d.status == kJpegSyntaxError)
            << length << ": " << d.status;
        if (d.status == kJpegOk) {
            ++succeeded;
            ASSERT_EQ(d.pixels.size(), full.pixels.size());
        }
    }
    // Only a cut inside the final bytes (the EOI marker) may still decode.
    EXPECT_LE(succeeded, 2);

    uint32_t state = 1234;
    for (int round = 0; round < 600; ++round) {
        Bytes corrupt = jpeg;
        int flips = 1 + int(next_random(state) % 4);
        for (int i = 0; i < flips; ++i)
            corrupt[next_random(state) % corrupt.size()] ^= uint8_t(1 + next_random(state) % 255);
        Decoded d = decode(corrupt);
        ASSERT_GE(d.status, kJpegOk);
        ASSERT_LE(d.status, kJpegSyntaxError);
        if (d.status == kJpegOk) {
            ASSERT_EQ(d.pixels.size(), size_t(d.width) * d.height * (d.colour ? 3 : 1));
        }
    }
}

TEST(JpegDecoder, ImageStaysUntilReleased)
{
    Bytes jpeg = single_block_image({TestBlock{}}, 3, 2, {0x11}, 1);
    JpegDecoder decoder;
    ASSERT_EQ(decoder.decode(jpeg.data(), int32_t(jpeg.size())), kJpegOk);
    EXPECT_EQ(decoder.width(), 3);
    EXPECT_EQ(decoder.height(), 2);
    EXPECT_EQ(decoder.pixels_size(), 6);
    ASSERT_NE(decoder.pixels(), nullptr);
    EXPECT_EQ(Bytes(decoder.pixels(), decoder.pixels() + 6), Bytes(6, 128));
    decoder.release();
    EXPECT_EQ(decoder.pixels(), nullptr);
    EXPECT_EQ(decoder.width(), 0);
    EXPECT_EQ(decoder.pixels_size(), 0);
}

}  // namespace
