// Listing, selection, JSON Lines and movies inside movies, run as a user runs them.
#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_suite.h"
#include "seed_media.h"

namespace {

using namespace program_suite;

Bytes pixels(uint8_t seed) { return Bytes{255, seed, 2, 3, 255, 4, seed, 6, 128, 7, 8, seed, 0, 0, 0, 0}; }

// Bitmaps 1 ("pic"), 2 ("pic" again: written under its id) and 3 (a JPEG, no name), and
// `inner` (when given) as binary data 9 named "level".
Bytes movie_with(uint8_t seed, const Bytes& inner = {}, Container c = Container::cws)
{
    swfkit::Movie m;
    m.container = c;
    m.tag(76, swfkit::symbol_class_body({{1, "pic"}, {2, "pic"}, {9, "level"}}));
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, pixels(seed)));
    m.tag(20, swfkit::lossless_body(2, 5, 2, 2, pixels(seed + 1)));
    m.tag(21, swfkit::jpeg_body(3, swfkit::gradient_jpeg(8, 6)));
    if (!inner.empty())
        m.tag(87, swfkit::binary_data_body(9, inner));
    m.end();
    return m.build();
}

// Every file below `root`, as paths relative to it, with their contents.
std::map<std::string, std::string> files_below(const std::string& root)
{
    std::map<std::string, std::string> files;
    if (!fs::exists(root))
        return files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = testkit::read_file(entry.path().string());
    return files;
}

std::vector<std::string> folders_below(const std::string& root)
{
    std::vector<std::string> folders;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_directory())
            folders.push_back(fs::relative(entry.path(), root).generic_string());
    std::sort(folders.begin(), folders.end());
    return folders;
}

// The value of "key": in a JSON line as its text (strings without quotes); "" when absent.
std::string field(const std::string& line, const std::string& key)
{
    const std::string mark = "\"" + key + "\":";
    const size_t at = line.find(mark);
    if (at == std::string::npos)
        return "";
    size_t start = at + mark.size();
    if (line[start] == '"')
        return line.substr(start + 1, line.find('"', start + 1) - start - 1);
    return line.substr(start, line.find_first_of(",}", start) - start);
}

