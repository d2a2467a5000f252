#include "text/charset.h"

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "support/memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define CHARSET_WIDE 1
#endif

namespace {

alignas(64) uint16_t g_gbk_to_unicode[kGbkTableSize];
alignas(64) uint16_t g_unicode_to_gbk[kUnicodeTableSize];
alignas(64) uint16_t g_unicode_simplify[kUnicodeTableSize];
alignas(64) uint16_t g_gbk_simplify[kGbkTableSize];
// The identity tables never change, so they are compile-time data: nothing to write (or
// fault in) at start-up unless a normalisation actually reads them.
template <size_t N>
struct ConstTable {
    uint16_t entries[N];
};

template <size_t N, class Fn>
constexpr ConstTable<N> make_table(Fn entry)
{
    ConstTable<N> table{};
    for (size_t i = 0; i < N; ++i)
        table.entries[i] = entry(i);
    return table;
}

// The two bytes of a GBK code as stored in memory, lead first (little-endian word).
constexpr uint16_t gbk_bytes_in_order(unsigned code) { return uint16_t((code >> 8) | ((code & 0xFF) << 8)); }

alignas(64) constexpr auto g_unicode_same = make_table<kUnicodeTableSize>([](size_t i) { return uint16_t(i); });
alignas(64) constexpr auto g_gbk_same = make_table<kGbkTableSize>([](size_t i) {
    return gbk_bytes_in_order(unsigned(i) | 0x8000);
});

// gbk_to_unicode pre-encoded for the GBK -> UTF-8 loop: the UTF-8 bytes in memory order in
// the low three bytes, their count (0 = unmapped) in the top byte. Saves the encoding
// arithmetic on every character.
alignas(64) uint32_t g_gbk_utf8[kGbkTableSize];
uint8_t g_ascii_lower[128];
uint8_t g_ascii_upper[128];
uint8_t g_ascii_same[128];

constexpr uint64_t kHighBits = 0x8080808080808080ull;

bool in_gb2312_area(unsigned code)
{
    unsigned lead = code >> 8, trail = code & 0xFF;
    return lead >= 0xA1 && lead <= 0xF7 && trail >= 0xA1;
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The UTF-8 bytes of u (0x80..0xFFFF) as a little-endian word, first byte lowest, with the
// byte count in the top byte; 0 for u = 0. Written as selects so the table loop vectorises.
constexpr uint32_t utf8_word(unsigned u)
{
    uint32_t two = (0xC0u | (u >> 6)) | ((0x80u | (u & 0x3F)) << 8) | (2u << 24);
    uint32_t three = (0xE0u | (u >> 12)) | ((0x80u | ((u >> 6) & 0x3F)) << 8) | ((0x80u | (u & 0x3F)) << 16) |
                     (3u << 24);
    uint32_t word = u < 0x800 ? two : three;
    return u == 0 ? 0 : word;
}

// Expands pairs and runs into the direction tables. They start zeroed as static storage and
// a rebuild writes the same entries again, so they are never cleared: clearing would touch
// (and fault in) every page at each start.
void build_gbk_unicode_tables()
{
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
    // One sequential pass is far cheaper than encoding inside the scattered loops above.
    for (size_t i = 0; i < kGbkTableSize; ++i)
        g_gbk_utf8[i] = utf8_word(g_gbk_to_unicode[i]);
}

// The simplification tables: identity, then the pairs. Needs gbk_to_unicode built, which
// stands in for a separate temporary GBK -> Unicode table. The identity is computed rather
// than copied from the constant tables, which would read as much again.
void build_simplify_tables()
{
    for (size_t i = 0; i < kUnicodeTableSize; ++i)
        g_unicode_simplify[i] = uint16_t(i);
    for (size_t i = 0; i < kGbkTableSize; ++i)
        g_gbk_simplify[i] = gbk_bytes_in_order(unsigned(i) | 0x8000);
    for (unsigned i = 0; i + 1 < trad_simp_pairs_words; i += 2) {
        unsigned source = trad_simp_pairs[i], target = trad_simp_pairs[i + 1];
        if (in_gb2312_area(source))
            continue;  // GB2312 characters are never changed
        g_gbk_simplify[source & 0x7FFF] = gbk_bytes_in_order(target);
        unsigned from = g_gbk_to_unicode[source & 0x7FFF], to = g_gbk_to_unicode[target & 0x7FFF];
        if (from != 0 && to != 0)
            g_unicode_simplify[from] = uint16_t(to);
    }
}

void build_ascii_tables()
{
    for (unsigned c = 0; c < 128; ++c) {
        g_ascii_same[c] = uint8_t(c);
        g_ascii_lower[c] = uint8_t(c >= 'A' && c <= 'Z' ? c + 32 : c);
        g_ascii_upper[c] = uint8_t(c >= 'a' && c <= 'z' ? c - 32 : c);
    }
}

// Outcome of looking at a multi-byte UTF-8 lead that wants `continuations` more bytes.
enum class Sequence { complete, cut_off, broken };

inline Sequence check_sequence(const uint8_t* s, const uint8_t* end, unsigned continuations)
{
    for (unsigned k = 1; k <= continuations; ++k) {
        if (s + k >= end)
            return Sequence::cut_off;
        if (!is_continuation(s[k]))
            return Sequence::broken;
    }
    return Sequence::complete;
}

inline uint8_t* put_utf8_3(uint8_t* o, unsigned u)
{
    o[0] = uint8_t(0xE0 | (u >> 12));
    o[1] = uint8_t(0x80 | ((u >> 6) & 0x3F));
    o[2] = uint8_t(0x80 | (u & 0x3F));
    return o + 3;
}

// Writes the GBK code of u, or nothing when u has none (the table holds 0 for all of ASCII,
// so overlong encodings of ASCII vanish instead of turning into path characters).
inline uint8_t* put_gbk(uint8_t* o, unsigned u)
{
    unsigned code = g_unicode_to_gbk[u];
    o[0] = uint8_t(code >> 8);
    o[1] = uint8_t(code);
    return o + (code != 0 ? 2 : 0);
}

Fault check_conversion(const char* src, size_t src_len, const char* out, size_t out_capacity, const int* out_len,
                       uint64_t needed)
{
    if (src_len >= kMaxBufferSize)
        return Fault::too_large;
    if (src == nullptr || out == nullptr || out_len == nullptr || src_len == 0 || out_capacity < needed)
        return Fault::malformed;
    return Fault::none;
}

}  // namespace

const uint16_t (&gbk_to_unicode)[kGbkTableSize] = g_gbk_to_unicode;
const uint16_t (&unicode_to_gbk)[kUnicodeTableSize] = g_unicode_to_gbk;
const uint16_t (&unicode_simplify)[kUnicodeTableSize] = g_unicode_simplify;
const uint16_t (&gbk_simplify)[kGbkTableSize] = g_gbk_simplify;
const uint16_t (&unicode_same)[kUnicodeTableSize] = g_unicode_same.entries;
const uint16_t (&gbk_same)[kGbkTableSize] = g_gbk_same.entries;
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

void charset_init()
{
    // Written once, by whichever thread comes first; read-only for every conversion after.
    static std::once_flag built;
    std::call_once(built, [] {
        build_gbk_unicode_tables();
        build_simplify_tables();
        build_ascii_tables();
    });
}

namespace {

inline uint64_t load_le64(const uint8_t* p)
{
    uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    return w;
}

inline uint32_t load_le32(const uint8_t* p)
{
    uint32_t w;
    std::memcpy(&w, p, 4);
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap32(w);
    return w;
}

inline void store_le64(uint8_t* p, uint64_t w)
{
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap64(w);
    std::memcpy(p, &w, 8);
}

inline void store_le32(uint8_t* p, uint32_t w)
{
    if constexpr (std::endian::native == std::endian::big)
        w = __builtin_bswap32(w);
    std::memcpy(p, &w, 4);
}

inline unsigned decode_utf8_3(const uint8_t* s)
{
    return ((s[0] & 0x0Fu) << 12) | ((s[1] & 0x3Fu) << 6) | (s[2] & 0x3Fu);
}

// Copies the run of ASCII bytes at s with word stores: whole ASCII words in a tight loop,
// then the ASCII prefix of the next word (names mix short ASCII runs with other characters,
// so neither byte-by-byte copying nor whole words alone would do). Each store writes 8
// bytes; stops while at least `margin` bytes remain before `end`, margin >= 8.
inline void copy_ascii_run(const uint8_t*& s, const uint8_t* end, size_t margin, uint8_t*& o)
{
    for (;;) {
        uint64_t word = load_le64(s);
        store_le64(o, word);
        uint64_t high = word & kHighBits;
        if (high != 0) {
            size_t count = size_t(std::countr_zero(high)) / 8;
            s += count;
            o += count;
            return;
        }
        s += 8;
        o += 8;
        if (size_t(end - s) < margin)
            return;
    }
}

// One UTF-8 character (or one byte of garbage) from s. Returns false when the input ends
// inside a sequence, which ends the conversion.
inline bool utf8_to_gbk_step(const uint8_t*& s, const uint8_t* end, uint8_t*& o)
{
    uint8_t b = *s;
    if (b < 0x80) {
        *o++ = b;
        ++s;
        return true;
    }
    // Two-byte sequences decode to U+0080..U+07FF, three-byte ones must reach U+0800
    // (shorter ones are overlong forms), four-byte ones lie outside the BMP: dropped.
    unsigned continuations = b >= 0xC2 && b <= 0xDF ? 1 : b >= 0xE0 && b <= 0xEF ? 2 : b >= 0xF0 && b <= 0xF7 ? 3 : 0;
    if (continuations == 0) {  // stray continuation byte, overlong or invalid lead
        ++s;
        return true;
    }
    Sequence seq = check_sequence(s, end, continuations);
    if (seq == Sequence::cut_off)
        return false;
    if (seq == Sequence::broken) {  // keep the bytes after the lead: they start something else
        ++s;
        return true;
    }
    if (continuations == 1) {
        o = put_gbk(o, ((b & 0x1Fu) << 6) | (s[1] & 0x3Fu));
    } else if (continuations == 2) {
        unsigned u = decode_utf8_3(s);
        if (u >= 0x800)
            o = put_gbk(o, u);
    }
    s += continuations + 1;
    return true;
}

// ASCII and well-formed two- and three-byte sequences without a branch on their kind (text
// that mixes ASCII and Chinese defeats branch prediction). Reads four bytes and writes two.
// Returns false, consuming nothing, for anything else.
inline bool utf8_to_gbk_fast_step(const uint8_t*& s, uint8_t*& o)
{
    uint32_t w = load_le32(s);
    uint32_t b0 = w & 0xFF;
    uint32_t is_ascii = b0 < 0x80;
    uint32_t is_two = ((w & 0xC0E0) == 0x80C0) & (b0 >= 0xC2);
    uint32_t is_three = (w & 0xC0C0F0) == 0x8080E0;
    if (!(is_ascii | is_two | is_three))
        return false;
    uint32_t u2 = ((w & 0x1F) << 6) | ((w >> 8) & 0x3F);
    uint32_t u3 = ((w & 0x0F) << 12) | ((w >> 2) & 0xFC0) | ((w >> 16) & 0x3F);
    // Index 0 (no GBK code) stands for ASCII and for overlong three-byte forms.
    uint32_t u = (u2 & (0u - is_two)) | (u3 & (0u - (is_three & (u3 >= 0x800))));
    uint32_t code = g_unicode_to_gbk[u];
    uint32_t ascii_mask = 0u - is_ascii;
    uint32_t bytes = (b0 & ascii_mask) | (uint32_t(__builtin_bswap16(uint16_t(code))) & ~ascii_mask);
    uint32_t length = (1u & ascii_mask) | ((code != 0) * 2u & ~ascii_mask);
    o[0] = uint8_t(bytes);
    o[1] = uint8_t(bytes >> 8);
    o += length;
    s += 1 + is_two + 2 * is_three;
    return true;
}

// Four three-byte sequences (12 bytes) that all have GBK codes become 8 bytes at once; the
// common shape of Chinese text. Returns false, consuming nothing, for anything else.
inline bool utf8_to_gbk_four_chinese(const uint8_t*& s, uint8_t*& o)
{
    constexpr uint64_t kShapeMask = 0xC0F0C0C0F0C0C0F0ull, kShape = 0x80E08080E08080E0ull;
    constexpr uint32_t kTailMask = 0xC0C0F0C0u, kTail = 0x8080E080u;
    if ((load_le64(s) & kShapeMask) != kShape || (load_le32(s + 8) & kTailMask) != kTail)
        return false;
    unsigned u0 = decode_utf8_3(s), u1 = decode_utf8_3(s + 3), u2 = decode_utf8_3(s + 6), u3 = decode_utf8_3(s + 9);
    unsigned g0 = g_unicode_to_gbk[u0], g1 = g_unicode_to_gbk[u1], g2 = g_unicode_to_gbk[u2], g3 = g_unicode_to_gbk[u3];
    bool all_mapped = (g0 != 0) & (g1 != 0) & (g2 != 0) & (g3 != 0);
    bool none_overlong = (u0 >= 0x800) & (u1 >= 0x800) & (u2 >= 0x800) & (u3 >= 0x800);
    if (!(all_mapped & none_overlong))
        return false;
    // Codes hold the lead in the high byte; output order is lead first.
    uint64_t bytes = uint64_t(__builtin_bswap16(uint16_t(g0))) | uint64_t(__builtin_bswap16(uint16_t(g1))) << 16 |
                     uint64_t(__builtin_bswap16(uint16_t(g2))) << 32 | uint64_t(__builtin_bswap16(uint16_t(g3))) << 48;
    store_le64(o, bytes);
    s += 12;
    o += 8;
    return true;
}

// One GBK character from s, which must have a byte after it. Writes four bytes whatever
// the character's length; branch-free, as ASCII and Chinese alternate unpredictably.
inline void gbk_to_utf8_step(const uint8_t*& s, uint8_t*& o)
{
    uint32_t lead = s[0], trail = s[1];
    uint32_t word = g_gbk_utf8[((lead << 8) | trail) & 0x7FFF];
    uint32_t is_pair = lead >> 7;
    uint32_t pair_mask = 0u - is_pair;
    uint32_t length = word >> 24;
    // An unmapped pair vanishes, but an ASCII byte after a stray lead is kept: it may be a
    // separator or line feed that was never meant as a trail.
    uint32_t keep_trail = is_pair & uint32_t(length == 0) & (~trail >> 7);
    // Masks rather than conditionals: compilers turn those into mispredicted branches.
    word = (word & pair_mask) | (lead & ~pair_mask);
    length = (length & pair_mask) | (1u & ~pair_mask);
    store_le32(o, word);
    o += length;
    s += 1 + is_pair - keep_trail;
}

// Four pairs of high bytes that all become three UTF-8 bytes are written as 12 bytes (13
// touched). Returns false, consuming nothing, for anything else.
inline bool gbk_to_utf8_four_pairs(const uint8_t*& s, uint8_t*& o)
{
    if ((load_le64(s) & kHighBits) != kHighBits)
        return false;  // pairs sit at even offsets only then
    uint32_t w0 = g_gbk_utf8[((unsigned(s[0]) << 8) | s[1]) & 0x7FFF];
    uint32_t w1 = g_gbk_utf8[((unsigned(s[2]) << 8) | s[3]) & 0x7FFF];
    uint32_t w2 = g_gbk_utf8[((unsigned(s[4]) << 8) | s[5]) & 0x7FFF];
    uint32_t w3 = g_gbk_utf8[((unsigned(s[6]) << 8) | s[7]) & 0x7FFF];
    if (((w0 & w1 & w2 & w3) >> 24) != 3)
        return false;  // counts are 0, 2 or 3
    store_le32(o, w0);
    store_le32(o + 3, w1);
    store_le32(o + 6, w2);
    store_le32(o + 9, w3);
    s += 8;
    o += 12;
    return true;
}

#ifdef CHARSET_WIDE
// The wide loops, on SSE2 (which every x86-64 processor has). Inside a Chinese run whole
// blocks pass a branch that is predicted, so the next block starts before this one is
// done. Elsewhere a round copies the ASCII bytes that open the next 16, then converts the
// Chinese characters that follow, up to a block, without branching on the mix: names
// switch between ASCII and Chinese every few bytes, and each mispredicted switch would cost
// more than the conversion. The callers keep 32 bytes of input in reach, so every 16-byte
// load below stays inside it.

inline __m128i load_16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// Copies the ASCII bytes that open the 16 at s. Writes 16 bytes.
inline void copy_ascii_prefix(const uint8_t*& s, uint8_t*& o)
{
    __m128i v = load_16(s);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
    unsigned count = unsigned(std::countr_zero(unsigned(_mm_movemask_epi8(v)) | 0x10000u));
    s += count;
    o += count;
}

// Converts the leading run of well-formed three-byte sequences at s (at most four) that
// have GBK codes; returns their number. Writes 8 bytes whatever the count.
inline unsigned utf8_to_gbk_chinese_block(const uint8_t* s, uint8_t* o)
{
    __m128i v = load_16(s);
    // Sequence k (bytes 3k..3k+2) into 32-bit lane k.
    __m128i lanes = _mm_unpacklo_epi64(_mm_unpacklo_epi32(v, _mm_srli_si128(v, 3)),
                                       _mm_unpacklo_epi32(_mm_srli_si128(v, 6), _mm_srli_si128(v, 9)));
    __m128i shape = _mm_cmpeq_epi32(_mm_and_si128(lanes, _mm_set1_epi32(0xC0C0F0)), _mm_set1_epi32(0x8080E0));
    __m128i u = _mm_or_si128(_mm_or_si128(_mm_slli_epi32(_mm_and_si128(lanes, _mm_set1_epi32(0x0F)), 12),
                                          _mm_and_si128(_mm_srli_epi32(lanes, 2), _mm_set1_epi32(0xFC0))),
                             _mm_and_si128(_mm_srli_epi32(lanes, 16), _mm_set1_epi32(0x3F)));
    // Below U+0800 a three-byte form is overlong: the careful step drops it.
    __m128i overlong = _mm_cmplt_epi32(u, _mm_set1_epi32(0x800));
    unsigned good = unsigned(_mm_movemask_ps(_mm_castsi128_ps(_mm_andnot_si128(overlong, shape))));
    // Every lane indexes inside the table (u <= 0xFFFF), used or not.
    __m128i codes = _mm_cvtsi32_si128(g_unicode_to_gbk[_mm_extract_epi16(u, 0)]);
    codes = _mm_insert_epi16(codes, static_cast<short>(g_unicode_to_gbk[_mm_extract_epi16(u, 2)]), 1);
    codes = _mm_insert_epi16(codes, static_cast<short>(g_unicode_to_gbk[_mm_extract_epi16(u, 4)]), 2);
    codes = _mm_insert_epi16(codes, static_cast<short>(g_unicode_to_gbk[_mm_extract_epi16(u, 6)]), 3);
    // Codes hold the lead in the high byte; output order is lead first.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_or_si128(_mm_slli_epi16(codes, 8), _mm_srli_epi16(codes, 8)));
    unsigned count = unsigned(std::countr_zero(~good & 0x1F));  // 0..4
    // The count must not wait for the table reads (the next block's address hangs on it):
    // characters without a GBK code are rare, so they cost a branch, not a dependency.
    __m128i unmapped = _mm_cmpeq_epi16(codes, _mm_setzero_si128());
    unsigned unmapped_lanes = unsigned(_mm_movemask_epi8(_mm_packs_epi16(unmapped, unmapped)));
    if (__builtin_expect((unmapped_lanes & ((1u << count) - 1)) != 0, 0))
        count = unsigned(std::countr_zero(unmapped_lanes));
    return count;
}

// GBK codes as table indexes: each 16-bit lane of v holds a pair, lead first in memory.
inline __m128i pair_indexes(__m128i v)
{
    return _mm_and_si128(_mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)), _mm_set1_epi16(0x7FFF));
}

