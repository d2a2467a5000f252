// Runs with different numbers of workers give the same lines, the same files and the same
// exit status.
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "seed_media.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

struct RunRecord {
    int status;
    std::string output;
    std::string summary;                       // standard error without the time taken
    std::map<std::string, std::string> files;  // every file below the folder: path -> contents
};

std::string without_time(const std::string& summary)
{
    const size_t cut = summary.rfind("; ");
    return cut == std::string::npos ? summary : summary.substr(0, cut);
}

std::map<std::string, std::string> files_below(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), folder).generic_string()] = testkit::read_file(entry.path().string());
    return files;
}

// Extracts a fresh copy of the mixed movies with `args` (the paths are relative, so the
// lines do not depend on the copy's place).
RunRecord run_on_mixed_movies(std::vector<std::string> args)
{
    testkit::TempDir dir("jobs");
    EXPECT_TRUE(swfkit::write_mixed_movies(dir.path()));
    args.push_back(".");
    const testkit::RunResult result = testkit::run_program(testkit::tool(), args, dir.path());
    return {result.status, result.output, without_time(result.error), files_below(dir.path())};
}

void expect_same_run(const RunRecord& a, const RunRecord& b, const std::string& what)
{
    EXPECT_EQ(a.status, b.status) << what;
    EXPECT_EQ(a.output, b.output) << what;
    EXPECT_EQ(a.summary, b.summary) << what;
    EXPECT_EQ(a.files, b.files) << what;
}

TEST(CliJobs, EveryJobCountGivesTheSameLinesFilesAndStatus)
{
    const RunRecord one = run_on_mixed_movies({"-j", "1"});
    // The set holds refused movies and broken bitmaps, so the run reports them.
    EXPECT_EQ(one.status, 1);
    EXPECT_NE(one.output.find("swf_saveimg done"), std::string::npos);
    EXPECT_NE(one.output.find("is taken by another bitmap"), std::string::npos);
    EXPECT_NE(one.output.find("does not decode"), std::string::npos);
    EXPECT_GT(one.files.size(), 40u);
    for (const char* jobs : {"2", "8"})
        expect_same_run(one, run_on_mixed_movies({"-j", jobs}), std::string("-j ") + jobs);
}

TEST(CliJobs, QuietRunsAreTheSameForEveryJobCount)
{
    const RunRecord one = run_on_mixed_movies({"-q", "-j1"});
    EXPECT_NE(one.output.find("f_junk.swf"), std::string::npos);
    EXPECT_EQ(one.output.find("a_fws.swf"), std::string::npos);  // nothing went wrong there
    for (const char* jobs : {"-j2", "-j8"})
        expect_same_run(one, run_on_mixed_movies({"-q", jobs}), jobs);
}

TEST(CliJobs, ClassNamesThatCollideAreSettledInTagOrder)
{
    const RunRecord run = run_on_mixed_movies({"-j", "8"});
    // The first "dup" is broken but keeps its name; the second goes to its id; "7" is taken
    // by a class name before bitmap 7 comes.
    EXPECT_EQ(run.files.count("d_names.swf_res/dup.png"), 0u);
    EXPECT_EQ(run.files.count("d_names.swf_res/2.png"), 1u);
    EXPECT_EQ(run.files.count("d_names.swf_res/7.png"), 1u);
    EXPECT_EQ(run.files.count("d_names.swf_res/7_2.png"), 1u);
    EXPECT_EQ(run.files.count("d_names.swf_res/4.png"), 0u);
}

}  // namespace
