#include "toolkit/tga_wav.h"

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

std::string temp_path(const char* name) { return testing::TempDir() + "pixsieve_tga_wav_" + name; }

Bytes read_back(const std::string& path)
{
    Bytes bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    int c;
    while ((c = std::fgetc(f)) != EOF)
        bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(f);
    return bytes;
}

bool exists(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f != nullptr)
        std::fclose(f);
    return f != nullptr;
}

Bytes concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// 12 fixed bytes: no id, no colour map, type 2, colour-map fields and origin zero.
const Bytes kTgaPrefix = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(TgaWrite, RgbImageIsBottomUpInBgrOrder)
{
    const std::string path = temp_path("rgb.tga");
    const uint8_t pixels[] = {
        1, 2, 3, 4,  5,  6,   // top row: (1,2,3) (4,5,6)
        7, 8, 9, 10, 11, 12,  // bottom row
    };
    ASSERT_EQ(tga_write(path.c_str(), pixels, 2, 2, 3), 1);
    const Bytes expected = concat(kTgaPrefix, {2, 0, 2, 0, 24, 0,    // width 2, height 2, 24 bpp, descriptor 0
                                               9, 8, 7, 12, 11, 10,  // bottom row first
                                               3, 2, 1, 6, 5, 4});
    EXPECT_EQ(read_back(path), expected);
    EXPECT_EQ(expected.size(), 18u + 12u);
    std::remove(path.c_str());
}

TEST(TgaWrite, GreyAndGreyAlphaAreStoredUnchanged)
{
    const std::string path = temp_path("grey.tga");
    const uint8_t grey[] = {10, 20, 30};
    ASSERT_EQ(tga_write(path.c_str(), grey, 3, 1, 1), 1);
    EXPECT_EQ(read_back(path), concat(kTgaPrefix, {3, 0, 1, 0, 8, 0, 10, 20, 30}));

    const uint8_t grey_alpha[] = {1, 2, 3, 4};  // one column, two rows
    ASSERT_EQ(tga_write(path.c_str(), grey_alpha, 1, 2, 2), 1);
    EXPECT_EQ(read_back(path), concat(kTgaPrefix, {1, 0, 2, 0, 16, 0, 3, 4, 1, 2}));
    std::remove(path.c_str());
}

TEST(TgaWrite, RgbaKeepsAlphaLastAndDimensionsAreLittleEndian)
{
    const std::string path = temp_path("rgba.tga");
    const int width = 300;  // 0x012C
    std::vector<uint8_t> pixels(width * 4);
    for (size_t x = 0; x < width; ++x) {
        pixels[x * 4 + 0] = static_cast<uint8_t>(x);   // R
        pixels[x * 4 + 1] = 0x40;                      // G
        pixels[x * 4 + 2] = static_cast<uint8_t>(~x);  // B
        pixels[x * 4 + 3] = 0x80;                      // A
    }
    ASSERT_EQ(tga_write(path.c_str(), pixels.data(), width, 1, 4), 1);
    Bytes file = read_back(path);
    ASSERT_EQ(file.size(), 18u + width * 4);
    EXPECT_EQ(Bytes(file.begin() + 12, file.begin() + 18), (Bytes{0x2C, 0x01, 1, 0, 32, 0}));
    for (size_t x = 0; x < width; ++x) {
        const uint8_t* p = &file[18 + x * 4];
        ASSERT_EQ(p[0], static_cast<uint8_t>(~x)) << x;
        ASSERT_EQ(p[1], 0x40) << x;
        ASSERT_EQ(p[2], static_cast<uint8_t>(x)) << x;
        ASSERT_EQ(p[3], 0x80) << x;
    }
    std::remove(path.c_str());
}

