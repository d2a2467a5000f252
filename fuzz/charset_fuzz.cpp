// UTF-8 <-> GBK conversion and the normalisers and helpers of the charset module.
// Input: one flag byte (normaliser flags, substring bounds), then the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "charset_model.h"
#include "fuzz_util.h"
#include "text/charset.h"

FUZZ_SETUP(charset)

namespace {

// Output buffers of exactly the documented capacity, so any overrun is caught.
std::vector<char> to_gbk(const char* text, size_t length)
{
    std::vector<char> out(utf8_to_gbk_capacity(length));
    int written = -1;
    if (utf8_to_gbk(text, length, out.data(), out.size(), &written) != Fault::none)
        std::abort();
    if (written < 0)
        std::abort();
    const auto size = static_cast<size_t>(written);
    if (size > length || out[size] != '\0')
        std::abort();
    out.resize(size);
    return out;
}

std::vector<char> to_utf8(const char* text, size_t length)
{
    std::vector<char> out(gbk_to_utf8_capacity(length));
    int written = -1;
    if (gbk_to_utf8(text, length, out.data(), out.size(), &written) != Fault::none)
        std::abort();
    if (written < 0)
        std::abort();
    const auto size = static_cast<size_t>(written);
    if (size >= out.size() || out[size] != '\0')
        std::abort();
    out.resize(size);
    return out;
}

void normalise_copies(const char* text, size_t length, unsigned flags)
{
    std::vector<char> copy(text, text + length);
    copy.push_back('\0');
    size_t before = std::strlen(copy.data());
    utf8_normalize(copy.data(), flags);
    if (std::strlen(copy.data()) > before)
        std::abort();
    std::memcpy(copy.data(), text, length);
    copy[length] = '\0';
    gbk_normalize(copy.data(), flags);
    if (std::strlen(copy.data()) > before)
        std::abort();
}

}  // namespace

FUZZ_TARGET(charset)
{
    if (size < 2 || size >= (1u << 20))
        return false;
    unsigned flags = data[0];
    const char* text = reinterpret_cast<const char*>(data + 1);
    size_t length = size - 1;

    std::vector<char> gbk = to_gbk(text, length);
    std::vector<char> utf8 = to_utf8(text, length);
    // The block paths must agree with reading one character at a time.
    std::string input(text, length);
    if (std::string(gbk.begin(), gbk.end()) != charset_model::utf8_to_gbk(input) ||
        std::string(utf8.begin(), utf8.end()) != charset_model::gbk_to_utf8(input))
        std::abort();
    // Text that came out of the GBK conversion converts back and forth unchanged.
    if (!gbk.empty()) {
        std::vector<char> back = to_utf8(gbk.data(), gbk.size());
        if (!back.empty() && to_gbk(back.data(), back.size()) != gbk)
            std::abort();
    }
    normalise_copies(text, length, flags & 15);

    utf8_strlen(text, length);
    utf8_count_lines(text, length);
    std::vector<char> terminated(text, text + length);
    terminated.push_back('\0');
    if (char* part = utf8_substr(terminated.data(), flags >> 4 & 3, flags >> 6))
        std::free(part);
    return !gbk.empty();  // some character had a GBK code
}
