// Bitmap extraction end to end: movies built here, run through the pixsieve command,
// outputs checked with libpng and libjpeg-turbo.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"

#include "codec/image.h"
#include "jpeg_oracle.h"
#include "load_util.h"
#include "png_oracle.h"
#include "program_suite.h"
#include "swf/bitmap_format.h"
#include "swf/extract.h"
#include "swf/swf.h"

namespace {

using namespace program_suite;

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

// The straight colour of a premultiplied channel, in floating point apart from the tool's rule.
int straight(int colour, int alpha)
{
    return alpha == 0 ? 0 : static_cast<int>(std::lround(std::min(255.0, colour * 255.0 / alpha)));
}

// A, R, G, B stored (premultiplied when `with_alpha`, else the first byte is reserved);
// straight R, G, B, A written.
void expect_png_pixels(const std::string& path, uint16_t width, uint16_t height, const Bytes& argb,
                       bool with_alpha = true)
{
    oracle::Rgba png = oracle::read_png_file(path);
    ASSERT_TRUE(png.ok) << path;
    ASSERT_EQ(png.width, width);
    ASSERT_EQ(png.height, height);
    for (size_t i = 0; i < argb.size(); i += 4) {
        int a = with_alpha ? argb[i] : 255;
        ASSERT_EQ(png.pixels[i], straight(argb[i + 1], a)) << i;
        ASSERT_EQ(png.pixels[i + 1], straight(argb[i + 2], a)) << i;
        ASSERT_EQ(png.pixels[i + 2], straight(argb[i + 3], a)) << i;
        ASSERT_EQ(png.pixels[i + 3], a) << i;
    }
}

TEST(ExtractLossless, FormatsNamesAndContainers)
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        Bytes hero = argb_pattern(5, 3, 128), plain = argb_pattern(4, 4, 0);
        plain[0] = 0;  // the reserved byte is no alpha: the bitmap is opaque
        swfkit::Movie m;
        m.container = c;
        m.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "pics.Hero"}, {9, "unused"}}));
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 5, 3, hero));
        m.tag(kTagDefineBitsLossless, swfkit::lossless_body(2, 5, 4, 4, plain));
        m.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 3, 2, 2, Bytes(8, 1)));
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(4, 4, 2, 2, Bytes(8, 1)));
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(5, 7, 2, 2, Bytes(16, 1)));
        m.tag(kTagJpegTables, Bytes{0xFF, 0xD8, 0xFF, 0xD9});  // JPEGTables: no output
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        expect_png_pixels(run.res("pics.Hero.png"), 5, 3, hero);
        expect_png_pixels(run.res("2.png"), 4, 4, plain, false);
        EXPECT_TRUE(testkit::file_exists(run.res("3.png")));  // colour-mapped
        EXPECT_TRUE(testkit::file_exists(run.res("4.png")));  // 15-bit
        for (const char* absent : {"5.png", "unused.png"})
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
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 2, 2, half));
    Bytes broken = swfkit::lossless_body(2, 5, 2, 3, argb_pattern(2, 3, 1));
    broken.resize(broken.size() - 4);  // cut off before its end
    m.tag(kTagDefineBitsLossless2, broken);
    m.end();
    ToolRun run;
    run_movie(run, m);
    Bytes expected = half;
    expected.resize(16, 0);
    expect_png_pixels(run.res("1.png"), 2, 2, expected);
    EXPECT_FALSE(testkit::file_exists(run.res("2.png")));
    EXPECT_NE(run.result.output.find(testkit::console_text("\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:-5,outlen:24")),
              std::string::npos);
}

TEST(ExtractLossless, HostileHeadersSkipOnlyThatBitmap)
{
    swfkit::Movie m;
    m.tag(kTagDefineBitsLossless2, Bytes{1, 0, 5, 2});  // too short for the header
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(2, 5, 65535, 65535, Bytes(64, 0)));  // claims 16 GiB of pixels
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(3, 5, 0, 7, Bytes{}));               // no pixels at all
    Bytes good = argb_pattern(3, 3, 9);
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(4, 5, 3, 3, good));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 3);  // the 16 GiB bitmap is valid: not written, not skipped
    expect_png_pixels(run.res("4.png"), 3, 3, good);
    EXPECT_FALSE(testkit::file_exists(run.res("2.png")));
    EXPECT_FALSE(testkit::file_exists(run.res("3.png")));
    EXPECT_TRUE(has_line(run, "------------swf_saveimg done--------------"));
}

