#include "swf/edit.h"

#include <cmath>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "capture.h"
#include "codec/image.h"
#include "jpeg_oracle.h"
#include "load_util.h"
#include "png_oracle.h"
#include "swf/bitmap_format.h"
#include "swf/swf.h"
#include "swf/symbols.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;

struct Edited {
    testkit::TempDir dir{"edit"};
    SwfPtr swf;
    std::string output;  // debug lines of the last operation

    std::string res(const std::string& name) const { return dir.file("m.swf_res/" + name); }

    void load(const swfkit::Movie& movie)
    {
        ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), movie.build()));
        testkit::CapturedStdout capture;
        swf.reset(swf_readfile(dir.file("m.swf").c_str()));
        capture.take();
        ASSERT_TRUE(swf);
        std::filesystem::create_directory(dir.file("m.swf_res"));
    }

    template <class Fn>
    void run(Fn fn)
    {
        testkit::CapturedStdout capture;
        fn(swf.get());
        output = capture.take();
    }

    SwfTag* tag(size_t index) const
    {
        SwfTag* t = swf->tags.next;
        while (index-- > 0)
            t = t->next;
        return t;
    }
};

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes body_of(const SwfTag* tag) { return Bytes(tag->body.begin(), tag->body.end()); }

// Inflates the pixels of a DefineBitsLossless2 body (A, R, G, B).
Bytes lossless_pixels(const SwfTag* tag, size_t count)
{
    Bytes out(count * 4);
    uLongf len = out.size();
    EXPECT_EQ(uncompress(out.data(), &len, tag->body.data() + 7, tag->body.size() - 7), Z_OK);
    return out;
}

Bytes rgb_jpeg(uint32_t w, uint32_t h)
{
    Bytes rgb(size_t{w} * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(i * 5);
    return oracle::encode_jpeg(w, h, 3, rgb);
}

TEST(SwfReplace, PicturesRebuildTheirTags)
{
    Edited e;
    Bytes jpeg = rgb_jpeg(4, 4);
    swfkit::Movie m;
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 1, 1, Bytes{1, 2, 3, 4}));
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(2, jpeg));
    m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(3, jpeg, Bytes(16, 9)));
    m.tag(kTagDefineBits, swfkit::jpeg_body(4, jpeg));
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(5, 5, 1, 1, Bytes{1, 2, 3, 4}));
    m.end();
    e.load(m);
    Bytes png = oracle::write_png_memory(2, 1, {10, 20, 30, 0, 40, 50, 60, 128});
    ASSERT_TRUE(swfkit::write_file(e.res("1.png"), png));
    ASSERT_TRUE(swfkit::write_file(e.res("1.jpg"), jpeg));  // the PNG wins
    ASSERT_TRUE(swfkit::write_file(e.res("2.png"), png));
    ASSERT_TRUE(swfkit::write_file(e.res("3.jpg"), jpeg));
    ASSERT_TRUE(swfkit::write_file(e.res("4.png"), Bytes{'n', 'o', 'p', 'e'}));
    ASSERT_TRUE(swfkit::write_file(e.res("5.png"), Bytes{}));
    Bytes defbits = body_of(e.tag(3)), five = body_of(e.tag(4));
    EditCount counts;
    ImageContext images;
    e.run([&](Swf* swf) { counts = swf_replace(swf, &images); });
    EXPECT_EQ(counts.changed, 3u);
    EXPECT_EQ(counts.failed, 2u);  // 4.png does not decode, 5.png is empty

    for (size_t i : {0u, 1u}) {
        SwfTag* t = e.tag(i);
        EXPECT_EQ(t->code, kTagDefineBitsLossless2);
        EXPECT_EQ(t->body[2], 5);
        EXPECT_EQ(t->body[3], 2);  // width 2
        // Stored premultiplied: alpha 0 as four zeros, alpha 128 with its colour scaled.
        Bytes stored = lossless_pixels(t, 2);
        EXPECT_EQ(Bytes(stored.begin(), stored.begin() + 4), (Bytes{0, 0, 0, 0}));
        EXPECT_EQ(stored[4], 128);
        for (unsigned c = 0; c < 3; ++c)
            EXPECT_EQ(stored[5 + c], std::lround((40 + 10 * c) * 128 / 255.0)) << c;
    }
    EXPECT_EQ(e.tag(1)->body[0], 2);        // the id is kept
    EXPECT_EQ(body_of(e.tag(3)), defbits);  // undecodable picture: unchanged
    EXPECT_EQ(body_of(e.tag(4)), five);     // empty file: unchanged
    EXPECT_NE(e.output.find(testkit::printed_text("\xCC\xE6\xBB\xBB\xB5\xF4") + ":" + e.res("1.png")),
              std::string::npos);
    EXPECT_EQ(e.output.find(e.res("1.jpg")), std::string::npos);
    // Unusable pictures are named as such, never as replaced.
    EXPECT_EQ(e.output.find(testkit::printed_text("\xCC\xE6\xBB\xBB\xB5\xF4") + ":" + e.res("4.png")),
              std::string::npos);
    EXPECT_NE(e.output.find("cannot use " + e.res("4.png")), std::string::npos);
    EXPECT_NE(e.output.find("cannot use " + e.res("5.png")), std::string::npos);
    EXPECT_NE(e.output.find("does not decode"), std::string::npos);
    EXPECT_NE(e.output.find("empty picture file"), std::string::npos);
    EXPECT_NE(e.output.find("------------swf_replace done--------------"), std::string::npos);
}

