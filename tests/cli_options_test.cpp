// The pixsieve command's options, folder arguments, quiet runs and summary, run as a user
// runs them.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "program_suite.h"

namespace {

using namespace program_suite;
const std::string kEdit = testkit::edit_tool();

// A movie with one lossless bitmap named `name`, whose pixels depend on `seed`.
Bytes named_movie(const std::string& name, uint8_t seed, Container c = Container::cws)
{
    swfkit::Movie m;
    m.container = c;
    m.tag(76, swfkit::symbol_class_body({{1, name}}));
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, Bytes{255, seed, 2, 3, 255, 4, seed, 6, 128, 7, 8, seed, 0, 0, 0, 0}));
    m.end();
    return m.build();
}

// Three bitmaps of three kinds, one of them a stored JPEG.
Bytes three_bitmaps(uint8_t seed)
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 1, 1, Bytes{255, seed, 2, 3}));
    m.tag(20, swfkit::lossless_body(2, 5, 1, 2, Bytes{0, 1, seed, 3, 0, 4, 5, 6}));
    m.tag(21, swfkit::jpeg_body(3, Bytes{0xFF, 0xD8, seed, 0xFF, 0xD9}));
    m.end();
    return m.build();
}

// One good bitmap, then one whose pixel data is cut short.
Bytes broken_bitmap_movie()
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 1, 1, Bytes{255, 9, 9, 9}));
    Bytes broken = swfkit::lossless_body(2, 5, 4, 4, Bytes(64, 7));
    broken.resize(broken.size() - 3);
    m.tag(36, broken);
    m.end();
    return m.build();
}

const Bytes kJunk = {'C', 'W', 'S', 9, 100, 0, 0, 0, 1, 2, 3};

void put(const std::string& path, const Bytes& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    ASSERT_TRUE(swfkit::write_file(path, bytes)) << path;
}