TEST(ExtractNames, SeparatorsCannotLeaveTheFolderOtherBytesStay)
{
    swfkit::Movie m;
    m.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "../../x"},
                                                      {2, "a/b"},
                                                      {3, "\xE4\xB8\xAD\xE6\x96\x87"},
                                                      {4, ""},
                                                      {5, std::string(300, 'n')},
                                                      {6, "a.b.Picture"}}));
    Bytes px = argb_pattern(1, 1, 1);
    for (uint16_t id = 1; id <= 6; ++id)
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(id, 5, 1, 1, px));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_TRUE(testkit::file_exists(run.res(".._.._x.png")));
    EXPECT_FALSE(testkit::file_exists(run.dir.file("x.png")));
    EXPECT_TRUE(testkit::file_exists(run.res("a_b.png")));
    EXPECT_TRUE(testkit::file_exists(run.res(testkit::native_name("\xD6\xD0\xCE\xC4.png"))));  // "中文"
    EXPECT_TRUE(testkit::file_exists(run.res(".png")));                                        // empty class name
    EXPECT_TRUE(testkit::file_exists(run.res("5.png")));  // too long: falls back to the id
    EXPECT_TRUE(testkit::file_exists(run.res("a.b.Picture.png")));
}

// The names of the files in the movie's folder, bytes as the file system holds them.
std::set<std::string> folder_files(const ToolRun& run)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(run.dir.file("m.swf_res"), ec))
        names.insert(entry.path().filename().string());
    return names;
}

// A 1x1 lossless bitmap whose colour tells its id.
Bytes id_bitmap(uint16_t id)
{
    return swfkit::lossless_body(id, 5, 1, 1, argb_pattern(1, 1, static_cast<uint8_t>(id)));
}

// The names, then a bitmap for each; the End tag is the caller's.
swfkit::Movie one_bitmap_each(const std::vector<std::pair<uint16_t, std::string>>& names)
{
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body(names));
    for (const auto& entry : names)
        m.tag(36, id_bitmap(entry.first));
    return m;
}

TEST(ExtractNames, ClassNamesAreFileNamesByteForByteOnPosix)
{
    if (testkit::running_windows_programs())
        GTEST_SKIP() << "Windows names are in its code page (WindowsCli)";
    const std::vector<std::pair<uint16_t, std::string>> names = {
        {1, "\xE8\x83\x8C\xE6\x99\xAF"},  // Chinese
        {2, "\xED\x95\x9C\xEA\xB5\xAD"},  // Korean, which GBK cannot spell
        {3, "\xF0\x9F\x98\x80"},          // an emoji, outside the 16-bit range
        {4, "caf\xC3\xA9"},               // an accented Latin letter
        {5, "a\x80z"},                    // a stray continuation byte
        {6, "b\xE4\xB8"},                 // a sequence cut short
        {7, "\xC0\xAF"},                  // an overlong "/", which is no separator
        {8, "\xFF\xFE"},                  // bytes never found in UTF-8
    };
    swfkit::Movie m = one_bitmap_each(names);
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    std::set<std::string> expected;
    for (const auto& [id, name] : names) {
        expected.insert(name + ".png");
        expect_png_pixels(run.res(name + ".png"), 1, 1, argb_pattern(1, 1, static_cast<uint8_t>(id)));
    }
    EXPECT_EQ(folder_files(run), expected);
}

// Decodes the tool's output from the platform's encoding: UTF-8 on POSIX, GBK on Windows.
// Empty when it is not valid text in that encoding.
std::string decoded_output(const std::string& output)
{
    if (testkit::running_windows_programs())
        return testkit::utf8_from_gbk(output);
    return testkit::is_valid_utf8(output) ? output : "";
}

