#include "text/charset.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/memory.h"

namespace {

alignas(64) uint16_t g_gbk_to_unicode[kGbkTableSize];
alignas(64) uint16_t g_unicode_to_gbk[kUnicodeTableSize];
alignas(64) uint16_t g_unicode_simplify[kUnicodeTableSize];
alignas(64) uint16_t g_gbk_simplify[kGbkTableSize];
alignas(64) uint16_t g_unicode_same[kUnicodeTableSize];
alignas(64) uint16_t g_gbk_same[kGbkTableSize];
uint8_t g_ascii_lower[128];
uint8_t g_ascii_upper[128];
uint8_t g_ascii_same[128];
bool g_tables_built = false;

constexpr uint64_t kHighBits = 0x8080808080808080ull;

bool in_gb2312_area(unsigned code) {
    unsigned lead = code >> 8, trail = code & 0xFF;
    return lead >= 0xA1 && lead <= 0xF7 && trail >= 0xA1;
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The two bytes of a GBK code as stored in memory, lead first (little-endian word).
uint16_t gbk_bytes_in_order(unsigned code) { return uint16_t((code >> 8) | ((code & 0xFF) << 8)); }

// Expands pairs and runs into both direction tables (they start zeroed).
void build_gbk_unicode_tables() {
    std::memset(g_gbk_to_unicode, 0, sizeof g_gbk_to_unicode);
    std::memset(g_unicode_to_gbk, 0, sizeof g_unicode_to_gbk);
    for (unsigned i = 0; i + 1 < gbk_single_pairs_words; i += 2) {
        unsigned code = gbk_single_pairs[i], unicode = gbk_single_pairs[i + 1];
        g_gbk_to_unicode[code & 0x7FFF] = uint16_t(unicode);
        g_unicode_to_gbk[unicode] = uint16_t(code);
    }
    for (unsigned i = 0; i + 2 < gbk_runs_words; i += 3) {
        unsigned first = gbk_runs[i], last = gbk_runs[i + 1], unicode = gbk_runs[i + 2];
        for (unsigned code = first; code <= last; ++code, ++unicode) {
            g_gbk_to_unicode[code & 0x7FFF] = uint16_t(unicode);
            g_unicode_to_gbk[unicode & 0xFFFF] = uint16_t(code);
        }
    }
}

// Identity tables, and the simplification tables on top of them. Needs gbk_to_unicode built,
// which stands in for a separate temporary GBK -> Unicode table.
void build_simplify_tables() {
    for (unsigned i = 0; i < kUnicodeTableSize; ++i) g_unicode_same[i] = uint16_t(i);
    for (unsigned i = 0; i < kGbkTableSize; ++i) g_gbk_same[i] = gbk_bytes_in_order(i | 0x8000);
    std::memcpy(g_unicode_simplify, g_unicode_same, sizeof g_unicode_simplify);
    std::memcpy(g_gbk_simplify, g_gbk_same, sizeof g_gbk_simplify);
    for (unsigned i = 0; i + 1 < trad_simp_pairs_words; i += 2) {
        unsigned source = trad_simp_pairs[i], target = trad_simp_pairs[i + 1];
        if (in_gb2312_area(source)) continue;  // GB2312 characters are never changed
        g_gbk_simplify[source & 0x7FFF] = gbk_bytes_in_order(target);
        unsigned from = g_gbk_to_unicode[source & 0x7FFF], to = g_gbk_to_unicode[target & 0x7FFF];
        if (from != 0 && to != 0) g_unicode_simplify[from] = uint16_t(to);
    }
}

void build_ascii_tables() {
    for (unsigned c = 0; c < 128; ++c) {
        g_ascii_same[c] = uint8_t(c);
        g_ascii_lower[c] = uint8_t(c >= 'A' && c <= 'Z' ? c + 32 : c);
        g_ascii_upper[c] = uint8_t(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
}

// Copies the ASCII bytes at `s` to `o` eight at a time while whole words are ASCII, then byte
// by byte; stops at the first byte >= 0x80. The output never runs ahead of the input, so the
// word stores stay inside a buffer of at least the input's length.
inline void copy_ascii_run(const uint8_t*& s, const uint8_t* end, uint8_t*& o) {
    while (end - s >= 8) {
        uint64_t word;
        std::memcpy(&word, s, 8);
        if (word & kHighBits) break;
        std::memcpy(o, &word, 8);
        s += 8;
        o += 8;
    }
    while (s < end && *s < 0x80) *o++ = *s++;
}

// Outcome of looking at a multi-byte UTF-8 lead that wants `continuations` more bytes.
enum class Sequence { complete, cut_off, broken };

inline Sequence check_sequence(const uint8_t* s, const uint8_t* end, unsigned continuations) {
    for (unsigned k = 1; k <= continuations; ++k) {
        if (s + k >= end) return Sequence::cut_off;
        if (!is_continuation(s[k])) return Sequence::broken;
    }
    return Sequence::complete;
}

inline uint8_t* put_utf8_3(uint8_t* o, unsigned u) {
    o[0] = uint8_t(0xE0 | (u >> 12));
    o[1] = uint8_t(0x80 | ((u >> 6) & 0x3F));
    o[2] = uint8_t(0x80 | (u & 0x3F));
    return o + 3;
}

inline uint8_t* put_utf8(uint8_t* o, unsigned u) {
    if (u < 0x80) {
        *o = uint8_t(u);
        return o + 1;
    }
    if (u < 0x800) {
        o[0] = uint8_t(0xC0 | (u >> 6));
        o[1] = uint8_t(0x80 | (u & 0x3F));
        return o + 2;
    }
    return put_utf8_3(o, u);
}

// Writes the GBK code of u, or nothing when u has none (the table holds 0 for all of ASCII,
// so overlong encodings of ASCII vanish instead of turning into path characters).
inline uint8_t* put_gbk(uint8_t* o, unsigned u) {
    unsigned code = g_unicode_to_gbk[u];
    o[0] = uint8_t(code >> 8);
    o[1] = uint8_t(code);
    return o + (code != 0 ? 2 : 0);
}

bool conversion_args_ok(const char* src, size_t src_len, const char* out, size_t out_capacity,
                        const int* out_len, uint64_t needed) {
    return src != nullptr && out != nullptr && out_len != nullptr && src_len != 0 &&
           src_len < kMaxBufferSize && out_capacity >= needed;
}

}  // namespace

const uint16_t (&gbk_to_unicode)[kGbkTableSize] = g_gbk_to_unicode;
const uint16_t (&unicode_to_gbk)[kUnicodeTableSize] = g_unicode_to_gbk;
const uint16_t (&unicode_simplify)[kUnicodeTableSize] = g_unicode_simplify;
const uint16_t (&gbk_simplify)[kGbkTableSize] = g_gbk_simplify;
const uint16_t (&unicode_same)[kUnicodeTableSize] = g_unicode_same;
const uint16_t (&gbk_same)[kGbkTableSize] = g_gbk_same;
const uint8_t (&ascii_lower)[128] = g_ascii_lower;
const uint8_t (&ascii_upper)[128] = g_ascii_upper;
const uint8_t (&ascii_same)[128] = g_ascii_same;

const uint8_t utf8_skip[256] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 00
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 20
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 40
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 60
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // 80
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,  // A0
    2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,  // C0
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 1, 1,  // E0
};

void charset_init() {
    build_gbk_unicode_tables();
    build_simplify_tables();
    build_ascii_tables();
    g_tables_built = true;
}

int utf8_to_gbk(const char* src, size_t src_len, char* out, size_t out_capacity, int* out_len) {
    if (!conversion_args_ok(src, src_len, out, out_capacity, out_len, utf8_to_gbk_capacity(src_len)))
        return -1;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const uint8_t* const end = s + src_len;
    uint8_t* o = reinterpret_cast<uint8_t*>(out);
    while (s < end) {
        uint8_t b = *s;
        if (b < 0x80) {
            copy_ascii_run(s, end, o);
            continue;
        }
        // Two-byte sequences decode to U+0080..U+07FF, three-byte ones must reach U+0800
        // (shorter ones are overlong forms), four-byte ones lie outside the BMP: dropped.
        unsigned continuations = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF7 ? 3 : 0;
        if (continuations == 0) {  // stray continuation byte, overlong or invalid lead
            ++s;
            continue;
        }
        Sequence seq = check_sequence(s, end, continuations);
        if (seq == Sequence::cut_off) break;
        if (seq == Sequence::broken) {  // keep the bytes after the lead: they start something else
            ++s;
            continue;
        }
        if (continuations == 1) {
            o = put_gbk(o, ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu));
        } else if (continuations == 2) {
            unsigned u = ((b & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
            if (u >= 0x800) o = put_gbk(o, u);
        }
        s += continuations + 1;
    }
    *o = 0;
    *out_len = int(o - reinterpret_cast<uint8_t*>(out));
    return 0;
}

int gbk_to_utf8(const char* src, size_t src_len, char* out, size_t out_capacity, int* out_len) {
    if (!conversion_args_ok(src, src_len, out, out_capacity, out_len, gbk_to_utf8_capacity(src_len)))
        return -1;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const uint8_t* const end = s + src_len;
    uint8_t* o = reinterpret_cast<uint8_t*>(out);
    while (s < end) {
        if (*s < 0x80) {
            copy_ascii_run(s, end, o);
            continue;
        }
        if (end - s < 2) break;  // a lead byte with nothing after it
        unsigned trail = s[1];
        unsigned u = g_gbk_to_unicode[((unsigned(s[0]) << 8) | trail) & 0x7FFF];
        if (u != 0) {
            o = put_utf8(o, u);
            s += 2;
        } else {
            // An unmapped pair vanishes, but an ASCII byte after a stray lead is kept: it may
            // be a separator or line feed that was never meant as a trail.
            s += trail < 0x80 ? 1 : 2;
        }
    }
    *o = 0;
    *out_len = int(o - reinterpret_cast<uint8_t*>(out));
    return 0;
}

void puts_utf8(const char* text, size_t len) {
    if (!g_tables_built) charset_init();
    if (text == nullptr || len == 0 || len >= kMaxBufferSize) {
        std::fputs("\n", stdout);
        return;
    }
    ByteBuffer buffer(static_cast<uint8_t*>(std::malloc(utf8_to_gbk_capacity(len))));
    char* gbk = reinterpret_cast<char*>(buffer.get());
    int gbk_len = 0;
    if (gbk == nullptr || utf8_to_gbk(text, len, gbk, utf8_to_gbk_capacity(len), &gbk_len) != 0) {
        std::fputs("\n", stdout);
        return;
    }
    std::fwrite(gbk, 1, size_t(gbk_len), stdout);
    std::fputs("\n", stdout);
}

namespace {

// The tables one normalisation pass reads, chosen once from the flags.
struct NormalizeTables {
    const uint8_t* bytes;   // for ASCII bytes
    const uint16_t* chars;  // for multi-byte characters
    bool halfwidth;
};

NormalizeTables pick_tables(unsigned flags, const uint16_t* same, const uint16_t* simplified) {
    const uint8_t* bytes = (flags & CHARSET_LOWER)   ? g_ascii_lower
                           : (flags & CHARSET_UPPER) ? g_ascii_upper
                                                     : g_ascii_same;
    return {bytes, (flags & CHARSET_SIMPLIFIED) ? simplified : same, (flags & CHARSET_HALFWIDTH) != 0};
}

// Full-width forms of '!'..'~' and the ideographic space, as ASCII; 0 if u is neither.
unsigned halfwidth_ascii(unsigned u) {
    if (u == 0x3000) return 0x20;
    if (u >= 0xFF01 && u <= 0xFF5E) return u - 0xFEE0;
    return 0;
}

}  // namespace

void utf8_normalize(char* text, unsigned flags) {
    if (text == nullptr) return;
    const NormalizeTables t = pick_tables(flags, g_unicode_same, g_unicode_simplify);
    uint8_t* r = reinterpret_cast<uint8_t*>(text);
    uint8_t* w = r;
    while (uint8_t b = *r) {
        if (b < 0x80) {
            *w++ = t.bytes[b];
            ++r;
        } else if (b >= 0xE0 && b <= 0xEF && is_continuation(r[1]) && is_continuation(r[2])) {
            unsigned u = ((b & 0x0Fu) << 12) | ((r[1] & 0x3Fu) << 6) | (r[2] & 0x3Fu);
            if (u < 0x800) {  // overlong form: left alone, never turned into an ASCII byte
                *w++ = *r++;
                continue;
            }
            unsigned ascii = t.halfwidth ? halfwidth_ascii(u) : 0;
            if (ascii != 0)
                *w++ = t.bytes[ascii];
            else
                w = put_utf8_3(w, t.chars[u]);
            r += 3;
        } else if (b >= 0xC0 && b <= 0xDF && is_continuation(r[1])) {
            w[0] = r[0];
            w[1] = r[1];
            w += 2;
            r += 2;
        } else {
            *w++ = *r++;
        }
    }
    *w = 0;
}

void gbk_normalize(char* text, unsigned flags) {
    if (text == nullptr) return;
    const NormalizeTables t = pick_tables(flags, g_gbk_same, g_gbk_simplify);
    uint8_t* r = reinterpret_cast<uint8_t*>(text);
    uint8_t* w = r;
    while (uint8_t b = *r) {
        if (b < 0x80) {
            *w++ = t.bytes[b];
            ++r;
            continue;
        }
        uint8_t trail = r[1];
        if (trail == 0) {  // lead left pending at the end
            *w++ = b;
            break;
        }
        if (t.halfwidth && b == 0xA1 && trail == 0xA1) {
            *w++ = t.bytes[0x20];
        } else if (t.halfwidth && b == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
            *w++ = t.bytes[trail & 0x7F];
        } else {
            uint16_t bytes = t.chars[((unsigned(b) << 8) | trail) & 0x7FFF];
            w[0] = uint8_t(bytes & 0xFF);
            w[1] = uint8_t(bytes >> 8);
            w += 2;
        }
        r += 2;
    }
    *w = 0;
}

size_t utf8_strlen(const char* text, size_t len) {
    if (text == nullptr) return 0;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    size_t count = 0;
    for (size_t i = 0; i < len; i += utf8_skip[s[i]]) ++count;
    return count;
}

size_t utf8_count_lines(const char* text, size_t len) {
    if (text == nullptr) return 0;
    // A line feed is never part of a multi-byte sequence, so every 0x0A byte is one.
    size_t count = 0;
    const char* end = text + len;
    for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)))); ++p)
        ++count;
    return count;
}

namespace {

// Byte offset of character `index` (or `len` when the text has fewer), never beyond `len`.
size_t utf8_offset(const uint8_t* s, size_t len, size_t index) {
    size_t i = 0;
    for (size_t n = 0; n < index && i < len; ++n) i += utf8_skip[s[i]];
    return i < len ? i : len;
}

}  // namespace

char* utf8_substr(const char* text, size_t first, size_t end) {
    if (text == nullptr) return nullptr;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    size_t len = std::strlen(text);
    size_t count = utf8_strlen(text, len);
    if (first >= count) return nullptr;
    if (end > count) end = count;
    size_t from = utf8_offset(s, len, first);
    size_t to = end > first ? from + utf8_offset(s + from, len - from, end - first) : from;
    char* result = static_cast<char*>(std::malloc(to - from + 1));
    if (result == nullptr) return nullptr;
    std::memcpy(result, text + from, to - from);
    result[to - from] = 0;
    return result;
}
