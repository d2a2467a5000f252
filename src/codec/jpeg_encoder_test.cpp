#include "codec/jpeg_encoder.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
// libjpeg-turbo is the independent oracle: it reads our files and writes reference ones.
#include <jpeglib.h>

#include "jpeg_oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Sinks ----

struct RecordingSink {
    Bytes data;
    int calls = 0;
    bool counts_were_one = true;
};

size_t record_write(const void* data, size_t size, size_t count, void* context)
{
    auto* sink = static_cast<RecordingSink*>(context);
    const auto* bytes = static_cast<const uint8_t*>(data);
    sink->data.insert(sink->data.end(), bytes, bytes + size * count);
    sink->calls++;
    if (count != 1)
        sink->counts_were_one = false;
    return count;
}

struct Encoded {
    Fault result = Fault::io_error;
    int byte_count = -1;
    RecordingSink sink;
};

Encoded encode(const Bytes& pixels, uint32_t width, uint32_t height, int components, int quality)
{
    Encoded e;
    e.result = jpeg_encode(&e.sink, record_write, &e.byte_count, pixels.data(), width, height, components, quality);
    return e;
}

// ---- Test images ----

// Smooth gradients plus a little deterministic texture, like a real picture.
Bytes make_picture(uint32_t width, uint32_t height, int components, unsigned seed = 1)
{
    const auto channels = static_cast<uint32_t>(components);
    Bytes pixels(size_t(width) * height * channels);
    unsigned state = seed;
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++)
            for (uint32_t c = 0; c < channels; c++) {
                state = state * 1103515245u + 12345u;
                double v = 128 + 70 * std::sin(x * 0.11 + c) + 40 * std::cos(y * 0.07 * (c + 1)) +
                           int((state >> 16) % 9) - 4;
                pixels[(size_t(y) * width + x) * channels + c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
    return pixels;
}

Bytes make_noise(uint32_t width, uint32_t height, int components, unsigned seed = 7)
{
    Bytes pixels(size_t(width) * height * static_cast<size_t>(components));
    unsigned state = seed;
    for (uint8_t& p : pixels) {
        state = state * 1103515245u + 12345u;
        p = uint8_t(state >> 16);
    }
    return pixels;
}

// ---- libjpeg-turbo helpers ----

// libjpeg reports fatal errors through error_exit, which by default ends the process;
// throwing instead lets a broken file fail only the test that made it.
[[noreturn]] void throw_turbo_error(j_common_ptr info)
{
    char message[JMSG_LENGTH_MAX];
    info->err->format_message(info, message);
    throw std::runtime_error(message);
}

// A libjpeg decompressor reading one file from memory, header already read.
struct TurboReader {
    jpeg_decompress_struct info;
    jpeg_error_mgr err;

    explicit TurboReader(const Bytes& file)
    {
        info.err = jpeg_std_error(&err);
        err.error_exit = throw_turbo_error;
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, file.data(), static_cast<unsigned long>(file.size()));
        jpeg_read_header(&info, TRUE);
    }
    ~TurboReader() { jpeg_destroy_decompress(&info); }
};

// RGB as libjpeg-turbo decodes it; clean() when it saw neither an error nor a warning.
oracle::Decoded turbo_decode(const Bytes& file) { return oracle::decode_jpeg(file, true); }

// Quantised coefficients of every block of one component, natural order, raster blocks.
struct Coefficients {
    int blocks_wide = 0, blocks_high = 0;
    std::vector<std::vector<int>> blocks[3];
    std::vector<int> quant[3];  // natural order
};

Coefficients turbo_coefficients(const Bytes& file)
{
    Coefficients out;
    try {
        TurboReader reader(file);
        jpeg_decompress_struct& info = reader.info;
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&info);
        for (int c = 0; c < info.num_components && c < 3; c++) {
            jpeg_component_info* comp = &info.comp_info[c];
            out.blocks_wide = int(comp->width_in_blocks);
            out.blocks_high = int(comp->height_in_blocks);
            for (int k = 0; k < 64; k++)
                out.quant[c].push_back(comp->quant_table->quantval[k]);
            for (int by = 0; by < out.blocks_high; by++) {
                JBLOCKARRAY row = info.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&info), arrays[c],
                                                               JDIMENSION(by), 1, FALSE);
                for (int bx = 0; bx < out.blocks_wide; bx++)
                    out.blocks[c].emplace_back(row[0][bx], row[0][bx] + 64);
            }
        }
        jpeg_finish_decompress(&info);
        EXPECT_EQ(reader.err.num_warnings, 0);
    } catch (const std::runtime_error& e) {
        ADD_FAILURE() << "libjpeg: " << e.what();
    }
    return out;
}

