// Hostile movies: cut, inflated, lying about lengths and sizes, with dangerous class
// names and huge tag counts. Whatever the movie, the tool must not crash, must still
// write every bitmap that is intact, and must write nothing outside "<movie>_res".
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "program_suite.h"
#include "seed_media.h"
#include "swf/extract.h"
#include "swf/swf.h"

namespace {

using namespace program_suite;

// Every path under `root`, relative to it, sorted.
std::set<std::string> tree(const std::string& root)
{
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        paths.insert(fs::relative(entry.path(), root).string());
    return paths;
}

// The files in the movie's output folder.
std::set<std::string> outputs(const std::string& folder)
{
    std::set<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        names.insert(entry.path().filename().string());
    return names;
}

// Nothing but the movies and the files inside their folders.
void expect_only_inside(const std::string& root, const std::set<std::string>& movies)
{
    for (const std::string& path : tree(root)) {
        bool allowed = movies.count(path) != 0;
        for (const std::string& movie : movies)
            allowed = allowed || path == movie + "_res" || path.rfind(movie + "_res/", 0) == 0;
        EXPECT_TRUE(allowed) << "written outside the output folder: " << path;
    }
}

bool has_message(const std::string& output, const std::string& message)
{
    return output.find(">: " + message + "\n") != std::string::npos;
}

// Loads and extracts in this process (thousands of runs of the binary would be slow).
// Returns whether the movie loaded; the debug lines are dropped.
bool extract_in_process(const std::string& path, const Bytes& file, uint32_t* body_len)
{
    Stream source{const_cast<uint8_t*>(file.data()), 0, static_cast<uint32_t>(file.size()), 0};
    testkit::CapturedStdout capture;
    SwfPtr swf(swf_read(&source, path.c_str()));
    if (swf) {
        *body_len = static_cast<uint32_t>(swf->body.size());
        swf_saveimg(swf.get(), 1);
    }
    capture.take();
    return swf != nullptr;
}

constexpr uint16_t kSymbolClassKey = 0xFFFF;

// Where each bitmap's record (and the SymbolClass record, under kSymbolClassKey) ends in the uncompressed body, by
// character id. Walks the records of the movie description independently of the loader.
std::map<uint16_t, size_t> bitmap_record_ends(const swfkit::Movie& movie)
{
    std::map<uint16_t, size_t> ends;
    Bytes body = movie.body();
    size_t at = movie.frame_rect.size() + 4;
    while (at + 2 <= body.size()) {
        unsigned word = unsigned{body[at]} | unsigned{body[at + 1]} << 8;
        uint32_t code = word >> 6, length = word & 63;
        at += 2;
        if (length == 63) {
            length = uint32_t{body[at]} | uint32_t{body[at + 1]} << 8 | uint32_t{body[at + 2]} << 16 |
                     uint32_t{body[at + 3]} << 24;
            at += 4;
        }
        if (code == kTagDefineBits || code == kTagDefineBitsLossless || code == kTagDefineBitsJpeg2 ||
            code == kTagDefineBitsJpeg3 || code == kTagDefineBitsLossless2)
            ends[static_cast<uint16_t>(body[at] | body[at + 1] << 8)] = at + length;
        if (code == kTagSymbolClass)
            ends[kSymbolClassKey] = at + length;
        at += length;
    }
    return ends;
}

TEST(Hostile, TruncatedMoviesKeepEveryCompleteBitmap)
{
    testkit::TempDir dir("hostile_cut");
    const std::string movie_path = dir.file("m.swf");
    const std::string folder = movie_path + "_res";
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        swfkit::Movie movie = swfkit::multi_bitmap_movie(c);
        Bytes file = movie.build();
        std::map<uint16_t, size_t> ends = bitmap_record_ends(movie);

        // The whole movie gives the reference files.
        uint32_t full_len = 0;
        ASSERT_TRUE(extract_in_process(movie_path, file, &full_len));
        std::map<std::string, std::string> reference;
        for (const auto& bitmap : swfkit::multi_bitmap_files())
            reference[bitmap.file] = testkit::read_file(folder + "/" + bitmap.file);
        ASSERT_EQ(outputs(folder).size(), reference.size());
        fs::remove_all(folder);

        for (size_t n = 0; n < file.size(); ++n) {
            SCOPED_TRACE("container " + std::to_string(static_cast<int>(c)) + ", cut at " + std::to_string(n));
            Bytes prefix(file.begin(), file.begin() + static_cast<long>(n));
            uint32_t body_len = 0;
            bool loaded = extract_in_process(movie_path, prefix, &body_len);
            if (c == Container::fws) {
                // An uncompressed movie keeps everything up to the cut.
                bool header_fits = n >= 8 + movie.frame_rect.size() + 4;
                ASSERT_EQ(loaded, header_fits);
                if (loaded) {
                    ASSERT_EQ(body_len, n - 8);
                }
            }
            // Before the SymbolClass record is complete, bitmaps are named by their ids.
            bool named = loaded && ends.at(kSymbolClassKey) <= body_len;
            std::map<std::string, std::string> expected;
            for (const auto& bitmap : swfkit::multi_bitmap_files()) {
                if (!loaded || ends.at(bitmap.id) > body_len)
                    continue;
                std::string extension = bitmap.file.substr(bitmap.file.rfind('.'));
                expected[named ? bitmap.file : std::to_string(bitmap.id) + extension] = bitmap.file;
            }
            std::set<std::string> expected_names;
            for (const auto& [name, reference_name] : expected)
                expected_names.insert(name);
            ASSERT_EQ(outputs(folder), expected_names);
            for (const auto& [name, reference_name] : expected)
                ASSERT_EQ(testkit::read_file(folder + "/" + name), reference[reference_name]) << name;
            fs::remove_all(folder);
        }
        expect_only_inside(dir.path(), {"m.swf"});
    }
}