TEST(ExtractNames, LinesAreTextOfThePlatformWithTheSameMessages)
{
    swfkit::Movie m = one_bitmap_each({{1, "\xE8\x83\x8C\xE6\x99\xAF"}, {2, "\xE8\x83\x8C\xE6\x99\xAF"}});
    Bytes broken = swfkit::lossless_body(3, 5, 2, 3, argb_pattern(2, 3, 1));
    broken.resize(broken.size() - 4);
    m.tag(36, broken);
    m.end();
    m.container = Container::cws;
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_FALSE(decoded_output(run.result.output).empty()) << run.result.output;
    // The texts the tool printed in GBK before, in this platform's encoding.
    EXPECT_NE(run.result.output.find(testkit::console_text("cws\xBD\xE2\xD1\xB9\xCB\xF5OK")), std::string::npos);
    EXPECT_NE(run.result.output.find(testkit::console_text("\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:")),
              std::string::npos);
    EXPECT_TRUE(has_line(run, testkit::console_text("\xB1\xB3\xBE\xB0") +
                                  ".png is taken by another bitmap; bitmap 2 is written as 2.png"));
}

TEST(ExtractNames, NamesThatMeetInOneFileBothSurvive)
{
    // "a/b" becomes "a_b", which bitmap 2 is called already; bitmap 4 is called "5", the
    // file of the unnamed bitmap 5; bitmap 7 repeats bitmap 6's name. A JPEG named "a_b"
    // goes to "a_b.jpg", a file of its own.
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{2, "a_b"}, {3, "a/b"}, {4, "5"}, {6, "x"}, {7, "x"}, {8, "a_b"}}));
    for (uint16_t id : std::initializer_list<uint16_t>{2, 3, 4, 5, 6, 7})
        m.tag(36, id_bitmap(id));
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xD9};
    m.tag(21, swfkit::jpeg_body(8, jpeg));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    const std::vector<std::pair<uint16_t, std::string>> files = {{2, "a_b.png"}, {3, "3.png"}, {4, "5.png"},
                                                                 {5, "5_2.png"}, {6, "x.png"}, {7, "7.png"}};
    std::set<std::string> expected = {"a_b.jpg"};
    for (const auto& [id, file] : files) {
        expect_png_pixels(run.res(file), 1, 1, argb_pattern(1, 1, static_cast<uint8_t>(id)));
        expected.insert(file);
    }
    EXPECT_EQ(folder_files(run), expected);
    EXPECT_EQ(testkit::read_file(run.res("a_b.jpg")), std::string(jpeg.begin(), jpeg.end()));
    EXPECT_TRUE(has_line(run, "a_b.png is taken by another bitmap; bitmap 3 is written as 3.png"));
    EXPECT_TRUE(has_line(run, "5.png is taken by another bitmap; bitmap 5 is written as 5_2.png"));
    EXPECT_TRUE(has_line(run, "x.png is taken by another bitmap; bitmap 7 is written as 7.png"));
}

TEST(ExtractNames, NamesThatDifferInCaseMeetOnlyWhereTheFileSystemIgnoresCase)
{
    swfkit::Movie m = one_bitmap_each({{1, "Pic"}, {2, "pic"}});
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0);
    expect_png_pixels(run.res("Pic.png"), 1, 1, argb_pattern(1, 1, 1));
    const std::string second = testkit::running_windows_programs() ? "2.png" : "pic.png";
    expect_png_pixels(run.res(second), 1, 1, argb_pattern(1, 1, 2));
    EXPECT_EQ(folder_files(run), (std::set<std::string>{"Pic.png", second}));
}

Bytes grey_rgb(uint32_t width, uint32_t height, uint8_t r, uint8_t g, uint8_t b)
{
    Bytes rgb;
    for (uint32_t i = 0; i < width * height; ++i)
        for (uint8_t v : {r, g, b})
            rgb.push_back(v);
    return rgb;
}

// A JPEG-with-alpha bitmap's PNG: libjpeg's colours (premultiplied in the movie) divided by
// the plane's alpha; a decoder difference of 2 grows by 255 / alpha.
void expect_straight_jpeg(const oracle::Rgba& png, const Bytes& jpeg, const Bytes& alpha)
{
    oracle::Decoded reference = oracle::decode_jpeg(jpeg, true);
    ASSERT_TRUE(reference.clean());
    ASSERT_EQ(png.width, reference.width);
    ASSERT_EQ(png.pixels.size(), alpha.size() * 4);
    for (size_t i = 0; i < alpha.size(); ++i) {
        int a = alpha[i];
        ASSERT_EQ(png.pixels[4 * i + 3], a) << i;
        for (size_t c = 0; c < 3; ++c) {
            int expected = straight(reference.samples[3 * i + c], a);
            EXPECT_NEAR(png.pixels[4 * i + c], expected, a == 0 ? 0 : 2 * 255 / a + 1) << i << " " << c;
        }
    }
}

