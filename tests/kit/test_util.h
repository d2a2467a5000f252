// Small helpers shared by the tests: temporary folders, running the built tools.
// Capturing standard output: capture.h.
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

#ifndef _WIN32
struct RunResult {
    int status = -1;         // exit status, or -1 when the program did not exit normally
    std::string output;      // standard output, with "\r\n" read as "\n" for a Windows program
    std::string error;       // standard error, the same way
    std::string raw_output;  // standard output as written
};

// Resource limits for the started program; 0 leaves a limit as it is.
struct RunLimits {
    unsigned long long address_space = 0;  // bytes of virtual memory (RLIMIT_AS)
    unsigned long long file_size = 0;  // bytes any one file may grow to (RLIMIT_FSIZE); SIGXFSZ as a shell leaves it
    unsigned seconds = 0;              // ended by SIGALRM after this long (a program that hangs fails)
};

// Runs the program with the arguments in `cwd`, stdin from /dev/null. With PIXSIEVE_RUNNER
// set (make test-windows sets "wine"), the program is started through that runner.
RunResult run_program(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = ".",
                      const RunLimits& limits = {});

// True when the suites run the Windows programs (PIXSIEVE_RUNNER is set).
bool running_windows_programs();

// The programs to test: pixsieve and pixsieve-edit as built here, or those that
// PIXSIEVE_TOOL and PIXSIEVE_EDIT_TOOL name (make test-windows names the .exe files).
std::string tool();
std::string edit_tool();

// True for the line a key wait prompts with: ours on POSIX; on Windows the command
// interpreter's "pause", in English or, on code page 936, in Chinese.
bool is_pause_prompt(const std::string& line);

// True when the text is well-formed UTF-8 (iconv decides).
bool is_valid_utf8(const std::string& text);

// GBK text in UTF-8, converted by iconv (empty when iconv cannot).
std::string utf8_from_gbk(const std::string& gbk);

// The name under which a file the program named after a class name shows up here, for a
// name that GBK can spell (given in GBK): UTF-8 both for the Linux programs (which write the
// class name as stored) and for a Windows program under wine (which turns the program's
// code-page-936 names into UTF-8).
std::string native_name(const std::string& gbk);

// The bytes the program under test prints for a message that is given here in GBK: UTF-8
// from the Linux programs, the GBK itself from a Windows program.
std::string console_text(const std::string& gbk);
#endif

// True in a build under AddressSanitizer, where address-space limits (RLIMIT_AS) cannot
// work: its shadow memory alone passes any useful limit.
constexpr bool under_address_sanitizer()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#endif
#endif
    return false;
}

std::vector<std::string> split_lines(const std::string& text);
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);

}  // namespace testkit