// A reference file from libjpeg-turbo with the standard tables at the same quality.
Bytes turbo_encode(const Bytes& rgb, uint32_t width, uint32_t height, int quality)
{
    return oracle::encode_jpeg(width, height, 3, rgb, {.quality = quality, .h_samp = 2, .v_samp = 2});
}

// ---- Marker parsing (headers only, stops at SOS) ----

struct Segment {
    uint8_t marker;
    Bytes body;  // without the length field
};

std::vector<Segment> header_segments(const Bytes& file)
{
    std::vector<Segment> segments;
    size_t pos = 2;  // after SOI
    while (pos + 4 <= file.size() && file[pos] == 0xFF) {
        uint8_t marker = file[pos + 1];
        size_t length = size_t(file[pos + 2]) << 8 | file[pos + 3];
        if (length < 2 || pos + 2 + length > file.size())
            break;
        segments.push_back({marker, Bytes(file.begin() + long(pos + 4), file.begin() + long(pos + 2 + length))});
        pos += 2 + length;
        if (marker == 0xDA)
            break;
    }
    return segments;
}

// DQT tables keyed by id (64 bytes, zig-zag order) and DHT tables keyed by class<<4|id.
struct Tables {
    std::vector<Bytes> quant = std::vector<Bytes>(4);
    std::vector<Bytes> huffman = std::vector<Bytes>(32);
};

Tables header_tables(const Bytes& file)
{
    Tables t;
    for (const Segment& s : header_segments(file)) {
        size_t pos = 0;
        if (s.marker == 0xDB) {
            for (; pos + 65 <= s.body.size(); pos += 65)
                t.quant[s.body[pos] & 3] = Bytes(s.body.begin() + long(pos + 1), s.body.begin() + long(pos + 65));
        } else if (s.marker == 0xC4) {
            while (pos + 17 <= s.body.size()) {
                size_t n = 0;
                for (size_t i = 0; i < 16; i++)
                    n += s.body[pos + 1 + i];
                t.huffman[s.body[pos] & 0x1F] = Bytes(s.body.begin() + long(pos + 1),
                                                      s.body.begin() + long(pos + 17 + n));
                pos += 17 + n;
            }
        }
    }
    return t;
}

// Zig-zag order walked independently: anti-diagonals, alternating direction.
std::vector<size_t> zigzag_walk()
{
    std::vector<size_t> position(64);
    size_t p = 0;
    for (size_t s = 0; s < 15; s++) {
        for (size_t i = 0; i <= s; i++) {
            size_t row = s % 2 == 0 ? s - i : i;
            size_t col = s - row;
            if (row < 8 && col < 8)
                position[row * 8 + col] = p++;
        }
    }
    return position;
}

constexpr int kHeaderBytes = 607;

// ---- Constant tables and building blocks ----

TEST(JpegEncoderTables, ZigzagMatchesTheDiagonalWalk)
{
    std::vector<size_t> walk = zigzag_walk();
    for (size_t k = 0; k < 64; k++)
        EXPECT_EQ(jpeg_zigzag[k], walk[k]) << "natural index " << k;
    const int start[12] = {0, 1, 5, 6, 14, 15, 27, 28, 2, 4, 7, 13};
    for (int k = 0; k < 12; k++)
        EXPECT_EQ(jpeg_zigzag[k], start[k]);
}

TEST(JpegEncoderTables, AanScaleIsTwoRootTwoTimesS)
{
    for (int k = 0; k < 8; k++) {
        double s = k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16);
        EXPECT_NEAR(jpeg_aan_scale[k], s * 2 * std::sqrt(2.0), 1e-6) << k;
    }
}