// Eight pairs of high bytes that all become three UTF-8 bytes are written as 24 bytes (25
// touched). Returns false, writing nothing, for anything else.
inline bool gbk_to_utf8_eight_pairs(const uint8_t* s, uint8_t* o)
{
    __m128i v = load_16(s);
    if (_mm_movemask_epi8(v) != 0xFFFF)
        return false;  // pairs sit at even offsets only then
    __m128i index = pair_indexes(v);
    uint32_t w0 = g_gbk_utf8[_mm_extract_epi16(index, 0)], w1 = g_gbk_utf8[_mm_extract_epi16(index, 1)];
    uint32_t w2 = g_gbk_utf8[_mm_extract_epi16(index, 2)], w3 = g_gbk_utf8[_mm_extract_epi16(index, 3)];
    uint32_t w4 = g_gbk_utf8[_mm_extract_epi16(index, 4)], w5 = g_gbk_utf8[_mm_extract_epi16(index, 5)];
    uint32_t w6 = g_gbk_utf8[_mm_extract_epi16(index, 6)], w7 = g_gbk_utf8[_mm_extract_epi16(index, 7)];
    if (((w0 & w1 & w2 & w3 & w4 & w5 & w6 & w7) >> 24) != 3)
        return false;  // counts are 0, 2 or 3
    store_le32(o, w0);
    store_le32(o + 3, w1);
    store_le32(o + 6, w2);
    store_le32(o + 9, w3);
    store_le32(o + 12, w4);
    store_le32(o + 15, w5);
    store_le32(o + 18, w6);
    store_le32(o + 21, w7);
    return true;
}

