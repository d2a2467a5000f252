// Small helpers shared by the tests: temporary folders, running the built tools.
#pragma once

#include <string>
#include <vector>

namespace testkit {

// A fresh, empty folder under the test temp dir, removed when the object goes away.
class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;     // exit status, or -1 when the program did not exit normally
    std::string output;  // standard output
    std::string error;   // standard error
};

// Runs the program with the arguments in `cwd`, stdin from /dev/null.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = ".");

std::vector<std::string> split_lines(const std::string& text);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace testkit
