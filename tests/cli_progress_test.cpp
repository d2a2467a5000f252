// The progress bar in the program: on a terminal (a pseudo-terminal here) whatever it drew
// is gone when the summary is printed; off a terminal it never draws. How it is timed and
// drawn is tested beside it (src/cli/progress_test.cpp) on a clock of the test's own.
#include <string>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "program_suite.h"

namespace {

using namespace program_suite;

// A few small movies, each with one bitmap.
void write_movies(const testkit::TempDir& dir, int count)
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 2, 2, Bytes(16, 200)));
    m.end();
    const Bytes movie = m.build();
    for (int i = 0; i < count; ++i)
        ASSERT_TRUE(swfkit::write_file(dir.file(std::to_string(100 + i) + ".swf"), movie));
}

struct TerminalRun {
    int status = -1;
    std::string terminal;  // what reached the terminal on standard error
};

// Runs the tool with standard error on a pseudo-terminal and standard output on /dev/null.
TerminalRun run_on_terminal(const std::vector<std::string>& args, const std::string& cwd)
{
    TerminalRun run;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0)
        return run;
    if (pid == 0) {
        FILE* sink = std::freopen("/dev/null", "w", stdout);
        if (sink == nullptr || chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv = {const_cast<char*>(kTool.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;  // EIO once the child has closed the terminal
        run.terminal.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

// "pixsieve: N movies read", the start of the summary.
std::string summary_start(int movies)
{
    std::string text = "pixsieve: ";
    text += std::to_string(movies);
    text += " movies read";
    return text;
}

TEST(CliProgress, NothingLeftOnTheTerminalAndNeverDrawnOffIt)
{
    if (testkit::running_windows_programs())
        GTEST_SKIP() << "a pseudo-terminal cannot be handed to a program under wine";
    testkit::TempDir dir("cli_progress");
    constexpr int kMovies = 3;
    write_movies(dir, kMovies);

    TerminalRun run = run_on_terminal({"-q", "-j", "1", "-o", "out", "."}, dir.path());
    EXPECT_EQ(run.status, 0);
    const size_t summary = run.terminal.find(summary_start(kMovies));
    ASSERT_NE(summary, std::string::npos) << run.terminal;
    // A bar drawn on a slow machine is erased: blanks as wide as it, back to the start.
    const size_t last_bar = run.terminal.rfind("\r[", summary);
    if (last_bar != std::string::npos) {
        const std::string tail = run.terminal.substr(last_bar + 1, summary - last_bar - 1);
        const size_t erase = tail.find('\r');
        ASSERT_NE(erase, std::string::npos) << tail;
        const std::string blanks = tail.substr(erase + 1, tail.size() - erase - 2);
        EXPECT_EQ(blanks.find_first_not_of(' '), std::string::npos) << tail;
        EXPECT_GE(blanks.size(), erase) << tail;
        EXPECT_EQ(tail.back(), '\r');
    } else {
        EXPECT_EQ(summary, 0u) << run.terminal;
    }

    // Standard error on a pipe: the summary alone.
    auto piped = testkit::run_program(kTool, {"-q", "-o", "out2", "."}, dir.path());
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.output, "");
    EXPECT_EQ(piped.error.find('\r'), std::string::npos) << piped.error;
    EXPECT_EQ(testkit::split_lines(piped.error).size(), 1u) << piped.error;
    EXPECT_EQ(piped.error.rfind(summary_start(kMovies), 0), 0u);
}

}  // namespace
