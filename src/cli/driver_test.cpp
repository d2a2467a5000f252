#include "cli/driver.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

struct Parsed {
    bool ok = false;
    DriverOptions options;
    std::string error;
};

Parsed parse(const std::vector<std::string>& args)
{
    Parsed p;
    p.ok = parse_options(args, &p.options, &p.error);
    return p;
}

TEST(DriverOptions, DefaultsAndTheSpellingsOfEachOption)
{
    Parsed plain = parse({"a.swf", "folder"});
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.options.paths, (std::vector<std::string>{"a.swf", "folder"}));
    EXPECT_EQ(plain.options.output, "");
    EXPECT_FALSE(plain.options.quiet);
    EXPECT_EQ(plain.options.jobs, platform_cpu_count());
    EXPECT_GE(plain.options.jobs, 1u);

    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-o", "out", "-q", "-j", "3", "m.swf"},
             {"-oout", "-qj3", "m.swf"},
             {"--output=out", "--quiet", "--jobs=3", "m.swf"},
             {"m.swf", "--output", "out", "-j3", "--quiet"},
         }) {
        Parsed p = parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(p.options.output, "out");
        EXPECT_TRUE(p.options.quiet);
        EXPECT_EQ(p.options.jobs, 3u);
        EXPECT_EQ(p.options.paths, std::vector<std::string>{"m.swf"});
    }
    Parsed limits = parse({"-j", "1", "--jobs", "256", "m.swf"});
    ASSERT_TRUE(limits.ok);
    EXPECT_EQ(limits.options.jobs, kMaxJobs);
}

TEST(DriverOptions, DoubleDashAndLoneDashAreNotOptions)
{
    Parsed p = parse({"-q", "--", "-o", "--help", "-"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.quiet);
    EXPECT_FALSE(p.options.help);
    EXPECT_EQ(p.options.paths, (std::vector<std::string>{"-o", "--help", "-"}));
    EXPECT_EQ(p.options.output, "");
}

TEST(DriverOptions, HelpAndVersionNeedNoPath)
{
    EXPECT_TRUE(parse({"-h"}).options.help);
    EXPECT_TRUE(parse({"--help"}).ok);
    EXPECT_TRUE(parse({"--version"}).options.version);
    EXPECT_FALSE(parse({"--version"}).options.help);
}

TEST(DriverOptions, EachProblemIsNamed)
{
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-z", "m.swf"}, "unknown option '-z'"},
        {{"-qz", "m.swf"}, "unknown option '-z'"},
        {{"--zoom", "m.swf"}, "unknown option '--zoom'"},
        {{"--zoom=2", "m.swf"}, "unknown option '--zoom=2'"},
        {{"m.swf", "-j"}, "option -j needs a value"},
        {{"m.swf", "--jobs"}, "option --jobs needs a value"},
        {{"-j", "0", "m.swf"}, "option -j wants a number from 1 to 256, not '0'"},
        {{"-j", "1000000000000", "m.swf"}, "not '1000000000000'"},
        {{"-j", "+2", "m.swf"}, "not '+2'"},
        {{"-j", " 2", "m.swf"}, "not ' 2'"},
        {{"--output=", "m.swf"}, "option -o needs a folder name"},
        {{"--help=me"}, "option --help takes no value"},
        {{}, "no movie or folder given"},
        {{"-q", "-j", "2"}, "no movie or folder given"},
    };
    for (const auto& [args, message] : cases) {
        Parsed p = parse(args);
        EXPECT_FALSE(p.ok) << message;
        EXPECT_NE(p.error.find(message), std::string::npos) << p.error;
        EXPECT_EQ(p.error.find('\n'), std::string::npos);
    }
}

TEST(DriverOptions, ExitStatusWeighsRefusedMoviesFirst)
{
    RunTotals totals;
    EXPECT_EQ(exit_status(totals), 0);
    totals.bitmaps_skipped = 4;  // a skipped bitmap is reported, not an error of the run
    EXPECT_EQ(exit_status(totals), 0);
    totals.failed_writes = 1;
    EXPECT_EQ(exit_status(totals), 3);
    totals.movies_refused = 1;
    EXPECT_EQ(exit_status(totals), 1);
}

}  // namespace