TEST(ExtractJpeg, StoredBytesAndAlphaMerges)
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        Bytes jpeg = oracle::encode_jpeg(16, 8, 3, grey_rgb(16, 8, 200, 100, 50), {.quality = 95});
        Bytes png_bytes = oracle::write_png_memory(2, 1, {1, 2, 3, 0xF0, 4, 5, 6, 0x0F});
        Bytes alpha(16 * 8);
        for (size_t i = 0; i < alpha.size(); ++i)
            alpha[i] = static_cast<uint8_t>(i * 2);
        swfkit::Movie m;
        m.container = c;
        m.tag(kTagSymbolClass, swfkit::symbol_class_body({{12, "photo"}}));
        m.tag(kTagDefineBits, swfkit::jpeg_body(10, jpeg));
        m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(11, png_bytes));  // PNG data keeps its bytes under ".png"
        m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(12, jpeg, alpha));
        m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(13, png_bytes, Bytes{0xFF, 0x3C}));
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(testkit::read_file(run.res("10.jpg")), std::string(jpeg.begin(), jpeg.end()));
        EXPECT_EQ(testkit::read_file(run.res("11.png")), std::string(png_bytes.begin(), png_bytes.end()));
        EXPECT_FALSE(testkit::file_exists(run.res("11.jpg")));
        EXPECT_TRUE(has_line(run, "id:10,alpha:0"));
        EXPECT_TRUE(has_line(run, "id:12,alpha:1"));

        oracle::Rgba photo = oracle::read_png_file(run.res("photo.png"));
        ASSERT_TRUE(photo.ok);
        ASSERT_EQ(photo.width, 16u);
        expect_straight_jpeg(photo, jpeg, alpha);
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
    m.tag(kTagDefineBitsJpeg3, past);
    Bytes reversed = jpeg;
    reversed[0] = 0xFF, reversed[1] = 0xD9;  // not recognised as JPEG
    m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(2, reversed, Bytes(64, 255)));
    Bytes bad_alpha = swfkit::jpeg3_body(3, jpeg, Bytes(64, 255));
    bad_alpha.back() ^= 0xFF;
    m.tag(kTagDefineBitsJpeg3, bad_alpha);
    m.tag(kTagDefineBitsJpeg3, Bytes{4, 0, 1});  // too short
    m.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(5, jpeg, Bytes(64, 255)));
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
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 1, 1, argb_pattern(1, 1, 1)));
    m.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(2, Bytes{0xFF, 0xD8, 0xFF, 0xD9}));
    m.end();
    ToolRun run;
    ASSERT_TRUE(swfkit::write_file(run.dir.file("m.swf_res"), Bytes{1}));  // a file where the folder goes
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 3);  // read, but its bitmaps could not be written
    EXPECT_NE(run.result.output.find("cannot use m.swf_res as output folder"), std::string::npos);
    EXPECT_EQ(testkit::read_file(run.dir.file("m.swf_res")), std::string(1, '\x01'));
}

}  // namespace