// The leading pairs of high bytes at s (at most eight), converted; an unmapped pair
// vanishes. A lead whose trail is ASCII is left to the careful step. Writes 25 bytes.
inline void gbk_to_utf8_pair_block(const uint8_t*& s, uint8_t*& o)
{
    __m128i v = load_16(s);
    unsigned high_run = unsigned(std::countr_zero(~unsigned(_mm_movemask_epi8(v))));  // 0..16
    int pairs = int(high_run / 2);
    __m128i index = pair_indexes(v);
    // Pair k is written whatever it is; only pairs inside the run move the output on.
    auto put = [&](int k, int lane) {
        uint32_t word = g_gbk_utf8[lane];
        store_le32(o, word);
        o += (word >> 24) & uint32_t((k - pairs) >> 31);
    };
    put(0, _mm_extract_epi16(index, 0));
    put(1, _mm_extract_epi16(index, 1));
    put(2, _mm_extract_epi16(index, 2));
    put(3, _mm_extract_epi16(index, 3));
    put(4, _mm_extract_epi16(index, 4));
    put(5, _mm_extract_epi16(index, 5));
    put(6, _mm_extract_epi16(index, 6));
    put(7, _mm_extract_epi16(index, 7));
    s += 2 * pairs;
}
#endif

}  // namespace

