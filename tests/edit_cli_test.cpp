// The pixsieve-edit command end to end, together with pixsieve.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "load_util.h"
#include "png_oracle.h"
#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;
using swfkit::Container;
using testkit::run_program;

const std::string kTool = testkit::tool_under_test(PIXSIEVE_BIN, "PIXSIEVE_TOOL");
const std::string kEdit = testkit::tool_under_test(PIXSIEVE_EDIT_BIN, "PIXSIEVE_EDIT_TOOL");

Bytes argb_gradient(uint16_t w, uint16_t h)
{
    Bytes px;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int v : {90, x * 255 / w, y * 255 / h, 200})  // A, R, G, B
                px.push_back(static_cast<uint8_t>(v));
    return px;
}

swfkit::Movie bitmap_movie(Container c, uint16_t w, uint16_t h)
{
    swfkit::Movie m;
    m.container = c;
    m.tag(36, swfkit::lossless_body(1, 5, w, h, argb_gradient(w, h)));
    m.end();
    return m;
}

TEST(EditCli, BadArgumentsPrintUsageAndExitTwo)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"in.swf"}, {"a", "b", "c"}, {"a", "b", "--bogus"}, {"a", "b", "--fws", "--cws"}, {"a", "b", "--add", "x"}}) {
        auto r = run_program(kEdit, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.output, "");  // the usage goes to standard error
        EXPECT_EQ(r.error.rfind("usage: pixsieve-edit IN.swf OUT.swf", 0), 0u);
    }
}

TEST(EditCli, ExtractEditReplaceExtractAgain)
{
    testkit::TempDir dir("edit_cli");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::CWS, 3, 2).build()));
    ASSERT_EQ(run_program(kTool, {"m.swf"}, dir.path()).status, 0);
    ASSERT_TRUE(oracle::read_png_file(dir.file("m.swf_res/1.png")).ok);

    Bytes edited = {9, 8, 7, 255, 1, 2, 3, 128, 0, 0, 0, 0, 50, 60, 70, 255, 4, 5, 6, 7, 200, 201, 202, 203};
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/1.png"), oracle::write_png_memory(3, 2, edited)));
    std::string before = testkit::read_file(dir.file("m.swf"));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(testkit::read_file(dir.file("m.swf")), before);  // IN untouched
    EXPECT_EQ(testkit::read_file(dir.file("out.swf")).substr(0, 3), "CWS");  // container kept

    ASSERT_EQ(run_program(kTool, {"out.swf"}, dir.path()).status, 0);
    oracle::Rgba again = oracle::read_png_file(dir.file("out.swf_res/1.png"));
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.pixels, edited);
}

TEST(EditCli, SmallMakesSmoothBitmapsSmallerAndStillExtracts)
{
    testkit::TempDir dir("edit_small");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::FWS, 256, 256).build()));
    auto r = run_program(kEdit, {"m.swf", "s.swf", "--small"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_LT(testkit::read_file(dir.file("s.swf")).size(), testkit::read_file(dir.file("m.swf")).size());
    ASSERT_EQ(run_program(kTool, {"s.swf"}, dir.path()).status, 0);
    oracle::Rgba png = oracle::read_png_file(dir.file("s.swf_res/1.png"));
    ASSERT_TRUE(png.ok);
    EXPECT_EQ(png.width, 256u);
    EXPECT_EQ(png.pixels[3], 90);  // the alpha plane came back
}

TEST(EditCli, AddedBitmapsKeepTheirNamesAndTheEndTagLast)
{
    testkit::TempDir dir("edit_add");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::FWS, 2, 2).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("pic.png"), oracle::write_png_memory(1, 1, {1, 2, 3, 255})));
    auto r = run_program(kEdit, {"m.swf", "z.swf", "--add", "\xE5\x9B\xBE\xE7\x89\x87", "pic.png", "--zws"},
                         dir.path());  // "图片" in UTF-8
    ASSERT_EQ(r.status, 0) << r.output;
    std::string out = testkit::read_file(dir.file("z.swf"));
    EXPECT_EQ(out.substr(0, 3), "ZWS");
    auto loaded = testkit::load_movie(Bytes(out.begin(), out.end()));
    ASSERT_TRUE(loaded.swf);
    std::vector<uint16_t> codes;
    for (SwfTag* tag : swf_tags(loaded.swf.get()))
        codes.push_back(tag->code);
    EXPECT_EQ(codes, (std::vector<uint16_t>{36, 21, 76, 0}));

    ASSERT_EQ(run_program(kTool, {"z.swf"}, dir.path()).status, 0);
    // DefineBitsJPEG2 holding PNG bytes, named by its GBK class name.
    EXPECT_EQ(testkit::read_file(dir.file("z.swf_res/" + testkit::native_name("\xCD\xBC\xC6\xAC.jpg"))).substr(1, 3), "PNG");
}

