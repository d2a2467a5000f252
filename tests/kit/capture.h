// Collects what the code under test prints to standard output (the debug lines).
#pragma once

#include <cstdio>
#include <string>

namespace testkit {

// From construction to take(), standard output goes to a temporary file instead of the
// terminal; take() restores it and returns what was written. Not nestable.
class CapturedStdout {
public:
    CapturedStdout();
    ~CapturedStdout();
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    std::string take();

private:
    void restore();

    std::FILE* sink_ = nullptr;
    int saved_fd_ = -1;
    std::string taken_;
};

// What `action` prints to standard output.
template <typename Action>
std::string capture_stdout(Action&& action)
{
    CapturedStdout capture;
    action();
    return capture.take();
}

}  // namespace testkit