// Paths as the Linux program prints them: the Windows one joins with "\\".
std::string slashed(std::string text)
{
    if (testkit::running_windows_programs())
        std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

// The movies the tool opened, in order.
std::vector<std::string> opened(const std::string& output)
{
    std::vector<std::string> paths;
    const std::string mark = "<swf_readfile>: ";
    for (const std::string& line : testkit::split_lines(output)) {
        const size_t at = line.find(mark);
        if (at != std::string::npos)
            paths.push_back(slashed(line.substr(at + mark.size())));
    }
    return paths;
}

// Every file below `root`, as paths relative to it, sorted.
std::vector<std::string> files_below(const std::string& root)
{
    std::vector<std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (!it->is_directory() && !it->is_symlink())
            files.push_back(fs::relative(it->path(), root).string());
    std::sort(files.begin(), files.end());
    return files;
}

struct Summary {
    unsigned read = 0, refused = 0, written = 0, skipped = 0, failed = 0;
    bool found = false;
};

Summary parse_summary(const std::string& error)
{
    Summary s;
    double seconds = 0;
    char word[4][16];
    s.found = std::sscanf(error.c_str(),
                          "pixsieve: %u movie%15s read, %u refused; %u bitmap%15s written, %u skipped; "
                          "%u file%15s could not be written; %lf s",
                          &s.read, word[0], &s.refused, &s.written, word[1], &s.skipped, &s.failed, word[2],
                          &seconds) == 9;
    return s;
}

// ---------------------------------------------------------------------------------------

TEST(CliOptions, HelpListsEveryOptionAndExitStatusAndVersionAnswers)
{
    for (const char* flag : {"-h", "--help"}) {
        auto r = run_program(kTool, {flag, "ignored.swf"});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_EQ(r.error, "") << flag;
        EXPECT_FALSE(testkit::is_pause_prompt(r.output));
        for (const char* text :
             {"-o, --output DIR", "-q, --quiet", "-j, --jobs N", "-h, --help", "--version", "--  ", "  0  ",
              "-l, --list", "--id LIST", "--name GLOB", "--json", "  1  a movie could not be read",
              "  2  wrong arguments", "  3  a bitmap could not be written"})
            EXPECT_NE(r.output.find(text), std::string::npos) << flag << ": " << text;
    }
    auto version = run_program(kTool, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output.rfind("pixsieve ", 0), 0u);
    EXPECT_EQ(testkit::split_lines(version.output).size(), 1u);

    for (const char* flag : {"-h", "--help"}) {
        auto r = run_program(kEdit, {"in.swf", flag});
        EXPECT_EQ(r.status, 0) << flag;
        for (const char* text : {"--replace", "--small", "--add NAME IMAGE", "--fws/--cws/--zws", "--help", "--version",
                                 "exit status: 0 done, 1 failed", "2 wrong arguments"})
            EXPECT_NE(r.output.find(text), std::string::npos) << flag << ": " << text;
    }
    // The manual pages describe this version.
    const std::string number = version.output.substr(9, version.output.size() - 10);
    for (const char* page : {"/man/pixsieve.1", "/man/pixsieve-edit.1"})
        EXPECT_NE(testkit::read_file(std::string(PIXSIEVE_SOURCE_DIR) + page).find("\"pixsieve " + number + "\""),
                  std::string::npos)
            << page;

    auto edit_version = run_program(kEdit, {"--version"});
    EXPECT_EQ(edit_version.status, 0);
    EXPECT_EQ(edit_version.output.rfind("pixsieve-edit ", 0), 0u);
    EXPECT_EQ(edit_version.output.substr(14), version.output.substr(9));  // one version for both
}

TEST(CliOptions, WrongArgumentsGiveOneLineExitTwoAndExtractNothing)
{
    testkit::TempDir dir("cli_badopt");
    put(dir.file("m.swf"), named_movie("pic", 1));
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-x", "m.swf"}, "'-x'"},
        {{"--bogus", "m.swf"}, "'--bogus'"},
        {{"m.swf", "-o"}, "-o needs a value"},
        {{"m.swf", "--output"}, "--output needs a value"},
        {{"-o", "", "m.swf"}, "-o needs a folder name"},
        {{"-j", "0", "m.swf"}, "not '0'"},
        {{"-j", "257", "m.swf"}, "not '257'"},
        {{"-j", "two", "m.swf"}, "not 'two'"},
        {{"-j-1", "m.swf"}, "not '-1'"},
        {{"--jobs=", "m.swf"}, "not ''"},
        {{"--quiet=yes", "m.swf"}, "--quiet takes no value"},
        {{"--list=all", "m.swf"}, "--list takes no value"},
        {{"--json=1", "m.swf"}, "--json takes no value"},
        {{"--id", "5-3", "m.swf"}, "not '5-3'"},
        {{"--id=70000", "m.swf"}, "not '70000'"},
        {{"--id", "1,,2", "m.swf"}, "not '1,,2'"},
        {{"m.swf", "--id"}, "--id needs a value"},
        {{"--name=", "m.swf"}, "--name needs a pattern"},
        {{"-l", "--name"}, "--name needs a value"},
        {{"-q"}, "no movie or folder given"},
        {{
             "-j",
             "2",
             "--",
         },
         "no movie or folder given"},
    };
    for (const auto& [args, problem] : cases) {
        auto r = run_program(kTool, args, dir.path());
        const std::string shown = args.empty() ? "" : args[0] + " ...";
        EXPECT_EQ(r.status, 2) << shown;
        EXPECT_EQ(r.output, "") << shown;
        auto lines = testkit::split_lines(r.error);
        ASSERT_EQ(lines.size(), 1u) << shown << ": " << r.error;
        EXPECT_EQ(lines[0].rfind("pixsieve: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(problem), std::string::npos) << lines[0];
        EXPECT_FALSE(testkit::file_exists(dir.file("m.swf_res"))) << shown;
    }
}

TEST(CliOptions, DoubleDashEndsTheOptions)
{
    testkit::TempDir dir("cli_dashes");
    put(dir.file("-q"), named_movie("pic", 1));
    auto r = run_program(kTool, {"-j", "1", "--", "-q"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.error;
    EXPECT_TRUE(testkit::file_exists(dir.file("-q_res/pic.png")));
    EXPECT_NE(r.output.find("<swf_readfile>: -q\n"), std::string::npos);  // not quiet: "-q" was a movie
}

// Every option alone and with -j gives the files and lines of a plain run (quiet: no lines,
// as nothing goes wrong), in the folder the options choose.
TEST(CliOptions, EachOptionAloneAndWithJobsWritesTheSameFiles)
{
    struct Variant {
        std::vector<std::string> options;
        bool quiet;
        bool elsewhere;  // -o out
    };
    const std::vector<Variant> variants = {
        {{}, false, false},
        {{"-q"}, true, false},
        {{"--quiet"}, true, false},
        {{"-o", "out"}, false, true},
        {{"--output=out"}, false, true},
        {{"-j", "1"}, false, false},
        {{"-j", "2"}, false, false},
        {{"--jobs", "8"}, false, false},
        {{"-j3", "-q"}, true, false},
        {{"-qj2"}, true, false},
        {{"-o", "out", "-j", "2"}, false, true},
        {{"-j", "2", "-q", "-oout"}, true, true},
        {{"--jobs=2", "--quiet", "--output", "out"}, true, true},
    };
    std::string reference_output;
    std::vector<std::string> reference_files, reference_contents;
    for (const Variant& v : variants) {
        testkit::TempDir dir("cli_each");
        put(dir.file("one.swf"), three_bitmaps(1));
        put(dir.file("two.swf"), named_movie("hero", 2, Container::zws));
        std::vector<std::string> args = v.options;
        args.insert(args.end(), {"one.swf", "two.swf"});
        auto r = run_program(kTool, args, dir.path());
        const std::string shown = ::testing::PrintToString(v.options);
        EXPECT_EQ(r.status, 0) << shown;
        const std::string root = v.elsewhere ? dir.file("out") : dir.path();
        std::vector<std::string> files = files_below(root);
        if (v.elsewhere) {  // the movies' own folder holds only the movies
            const std::vector<std::string> movies = {"one.swf", "out", "two.swf"};
            std::vector<std::string> beside;
            for (const auto& entry : fs::directory_iterator(dir.path()))
                beside.push_back(entry.path().filename().string());
            std::sort(beside.begin(), beside.end());
            EXPECT_EQ(beside, movies) << shown;
        } else {
            std::erase_if(files, [](const std::string& f) { return f.find("_res") == std::string::npos; });
        }
        std::vector<std::string> contents;
        for (const std::string& f : files)
            contents.push_back(testkit::read_file(root + "/" + f));
        if (v.options.empty()) {
            reference_output = r.output;
            reference_files = files;
            reference_contents = contents;
            ASSERT_EQ(files.size(), 4u);
            continue;
        }
        EXPECT_EQ(files, reference_files) << shown;
        EXPECT_TRUE(contents == reference_contents) << shown;
        if (v.quiet)
            EXPECT_EQ(r.output, "") << shown;
        else if (!v.elsewhere)
            EXPECT_EQ(r.output, reference_output) << shown;
        else
            EXPECT_EQ(opened(r.output), opened(reference_output)) << shown;
        EXPECT_TRUE(parse_summary(r.error).found) << shown << ": " << r.error;
    }
}

// ---------------------------------------------------------------------------------------

TEST(CliFolders, EveryMovieBelowInNameOrderWithoutLinksOrOtherFiles)
{
    testkit::TempDir dir("cli_tree");
    put(dir.file("games/B.swf"), named_movie("b", 1));
    put(dir.file("games/a.SWF"), named_movie("a", 2, Container::fws));
    put(dir.file("games/c/deep/d.Swf"), named_movie("d", 3, Container::zws));
    put(dir.file("games/c/c.swf"), named_movie("c", 4));
    put(dir.file("games/notes.txt"), Bytes{'h', 'i'});
    put(dir.file("games/movie.swf.bak"), named_movie("bak", 5));
    put(dir.file("games/swf"), named_movie("bare", 6));
    put(dir.file("outside/far.swf"), named_movie("far", 7));
    fs::create_symlink(dir.file("outside"), dir.file("games/c/to_outside"));
    fs::create_symlink(dir.file("games"), dir.file("games/c/loop"));
    fs::create_symlink(dir.file("outside/far.swf"), dir.file("games/linked.swf"));
    fs::create_directories(dir.file("games/empty.swf"));  // a folder with a movie's name

    auto r = run_program(kTool, {"games"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.error;
    std::vector<std::string> expected = {"games/a.SWF", "games/B.swf", "games/c/c.swf", "games/c/deep/d.Swf"};
    // Under wine a POSIX link to a file looks like the file itself.
    const bool links_visible = !testkit::running_windows_programs();
    if (!links_visible)
        expected.push_back("games/linked.swf");
    EXPECT_EQ(opened(r.output), expected);
    for (const char* file :
         {"games/a.SWF_res/a.png", "games/B.swf_res/b.png", "games/c/c.swf_res/c.png", "games/c/deep/d.Swf_res/d.png"})
        EXPECT_TRUE(testkit::file_exists(dir.file(file))) << file;
    for (const char* absent : {"games/linked.swf_res", "outside/far.swf_res", "games/movie.swf.bak_res",
                               "games/swf_res", "games/empty.swf_res"})
        if (links_visible || std::string(absent) != "games/linked.swf_res") {
            EXPECT_FALSE(testkit::file_exists(dir.file(absent))) << absent;
        }

    // A trailing separator and a movie named beside the folder change nothing in the order.
    auto again = run_program(kTool, {"-q", "games/c/", "games/B.swf"}, dir.path());
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.output, "");
    EXPECT_EQ(parse_summary(again.error).read, 3u) << again.error;
}

TEST(CliFolders, OutputKeepsThePathBelowTheFolderSoSameNamesNeverMix)
{
    testkit::TempDir dir("cli_same");
    put(dir.file("game/intro.swf"), named_movie("top", 1));
    put(dir.file("game/level1/intro.swf"), named_movie("one", 2));
    put(dir.file("game/level2/intro.swf"), named_movie("two", 3));
    put(dir.file("other/intro.swf"), named_movie("other", 4));
    auto r = run_program(kTool, {"-o", "out/deeper", "game", "other/intro.swf", "./game/level1/../intro.swf"},
                         dir.path());
    EXPECT_EQ(r.status, 0) << r.error;
    const std::vector<std::string> expected = {"intro.swf_res/top.png", "intro.swf~2_res/other.png",
                                               "level1/intro.swf_res/one.png", "level2/intro.swf_res/two.png"};
    EXPECT_EQ(files_below(dir.file("out/deeper")), expected);
    // The second name of game/intro.swf is the same movie: done once.
    EXPECT_NE(
        slashed(r.output).find("other/intro.swf: output folder out/deeper/intro.swf_res is taken by another movie; "
                               "using out/deeper/intro.swf~2_res"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(opened(r.output).size(), 4u);
    EXPECT_EQ(files_below(dir.file("game")).size(), 3u);  // nothing written beside the movies
}

TEST(CliFolders, ReadOnlyMovieFolderWithOutput)
{
    testkit::TempDir dir("cli_readonly");
    put(dir.file("disc/a.swf"), three_bitmaps(1));
    put(dir.file("disc/sub/b.swf"), named_movie("b", 2));
    fs::permissions(dir.file("disc/sub"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::permissions(dir.file("disc"), fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    auto r = run_program(kTool, {"-q", "-o", "pictures", "disc"}, dir.path());
    fs::permissions(dir.file("disc"), fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(dir.file("disc/sub"), fs::perms::owner_write, fs::perm_options::add);
    EXPECT_EQ(r.status, 0) << r.output << r.error;
    EXPECT_EQ(r.output, "");
    const std::vector<std::string> movies = {"a.swf", "sub/b.swf"};
    EXPECT_EQ(files_below(dir.file("disc")), movies);
    const std::vector<std::string> pictures = {"a.swf_res/1.png", "a.swf_res/2.png", "a.swf_res/3.jpg",
                                               "sub/b.swf_res/b.png"};
    EXPECT_EQ(files_below(dir.file("pictures")), pictures);
    if (geteuid() != 0) {  // root writes anywhere: only a user sees the folder refuse
        fs::permissions(dir.file("disc"), fs::perms::owner_write, fs::perm_options::remove);
        auto beside = run_program(kTool, {"-q", "disc/a.swf"}, dir.path());
        fs::permissions(dir.file("disc"), fs::perms::owner_write, fs::perm_options::add);
        EXPECT_EQ(beside.status, 3);
        EXPECT_NE(beside.output.find("cannot create folder disc/a.swf_res"), std::string::npos) << beside.output;
    }
}

// ---------------------------------------------------------------------------------------

TEST(CliQuiet, OnlyProblemLinesEachLedByItsMovie)
{
    testkit::TempDir dir("cli_quiet");
    put(dir.file("fine.swf"), three_bitmaps(3));
    put(dir.file("broken.swf"), broken_bitmap_movie());
    put(dir.file("junk.swf"), kJunk);
    const std::vector<std::string> args = {"fine.swf", "broken.swf", "junk.swf", "missing.swf"};
    auto loud = run_program(kTool, args, dir.path());
    fs::remove_all(dir.file("fine.swf_res"));
    fs::remove_all(dir.file("broken.swf_res"));
    auto quiet = run_program(kTool, {"-q", "fine.swf", "broken.swf", "junk.swf", "missing.swf"}, dir.path());
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(loud.status, 1);
    auto lines = testkit::split_lines(quiet.output);
    ASSERT_EQ(lines.size(), 6u) << quiet.output;
    EXPECT_NE(lines[0].find("<swf_readfile>: broken.swf"), std::string::npos);
    EXPECT_NE(lines[1].find("<read_lossless>: " +
                            testkit::console_text("\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:-5,outlen:64")),
              std::string::npos);
    EXPECT_NE(lines[2].find("<swf_readfile>: junk.swf"), std::string::npos);
    EXPECT_NE(lines[3].find(testkit::console_text("cws\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC")), std::string::npos);
    EXPECT_NE(lines[4].find("<swf_readfile>: missing.swf"), std::string::npos);
    EXPECT_NE(lines[5].find("cannot read missing.swf"), std::string::npos);
    // The same bytes as in a full run, in the same order.
    size_t at = 0;
    for (const std::string& line : lines) {
        at = loud.output.find(line + "\n", at);
        ASSERT_NE(at, std::string::npos) << line;
    }
    EXPECT_TRUE(testkit::file_exists(dir.file("broken.swf_res/1.png")));
    EXPECT_FALSE(testkit::file_exists(dir.file("broken.swf_res/2.png")));
    EXPECT_EQ(files_below(dir.file("fine.swf_res")).size(), 3u);
}

TEST(CliSummary, FiguresMatchTheFilesActuallyWritten)
{
    testkit::TempDir dir("cli_summary");
    put(dir.file("set/a.swf"), three_bitmaps(1));       // 3 written
    put(dir.file("set/b.swf"), broken_bitmap_movie());  // 1 written, 1 skipped
    put(dir.file("set/c.swf"), kJunk);                  // refused
    swfkit::Movie mapped;                               // colour-mapped: 1 written
    mapped.tag(20, swfkit::lossless_body(7, 3, 2, 2, Bytes(8, 1)));
    mapped.end();
    put(dir.file("set/d.swf"), mapped.build());
    put(dir.file("set/e.swf"), three_bitmaps(2));  // 3 that cannot be written
    put(dir.file("set/e.swf_res"), Bytes{'x'});    // a file where its folder goes
    auto r = run_program(kTool, {"-q", "set"}, dir.path());
    EXPECT_EQ(r.status, 1);  // a refused movie outweighs the files that could not be written
    auto lines = testkit::split_lines(r.error);
    ASSERT_EQ(lines.size(), 1u) << r.error;
    EXPECT_EQ(r.error.find('\r'), std::string::npos);  // no progress bar off a terminal
    Summary s = parse_summary(r.error);
    ASSERT_TRUE(s.found) << r.error;
    size_t files = 0;
    for (const char* folder : {"set/a.swf_res", "set/b.swf_res", "set/d.swf_res"})
        files += files_below(dir.file(folder)).size();
    EXPECT_EQ(s.written, files);
    EXPECT_EQ(s.written, 5u);
    EXPECT_EQ(s.read, 4u);
    EXPECT_EQ(s.refused, 1u);
    EXPECT_EQ(s.skipped, 1u);
    EXPECT_EQ(s.failed, 3u);

    fs::remove(dir.file("set/c.swf"));
    auto unwritable = run_program(kTool, {"-q", "set"}, dir.path());
    EXPECT_EQ(unwritable.status, 3);
    EXPECT_EQ(parse_summary(unwritable.error).failed, 3u);
}

}  // namespace