TEST(EditCli, FailuresExitOneAndLeaveNoOutput)
{
    testkit::TempDir dir("edit_fail");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::FWS, 2, 2).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("bad.png"), Bytes{1, 2, 3}));
    std::string before = testkit::read_file(dir.file("m.swf"));

    auto same = run_program(kEdit, {"m.swf", "m.swf", "--cws"}, dir.path());
    EXPECT_EQ(same.status, 1);
    EXPECT_NE(same.error.find("same file"), std::string::npos);
    EXPECT_EQ(run_program(kEdit, {"m.swf", "./m.swf"}, dir.path()).status, 1);
    EXPECT_EQ(testkit::read_file(dir.file("m.swf")), before);

    EXPECT_EQ(run_program(kEdit, {"none.swf", "o.swf"}, dir.path()).status, 1);
    EXPECT_EQ(run_program(kEdit, {"m.swf", "o.swf", "--add", "X", "bad.png"}, dir.path()).status, 1);
    EXPECT_FALSE(testkit::file_exists(dir.file("o.swf")));
    EXPECT_EQ(run_program(kEdit, {"m.swf", "/nonexistent/dir/o.swf"}, dir.path()).status, 1);
    EXPECT_EQ(std::filesystem::directory_iterator(dir.path()) == std::filesystem::directory_iterator(), false);
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos);
}

TEST(EditCli, ReplaceFailsWithoutWritingWhenAPictureCannotBeUsed)
{
    testkit::TempDir dir("edit_replace_fail");
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, argb_gradient(2, 2)));
    m.tag(36, swfkit::lossless_body(2, 5, 2, 2, argb_gradient(2, 2)));
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    std::filesystem::create_directory(dir.file("m.swf_res"));
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/1.png"), oracle::write_png_memory(1, 1, {1, 2, 3, 4})));
    const std::vector<std::pair<const char*, Bytes>> unusable = {
        {"corrupt", Bytes{0x89, 'P', 'N', 'G', 1, 2, 3}},
        {"empty", Bytes{}},
        {"too wide for a tag", oracle::write_png_memory(65536, 1, Bytes(65536 * 4, 9))},
    };
    for (const auto& [what, picture] : unusable) {
        ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/2.png"), picture));
        auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_NE(r.output.find("cannot use m.swf_res"), std::string::npos) << what << r.output;
        EXPECT_NE(r.output.find("2.png"), std::string::npos) << what;
        EXPECT_NE(r.error.find("replace: 1 bitmap(s) could not be done"), std::string::npos) << what << r.error;
        EXPECT_EQ(r.output.find("wrote"), std::string::npos) << what;
        EXPECT_FALSE(testkit::file_exists(dir.file("out.swf"))) << what;
    }
    std::filesystem::remove(dir.file("m.swf_res/2.png"));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.error;
    EXPECT_NE(r.output.find("replace: 1 bitmap(s) changed"), std::string::npos);
    EXPECT_TRUE(testkit::file_exists(dir.file("out.swf")));

    // --small: a lossless bitmap whose pixels do not inflate is named, and nothing is written.
    swfkit::Movie broken;
    Bytes cut = swfkit::lossless_body(3, 5, 64, 64, argb_gradient(64, 64));
    cut.resize(cut.size() / 2);
    broken.tag(36, cut);
    broken.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("b.swf"), broken.build()));
    auto small = run_program(kEdit, {"b.swf", "small.swf", "--small"}, dir.path());
    EXPECT_EQ(small.status, 1);
    EXPECT_NE(small.output.find("pixels of bitmap 3 do not inflate"), std::string::npos) << small.output;
    EXPECT_FALSE(testkit::file_exists(dir.file("small.swf")));
}

TEST(EditCli, AddedBitmapsGetFreeIdsAboveEveryIdInUse)
{
    testkit::TempDir dir("edit_add_ids");
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1000, 5, 2, 2, argb_gradient(2, 2)));  // the id the library call uses
    m.tag(26, Bytes{0x02, 1, 0, 0xB0, 0x04});                                // places character 1200
    m.tag(76, swfkit::symbol_class_body({{1000, "Old"}}));
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("a.png"), oracle::write_png_memory(1, 1, {1, 2, 3, 255})));
    ASSERT_TRUE(swfkit::write_file(dir.file("b.png"), oracle::write_png_memory(1, 1, {4, 5, 6, 255})));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--add", "A", "a.png", "--add", "B", "b.png"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_NE(r.output.find("added a.png as character 1201"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("added b.png as character 1202"), std::string::npos) << r.output;

    std::string out = testkit::read_file(dir.file("out.swf"));
    auto loaded = testkit::load_movie(Bytes(out.begin(), out.end()));
    ASSERT_TRUE(loaded.swf);
    std::vector<int> defined;
    for (SwfTag* tag : swf_tags(loaded.swf.get()))
        if (tag->code == 36 || tag->code == 21)
            defined.push_back(tag->body.buf[0] | tag->body.buf[1] << 8);
    EXPECT_EQ(defined, (std::vector<int>{1000, 1201, 1202}));  // one definition per id

    ASSERT_EQ(run_program(kTool, {"out.swf"}, dir.path()).status, 0);
    for (const char* name : {"Old.png", "A.jpg", "B.jpg"})
        EXPECT_TRUE(testkit::file_exists(dir.file(std::string("out.swf_res/") + name))) << name;
}

}  // namespace