namespace {

// Colour-mapped and 15-bit bitmaps of both tags, in every container.
TEST(ExtractLossless, ColourTablesAndFifteenBitPixels)
{
    // 3 x 2, rows padded to 4 indices; index 3 is past the three-entry table.
    Bytes indices = {0, 1, 2, 9, 2, 3, 0, 9};
    Bytes rgb = {255, 0, 0, 0, 128, 255, 10, 20, 30};
    Bytes rgba = {200, 100, 0, 200, 0, 0, 0, 0, 10, 20, 30, 40};  // premultiplied R, G, B, A
    Bytes rgb_data = rgb, rgba_data = rgba;
    rgb_data.insert(rgb_data.end(), indices.begin(), indices.end());
    rgba_data.insert(rgba_data.end(), indices.begin(), indices.end());
    // 15-bit: pure red, a mid grey, white; second row blue and a 1-level green, rows of 8 bytes.
    Bytes fifteen = {0x7C, 0x00, 0x40, 0x10 | 0x00, 0x7F, 0xFF, 0, 0, 0x00, 0x1F, 0x00, 0x20, 0x00, 0x00, 0, 0};
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        swfkit::Movie m;
        m.container = c;
        m.tag(20, swfkit::colour_mapped_body(1, 3, 2, 3, rgb_data));
        m.tag(36, swfkit::colour_mapped_body(2, 3, 2, 3, rgba_data));
        m.tag(20, swfkit::lossless_body(3, 4, 3, 2, fifteen));
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        // Each index stands for its table entry as A, R, G, B; past the table, transparent black.
        auto expected_argb = [&](const Bytes& table, bool with_alpha) {
            Bytes argb;
            for (size_t i : {0u, 1u, 2u, 4u, 5u, 6u}) {
                size_t entry = with_alpha ? 4 : 3;
                if (indices[i] * entry >= table.size()) {
                    argb.insert(argb.end(), {0, 0, 0, 0});
                    continue;
                }
                const uint8_t* e = table.data() + indices[i] * entry;
                argb.insert(argb.end(), {with_alpha ? e[3] : uint8_t{255}, e[0], e[1], e[2]});
            }
            return argb;
        };
        expect_png_pixels(run.res("1.png"), 3, 2, expected_argb(rgb, false));
        expect_png_pixels(run.res("2.png"), 3, 2, expected_argb(rgba, true));
        oracle::Rgba png = oracle::read_png_file(run.res("3.png"));
        ASSERT_TRUE(png.ok);
        auto level = [](int v) { return static_cast<int>(std::lround(v * 255 / 31.0)); };
        std::vector<int> expected = {255, 0, 0,   255, level(16), level(0), level(16), 255, 255, 255, 255, 255,
                                     0,   0, 255, 255, 0,         level(1), 0,         255, 0,   0,   0,   255};
        EXPECT_EQ(std::vector<int>(png.pixels.begin(), png.pixels.end()), expected);
        EXPECT_TRUE(has_line(run, "alpha:0,format:3,width:3,height:2"));
        EXPECT_TRUE(has_line(run, "alpha:1,format:3,width:3,height:2"));
        EXPECT_TRUE(has_line(run, "alpha:0,format:4,width:3,height:2"));
    }
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes kEoiSoi = {0xFF, 0xD9, 0xFF, 0xD8};

Bytes photo_jpeg(uint32_t width, uint32_t height)
{
    Bytes rgb;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (uint32_t v : {40 + x * 3, 30 + y * 2, 60 + (x ^ y)})  // below every alpha used
                rgb.push_back(static_cast<uint8_t>(v));
    return oracle::encode_jpeg(width, height, 3, rgb, {.quality = 92});  // 4:4:4: no upsampling in the way
}

void expect_same_picture(const std::string& path, const Bytes& original)
{
    std::string file = testkit::read_file(path);
    oracle::Decoded written = oracle::decode_jpeg(Bytes(file.begin(), file.end()));
    ASSERT_TRUE(written.clean()) << path << ": " << written.error;
    EXPECT_EQ(written.samples, oracle::decode_jpeg(original).samples) << path;
}

TEST(ExtractJpeg, EveryJpegOpensAndShowsTheStoredPicture)
{
    Bytes jpeg = photo_jpeg(24, 16);
    swfkit::SplitJpeg split = swfkit::split_jpeg_tables(jpeg);
    for (Container c : {Container::fws, Container::cws}) {
        swfkit::Movie m;
        m.container = c;
        m.tag(6, swfkit::jpeg_body(1, split.picture));  // before the tables: they count for the movie
        m.tag(8, kEoiSoi + split.tables);
        m.tag(6, swfkit::jpeg_body(2, kEoiSoi + split.picture));
        m.tag(21, swfkit::jpeg_body(3, kEoiSoi + jpeg));
        m.tag(21, swfkit::jpeg_body(4, split.tables + split.picture));
        m.tag(21, swfkit::jpeg_body(5, jpeg));
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        for (const char* name : {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "5.jpg"})
            expect_same_picture(run.res(name), jpeg);
        EXPECT_EQ(testkit::read_file(run.res("3.jpg")), std::string(jpeg.begin(), jpeg.end()));
        EXPECT_EQ(testkit::read_file(run.res("5.jpg")), std::string(jpeg.begin(), jpeg.end()));
        for (int id = 1; id <= 5; ++id)
            EXPECT_TRUE(has_line(run, "id:" + std::to_string(id) + ",alpha:0"));
    }
    // Without a JPEGTables tag the picture is written as stored.
    swfkit::Movie m;
    m.tag(6, swfkit::jpeg_body(1, split.picture));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(testkit::read_file(run.res("1.jpg")), std::string(split.picture.begin(), split.picture.end()));
}

TEST(ExtractJpeg, PngAndGifDataAreNamedByWhatTheyHold)
{
    Bytes png = oracle::write_png_memory(2, 1, {1, 2, 3, 4, 5, 6, 7, 8});
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{1, "art.Logo"}}));
    m.tag(21, swfkit::jpeg_body(1, png));
    m.tag(21, swfkit::jpeg_body(2, gif));
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(testkit::read_file(run.res("art.Logo.png")), std::string(png.begin(), png.end()));
    EXPECT_EQ(testkit::read_file(run.res("2.gif")), std::string(gif.begin(), gif.end()));
    EXPECT_FALSE(testkit::file_exists(run.res("art.Logo.jpg")));
    EXPECT_FALSE(testkit::file_exists(run.res("2.jpg")));
}

