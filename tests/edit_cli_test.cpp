// The pixsieve-edit command end to end, together with pixsieve.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "jpeg_oracle.h"
#include "load_util.h"
#include "png_oracle.h"
#include "program_suite.h"
#include "swf/bitmap_format.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

using namespace program_suite;
const std::string kEdit = testkit::edit_tool();

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
    m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, w, h, argb_gradient(w, h)));
    m.end();
    return m;
}

TEST(EditCli, BadArgumentsPrintUsageAndExitTwo)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{},
                                                                               {"in.swf"},
                                                                               {"a", "b", "c"},
                                                                               {"a", "b", "--bogus"},
                                                                               {"a", "b", "--fws", "--cws"},
                                                                               {"a", "b", "--add", "x"}}) {
        auto r = run_program(kEdit, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.output, "");  // the usage goes to standard error
        EXPECT_EQ(r.error.rfind("usage: pixsieve-edit IN.swf OUT.swf", 0), 0u);
    }
}

TEST(EditCli, ExtractEditReplaceExtractAgain)
{
    testkit::TempDir dir("edit_cli");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::cws, 3, 2).build()));
    ASSERT_EQ(run_program(kTool, {"m.swf"}, dir.path()).status, 0);
    ASSERT_TRUE(oracle::read_png_file(dir.file("m.swf_res/1.png")).ok);

    Bytes edited = {9, 8, 7, 255, 1, 2, 3, 128, 0, 0, 0, 0, 50, 60, 70, 255, 4, 5, 6, 7, 200, 201, 202, 203};
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/1.png"), oracle::write_png_memory(3, 2, edited)));
    std::string before = testkit::read_file(dir.file("m.swf"));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(testkit::read_file(dir.file("m.swf")), before);                // IN untouched
    EXPECT_EQ(testkit::read_file(dir.file("out.swf")).substr(0, 3), "CWS");  // container kept

    ASSERT_EQ(run_program(kTool, {"out.swf"}, dir.path()).status, 0);
    oracle::Rgba again = oracle::read_png_file(dir.file("out.swf_res/1.png"));
    ASSERT_TRUE(again.ok);
    // Stored premultiplied, a colour under a small alpha keeps only alpha's precision.
    ASSERT_EQ(again.pixels.size(), edited.size());
    for (size_t i = 0; i < edited.size(); i += 4) {
        int a = edited[i + 3];
        EXPECT_EQ(again.pixels[i + 3], a) << i;
        for (size_t c = 0; c < 3; ++c)
            EXPECT_NEAR(again.pixels[i + c], a == 0 ? 0 : edited[i + c], a == 0 ? 0 : 255 / a / 2 + 1) << i;
    }
}

// What every lossless tag of a movie file stores, as A, R, G, B pixels (premultiplied with
// alpha, as the format keeps them), by id; and each tag's code and format.
struct StoredBitmap {
    uint16_t code = 0;
    uint8_t format = 0;
    Bytes argb;
};

std::map<uint16_t, StoredBitmap> stored_lossless(const std::string& file)
{
    std::map<uint16_t, StoredBitmap> out;
    auto loaded = testkit::load_movie(Bytes(file.begin(), file.end()));
    EXPECT_TRUE(loaded.swf);
    if (!loaded.swf)
        return out;
    for (SwfTag* tag : swf_tags(loaded.swf.get())) {
        if (tag->code != kTagDefineBitsLossless && tag->code != kTagDefineBitsLossless2)
            continue;
        std::span<const uint8_t> body = tag->body;
        LosslessHeader h;
        EXPECT_TRUE(lossless_read_header(body, &h));
        bool alpha = tag->code == kTagDefineBitsLossless2;
        Inflated data = inflate_bitmap_data(body.subspan(h.data_offset), lossless_data_size(h, alpha));
        EXPECT_EQ(data.fault, Fault::none);
        Bytes argb(size_t{h.width} * h.height * 4);
        lossless_to_rgba(h, alpha, {data.bytes.get(), data.size}, argb.data());
        rgba_to_argb(argb.data(), argb.size() / 4);
        out[h.id] = {tag->code, h.format, argb};
    }
    return out;
}