TEST(JpegEncoderBits, CategoryAndExtraBits)
{
    struct Case {
        int value;
        uint16_t code, length;
    } cases[] = {{1, 1, 1},      {-1, 0, 1},       {2, 2, 2},         {3, 3, 2},        {-2, 1, 2},
                 {-3, 0, 2},     {4, 4, 3},        {-7, 0, 3},        {255, 255, 8},    {-255, 0, 8},
                 {-256, 255, 9}, {1023, 1023, 10}, {-1024, 1023, 11}, {2047, 2047, 11}, {-2047, 0, 11}};
    for (const Case& c : cases) {
        JpegBitCode b = jpeg_calc_bits(c.value);
        EXPECT_EQ(b.length, c.length) << c.value;
        EXPECT_EQ(b.code, c.code) << c.value;
    }
    // Negative values of category n are sent as v + 2^n - 1 (T.81 F.1.2.1.1).
    for (int v = -2047; v <= 2047; v++) {
        if (v == 0)
            continue;
        int n = 0;
        while ((1 << n) <= std::abs(v))
            n++;
        JpegBitCode b = jpeg_calc_bits(v);
        ASSERT_EQ(b.length, n) << v;
        ASSERT_EQ(b.code, v > 0 ? v : v + (1 << n) - 1) << v;
    }
}

// The 2-D AAN output is the true DCT scaled by 8*s(u)*s(v).
TEST(JpegEncoderBits, AanPassesGiveScaledTrueDct)
{
    unsigned state = 3;
    for (int trial = 0; trial < 20; trial++) {
        float block[64];
        double input[64];
        for (int i = 0; i < 64; i++) {
            state = state * 1103515245u + 12345u;
            input[i] = int((state >> 16) % 256) - 128;
            block[i] = float(input[i]);
        }
        for (int r = 0; r < 8; r++)
            jpeg_fdct8(block + 8 * r);
        for (int c = 0; c < 8; c++) {
            float column[8];
            for (int r = 0; r < 8; r++)
                column[r] = block[8 * r + c];
            jpeg_fdct8(column);
            for (int r = 0; r < 8; r++)
                block[8 * r + c] = column[r];
        }
        for (int u = 0; u < 8; u++)
            for (int v = 0; v < 8; v++) {
                double sum = 0;
                for (int y = 0; y < 8; y++)
                    for (int x = 0; x < 8; x++)
                        sum += input[8 * y + x] * std::cos((2 * y + 1) * u * M_PI / 16) *
                               std::cos((2 * x + 1) * v * M_PI / 16);
                double cu = u ? 1 : M_SQRT1_2, cv = v ? 1 : M_SQRT1_2;
                double su = u ? M_SQRT2 * std::cos(u * M_PI / 16) : 1;
                double sv = v ? M_SQRT2 * std::cos(v * M_PI / 16) : 1;
                double expected = 8 * su * sv * 0.25 * cu * cv * sum;
                ASSERT_NEAR(block[8 * u + v], expected, 0.02) << u << "," << v;
            }
    }
}

// ---- Headers ----

TEST(JpegEncoderHeader, LayoutIsFixedAt607Bytes)
{
    Bytes pixels = make_picture(300, 2, 3);
    Encoded e = encode(pixels, 300, 2, 3, 75);
    ASSERT_EQ(e.result, Fault::none);
    const Bytes& f = e.sink.data;
    ASSERT_GT(f.size(), size_t(kHeaderBytes + 2));

    const uint8_t soi_app0[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
                                0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 20), Bytes(std::begin(soi_app0), std::end(soi_app0)));
    const uint8_t dqt[] = {0xFF, 0xDB, 0x00, 0x84, 0x00};
    EXPECT_EQ(Bytes(f.begin() + 20, f.begin() + 25), Bytes(std::begin(dqt), std::end(dqt)));
    EXPECT_EQ(f[89], 0x01);  // second table id
    const uint8_t sof[] = {0xFF, 0xC0, 0x00, 0x11, 0x08, 0x00, 0x02, 0x01, 0x2C, 0x03,
                           0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01};
    EXPECT_EQ(Bytes(f.begin() + 154, f.begin() + 173), Bytes(std::begin(sof), std::end(sof)));
    const uint8_t dht[] = {0xFF, 0xC4, 0x01, 0xA2, 0x00};
    EXPECT_EQ(Bytes(f.begin() + 173, f.begin() + 178), Bytes(std::begin(dht), std::end(dht)));
    EXPECT_EQ(f[173 + 4 + 29], 0x10);             // AC 0 after 1+16+12 bytes
    EXPECT_EQ(f[173 + 4 + 29 + 179], 0x01);       // DC 1 after 1+16+162 bytes
    EXPECT_EQ(f[173 + 4 + 29 + 179 + 29], 0x11);  // AC 1
    const uint8_t sos[] = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00};
    EXPECT_EQ(Bytes(f.begin() + 593, f.begin() + kHeaderBytes), Bytes(std::begin(sos), std::end(sos)));
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f[f.size() - 1], 0xD9);
}