Fault utf8_to_gbk(const char* src, size_t src_len, char* out, size_t out_capacity, int* out_len)
{
    if (Fault fault = check_conversion(src, src_len, out, out_capacity, out_len, utf8_to_gbk_capacity(src_len));
        fault != Fault::none)
        return fault;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const uint8_t* const end = s + src_len;
    uint8_t* o = reinterpret_cast<uint8_t*>(out);
#ifdef CHARSET_WIDE
    // At least 32 bytes remain: both blocks of a round read inside the input, and since the
    // output never outgrows the input, their stores stay behind the end of the input.
    while (end - s >= 32) {
        // Inside a Chinese run every block is whole: a predicted branch lets the next
        // block start before this one is done.
        if (utf8_to_gbk_chinese_block(s, o) == 4) {
            s += 12;
            o += 8;
            continue;
        }
        const uint8_t* round = s;
        copy_ascii_prefix(s, o);
        unsigned count = utf8_to_gbk_chinese_block(s, o);
        s += 3 * count;
        o += 2 * count;
        if (s == round)
            utf8_to_gbk_step(s, end, o);  // two-byte forms, unmapped, broken
    }
#endif
    // Bulk: at least 16 bytes remain, so no sequence is cut off and the 8-byte stores stay
    // behind the input position (the output never outgrows the input).
    while (end - s >= 16) {
        if (!(*s & 0x80)) {
            copy_ascii_run(s, end, 16, o);
        } else if (!utf8_to_gbk_four_chinese(s, o) && !utf8_to_gbk_fast_step(s, o)) {
            utf8_to_gbk_step(s, end, o);
        }
    }
    while (s < end && utf8_to_gbk_step(s, end, o)) {
    }
    *o = 0;
    *out_len = int(o - reinterpret_cast<uint8_t*>(out));
    return Fault::none;
}