// A 32-bit lossless body whose zlib stream stores the pixels uncompressed, so it is large.
Bytes uncompressed_lossless_body(uint16_t id, uint16_t w, uint16_t h, const Bytes& argb)
{
    Bytes body = swfkit::lossless_body(id, 5, w, h, argb);
    body.resize(7);
    Bytes stored(compressBound(argb.size()));
    uLongf len = stored.size();
    compress2(stored.data(), &len, argb.data(), argb.size(), 0);
    body.insert(body.end(), stored.begin(), stored.begin() + static_cast<long>(len));
    return body;
}

TEST(SwfSmall, ShrinksOnlyWhereItPays)
{
    Edited e;
    const uint16_t w = 64, h = 64;
    Bytes smooth;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int v : {128, 255 - y, x * 4, y * 4})  // A, R, G, B
                smooth.push_back(static_cast<uint8_t>(v));
    Bytes smooth_body = uncompressed_lossless_body(1, w, h, smooth);
    swfkit::Movie m;
    m.tag(kTagDefineBitsLossless2, smooth_body);
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(2, 5, 2, 2, Bytes(16, 7)));  // JPEG would be larger
    m.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 3, 2, 2, Bytes(8, 1)));
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(4, 4, 2, 2, Bytes(8, 1)));
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(5, rgb_jpeg(8, 8)));
    Bytes corrupt = swfkit::lossless_body(6, 5, 2, 2, Bytes(16, 7));
    corrupt.resize(corrupt.size() - 3);  // the pixels no longer inflate
    m.tag(kTagDefineBitsLossless2, corrupt);
    m.end();
    e.load(m);
    std::vector<Bytes> before;
    for (size_t i = 1; i <= 5; ++i)
        before.push_back(body_of(e.tag(i)));
    EditCount counts;
    e.run([&](Swf* swf) { counts = swf_small(swf); });
    EXPECT_EQ(counts.changed, 1u);
    EXPECT_EQ(counts.failed, 1u);  // the corrupt bitmap, named in a line
    EXPECT_NE(e.output.find("pixels of bitmap 6 do not inflate, left unchanged"), std::string::npos);

    SwfTag* shrunk = e.tag(0);
    ASSERT_EQ(shrunk->code, kTagDefineBitsJpeg3);
    EXPECT_LT(shrunk->body.size(), smooth_body.size());
    uint32_t n = uint32_t{shrunk->body[2]} | uint32_t{shrunk->body[3]} << 8 | uint32_t{shrunk->body[4]} << 16 |
                 uint32_t{shrunk->body[5]} << 24;
    Bytes jpeg(shrunk->body.data() + 6, shrunk->body.data() + 6 + n);
    oracle::Decoded decoded = oracle::decode_jpeg(jpeg);
    EXPECT_EQ(decoded.width, w);
    // The JPEG holds the colours as stored (they are premultiplied already).
    EXPECT_NEAR(decoded.samples[0], smooth[1], 6);
    EXPECT_NEAR(decoded.samples[1], smooth[2], 6);
    Bytes alpha(size_t{w} * h);
    uLongf alpha_len = alpha.size();
    ASSERT_EQ(uncompress(alpha.data(), &alpha_len, shrunk->body.data() + 6 + n, shrunk->body.size() - 6 - n), Z_OK);
    EXPECT_EQ(alpha, Bytes(alpha.size(), 128));
    EXPECT_EQ(e.tag(1)->code, kTagDefineBitsLossless2);
    for (size_t i = 1; i <= 5; ++i)
        EXPECT_EQ(body_of(e.tag(i)), before[i - 1]) << i;
    EXPECT_NE(e.output.find("------------swf_small done--------------"), std::string::npos);
}