// Our DQT and DHT contents must equal libjpeg-turbo's standard tables at the same quality.
TEST(JpegEncoderHeader, TablesMatchLibjpegAtEveryQuality)
{
    Bytes rgb = make_picture(16, 16, 3);
    for (int quality : {1, 2, 10, 25, 49, 50, 51, 75, 80, 90, 99, 100}) {
        Tables ours = header_tables(encode(rgb, 16, 16, 3, quality).sink.data);
        Tables theirs = header_tables(turbo_encode(rgb, 16, 16, quality));
        for (size_t id = 0; id < 2; id++) {
            ASSERT_EQ(theirs.quant[id].size(), 64u);
            EXPECT_EQ(ours.quant[id], theirs.quant[id]) << "quality " << quality << " table " << id;
        }
        for (size_t key : {0x00u, 0x01u, 0x10u, 0x11u}) {
            ASSERT_FALSE(theirs.huffman[key].empty());
            EXPECT_EQ(ours.huffman[key], theirs.huffman[key]) << "table " << key;
        }
    }
}

TEST(JpegEncoderHeader, QualityEndpointsAndDefaults)
{
    Bytes rgb = make_picture(8, 8, 3);
    std::vector<size_t> walk = zigzag_walk();

    Tables q50 = header_tables(encode(rgb, 8, 8, 3, 50).sink.data);
    const int k1_first_row[8] = {16, 11, 10, 16, 24, 40, 51, 61};
    const int k2_first_row[8] = {17, 18, 24, 47, 99, 99, 99, 99};
    for (size_t i = 0; i < 8; i++) {
        EXPECT_EQ(q50.quant[0][walk[i]], k1_first_row[i]);
        EXPECT_EQ(q50.quant[1][walk[i]], k2_first_row[i]);
    }
    EXPECT_EQ(q50.quant[0][walk[63]], 99);

    Tables q100 = header_tables(encode(rgb, 8, 8, 3, 100).sink.data);
    Tables q1 = header_tables(encode(rgb, 8, 8, 3, 1).sink.data);
    for (size_t id = 0; id < 2; id++) {
        EXPECT_EQ(q100.quant[id], Bytes(64, 1));
        EXPECT_EQ(q1.quant[id], Bytes(64, 255));
    }

    // Out-of-range qualities are clamped, 0 means the default: whole files are identical.
    EXPECT_EQ(encode(rgb, 8, 8, 3, 0).sink.data, encode(rgb, 8, 8, 3, kJpegDefaultQuality).sink.data);
    EXPECT_EQ(encode(rgb, 8, 8, 3, -5).sink.data, encode(rgb, 8, 8, 3, 1).sink.data);
    EXPECT_EQ(encode(rgb, 8, 8, 3, 200).sink.data, encode(rgb, 8, 8, 3, 100).sink.data);
    EXPECT_NE(encode(rgb, 8, 8, 3, 79).sink.data, encode(rgb, 8, 8, 3, 80).sink.data);
}

// ---- Whole files ----

