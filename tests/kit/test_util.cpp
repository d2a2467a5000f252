#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <iconv.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace testkit {

TempDir::TempDir(const std::string& tag)
{
#ifdef _WIN32
    // No mkdtemp in the Windows runtime: try random names until one is new.
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device seed;
    std::mt19937 pick(seed());
    for (int attempt = 0; attempt < 100 && path_.empty() && !ec; ++attempt) {
        const fs::path candidate = base / ("pixsieve_" + tag + "_" + std::to_string(pick()));
        if (fs::create_directory(candidate, ec))
            path_ = candidate.string();
    }
#else
    std::string pattern = std::filesystem::temp_directory_path().string() + "/pixsieve_" + tag + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    path_ = mkdtemp(buf.data()) ? buf.data() : "";
#endif
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

#ifndef _WIN32

namespace {

const char* runner() { return std::getenv("PIXSIEVE_RUNNER"); }

// A Windows program writes "\r\n" in text mode; the suites compare plain lines.
std::string without_carriage_returns(const std::string& text)
{
    std::string plain;
    plain.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            plain += text[i];
    return plain;
}

// In the child, before exec: the limits hold for the program it becomes.
void apply_limits(const RunLimits& limits)
{
    if (limits.address_space != 0) {
        rlimit limit{limits.address_space, limits.address_space};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (limits.file_size != 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead of ending the program
        rlimit limit{limits.file_size, limits.file_size};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (limits.seconds != 0)
        alarm(limits.seconds);  // the pending alarm survives exec
}

}  // namespace

bool running_windows_programs() { return runner() != nullptr; }

std::string tool_under_test(const char* built, const char* variable)
{
    const char* chosen = std::getenv(variable);
    return chosen != nullptr ? chosen : built;
}

std::string native_name(const std::string& gbk)
{
    if (!running_windows_programs())
        return gbk;
    // wine turns the program's code-page-936 names into UTF-8 file names.
    iconv_t cd = iconv_open("UTF-8", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return gbk;
    std::string in = gbk, out(4 * gbk.size() + 4, '\0');
    char* in_ptr = in.data();
    char* out_ptr = out.data();
    size_t in_left = in.size(), out_left = out.size();
    const bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    if (!ok)
        return gbk;
    out.resize(out.size() - out_left);
    return out;
}

bool is_pause_prompt(const std::string& line)
{
    // "请按任意键继续" (press any key to continue) in GBK.
    return line.find("Press any key") != std::string::npos ||
           line.find("\xC7\xEB\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBC\xCC\xD0\xF8") != std::string::npos;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd, const RunLimits& limits)
{
    int pipefd[2], errfd[2];
    RunResult result;
    if (pipe(pipefd) != 0)
        return result;
    if (pipe(errfd) != 0) {
        close(pipefd[0]);
        close(pipefd[1]);
        return result;
    }
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDOUT_FILENO);
        dup2(errfd[1], STDERR_FILENO);
        close(pipefd[0]);
        close(pipefd[1]);
        close(errfd[0]);
        close(errfd[1]);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        apply_limits(limits);
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv;
        if (runner() != nullptr)
            argv.push_back(const_cast<char*>(runner()));
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    close(errfd[1]);
    char buf[65536];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0)
        result.output.append(buf, static_cast<size_t>(n));
    while ((n = read(errfd[0], buf, sizeof buf)) > 0)  // the tools say little on stderr
        result.error.append(buf, static_cast<size_t>(n));
    close(pipefd[0]);
    close(errfd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.raw_output = result.output;
    if (running_windows_programs()) {
        result.output = without_carriage_returns(result.output);
        result.error = without_carriage_returns(result.error);
    }
    return result;
}

#endif  // _WIN32

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace testkit
