#include "load_util.h"

#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "capture.h"
#include "test_util.h"
#include "text/charset.h"

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

std::string printed_text(const std::string& gbk)
{
#ifdef _WIN32
    return gbk;
#else
    charset_init();
    std::string utf8(gbk_to_utf8_capacity(gbk.size()), '\0');
    int written = 0;
    if (gbk.empty() || gbk_to_utf8(gbk.data(), gbk.size(), utf8.data(), utf8.size(), &written) != Fault::none)
        return {};
    utf8.resize(static_cast<size_t>(written));
    return utf8;
#endif
}

}  // namespace testkit