// A movie with one good bitmap of each family around the hostile part.
struct Sandwich {
    swfkit::Movie movie;
    explicit Sandwich(Container c = Container::fws) { movie.container = c; }
    void good_lossless(uint16_t id)
    {
        movie.tag(kTagDefineBitsLossless2, swfkit::lossless_body(id, 5, 3, 2, swfkit::gradient_argb(3, 2)));
    }
    void good_jpeg(uint16_t id) { movie.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(id, swfkit::gradient_jpeg(8, 8))); }
};

struct CliRun {
    testkit::TempDir dir{"hostile_cli"};
    testkit::RunResult result;
    std::set<std::string> files() const { return outputs(dir.file("m.swf_res")); }
};

void run_tool(CliRun& run, const Bytes& file)
{
    ASSERT_TRUE(swfkit::write_file(run.dir.file("m.swf"), file));
    run.result = run_program(kTool, {"m.swf"}, run.dir.path());
    expect_only_inside(run.dir.path(), {"m.swf"});
}

TEST(Hostile, BodiesClaimingNearlyOneGibibyte)
{
    constexpr uint32_t kClaim = (1u << 30) - 16;
    for (Container c : {Container::fws, Container::cws}) {
        // FWS: the body is what the file holds; CWS: what the stream inflates to.
        Sandwich s(c);
        s.good_lossless(1);
        s.good_jpeg(2);
        s.movie.end();
        s.movie.file_length = kClaim;
        CliRun run;
        run_tool(run, s.movie.build());
        EXPECT_EQ(run.result.status, 0) << run.result.output;
        EXPECT_EQ(run.files(), (std::set<std::string>{"1.png", "2.jpg"}));
    }
    {
        // LZMA has no end marker here: the decoder runs out of input first and the
        // movie is refused with a line.
        Sandwich s(Container::zws);
        s.good_lossless(1);
        s.movie.end();
        s.movie.file_length = kClaim;
        CliRun run;
        run_tool(run, s.movie.build());
        EXPECT_EQ(run.result.status, 1);
        EXPECT_TRUE(
            has_message(run.result.output,
                        testkit::console_text("zws\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC:6")))  // "zws解压缩失败"
            << run.result.output;
    }
    {
        // At 1 GiB the header alone refuses the movie.
        Sandwich s(Container::cws);
        s.good_lossless(1);
        s.movie.end();
        s.movie.file_length = 1u << 30;
        CliRun run;
        run_tool(run, s.movie.build());
        EXPECT_EQ(run.result.status, 1);
        EXPECT_TRUE(has_message(run.result.output, "refused: file length 1073741824 in the header is out of range"));
    }
}