TEST(EditCli, ExtractThenReplaceWithTheUntouchedFilesKeepsTheStoredPixels)
{
    // Premultiplied A, R, G, B: every colour at most its alpha, alpha 0 with black.
    Bytes argb;
    for (int i = 0; i < 16 * 16; ++i) {
        int a = (i * 37) % 256;
        argb.insert(argb.end(), {static_cast<uint8_t>(a), static_cast<uint8_t>(a * (i % 7) / 6),
                                 static_cast<uint8_t>(a / 2), static_cast<uint8_t>(a * (i % 11) / 10)});
    }
    Bytes table = {200, 100, 0, 200, 0, 0, 0, 0, 1, 2, 3, 4};  // premultiplied R, G, B, A
    Bytes palette = table;
    palette.insert(palette.end(), {0, 1, 2, 0, 2, 1, 0, 0});  // 3 x 2, rows of 4 indices
    Bytes rgb(16 * 8 * 3);
    for (size_t i = 0; i < rgb.size(); ++i)
        rgb[i] = static_cast<uint8_t>(20 + i % 40);
    Bytes jpeg = oracle::encode_jpeg(16, 8, 3, rgb, {.quality = 95});
    Bytes plane(16 * 8, 200);
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, ';'};
    swfkit::Movie m;
    m.container = Container::cws;
    m.tag(36, swfkit::lossless_body(1, 5, 16, 16, argb));
    m.tag(36, swfkit::colour_mapped_body(2, 3, 2, 3, palette));
    m.tag(35, swfkit::jpeg3_body(3, jpeg, plane));
    m.tag(21, swfkit::jpeg_body(4, gif));
    m.end();
    testkit::TempDir dir("edit_round_trip");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    ASSERT_EQ(run_program(kTool, {"m.swf"}, dir.path()).status, 0);
    ASSERT_TRUE(testkit::file_exists(dir.file("m.swf_res/4.gif")));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;

    std::string out = testkit::read_file(dir.file("out.swf"));
    std::map<uint16_t, StoredBitmap> stored = stored_lossless(out);
    EXPECT_EQ(stored[1].argb, argb);  // exact: colours at most their alpha survive both roundings
    Bytes expected_palette;
    for (size_t index : {0u, 1u, 2u, 2u, 1u, 0u})
        expected_palette.insert(expected_palette.end(),
                                {table[4 * index + 3], table[4 * index], table[4 * index + 1], table[4 * index + 2]});
    EXPECT_EQ(stored[2].argb, expected_palette);
    // The JPEG-with-alpha bitmap comes back as a lossless one holding its premultiplied colours.
    oracle::Decoded decoded = oracle::decode_jpeg(jpeg, true);
    ASSERT_EQ(stored[3].argb.size(), plane.size() * 4);
    for (size_t i = 0; i < plane.size(); ++i) {
        EXPECT_EQ(stored[3].argb[4 * i], 200);
        for (size_t c = 0; c < 3; ++c)
            EXPECT_NEAR(stored[3].argb[4 * i + 1 + c], decoded.samples[3 * i + c], 2) << i;
    }
    // The GIF goes back as stored, as DefineBitsJPEG2 data.
    auto loaded = testkit::load_movie(Bytes(out.begin(), out.end()));
    ASSERT_TRUE(loaded.swf);
    SwfTag* last = loaded.swf->tags.prev->prev;
    EXPECT_EQ(last->code, 21);
    EXPECT_EQ(Bytes(last->body.begin() + 2, last->body.end()), gif);
}