// Bounds are the measured worst and mean errors per case, rounded up slightly.
TEST(JpegEncoderDecode, LibjpegDecodesCloseToTheInput)
{
    struct Case {
        uint32_t width, height;
        int components, quality, max_error;
        double max_mean_error;
    } cases[] = {
        {64, 48, 3, 100, 3, 0.6}, {64, 48, 4, 100, 3, 0.6}, {64, 48, 3, 90, 11, 2.3},
        {37, 23, 3, 90, 11, 2.3}, {64, 48, 4, 80, 13, 2.6}, {33, 17, 1, 90, 8, 1.7},
        {1, 1, 3, 90, 2, 1.0},    {9, 9, 3, 100, 3, 0.6},   {200, 3, 4, 50, 14, 3.0},
    };
    for (const Case& c : cases) {
        Bytes pixels = make_picture(c.width, c.height, c.components);
        Encoded e = encode(pixels, c.width, c.height, c.components, c.quality);
        ASSERT_EQ(e.result, Fault::none);
        oracle::Decoded d = turbo_decode(e.sink.data);
        ASSERT_TRUE(d.clean()) << c.width << "x" << c.height << " " << d.error;
        ASSERT_EQ(d.width, c.width);
        ASSERT_EQ(d.height, c.height);
        EXPECT_EQ(d.file_components, 3);
        const auto channels = static_cast<size_t>(c.components);
        int worst = 0;
        double total = 0;
        for (size_t p = 0; p < size_t(c.width) * c.height; p++)
            for (size_t ch = 0; ch < 3; ch++) {
                int in = pixels[p * channels + (channels == 1 ? 0 : ch)];
                int diff = std::abs(in - d.samples[p * 3 + ch]);
                worst = std::max(worst, diff);
                total += diff;
            }
        double mean = total / (double(c.width) * c.height * 3);
        EXPECT_LE(worst, c.max_error) << c.width << "x" << c.height << " q" << c.quality;
        EXPECT_LE(mean, c.max_mean_error) << c.width << "x" << c.height << " q" << c.quality;
    }
}

// Quantised coefficients read back by libjpeg equal a double-precision DCT of the same
// YCbCr samples, give or take one where float rounding meets a .5 boundary.
TEST(JpegEncoderDecode, CoefficientsMatchAReferenceDct)
{
    const uint32_t w = 24, h = 16;
    Bytes pixels = make_picture(w, h, 3, 5);
    Coefficients got = turbo_coefficients(encode(pixels, w, h, 3, 95).sink.data);
    ASSERT_EQ(got.blocks_wide, 3);
    ASSERT_EQ(got.blocks_high, 2);
    int off_by_one = 0;
    for (size_t c = 0; c < 3; c++)
        for (size_t by = 0; by < 2; by++)
            for (size_t bx = 0; bx < 3; bx++) {
                double sample[64];
                for (size_t y = 0; y < 8; y++)
                    for (size_t x = 0; x < 8; x++) {
                        const uint8_t* p = &pixels[((by * 8 + y) * w + bx * 8 + x) * 3];
                        double r = p[0], g = p[1], b = p[2];
                        double v = c == 0   ? 0.299 * r + 0.587 * g + 0.114 * b - 128
                                   : c == 1 ? -0.16874 * r - 0.33126 * g + 0.5 * b
                                            : 0.5 * r - 0.41869 * g - 0.08131 * b;
                        sample[8 * y + x] = v;
                    }
                const std::vector<int>& block = got.blocks[c][by * 3 + bx];
                for (unsigned u = 0; u < 8; u++)
                    for (unsigned v = 0; v < 8; v++) {
                        double sum = 0;
                        for (unsigned y = 0; y < 8; y++)
                            for (unsigned x = 0; x < 8; x++)
                                sum += sample[8 * y + x] * std::cos((2 * y + 1) * u * M_PI / 16) *
                                       std::cos((2 * x + 1) * v * M_PI / 16);
                        double cu = u ? 1 : M_SQRT1_2, cv = v ? 1 : M_SQRT1_2;
                        double f = 0.25 * cu * cv * sum / got.quant[c][8 * u + v];
                        int expected = int(std::lround(f));
                        int diff = std::abs(block[8 * u + v] - expected);
                        ASSERT_LE(diff, 1) << "comp " << c << " coefficient " << u << "," << v;
                        off_by_one += diff;
                    }
            }
    EXPECT_LE(off_by_one, 4);  // near-ties only
}

// One pixel: three uniform blocks. Grey 128 makes every coefficient zero, so the scan is
// Y: DC "00", EOB "1010"; Cb and Cr: DC "00", EOB "00" (Tables K.3-K.6), then the one-bit
// fill: 00101000 000000|11 (last five fill bits dropped).
TEST(JpegEncoderFile, OnePixelGreyIsHeaderTwoBytesAndEoi)
{
    for (int components : {1, 3, 4}) {
        Encoded e = encode(Bytes(size_t(components), 128), 1, 1, components, 75);
        ASSERT_EQ(e.result, Fault::none);
        ASSERT_EQ(e.sink.data.size(), size_t(kHeaderBytes + 4));
        EXPECT_EQ(e.byte_count, kHeaderBytes + 4);
        const uint8_t tail[] = {0x28, 0x03, 0xFF, 0xD9};
        EXPECT_EQ(Bytes(e.sink.data.begin() + kHeaderBytes, e.sink.data.end()),
                  Bytes(std::begin(tail), std::end(tail)));
    }
}