TEST(SwfSmall, BitmapsWithoutAlphaStayOpaque)
{
    Edited e;
    const uint16_t w = 64, h = 64;
    Bytes pixels;  // reserved byte 0, then a smooth R, G, B
    for (int i = 0; i < w * h; ++i)
        pixels.insert(pixels.end(), {0, static_cast<uint8_t>(i % w * 4), static_cast<uint8_t>(i / w * 4), 90});
    swfkit::Movie m;
    m.tag(20, uncompressed_lossless_body(1, w, h, pixels));
    m.end();
    e.load(m);
    e.run(swf_small);
    SwfTag* shrunk = e.tag(0);
    ASSERT_EQ(shrunk->code, 35);
    uint32_t n = uint32_t{shrunk->body[2]} | uint32_t{shrunk->body[3]} << 8 | uint32_t{shrunk->body[4]} << 16 |
                 uint32_t{shrunk->body[5]} << 24;
    Bytes alpha(size_t{w} * h);
    uLongf alpha_len = alpha.size();
    ASSERT_EQ(uncompress(alpha.data(), &alpha_len, shrunk->body.data() + 6 + n, shrunk->body.size() - 6 - n), Z_OK);
    EXPECT_EQ(alpha, Bytes(alpha.size(), 255));
    oracle::Decoded decoded = oracle::decode_jpeg(Bytes(shrunk->body.data() + 6, shrunk->body.data() + 6 + n), true);
    ASSERT_TRUE(decoded.clean());
    EXPECT_NEAR(decoded.samples[3 * 70 + 2], 90, 4);  // colours kept, not blackened by the reserved byte
}

// What a rebuilt lossless tag shows: R, G, B, A as stored (premultiplied with alpha).
Bytes stored_rgba(const SwfTag* tag, LosslessHeader* header)
{
    std::span<const uint8_t> body = tag->body;
    EXPECT_TRUE(lossless_read_header(body, header));
    bool alpha = tag->code == kTagDefineBitsLossless2;
    Inflated data = inflate_bitmap_data(body.subspan(header->data_offset), lossless_data_size(*header, alpha));
    EXPECT_EQ(data.fault, Fault::none);
    Bytes rgba(size_t{header->width} * header->height * 4);
    lossless_to_rgba(*header, alpha, {data.bytes.get(), data.size}, rgba.data());
    return rgba;
}

TEST(SwfReplace, EveryValidPngComesBackAsLibpngReadsIt)
{
    // One bitmap per PNG of the matrix, each first a 1x1 of another colour, so a tag that
    // was not rebuilt cannot match.
    const std::vector<oracle::PngSpec> matrix = oracle::png_matrix();
    Edited e;
    swfkit::Movie m;
    for (size_t i = 0; i < matrix.size(); ++i)
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(static_cast<uint16_t>(i + 1), 5, 1, 1, Bytes{9, 9, 9, 9}));
    m.end();
    e.load(m);
    std::vector<oracle::Rgba> expected;
    for (size_t i = 0; i < matrix.size(); ++i) {
        Bytes file = oracle::write_png_spec(matrix[i]);
        expected.push_back(oracle::read_png_rgba(file));
        ASSERT_TRUE(swfkit::write_file(e.res(std::to_string(i + 1) + ".png"), file));
    }
    EditCount counts;
    ImageContext images;
    e.run([&](Swf* swf) { counts = swf_replace(swf, &images); });
    EXPECT_EQ(counts.changed, matrix.size());
    EXPECT_EQ(counts.failed, 0u);
    for (size_t i = 0; i < matrix.size(); ++i) {
        const oracle::PngSpec& spec = matrix[i];
        SCOPED_TRACE(testing::Message() << "type " << spec.color_type << " depth " << spec.depth << " interlace "
                                        << spec.interlaced << " tRNS " << spec.trns.size() << " " << spec.width << "x"
                                        << spec.height);
        Bytes want = expected[i].pixels;
        bool opaque = true;
        for (size_t p = 0; p < want.size(); p += 4) {
            opaque &= want[p + 3] == 255;
            for (size_t c = 0; c < 3; ++c)  // the movie stores colours premultiplied
                want[p + c] = static_cast<uint8_t>(std::lround(want[p + c] * want[p + 3] / 255.0));
        }
        const SwfTag* tag = e.tag(i);
        LosslessHeader header;
        Bytes got = stored_rgba(tag, &header);
        EXPECT_EQ(header.id, i + 1);
        EXPECT_EQ(tag->code, opaque ? kTagDefineBitsLossless : kTagDefineBitsLossless2);
        EXPECT_EQ(header.format, spec.color_type == 3 ? kLosslessColourMapped : kLossless32Bit);
        if (spec.color_type == 3) {
            EXPECT_EQ(header.colours, spec.palette.size() / 3);
        }
        ASSERT_EQ(header.width, spec.width);
        ASSERT_EQ(header.height, spec.height);
        EXPECT_EQ(got, want);
    }
}

