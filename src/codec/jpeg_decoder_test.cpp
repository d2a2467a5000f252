#include "codec/jpeg_decoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
    Bytes pixels;  // filled in raster order
    uint32_t state = seed;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            int dx = x - width / 2, dy = y - height / 3;
            bool inside = dx * dx + dy * dy < (width * width) / 9;
            for (int c = 0; c < components; ++c) {
                int v = (x * (60 + 50 * c)) / (width + 1) + (y * (150 - 40 * c)) / (height + 1);
                v += inside ? 70 - 30 * c : 0;
                v += int(next_random(state) % 13) - 6;
                pixels.push_back(uint8_t(v < 0 ? 0 : v > 255 ? 255 : v));
            }
        }
    }
    return pixels;
}

struct Decoded {
    Fault status = Fault::none;
    int width = 0, height = 0, colour = 0;
    Bytes pixels;
};

// Copies the input into an exactly sized heap block so that AddressSanitizer catches
// any read past its end.
Decoded decode(const Bytes& jpeg, size_t length = SIZE_MAX)
{
    length = std::min(length, jpeg.size());
    std::unique_ptr<uint8_t[]> copy(new uint8_t[length ? length : 1]);
    if (length)
        std::memcpy(copy.get(), jpeg.data(), length);
    Decoded result;
    JpegDecoder decoder;
    result.status = decoder.decode(std::span<const uint8_t>(copy.get(), length));
    if (result.status == Fault::none) {
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
    Bytes out = start_of_image();
    static Bytes start_of_image()
    {
        Bytes soi(2, 0xFF);
        soi[1] = 0xD8;
        return soi;
    }
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
    void scan(int components, const Bytes& data, uint8_t tables = 0x00)
    {
        Bytes p{uint8_t(components)};
        for (int i = 0; i < components; ++i)
            p.insert(p.end(), {uint8_t(i + 1), tables});
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

// `table` picks the DC and AC table ids (0..3) the tables are stored under.
void write_test_tables(JpegWriter& w, uint8_t quant_value, int ac_length = 8, int table = 0)
{
    w.quant(0, quant_value);
    Bytes dc_counts(16, 0), dc_symbols;
    dc_counts[3] = 12;
    for (int i = 0; i < 12; ++i)
        dc_symbols.push_back(uint8_t(i));
    w.huffman(table, dc_counts, dc_symbols);
    Bytes ac_counts(16, 0), ac_symbols;
    ac_counts[static_cast<size_t>(ac_length - 1)] = kAcSymbolCount;
    for (int i = 0; i < kAcSymbolCount; ++i)
        ac_symbols.push_back(ac_symbol(i));
    w.huffman(0x10 | table, ac_counts, ac_symbols);
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
                         uint8_t quant_value, int ac_length = 8, int table = 0)
{
    JpegWriter w;
    write_test_tables(w, quant_value, ac_length, table);
    w.frame(width, height, sampling);
    BitWriter bits;
    for (const TestBlock& b : blocks)
        put_block(bits, b, ac_length);
    w.scan(int(sampling.size()), bits.finish(), uint8_t(table << 4 | table));
    return w.end();
}

// Offset of the first FF `marker` pair.
size_t find_marker(const Bytes& jpeg, uint8_t marker)
{
    for (size_t i = 0; i + 1 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == marker)
            return i;
    return jpeg.size();
}

// libjpeg-turbo's pixels for the same stream (empty when it refuses it).
Bytes reference_pixels(const Bytes& jpeg) { return oracle::decode_jpeg(jpeg).samples; }

// ---------------------------------------------------------------- tests

TEST(JpegDecoder, RefusesNonJpegAndPicturelessStreams)
{
    JpegDecoder decoder;
    const uint8_t soi_only[] = {0xFF, 0xD8};
    const uint8_t one_byte[] = {0xFF};
    const uint8_t eoi_first[] = {0xFF, 0xD9, 0xFF, 0xD8};
    EXPECT_EQ(decoder.decode(soi_only), Fault::malformed);
    EXPECT_EQ(decoder.decode(one_byte), Fault::malformed);
    EXPECT_EQ(decoder.decode(eoi_first), Fault::malformed);
    EXPECT_EQ(decoder.decode({}), Fault::malformed);
    EXPECT_EQ(decoder.pixels(), nullptr);
    decoder.release();
}

// Hand-made streams whose every coefficient is known: DC predictions accumulating, a
// block coded to its last position without an end-of-block code, runs past the last
// position (libjpeg puts them on it), codes of 12 and 16 bits, and tables 2 and 3 of
// an extended frame. Each gives libjpeg-turbo's pixels.
TEST(JpegDecoder, HandMadeStreamsDecodeAsLibjpegDecodesThem)
{
    EXPECT_EQ(decode(single_block_image({TestBlock{}}, 8, 8, {0x11}, 1)).pixels, Bytes(64, 128));
    std::vector<TestBlock> blocks(3);
    blocks[0].dc_diff = 5;
    blocks[1].dc_diff = -12;
    blocks[2].dc_diff = 100;
    TestBlock full;
    for (int k = 1; k <= 63; ++k)
        full.ac.push_back({k, (k % 3) - 1 ? (k % 3) - 1 : 2});
    blocks.push_back(full);
    blocks.push_back(TestBlock{3, {{1, 2}, {9, -1}}});
    const Bytes base = single_block_image(blocks, 40, 8, {0x11}, 4);
    const Decoded expected = decode(base);
    ASSERT_EQ(expected.status, Fault::none);
    EXPECT_EQ(expected.pixels, reference_pixels(base));
    for (int ac_length : {12, 16})
        EXPECT_EQ(decode(single_block_image(blocks, 40, 8, {0x11}, 4, ac_length)).pixels, expected.pixels);
    Bytes extended = single_block_image(blocks, 40, 8, {0x11}, 4, 8, 3);
    extended[find_marker(extended, 0xC0) + 1] = 0xC1;
    EXPECT_EQ(decode(extended).pixels, expected.pixels);

    JpegWriter w;  // four ZRL symbols run to position 64
    write_test_tables(w, 1);
    w.frame(8, 8, {0x11});
    BitWriter bits;
    bits.put(0, 4);
    for (int i = 0; i < 4; ++i)
        bits.put(uint32_t(ac_code(0xF0)), 8);
    w.scan(1, bits.finish());
    const Bytes overrun = w.end();
    EXPECT_EQ(decode(overrun).pixels, reference_pixels(overrun));

    // A quantiser stored with 16-bit values gives what the 8-bit one does.
    Bytes wide = base;
    const size_t dqt = find_marker(wide, 0xDB);
    Bytes table{0xFF, 0xDB, 0x00, 131, 0x10};
    for (int k = 0; k < 64; ++k)
        table.insert(table.end(), {0, 4});
    wide.erase(wide.begin() + long(dqt), wide.begin() + long(dqt + 69));
    wide.insert(wide.begin() + long(dqt), table.begin(), table.end());
    EXPECT_EQ(decode(wide).pixels, expected.pixels);
}

TEST(JpegDecoder, ColourConversionIsLibjpegs)
{
    // Quantiser 8 and DC 127 give samples of 255; Cb = Cr = 255 then gives G = 255 - 134.
    TestBlock full;
    full.dc_diff = 127;
    const Bytes white_jpeg = single_block_image({full, full, full}, 8, 8, {0x11, 0x11, 0x11}, 8);
    Decoded white = decode(white_jpeg);
    ASSERT_EQ(white.status, Fault::none);
    ASSERT_EQ(white.colour, 1);
    for (size_t i = 0; i < white.pixels.size(); i += 3)
        ASSERT_EQ(Bytes(white.pixels.begin() + long(i), white.pixels.begin() + long(i + 3)), (Bytes{255, 121, 255}));
    EXPECT_EQ(white.pixels, reference_pixels(white_jpeg));
    EXPECT_EQ(decode(single_block_image({{}, {}, {}}, 1, 1, {0x11, 0x11, 0x11}, 8)).pixels, (Bytes{128, 128, 128}));
    Decoded one = decode(single_block_image({{}}, 1, 1, {0x11}, 8));
    EXPECT_EQ(one.colour, 0);
    EXPECT_EQ(one.pixels, Bytes{128});
}

// Sets the frame width in the SOF0 segment of a baseline stream.
void patch_frame_width(Bytes& jpeg, int width)
{
    for (size_t i = 2; i + 8 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 7] = uint8_t(width >> 8);
            jpeg[i + 8] = uint8_t(width);
            return;
        }
}

// The upsampling filters read the chroma samples of the picture only, never the MCU
// padding beyond it. The stream is coded at a whole number of MCUs with a contrasting
// colour beyond the picture and then narrowed, so the padding holds other chroma than
// the edge, as some encoders leave it.
TEST(JpegDecoder, EdgesIgnoreTheMcuPadding)
{
    struct EdgeCase {
        int width, height, h, v;
    };
    for (EdgeCase c : {EdgeCase{37, 23, 2, 2}, EdgeCase{37, 23, 2, 1}, EdgeCase{21, 16, 1, 2}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.h << "x" << c.v);
        const int coded_width = (c.width + 8 * c.h - 1) / (8 * c.h) * (8 * c.h);
        Bytes source = make_picture(coded_width, c.height, 3, 17);
        for (int y = 0; y < c.height; ++y)
            for (int x = c.width; x < coded_width; ++x)
                std::memcpy(&source[static_cast<size_t>((y * coded_width + x) * 3)], "\x14\xE6\x28", 3);
        Bytes jpeg = oracle::encode_jpeg(static_cast<uint32_t>(coded_width), static_cast<uint32_t>(c.height), 3, source,
                                         {.quality = 90, .h_samp = c.h, .v_samp = c.v});
        patch_frame_width(jpeg, c.width);
        EXPECT_EQ(decode(jpeg).pixels, reference_pixels(jpeg));
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
    ASSERT_EQ(expected.status, Fault::none);

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
        ASSERT_EQ(d.status, Fault::none);
        EXPECT_EQ(d.pixels, expected.pixels);
    }

    Bytes lone_end = tables;
    lone_end.insert(lone_end.end(), {0xFF, 0xD9});
    lone_end.insert(lone_end.end(), picture.begin(), picture.end());
    lone_end.insert(lone_end.end(), plain.begin() + long(scan_at), plain.end());
    EXPECT_NE(decode(lone_end).status, Fault::none);
    EXPECT_EQ(decode(pair).status, Fault::malformed);
}

// Decoders hold their pictures side by side; releasing one leaves the others alone.
TEST(JpegDecoder, DecodersKeepTheirOwnPictures)
{
    Bytes small = oracle::encode_jpeg(16, 8, 3, make_picture(16, 8, 3, 1), {.quality = 90});
    Bytes grey = oracle::encode_jpeg(24, 9, 1, make_picture(24, 9, 1, 2), {.quality = 90});
    Decoded small_alone = decode(small), grey_alone = decode(grey);
    JpegDecoder first, second;
    ASSERT_EQ(first.decode(std::span<const uint8_t>(small)), Fault::none);
    ASSERT_EQ(second.decode(std::span<const uint8_t>(grey)), Fault::none);
    JpegDecoder third;
    ASSERT_EQ(third.decode(std::span<const uint8_t>(small)), Fault::none);
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

// Restart markers cycle D0..D7 and reset the predictors; a marker out of turn is
// resynchronised on as libjpeg does it, whose pixels the damaged streams must give too.
TEST(JpegDecoder, RestartMarkersCycleAndResynchronise)
{
    for (bool progressive : {false, true}) {
        Bytes source = make_picture(176, 32, 3, 5);
        oracle::JpegOptions options{.quality = 85, .h_samp = 2, .v_samp = 2, .progressive = progressive};
        Bytes plain = oracle::encode_jpeg(176, 32, 3, source, options);
        options.restart_interval = 1;
        Bytes restarted = oracle::encode_jpeg(176, 32, 3, source, options);
        ASSERT_EQ(restarted[find_restart_marker(restarted, 8) + 1], 0xD0);
        Decoded a = decode(plain), b = decode(restarted);
        ASSERT_EQ(a.status, Fault::none);
        EXPECT_EQ(a.pixels, b.pixels);
        // (An EOI in a progressive stream leaves later scans unread, which libjpeg smooths over.)
        for (uint8_t wrong :
             std::initializer_list<uint8_t>{0xD2, 0xD3, 0xD5, 0xD0, 0xD7, uint8_t(progressive ? 0xD1 : 0xD9), 0x05}) {
            Bytes damaged = restarted;
            damaged[find_restart_marker(restarted, 1) + 1] = wrong;
            EXPECT_EQ(decode(damaged).pixels, reference_pixels(damaged)) << int(wrong) << " " << progressive;
        }
    }
}

// Scans in any order: one sequential scan per component (the last one first), and
// progressive scans with spectral selection and successive approximation; and colour
// stored as R, G, B rather than YCbCr.
TEST(JpegDecoder, ScansOfSeparateComponentsAndBands)
{
    Bytes source = make_picture(45, 29, 3, 6);
    for (oracle::JpegOptions options :
         {oracle::JpegOptions{.h_samp = 2, .v_samp = 1, .scan_per_component = true},
          oracle::JpegOptions{.h_samp = 2, .v_samp = 2, .progressive = true}, oracle::JpegOptions{.store_rgb = true}}) {
        Bytes jpeg = oracle::encode_jpeg(45, 29, 3, source, options);
        EXPECT_EQ(decode(jpeg).pixels, reference_pixels(jpeg));
    }
}

// Progressive scans whose band or bit positions libjpeg refuses.
TEST(JpegDecoder, RefusesBadProgressiveScans)
{
    const Bytes jpeg = oracle::encode_jpeg(16, 16, 3, make_picture(16, 16, 3, 2), {.progressive = true});
    size_t second_scan = 0;
    for (size_t i = 2, seen = 0; i + 1 < jpeg.size() && !second_scan; ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA && ++seen == 2)
            second_scan = i;
    ASSERT_NE(second_scan, 0u);
    const size_t band = second_scan + 4 + 1 + 2 * jpeg[second_scan + 4];  // Ss, Se, Ah/Al
    for (Bytes parameters :
         {Bytes{0, 5, 0x00}, Bytes{9, 3, 0x00}, Bytes{1, 64, 0x00}, Bytes{1, 5, 0x0E}, Bytes{1, 5, 0x20}}) {
        Bytes bad = jpeg;
        std::copy(parameters.begin(), parameters.end(), bad.begin() + long(band));
        EXPECT_EQ(decode(bad).status, Fault::malformed) << int(parameters[0]) << "," << int(parameters[1]);
        EXPECT_TRUE(reference_pixels(bad).empty());
    }
    // Endless scans are refused: each would walk the whole frame again.
    Bytes endless(jpeg.begin(), jpeg.end() - 2);
    const Bytes refinement{0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x00, 0x10, 0x55, 0x55};
    for (int i = 0; i < 250; ++i)
        endless.insert(endless.end(), refinement.begin(), refinement.end());
    EXPECT_EQ(decode(endless).status, Fault::malformed);
    // A sequential frame codes a component once; a second scan of it is refused.
    Bytes sequential = oracle::encode_jpeg(16, 16, 1, make_picture(16, 16, 1, 2));
    Bytes again(sequential.begin() + long(find_marker(sequential, 0xDA)), sequential.end());
    sequential.insert(sequential.end() - 2, again.begin(), again.end() - 2);
    EXPECT_EQ(decode(sequential).status, Fault::malformed);
}

// Picture sizes from 1x1 up (all up to 12x12, a spread up to 40x40, two large ones) in
// every layout libjpeg writes, coded baseline, progressive and with restarts, against
// libjpeg-turbo's own decode: the same pixels, bit for bit.
TEST(JpegDecoder, MatchesLibjpegTurboAtEverySize)
{
    struct Layout {
        const char* name;
        int components, h, v;
    };
    const Layout layouts[] = {{"grey", 1, 1, 1}, {"444", 3, 1, 1}, {"422", 3, 2, 1},
                              {"420", 3, 2, 2},  {"440", 3, 1, 2}, {"411", 3, 4, 1}};
    int pictures = 0, identical = 0, close = 0;
    auto check = [&](const Layout& layout, int width, int height, int kind) {
        oracle::JpegOptions options{.quality = 70 + (width * 7 + height) % 30, .h_samp = layout.h, .v_samp = layout.v};
        options.progressive = kind == 1;
        options.restart_interval = kind == 2 ? 1 + (width + height) % 3 : 0;
        Bytes source = make_picture(width, height, layout.components, uint32_t(width * 100 + height));
        Bytes jpeg = oracle::encode_jpeg(uint32_t(width), uint32_t(height), layout.components, source, options);
        Decoded ours = decode(jpeg);
        oracle::Decoded reference = oracle::decode_jpeg(jpeg);
        ASSERT_EQ(ours.status, Fault::none) << layout.name << " " << width << "x" << height << " kind " << kind;
        ASSERT_EQ(ours.pixels.size(), reference.samples.size());
        Difference d = compare(ours.pixels, reference.samples);
        ++pictures;
        identical += d.max == 0;
        close += d.mean <= 1.0 && d.max <= 16;
        EXPECT_EQ(d.max, 0) << layout.name << " " << width << "x" << height << " kind " << kind << " mean " << d.mean;
    };
    for (const Layout& layout : layouts)
        for (int height = 1; height <= 40; ++height)
            for (int width = 1; width <= 40; ++width)
                if ((width <= 12 && height <= 12) || (width + 3 * height) % 7 == 0)
                    check(layout, width, height, (width + 2 * height) % 3);
    for (const Layout& layout : layouts)
        for (int kind = 0; kind < 3; ++kind) {
            check(layout, 203, 131, kind);
            check(layout, 517, 9, kind);
        }
    std::printf("%d pictures, %d identical to libjpeg-turbo, %d within 1.0 mean and 16 max\n", pictures, identical,
                close);
}

TEST(JpegDecoder, UnsupportedAndBadFrames)
{
    auto frame_status = [](int width, int height, const Bytes& sampling, int precision = 8) {
        JpegWriter w;
        write_test_tables(w, 1);
        w.frame(width, height, sampling, precision);
        w.scan(int(sampling.size()), Bytes(64, 0));
        return decode(w.end()).status;
    };
    EXPECT_EQ(frame_status(8, 8, {0x11, 0x11}), Fault::unsupported);
    EXPECT_EQ(frame_status(8, 8, {0x11, 0x11, 0x11, 0x11}), Fault::unsupported);
    EXPECT_EQ(frame_status(8, 8, {0x11}, 12), Fault::unsupported);
    EXPECT_EQ(frame_status(8, 8, {0x32, 0x21, 0x11}), Fault::unsupported);  // 3:2, not a whole ratio
    EXPECT_EQ(frame_status(8, 8, {0x31, 0x11, 0x11}), Fault::none);
    EXPECT_EQ(frame_status(4, 1, {0x22, 0x11, 0x11}), Fault::none);
    EXPECT_EQ(frame_status(8, 8, {0x01, 0x11, 0x11}), Fault::malformed);
    EXPECT_EQ(frame_status(8, 8, {0x51, 0x11, 0x11}), Fault::malformed);
    EXPECT_EQ(frame_status(0, 8, {0x11}), Fault::malformed);
    EXPECT_EQ(frame_status(8, 0, {0x11, 0x11, 0x11}), Fault::unsupported);  // height from a DNL marker
    // Every buffer is sized before any is taken: 65535 x 65535 grey is 4 GiB, 32768 x
    // 32767 grey reaches 1 GiB with its padding, 20551 x 35150 colour has planes below
    // the limit and a colour image above it.
    EXPECT_EQ(frame_status(65535, 65535, {0x11}), Fault::too_large);
    EXPECT_EQ(frame_status(65535, 65535, {0x44, 0x11, 0x11}), Fault::too_large);
    EXPECT_EQ(frame_status(32768, 32767, {0x11}), Fault::too_large);
    EXPECT_EQ(frame_status(20551, 35150, {0x11, 0x11, 0x11}), Fault::too_large);

    Bytes three_short_codes(16, 0);
    three_short_codes[0] = 3;
    JpegWriter oversubscribed;
    oversubscribed.huffman(0x00, three_short_codes, {1, 2, 3});
    EXPECT_EQ(decode(oversubscribed.end()).status, Fault::malformed);
    JpegWriter all_ones;  // two codes of one bit: the second is all ones, which libjpeg refuses
    Bytes two_codes(16, 0);
    two_codes[0] = 2;
    all_ones.huffman(0x00, two_codes, {1, 2});
    EXPECT_EQ(decode(all_ones.end()).status, Fault::malformed);
    // Arithmetic coding, lossless and hierarchical frames are refused where they occur.
    for (uint8_t marker : std::initializer_list<uint8_t>{0xC3, 0xC5, 0xC9, 0xCA, 0xCB, 0xCD}) {
        Bytes frame{0xFF, 0xD8, 0xFF, marker, 0x00, 0x02};
        EXPECT_EQ(decode(frame).status, Fault::unsupported) << int(marker);
    }
}

TEST(JpegDecoder, GreyComponentSamplingIsIgnored)
{
    Bytes source = make_picture(21, 13, 1, 3);
    Bytes jpeg = oracle::encode_jpeg(21, 13, 1, source, {.quality = 85});
    Decoded plain = decode(jpeg);
    ASSERT_EQ(plain.status, Fault::none);
    for (size_t i = 0; i + 10 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            ASSERT_EQ(jpeg[i + 11], 0x11);
            jpeg[i + 11] = 0x22;
            break;
        }
    }
    Decoded patched = decode(jpeg);
    ASSERT_EQ(patched.status, Fault::none);
    EXPECT_EQ(patched.pixels, plain.pixels);
}

TEST(JpegDecoder, MalformedSegmentsEndTheDecode)
{
    // A segment length of 0 or 1 would step backwards onto its own marker.
    for (uint8_t length : std::initializer_list<uint8_t>{0, 1}) {
        Bytes comment{0xFF, 0xD8, 0xFF, 0xFE, 0x00, length, 0xFF, 0xD9};
        EXPECT_EQ(decode(comment).status, Fault::malformed);
    }
    Bytes overrun{0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x09, 1, 2};
    EXPECT_EQ(decode(overrun).status, Fault::malformed);
    Bytes short_restart_interval{0xFF, 0xD8, 0xFF, 0xDD, 0x00, 0x03, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(decode(short_restart_interval).status, Fault::malformed);
    // A scan with no frame before it has nothing to decode into.
    Bytes scan_first{0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0xFF, 0xD9};
    EXPECT_EQ(decode(scan_first).status, Fault::malformed);
    // Tables only, or a frame without a scan: no picture.
    JpegWriter tables_only;
    write_test_tables(tables_only, 1);
    EXPECT_EQ(decode(tables_only.end()).status, Fault::malformed);
    JpegWriter frame_only;
    write_test_tables(frame_only, 1);
    frame_only.frame(8, 8, {0x11});
    EXPECT_EQ(decode(frame_only.end()).status, Fault::malformed);
    // A scan naming a component the frame lacks, or a table never defined beyond the
    // two standard ones.
    JpegWriter stranger;
    write_test_tables(stranger, 1);
    stranger.frame(8, 8, {0x11});
    stranger.segment(0xDA, {1, 9, 0x00, 0, 63, 0});
    EXPECT_EQ(decode(stranger.end()).status, Fault::malformed);
    EXPECT_EQ(decode(single_block_image({TestBlock{}}, 8, 8, {0x11}, 1)).status, Fault::none);
    JpegWriter undefined;
    write_test_tables(undefined, 1);
    undefined.frame(8, 8, {0x11});
    undefined.scan(1, Bytes(8, 0), 0x22);
    EXPECT_EQ(decode(undefined.end()).status, Fault::malformed);
}

// Without its Huffman tables a stream is read with the standard ones, as libjpeg-turbo
// reads such (Motion-JPEG) frames.
TEST(JpegDecoder, MissingTablesAreTheStandardOnes)
{
    Bytes source = make_picture(16, 16, 3, 2);
    Bytes jpeg = oracle::encode_jpeg(16, 16, 3, source, {.quality = 85});
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
    ASSERT_LT(stripped.size(), jpeg.size());
    EXPECT_EQ(decode(stripped).pixels, decode(jpeg).pixels);
}

// Data cut short anywhere after the scan header decodes as libjpeg shows it (the rest
// of the picture grey); cut inside the headers it is refused. Damaged bytes never crash
// or read outside the input (the copy in decode() is exactly sized for ASan).
TEST(JpegDecoder, TruncatedAndDamagedStreams)
{
    for (bool progressive : {false, true}) {
        oracle::JpegOptions options{.quality = 85,
                                    .h_samp = 2,
                                    .v_samp = 2,
                                    .restart_interval = progressive ? 0 : 2,
                                    .progressive = progressive};
        Bytes jpeg = oracle::encode_jpeg(40, 24, 3, make_picture(40, 24, 3, 11), options);
        // libjpeg reads a segment cut short as if it went on with FF D9: before the first
        // scan's data it may still show a grey picture, after it it may refuse the tables
        // or scan header it cannot finish. Here the first is refused, the second keeps
        // what the earlier scans gave. (A progressive picture whose later scans are missing
        // is smoothed by libjpeg, not here: only its sequential pixels are compared.)
        const size_t scan_data = find_marker(jpeg, 0xDA) + 2 + (size_t(jpeg[find_marker(jpeg, 0xDA) + 3]));
        int differing = 0;
        for (size_t length = 0; length < jpeg.size(); length += progressive ? 3 : 1) {
            const Bytes cut(jpeg.begin(), jpeg.begin() + long(length));
            const Decoded d = decode(cut);
            const Bytes reference = reference_pixels(cut);
            ASSERT_EQ(d.status == Fault::none, length >= scan_data) << length;
            differing += !progressive && !reference.empty() && length >= scan_data && d.pixels != reference;
        }
        EXPECT_EQ(differing, 0);

        uint32_t state = 1234;
        for (int round = 0; round < 300; ++round) {
            Bytes damaged = jpeg;
            for (int i = 0, flips = 1 + int(next_random(state) % 4); i < flips; ++i)
                damaged[next_random(state) % damaged.size()] ^= uint8_t(1 + next_random(state) % 255);
            const Decoded d = decode(damaged);
            if (d.status == Fault::none) {
                ASSERT_EQ(d.pixels.size(), static_cast<size_t>(d.width * d.height * (d.colour ? 3 : 1)));
            }
        }
    }
}

TEST(JpegDecoder, ImageStaysUntilReleased)
{
    Bytes jpeg = single_block_image({TestBlock{}}, 3, 2, {0x11}, 1);
    JpegDecoder decoder;
    ASSERT_EQ(decoder.decode(std::span<const uint8_t>(jpeg)), Fault::none);
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