Fault gbk_to_utf8(const char* src, size_t src_len, char* out, size_t out_capacity, int* out_len)
{
    if (Fault fault = check_conversion(src, src_len, out, out_capacity, out_len, gbk_to_utf8_capacity(src_len));
        fault != Fault::none)
        return fault;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(src);
    const uint8_t* const end = s + src_len;
    uint8_t* o = reinterpret_cast<uint8_t*>(out);
#ifdef CHARSET_WIDE
    // At least 32 bytes remain, so both blocks read inside the input, and at least 49 bytes
    // of output are free (1.5 x the input left, plus the NUL): room for the 16 + 25 written.
    while (end - s >= 32) {
        if (gbk_to_utf8_eight_pairs(s, o)) {  // inside Chinese text: see utf8_to_gbk
            s += 16;
            o += 24;
            continue;
        }
        const uint8_t* round = s;
        copy_ascii_prefix(s, o);
        gbk_to_utf8_pair_block(s, o);
        if (s == round)
            gbk_to_utf8_step(s, o);  // a lead with an ASCII trail
    }
#endif
    // Bulk: at least 8 bytes remain. The output so far is at most 1.5 x the input consumed and
    // the buffer holds 1.5 x the whole input plus the NUL, so at least 13 bytes are free
    // from the output position on: room for every over-long word store below.
    while (end - s >= 8) {
        if (!(*s & 0x80)) {
            copy_ascii_run(s, end, 8, o);
        } else if (!gbk_to_utf8_four_pairs(s, o)) {
            gbk_to_utf8_step(s, o);
        }
    }
    while (end - s >= 2)
        gbk_to_utf8_step(s, o);
    if (s < end && *s < 0x80)
        *o++ = *s;  // a last lone lead byte is dropped
    *o = 0;
    *out_len = int(o - reinterpret_cast<uint8_t*>(out));
    return Fault::none;
}