TEST(SwfReplace, JpegFilesGoBackAsTheirBytesKeepingAFittingAlphaPlane)
{
    Edited e;
    // Another picture of the same size: the bytes show which one went in.
    const Bytes old_jpeg = rgb_jpeg(4, 4), jpeg = oracle::encode_jpeg(4, 4, 3, Bytes(48, 77)), wide = rgb_jpeg(8, 4);
    const Bytes plane(16, 200);
    swfkit::Movie m;
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(1, old_jpeg));
    m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(2, old_jpeg, plane));
    m.tag(kTagDefineBitsJpeg4, swfkit::jpeg4_body(3, 0x0123, old_jpeg, plane));
    m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(4, old_jpeg, plane));
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(5, 5, 1, 1, Bytes{1, 2, 3, 4}));
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(6, old_jpeg));
    m.end();
    e.load(m);
    Bytes alpha_stream = swfkit::zlib_compress(plane);
    for (int id : {1, 2, 3, 5})
        ASSERT_TRUE(swfkit::write_file(e.res(std::to_string(id) + ".jpg"), jpeg));
    ASSERT_TRUE(swfkit::write_file(e.res("4.jpg"), wide));
    ASSERT_TRUE(swfkit::write_file(e.res("6.jpg"), oracle::write_png_memory(1, 1, {1, 2, 3, 255})));
    EditCount counts;
    ImageContext images;
    e.run([&](Swf* swf) { counts = swf_replace(swf, &images); });
    EXPECT_EQ(counts.changed, 5u);
    EXPECT_EQ(counts.failed, 1u);  // a PNG named .jpg

    auto u32 = [](uint32_t v) { return Bytes{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; };
    const uint32_t length = static_cast<uint32_t>(jpeg.size());
    EXPECT_EQ(e.tag(0)->code, kTagDefineBitsJpeg2);
    EXPECT_EQ(body_of(e.tag(0)), Bytes({1, 0}) + jpeg);
    EXPECT_EQ(e.tag(1)->code, kTagDefineBitsJpeg3);
    EXPECT_EQ(body_of(e.tag(1)), Bytes({2, 0}) + u32(length) + jpeg + alpha_stream);
    EXPECT_EQ(e.tag(2)->code, kTagDefineBitsJpeg4);
    EXPECT_EQ(body_of(e.tag(2)), Bytes({3, 0}) + u32(length) + Bytes({0x23, 0x01}) + jpeg + alpha_stream);
    // A picture of another size cannot keep the plane: opaque, with a line.
    EXPECT_EQ(e.tag(3)->code, kTagDefineBitsJpeg2);
    EXPECT_EQ(body_of(e.tag(3)), Bytes({4, 0}) + wide);
    EXPECT_NE(e.output.find("the alpha plane of bitmap 4 does not fit a 8x4 picture, the bitmap becomes opaque"),
              std::string::npos);
    EXPECT_EQ(e.tag(4)->code, kTagDefineBitsJpeg2);
    EXPECT_EQ(body_of(e.tag(4)), Bytes({5, 0}) + jpeg);
    EXPECT_EQ(body_of(e.tag(5)), Bytes({6, 0}) + old_jpeg);
    EXPECT_NE(e.output.find("not a JPEG picture, tag left unchanged"), std::string::npos);
}

