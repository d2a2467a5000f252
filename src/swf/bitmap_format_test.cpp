#include "swf/bitmap_format.h"

#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "jpeg_oracle.h"
#include "seed_media.h"
#include "swf/swf.h"
#include "swf_builder.h"

namespace {

using swfkit::Bytes;

TEST(BitmapAlpha, PremultiplyingUndoesUnpremultiplyingForEveryValidPixel)
{
    for (int a = 0; a < 256; ++a) {
        for (int c = 0; c <= a; ++c) {
            uint8_t px[4] = {static_cast<uint8_t>(c), static_cast<uint8_t>(a - c), 0, static_cast<uint8_t>(a)};
            unpremultiply_rgba(px, 1);
            double exact = a == 0 ? 0 : c * 255.0 / a;
            ASSERT_EQ(px[0], std::lround(exact)) << c << "/" << a;
            ASSERT_EQ(px[3], a);
            premultiply_rgba(px, 1);
            ASSERT_EQ(px[0], c) << c << "/" << a;
            ASSERT_EQ(px[1], a - c) << c << "/" << a;
            ASSERT_EQ(px[2], 0);
        }
    }
}

TEST(BitmapAlpha, TransparentGoesBlackAndColourAboveAlphaClamps)
{
    uint8_t px[12] = {9, 8, 7, 0, 200, 10, 0, 100, 40, 50, 60, 255};
    unpremultiply_rgba(px, 3);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 12), (std::vector<uint8_t>{0, 0, 0, 0, 255, 26, 0, 100, 40, 50, 60, 255}));
    premultiply_rgba(px, 3);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 12), (std::vector<uint8_t>{0, 0, 0, 0, 100, 10, 0, 100, 40, 50, 60, 255}));
}

TEST(BitmapPixelOrder, ArgbAndRgbaTurnIntoEachOther)
{
    uint8_t px[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    argb_to_rgba(px, 2);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 8), (std::vector<uint8_t>{2, 3, 4, 1, 6, 7, 8, 5}));
    rgba_to_argb(px, 2);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8}));
}

std::vector<uint8_t> to_rgba(std::span<const uint8_t> body, bool with_alpha, std::span<const uint8_t> data)
{
    LosslessHeader header;
    EXPECT_TRUE(lossless_read_header(body, &header));
    std::vector<uint8_t> rgba(size_t{header.width} * header.height * 4, 0xEE);
    lossless_to_rgba(header, with_alpha, data, rgba.data());
    return rgba;
}

TEST(BitmapLossless, HeadersAndDataSizes)
{
    LosslessHeader h;
    EXPECT_FALSE(lossless_read_header(Bytes{1, 0, 5, 3, 0, 2}, &h));
    ASSERT_TRUE(lossless_read_header(Bytes{1, 2, 3, 5, 0, 2, 0, 4, 0xAA}, &h));
    EXPECT_EQ(h.id, 0x0201);
    EXPECT_EQ(h.format, 3);
    EXPECT_EQ(h.width, 5);
    EXPECT_EQ(h.height, 2);
    EXPECT_EQ(h.colours, 5u);
    EXPECT_EQ(h.data_offset, 8u);
    EXPECT_EQ(lossless_data_size(h, false), 5u * 3 + 8 * 2);  // rows of 5 indices padded to 8
    EXPECT_EQ(lossless_data_size(h, true), 5u * 4 + 8 * 2);
    ASSERT_TRUE(lossless_read_header(Bytes{1, 0, 3, 5, 0, 2, 0}, &h));  // cut before the table size
    EXPECT_EQ(h.colours, 0u);
    EXPECT_EQ(h.data_offset, 7u);
    ASSERT_TRUE(lossless_read_header(Bytes{1, 0, 4, 3, 0, 2, 0}, &h));
    EXPECT_EQ(lossless_data_size(h, true), 8u * 2);  // rows of 6 bytes padded to 8
    h.width = 0;
    EXPECT_EQ(lossless_data_size(h, true), 0u);
    EXPECT_EQ(lossless_header_record(0x0201, 5, 0x0403, 0x0605),
              (LosslessRecord{0x01, 0x02, 5, 0x03, 0x04, 0x05, 0x06}));
    EXPECT_FALSE(lossless_format_known(6));
    EXPECT_TRUE(lossless_format_known(4));
}

