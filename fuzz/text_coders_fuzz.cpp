// base64 and base32 decoding of arbitrary text, with round trips through the encoders.
// Input: one byte choosing the base32 output capacity, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_util.h"
#include "toolkit/text_coders.h"

FUZZ_SETUP(text_coders)

namespace {

// Whether the text was base64.
bool base64_round_trip(const char* text)
{
    int count = base64_decode(text, nullptr, 0);
    if (count < 0)
        return false;
    // One spare byte: a partial last group is built in place.
    std::vector<uint8_t> bytes(static_cast<size_t>(count) + 1);
    if (base64_decode(text, bytes.data(), bytes.size()) != count)
        std::abort();
    bytes.resize(static_cast<size_t>(count));
    std::vector<char> encoded((bytes.size() + 2) / 3 * 4 + 1);
    int length = base64_encode(bytes.data(), static_cast<unsigned>(bytes.size()), encoded.data(), encoded.size());
    if (length < 0)
        std::abort();
    std::vector<uint8_t> again(bytes.size() + 1);
    if (base64_decode(encoded.data(), again.data(), again.size()) != count ||
        std::memcmp(again.data(), bytes.data(), bytes.size()) != 0)
        std::abort();
    return true;
}

// Whether the text was base32 that fits `capacity` bytes.
bool base32_round_trip(const char* text, size_t capacity)
{
    std::vector<uint8_t> bytes(capacity ? capacity : 1);
    int count = base32_decode(text, bytes.data(), capacity);
    if (count < 0)
        return false;
    const auto size = static_cast<size_t>(count);
    if (size > capacity)
        std::abort();
    std::vector<char> encoded((size * 8 + 4) / 5 + 1);
    int length = base32_encode(bytes.data(), count, encoded.data(), encoded.size());
    if (length < 0 || static_cast<size_t>(length) >= encoded.size())
        std::abort();
    std::vector<uint8_t> again(size + 1);
    if (base32_decode(encoded.data(), again.data(), again.size()) != count ||
        std::memcmp(again.data(), bytes.data(), size) != 0)
        std::abort();
    return true;
}

}  // namespace

FUZZ_TARGET(text_coders)
{
    if (size < 1 || size >= (1u << 20))
        return false;
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    const bool base64 = base64_round_trip(text.data());
    const bool base32 = base32_round_trip(text.data(), data[0]);
    return base64 || base32;
}