// Bodies grow block by block while they inflate; every growth step, and a header that
// claims exactly the inflated size, must give the same body.
TEST(Hostile, CompressedBodiesGrowWithTheirData)
{
    for (Container c : {Container::cws, Container::zws}) {
        swfkit::Movie m;
        m.container = c;
        m.tag(2, Bytes(3 << 20, 0x41));  // 3 MiB that pack into a few KiB: several doublings
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 3, 2, swfkit::gradient_argb(3, 2)));
        m.end();
        Bytes body = m.body();
        for (uint32_t claim : {static_cast<uint32_t>(body.size() + 8), static_cast<uint32_t>(body.size()), 1u << 29}) {
            if (c == Container::zws && claim != body.size() + 8)
                continue;  // without an end marker LZMA stops only at the claimed length
            SCOPED_TRACE("container " + std::to_string(static_cast<int>(c)) + ", claim " + std::to_string(claim));
            m.file_length = claim;
            Bytes file = m.build();
            Stream source{file.data(), 0, static_cast<uint32_t>(file.size()), 0};
            testkit::CapturedStdout capture;
            SwfPtr swf(swf_read(&source, "m.swf"));
            capture.take();
            ASSERT_TRUE(swf);
            ASSERT_EQ(swf->body.size(), body.size());
            EXPECT_TRUE(std::equal(body.begin(), body.end(), swf->body.begin()));
        }
    }
}

TEST(Hostile, PixelDataClaimingHugeSizes)
{
    Sandwich s;
    s.good_lossless(1);
    // 65535 x 65535 pixels from a few bytes: refused before anything is allocated, and a
    // bitmap not written (its header is valid), not one skipped.
    s.movie.tag(kTagDefineBitsLossless2, swfkit::lossless_body(2, 5, 65535, 65535, Bytes(16, 0xFF)));
    s.movie.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 5, 65535, 65535, Bytes(16, 0xFF)));
    s.good_jpeg(4);
    s.movie.end();
    CliRun run;
    run_tool(run, s.movie.build());
    EXPECT_EQ(run.result.status, 3);
    EXPECT_EQ(run.files(), (std::set<std::string>{"1.png", "4.jpg"}));
    for (int id : {2, 3})
        EXPECT_TRUE(has_message(run.result.output, "bitmap " + std::to_string(id) +
                                                       " of 65535x65535 pixels cannot be encoded within the "
                                                       "buffer limit, not written"));
}

TEST(Hostile, RecordLengthsOfAllOnes)
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        Sandwich s(c);
        s.good_lossless(1);
        s.good_jpeg(2);
        // A long record header claiming 0xFFFFFFFF bytes: the tag list ends before it.
        swfkit::put_u16(s.movie.records, 36 << 6 | 63);
        swfkit::put_u32(s.movie.records, 0xFFFFFFFF);
        swfkit::put_bytes(s.movie.records, swfkit::lossless_body(3, 5, 3, 2, swfkit::gradient_argb(3, 2)));
        s.movie.end();
        CliRun run;
        run_tool(run, s.movie.build());
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.files(), (std::set<std::string>{"1.png", "2.jpg"}));
        EXPECT_NE(run.result.output.find("runs past the end of the body; tag list ends here"), std::string::npos);
    }
    {
        // A SymbolClass claiming 65535 names but holding one.
        Sandwich s;
        s.good_lossless(1);
        Bytes symbols = swfkit::symbol_class_body({{1, "only"}});
        symbols[0] = symbols[1] = 0xFF;
        s.movie.tag(kTagSymbolClass, symbols);
        s.movie.end();
        CliRun run;
        run_tool(run, s.movie.build());
        EXPECT_EQ(run.result.status, 0);
        EXPECT_EQ(run.files(), (std::set<std::string>{"only.png"}));
    }
}

