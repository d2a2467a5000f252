// The test kit's own hazards: capturing output and running programs.
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "capture.h"
#include "test_util.h"

namespace {

TEST(TestKit, CaptureCollectsStdoutAndRestoresIt)
{
    std::string first = testkit::capture_stdout([] {
        std::printf("one %d\n", 1);
        std::fputs("two", stdout);
    });
    EXPECT_EQ(first, "one 1\ntwo");
    // A second capture starts empty: nothing of the first one is left over.
    EXPECT_EQ(testkit::capture_stdout([] { std::printf("three"); }), "three");
    EXPECT_EQ(testkit::capture_stdout([] {}), "");
}

#ifndef _WIN32
// More than a pipe buffer (64 KiB on Linux) on both streams, interleaved: a reader that
// drains one stream before the other would wait forever.
TEST(TestKit, RunProgramReadsLargeStdoutAndStderrTogether)
{
    const std::string script = "i=0; while [ $i -lt 2000 ]; do "
                               "echo \"err line $i with some padding to fill the pipe quickly\" >&2; "
                               "echo \"out line $i\"; i=$((i+1)); done; exit 3";
    testkit::RunResult r = testkit::run_program("/bin/sh", {"-c", script});
    EXPECT_EQ(r.status, 3);
    auto out = testkit::split_lines(r.output);
    auto err = testkit::split_lines(r.error);
    ASSERT_EQ(out.size(), 2000u);
    ASSERT_EQ(err.size(), 2000u);
    EXPECT_EQ(out.back(), "out line 1999");
    EXPECT_EQ(err.back(), "err line 1999 with some padding to fill the pipe quickly");
    EXPECT_GT(r.error.size(), 65536u);
}
#endif

}  // namespace
