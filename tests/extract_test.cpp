// Bitmap extraction end to end: movies built here, run through the pixsieve command,
// outputs checked with libpng and libjpeg-turbo.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jpeg_oracle.h"
#include "png_oracle.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;
using swfkit::Container;
using testkit::run_program;

const std::string kTool = testkit::tool_under_test(PIXSIEVE_BIN, "PIXSIEVE_TOOL");

// width x height pixels in A, R, G, B order with a recognisable pattern.
Bytes argb_pattern(uint16_t width, uint16_t height, uint8_t seed)
{
    Bytes px;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int v : {seed + x * 7 + y, x * 40, y * 50, seed ^ (x + y)})
                px.push_back(static_cast<uint8_t>(v));
    return px;
}

struct ToolRun {
    testkit::TempDir dir{"extract"};
    testkit::RunResult result;
    std::string res(const std::string& name) const { return dir.file("m.swf_res/" + name); }
};

void run_movie(ToolRun& run, const swfkit::Movie& movie)
{
    ASSERT_TRUE(swfkit::write_file(run.dir.file("m.swf"), movie.build()));
    run.result = run_program(kTool, {"m.swf"}, run.dir.path());
}

bool has_line(const ToolRun& run, const std::string& message)
{
    return run.result.output.find(">: " + message + "\n") != std::string::npos;
}

void expect_png_pixels(const std::string& path, uint16_t width, uint16_t height, const Bytes& argb)
{
    oracle::Rgba png = oracle::read_png_file(path);
    ASSERT_TRUE(png.ok) << path;
    ASSERT_EQ(png.width, width);
    ASSERT_EQ(png.height, height);
    for (size_t i = 0; i < argb.size(); i += 4) {
        // A, R, G, B stored; R, G, B, A written; colours never un-premultiplied.
        ASSERT_EQ(png.pixels[i], argb[i + 1]) << i;
        ASSERT_EQ(png.pixels[i + 1], argb[i + 2]) << i;
        ASSERT_EQ(png.pixels[i + 2], argb[i + 3]) << i;
        ASSERT_EQ(png.pixels[i + 3], argb[i]) << i;
    }
}

TEST(ExtractLossless, FormatsNamesAndContainers)
{
    for (Container c : {Container::FWS, Container::CWS, Container::ZWS}) {
        Bytes hero = argb_pattern(5, 3, 128), plain = argb_pattern(4, 4, 0);
        plain[0] = 0;  // a reserved byte of 0 is alpha 0
        swfkit::Movie m;
        m.container = c;
        m.tag(76, swfkit::symbol_class_body({{1, "pics.Hero"}, {9, "unused"}}));
        m.tag(36, swfkit::lossless_body(1, 5, 5, 3, hero));
        m.tag(20, swfkit::lossless_body(2, 5, 4, 4, plain));
        m.tag(20, swfkit::lossless_body(3, 3, 2, 2, Bytes(8, 1)));
        m.tag(36, swfkit::lossless_body(4, 4, 2, 2, Bytes(8, 1)));
        m.tag(36, swfkit::lossless_body(5, 7, 2, 2, Bytes(16, 1)));
        m.tag(8, Bytes{0xFF, 0xD8, 0xFF, 0xD9});  // JPEGTables: no output
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        expect_png_pixels(run.res("pics.Hero.png"), 5, 3, hero);
        expect_png_pixels(run.res("2.png"), 4, 4, plain);
        for (const char* absent : {"3.png", "4.png", "5.png", "unused.png"})
            EXPECT_FALSE(testkit::file_exists(run.res(absent))) << absent;
        EXPECT_TRUE(has_line(run, "alpha:1,format:5,width:5,height:3"));
        EXPECT_TRUE(has_line(run, "alpha:0,format:5,width:4,height:4"));
        EXPECT_TRUE(has_line(run, "alpha:0,format:3,width:2,height:2"));
        EXPECT_TRUE(has_line(run, "alpha:1,format:4,width:2,height:2"));
        EXPECT_TRUE(has_line(run, "unknown lossless image format 7"));
        EXPECT_TRUE(has_line(run, "------------swf_saveimg done--------------"));
        EXPECT_EQ(run.result.output.find("format:3,width:2,height:2\n[DEBUG] swf:"),
                  run.result.output.find("format:3,width:2,height:2\n[DEBUG] swf:"));
    }
}