TEST(ExtractJpeg, SplitStreamsAndJpeg4DecodeWithStraightAlpha)
{
    Bytes jpeg = photo_jpeg(24, 16);
    swfkit::SplitJpeg split = swfkit::split_jpeg_tables(jpeg);
    Bytes alpha(24 * 16);
    for (size_t i = 0; i < alpha.size(); ++i)
        alpha[i] = static_cast<uint8_t>(i % 3 == 0 ? 0 : 128 + i % 128);
    for (Container c : {Container::fws, Container::zws}) {
        swfkit::Movie m;
        m.container = c;
        m.tag(35, swfkit::jpeg3_body(1, kEoiSoi + jpeg, alpha));
        m.tag(35, swfkit::jpeg3_body(2, split.tables + split.picture, alpha));
        m.tag(90, swfkit::jpeg4_body(3, 0x0100, jpeg, alpha));
        m.tag(90, swfkit::jpeg4_body(4, 0, kEoiSoi + split.tables + split.picture, alpha));
        Bytes past = swfkit::jpeg4_body(5, 0, jpeg, alpha);
        past[5] = 0x7F;  // image length far past the tag
        m.tag(90, past);
        m.end();
        ToolRun run;
        run_movie(run, m);
        EXPECT_EQ(run.result.status, 0);
        for (const char* name : {"1.png", "2.png", "3.png", "4.png"}) {
            oracle::Rgba png = oracle::read_png_file(run.res(name));
            ASSERT_TRUE(png.ok) << name;
            expect_straight_jpeg(png, jpeg, alpha);
        }
        EXPECT_FALSE(testkit::file_exists(run.res("5.png")));
        // The later tag adds a line only when it fails.
        EXPECT_EQ(run.result.output.find("id:3,"), std::string::npos);
        EXPECT_EQ(run.result.output.find("id:4,"), std::string::npos);
        EXPECT_NE(run.result.output.find("of bitmap 5 runs past the tag, skipped\n"), std::string::npos);
    }
}

}  // namespace