void puts_utf8(const char* text, size_t len)
{
    charset_init();
    if (text == nullptr || len == 0 || len >= kMaxBufferSize) {
        std::fputs("\n", stdout);
        return;
    }
    ByteBuffer buffer = buffer_new(utf8_to_gbk_capacity(len));
    char* gbk = reinterpret_cast<char*>(buffer.get());
    int gbk_len = 0;
    if (gbk == nullptr || utf8_to_gbk(text, len, gbk, utf8_to_gbk_capacity(len), &gbk_len) != Fault::none) {
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

NormalizeTables pick_tables(unsigned flags, const uint16_t* same, const uint16_t* simplified)
{
    const uint8_t* bytes = (flags & kCharsetLower)   ? g_ascii_lower
                           : (flags & kCharsetUpper) ? g_ascii_upper
                                                     : g_ascii_same;
    return {bytes, (flags & kCharsetSimplified) ? simplified : same, (flags & kCharsetHalfwidth) != 0};
}

// Full-width forms of '!'..'~' and the ideographic space, as ASCII; 0 if u is neither.
unsigned halfwidth_ascii(unsigned u)
{
    if (u == 0x3000)
        return 0x20;
    if (u >= 0xFF01 && u <= 0xFF5E)
        return u - 0xFEE0;
    return 0;
}

}  // namespace

void utf8_normalize(char* text, unsigned flags)
{
    if (text == nullptr)
        return;
    const NormalizeTables t = pick_tables(flags, g_unicode_same.entries, g_unicode_simplify);
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

void gbk_normalize(char* text, unsigned flags)
{
    if (text == nullptr)
        return;
    const NormalizeTables t = pick_tables(flags, g_gbk_same.entries, g_gbk_simplify);
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

size_t utf8_strlen(const char* text, size_t len)
{
    if (text == nullptr)
        return 0;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    size_t count = 0;
    for (size_t i = 0; i < len; i += utf8_skip[s[i]])
        ++count;
    return count;
}

size_t utf8_count_lines(const char* text, size_t len)
{
    if (text == nullptr)
        return 0;
    // A line feed is never part of a multi-byte sequence, so every 0x0A byte is one.
    size_t count = 0;
    const char* end = text + len;
    for (const char* p = text; (p = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p)))); ++p)
        ++count;
    return count;
}

namespace {

// Byte offset of character `index` (or `len` when the text has fewer), never beyond `len`.
size_t utf8_offset(const uint8_t* s, size_t len, size_t index)
{
    size_t i = 0;
    for (size_t n = 0; n < index && i < len; ++n)
        i += utf8_skip[s[i]];
    return i < len ? i : len;
}

}  // namespace

char* utf8_substr(const char* text, size_t first, size_t end)
{
    if (text == nullptr)
        return nullptr;
    const uint8_t* s = reinterpret_cast<const uint8_t*>(text);
    size_t len = std::strlen(text);
    size_t count = utf8_strlen(text, len);
    if (first >= count)
        return nullptr;
    if (end > count)
        end = count;
    size_t from = utf8_offset(s, len, first);
    size_t to = end > first ? from + utf8_offset(s + from, len - from, end - first) : from;
    auto* result = reinterpret_cast<char*>(buffer_alloc(to - from + 1, false));
    if (result == nullptr)
        return nullptr;
    std::memcpy(result, text + from, to - from);
    result[to - from] = 0;
    return result;
}
