// The progress bar: on standard error when that is a terminal (a pseudo-terminal here),
// never when it is not.
#include <string>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "swf_builder.h"
#include "test_util.h"

namespace {

using swfkit::Bytes;

const std::string kTool = testkit::tool();

// Movies that keep the tool busy for well over the half second before a bar appears:
// each holds one large bitmap that deflates slowly into its PNG.
void write_slow_movies(const testkit::TempDir& dir, int count)
{
    constexpr uint16_t kSide = 512;
    Bytes argb;
    argb.reserve(size_t{kSide} * kSide * 4);
    uint32_t state = 12345;
    for (size_t i = 0; i < size_t{kSide} * kSide; ++i) {
        state = state * 1103515245 + 12345;
        argb.insert(argb.end(), {255, static_cast<uint8_t>(state >> 24), static_cast<uint8_t>(i), 0});
    }
    swfkit::Movie m;
    m.container = swfkit::Container::CWS;
    m.tag(36, swfkit::lossless_body(1, 5, kSide, kSide, argb));
    m.end();
    const Bytes movie = m.build();
    for (int i = 0; i < count; ++i) {
        std::string name = std::to_string(100 + i);
        name += ".swf";
        ASSERT_TRUE(swfkit::write_file(dir.file(name), movie));
    }
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

TEST(CliProgress, ShownOnATerminalErasedAtTheEndNeverOffIt)
{
    if (testkit::running_windows_programs())
        GTEST_SKIP() << "a pseudo-terminal cannot be handed to a program under wine";
    testkit::TempDir dir("cli_progress");
    constexpr int kMovies = 32;
    write_slow_movies(dir, kMovies);

    TerminalRun run = run_on_terminal({"-q", "-j", "1", "-o", "out", "."}, dir.path());
    EXPECT_EQ(run.status, 0);
    const size_t bar = run.terminal.find("\r[");
    ASSERT_NE(bar, std::string::npos) << run.terminal;
    EXPECT_NE(run.terminal.find(" movies, ", bar), std::string::npos);
    std::string of_all = "/";
    of_all += std::to_string(kMovies);
    of_all += " movies";
    EXPECT_NE(run.terminal.find(of_all), std::string::npos);
    // Erased: the last bar is overwritten by blanks, and the summary starts a clean line.
    const size_t summary = run.terminal.find(summary_start(kMovies));
    ASSERT_NE(summary, std::string::npos) << run.terminal;
    const size_t last_bar = run.terminal.rfind("\r[");
    const std::string tail = run.terminal.substr(last_bar + 1, summary - last_bar - 1);
    const size_t erase = tail.find('\r');
    ASSERT_NE(erase, std::string::npos) << tail;
    const std::string blanks = tail.substr(erase + 1, tail.size() - erase - 2);
    EXPECT_EQ(blanks.find_first_not_of(' '), std::string::npos) << tail;
    EXPECT_GE(blanks.size(), erase) << tail;  // wide enough to cover the bar
    EXPECT_EQ(tail.back(), '\r');

    // The same run with standard error on a pipe: the summary alone.
    auto piped = testkit::run_program(kTool, {"-q", "-o", "out2", "."}, dir.path());
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.output, "");
    EXPECT_EQ(piped.error.find('\r'), std::string::npos) << piped.error;
    EXPECT_EQ(testkit::split_lines(piped.error).size(), 1u) << piped.error;
    EXPECT_EQ(piped.error.rfind(summary_start(kMovies), 0), 0u);
}

}  // namespace