namespace {

TEST(ExtractCounts, WrittenSkippedAndFailedWrites)
{
    testkit::TempDir dir("extract_counts");
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, argb_pattern(2, 2, 3)));   // written
    m.tag(20, swfkit::lossless_body(2, 3, 2, 2, Bytes(8, 1)));             // written
    m.tag(36, swfkit::lossless_body(3, 9, 2, 2, Bytes(16, 1)));            // unknown format
    m.tag(21, swfkit::jpeg_body(4, Bytes{'G', 'I', 'F', '8', '9', 'a'}));  // written
    m.tag(35, swfkit::jpeg3_body(5, Bytes{1, 2, 3}, Bytes{1}));            // does not decode
    m.tag(76, swfkit::symbol_class_body({{6, std::string(5000, 'x')}}));
    m.tag(21, swfkit::jpeg_body(6, Bytes{0xFF, 0xD8, 0xFF, 0xD9}));  // written under its id
    const Bytes huge_jpeg{0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x0B, 0x08, 0xFF, 0xFF,
                          0xFF, 0xFF, 0x01, 0x01, 0x11, 0x00, 0xFF, 0xD9};
    m.tag(35, swfkit::jpeg3_body(7, huge_jpeg, Bytes{1}));  // too large to decode: not written
    m.end();
    auto loaded = testkit::load_movie(m.build(), dir.file("m.swf").c_str());
    ASSERT_TRUE(loaded.swf);
    testkit::CapturedStdout capture;
    ExtractCounts counts = swf_extract(loaded.swf.get(), dir.file("out"), 1);
    ExtractCounts nowhere = swf_extract(loaded.swf.get(), dir.file("no/such/folder"), 1);
    std::string lines = capture.take();
    EXPECT_EQ(counts.written, 4u);
    EXPECT_EQ(counts.skipped, 2u);
    EXPECT_EQ(counts.failed_writes, 1u);
    EXPECT_NE(lines.find("image of bitmap 5 does not decode (malformed data), skipped"), std::string::npos);
    EXPECT_NE(lines.find("image of bitmap 7 cannot be decoded (too large), not written"), std::string::npos);
    EXPECT_TRUE(testkit::file_exists(dir.file("out/4.gif")));
    EXPECT_TRUE(testkit::file_exists(dir.file("out/6.jpg")));
    // Without its folder every bitmap counts as not written, with one line for them all.
    EXPECT_EQ(nowhere.written, 0u);
    EXPECT_EQ(nowhere.skipped, 0u);
    EXPECT_EQ(nowhere.failed_writes, 7u);
    EXPECT_NE(lines.find("as output folder"), std::string::npos);
    EXPECT_EQ(lines.find("as output folder"), lines.rfind("as output folder"));
}

// ---- the movie's own colour types ----------------------------------------------------

// One bitmap of the colour-type movie: its tag body, the data its stream inflates to, the
// PNG colour type it must take and, for palettes, how many entries (0: not checked).
struct OwnFormCase {
    uint16_t code;
    Bytes body;
    Bytes data;
    int colour_type;
    uint32_t palette_entries = 0;
};

struct Noise {
    uint32_t state;
    uint8_t next(uint32_t below = 256)
    {
        state = state * 1103515245u + 12345;
        return static_cast<uint8_t>((state >> 16) % below);
    }
    // Premultiplied colours with their alpha: opaque, or alpha anywhere from 0 to 255.
    Bytes pixels(size_t count, bool alpha_first, bool opaque)
    {
        Bytes out;
        for (size_t i = 0; i < count; ++i) {
            uint8_t a = opaque ? 255 : next();
            Bytes colour = {next(a + 1u), next(a + 1u), next(a + 1u)};
            colour.insert(alpha_first ? colour.begin() : colour.end(), a);
            out.insert(out.end(), colour.begin(), colour.end());
        }
        return out;
    }
};

std::vector<OwnFormCase> lossless_own_form_cases()
{
    std::vector<OwnFormCase> cases;
    Noise noise{7};
    auto add = [&](uint16_t code, uint8_t format, uint16_t w, uint16_t h, uint32_t colours, const Bytes& data,
                   int colour_type, uint32_t entries = 0) {
        const auto id = static_cast<uint16_t>(cases.size() + 1);
        Bytes body = format == 3 ? swfkit::colour_mapped_body(id, w, h, static_cast<uint16_t>(colours), data)
                                 : swfkit::lossless_body(id, format, w, h, data);
        cases.push_back({code, body, data, colour_type, entries});
    };
    for (uint16_t code : std::initializer_list<uint16_t>{20, 36}) {
        const bool alpha = code == 36;
        for (uint32_t colours : {1u, 7u, 256u}) {
            Bytes table = noise.pixels(colours, false, !alpha || colours == 7);
            if (!alpha)
                for (size_t i = 0; i < colours; ++i)
                    table.erase(table.begin() + static_cast<long>(3 * i + 3));
            for (auto [w, h] : {std::pair<uint16_t, uint16_t>{5, 3}, {8, 2}}) {
                const size_t stride = (w + 3u) & ~3u;
                Bytes in_table = table, any = table;
                for (size_t i = 0; i < stride * h; ++i) {
                    in_table.push_back(noise.next(colours));
                    any.push_back(noise.next());
                }
                Bytes cut_rows(any.begin(), any.end() - static_cast<long>(stride + 1));
                add(code, 3, w, h, colours, in_table, 3, colours);
                add(code, 3, w, h, colours, any, 3, colours == 256 ? 256 : colours + 1);
                add(code, 3, w, h, colours, cut_rows, colours == 256 ? 6 : 3);
            }
            add(code, 3, 3, 2, colours, Bytes(table.begin(), table.begin() + 4), 3);  // cut inside the table
        }
        Bytes fifteen;
        for (int i = 0; i < 8 * 3; ++i)
            fifteen.push_back(noise.next());
        add(code, 4, 3, 3, 0, fifteen, 2);
        add(code, 4, 3, 3, 0, Bytes(fifteen.begin(), fifteen.end() - 3), 6);
        Bytes opaque = noise.pixels(6 * 5, true, true), mixed = noise.pixels(6 * 5, true, false);
        add(code, 5, 6, 5, 0, opaque, 2);
        add(code, 5, 6, 5, 0, mixed, alpha ? 6 : 2);
        add(code, 5, 6, 5, 0, Bytes(opaque.begin(), opaque.end() - 4), 6);
    }
    return cases;
}