TEST(SwfReplace, LooksForPngThenJpgThenGif)
{
    Edited e;
    Bytes jpeg = rgb_jpeg(4, 4);
    Bytes gif = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
    swfkit::Movie m;
    for (uint16_t id = 1; id <= 3; ++id)
        m.tag(21, swfkit::jpeg_body(id, jpeg));
    m.end();
    e.load(m);
    ASSERT_TRUE(swfkit::write_file(e.res("1.jpg"), jpeg));
    ASSERT_TRUE(swfkit::write_file(e.res("1.gif"), gif));  // the JPEG wins
    ASSERT_TRUE(swfkit::write_file(e.res("2.gif"), gif));
    ASSERT_TRUE(swfkit::write_file(e.res("3.gif"), Bytes{'n', 'o'}));
    Bytes three = body_of(e.tag(2));
    ImageContext images;
    e.run([&](Swf* swf) { swf_replace(swf, &images); });
    EXPECT_EQ(e.tag(0)->body[2], 0xFF);
    EXPECT_EQ(body_of(e.tag(1)), Bytes({2, 0}) + gif);
    EXPECT_EQ(e.tag(1)->code, 21);
    EXPECT_EQ(body_of(e.tag(2)), three);
    EXPECT_NE(e.output.find("not a GIF picture, tag left unchanged"), std::string::npos);
    EXPECT_EQ(e.output.find(e.res("1.gif")), std::string::npos);
}

TEST(SwfAddImage, TwoAddsTwoTagsOneName)
{
    Edited e;
    swfkit::Movie m;
    m.end();
    e.load(m);
    ASSERT_TRUE(swfkit::write_file(e.dir.file("a.jpg"), rgb_jpeg(8, 8)));
    ASSERT_TRUE(swfkit::write_file(e.dir.file("b.png"), oracle::write_png_memory(1, 1, {1, 2, 3, 4})));
    ASSERT_TRUE(swfkit::write_file(e.dir.file("c.gif"), Bytes{'G', 'I', 'F', '8', '9', 'a'}));
    static char first[] = "First", second[] = "Second";
    SymbolEntry* a = nullptr;
    SymbolEntry* b = nullptr;
    SymbolEntry* c = nullptr;
    ImageContext images;
    e.run([&](Swf* swf) {
        a = swf_add_image(swf, first, e.dir.file("a.jpg").c_str(), &images);
        b = swf_add_image(swf, second, e.dir.file("b.png").c_str(), &images);
        c = swf_add_image(swf, second, e.dir.file("c.gif").c_str(), &images);
        swf_add_image(swf, second, e.dir.file("missing.png").c_str(), &images);
    });
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(e.tag(0)->code, kTagEnd);  // the library call appends after End
    for (size_t i : {1u, 2u}) {
        EXPECT_EQ(e.tag(i)->code, kTagDefineBitsJpeg2);
        EXPECT_EQ(e.tag(i)->body[0] | e.tag(i)->body[1] << 8, 1000);
    }
    EXPECT_EQ(e.tag(3), &e.swf->tags);   // nothing added for the bad files
    EXPECT_EQ(e.tag(1)->body[2], 0xFF);  // JPEG stays JPEG
    EXPECT_EQ(e.tag(2)->body[2], 0x89);  // PNG stays PNG
    EXPECT_EQ(e.swf->names->size, 1u);
    EXPECT_STREQ(e.swf->names->values[symbols_get(e.swf->names.get(), 1000)]->name, "Second");
}

TEST(SwfAddImage, ACallerChosenIdGoesIntoTagAndNames)
{
    Edited e;
    swfkit::Movie m;
    m.end();
    e.load(m);
    ASSERT_TRUE(swfkit::write_file(e.dir.file("a.jpg"), rgb_jpeg(8, 8)));
    static char name[] = "Chosen";
    ImageContext images;
    e.run([&](Swf* swf) { ASSERT_NE(swf_add_image(swf, name, e.dir.file("a.jpg").c_str(), &images, 4321), nullptr); });
    EXPECT_EQ(e.tag(1)->body[0] | e.tag(1)->body[1] << 8, 4321);
    EXPECT_STREQ(e.swf->names->values[symbols_get(e.swf->names.get(), 4321)]->name, "Chosen");
    EXPECT_EQ(symbols_get(e.swf->names.get(), 1000), e.swf->names->n_buckets);  // not registered under 1000
}

}  // namespace