std::string slashed(std::string text)
{
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// The "file" of a JSON line with "/" between the names, as on Linux.
std::string file_field(const std::string& line)
{
    const std::string escaped = field(line, "file");
    std::string file;
    for (size_t at = 0; at < escaped.size(); ++at) {
        const bool separator = escaped.compare(at, 2, "\\\\") == 0;
        file += separator ? '/' : escaped[at];
        at += separator;
    }
    return file;
}

// ---------------------------------------------------------------------------------------

TEST(CliList, NamesWhatExtractionWritesAndWritesNothing)
{
    testkit::TempDir dir("list");
    ASSERT_TRUE(swfkit::write_file(dir.file("a.swf"), movie_with(1)));
    ASSERT_TRUE(swfkit::write_file(dir.file("junk.swf"), Bytes{'C', 'W', 'S', 9, 100, 0, 0, 0, 1}));

    auto listed = run_program(kTool, {"--list", "a.swf", "junk.swf"}, dir.path());
    EXPECT_EQ(listed.status, 1);  // junk.swf cannot be read, as in extraction
    EXPECT_EQ(folders_below(dir.path()), std::vector<std::string>{});
    const auto lines = testkit::split_lines(listed.output);
    ASSERT_EQ(lines.size(), 4u) << listed.output;
    EXPECT_EQ(lines[0], "a.swf");
    const std::string bytes = std::to_string(swfkit::lossless_body(1, 5, 2, 2, pixels(1)).size());
    EXPECT_EQ(slashed(lines[1]), "      1  lossless with alpha              2x2 " +
                                     std::string(10 - bytes.size(), ' ') + bytes + "  a.swf_res/pic.png");
    EXPECT_EQ(slashed(lines[2]).substr(0, 45), "      2  lossless                         2x2");
    EXPECT_EQ(slashed(lines[2]).substr(lines[2].size() - 15), "a.swf_res/2.png");
    EXPECT_NE(lines[3].find("JPEG                             8x6"), std::string::npos) << lines[3];
    EXPECT_NE(listed.error.find("junk.swf"), std::string::npos);  // problems go to standard error
    EXPECT_NE(listed.error.find("3 bitmaps listed"), std::string::npos) << listed.error;

    // The files a full run writes are the ones listed, with -q, -o and -j alike.
    for (const std::vector<std::string>& options :
         std::vector<std::vector<std::string>>{{}, {"-q"}, {"-j", "2"}, {"-o", "out", "-j2", "-q"}}) {
        std::vector<std::string> list_args = options, run_args = options;
        list_args.insert(list_args.end(), {"-l", "a.swf"});
        run_args.push_back("a.swf");
        auto list = run_program(kTool, list_args, dir.path());
        auto run = run_program(kTool, run_args, dir.path());
        std::vector<std::string> named, written;
        for (const std::string& line : testkit::split_lines(list.output))
            if (line.find("_res") != std::string::npos)
                named.push_back(slashed(line.substr(line.rfind(' ') + 1)));
        const std::string root = options.size() == 4 ? "out/" : "";
        for (const auto& [file, contents] : files_below(dir.file(root + "a.swf_res")))
            written.push_back(root + "a.swf_res/" + file);
        std::sort(named.begin(), named.end());
        EXPECT_EQ(named, written) << ::testing::PrintToString(options);
        EXPECT_EQ(run.status, 0);
        fs::remove_all(dir.file(root + "a.swf_res"));
    }
}

TEST(CliSelect, NarrowsExtractionAndListingButNeverTheNames)
{
    testkit::TempDir dir("select");
    ASSERT_TRUE(swfkit::write_file(dir.file("a.swf"), movie_with(2)));
    ASSERT_TRUE(swfkit::write_file(dir.file("b.swf"), movie_with(3)));

    auto by_id = run_program(kTool, {"--id", "2", "-q", "a.swf"}, dir.path());
    EXPECT_EQ(by_id.status, 0);
    EXPECT_EQ(by_id.output, "");
    // Bitmap 2 lost "pic" to bitmap 1 over the whole movie, whether or not 1 is taken.
    EXPECT_EQ(files_below(dir.file("a.swf_res")).count("2.png"), 1u);
    EXPECT_EQ(files_below(dir.file("a.swf_res")).size(), 1u);

    // Any selector takes a bitmap; each one that takes nothing is said once per movie.
    auto mixed = run_program(kTool, {"-l", "--name", "p?c", "--id=3,40-45", "--name", "none*", "a.swf", "b.swf"},
                             dir.path());
    EXPECT_EQ(mixed.status, 0);
    EXPECT_EQ(testkit::split_lines(mixed.output).size(), 8u) << mixed.output;
    EXPECT_EQ(testkit::split_lines(mixed.error).size(), 5u) << mixed.error;  // each led by its movie
    EXPECT_NE(mixed.error.find("--name none* matches no bitmap in b.swf"), std::string::npos) << mixed.error;
    // A run that takes nothing from a movie makes no folder for it.
    auto nothing = run_program(kTool, {"--id", "99", "-j2", "b.swf"}, dir.path());
    EXPECT_EQ(nothing.status, 0);
    EXPECT_FALSE(testkit::file_exists(dir.file("b.swf_res")));
    EXPECT_NE(nothing.output.find("--id 99 matches no bitmap in b.swf"), std::string::npos);
}

TEST(CliJson, OneObjectPerBitmapThenTheSummaryLosslessForAnyName)
{
    testkit::TempDir dir("json");
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{1, "caf\xC3\xA9"}, {2, "bad\xFF\"name"}}));
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, pixels(1)));
    m.tag(36, swfkit::lossless_body(2, 5, 2, 2, pixels(2)));
    Bytes broken = swfkit::lossless_body(4, 5, 4, 4, Bytes(64, 7));
    broken.resize(broken.size() - 3);
    m.tag(36, broken);
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));

    auto run = run_program(kTool, {"--json", "m.swf", "missing.swf"}, dir.path());
    EXPECT_EQ(run.status, 1);
    const auto lines = testkit::split_lines(run.output);
    ASSERT_EQ(lines.size(), 5u) << run.output;
    for (const std::string& line : lines)
        EXPECT_TRUE(line.front() == '{' && line.back() == '}' && testkit::is_valid_utf8(line)) << line;
    EXPECT_EQ(field(lines[0], "name"), "caf\xC3\xA9");
    EXPECT_EQ(field(lines[0], "status"), "written");
    EXPECT_EQ(file_field(lines[0]), "m.swf_res/caf\xC3\xA9.png");
    EXPECT_NE(lines[1].find("\"name\":\"bad\\ufffd\\\"name\",\"name_hex\":\"626164ff226e616d65\""), std::string::npos)
        << lines[1];
    if (!testkit::running_windows_programs()) {  // Windows spells the file in its code page, then in UTF-8
        EXPECT_NE(lines[1].find("\"file_hex\":\"6d2e7377665f7265732f626164ff226e616d652e706e67\""), std::string::npos);
    }
    EXPECT_EQ(field(lines[2], "status"), "skipped");
    EXPECT_NE(field(lines[2], "reason"), "");
    EXPECT_EQ(field(lines[3], "movie"), "missing.swf");
    EXPECT_EQ(field(lines[3], "status"), "refused");
    EXPECT_EQ(lines[4],
              "{\"summary\":true,\"movies_read\":1,\"movies_refused\":1,\"bitmaps_written\":2,\"bitmaps_skipped\":1,"
              "\"files_not_written\":0,\"exit_status\":1}");
    // -q changes nothing; -j neither; -o only the files; --list drops the status.
    EXPECT_EQ(run_program(kTool, {"-q", "-j", "3", "--json", "m.swf", "missing.swf"}, dir.path()).output, run.output);
    auto elsewhere = run_program(kTool, {"--json", "-o", "out", "m.swf"}, dir.path());
    EXPECT_EQ(file_field(testkit::split_lines(elsewhere.output)[0]), "out/m.swf_res/caf\xC3\xA9.png");
    auto listed = run_program(kTool, {"--json", "-l", "m.swf"}, dir.path());
    EXPECT_EQ(listed.output.find("\"status\""), std::string::npos);
    EXPECT_NE(listed.output.find("\"bitmaps_listed\":3"), std::string::npos);
}

