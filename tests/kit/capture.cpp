#include "capture.h"

#include <utility>

#ifdef _WIN32
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
#else
#include <unistd.h>
#endif

namespace testkit {

CapturedStdout::CapturedStdout()
{
    std::fflush(stdout);
    sink_ = std::tmpfile();
    if (sink_ == nullptr)
        return;
    saved_fd_ = dup(fileno(stdout));
    if (saved_fd_ < 0 || dup2(fileno(sink_), fileno(stdout)) < 0) {
        if (saved_fd_ >= 0)
            close(saved_fd_);
        saved_fd_ = -1;
        std::fclose(sink_);
        sink_ = nullptr;
    }
}

CapturedStdout::~CapturedStdout() { restore(); }

void CapturedStdout::restore()
{
    if (sink_ == nullptr)
        return;
    std::fflush(stdout);
    dup2(saved_fd_, fileno(stdout));
    close(saved_fd_);
    saved_fd_ = -1;
    std::rewind(sink_);
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, sink_)) > 0)
        taken_.append(buf, n);
    std::fclose(sink_);
    sink_ = nullptr;
}

std::string CapturedStdout::take()
{
    restore();
    return std::move(taken_);
}

}  // namespace testkit