TEST(JpegEncoderFile, OnePixelColourDecodesToItsColour)
{
    Bytes pixel = {200, 40, 90};
    Encoded e = encode(pixel, 1, 1, 3, 100);
    Coefficients c = turbo_coefficients(e.sink.data);
    ASSERT_EQ(c.blocks[0].size(), 1u);
    for (size_t comp = 0; comp < 3; comp++)
        for (size_t k = 1; k < 64; k++)
            EXPECT_EQ(c.blocks[comp][0][k], 0);
    // Uniform Y block: DC = 8 * Y at quantiser 1.
    double y = 0.299 * 200 + 0.587 * 40 + 0.114 * 90 - 128;
    EXPECT_EQ(c.blocks[0][0][0], std::lround(8 * y));
    oracle::Decoded d = turbo_decode(e.sink.data);
    ASSERT_TRUE(d.clean()) << d.error;
    for (size_t ch = 0; ch < 3; ch++)
        EXPECT_NEAR(d.samples[ch], pixel[ch], 2);
}

// 9x9: 2x2 MCUs; the right and bottom blocks repeat the last column and row.
TEST(JpegEncoderFile, NineByNineReplicatesTheEdges)
{
    Bytes pixels = make_picture(9, 9, 3, 11);
    Encoded e = encode(pixels, 9, 9, 3, 100);
    Coefficients c = turbo_coefficients(e.sink.data);
    ASSERT_EQ(c.blocks_wide, 2);
    ASSERT_EQ(c.blocks_high, 2);
    for (size_t comp = 0; comp < 3; comp++) {
        const std::vector<int>& right = c.blocks[comp][1];   // columns all equal
        const std::vector<int>& bottom = c.blocks[comp][2];  // rows all equal
        const std::vector<int>& corner = c.blocks[comp][3];  // one pixel
        for (size_t u = 0; u < 8; u++)
            for (size_t v = 0; v < 8; v++) {
                if (v > 0) {
                    EXPECT_EQ(right[8 * u + v], 0) << comp << " " << u << "," << v;
                }
                if (u > 0) {
                    EXPECT_EQ(bottom[8 * u + v], 0) << comp << " " << u << "," << v;
                }
                if (u + v > 0) {
                    EXPECT_EQ(corner[8 * u + v], 0) << comp << " " << u << "," << v;
                }
            }
    }
    // The corner block holds exactly pixel (8,8).
    const uint8_t* p = &pixels[(8 * 9 + 8) * 3];
    double y = 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2] - 128;
    EXPECT_NEAR(c.blocks[0][3][0], 8 * y, 0.51);
    oracle::Decoded d = turbo_decode(e.sink.data);
    ASSERT_TRUE(d.clean()) << d.error;
    for (size_t i = 0; i < pixels.size(); i++)
        EXPECT_NEAR(d.samples[i], pixels[i], 4) << i;
}

// Blocks on the right edge are fetched column by column, inner ones eight pixels at a
// time: a 15-wide picture and the same picture with its last column doubled to 16 wide
// must give the same entropy-coded data.
TEST(JpegEncoderFile, EdgeAndInnerBlocksEncodeAlike)
{
    for (int components : {1, 3, 4}) {
        const uint32_t height = 13;
        Bytes narrow = make_picture(15, height, components, 21);
        Bytes wide;
        for (std::ptrdiff_t y = 0; y < height; y++) {
            auto row = narrow.begin() + y * 15 * components;
            wide.insert(wide.end(), row, row + 15 * components);
            wide.insert(wide.end(), row + 14 * components, row + 15 * components);
        }
        Bytes a = encode(narrow, 15, height, components, 85).sink.data;
        Bytes b = encode(wide, 16, height, components, 85).sink.data;
        ASSERT_EQ(a.size(), b.size()) << components;
        EXPECT_EQ(a[162], 15);
        EXPECT_EQ(b[162], 16);
        a[162] = b[162];
        EXPECT_EQ(a, b) << components;
    }
}