TEST(EditCli, PaletteAndOpaquePngsGoBackInTheirOwnFormAndTheMovieDoesNotGrow)
{
    // Flat map-like art in 6 colours, 61 x 23 (rows padded in the movie).
    const uint16_t w = 61, h = 23;
    Bytes indices(size_t{w} * h);
    for (size_t i = 0; i < indices.size(); ++i)
        indices[i] = static_cast<uint8_t>((i % w) / 11 + (i / w) / 12) % 6;
    const Bytes rgb_table = {10, 20, 30, 200, 0, 0, 0, 200, 0, 0, 0, 200, 255, 255, 0, 1, 2, 3};
    const Bytes straight_alpha = {255, 128, 0, 255, 64, 255};
    Bytes rgba_table;  // premultiplied, as DefineBitsLossless2 stores it
    for (size_t e = 0; e < 6; ++e) {
        for (size_t c = 0; c < 3; ++c)
            rgba_table.push_back(static_cast<uint8_t>((rgb_table[3 * e + c] * straight_alpha[e] + 127) / 255));
        rgba_table.push_back(straight_alpha[e]);
    }
    auto mapped = [&](const Bytes& table) {
        Bytes data = table;
        for (int y = 0; y < h; ++y) {
            data.insert(data.end(), indices.begin() + y * w, indices.begin() + (y + 1) * w);
            data.insert(data.end(), 64 - w, 0);  // rows of 64 bytes
        }
        return data;
    };
    Bytes xrgb;
    for (size_t index : indices)
        xrgb.insert(xrgb.end(), {255, rgb_table[3 * index], rgb_table[3 * index + 1], rgb_table[3 * index + 2]});
    swfkit::Movie m;
    m.tag(kTagDefineBitsLossless, swfkit::colour_mapped_body(1, w, h, 6, mapped(rgb_table)));
    m.tag(kTagDefineBitsLossless2, swfkit::colour_mapped_body(2, w, h, 6, mapped(rgba_table)));
    m.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 5, w, h, xrgb));
    m.end();
    testkit::TempDir dir("edit_forms");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    const std::string before = testkit::read_file(dir.file("m.swf"));
    std::map<uint16_t, StoredBitmap> original = stored_lossless(before);

    // The PNGs extraction writes for these bitmaps: palette (with the table's alpha) and RGB.
    std::filesystem::create_directory(dir.file("m.swf_res"));
    oracle::PngSpec palette{w, h, 8, 3, false, indices, rgb_table, {}};
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/1.png"), oracle::write_png_spec(palette)));
    palette.trns = straight_alpha;
    for (size_t e = 0; e < 6; ++e)  // the colours un-premultiplied, as extraction writes them
        for (size_t c = 0; c < 3; ++c)
            palette.palette[3 * e + c] = static_cast<uint8_t>(
                straight_alpha[e] == 0
                    ? 0
                    : std::min(255, (rgba_table[4 * e + c] * 255 + straight_alpha[e] / 2) / straight_alpha[e]));
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/2.png"), oracle::write_png_spec(palette)));
    Bytes rgb;
    for (auto pixel = xrgb.begin(); pixel != xrgb.end(); pixel += 4)
        rgb.insert(rgb.end(), pixel + 1, pixel + 4);
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/3.png"), oracle::write_png_memory(w, h, rgb, PNG_FORMAT_RGB)));

    auto r = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("replace: 3 bitmap(s) changed"), std::string::npos) << r.output;
    const std::string after = testkit::read_file(dir.file("out.swf"));
    std::map<uint16_t, StoredBitmap> rebuilt = stored_lossless(after);
    for (uint16_t id : std::initializer_list<uint16_t>{1, 2, 3}) {
        EXPECT_EQ(rebuilt[id].code, original[id].code) << id;
        EXPECT_EQ(rebuilt[id].format, original[id].format) << id;
        EXPECT_EQ(rebuilt[id].argb, original[id].argb) << id;
    }
    EXPECT_LE(after.size(), before.size());
}

TEST(EditCli, SmallMakesSmoothBitmapsSmallerAndStillExtracts)
{
    testkit::TempDir dir("edit_small");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::fws, 256, 256).build()));
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
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::fws, 2, 2).build()));
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
    EXPECT_EQ(codes, (std::vector<uint16_t>{kTagDefineBitsLossless2, kTagDefineBitsJpeg2, kTagSymbolClass, kTagEnd}));

    ASSERT_EQ(run_program(kTool, {"z.swf"}, dir.path()).status, 0);
    // DefineBitsJPEG2 holding PNG bytes, named by its GBK class name and by what it holds.
    EXPECT_EQ(testkit::read_file(dir.file("z.swf_res/" + testkit::native_name("\xCD\xBC\xC6\xAC.png"))).substr(1, 3),
              "PNG");
}

