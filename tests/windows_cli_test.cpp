// What only the Windows programs do: the command interpreter's pause, wildcard expansion
// by the runtime, CRLF line ends, Windows file-name rules. make test-windows runs these
// against the .exe files under wine (PIXSIEVE_RUNNER); elsewhere they are skipped.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "program_suite.h"
#include "swf/swf.h"

namespace {

using namespace program_suite;

#define SKIP_UNLESS_WINDOWS_PROGRAMS()                                                                                 \
    if (!testkit::running_windows_programs())                                                                          \
    GTEST_SKIP() << "runs against the Windows programs (make test-windows)"

swfkit::Movie named_bitmaps(const std::vector<std::pair<uint16_t, std::string>>& names)
{
    swfkit::Movie m;
    m.tag(kTagSymbolClass, swfkit::symbol_class_body(names));
    for (const auto& entry : names)
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(entry.first, 5, 1, 1, Bytes{255, 1, 2, 3}));
    m.end();
    return m;
}

// The paths the tool opened, in order.
std::vector<std::string> opened(const std::string& output)
{
    std::vector<std::string> paths;
    const std::string mark = "<swf_readfile>: ";
    for (const std::string& line : testkit::split_lines(output)) {
        const size_t at = line.find(mark);
        if (at != std::string::npos && line.find("cannot read") == std::string::npos)
            paths.push_back(line.substr(at + mark.size()));
    }
    return paths;
}

// Line feeds written without the carriage return that text mode puts before each.
size_t bare_line_feeds(const std::string& text)
{
    size_t count = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ++count;
    return count;
}

TEST(WindowsCli, UsageThenTheInterpretersPauseWithCrlfLines)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    auto r = run_program(kTool, {});
    EXPECT_EQ(r.status, 0);
    // Text mode: every line feed the program writes reaches the console as CR LF.
    EXPECT_NE(r.raw_output.find("\xC6\xAC\r\n\xCA\xB9"), std::string::npos);
    EXPECT_NE(r.raw_output.find("c.swf\r\n("), std::string::npos);
    EXPECT_NE(r.raw_output.find("invalid)\r\n"), std::string::npos);
    EXPECT_EQ(bare_line_feeds(r.raw_output), 0u);
    // The prompt comes from the command interpreter's "pause", in the system's language:
    // a Chinese one on code page 936, "请按任意键继续" (press any key to continue).
    auto lines = testkit::split_lines(r.output);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[4].rfind("\xC7\xEB\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBC\xCC\xD0\xF8", 0), 0u) << lines[4];
}

TEST(WindowsCli, WildcardsExpandInCaseInsensitiveOrder)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    testkit::TempDir dir("win_wild");
    for (const char* name : {"B.swf", "c.swf", "a.swf"})
        ASSERT_TRUE(swfkit::write_file(dir.file(name), named_bitmaps({{1, "x"}}).build()));
    auto r = run_program(kTool, {"*.swf", "none*.swf", "[ab].swf"}, dir.path());
    EXPECT_EQ(r.status, 1);  // the two patterns that match nothing are paths that do not open
    EXPECT_EQ(opened(r.output), (std::vector<std::string>{"a.swf", "B.swf", "c.swf", "none*.swf", "[ab].swf"}));
    EXPECT_NE(r.output.find("cannot read none*.swf"), std::string::npos);
    EXPECT_NE(r.output.find("cannot read [ab].swf"), std::string::npos);  // '[' is no wildcard
    EXPECT_EQ(bare_line_feeds(r.raw_output), 0u);                         // the debug lines too
    for (const char* folder : {"a.swf_res/x.png", "B.swf_res/x.png", "c.swf_res/x.png"})
        EXPECT_TRUE(testkit::file_exists(dir.file(folder))) << folder;
}