TEST(Hostile, Jpeg3ImageLengthPastTheBody)
{
    Bytes jpeg = swfkit::gradient_jpeg(8, 8);
    Bytes alpha(64, 0x80);
    Sandwich s;
    s.good_lossless(1);
    const std::pair<uint16_t, uint32_t> claims[] = {
        {17, 0xFFFFFFFFu}, {18, 0x80000000u}, {19, static_cast<uint32_t>(jpeg.size() + 6 + 64 + 20)}};
    for (auto [id, claim] : claims) {
        Bytes body = swfkit::jpeg3_body(id, jpeg, alpha);
        body[2] = static_cast<uint8_t>(claim), body[3] = static_cast<uint8_t>(claim >> 8);
        body[4] = static_cast<uint8_t>(claim >> 16), body[5] = static_cast<uint8_t>(claim >> 24);
        s.movie.tag(kTagDefineBitsJpeg3, body);
    }
    // N exactly the rest of the body: no alpha plane at all.
    Bytes bare = swfkit::jpeg3_body(20, jpeg, {});
    bare.resize(6 + jpeg.size());
    s.movie.tag(kTagDefineBitsJpeg3, bare);
    s.movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(21, jpeg, alpha));  // a good one after the bad ones
    s.movie.end();
    CliRun run;
    run_tool(run, s.movie.build());
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.files(), (std::set<std::string>{"1.png", "21.png"}));
    EXPECT_TRUE(has_message(run.result.output, "image length 4294967295 of bitmap 17 runs past the tag, skipped"));
}

TEST(Hostile, DangerousClassNames)
{
    const std::string long_name(300, 'n');
    Sandwich s;
    for (uint16_t id = 1; id <= 7; ++id)
        s.good_lossless(id);
    s.good_jpeg(8);
    s.movie.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "a/b/c"},
                                                            {2, ".."},
                                                            {3, "../../escape"},
                                                            {4, ""},
                                                            {5, long_name},
                                                            {6, "/abs"},
                                                            {7, "\xE8\x83\x8C/\xE6\x99\xAF"},  // "背/景" in UTF-8
                                                            {8, "."}}));
    s.movie.end();
    CliRun run;
    run_tool(run, s.movie.build());
    EXPECT_EQ(run.result.status, 0);
    // Separators become "_" (the rest of a name stays as stored); dots alone and the empty name are ordinary names
    // inside the folder; a name too long for the file system falls back to the id, with a line.
    EXPECT_EQ(run.files(), (std::set<std::string>{"a_b_c.png", "...png", ".._.._escape.png", ".png", "5.png",
                                                  "_abs.png", "\xE8\x83\x8C_\xE6\x99\xAF.png", "..jpg"}));
    EXPECT_TRUE(has_message(run.result.output, "class name of bitmap 5 is too long for a file name; using the id"));
}

