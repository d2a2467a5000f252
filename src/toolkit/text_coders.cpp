#include "toolkit/text_coders.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>

namespace {

constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase32Alphabet[] = "abcdefghijklmnopqrstuvwxyz234567";

// Results are ints, so no output is allowed to grow past INT_MAX.
constexpr size_t kMaxCount = INT_MAX;

size_t usable(size_t capacity) { return std::min(capacity, kMaxCount); }

// Classes of a text byte for the base64 decoder; 0..63 are alphabet values.
constexpr int8_t kBad = -1;
constexpr int8_t kSpace = -2;  // what isspace() accepts in the C locale
constexpr int8_t kPad = -3;

constexpr std::array<int8_t, 256> make_base64_classes()
{
    std::array<int8_t, 256> classes{};
    classes.fill(kBad);
    for (int v = 0; v < 64; ++v)
        classes[static_cast<uint8_t>(kBase64Alphabet[v])] = static_cast<int8_t>(v);
    for (char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        classes[static_cast<uint8_t>(c)] = kSpace;
    classes['='] = kPad;
    return classes;
}
constexpr std::array<int8_t, 256> kBase64Classes = make_base64_classes();

const unsigned char* skip_space(const unsigned char* p)
{
    while (kBase64Classes[*p] == kSpace)
        ++p;
    return p;
}

// The padding ends the data: s characters of the current group have been read and
// `low_bits` holds what the last one left for a byte that will never be completed.
int base64_finish(const unsigned char* pad, int s, uint8_t low_bits, size_t count)
{
    if (s < 2)
        return -1;
    const unsigned char* p = pad + 1;
    if (s == 2) {
        p = skip_space(p);
        if (*p != '=')
            return -1;
        ++p;
    }
    if (*skip_space(p) != 0 || low_bits != 0)
        return -1;
    return static_cast<int>(count);
}

constexpr std::array<int8_t, 256> make_base32_values()
{
    std::array<int8_t, 256> values{};
    values.fill(kBad);
    for (int v = 0; v < 26; ++v) {
        values[static_cast<size_t>('a' + v)] = static_cast<int8_t>(v);
        values[static_cast<size_t>('A' + v)] = static_cast<int8_t>(v);
    }
    for (int v = 26; v < 32; ++v)
        values[static_cast<size_t>('2' + v - 26)] = static_cast<int8_t>(v);
    // Characters people confuse with letters when copying by hand.
    values['0'] = values['O'];
    values['1'] = values['L'];
    values['8'] = values['B'];
    for (char c : {'\t', '\n', '\r', ' ', '-'})
        values[static_cast<uint8_t>(c)] = kSpace;
    return values;
}
constexpr std::array<int8_t, 256> kBase32Values = make_base32_values();

}  // namespace

int base64_encode(const uint8_t* data, unsigned length, char* out, size_t capacity)
{
    if (out == nullptr || (data == nullptr && length > 0))
        return -1;
    const size_t limit = usable(capacity);
    size_t written = 0;
    size_t i = 0;
    for (; length - i >= 3; i += 3) {
        if (written + 4 > limit)
            return -1;
        uint32_t group = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
        out[written] = kBase64Alphabet[group >> 18];
        out[written + 1] = kBase64Alphabet[(group >> 12) & 63];
        out[written + 2] = kBase64Alphabet[(group >> 6) & 63];
        out[written + 3] = kBase64Alphabet[group & 63];
        written += 4;
    }
    const size_t rest = length - i;
    if (rest > 0) {
        if (written + 4 > limit)
            return -1;
        uint32_t group = uint32_t{data[i]} << 16 | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
        out[written] = kBase64Alphabet[group >> 18];
        out[written + 1] = kBase64Alphabet[(group >> 12) & 63];
        out[written + 2] = rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
        out[written + 3] = '=';
        written += 4;
    }
    if (written >= limit)
        return -1;
    out[written] = 0;
    return static_cast<int>(written);
}

int base64_decode(const char* text, uint8_t* out, size_t capacity)
{
    if (text == nullptr)
        return -1;
    const size_t limit = usable(capacity);
    size_t i = 0;
    int s = 0;
    // Mirrors out[i]: the bits of the byte under construction. Kept apart from the output
    // so that counting alone applies the same checks as decoding.
    uint8_t partial = 0;
    for (auto p = reinterpret_cast<const unsigned char*>(text);; ++p) {
        if (*p == 0)
            return s == 0 ? static_cast<int>(i) : -1;
        const int v = kBase64Classes[*p];
        if (v == kSpace)
            continue;
        if (v == kPad)
            return base64_finish(p, s, partial, i);
        if (v == kBad)
            return -1;
        // States 1 and 2 also start the next byte, so they need one more slot.
        const size_t last_write = (s == 1 || s == 2) ? i + 1 : i;
        if (last_write >= (out != nullptr ? limit : kMaxCount))
            return -1;
        switch (s) {
        case 0: partial = static_cast<uint8_t>(v << 2); break;
        case 1:
            if (out)
                out[i] = partial | static_cast<uint8_t>(v >> 4);
            partial = static_cast<uint8_t>(v << 4);
            ++i;
            break;
        case 2:
            if (out)
                out[i] = partial | static_cast<uint8_t>(v >> 2);
            partial = static_cast<uint8_t>(v << 6);
            ++i;
            break;
        default: partial |= static_cast<uint8_t>(v); break;
        }
        if (out)
            out[i] = partial;
        if (s == 3) {
            partial = 0;
            ++i;
        }
        s = (s + 1) & 3;
    }
}

int base32_decode(const char* text, uint8_t* out, size_t capacity)
{
    if (text == nullptr || out == nullptr)
        return -1;
    const size_t limit = usable(capacity);
    size_t i = 0;
    uint32_t bits = 0;
    int count = 0;
    for (auto p = reinterpret_cast<const unsigned char*>(text); *p != 0 && i < limit; ++p) {
        const int v = kBase32Values[*p];
        if (v == kSpace)
            continue;
        if (v == kBad)
            return -1;
        bits = bits << 5 | static_cast<uint32_t>(v);
        count += 5;
        if (count >= 8) {
            count -= 8;
            out[i++] = static_cast<uint8_t>(bits >> count);
            bits &= (1u << count) - 1;
        }
    }
    if (i < limit)
        out[i] = 0;
    return static_cast<int>(i);
}

int base32_encode(const uint8_t* data, int length, char* out, size_t capacity)
{
    if (length < 0 || length > (1 << 28) || out == nullptr || (data == nullptr && length > 0))
        return -1;
    const size_t limit = usable(capacity);
    size_t i = 0;
    if (length > 0) {
        uint32_t bits = data[0];
        int count = 8;
        int next = 1;
        while (i < limit && (count > 0 || next < length)) {
            if (count < 5) {
                if (next < length) {
                    bits = bits << 8 | data[next++];
                    count += 8;
                } else {
                    bits <<= 5 - count;  // the last character is padded with zero bits
                    count = 5;
                }
            }
            count -= 5;
            out[i++] = kBase32Alphabet[(bits >> count) & 31];
            bits &= (1u << count) - 1;
        }
    }
    if (i < limit)
        out[i] = 0;
    return static_cast<int>(i);
}

void hex_dump(const uint8_t* data, size_t length)
{
    constexpr size_t kMaxBytes = 50;
    const size_t n = data != nullptr ? std::min(length, kMaxBytes) : 0;
    // One line: a space per group of eight, three characters per byte, the line feed.
    char line[kMaxBytes / 8 + 1 + kMaxBytes * 3 + 2];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 8 == 0)
            line[used++] = ' ';
        used += static_cast<size_t>(std::snprintf(line + used, sizeof line - used, "%02X ", data[i]));
    }
    line[used++] = '\n';
    std::fwrite(line, 1, used, stdout);
}