std::string class_name(Swf* swf, uint16_t id)
{
    uint32_t at = symbols_get(swf->names.get(), id);
    return at == swf->names->n_buckets ? "<absent>" : swf->names->values[at]->name;
}

TEST(EditCli, ReplaceAndAddKeepEveryOtherClassNameByteForByte)
{
    // Chinese, Korean, an emoji, a stray continuation byte, bytes never found in UTF-8, and
    // a name for a character the movie does not define.
    const std::vector<std::pair<uint16_t, std::string>> names = {{1, "\xE8\x83\x8C\xE6\x99\xAF"},
                                                                 {2, "\xED\x95\x9C\xEA\xB5\xAD"},
                                                                 {3, "\xF0\x9F\x98\x80"},
                                                                 {4, "a\x80z"},
                                                                 {5, "\xFF\xFE"},
                                                                 {6, "plain"}};
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body(names));
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, argb_gradient(2, 2)));
    m.tag(36, swfkit::lossless_body(2, 5, 2, 2, argb_gradient(2, 2)));
    m.end();
    testkit::TempDir dir("edit_names");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    std::filesystem::create_directory(dir.file("m.swf_res"));
    const Bytes picture = oracle::write_png_memory(1, 1, {1, 2, 3, 255});
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf_res/1.png"), picture));
    ASSERT_TRUE(swfkit::write_file(dir.file("pic.png"), picture));

    const std::string added = "\xE5\x9B\xBE\xE7\x89\x87";  // "图片" in UTF-8
    const std::vector<std::vector<std::string>> calls = {
        {"--replace"}, {"--add", added, "pic.png"}, {"--replace", "--add", added, "pic.png", "--cws"}};
    for (const auto& call : calls) {
        std::vector<std::string> args = {"m.swf", "o.swf"};
        args.insert(args.end(), call.begin(), call.end());
        auto r = run_program(kEdit, args, dir.path());
        ASSERT_EQ(r.status, 0) << r.output << r.error;
        const bool replaced = call[0] == "--replace", adds = call.size() > 1;
        // "替换掉" (replaced): the picture went in.
        EXPECT_EQ(r.output.find(testkit::console_text("\xCC\xE6\xBB\xBB\xB5\xF4")) != std::string::npos, replaced);
        std::string out = testkit::read_file(dir.file("o.swf"));
        auto loaded = testkit::load_movie(Bytes(out.begin(), out.end()));
        ASSERT_TRUE(loaded.swf) << call[0];
        for (const auto& [id, name] : names)
            EXPECT_EQ(class_name(loaded.swf.get(), id), name) << call[0] << " " << id;
        // The added bitmap takes the first id above every one in use (6, a name without a bitmap).
        EXPECT_EQ(class_name(loaded.swf.get(), 7), adds ? added : "<absent>") << call[0];
    }
}

TEST(EditCli, FailuresExitOneAndLeaveNoOutput)
{
    testkit::TempDir dir("edit_fail");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), bitmap_movie(Container::fws, 2, 2).build()));
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
    m.tag(26, Bytes{0x02, 1, 0, 0xB0, 0x04});                              // places character 1200
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
        if (tag->code == kTagDefineBitsLossless2 || tag->code == kTagDefineBitsJpeg2)
            defined.push_back(tag->body[0] | tag->body[1] << 8);
    EXPECT_EQ(defined, (std::vector<int>{1000, 1201, 1202}));  // one definition per id

    ASSERT_EQ(run_program(kTool, {"out.swf"}, dir.path()).status, 0);
    // The added pictures are PNG data in DefineBitsJPEG2 tags, named by what they hold.
    for (const char* name : {"Old.png", "A.png", "B.png"})
        EXPECT_TRUE(testkit::file_exists(dir.file(std::string("out.swf_res/") + name))) << name;
}

}  // namespace
