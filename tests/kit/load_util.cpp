#include "load_util.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "capture.h"
#include "test_util.h"

namespace testkit {

Loaded load_movie(const swfkit::Bytes& file, const char* path)
{
    Stream source{};
    stream_resize(&source, static_cast<uint32_t>(file.size()));
    if (!file.empty())
        std::memcpy(source.buf, file.data(), file.size());
    testkit::CapturedStdout capture;
    Loaded result{SwfPtr(swf_read(&source, path)), {}};
    result.lines = split_lines(capture.take());
    stream_clear(&source);
    return result;
}

std::string debug_message(const std::string& line)
{
    size_t at = line.find(">: ");
    return at == std::string::npos ? line : line.substr(at + 3);
}

}  // namespace testkit