TEST(JpegEncoderFile, GreyInputHasEmptyChroma)
{
    Bytes grey = make_picture(40, 24, 1);
    Encoded e = encode(grey, 40, 24, 1, 90);
    Coefficients c = turbo_coefficients(e.sink.data);
    ASSERT_EQ(c.blocks[1].size(), 15u);
    for (size_t comp = 1; comp < 3; comp++)
        for (const std::vector<int>& block : c.blocks[comp])
            for (size_t k = 0; k < 64; k++)
                ASSERT_EQ(block[k], 0);
    // Same picture given as RGB with equal channels encodes to the same file.
    Bytes rgb;
    for (uint8_t g : grey)
        rgb.insert(rgb.end(), {g, g, g});
    EXPECT_EQ(encode(rgb, 40, 24, 3, 90).sink.data, e.sink.data);
}

TEST(JpegEncoderFile, FourthByteIsIgnored)
{
    Bytes rgba = make_picture(20, 12, 4);
    Bytes rgb;
    for (size_t i = 0; i < rgba.size(); i += 4)
        rgb.insert(rgb.end(), {rgba[i], rgba[i + 1], rgba[i + 2]});
    EXPECT_EQ(encode(rgba, 20, 12, 4, 80).sink.data, encode(rgb, 20, 12, 3, 80).sink.data);
}

// A single cosine pattern leaves one non-zero coefficient: (0,7) sits at zig-zag 28 (one
// sixteen-zero code, then run 11); (7,7) is the last one, 63, reached through three
// sixteen-zero codes with no end-of-block after it.
TEST(JpegEncoderFile, LongZeroRunsAndLastCoefficient)
{
    for (size_t v_freq : {0u, 7u}) {
        Bytes grey(64);
        for (unsigned y = 0; y < 8; y++)
            for (unsigned x = 0; x < 8; x++) {
                double c = std::cos((2 * x + 1) * 7 * M_PI / 16);
                if (v_freq)
                    c *= std::cos((2 * y + 1) * 7 * M_PI / 16);
                grey[8 * y + x] = uint8_t(std::lround(128 + 100 * c));
            }
        Encoded e = encode(grey, 8, 8, 1, 50);
        Coefficients c = turbo_coefficients(e.sink.data);
        ASSERT_EQ(c.blocks[0].size(), 1u);
        const size_t target = 8 * v_freq + 7;
        // 1/4 * C(u)C(v) * sum of 100*cos^2 terms over the block, over the quantiser.
        double expected = v_freq ? 0.25 * 100 * 16 / 99 : 0.25 * M_SQRT1_2 * 100 * 32 / 61;
        for (size_t k = 0; k < 64; k++) {
            if (k == target) {
                EXPECT_NEAR(c.blocks[0][0][k], expected, 0.51) << k;
            } else {
                EXPECT_EQ(c.blocks[0][0][k], 0) << "coefficient " << k;
            }
        }
        // The chroma blocks follow in the same bit stream; they decode empty only if the
        // luminance block ended exactly where it should.
        ASSERT_EQ(c.blocks[1].size(), 1u);
        ASSERT_EQ(c.blocks[2].size(), 1u);
        EXPECT_EQ(c.blocks[1][0], std::vector<int>(64, 0));
        EXPECT_EQ(c.blocks[2][0], std::vector<int>(64, 0));
        EXPECT_TRUE(turbo_decode(e.sink.data).clean());
    }
}

// Noise at quality 100 produces many 0xFF bytes in the entropy data.
TEST(JpegEncoderFile, EntropyDataIsStuffedAndMarkersAreNot)
{
    Bytes noise = make_noise(128, 64, 3);
    Encoded e = encode(noise, 128, 64, 3, 100);
    ASSERT_EQ(e.result, Fault::none);
    const Bytes& f = e.sink.data;
    size_t ff_count = 0;
    for (size_t i = kHeaderBytes; i + 2 < f.size(); i++) {
        if (f[i] != 0xFF)
            continue;
        ASSERT_EQ(f[i + 1], 0x00) << "unstuffed 0xFF at " << i;
        ff_count++;
        i++;
    }
    EXPECT_GT(ff_count, 100u);
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f[f.size() - 1], 0xD9);
    oracle::Decoded d = turbo_decode(f);
    ASSERT_TRUE(d.clean()) << d.error;
    int worst = 0;
    for (size_t i = 0; i < noise.size(); i++)
        worst = std::max(worst, std::abs(noise[i] - d.samples[i]));
    EXPECT_LE(worst, 6);
}