TEST(ExtractLossless, ShortStreamsLeaveTransparentBlackAndBadStreamsSayWhy)
{
    swfkit::Movie m;
    Bytes half = argb_pattern(2, 1, 200);  // a complete stream holding half the pixels
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, half));
    Bytes broken = swfkit::lossless_body(2, 5, 2, 3, argb_pattern(2, 3, 1));
    broken.resize(broken.size() - 4);  // cut off before its end
    m.tag(36, broken);
    m.end();
    ToolRun run;
    run_movie(run, m);
    Bytes expected = half;
    expected.resize(16, 0);
    expect_png_pixels(run.res("1.png"), 2, 2, expected);
    EXPECT_FALSE(testkit::file_exists(run.res("2.png")));
    EXPECT_NE(run.result.output.find("\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:-5,outlen:24"), std::string::npos);
}

TEST(ExtractLossless, HostileHeadersSkipOnlyThatBitmap)
{
    swfkit::Movie m;
    m.tag(36, Bytes{1, 0, 5, 2});                                       // too short for the header
    m.tag(36, swfkit::lossless_body(2, 5, 65535, 65535, Bytes(64, 0)));  // claims 16 GiB of pixels
    m.tag(36, swfkit::lossless_body(3, 5, 0, 7, Bytes{}));              // no pixels at all
    Bytes good = argb_pattern(3, 3, 9);
    m.tag(36, swfkit::lossless_body(4, 5, 3, 3, good));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    expect_png_pixels(run.res("4.png"), 3, 3, good);
    EXPECT_FALSE(testkit::file_exists(run.res("2.png")));
    EXPECT_FALSE(testkit::file_exists(run.res("3.png")));
    EXPECT_TRUE(has_line(run, "------------swf_saveimg done--------------"));
}

TEST(ExtractNames, SeparatorsCannotLeaveTheFolderOtherBytesStay)
{
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{1, "../../x"}, {2, "a/b"}, {3, "\xE4\xB8\xAD\xE6\x96\x87"},
                                         {4, ""}, {5, std::string(300, 'n')}, {6, "a.b.Picture"}}));
    Bytes px = argb_pattern(1, 1, 1);
    for (uint16_t id = 1; id <= 6; ++id)
        m.tag(36, swfkit::lossless_body(id, 5, 1, 1, px));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_TRUE(testkit::file_exists(run.res(".._.._x.png")));
    EXPECT_FALSE(testkit::file_exists(run.dir.file("x.png")));
    EXPECT_TRUE(testkit::file_exists(run.res("a_b.png")));
    EXPECT_TRUE(testkit::file_exists(run.res(testkit::native_name("\xD6\xD0\xCE\xC4.png"))));  // GBK, as stored
    EXPECT_TRUE(testkit::file_exists(run.res(".png")));                 // empty class name
    EXPECT_TRUE(testkit::file_exists(run.res("5.png")));                // too long: falls back to the id
    EXPECT_TRUE(testkit::file_exists(run.res("a.b.Picture.png")));
}

Bytes grey_rgb(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b)
{
    Bytes rgb;
    for (uint32_t i = 0; i < width * height; ++i)
        for (uint8_t v : {r, g, b})
            rgb.push_back(v);
    return rgb;
}

