// The pixsieve command, run as a user runs it.
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "program_suite.h"

namespace {

using namespace program_suite;

swfkit::Movie plain_movie(Container c)
{
    swfkit::Movie m;
    m.container = c;
    m.tag(9, Bytes{10, 20, 30});
    m.end();
    return m;
}

std::vector<std::string> messages(const std::string& output)
{
    std::vector<std::string> out;
    for (const std::string& line : testkit::split_lines(output)) {
        size_t at = line.find(">: ");
        out.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return out;
}

bool is_dir(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(Cli, NoArgumentsPrintsUsageAndDoesNotWaitWithoutATerminal)
{
    auto r = run_program(kTool, {});
    EXPECT_EQ(r.status, 0);
    auto lines = testkit::split_lines(r.output);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0],
              testkit::console_text(
                  "\xB9\xA4\xBE\xDF\xC3\xFB\xB3\xC6\xA3\xBA\xCC\xE1\xC8\xA1swf\xD6\xD0\xB5\xC4\xCD\xBC\xC6\xAC"));
    EXPECT_EQ(lines[1],
              testkit::console_text("\xCA\xB9\xD3\xC3\xCB\xB5\xC3\xF7\xA3\xBApixsieve.exe a.swf b.swf c.swf"));
    EXPECT_EQ(
        lines[2],
        testkit::console_text(
            "(\xBB\xF2\xBF\xC9\xD6\xB1\xBD\xD3\xCD\xCF\xB6\xAF\xB6\xE0\xB8\xF6swf\xB5\xBD\xCD\xBC\xB1\xEA\xC9\xCF)"));
    EXPECT_EQ(lines[3].rfind("---by ", 0), 0u);
    EXPECT_TRUE(testkit::is_pause_prompt(lines[4])) << lines[4];
}

TEST(Cli, LoadsEveryContainerAndMakesTheFolder)
{
    testkit::TempDir dir("cli");
    for (auto [name, c] : {std::pair{"f.swf", Container::fws}, {"c.swf", Container::cws}, {"z.swf", Container::zws}})
        ASSERT_TRUE(swfkit::write_file(dir.file(name), plain_movie(c).build()));
    auto r = run_program(kTool, {"f.swf", "c.swf", "z.swf"}, dir.path());
    EXPECT_EQ(r.status, 0);
    for (const char* name : {"f.swf_res", "c.swf_res", "z.swf_res"})
        EXPECT_TRUE(is_dir(dir.file(name))) << name;
    auto m = messages(r.output);
    ASSERT_GE(m.size(), 6u);
    EXPECT_EQ(m[0], "f.swf");
    EXPECT_EQ(m[1], "stream->bitpos:1");
    EXPECT_EQ(m[2], "framerate:24,totalframe:1");
    EXPECT_EQ(m[3], "[TAG]:SetBackgroundColor (V1.0),3");
    EXPECT_EQ(m[4], "[TAG]:End (V1.0),0");
    EXPECT_EQ(m[5], "tagnum:2");
    EXPECT_NE(r.output.find("c.swf\n[DEBUG] swf:"), std::string::npos);
    EXPECT_NE(r.output.find(testkit::console_text("cws\xBD\xE2\xD1\xB9\xCB\xF5OK")), std::string::npos);
    EXPECT_NE(r.output.find(testkit::console_text("zws\xBD\xE2\xD1\xB9\xCB\xF5OK")), std::string::npos);
}

TEST(Cli, UnreadableMoviesAreSkippedAndReportedInTheExitStatus)
{
    testkit::TempDir dir("cli_bad");
    ASSERT_TRUE(swfkit::write_file(dir.file("good.swf"), plain_movie(Container::cws).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("junk.swf"), Bytes{'C', 'W', 'S', 9, 100, 0, 0, 0, 1, 2, 3}));
    auto r = run_program(kTool, {"none*.swf", "junk.swf", "good.swf"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(is_dir(dir.file("good.swf_res")));
    EXPECT_FALSE(testkit::file_exists(dir.file("junk.swf_res")));
    EXPECT_FALSE(testkit::file_exists(dir.file("none*.swf_res")));
    EXPECT_NE(r.output.find("tagnum:2"), std::string::npos);
}

TEST(Cli, SameMovieTwiceSpacesInPathsAndAFileInTheFolderPlace)
{
    testkit::TempDir dir("cli_twice");
    ASSERT_TRUE(swfkit::write_file(dir.file("my movie.swf"), plain_movie(Container::fws).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("b.swf"), plain_movie(Container::fws).build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("b.swf_res"), Bytes{1}));  // a file, not a folder
    auto r = run_program(kTool, {"my movie.swf", "my movie.swf", dir.file("b.swf")}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(is_dir(dir.file("my movie.swf_res")));
    EXPECT_FALSE(is_dir(dir.file("b.swf_res")));
}

TEST(Cli, OverlongPathIsRefusedNotTruncated)
{
    std::string path = "/tmp/" + std::string(5000, 'a') + ".swf";
    auto r = run_program(kTool, {path});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("[DEBUG] swf:"), std::string::npos);
}

}  // namespace