TEST(BitmapLossless, ColourTablesWithAndWithoutAlpha)
{
    // Three colours, a 3 x 2 picture: rows padded to 4 indices; index 3 and 200 are past the table.
    Bytes rgb_table = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    Bytes indices = {0, 1, 2, 99, 3, 200, 1, 99};
    Bytes data = rgb_table;
    data.insert(data.end(), indices.begin(), indices.end());
    Bytes body = {1, 0, 3, 3, 0, 2, 0, 2};
    EXPECT_EQ(to_rgba(body, false, data), (Bytes{10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255,  //
                                                 0,  0,  0,  0,   0,  0,  0,  0,   40, 50, 60, 255}));
    Bytes rgba_table = {10, 20, 30, 40, 0, 0, 0, 0, 70, 80, 90, 100};
    data = rgba_table;
    data.insert(data.end(), indices.begin(), indices.end());
    EXPECT_EQ(to_rgba(body, true, data), (Bytes{10, 20, 30, 40, 0, 0, 0, 0, 70, 80, 90, 100,  //
                                                0,  0,  0,  0,  0, 0, 0, 0, 0,  0,  0,  0}));
    // A stream that stops inside the table: the missing entries and pixels are transparent.
    EXPECT_EQ(to_rgba(body, false, std::span(data).first(4)), Bytes(24, 0));
    data = rgb_table;
    data.insert(data.end(), {2, 0});
    EXPECT_EQ(to_rgba(body, false, data), (Bytes{70, 80, 90, 255, 10, 20, 30, 255, 0, 0, 0, 0,  //
                                                 0,  0,  0,  0,   0,  0,  0,  0,   0, 0, 0, 0}));
}

