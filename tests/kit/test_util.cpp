#include "test_util.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testkit {

TempDir::TempDir(const std::string& tag)
{
    std::string pattern = std::filesystem::temp_directory_path().string() + "/pixsieve_" + tag + "_XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    path_ = mkdtemp(buf.data()) ? buf.data() : "";
}

TempDir::~TempDir()
{
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd)
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
        if (chdir(cwd.c_str()) != 0)
            _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
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
    return result;
}

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