TEST(TgaWrite, RefusesBadArgumentsWithoutCreatingTheFile)
{
    const std::string path = temp_path("refused.tga");
    std::remove(path.c_str());
    const uint8_t pixels[16] = {};
    EXPECT_EQ(tga_write(path.c_str(), nullptr, 1, 1, 3), 0);
    EXPECT_EQ(tga_write(nullptr, pixels, 1, 1, 3), 0);
    EXPECT_EQ(tga_write(path.c_str(), pixels, 1, 1, 0), 0);
    EXPECT_EQ(tga_write(path.c_str(), pixels, 1, 1, 5), 0);
    EXPECT_EQ(tga_write(path.c_str(), pixels, 0, 1, 1), 0);
    EXPECT_EQ(tga_write(path.c_str(), pixels, 1, -3, 1), 0);
    EXPECT_EQ(tga_write(path.c_str(), pixels, 65536, 1, 1), 0);  // does not fit the 16-bit field
    // 65535 x 65535 x 4 bytes is far beyond 1 GiB: refused before any pixel is read.
    EXPECT_EQ(tga_write(path.c_str(), pixels, 65535, 65535, 4), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(tga_write("/nonexistent/dir/out.tga", pixels, 1, 1, 1), 0);
}

// A device that accepts the open but no bytes: the failure must not read as success.
TEST(TgaWavWrite, ReportFailedWrites)
{
    const uint8_t bytes[8] = {1, 2, 3};
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    EXPECT_EQ(tga_write("/dev/full", bytes, 1, 1, 3), 0);
    EXPECT_EQ(wav_write("/dev/full", 1, 8, 8000, bytes, sizeof bytes), 0);
}

// "RIFF", size, "WAVEfmt ", 16, PCM, channels, rate, byte rate, block align, bits, "data", size.
Bytes wav_header(uint32_t riff, uint16_t channels, uint32_t rate, uint32_t byte_rate, uint16_t align, uint16_t bits,
                 uint32_t data)
{
    auto le = [](Bytes& b, uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    Bytes h = {'R', 'I', 'F', 'F'};
    le(h, riff, 4);
    for (char c : std::string("WAVEfmt "))
        h.push_back(static_cast<uint8_t>(c));
    le(h, 16, 4);
    le(h, 1, 2);
    le(h, channels, 2);
    le(h, rate, 4);
    le(h, byte_rate, 4);
    le(h, align, 2);
    le(h, bits, 2);
    for (char c : std::string("data"))
        h.push_back(static_cast<uint8_t>(c));
    le(h, data, 4);
    return h;
}

TEST(WavWrite, StereoSixteenBitHeaderByteForByte)
{
    const std::string path = temp_path("stereo.wav");
    const uint8_t samples[] = {0x01, 0x80, 0xFF, 0x7F};
    ASSERT_EQ(wav_write(path.c_str(), 2, 16, 44100, samples, sizeof samples), 1);
    // Written out by hand: 44100 = 0xAC44, byte rate 176400 = 0x02B110, RIFF size 4 + 36 = 40.
    const Bytes expected = {'R', 'I', 'F', 'F', 40,  0,   0,   0,   'W',  'A',  'V', 'E', 'f',  'm',  't',  ' ',
                            16,  0,   0,   0,   1,   0,   2,   0,   0x44, 0xAC, 0,   0,   0x10, 0xB1, 0x02, 0,
                            4,   0,   16,  0,   'd', 'a', 't', 'a', 4,    0,    0,   0,   0x01, 0x80, 0xFF, 0x7F};
    EXPECT_EQ(read_back(path), expected);
    EXPECT_EQ(expected.size(), 48u);
    std::remove(path.c_str());
}

TEST(WavWrite, OtherLayoutsAndEmptyData)
{
    const std::string path = temp_path("layouts.wav");
    const uint8_t mono8[] = {0x80, 0x90, 0xA0};
    ASSERT_EQ(wav_write(path.c_str(), 1, 8, 8000, mono8, sizeof mono8), 1);
    EXPECT_EQ(read_back(path), concat(wav_header(39, 1, 8000, 8000, 1, 8, 3), {0x80, 0x90, 0xA0}));

    std::vector<uint8_t> surround(6 * 3 * 2);  // 5.1, 24 bits, two frames
    for (size_t i = 0; i < surround.size(); ++i)
        surround[i] = static_cast<uint8_t>(i * 7);
    ASSERT_EQ(wav_write(path.c_str(), 6, 24, 48000, surround.data(), surround.size()), 1);
    EXPECT_EQ(read_back(path), concat(wav_header(36 + 36, 6, 48000, 864000, 18, 24, 36), surround));

    ASSERT_EQ(wav_write(path.c_str(), 1, 32, 96000, nullptr, 0), 1);
    EXPECT_EQ(read_back(path), wav_header(36, 1, 96000, 384000, 4, 32, 0));
    std::remove(path.c_str());
}

TEST(WavWrite, RefusesFieldsThatWouldNotFitOrDescribeTheData)
{
    const std::string path = temp_path("refused.wav");
    std::remove(path.c_str());
    const uint8_t samples[8] = {};
    EXPECT_EQ(wav_write(path.c_str(), 0, 16, 44100, samples, 4), 0);
    EXPECT_EQ(wav_write(path.c_str(), 65536, 8, 8000, samples, 0), 0);
    EXPECT_EQ(wav_write(path.c_str(), 2, 12, 44100, samples, 4), 0);  // not whole bytes
    EXPECT_EQ(wav_write(path.c_str(), 2, 0, 44100, samples, 4), 0);
    EXPECT_EQ(wav_write(path.c_str(), 2, 16, 0, samples, 4), 0);
    EXPECT_EQ(wav_write(path.c_str(), 2, 16, 44100, samples, 3), 0);  // a partial frame
    EXPECT_EQ(wav_write(path.c_str(), 2, 16, 44100, nullptr, 4), 0);
    EXPECT_EQ(wav_write(path.c_str(), 65535, 32, 2000000000, samples, 0), 0);     // byte rate overflows 32 bits
    EXPECT_EQ(wav_write(path.c_str(), 1, 8, 8000, samples, size_t{1} << 30), 0);  // 1 GiB, never read
    EXPECT_EQ(wav_write(nullptr, 1, 8, 8000, samples, 1), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(wav_write("/nonexistent/dir/out.wav", 1, 8, 8000, samples, 1), 0);
}

}  // namespace