TEST(BitmapLossless, FifteenBitPixelsScaleEveryLevel)
{
    // 32 pixels in one row (64 bytes, already a multiple of 4): red v, green 31 - v, blue v & 1.
    Bytes data;
    for (uint32_t v = 0; v < 32; ++v) {
        uint32_t word = v << 10 | (31 - v) << 5 | (v & 1);
        data.push_back(static_cast<uint8_t>(word >> 8));
        data.push_back(static_cast<uint8_t>(word));
    }
    Bytes rgba = to_rgba(Bytes{1, 0, 4, 32, 0, 1, 0}, false, data);
    for (uint32_t v = 0; v < 32; ++v) {
        EXPECT_EQ(rgba[4 * v], std::lround(v * 255 / 31.0)) << v;
        EXPECT_EQ(rgba[4 * v + 1], std::lround((31 - v) * 255 / 31.0)) << v;
        EXPECT_EQ(rgba[4 * v + 2], v & 1 ? 8 : 0) << v;
        EXPECT_EQ(rgba[4 * v + 3], 255);
    }
    // Rows padded: a 3 x 2 picture has 8 bytes a row; a short stream leaves the rest transparent.
    Bytes rows = {0x7C, 0x00, 0x03, 0xE0, 0x00, 0x1F, 0xAA, 0xAA, 0x7F, 0xFF};
    EXPECT_EQ(to_rgba(Bytes{1, 0, 4, 3, 0, 2, 0}, true, rows),
              (Bytes{255, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(BitmapLossless, ThirtyTwoBitAlphaOrReservedByte)
{
    Bytes data = {128, 64, 32, 16, 0, 1, 2, 3};
    EXPECT_EQ(to_rgba(Bytes{1, 0, 5, 2, 0, 2, 0}, true, data),
              (Bytes{64, 32, 16, 128, 1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(to_rgba(Bytes{1, 0, 5, 2, 0, 2, 0}, false, data),
              (Bytes{64, 32, 16, 255, 1, 2, 3, 255, 0, 0, 0, 0, 0, 0, 0, 0}));
    // In place, as extraction converts it.
    LosslessHeader h;
    ASSERT_TRUE(lossless_read_header(Bytes{1, 0, 5, 2, 0, 1, 0}, &h));
    lossless_to_rgba(h, true, data, data.data());
    EXPECT_EQ(data, (Bytes{64, 32, 16, 128, 1, 2, 3, 0}));
}

TEST(BitmapLossless, InflateReportsShortAndBrokenStreams)
{
    Bytes packed = swfkit::zlib_compress(Bytes{1, 2, 3});
    Inflated whole = inflate_bitmap_data(packed, 5);
    EXPECT_EQ(whole.fault, Fault::none);
    EXPECT_EQ(whole.size, 3u);
    EXPECT_EQ(Bytes(whole.bytes.get(), whole.bytes.get() + 5), (Bytes{1, 2, 3, 0, 0}));
    EXPECT_EQ(inflate_bitmap_data(packed, 2).fault, Fault::too_large);  // more than the capacity
    packed.pop_back();
    EXPECT_EQ(inflate_bitmap_data(packed, 5).fault, Fault::malformed);  // cut off before its end
    EXPECT_NE(inflate_bitmap_data(Bytes{}, 0).fault, Fault::none);
}

TEST(BitmapJpegTags, LayoutsOfTheFourTags)
{
    // The parts point into the body: every body outlives its checks.
    JpegTagParts parts;
    const Bytes short_body = {7}, two = {7, 1, 0xFF, 0xD8}, three = {7, 0, 2, 0, 0, 0, 0xA, 0xB, 0xC};
    const Bytes past = {7, 0, 4, 0, 0, 0, 0xA, 0xB, 0xC}, three_short = {7, 0, 4, 0, 0};
    EXPECT_EQ(jpeg_tag_read(kTagDefineBits, short_body, &parts), JpegTagLayout::too_short);
    ASSERT_EQ(jpeg_tag_read(kTagDefineBitsJpeg2, two, &parts), JpegTagLayout::ok);
    EXPECT_EQ(parts.id, 0x0107);
    EXPECT_FALSE(parts.has_alpha);
    EXPECT_EQ(Bytes(parts.image.begin(), parts.image.end()), (Bytes{0xFF, 0xD8}));
    EXPECT_TRUE(parts.alpha.empty());

    ASSERT_EQ(jpeg_tag_read(kTagDefineBitsJpeg3, three, &parts), JpegTagLayout::ok);
    EXPECT_TRUE(parts.has_alpha);
    EXPECT_EQ(Bytes(parts.image.begin(), parts.image.end()), (Bytes{0xA, 0xB}));
    EXPECT_EQ(Bytes(parts.alpha.begin(), parts.alpha.end()), (Bytes{0xC}));
    EXPECT_EQ(jpeg_tag_read(kTagDefineBitsJpeg3, past, &parts), JpegTagLayout::image_past_end);
    EXPECT_EQ(parts.id, 7);
    EXPECT_EQ(parts.image_length, 4u);
    EXPECT_EQ(jpeg_tag_read(kTagDefineBitsJpeg3, three_short, &parts), JpegTagLayout::too_short);

    Bytes four = swfkit::jpeg4_body(9, 0x0180, Bytes{0xA, 0xB}, Bytes{1});
    ASSERT_EQ(jpeg_tag_read(kTagDefineBitsJpeg4, four, &parts), JpegTagLayout::ok);
    EXPECT_EQ(parts.id, 9);
    EXPECT_EQ(parts.deblocking, 0x0180);
    EXPECT_EQ(Bytes(parts.image.begin(), parts.image.end()), (Bytes{0xA, 0xB}));
    EXPECT_EQ(parts.alpha.size(), four.size() - 10);
    const Bytes four_short(7, 0);
    EXPECT_EQ(jpeg_tag_read(kTagDefineBitsJpeg4, four_short, &parts), JpegTagLayout::too_short);
}

TEST(BitmapJpegTags, StoredImageKindBySignature)
{
    EXPECT_EQ(stored_image_kind(Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0}), StoredImage::png);
    EXPECT_EQ(stored_image_kind(Bytes{0x89, 'P', 'N', 'G', 0x0D, 0x0A}), StoredImage::jpeg);
    EXPECT_EQ(stored_image_kind(Bytes{'G', 'I', 'F', '8', '9', 'a'}), StoredImage::gif);
    EXPECT_EQ(stored_image_kind(Bytes{'G', 'I', 'F', '8', '7', 'a'}), StoredImage::gif);
    EXPECT_EQ(stored_image_kind(Bytes{0xFF, 0xD8, 0xFF}), StoredImage::jpeg);
    EXPECT_EQ(stored_image_kind(Bytes{}), StoredImage::jpeg);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes test_jpeg()
{
    Bytes rgb(16 * 8 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 7);
    return oracle::encode_jpeg(16, 8, 3, rgb, {.quality = 90, .h_samp = 2, .v_samp = 2});
}

Bytes repaired(const Bytes& data) { return jpeg_repair(data); }

TEST(BitmapJpegRepair, StrayMarkersGoAndTheCodedDataStays)
{
    Bytes jpeg = test_jpeg();
    EXPECT_EQ(repaired(jpeg), jpeg);  // a sound stream stays byte for byte
    const Bytes eoi_soi = {0xFF, 0xD9, 0xFF, 0xD8};
    EXPECT_EQ(repaired(concat({eoi_soi, jpeg})), jpeg);
    swfkit::SplitJpeg split = swfkit::split_jpeg_tables(jpeg);
    Bytes two_blocks = concat({split.tables, split.picture});
    Bytes joined = repaired(two_blocks);
    EXPECT_EQ(joined.size(), jpeg.size());
    oracle::Decoded a = oracle::decode_jpeg(jpeg), b = oracle::decode_jpeg(joined);
    ASSERT_TRUE(b.clean()) << b.error;
    EXPECT_EQ(a.samples, b.samples);
    EXPECT_FALSE(oracle::decode_jpeg(two_blocks).clean());
    // Both faults at once, with the tables first.
    EXPECT_EQ(repaired(concat({eoi_soi, two_blocks})), joined);
    // Data that is not JPEG, and an EOI-SOI pair past the first scan, stay as given.
    Bytes other = {1, 2, 0xFF, 0xD9, 0xFF, 0xD8};
    EXPECT_EQ(repaired(other), other);
    Bytes tail = concat({jpeg, eoi_soi, {0xFF, 0xD9}});
    EXPECT_EQ(repaired(tail), tail);
    // Cut-off segments are copied as they are.
    Bytes cut(jpeg.begin(), jpeg.begin() + 30);
    EXPECT_EQ(repaired(cut), cut);
}

TEST(BitmapJpegRepair, TablesMergeInFrontOfThePicture)
{
    Bytes jpeg = test_jpeg();
    swfkit::SplitJpeg split = swfkit::split_jpeg_tables(jpeg);
    EXPECT_FALSE(oracle::decode_jpeg(split.picture).ok);  // no tables: libjpeg refuses it
    Bytes merged = jpeg_merge_tables(split.tables, split.picture);
    EXPECT_EQ(merged.size(), jpeg.size());
    EXPECT_EQ(Bytes(merged.data(), merged.data() + split.tables.size() - 2),
              Bytes(split.tables.begin(), split.tables.end() - 2));
    oracle::Decoded a = oracle::decode_jpeg(jpeg), b = oracle::decode_jpeg(merged);
    ASSERT_TRUE(b.clean()) << b.error;
    EXPECT_EQ(a.samples, b.samples);
    // Stray markers on either side, as old tools wrote them, give the same stream.
    const Bytes eoi_soi = {0xFF, 0xD9, 0xFF, 0xD8};
    EXPECT_EQ(jpeg_merge_tables(concat({eoi_soi, split.tables}), concat({eoi_soi, split.picture})), merged);
    // Parts that are not JPEG leave the picture as given.
    EXPECT_EQ(jpeg_merge_tables(Bytes{1, 2, 3}, split.picture), split.picture);
    Bytes png = {0x89, 'P', 'N', 'G'};
    EXPECT_EQ(jpeg_merge_tables(split.tables, png), png);
}

TEST(BitmapAlphaPlane, JpegColourComesOutStraightPngKeepsItsOwn)
{
    Bytes jpeg_pixels = {100, 50, 0, 255, 30, 30, 30, 255, 7, 8, 9, 255};
    merge_alpha_plane(jpeg_pixels.data(), 3, Bytes{200, 0}, true);  // the third pixel is past the plane
    EXPECT_EQ(jpeg_pixels, (Bytes{128, 64, 0, 200, 0, 0, 0, 0, 0, 0, 0, 0}));
    Bytes png_pixels = {100, 50, 0, 0xF0, 30, 30, 30, 0x0F};
    merge_alpha_plane(png_pixels.data(), 2, Bytes{0xFF, 0x3C}, false);
    EXPECT_EQ(png_pixels, (Bytes{100, 50, 0, 0xF0, 30, 30, 30, 0x0C}));
}

}  // namespace

namespace {

TEST(BitmapFacts, KindSizeAndStoredBytesFromTheHeaderAlone)
{
    struct Case {
        uint16_t code;
        Bytes body;
        BitmapKind kind;
        bool alpha;
        uint32_t width, height;
    };
    const Bytes jpeg = swfkit::gradient_jpeg(8, 6);
    Bytes stray_pair = {0xFF, 0xD9, 0xFF, 0xD8};
    stray_pair.insert(stray_pair.end(), jpeg.begin(), jpeg.end());
    const Bytes png = swfkit::filtered_png(3, 2, 8, 2, 0);
    const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 5, 1, 7, 0};
    const Case cases[] = {
        {kTagDefineBitsLossless2, swfkit::colour_mapped_body(1, 4, 3, 2, Bytes(18, 0)), BitmapKind::colour_mapped, true,
         4, 3},
        {kTagDefineBitsLossless, swfkit::lossless_body(2, 4, 9, 1, Bytes(36, 0)), BitmapKind::fifteen_bit, false, 9, 1},
        {kTagDefineBits, swfkit::jpeg_body(3, stray_pair), BitmapKind::jpeg_with_tables, false, 8, 6},
        {kTagDefineBitsJpeg2, swfkit::jpeg_body(4, gif), BitmapKind::gif, false, 261, 7},
        {kTagDefineBitsJpeg3, swfkit::jpeg3_body(5, png, Bytes{1}), BitmapKind::png, true, 3, 2},
        {kTagDefineBitsJpeg4, swfkit::jpeg4_body(6, 0, jpeg, Bytes{1}), BitmapKind::jpeg_with_alpha, true, 8, 6},
        {kTagDefineBitsJpeg2, swfkit::jpeg_body(7, Bytes{0xFF, 0xD8, 0xFF, 0xC0, 0, 3}), BitmapKind::jpeg, false, 0, 0},
        {kTagDefineBitsLossless, Bytes{1, 0, 5, 1, 0}, BitmapKind::unreadable, false, 0, 0},
        {kTagDefineBitsJpeg3, Bytes{1, 0, 9, 0, 0, 0, 1}, BitmapKind::unreadable, false, 0, 0},
    };
    for (const Case& c : cases) {
        const BitmapFacts f = bitmap_facts(c.code, c.body);
        EXPECT_EQ(f.kind, c.kind) << bitmap_kind_name(c.kind);
        EXPECT_EQ(f.alpha, c.alpha) << bitmap_kind_name(c.kind);
        EXPECT_EQ(f.width, c.width) << bitmap_kind_name(c.kind);
        EXPECT_EQ(f.height, c.height) << bitmap_kind_name(c.kind);
        EXPECT_EQ(f.stored_bytes, c.body.size());
    }

    Bytes body = {7, 0, 0, 0, 0, 0};
    body.insert(body.end(), png.begin(), png.end());
    uint16_t id = 0;
    std::span<const uint8_t> data;
    ASSERT_TRUE(binary_data_read(body, &id, &data));
    EXPECT_EQ(id, 7);
    EXPECT_TRUE(is_picture_data(data) && is_picture_data(jpeg) && is_picture_data(gif));
    EXPECT_FALSE(is_picture_data(Bytes{'F', 'W', 'S', 9}) || is_picture_data(Bytes{0xFF, 0xD8}));
    const BitmapFacts f = picture_data_facts(id, body, data);
    EXPECT_EQ(f.kind, BitmapKind::png);
    EXPECT_EQ(f.width * f.height, 6u);
    EXPECT_FALSE(binary_data_read(Bytes{7, 0, 0, 0, 0}, &id, &data));
}

}  // namespace
