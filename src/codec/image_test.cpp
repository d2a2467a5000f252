#include "codec/image.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "jpeg_oracle.h"
#include "png_oracle.h"
#include "test_util.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Image {
    DecodedImage d{};
    ~Image() { image_free(&d); }
};

std::string decode_output(Image& image, const Bytes& data, Fault* result)
{
    testkit::CapturedStdout capture;
    ImageContext context;
    *result = image_decode(&context, &image.d, data);
    return capture.take();
}

Bytes png_with_format(uint32_t format, uint32_t width, uint32_t height, const Bytes& samples)
{
    return oracle::write_png_memory(width, height, samples, format);
}

TEST(ImageDecode, PngRgbaAndRgb)
{
    Bytes rgba = {1, 2, 3, 4, 250, 251, 252, 0, 9, 8, 7, 128};
    Image a;
    Fault rc = Fault::none;
    decode_output(a, png_with_format(PNG_FORMAT_RGBA, 3, 1, rgba), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(a.d.kind, ImageKind::png);
    EXPECT_EQ(Bytes(a.d.pixels, a.d.pixels + 12), rgba);

    Image b;
    decode_output(b, png_with_format(PNG_FORMAT_RGB, 1, 2, {10, 20, 30, 40, 50, 60}), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(Bytes(b.d.pixels, b.d.pixels + 8), (Bytes{10, 20, 30, 255, 40, 50, 60, 255}));
}

// JPEG data that starts with an EOI SOI pair (older authoring tools) is still JPEG.
TEST(ImageDecode, JpegAfterALeadingEndStartPair)
{
    Bytes rgb(24 * 16 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 7);
    Bytes jpeg = oracle::encode_jpeg(24, 16, 3, rgb);
    Bytes prefixed = {0xFF, 0xD9, 0xFF, 0xD8};
    prefixed.insert(prefixed.end(), jpeg.begin(), jpeg.end());
    Image plain, repaired;
    Fault rc = Fault::none;
    decode_output(plain, jpeg, &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(decode_output(repaired, prefixed, &rc), "");
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(repaired.d.kind, ImageKind::jpeg);
    ASSERT_EQ(repaired.d.width, 24u);
    EXPECT_EQ(Bytes(repaired.d.pixels, repaired.d.pixels + 24 * 16 * 4),
              Bytes(plain.d.pixels, plain.d.pixels + 24 * 16 * 4));
}

TEST(ImageDecode, EveryPngFormIsReadBrokenOnesAreRefused)
{
    Image grey;
    Fault rc = Fault::none;
    EXPECT_EQ(decode_output(grey, png_with_format(PNG_FORMAT_GRAY, 2, 1, {9, 200}), &rc), "");
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(Bytes(grey.d.pixels, grey.d.pixels + 8), (Bytes{9, 9, 9, 255, 200, 200, 200, 255}));

    Image cut;
    cut.d.width = 77;
    Bytes png = png_with_format(PNG_FORMAT_RGBA, 2, 2, Bytes(16, 9));
    png.resize(png.size() - 20);
    EXPECT_EQ(decode_output(cut, png, &rc), "");
    EXPECT_NE(rc, Fault::none);
    EXPECT_EQ(cut.d.width, 77u);
    EXPECT_EQ(cut.d.pixels, nullptr);

    Image junk;
    EXPECT_EQ(decode_output(junk, Bytes{0xFF, 0xD8, 0x00, 0x01}, &rc), "");
    EXPECT_NE(rc, Fault::none);
    EXPECT_EQ(junk.d.pixels, nullptr);
    Image null_data;
    ImageContext context;
    EXPECT_EQ(image_decode(&context, &null_data.d, {}), Fault::malformed);
}

// A JPEG that cannot be held is a resource failure, bad JPEG data malformed; the layer
// prints neither (the caller prints the one line).
TEST(ImageDecode, JpegFailuresSayWhyWithoutPrinting)
{
    const Bytes huge{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0xFF, 0xFF,
                     0xFF, 0xFF, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xD9};
    const Bytes broken{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0x00, 0x08, 0x00, 0x00, 0x01, 0x01, 0x11, 0x00};
    ImageContext context;
    DecodedImage image{};
    testkit::CapturedStdout capture;
    EXPECT_EQ(image_decode(&context, &image, huge), Fault::too_large);
    EXPECT_EQ(image_decode(&context, &image, broken), Fault::malformed);
    EXPECT_EQ(image.pixels, nullptr);
    EXPECT_EQ(capture.take(), "");
}

TEST(ImageDecode, JpegColourAndGreyAreOpaque)
{
    Bytes rgb;
    for (int i = 0; i < 16 * 16; ++i)
        for (uint8_t v : {uint8_t(200), uint8_t(100), uint8_t(50)})
            rgb.push_back(v);
    Image colour;
    Fault rc = Fault::none;
    decode_output(colour, oracle::encode_jpeg(16, 16, 3, rgb, {.quality = 95}), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(colour.d.kind, ImageKind::jpeg);
    for (size_t i = 0; i < 256; ++i) {
        EXPECT_NEAR(colour.d.pixels[4 * i], 200, 3);
        EXPECT_NEAR(colour.d.pixels[4 * i + 2], 50, 3);
        EXPECT_EQ(colour.d.pixels[4 * i + 3], 255);
    }
    Image grey;
    decode_output(grey, oracle::encode_jpeg(8, 8, 1, Bytes(64, 90), {.quality = 95}), &rc);
    ASSERT_EQ(rc, Fault::none);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_NEAR(grey.d.pixels[4 * i], 90, 2);
        EXPECT_EQ(grey.d.pixels[4 * i], grey.d.pixels[4 * i + 1]);
        EXPECT_EQ(grey.d.pixels[4 * i], grey.d.pixels[4 * i + 2]);
        EXPECT_EQ(grey.d.pixels[4 * i + 3], 255);
    }
}

// A bitmap file: 14-byte header, 40-byte info header, padded rows.
Bytes bitmap_file(int32_t width, int32_t height, uint16_t bits, const Bytes& rows)
{
    Bytes b(54, 0);
    auto put32 = [&](size_t at, uint32_t v) {
        for (size_t i = 0; i < 4; ++i)
            b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    b[0] = 'B', b[1] = 'M';
    put32(2, static_cast<uint32_t>(54 + rows.size()));
    put32(10, 54);
    put32(14, 40);
    put32(18, static_cast<uint32_t>(width));
    put32(22, static_cast<uint32_t>(height));
    b[26] = 1;
    b[28] = static_cast<uint8_t>(bits);
    b.insert(b.end(), rows.begin(), rows.end());
    return b;
}

TEST(ImageDecode, BitmapFilesBottomUpAndTopDown)
{
    // 24-bit, 2x2, bottom-up: the first stored row is the bottom one; rows pad to 8 bytes.
    Bytes rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    Image up;
    Fault rc = Fault::none;
    decode_output(up, bitmap_file(2, 2, 24, rows), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(up.d.kind, ImageKind::bitmap);
    EXPECT_EQ(Bytes(up.d.pixels, up.d.pixels + 16), (Bytes{9, 8, 7, 255, 12, 11, 10, 255, 3, 2, 1, 255, 6, 5, 4, 255}));

    Image down;
    decode_output(down, bitmap_file(1, -2, 32, {1, 2, 3, 40, 5, 6, 7, 80}), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(Bytes(down.d.pixels, down.d.pixels + 8), (Bytes{3, 2, 1, 40, 7, 6, 5, 80}));

    Image cut;
    Bytes truncated = bitmap_file(2, 2, 24, rows);
    truncated.resize(truncated.size() - 1);
    decode_output(cut, truncated, &rc);
    EXPECT_NE(rc, Fault::none);
    Image eight_bit;
    decode_output(eight_bit, bitmap_file(2, 2, 8, rows), &rc);
    EXPECT_NE(rc, Fault::none);
}

TEST(ImageEncode, JpegFlattensOntoBlackAndDefaultsToQuality80)
{
    uint8_t pixel[4] = {10, 20, 30, 128};
    Bytes out(image_encode_bound(1, 1));
    uint32_t size = 0;
    ASSERT_EQ(
        image_encode_pixels(ImageKind::jpeg, pixel, 1, 1, 80, out.data(), static_cast<uint32_t>(out.size()), &size),
        Fault::none);
    EXPECT_EQ(Bytes(pixel, pixel + 4), (Bytes{5, 10, 15, 255}));
    EXPECT_GT(size, 607u);

    Bytes px(8 * 8 * 4, 0x80);
    Image img;
    img.d = {ImageKind::jpeg, 0, 8, 8, static_cast<uint8_t*>(std::malloc(px.size()))};
    std::memcpy(img.d.pixels, px.data(), px.size());
    Bytes with_default(image_encode_bound(8, 8)), with_80(image_encode_bound(8, 8));
    uint32_t n_default = 0, n_80 = 0;
    ASSERT_EQ(image_encode(&img.d, with_default.data(), static_cast<uint32_t>(with_default.size()), &n_default),
              Fault::none);
    ASSERT_EQ(image_encode_pixels(ImageKind::jpeg, px.data(), 8, 8, 80, with_80.data(),
                                  static_cast<uint32_t>(with_80.size()), &n_80),
              Fault::none);
    EXPECT_EQ(Bytes(with_default.begin(), with_default.begin() + n_default),
              Bytes(with_80.begin(), with_80.begin() + n_80));
    EXPECT_EQ(with_80[25], (40 * 16 + 50) / 100);  // first luminance quantiser at quality 80
}

TEST(ImageEncode, SmallBuffersAreRefusedNotOverrun)
{
    Bytes px(4 * 4 * 4, 0x40);
    Bytes out(32);
    uint32_t size = 1234;
    EXPECT_EQ(image_encode_pixels(ImageKind::png, px.data(), 4, 4, 0, out.data(), 32, &size), Fault::too_large);
    EXPECT_EQ(image_encode_pixels(ImageKind::jpeg, px.data(), 4, 4, 80, out.data(), 32, &size), Fault::too_large);
    EXPECT_EQ(size, 1234u);
    EXPECT_EQ(image_encode_pixels(ImageKind::bitmap, px.data(), 4, 4, 80, out.data(), 32, &size), Fault::unsupported);
    EXPECT_EQ(size, 1234u);  // no encoder for this kind: nothing written
}

TEST(ImageEncode, PngRoundTripAndFlattenWithZeroDivisor)
{
    Bytes px = {1, 2, 3, 4, 5, 6, 7, 8};
    Bytes out(image_encode_bound(2, 1));
    uint32_t size = 0;
    ASSERT_EQ(
        image_encode_pixels(ImageKind::png, px.data(), 2, 1, 0, out.data(), static_cast<uint32_t>(out.size()), &size),
        Fault::none);
    Image back;
    Fault rc = Fault::none;
    decode_output(back, Bytes(out.begin(), out.begin() + size), &rc);
    ASSERT_EQ(rc, Fault::none);
    EXPECT_EQ(Bytes(back.d.pixels, back.d.pixels + 8), px);
    image_flatten_alpha(px.data(), 2, 1, 0);
    EXPECT_EQ(px, Bytes(8, 0));
}

}  // namespace