// Big enough to pass through the local output buffer many times.
TEST(JpegEncoderFile, ByteCountEqualsBytesWritten)
{
    Bytes noise = make_noise(256, 128, 4);
    Encoded e = encode(noise, 256, 128, 4, 100);
    ASSERT_EQ(e.result, Fault::none);
    EXPECT_GT(e.sink.calls, 3);
    EXPECT_TRUE(e.sink.counts_were_one);
    EXPECT_EQ(size_t(e.byte_count), e.sink.data.size());
    EXPECT_TRUE(turbo_decode(e.sink.data).clean());
}

TEST(JpegEncoderFile, NullWriteFunctionUsesFwrite)
{
    Bytes pixels = make_picture(50, 30, 3);
    std::string path = testing::TempDir() + "pixsieve_jpeg_encoder_fwrite.jpg";
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    int count = -1;
    EXPECT_EQ(jpeg_encode(file, nullptr, &count, pixels.data(), 50, 30, 3, 85), Fault::none);
    fclose(file);

    Bytes expected = encode(pixels, 50, 30, 3, 85).sink.data;
    EXPECT_EQ(count, int(expected.size()));
    file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    Bytes got(expected.size() + 16);
    got.resize(fread(got.data(), 1, got.size(), file));
    fclose(file);
    std::remove(path.c_str());
    EXPECT_EQ(got, expected);
}

// ---- Refusals ----

TEST(JpegEncoderArguments, BadArgumentsWriteNothing)
{
    Bytes pixels = make_picture(16, 16, 4);
    struct Case {
        const uint8_t* pixels;
        uint32_t width, height;
        int components;
    } cases[] = {
        {pixels.data(), 16, 16, 2},       {pixels.data(), 16, 16, 0},   {pixels.data(), 16, 16, 5},
        {pixels.data(), 16, 16, -3},      {nullptr, 16, 16, 3},         {pixels.data(), 0, 16, 3},
        {pixels.data(), 16, 0, 3},        {pixels.data(), 65536, 1, 1}, {pixels.data(), 1, 65536, 1},
        {pixels.data(), 65535, 65535, 1},  // 4 GiB of pixels
        {pixels.data(), 16384, 16384, 4},  // exactly 1 GiB
    };
    for (const Case& c : cases) {
        RecordingSink sink;
        int count = 12345;
        EXPECT_NE(jpeg_encode(&sink, record_write, &count, c.pixels, c.width, c.height, c.components, 75), Fault::none)
            << c.width << "x" << c.height << "x" << c.components;
        EXPECT_EQ(sink.calls, 0);
        EXPECT_EQ(count, 0);
    }
    // fwrite needs a file.
    int count = 12345;
    EXPECT_NE(jpeg_encode(nullptr, nullptr, &count, pixels.data(), 16, 16, 4, 75), Fault::none);
    EXPECT_EQ(count, 0);
}

TEST(JpegEncoderArguments, LargestDimensionsAreAccepted)
{
    // 65535 wide stays within the 16-bit fields; one row keeps the test small.
    Bytes row(65535, 0x55);
    Encoded e = encode(row, 65535, 1, 1, 50);
    ASSERT_EQ(e.result, Fault::none);
    EXPECT_EQ(e.sink.data[159], 0x00);  // height 1
    EXPECT_EQ(e.sink.data[160], 0x01);
    EXPECT_EQ(e.sink.data[161], 0xFF);  // width 65535
    EXPECT_EQ(e.sink.data[162], 0xFF);
    // libjpeg-turbo stops at 65500, so that width is what it checks.
    e = encode(row, 65500, 1, 1, 50);
    oracle::Decoded d = turbo_decode(e.sink.data);
    ASSERT_TRUE(d.clean()) << d.error;
    EXPECT_EQ(d.width, 65500u);
    EXPECT_NEAR(d.samples[3 * 40000], 0x55, 2);
    // A null byte-count pointer is allowed.
    RecordingSink sink;
    EXPECT_EQ(jpeg_encode(&sink, record_write, nullptr, row.data(), 300, 1, 1, 50), Fault::none);
    EXPECT_GT(sink.data.size(), size_t(kHeaderBytes));
}

}  // namespace