// The R, G, B, A the conversion to straight colour gives, which every PNG form must show.
Bytes straight_rgba(const OwnFormCase& c)
{
    LosslessHeader header;
    EXPECT_TRUE(lossless_read_header(c.body, &header));
    const size_t count = size_t{header.width} * header.height;
    Bytes rgba(count * 4);
    lossless_to_rgba(header, c.code == 36, c.data, rgba.data());
    if (c.code == 36)
        unpremultiply_rgba(rgba.data(), count);
    return rgba;
}

uint32_t palette_entries_of(const Bytes& png)
{
    const std::string_view text(reinterpret_cast<const char*>(png.data()), png.size());
    const size_t at = text.find("PLTE");
    return at == std::string_view::npos || at < 4 ? 0 : (uint32_t{png[at - 2]} << 8 | png[at - 1]) / 3;
}

// Colour-mapped bitmaps become palette PNGs, opaque ones RGB, the rest RGBA, and each still
// shows exactly the pixels it showed as R, G, B, A.
TEST(ExtractColourTypes, EachBitmapInItsOwnFormShowsTheSamePixels)
{
    std::vector<OwnFormCase> cases = lossless_own_form_cases();
    const Bytes jpeg = photo_jpeg(24, 16);
    Bytes partial(24 * 16);
    const Bytes opaque(24 * 16, 255);
    for (size_t i = 0; i < partial.size(); ++i)
        partial[i] = static_cast<uint8_t>(255 - i % 200);
    for (const Bytes* plane : {&opaque, static_cast<const Bytes*>(&partial)}) {
        const auto id = static_cast<uint16_t>(cases.size() + 1);
        cases.push_back({35, swfkit::jpeg3_body(id, jpeg, *plane), *plane, plane == &opaque ? 2 : 6});
    }
    cases.push_back({90, swfkit::jpeg4_body(static_cast<uint16_t>(cases.size() + 1), 0, jpeg, opaque), opaque, 2});
    swfkit::Movie m;
    for (const OwnFormCase& c : cases)
        m.tag(c.code, c.body);
    m.end();
    ToolRun run;
    run_movie(run, m);
    EXPECT_EQ(run.result.status, 0) << run.result.output;

    ImageContext images;
    DecodedImage decoded{};
    ASSERT_EQ(image_decode(&images, &decoded, jpeg), Fault::none);
    for (size_t i = 0; i < cases.size(); ++i) {
        const OwnFormCase& c = cases[i];
        SCOPED_TRACE(testing::Message() << "bitmap " << i + 1 << ", tag " << c.code);
        Bytes expected;
        if (c.code == 20 || c.code == 36) {
            expected = straight_rgba(c);
        } else {
            expected.assign(decoded.pixels, decoded.pixels + size_t{decoded.width} * decoded.height * 4);
            merge_alpha_plane(expected.data(), expected.size() / 4, c.data, true);
        }
        const std::string text = testkit::read_file(run.res(std::to_string(i + 1) + ".png"));
        const Bytes png(text.begin(), text.end());
        ASSERT_GT(png.size(), 25u);
        EXPECT_EQ(png[25], c.colour_type);
        if (c.palette_entries) {
            EXPECT_EQ(palette_entries_of(png), c.palette_entries);
        }
        oracle::Rgba shown = oracle::read_png_rgba(png);
        ASSERT_TRUE(shown.ok);
        EXPECT_EQ(shown.pixels, expected);
    }
    image_free(&decoded);
}

}  // namespace