TEST(ExtractJpeg, StoredBytesAndAlphaMerges)
{
    for (Container c : {Container::FWS, Container::CWS, Container::ZWS}) {
        Bytes jpeg = oracle::encode_jpeg(16, 8, 3, grey_rgb(16, 8, 200, 100, 50), {.quality = 95});
        Bytes png_bytes = oracle::write_png_memory(2, 1, {1, 2, 3, 0xF0, 4, 5, 6, 0x0F});
        Bytes alpha(16 * 8);
        for (size_t i = 0; i < alpha.size(); ++i)
            alpha[i] = static_cast<uint8_t>(i * 2);
        swfkit::Movie m;
        m.container = c;
        m.tag(76, swfkit::symbol_class_body({{12, "photo"}}));
        m.tag(6, swfkit::jpeg_body(10, jpeg));
        m.tag(21, swfkit::jpeg_body(11, png_bytes));  // PNG data keeps its bytes under ".jpg"
        m.tag(35, swfkit::jpeg3_body(12, jpeg, alpha));
        m.tag(35, swfkit::jpeg3_body(13, png_bytes, Bytes{0xFF, 0x3C}));
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(testkit::read_file(run.res("10.jpg")), std::string(jpeg.begin(), jpeg.end()));
        EXPECT_EQ(testkit::read_file(run.res("11.jpg")), std::string(png_bytes.begin(), png_bytes.end()));
        EXPECT_TRUE(has_line(run, "id:10,alpha:0"));
        EXPECT_TRUE(has_line(run, "id:12,alpha:1"));

        oracle::Rgba photo = oracle::read_png_file(run.res("photo.png"));
        ASSERT_TRUE(photo.ok);
        ASSERT_EQ(photo.width, 16u);
        for (size_t i = 0; i < alpha.size(); ++i) {
            EXPECT_NEAR(photo.pixels[4 * i], 200, 3);
            EXPECT_NEAR(photo.pixels[4 * i + 1], 100, 3);
            EXPECT_NEAR(photo.pixels[4 * i + 2], 50, 3);
            EXPECT_EQ(photo.pixels[4 * i + 3], alpha[i]);  // JPEG alpha is 255: the plane itself
        }
        oracle::Rgba both = oracle::read_png_file(run.res("13.png"));
        ASSERT_TRUE(both.ok);
        EXPECT_EQ(both.pixels[3], 0xF0 & 0xFF);
        EXPECT_EQ(both.pixels[7], 0x0F & 0x3C);
        EXPECT_EQ(both.pixels[4], 4);
    }
}

TEST(ExtractJpeg, BrokenJpeg3TagsAreSkipped)
{
    Bytes jpeg = oracle::encode_jpeg(8, 8, 3, grey_rgb(8, 8, 1, 2, 3));
    swfkit::Movie m;
    Bytes past = swfkit::jpeg3_body(1, jpeg, Bytes(64, 255));
    past[2] = 0xFF, past[3] = 0xFF, past[4] = 0xFF, past[5] = 0x7F;  // image length far past the tag
    m.tag(35, past);
    Bytes reversed = jpeg;
    reversed[0] = 0xFF, reversed[1] = 0xD9;  // not recognised as JPEG
    m.tag(35, swfkit::jpeg3_body(2, reversed, Bytes(64, 255)));
    Bytes bad_alpha = swfkit::jpeg3_body(3, jpeg, Bytes(64, 255));
    bad_alpha.back() ^= 0xFF;
    m.tag(35, bad_alpha);
    m.tag(35, Bytes{4, 0, 1});  // too short
    m.tag(35, swfkit::jpeg3_body(5, jpeg, Bytes(64, 255)));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    for (const char* absent : {"1.png", "2.png", "3.png", "4.png"})
        EXPECT_FALSE(testkit::file_exists(run.res(absent))) << absent;
    EXPECT_TRUE(testkit::file_exists(run.res("5.png")));
    EXPECT_TRUE(has_line(run, "------------swf_saveimg done--------------"));
}

TEST(ExtractFiles, AFileWhereTheFolderGoesIsRefusedAndReportedInTheStatus)
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 1, 1, argb_pattern(1, 1, 1)));
    m.tag(21, swfkit::jpeg_body(2, Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
    m.end();
    ToolRun run;
    ASSERT_TRUE(swfkit::write_file(run.dir.file("m.swf_res"), Bytes{1}));  // a file where the folder goes
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 3);  // read, but its bitmaps could not be written
    EXPECT_NE(run.result.output.find("cannot use m.swf_res as output folder"), std::string::npos);
    EXPECT_EQ(testkit::read_file(run.dir.file("m.swf_res")), std::string(1, '\x01'));
}

}  // namespace
