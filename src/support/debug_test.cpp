#include "support/debug.h"

#include <string>

#include <gtest/gtest.h>

#include "capture.h"
#include "platform/platform.h"

namespace {

// Runs `print` with the quiet switch set as asked and returns what reached standard output.
template <typename Print>
std::string printed(bool quiet, Print print)
{
    debug_set_quiet(quiet);
    std::string out = testkit::capture_stdout(print);
    debug_set_quiet(false);
    return out;
}

void a_movie_with_one_problem()
{
    debug_print(DebugKind::heading, "swf", 10, "swf_readfile", "%s", "a.swf");
    debug_line("swf", 11, "swf_read", "tagnum:%d", 3);
    debug_print(DebugKind::heading, "swf", 10, "swf_readfile", "%s", "b.swf");
    debug_line("swf", 12, "read_bits", "id:%d,alpha:%d", 4, 0);
    debug_print(DebugKind::problem, "swf", 13, "read_bits", "image of bitmap %d does not decode, skipped", 4);
    debug_print(DebugKind::problem, "swf", 14, "read_bits", "second problem %s", "here");
}

TEST(DebugLines, EveryKindPrintsTheSameLineWhenNotQuiet)
{
    EXPECT_EQ(printed(false, a_movie_with_one_problem),
              "[DEBUG] swf:10 <swf_readfile>: a.swf\n"
              "[DEBUG] swf:11 <swf_read>: tagnum:3\n"
              "[DEBUG] swf:10 <swf_readfile>: b.swf\n"
              "[DEBUG] swf:12 <read_bits>: id:4,alpha:0\n"
              "[DEBUG] swf:13 <read_bits>: image of bitmap 4 does not decode, skipped\n"
              "[DEBUG] swf:14 <read_bits>: second problem here\n");
}

TEST(DebugLines, QuietKeepsProblemsLedOnceByTheirHeading)
{
    EXPECT_EQ(printed(true, a_movie_with_one_problem),
              "[DEBUG] swf:10 <swf_readfile>: b.swf\n"
              "[DEBUG] swf:13 <read_bits>: image of bitmap 4 does not decode, skipped\n"
              "[DEBUG] swf:14 <read_bits>: second problem here\n");
    EXPECT_EQ(printed(true, [] { DEBUG_LINE("swf", "nothing wrong"); }), "");
    // A heading held back by one quiet run does not leak into the next.
    EXPECT_EQ(printed(true, [] { DEBUG_PROBLEM("stream", "%s", "broken"); }).find("b.swf"), std::string::npos);
}

TEST(DebugLines, LongMessagesAreNotCut)
{
    const std::string name(5000, 'n');
    const std::string out = printed(true, [&] { DEBUG_PROBLEM_IN("swf", "f", "cannot write %s", name.c_str()); });
    EXPECT_EQ(out, "[DEBUG] swf:" + std::to_string(__LINE__ - 1) + " <f>: cannot write " + name + "\n");
}

TEST(DebugLines, ControlBytesOfNamesArePrintedEscaped)
{
    const char* name = "a\x1b[2J\r\n\x7f\xE8\x83\x8C\t";
    const std::string out = printed(false, [&] { debug_line("swf", 7, "f", "%s.png", name); });
    // The letter is printed in the console's text encoding (GBK on Windows); only control bytes are escaped.
    const std::string letter = platform_console_text("\xE8\x83\x8C", '_');
    EXPECT_EQ(out, "[DEBUG] swf:7 <f>: a\\x1b[2J\\x0d\\x0a\\x7f" + letter + "\\x09.png\n");
}

TEST(DebugLines, TheHookRunsBeforeEachPrintedLineOnly)
{
    int calls = 0;
    debug_set_before_output([](void* count) { ++*static_cast<int*>(count); }, &calls);
    printed(true, a_movie_with_one_problem);
    EXPECT_EQ(calls, 3);  // the heading and two problems; nothing for dropped lines
    debug_set_before_output(nullptr, nullptr);
    printed(false, a_movie_with_one_problem);
    EXPECT_EQ(calls, 3);
}

}  // namespace