// Control bytes in class and movie names would move the cursor, clear the terminal or fake
// a line: printed escaped, while the files keep the names as stored. Every line the tool
// prints carries the line prefix, whatever failed below it.
TEST(Hostile, ControlBytesInNamesAndCodecFailures)
{
    Sandwich s;
    s.good_lossless(1);
    s.good_lossless(2);
    Bytes broken_jpeg = swfkit::gradient_jpeg(8, 8);
    broken_jpeg.resize(broken_jpeg.size() / 2);
    s.movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(3, broken_jpeg, Bytes(4, 0)));
    Bytes broken_png{0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R', 1, 2};
    s.movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(4, broken_png, Bytes(4, 0)));
    s.good_lossless(5);
    // Bitmap 2 takes the same name, so a line names the file bitmap 1 took.
    s.movie.tag(kTagSymbolClass, swfkit::symbol_class_body(
                                     {{1, "clear\x1b[2J\rfake"}, {2, "clear\x1b[2J\rfake"}, {5, "two\nlines\x7f"}}));
    s.movie.end();
    testkit::TempDir dir("hostile_control");
    const std::string movie = "odd\x01\nname.swf";
    ASSERT_TRUE(swfkit::write_file(dir.file(movie), s.movie.build()));
    auto r = run_program(kTool, {movie}, dir.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(outputs(dir.file(movie + "_res")),
              (std::set<std::string>{"clear\x1b[2J\rfake.png", "2.png", "two\nlines\x7f.png"}));
    for (char control : {'\x01', '\x1b', '\r', '\x7f'})
        EXPECT_EQ(r.output.find(control), std::string::npos) << static_cast<int>(control);
    EXPECT_NE(r.output.find("odd\\x01\\x0aname.swf"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("clear\\x1b[2J\\x0dfake.png"), std::string::npos) << r.output;
    for (const std::string& line : testkit::split_lines(r.output))
        EXPECT_EQ(line.rfind("[DEBUG] ", 0), 0u) << line;
}

TEST(Hostile, TenThousandTags)
{
    Sandwich s;
    std::set<std::string> expected;
    for (int i = 0; i < 10000 - 2; ++i) {
        if (i % 1000 == 0) {
            auto id = static_cast<uint16_t>(i / 1000 + 1);
            s.good_lossless(id);
            expected.insert(std::to_string(id) + ".png");
        } else {
            s.movie.tag(1, {});  // ShowFrame
        }
    }
    s.movie.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "first"}}));
    s.movie.end();
    expected.erase("1.png");
    expected.insert("first.png");
    CliRun run;
    run_tool(run, s.movie.build());
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.files(), expected);
    EXPECT_TRUE(has_message(run.result.output, "tagnum:10000"));
}

TEST(Hostile, OneMovieGivenTwice)
{
    CliRun once, twice;
    Bytes file = swfkit::multi_bitmap_movie(Container::cws).build();
    run_tool(once, file);
    ASSERT_TRUE(swfkit::write_file(twice.dir.file("m.swf"), file));
    twice.result = run_program(kTool, {"m.swf", "m.swf"}, twice.dir.path());
    expect_only_inside(twice.dir.path(), {"m.swf"});
    EXPECT_EQ(twice.result.status, 0);
    // Done once and counted once, however it is spelled.
    std::string done = "------------swf_saveimg done--------------\n";
    size_t first = twice.result.output.find(done);
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(twice.result.output.find(done, first + 1), std::string::npos);
    EXPECT_NE(twice.result.error.find("pixsieve: 1 movie read, 0 refused; 6 bitmaps written"), std::string::npos)
        << twice.result.error;
    auto spelled = run_program(kTool, {"m.swf", "./m.swf", "m.swf"}, twice.dir.path());
    EXPECT_NE(spelled.error.find("pixsieve: 1 movie read"), std::string::npos) << spelled.error;
    ASSERT_EQ(twice.files(), once.files());
    EXPECT_EQ(once.files().size(), swfkit::multi_bitmap_files().size());
    for (const std::string& name : once.files())
        EXPECT_EQ(testkit::read_file(twice.dir.file("m.swf_res/" + name)),
                  testkit::read_file(once.dir.file("m.swf_res/" + name)))
            << name;
}

TEST(Hostile, OutputFolderNameTakenByAFile)
{
    CliRun run;
    ASSERT_TRUE(swfkit::write_file(run.dir.file("m.swf_res"), Bytes{'x'}));
    run_tool(run, swfkit::multi_bitmap_movie(Container::fws).build());
    EXPECT_EQ(run.result.status, 3);  // read, but no bitmap could be written
    EXPECT_EQ(testkit::read_file(run.dir.file("m.swf_res")), "x");
    EXPECT_NE(run.result.output.find("cannot use m.swf_res as output folder"), std::string::npos);
}

}  // namespace