TEST(WindowsCli, ChineseAndRefusedCharactersInClassNames)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    testkit::TempDir dir("win_names");
    // Class names are UTF-8 in the movie and GBK (code page 936) in file names. "乗" is 81 5C and "亅" is
    // 81 7C in GBK: their trail bytes are '\' and '|' and must not be replaced.
    auto movie = named_bitmaps({{1, "\xE4\xB8\xAD\xE6\x96\x87"},  // 中文
                                {2, "\xE4\xB9\x97\xE4\xBA\x85"},  // 乗亅
                                {3, "a:b*c?d\"e<f>g|h\\i"},
                                {4, "con"},
                                {5, "aux.ui"}});
    ASSERT_TRUE(swfkit::write_file(dir.file("a&b %x%.swf"), movie.build()));
    auto r = run_program(kTool, {"a&b %x%.swf"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string res = "a&b %x%.swf_res/";  // made without a shell, so '&' and '%' are plain
    EXPECT_TRUE(testkit::file_exists(dir.file(res + testkit::native_name("\xD6\xD0\xCE\xC4.png"))));
    EXPECT_TRUE(testkit::file_exists(dir.file(res + testkit::native_name("\x81\x5C\x81\x7C.png"))));
    EXPECT_TRUE(testkit::file_exists(dir.file(res + "a_b_c_d_e_f_g_h_i.png")));
    EXPECT_TRUE(testkit::file_exists(dir.file(res + "_con.png")));  // not the console device
    EXPECT_TRUE(testkit::file_exists(dir.file(res + "_aux.ui.png")));
}

TEST(WindowsCli, NamesKeepEveryCharacterConsoleLinesStayInTheCodePage)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    testkit::TempDir dir("win_unicode");
    // Korean, Japanese and emoji names are files of those very names. "\xC3\x89" "a" and
    // "\xC3\xA9" "a" (Éa, éa) are one name to Windows, so the second goes under its id; a byte
    // that is not UTF-8 becomes "_".
    const std::string korean = "\xED\x95\x9C\xEA\xB5\xAD", japanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
                      emoji = "\xF0\x9F\x98\x80";
    auto movie = named_bitmaps({{1, korean},
                                {2, japanese},
                                {3, emoji},
                                {4, "\xC3\x89"
                                    "a"},
                                {5, "\xC3\xA9"
                                    "a"},
                                {6, "a\x80z"}});
    ASSERT_TRUE(swfkit::write_file(dir.file(korean + ".swf"), movie.build()));
    auto r = run_program(kTool, {korean + ".swf"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.output;
    const std::string res = korean + ".swf_res/";
    for (const std::string& file : {korean + ".png", japanese + ".png", emoji + ".png",
                                    std::string("\xC3\x89"
                                                "a.png"),
                                    std::string("5.png"), std::string("a_z.png")})
        EXPECT_TRUE(testkit::file_exists(dir.file(res + file))) << file;
    // The lines are GBK, which spells é but not Korean.
    EXPECT_EQ(opened(r.output), std::vector<std::string>{"??.swf"});
    EXPECT_NE(r.output.find("\xA8\xA6"
                            "a.png is taken by another bitmap; bitmap 5 is written as 5.png"),
              std::string::npos)
        << r.output;

    // pixsieve-edit takes such paths, and stores an added name as typed.
    auto edit = run_program(testkit::edit_tool(),
                            {korean + ".swf", japanese + ".swf", "--add", emoji + korean, res + japanese + ".png"},
                            dir.path());
    ASSERT_EQ(edit.status, 0) << edit.output << edit.error;
    r = run_program(kTool, {japanese + ".swf"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(testkit::file_exists(dir.file(japanese + ".swf_res/" + emoji + korean + ".png")));
}

TEST(WindowsCli, FolderArgumentsWithAnOutputFolder)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    testkit::TempDir dir("win_folders");
    std::filesystem::create_directories(dir.file("games/Level 1"));
    for (const char* name : {"games/B.swf", "games/a.SWF", "games/Level 1/intro.swf", "games/notes.txt"})
        ASSERT_TRUE(swfkit::write_file(dir.file(name), named_bitmaps({{1, "x"}}).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("intro.swf"), named_bitmaps({{2, "y"}}).build()));
    // The last argument names intro.swf again, in other letters: the same movie, done once.
    auto r = run_program(kTool, {"-o", "out\\new", "games\\", "intro.swf", "games/Level 1/../../INTRO.SWF"},
                         dir.path());
    EXPECT_EQ(r.status, 0) << r.output << r.error;
    EXPECT_EQ(opened(r.output),
              (std::vector<std::string>{"games\\a.SWF", "games\\B.swf", "games\\Level 1\\intro.swf", "intro.swf"}));
    for (const char* file : {"out/new/a.SWF_res/x.png", "out/new/B.swf_res/x.png",
                             "out/new/Level 1/intro.swf_res/x.png", "out/new/intro.swf_res/y.png"})
        EXPECT_TRUE(testkit::file_exists(dir.file(file))) << file;
    EXPECT_FALSE(testkit::file_exists(dir.file("games/a.SWF_res")));
    EXPECT_FALSE(testkit::file_exists(dir.file("out/new/intro.swf~2_res")));
    EXPECT_FALSE(testkit::file_exists(dir.file("out/new/INTRO.SWF~2_res")));
    EXPECT_EQ(testkit::split_lines(r.error).size(), 1u) << r.error;
}

TEST(WindowsCli, OverlongPathsAreRefusedWithALine)
{
    SKIP_UNLESS_WINDOWS_PROGRAMS();
    testkit::TempDir dir("win_long");
    // Fits MAX_PATH as a movie, but its folder name "..._res" does not.
    const std::string prefix = "Z:" + std::filesystem::canonical(dir.path()).string() + "/";
    const std::string name = std::string(259 - prefix.size() - 4 - 2, 'm') + ".swf";
    ASSERT_TRUE(swfkit::write_file(dir.file(name), named_bitmaps({{1, "x"}}).build()));
    auto r = run_program(kTool, {prefix + name}, dir.path());
    EXPECT_NE(r.output.find("path too long"), std::string::npos) << r.output;
}

}  // namespace
