#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#ifndef _WIN32
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <iconv.h>
#include <poll.h>
#include <sys/resource.h>
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

// Reads both pipes at once, so a child that fills one pipe while we wait on the other never
// blocks, until the child has ended and what it wrote has been read; closes them and gives
// the child's wait status. It does not wait for the pipes' ends as such: a process the child
// started may hold them open long after (wine starts its services from the first program
// of a session, and they inherit its standard output).
int read_until_exit(pid_t pid, int out_fd, std::string& out, int err_fd, std::string& err)
{
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open_pipes = 2;
    int status = 0;
    bool ended = false;
    char buf[65536];
    while (open_pipes > 0) {
        const int ready = poll(fds, 2, ended ? 0 : 100);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (ready == 0) {
            if (ended)
                break;  // the child is gone and its output read: whoever else holds the pipes
            ended = waitpid(pid, &status, WNOHANG) == pid;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;  // poll skips negative descriptors
                --open_pipes;
            }
        }
    }
    for (const pollfd& p : fds)
        if (p.fd >= 0)
            close(p.fd);
    if (!ended)
        waitpid(pid, &status, 0);
    return status;
}

// In the child, before exec: the limits hold for the program it becomes.
void apply_limits(const RunLimits& limits)
{
    if (limits.address_space != 0) {
        rlimit limit{limits.address_space, limits.address_space};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (limits.file_size != 0) {
        // As a shell leaves it: a write past the limit raises SIGXFSZ, which the program
        // itself has to ignore to see the write fail and go on.
        std::signal(SIGXFSZ, SIG_DFL);
        rlimit limit{limits.file_size, limits.file_size};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (limits.seconds != 0)
        alarm(limits.seconds);  // the pending alarm survives exec
}

}  // namespace

bool running_windows_programs() { return runner() != nullptr; }

namespace {

std::string chosen_or(const char* variable, const char* built)
{
    const char* chosen = std::getenv(variable);
    return chosen != nullptr ? chosen : built;
}

}  // namespace

std::string tool() { return chosen_or("PIXSIEVE_TOOL", PIXSIEVE_BIN); }

std::string edit_tool() { return chosen_or("PIXSIEVE_EDIT_TOOL", PIXSIEVE_EDIT_BIN); }

namespace {

// `text` converted by iconv between the two encodings; false when it is not valid text
// in `from`.
bool iconv_text(const char* to, const char* from, const std::string& text, std::string* out)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    std::string in = text;
    out->assign(4 * text.size() + 4, '\0');
    char* in_ptr = in.data();
    char* out_ptr = out->data();
    size_t in_left = in.size(), out_left = out->size();
    const bool ok = iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1);
    iconv_close(cd);
    out->resize(out->size() - out_left);
    return ok;
}

}  // namespace

bool is_valid_utf8(const std::string& text)
{
    std::string wide;
    return iconv_text("UTF-32LE", "UTF-8", text, &wide);
}

std::string utf8_from_gbk(const std::string& gbk)
{
    std::string utf8;
    return iconv_text("UTF-8", "CP936", gbk, &utf8) ? utf8 : std::string();
}

std::string native_name(const std::string& gbk) { return utf8_from_gbk(gbk); }

std::string console_text(const std::string& gbk) { return running_windows_programs() ? gbk : utf8_from_gbk(gbk); }

bool is_pause_prompt(const std::string& line)
{
    // "请按任意键继续" (press any key to continue) in GBK.
    return line.find("Press any key") != std::string::npos ||
           line.find("\xC7\xEB\xB0\xB4\xC8\xCE\xD2\xE2\xBC\xFC\xBC\xCC\xD0\xF8") != std::string::npos;
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                      const RunLimits& limits)
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
    const int status = read_until_exit(pid, pipefd[0], result.output, errfd[0], result.error);
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