// Three levels of movies inside movies, a broken one, one too deep, a picture as binary data.
TEST(CliNested, MoviesInsideMoviesGetTheirOwnFoldersAndLines)
{
    testkit::TempDir dir("nested");
    Bytes deepest = movie_with(40, {}, Container::zws);
    for (int level = 0; level < 4; ++level)  // five levels below the file: the last is too deep
        deepest = movie_with(static_cast<uint8_t>(30 - level), deepest, Container::fws);
    ASSERT_TRUE(swfkit::write_file(dir.file("deep.swf"), movie_with(1, deepest)));

    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{5, "logo"}}));
    m.tag(87, swfkit::binary_data_body(5, swfkit::filtered_png(3, 2, 8, 6, 0)));
    m.tag(87, swfkit::binary_data_body(6, Bytes{'C', 'W', 'S', 10, 200, 0, 0, 0, 1, 2, 3}));  // looks like one, is not
    m.tag(87, swfkit::binary_data_body(7, Bytes{'h', 'e', 'l', 'l', 'o'}));  // neither movie nor picture
    m.tag(87, swfkit::binary_data_body(8, movie_with(9, movie_with(10), Container::zws)));
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("mix.swf"), m.build()));

    auto run = run_program(kTool, {"-j", "1", "deep.swf", "mix.swf"}, dir.path());
    EXPECT_EQ(run.status, 0) << run.error;
    const auto files = files_below(dir.path());
    for (const char* file : {"deep.swf_res/pic.png", "deep.swf_res/level.swf_res/pic.png",
                             "deep.swf_res/level.swf_res/level.swf_res/level.swf_res/level.swf_res/3.jpg",
                             "mix.swf_res/logo.png", "mix.swf_res/8.swf_res/level.swf_res/2.png"})
        EXPECT_EQ(files.count(file), 1u) << file;
    EXPECT_EQ(files.at("mix.swf_res/logo.png"),
              std::string(reinterpret_cast<const char*>(swfkit::filtered_png(3, 2, 8, 6, 0).data()),
                          swfkit::filtered_png(3, 2, 8, 6, 0).size()));
    EXPECT_FALSE(testkit::file_exists(dir.file("deep.swf_res/level.swf_res/level.swf_res/level.swf_res/"
                                               "level.swf_res/level.swf_res")));
    EXPECT_NE(run.output.find("<load>: movie deep.swf#9#9#9#9#9 lies more than 4 movies deep"), std::string::npos);
    EXPECT_NE(run.output.find("binary data mix.swf#6 looks like a movie but does not load"), std::string::npos);
    EXPECT_NE(run.error.find("2 movies read, 0 refused; 22 bitmaps written"), std::string::npos) << run.error;
    // Each inner movie's lines come after its holder's, led by its name.
    const size_t outer_done = run.output.find("swf_saveimg done");
    const size_t inner_heading = run.output.find(": deep.swf#9\n");
    EXPECT_LT(outer_done, inner_heading);
    EXPECT_LT(inner_heading, run.output.find(": deep.swf#9#9\n"));

    // The same with every job count; listing and JSON say where each bitmap sits.
    fs::remove_all(dir.file("deep.swf_res"));
    fs::remove_all(dir.file("mix.swf_res"));
    auto parallel = run_program(kTool, {"-j", "4", "deep.swf", "mix.swf"}, dir.path());
    EXPECT_EQ(parallel.output, run.output);
    EXPECT_EQ(files_below(dir.path()), files);
    auto listed = run_program(kTool, {"-l", "mix.swf"}, dir.path());
    EXPECT_NE(listed.output.find("\nmix.swf#8#9\n      1  lossless with alpha"), std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("      5  PNG with alpha                   3x2"), std::string::npos) << listed.output;
    auto json = run_program(kTool, {"--json", "--id", "1", "mix.swf"}, dir.path());
    const auto objects = testkit::split_lines(json.output);
    ASSERT_EQ(objects.size(), 3u) << json.output;
    EXPECT_EQ(field(objects[0], "movie"), "mix.swf#8");
    EXPECT_EQ(field(objects[1], "movie"), "mix.swf#8#9");
    EXPECT_EQ(file_field(objects[1]), "mix.swf_res/8.swf_res/level.swf_res/pic.png");
}

}  // namespace
