#include "codec/jpeg_decoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/jpeg_tables.h"
#include "stream/byte_reader.h"
#include "support/memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

constexpr int kFastBits = 10;

// Real progressive streams have a dozen scans or so. Each scan walks every block of its
// components, so a hostile stream of endless scans is refused past this many.
constexpr int kMaxScans = 200;

// First-level entry for the next 10 bits, 4 bytes so that a table stays in a few cache
// lines' reach. Low nibble of `lengths`: the code's length, 0 when the code is longer (or
// invalid) and must be looked up the canonical way. High nibble: the length of the code
// and its magnitude bits together when both fit, and `value` is then the decoded
// coefficient; 0 when they do not fit.
struct FastEntry {
    int16_t value;
    uint8_t symbol;
    uint8_t lengths;
};

struct HuffmanTable {
    FastEntry fast[1 << kFastBits];
    int32_t max_code[17];  // largest code of each length; -1 for none
    int32_t value_offset[17];
    uint8_t symbols[256];
    bool defined;
    bool dc_usable;  // every symbol is a magnitude category of 15 or less
};

}  // namespace

struct JpegComponent {
    int id;
    int h, v;  // sampling factors
    int quant_index;
    int width, height;             // samples covering the picture
    int blocks_wide, blocks_high;  // blocks covering width x height
    int padded_blocks_wide;        // blocks of whole MCUs; the plane holds this many
    int stride;
    uint8_t* plane;
    int16_t* coefficients;  // progressive frames: every block, natural order
    uint16_t quant[64];     // natural order, taken when the component's first scan starts
    bool quant_taken;
    int32_t dc_predictor;
    int dc_table, ac_table;
};

struct JpegState {
    Fault status;
    int width, height, component_count;
    bool frame_seen, progressive, scanned;
    int scan_count;
    bool saw_jfif, saw_adobe;
    int adobe_transform;
    int hmax, vmax, mcus_per_row, mcu_rows;
    int restart_interval;
    JpegComponent components[3];
    uint16_t quant_tables[4][64];  // natural order
    bool quant_defined[4];
    HuffmanTable dc_tables[4], ac_tables[4];
    uint8_t* image;  // interleaved R, G, B; grey pictures use component 0's plane
};

namespace {

// Natural (row-major) position of the k-th coefficient in zig-zag order. A run past the
// last position lands on it, as in libjpeg, so damaged data needs no extra check.
constexpr uint8_t kNatural[64 + 16] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48, 41, 34, 27, 20, 13,
    6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44, 51, 58, 59, 52, 45, 38, 31,
    39, 46, 53, 60, 61, 54, 47, 55, 62, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63, 63,
};

inline uint8_t clip_byte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// Corrupt data can push the transform's sums past 32 bits, so the arithmetic runs on
// uint32_t (which wraps by definition) and only right shifts look at the sign.
inline uint32_t sar(uint32_t v, int n) { return static_cast<uint32_t>(static_cast<int32_t>(v) >> n); }

// Magnitude bits as the coder stores them: the top half positive, the bottom half
// negative (v - 2^k + 1).
inline int32_t extend_magnitude(int32_t v, int k) { return v < (1 << (k - 1)) ? v - (1 << k) + 1 : v; }

// ---------------------------------------------------------------- buffers

void free_buffers(JpegState& d)
{
    for (JpegComponent& c : d.components) {
        buffer_free(c.plane);
        buffer_free(c.coefficients);
    }
    buffer_free(d.image);
}

void release_state(JpegState& d)
{
    free_buffers(d);
    std::memset(&d, 0, sizeof d);
}

// Planes and the image are written whole before they are read (blocks no scan reaches
// are written grey), so they need no clearing; the coefficients of a progressive frame
// start at zero.
template <class T>
T* allocate(JpegState& d, uint64_t count, bool zeroed)
{
    const uint64_t n = count ? count : 1;
    auto* block = reinterpret_cast<T*>(buffer_alloc(n * sizeof(T), zeroed));
    if (!block)
        d.status = Fault::out_of_memory;
    return block;
}

// ---------------------------------------------------------------- marker segments

void read_quant_tables(JpegState& d, ByteReader s)
{
    while (s.ok() && !s.at_end()) {
        const int precision_and_id = s.u8();
        const int id = precision_and_id & 15, precision = precision_and_id >> 4;
        if (id > 3 || precision > 1) {
            d.status = Fault::malformed;
            return;
        }
        for (int k = 0; k < 64; ++k)
            d.quant_tables[id][kNatural[k]] = precision ? s.u16be() : s.u8();
        d.quant_defined[id] = true;
    }
    if (!s.ok())
        d.status = Fault::malformed;
}

// A code of L <= 10 bits covers whole first-level entries: each of them gets the code,
// and the decoded value when its magnitude bits fit in the rest of the 10 bits.
void fill_fast_entries(HuffmanTable& t, int code, int length, uint8_t symbol)
{
    const int k = symbol & 15, total = length + k;
    const int first = code << (kFastBits - length), count = 1 << (kFastBits - length);
    for (int i = first; i < first + count; ++i) {
        FastEntry& entry = t.fast[i];
        entry = FastEntry{0, symbol, static_cast<uint8_t>(length)};
        if (total <= kFastBits) {
            entry.lengths = static_cast<uint8_t>(length | total << 4);
            if (k)
                entry.value = static_cast<int16_t>(extend_magnitude((i >> (kFastBits - total)) & ((1 << k) - 1), k));
        }
    }
}

// Canonical codes: consecutive within a length, doubling on each step to the next. Like
// libjpeg, a table whose codes overflow a length (or use an all-ones code) is refused.
bool build_huffman_table(HuffmanTable& t, const uint8_t counts[16], std::span<const uint8_t> symbols)
{
    t = HuffmanTable{};
    std::memcpy(t.symbols, symbols.data(), symbols.size());
    t.dc_usable = std::all_of(symbols.begin(), symbols.end(), [](uint8_t s) { return s <= 15; });
    int code = 0, k = 0;
    for (int length = 1; length <= 16; ++length) {
        t.value_offset[length] = k - code;
        if (code + counts[length - 1] >= (1 << length))  // checked before a code indexes the table
            return false;
        for (int i = 0; i < counts[length - 1]; ++i, ++code, ++k)
            if (length <= kFastBits)
                fill_fast_entries(t, code, length, t.symbols[k]);
        t.max_code[length] = counts[length - 1] ? code - 1 : -1;
        code <<= 1;
    }
    t.defined = true;
    return true;
}

void read_huffman_tables(JpegState& d, ByteReader s)
{
    while (s.ok() && !s.at_end()) {
        const int class_and_id = s.u8();
        const int table_class = class_and_id >> 4, id = class_and_id & 15;
        uint8_t counts[16];
        int total = 0;
        for (uint8_t& count : counts)
            total += count = s.u8();
        const std::span<const uint8_t> symbols = s.bytes(size_t(total));
        if (!s.ok() || table_class > 1 || id > 3 || total > 256) {
            d.status = Fault::malformed;
            return;
        }
        HuffmanTable& table = table_class ? d.ac_tables[id] : d.dc_tables[id];
        if (!build_huffman_table(table, counts, symbols)) {
            d.status = Fault::malformed;
            return;
        }
    }
    if (!s.ok())
        d.status = Fault::malformed;
}

void read_restart_interval(JpegState& d, ByteReader s)
{
    d.restart_interval = s.u16be();
    if (!s.ok())
        d.status = Fault::malformed;
}

void read_application_segment(JpegState& d, int marker, ByteReader s)
{
    const std::span<const uint8_t> bytes = s.rest();
    if (marker == 0xE0 && bytes.size() >= 5 && std::memcmp(bytes.data(), "JFIF\0", 5) == 0)
        d.saw_jfif = true;
    if (marker == 0xEE && bytes.size() >= 12 && std::memcmp(bytes.data(), "Adobe", 5) == 0) {
        d.saw_adobe = true;
        d.adobe_transform = bytes[11];
    }
}

// Sizes every buffer before taking any: a frame refused for one must not first take
// gibibytes for the others.
void allocate_frame_buffers(JpegState& d)
{
    uint64_t sizes[3];
    bool too_large = uint64_t(d.width) * uint64_t(d.height) * 3 >= kMaxBufferSize;
    for (int i = 0; i < d.component_count; ++i) {
        const JpegComponent& c = d.components[i];
        const uint64_t rows = uint64_t(d.mcu_rows) * uint64_t(c.v) * 8;
        sizes[i] = uint64_t(c.stride) * rows;
        too_large |= sizes[i] * (d.progressive ? 2 : 1) >= kMaxBufferSize;
    }
    if (too_large) {
        d.status = Fault::too_large;
        return;
    }
    for (int i = 0; i < d.component_count && d.status == Fault::none; ++i) {
        JpegComponent& c = d.components[i];
        c.plane = allocate<uint8_t>(d, sizes[i], false);
        if (d.progressive && c.plane)
            c.coefficients = allocate<int16_t>(d, sizes[i], true);
    }
    if (d.component_count == 3 && d.status == Fault::none)
        d.image = allocate<uint8_t>(d, uint64_t(d.width) * uint64_t(d.height) * 3, false);
}

void read_frame_header(JpegState& d, int marker, ByteReader s)
{
    const int precision = s.u8();
    d.height = s.u16be();
    d.width = s.u16be();
    d.component_count = s.u8();
    if (!s.ok() || d.frame_seen || d.component_count == 0) {
        d.status = Fault::malformed;
        return;
    }
    d.frame_seen = true;
    d.progressive = marker == 0xC2;
    if (precision != 8 || (d.component_count != 1 && d.component_count != 3)) {
        d.status = Fault::unsupported;
        return;
    }
    d.hmax = d.vmax = 1;
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        c.id = s.u8();
        const int factors = s.u8();
        c.h = factors >> 4;
        c.v = factors & 15;
        c.quant_index = s.u8();
        if (!s.ok() || c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4 || c.quant_index > 3) {
            d.status = Fault::malformed;
            return;
        }
        d.hmax = std::max(d.hmax, c.h);
        d.vmax = std::max(d.vmax, c.v);
    }
    // Width 0 is not a valid frame; height 0 means "given later by a DNL marker".
    if (d.width == 0) {
        d.status = Fault::malformed;
        return;
    }
    if (d.height == 0) {
        d.status = Fault::unsupported;
        return;
    }
    if (d.component_count == 1)  // a lone component is never interleaved: its blocks are its MCUs
        d.components[0].h = d.components[0].v = d.hmax = d.vmax = 1;
    d.mcus_per_row = (d.width + 8 * d.hmax - 1) / (8 * d.hmax);
    d.mcu_rows = (d.height + 8 * d.vmax - 1) / (8 * d.vmax);
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        if (d.hmax % c.h || d.vmax % c.v) {  // 3:2 and the like, which libjpeg refuses as well
            d.status = Fault::unsupported;
            return;
        }
        c.width = (d.width * c.h + d.hmax - 1) / d.hmax;
        c.height = (d.height * c.v + d.vmax - 1) / d.vmax;
        c.blocks_wide = (c.width + 7) / 8;
        c.blocks_high = (c.height + 7) / 8;
        c.padded_blocks_wide = d.mcus_per_row * c.h;
        c.stride = 8 * c.padded_blocks_wide;
    }
    allocate_frame_buffers(d);
}

// ---------------------------------------------------------------- entropy-coded data

// The scan keeps the bit reader in locals so that the compiler can hold it in registers
// while the output planes are written through byte pointers.
struct BitReader {
    const uint8_t* cursor;
    const uint8_t* end;
    uint64_t buffer;  // newest bits at the bottom; bits above `count` are stale
    int count;
    // Zero bits supplied after the data ended or a marker was reached, at the bottom of
    // the held bits: the data ran short once fewer than these are held.
    int padding;
    bool at_marker;  // `cursor` rests on the FF of a marker (or the data has ended)
};

inline bool ran_short(const BitReader& br) { return br.count < br.padding; }

inline bool has_ff_byte(uint64_t w)
{
    uint64_t t = ~w;
    return ((t - 0x0101010101010101ull) & ~t & 0x8080808080808080ull) != 0;
}

inline uint64_t load_be64(const uint8_t* p)
{
    uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little)
        v = __builtin_bswap64(v);
    return v;
}

// A byte at a time near markers and the end of the input, with libjpeg's rules: FF 00
// stands for FF (after any run of FF fill bytes), any other FF xx is a marker where the
// data stops, and from there on zero bits are supplied.
__attribute__((noinline)) void refill_slowly(BitReader& br, int need)
{
    while (br.count < need) {
        if (br.at_marker || br.cursor >= br.end) {
            br.at_marker = true;
            br.buffer <<= 8;
            br.count += 8;
            br.padding += 8;
            continue;
        }
        if (*br.cursor != 0xFF) {
            br.buffer = (br.buffer << 8) | *br.cursor++;
            br.count += 8;
            continue;
        }
        const uint8_t* after = br.cursor + 1;
        while (after < br.end && *after == 0xFF)
            ++after;
        if (after < br.end && *after == 0) {
            br.buffer = (br.buffer << 8) | 0xFF;
            br.count += 8;
            br.cursor = after + 1;
            continue;
        }
        br.cursor = after - 1;
        br.at_marker = true;
    }
}

// Brings `count` to at least `need` (at most 57). Plain bytes are taken in bulk; the
// rare slow path gets a copy, so that the scan's reader never has its address taken.
inline void refill(BitReader& br, int need)
{
    if (br.end - br.cursor >= 8 && !br.at_marker) {
        const uint64_t word = load_be64(br.cursor);
        if (!has_ff_byte(word)) {
            const int bytes = (63 - br.count) >> 3;
            br.buffer = (br.buffer << (8 * bytes)) | (word >> (64 - 8 * bytes));
            br.cursor += bytes;
            br.count += 8 * bytes;
            return;
        }
    }
    BitReader copy = br;
    refill_slowly(copy, need);
    br = copy;
}

inline uint32_t take_bits(BitReader& br, int n)
{
    if (br.count < n)
        refill(br, n);
    br.count -= n;
    return static_cast<uint32_t>(br.buffer >> br.count) & ((1u << n) - 1);
}

// A code longer than the first-level table, looked up length by length. An invalid code
// reads as symbol 0 after 17 bits, as libjpeg reads it.
__attribute__((noinline)) int decode_long_symbol(BitReader& br, const HuffmanTable& t)
{
    if (br.count < 17)
        refill(br, 17);
    const int32_t next16 = static_cast<int32_t>(br.buffer >> (br.count - 16)) & 0xFFFF;
    for (int length = kFastBits + 1; length <= 16; ++length) {
        const int32_t code = next16 >> (16 - length);
        if (code <= t.max_code[length]) {
            br.count -= length;
            return t.symbols[(t.value_offset[length] + code) & 255];
        }
    }
    br.count -= 17;
    return 0;
}

inline int decode_symbol(BitReader& br, const HuffmanTable& t)
{
    if (br.count < 16)
        refill(br, 16);
    const FastEntry& fast = t.fast[(br.buffer >> (br.count - kFastBits)) & ((1 << kFastBits) - 1)];
    if (fast.lengths & 15) {
        br.count -= fast.lengths & 15;
        return fast.symbol;
    }
    return decode_long_symbol(br, t);
}

// One symbol and the magnitude bits after it (the symbol's low four bits count them).
inline int32_t decode_value(BitReader& br, const HuffmanTable& t, int* symbol)
{
    if (br.count < 16)
        refill(br, 16);
    const FastEntry& fast = t.fast[(br.buffer >> (br.count - kFastBits)) & ((1 << kFastBits) - 1)];
    if (fast.lengths >> 4) {  // 16 bits were held, so the magnitude bits need no refill
        br.count -= fast.lengths >> 4;
        *symbol = fast.symbol;
        return fast.value;
    }
    int s;
    if (fast.lengths & 15) {
        br.count -= fast.lengths & 15;
        s = fast.symbol;
    } else {
        s = decode_long_symbol(br, t);
    }
    *symbol = s;
    const int k = s & 15;
    return k ? extend_magnitude(static_cast<int32_t>(take_bits(br, k)), k) : 0;
}

// Moves the cursor to the next marker, past any data before it (libjpeg skips such bytes
// with a warning). False at the end of the data.
bool seek_marker(const uint8_t*& cursor, const uint8_t* end)
{
    for (; cursor + 1 < end; ++cursor)
        if (cursor[0] == 0xFF && cursor[1] != 0 && cursor[1] != 0xFF)
            return true;
    cursor = end;
    return false;
}

// At the end of each restart interval the coder pads to a byte and writes the next of
// RST0..RST7. A different marker is dealt with as libjpeg does: a restart just behind the
// expected one is passed over, one just ahead or any other marker stays for later (the
// interval reads as missing data), anything else is taken as the expected one. True when
// a restart marker was taken and the data flows again.
bool read_restart_marker(BitReader& br, int expected)
{
    br.buffer = 0;
    br.count = br.padding = 0;
    for (;;) {
        br.at_marker = true;
        if (!seek_marker(br.cursor, br.end))
            return false;
        const int marker = br.cursor[1];
        const int ahead = (marker - 0xD0 - expected) & 7;
        const bool restart = marker >= 0xD0 && marker <= 0xD7;
        if ((marker >= 0xC0 && !restart) || (restart && (ahead == 1 || ahead == 2)))
            return false;
        br.cursor += 2;
        if (marker >= 0xC0 && ahead != 6 && ahead != 7) {
            br.at_marker = false;
            return true;
        }
    }
}

// ---------------------------------------------------------------- inverse transform

// libjpeg's accurate integer transform (Loeffler, Ligtenberg and Moschytz): 13-bit
// constants, two extra bits of precision between the passes, results descaled with
// rounding. The same arithmetic serves one value or, without SSE2, four lanes at a time.
#if !defined(__SSE2__)
using Lanes = uint32_t __attribute__((vector_size(16)));
using SignedLanes = int32_t __attribute__((vector_size(16)));

inline Lanes sar(Lanes v, int n) { return reinterpret_cast<Lanes>(reinterpret_cast<SignedLanes>(v) >> n); }
#endif

constexpr int kConstBits = 13, kPass1Bits = 2;
constexpr int kPass1Shift = kConstBits - kPass1Bits, kPass2Shift = kConstBits + kPass1Bits + 3;

template <class T>
inline void idct_1d(const T in[8], T out[8], int shift)
{
    const uint32_t rounding = 1u << (shift - 1);  // added once to every output through the DC term
    T z1 = (in[2] + in[6]) * 4433u;
    T tmp2 = z1 - in[6] * 15137u;
    T tmp3 = z1 + in[2] * 6270u;
    T tmp0 = ((in[0] + in[4]) << kConstBits) + rounding;
    T tmp1 = ((in[0] - in[4]) << kConstBits) + rounding;
    const T tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3, tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;

    tmp0 = in[7];
    tmp1 = in[5];
    tmp2 = in[3];
    tmp3 = in[1];
    z1 = tmp0 + tmp3;
    T z2 = tmp1 + tmp2, z3 = tmp0 + tmp2, z4 = tmp1 + tmp3;
    const T z5 = (z3 + z4) * 9633u;
    tmp0 *= 2446u;
    tmp1 *= 16819u;
    tmp2 *= 25172u;
    tmp3 *= 12299u;
    z1 *= uint32_t(-7373);
    z2 *= uint32_t(-20995);
    z3 = z3 * uint32_t(-16069) + z5;
    z4 = z4 * uint32_t(-3196) + z5;
    tmp0 += z1 + z3;
    tmp1 += z2 + z4;
    tmp2 += z2 + z3;
    tmp3 += z1 + z4;

    out[0] = sar(tmp10 + tmp3, shift);
    out[7] = sar(tmp10 - tmp3, shift);
    out[1] = sar(tmp11 + tmp2, shift);
    out[6] = sar(tmp11 - tmp2, shift);
    out[2] = sar(tmp12 + tmp1, shift);
    out[5] = sar(tmp12 - tmp1, shift);
    out[3] = sar(tmp13 + tmp0, shift);
    out[4] = sar(tmp13 - tmp0, shift);
}

inline uint8_t output_sample(uint32_t v) { return clip_byte(static_cast<int32_t>(v) + 128); }

#if defined(__SSE2__)
// The same transform in 16-bit lanes, eight columns or rows at a time, as libjpeg-turbo's
// own vector code keeps it (valid data stays well inside 16 bits between the passes).
// Every product pairs two inputs for one multiply-add: the odd part's four sums are
// regrouped by input (2446 - 7373 - 16069 + 9633 = -11363 and so on), which integer
// arithmetic leaves exact.
inline __m128i pair_weights(int a, int b) { return _mm_set1_epi32(int(uint32_t(b) << 16 | (uint32_t(a) & 0xFFFF))); }

inline __m128i weigh(__m128i low_pairs, __m128i high_pairs, __m128i weights, __m128i& high)
{
    high = _mm_madd_epi16(high_pairs, weights);
    return _mm_madd_epi16(low_pairs, weights);
}

template <int kShift>
inline void idct_pass_sse2(const __m128i in[8], __m128i out[8])
{
    const __m128i rounding = _mm_set1_epi32(1 << (kShift - 1));
    const __m128i p26l = _mm_unpacklo_epi16(in[2], in[6]), p26h = _mm_unpackhi_epi16(in[2], in[6]);
    const __m128i p04l = _mm_unpacklo_epi16(in[0], in[4]), p04h = _mm_unpackhi_epi16(in[0], in[4]);
    const __m128i p71l = _mm_unpacklo_epi16(in[7], in[1]), p71h = _mm_unpackhi_epi16(in[7], in[1]);
    const __m128i p35l = _mm_unpacklo_epi16(in[3], in[5]), p35h = _mm_unpackhi_epi16(in[3], in[5]);
    __m128i odd_l[4], odd_h[4];  // tmp0..tmp3 of the odd part, low and high four lanes
    auto odd = [&](int term, const __m128i pa[2], int a0, int a1, const __m128i pb[2], int b0, int b1) {
        __m128i high_a, high_b;
        const __m128i low_a = weigh(pa[0], pa[1], pair_weights(a0, a1), high_a);
        const __m128i low_b = weigh(pb[0], pb[1], pair_weights(b0, b1), high_b);
        odd_l[term] = _mm_add_epi32(low_a, low_b);
        odd_h[term] = _mm_add_epi32(high_a, high_b);
    };
    const __m128i p71[2] = {p71l, p71h}, p35[2] = {p35l, p35h};
    // Even part: terms 0..3 are tmp10, tmp11, tmp12, tmp13.
    __m128i tmp2h, tmp3h, tmp0h, tmp1h;
    const __m128i tmp3l = weigh(p26l, p26h, pair_weights(10703, 4433), tmp3h);
    const __m128i tmp2l = weigh(p26l, p26h, pair_weights(4433, -10704), tmp2h);
    const __m128i tmp0l = _mm_add_epi32(weigh(p04l, p04h, pair_weights(8192, 8192), tmp0h), rounding);
    const __m128i tmp1l = _mm_add_epi32(weigh(p04l, p04h, pair_weights(8192, -8192), tmp1h), rounding);
    tmp0h = _mm_add_epi32(tmp0h, rounding);
    tmp1h = _mm_add_epi32(tmp1h, rounding);
    const __m128i even[2][4] = {
        {_mm_add_epi32(tmp0l, tmp3l), _mm_add_epi32(tmp1l, tmp2l), _mm_sub_epi32(tmp1l, tmp2l),
         _mm_sub_epi32(tmp0l, tmp3l)},
        {_mm_add_epi32(tmp0h, tmp3h), _mm_add_epi32(tmp1h, tmp2h), _mm_sub_epi32(tmp1h, tmp2h),
         _mm_sub_epi32(tmp0h, tmp3h)},
    };
    // Odd part: terms 0..3 are tmp0..tmp3.
    odd(0, p71, -11363, 2260, p35, -6436, 9633);
    odd(1, p71, 9633, 6437, p35, -11362, 2261);
    odd(2, p71, -6436, 9633, p35, -2259, -11362);
    odd(3, p71, 2260, 11363, p35, 9633, 6437);
    for (int i = 0; i < 4; ++i) {
        // out[i] = even[i] + odd[3 - i], out[7 - i] = even[i] - odd[3 - i]
        const __m128i plus_l = _mm_srai_epi32(_mm_add_epi32(even[0][i], odd_l[3 - i]), kShift);
        const __m128i plus_h = _mm_srai_epi32(_mm_add_epi32(even[1][i], odd_h[3 - i]), kShift);
        const __m128i minus_l = _mm_srai_epi32(_mm_sub_epi32(even[0][i], odd_l[3 - i]), kShift);
        const __m128i minus_h = _mm_srai_epi32(_mm_sub_epi32(even[1][i], odd_h[3 - i]), kShift);
        out[i] = _mm_packs_epi32(plus_l, plus_h);
        out[7 - i] = _mm_packs_epi32(minus_l, minus_h);
    }
}

inline void transpose8x16(__m128i r[8])
{
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

void idct_full(const int32_t* block, uint8_t* out, int stride)
{
    __m128i rows[8], work[8];
    for (int k = 0; k < 8; ++k)
        rows[k] = _mm_packs_epi32(_mm_load_si128(reinterpret_cast<const __m128i*>(block + 8 * k)),
                                  _mm_load_si128(reinterpret_cast<const __m128i*>(block + 8 * k + 4)));
    idct_pass_sse2<kPass1Shift>(rows, work);
    transpose8x16(work);
    idct_pass_sse2<kPass2Shift>(work, rows);
    transpose8x16(rows);
    const __m128i centre = _mm_set1_epi16(128);
    for (int k = 0; k < 8; k += 2) {
        const __m128i two_rows = _mm_packus_epi16(_mm_adds_epi16(rows[k], centre), _mm_adds_epi16(rows[k + 1], centre));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k * stride), two_rows);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + (k + 1) * stride), _mm_srli_si128(two_rows, 8));
    }
}
#else
inline void transpose(Lanes& a, Lanes& b, Lanes& c, Lanes& d)
{
    const Lanes t0 = __builtin_shuffle(a, b, Lanes{0, 4, 1, 5}), t1 = __builtin_shuffle(a, b, Lanes{2, 6, 3, 7});
    const Lanes t2 = __builtin_shuffle(c, d, Lanes{0, 4, 1, 5}), t3 = __builtin_shuffle(c, d, Lanes{2, 6, 3, 7});
    a = __builtin_shuffle(t0, t2, Lanes{0, 1, 4, 5});
    b = __builtin_shuffle(t0, t2, Lanes{2, 3, 6, 7});
    c = __builtin_shuffle(t1, t3, Lanes{0, 1, 4, 5});
    d = __builtin_shuffle(t1, t3, Lanes{2, 3, 6, 7});
}

// Four rows of eight results (as lanes: out[k] holds column k of the four rows).
inline void store_rows(Lanes out[8], uint8_t* dest, int stride)
{
    transpose(out[0], out[1], out[2], out[3]);
    transpose(out[4], out[5], out[6], out[7]);
    for (int r = 0; r < 4; ++r) {
        SignedLanes lo = reinterpret_cast<SignedLanes>(out[r]) + 128,
                    hi = reinterpret_cast<SignedLanes>(out[r + 4]) + 128;
        lo = lo < 0 ? 0 : lo > 255 ? 255 : lo;
        hi = hi < 0 ? 0 : hi > 255 ? 255 : hi;
        uint8_t* row = dest + size_t(r) * size_t(stride);
        for (int i = 0; i < 4; ++i) {
            row[i] = static_cast<uint8_t>(lo[i]);
            row[i + 4] = static_cast<uint8_t>(hi[i]);
        }
    }
}

// The whole block: columns first (four at a time), then rows (four at a time).
void idct_full(const int32_t* block, uint8_t* out, int stride)
{
    Lanes work[2][8];  // [column half][row]
    for (int half = 0; half < 2; ++half) {
        Lanes in[8];
        for (int k = 0; k < 8; ++k)
            std::memcpy(&in[k], block + 8 * k + 4 * half, sizeof in[k]);
        idct_1d(in, work[half], kPass1Shift);
    }
    for (int half = 0; half < 2; ++half) {  // rows 4*half .. 4*half+3
        Lanes in[8];
        for (int k = 0; k < 8; ++k)
            in[k] = work[k >> 2][4 * half + (k & 3)];
        transpose(in[0], in[1], in[2], in[3]);
        transpose(in[4], in[5], in[6], in[7]);
        Lanes result[8];
        idct_1d(in, result, kPass2Shift);
        store_rows(result, out + size_t(4 * half) * size_t(stride), stride);
    }
}
#endif

// Only the first row of coefficients: every column pass gives one value (its input
// times 4) down the whole column, so all eight rows come out alike.
void idct_first_row(const int32_t* block, uint8_t* out, int stride)
{
    uint32_t in[8], result[8];
    for (int i = 0; i < 8; ++i)
        in[i] = uint32_t(block[i]) << kPass1Bits;
    idct_1d(in, result, kPass2Shift);
    uint8_t line[8];
    for (int i = 0; i < 8; ++i)
        line[i] = output_sample(result[i]);
    for (int y = 0; y < 8; ++y)
        std::memcpy(out + size_t(y) * size_t(stride), line, 8);
}

// Only the first column: each row pass sees one value and gives it to the whole row.
void idct_first_column(const int32_t* block, uint8_t* out, int stride)
{
    uint32_t in[8], result[8];
    for (int i = 0; i < 8; ++i)
        in[i] = uint32_t(block[8 * i]);
    idct_1d(in, result, kPass1Shift);
    for (int y = 0; y < 8; ++y)
        std::memset(out + size_t(y) * size_t(stride), output_sample(sar(result[y] + 16, 5)), 8);
}

inline uint8_t flat_sample(int32_t dc) { return output_sample(sar((uint32_t(dc) << kPass1Bits) + 16, 5)); }

void write_flat_block(uint8_t value, uint8_t* out, int stride)
{
    for (int y = 0; y < 8; ++y)
        std::memset(out + size_t(y) * size_t(stride), value, 8);
}

// `rows` and `columns` have bit i set for each row / column holding a coefficient; the
// cheap cases give exactly what the full transform gives.
void idct_block(const int32_t* block, uint32_t rows, uint32_t columns, uint8_t* out, int stride)
{
    if ((rows | columns) == 1)
        write_flat_block(flat_sample(block[0]), out, stride);
    else if (rows == 1)
        idct_first_row(block, out, stride);
    else if (columns == 1)
        idct_first_column(block, out, stride);
    else
        idct_full(block, out, stride);
}

// ---------------------------------------------------------------- scans

struct ScanBlock {
    int component;  // index into the frame's components
    int dx, dy;     // block within the MCU
};

struct Scan {
    int count;  // components in the scan
    int members[3];
    int ss, se, ah, al;
    ScanBlock blocks[10];
    int block_count;  // per MCU
    int mcus_wide, mcus_high;
    int eob_run;  // progressive AC scans: blocks left that end at once
};

// Walks the scan's MCUs in order with restarts; `decode` gets each block of an MCU while
// data flows; once it ran short, the rest of the interval gets `missing` instead (libjpeg
// leaves those blocks at zero: grey in a sequential frame, unrefined in a progressive one).
template <class Decode, class Missing>
void walk_mcus(JpegState& d, Scan& scan, BitReader& br, Decode&& decode, Missing&& missing)
{
    const bool interleaved = scan.count > 1;
    int restarts_left = d.restart_interval, expected_restart = 0;
    bool starved = false;
    for (int my = 0; my < scan.mcus_high; ++my) {
        for (int mx = 0; mx < scan.mcus_wide; ++mx) {
            if (d.restart_interval && restarts_left-- == 0) {
                if (read_restart_marker(br, expected_restart))
                    starved = false;
                expected_restart = (expected_restart + 1) & 7;
                restarts_left = d.restart_interval - 1;
                for (JpegComponent& c : d.components)
                    c.dc_predictor = 0;
                scan.eob_run = 0;
            }
            for (int i = 0; i < scan.block_count; ++i) {
                const ScanBlock& b = scan.blocks[i];
                JpegComponent& c = d.components[b.component];
                const int bx = interleaved ? mx * c.h + b.dx : mx, by = interleaved ? my * c.v + b.dy : my;
                if (starved)
                    missing(c, bx, by);
                else
                    decode(c, bx, by);
            }
            starved = starved || ran_short(br);
            // A progressive scan leaves missing blocks as they are: with no restart to
            // resume at, the rest of it has nothing to do.
            if (starved && d.progressive && !d.restart_interval)
                return;
        }
    }
}

void decode_sequential_scan(JpegState& d, Scan& scan, BitReader& br)
{
    alignas(16) int32_t block[64] = {};
    auto decode = [&](JpegComponent& c, int bx, int by) {
        uint8_t* out = c.plane + size_t(by) * 8 * size_t(c.stride) + size_t(bx) * 8;
        int symbol;
        const int32_t diff = decode_value(br, d.dc_tables[c.dc_table], &symbol);
        c.dc_predictor = static_cast<int32_t>(uint32_t(c.dc_predictor) + uint32_t(diff));
        block[0] = int32_t(int16_t(c.dc_predictor)) * c.quant[0];
        uint32_t rows = 1, columns = 1;
        const HuffmanTable& ac = d.ac_tables[c.ac_table];
        for (int k = 1; k < 64; ++k) {
            const int32_t v = decode_value(br, ac, &symbol);
            const int run = symbol >> 4;
            if (symbol & 15) {
                k += run;
                const int position = kNatural[k];
                block[position] = static_cast<int32_t>(uint32_t(v) * c.quant[position]);
                rows |= 1u << (position >> 3);
                columns |= 1u << (position & 7);
            } else if (run == 15) {
                k += 15;
            } else {
                break;
            }
        }
        idct_block(block, rows, columns, out, c.stride);
        for (uint32_t left = rows; left; left &= left - 1)  // the block array stays all zero between blocks
            std::memset(block + 8 * std::countr_zero(left), 0, 8 * sizeof(int32_t));
    };
    auto missing = [](JpegComponent& c, int bx, int by) {
        write_flat_block(128, c.plane + size_t(by) * 8 * size_t(c.stride) + size_t(bx) * 8, c.stride);
    };
    walk_mcus(d, scan, br, decode, missing);
}

inline int16_t* coefficient_block(JpegComponent& c, int bx, int by)
{
    return c.coefficients + (size_t(by) * size_t(c.padded_blocks_wide) + size_t(bx)) * 64;
}

void decode_dc_first(JpegState& d, Scan& scan, BitReader& br)
{
    walk_mcus(
        d, scan, br,
        [&](JpegComponent& c, int bx, int by) {
            const int s = decode_symbol(br, d.dc_tables[c.dc_table]);
            const int32_t diff = s ? extend_magnitude(static_cast<int32_t>(take_bits(br, s)), s) : 0;
            c.dc_predictor = static_cast<int32_t>(uint32_t(c.dc_predictor) + uint32_t(diff));
            coefficient_block(c, bx, by)[0] = static_cast<int16_t>(uint32_t(c.dc_predictor) << scan.al);
        },
        [](JpegComponent&, int, int) {});
}

void decode_dc_refinement(JpegState& d, Scan& scan, BitReader& br)
{
    walk_mcus(
        d, scan, br,
        [&](JpegComponent& c, int bx, int by) {
            if (take_bits(br, 1))
                coefficient_block(c, bx, by)[0] |= static_cast<int16_t>(1 << scan.al);
        },
        [](JpegComponent&, int, int) {});
}

void decode_ac_first(JpegState& d, Scan& scan, BitReader& br)
{
    walk_mcus(
        d, scan, br,
        [&](JpegComponent& c, int bx, int by) {
            if (scan.eob_run > 0) {
                --scan.eob_run;
                return;
            }
            int16_t* block = coefficient_block(c, bx, by);
            const HuffmanTable& ac = d.ac_tables[c.ac_table];
            for (int k = scan.ss; k <= scan.se; ++k) {
                const int symbol = decode_symbol(br, ac);
                const int run = symbol >> 4, s = symbol & 15;
                if (s) {
                    k += run;
                    const int32_t v = extend_magnitude(static_cast<int32_t>(take_bits(br, s)), s);
                    block[kNatural[k]] = static_cast<int16_t>(uint32_t(v) << scan.al);
                } else if (run == 15) {
                    k += 15;
                } else {
                    scan.eob_run = (1 << run) - 1;
                    if (run)
                        scan.eob_run += static_cast<int>(take_bits(br, run));
                    break;
                }
            }
        },
        [](JpegComponent&, int, int) {});
}

// A coefficient already non-zero gets one correction bit: set, it moves one step further
// from zero unless that bit is in it already.
inline void refine(BitReader& br, int16_t& coefficient, int p1)
{
    if (take_bits(br, 1) && (coefficient & p1) == 0)
        coefficient = static_cast<int16_t>(coefficient + (coefficient >= 0 ? p1 : -p1));
}

void decode_ac_refinement(JpegState& d, Scan& scan, BitReader& br)
{
    const int p1 = 1 << scan.al;
    walk_mcus(
        d, scan, br,
        [&](JpegComponent& c, int bx, int by) {
            int16_t* block = coefficient_block(c, bx, by);
            int k = scan.ss;
            if (scan.eob_run == 0) {
                const HuffmanTable& ac = d.ac_tables[c.ac_table];
                for (; k <= scan.se; ++k) {
                    const int symbol = decode_symbol(br, ac);
                    int run = symbol >> 4, value = 0;
                    if (symbol & 15) {
                        value = take_bits(br, 1) ? p1 : -p1;
                    } else if (run != 15) {
                        scan.eob_run = 1 << run;
                        if (run)
                            scan.eob_run += static_cast<int>(take_bits(br, run));
                        break;
                    }
                    // Past `run` zero coefficients (refining the non-zero ones on the way)
                    // to the one that becomes `value`.
                    for (; k <= scan.se; ++k) {
                        int16_t& coefficient = block[kNatural[k]];
                        if (coefficient != 0)
                            refine(br, coefficient, p1);
                        else if (--run < 0)
                            break;
                    }
                    if (value)
                        block[kNatural[k]] = static_cast<int16_t>(value);
                }
            }
            if (scan.eob_run > 0) {
                for (; k <= scan.se; ++k)
                    if (block[kNatural[k]] != 0)
                        refine(br, block[kNatural[k]], p1);
                --scan.eob_run;
            }
        },
        [](JpegComponent&, int, int) {});
}

// libjpeg's checks on a progressive scan's band and bit positions.
bool progressive_parameters_valid(const Scan& scan)
{
    if (scan.ss == 0 ? scan.se != 0 : scan.ss > scan.se || scan.se > 63 || scan.count != 1)
        return false;
    return (scan.ah == 0 || scan.al == scan.ah - 1) && scan.al <= 13;
}

// A table the stream never defined is the standard one where libjpeg falls back on it.
const HuffmanTable* usable_table(HuffmanTable* tables, int id, bool dc)
{
    HuffmanTable& t = tables[id];
    if (!t.defined && id < 2) {
        const HuffmanSpec& spec = dc ? (id ? kDcChrominance : kDcLuminance) : (id ? kAcChrominance : kAcLuminance);
        build_huffman_table(t, spec.counts, {spec.symbols, size_t(spec.symbol_count())});
    }
    return t.defined && (!dc || t.dc_usable) ? &t : nullptr;
}

bool read_scan_header(JpegState& d, ByteReader& s, Scan& scan)
{
    scan = Scan{};
    scan.count = s.u8();
    if (!d.frame_seen || scan.count < 1 || scan.count > d.component_count)
        return false;
    for (int i = 0; i < scan.count; ++i) {
        const int id = s.u8(), tables = s.u8();
        int index = 0;
        while (index < d.component_count && d.components[index].id != id)
            ++index;
        if (index == d.component_count || std::find(scan.members, scan.members + i, index) != scan.members + i)
            return false;
        scan.members[i] = index;
        d.components[index].dc_table = tables >> 4;
        d.components[index].ac_table = tables & 15;
        if ((tables >> 4) > 3 || (tables & 15) > 3)
            return false;
    }
    scan.ss = s.u8();
    scan.se = s.u8();
    const int approximation = s.u8();
    scan.ah = approximation >> 4;
    scan.al = approximation & 15;
    return s.ok() && (!d.progressive || progressive_parameters_valid(scan));
}

// The scan's MCU layout, its tables and quantisers; false when it cannot be decoded.
bool prepare_scan(JpegState& d, Scan& scan)
{
    const bool dc_scan = !d.progressive || scan.ss == 0;
    const bool needs_dc = dc_scan && scan.ah == 0, needs_ac = !d.progressive || scan.ss > 0;
    for (int i = 0; i < scan.count; ++i) {
        JpegComponent& c = d.components[scan.members[i]];
        if ((needs_dc && !usable_table(d.dc_tables, c.dc_table, true)) ||
            (needs_ac && !usable_table(d.ac_tables, c.ac_table, false)))
            return false;
        // A sequential frame codes each component in one scan; another would only repeat
        // the work (hostile streams repeat it for as long as they like).
        if (c.quant_taken && !d.progressive)
            return false;
        if (!c.quant_taken) {  // libjpeg keeps the table in force at the component's first scan
            if (!d.quant_defined[c.quant_index])
                return false;
            std::memcpy(c.quant, d.quant_tables[c.quant_index], sizeof c.quant);
            c.quant_taken = true;
        }
        c.dc_predictor = 0;
        for (int dy = 0; dy < (scan.count > 1 ? c.v : 1); ++dy)
            for (int dx = 0; dx < (scan.count > 1 ? c.h : 1); ++dx) {
                if (scan.block_count == 10)
                    return false;
                scan.blocks[scan.block_count++] = {scan.members[i], dx, dy};
            }
    }
    const JpegComponent& first = d.components[scan.members[0]];
    scan.mcus_wide = scan.count > 1 ? d.mcus_per_row : first.blocks_wide;
    scan.mcus_high = scan.count > 1 ? d.mcu_rows : first.blocks_high;
    return true;
}

// Decodes one scan; on return the reader's cursor is where the marker search goes on.
void read_scan(JpegState& d, ByteReader s, ByteReader& in)
{
    Scan scan;
    if (++d.scan_count > kMaxScans || !read_scan_header(d, s, scan) || !prepare_scan(d, scan)) {
        d.status = Fault::malformed;
        return;
    }
    const std::span<const uint8_t> rest = in.rest();
    BitReader br{rest.data(), rest.data() + rest.size(), 0, 0, 0, false};
    if (!d.progressive)
        decode_sequential_scan(d, scan, br);
    else if (scan.ss == 0)
        (scan.ah ? decode_dc_refinement : decode_dc_first)(d, scan, br);
    else
        (scan.ah ? decode_ac_refinement : decode_ac_first)(d, scan, br);
    in.skip(size_t(br.cursor - rest.data()));
    d.scanned = true;
}

// ---------------------------------------------------------------- upsampling and colour

// Progressive frames keep coefficients until every scan is in.
void transform_coefficients(JpegState& d)
{
    alignas(16) int32_t block[64];
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        if (!c.quant_taken)
            continue;
        for (int by = 0; by < c.blocks_high; ++by)
            for (int bx = 0; bx < c.blocks_wide; ++bx) {
                const int16_t* coefficients = coefficient_block(c, bx, by);
                uint32_t rows = 1, columns = 1;
                for (int k = 0; k < 64; ++k) {
                    block[k] = static_cast<int32_t>(uint32_t(int32_t(coefficients[k])) * c.quant[k]);
                    if (coefficients[k]) {
                        rows |= 1u << (k >> 3);
                        columns |= 1u << (k & 7);
                    }
                }
                idct_block(block, rows, columns, c.plane + size_t(by) * 8 * size_t(c.stride) + size_t(bx) * 8,
                           c.stride);
            }
    }
}

// A component no scan reached has all-zero coefficients: mid grey, as libjpeg shows it.
void fill_unscanned(JpegState& d)
{
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        if (!c.quant_taken)
            std::memset(c.plane, 128, size_t(c.stride) * size_t(d.mcu_rows) * size_t(c.v) * 8);
    }
}

// How one component's rows are brought to full size, as libjpeg's defaults choose:
// the triangle filters where the ratio is 2 across (on rows of more than two samples),
// 2 across and down, or 2 down; plain replication for every other ratio.
enum class Upsampling { none, h2v1, h2v2, h1v2, replicate };

struct ComponentRows {
    const JpegComponent* c;
    Upsampling method;
    int ratio_h, ratio_v;
    ByteBuffer row;   // the full-size row
    ByteBuffer sums;  // h2v2: vertical sums, with one replicated sum at each end
};

bool init_component_rows(JpegState& d, ComponentRows& rows, const JpegComponent& c)
{
    rows.c = &c;
    rows.ratio_h = d.hmax / c.h;
    rows.ratio_v = d.vmax / c.v;
    const int h = rows.ratio_h, v = rows.ratio_v;
    if (h == 1 && v == 1)
        rows.method = Upsampling::none;
    else if (h == 2 && v == 1 && c.width > 2)
        rows.method = Upsampling::h2v1;
    else if (h == 2 && v == 2 && c.width > 2)
        rows.method = Upsampling::h2v2;
    else if (h == 1 && v == 2)
        rows.method = Upsampling::h1v2;
    else
        rows.method = Upsampling::replicate;
    if (rows.method == Upsampling::none)
        return true;
    const uint64_t full_width = uint64_t(c.width) * uint64_t(h) + 16;
    rows.row.reset(allocate<uint8_t>(d, full_width, true));
    rows.sums.reset(reinterpret_cast<uint8_t*>(allocate<uint16_t>(d, uint64_t(c.width) + 2, true)));
    return d.status == Fault::none;
}

// out[2x] leans on the left neighbour, out[2x+1] on the right, 3:1, with the rounding
// biases alternating between the two as in libjpeg; the edges repeat their sample.
void upsample_h2v1(const uint8_t* in, int w, uint8_t* out)
{
    int x = 0;
    auto one = [&](int i) {
        const int near3 = 3 * in[i], left = in[i > 0 ? i - 1 : 0], right = in[i + 1 < w ? i + 1 : w - 1];
        out[2 * i] = static_cast<uint8_t>((near3 + left + 1) >> 2);
        out[2 * i + 1] = static_cast<uint8_t>((near3 + right + 2) >> 2);
    };
    one(x++);
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 9 <= w; x += 8) {
        const auto load = [&](int at) {
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + at)), zero);
        };
        const __m128i near = load(x), near3 = _mm_add_epi16(near, _mm_add_epi16(near, near));
        const __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, load(x - 1)), _mm_set1_epi16(1)), 2);
        const __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, load(x + 1)), _mm_set1_epi16(2)), 2);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                         _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd)));
    }
#endif
    for (; x < w; ++x)
        one(x);
}

// Both directions at once: vertical 3:1 sums of the nearer and the farther row, then the
// same horizontally, everything divided by 16 at the end.
void upsample_h2v2(const uint8_t* nearer, const uint8_t* farther, int w, uint16_t* sums, uint8_t* out)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 8 <= w; x += 8) {
        const __m128i n = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(nearer + x)), zero);
        const __m128i f = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(farther + x)), zero);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + x + 1),
                         _mm_add_epi16(_mm_add_epi16(n, n), _mm_add_epi16(n, f)));
    }
#endif
    for (; x < w; ++x)
        sums[x + 1] = static_cast<uint16_t>(3 * nearer[x] + farther[x]);
    sums[0] = sums[1];
    sums[w + 1] = sums[w];
    x = 0;
#if defined(__SSE2__)
    for (; x + 8 <= w; x += 8) {
        const auto load = [&](int at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + at)); };
        const __m128i near = load(x + 1), near3 = _mm_add_epi16(near, _mm_add_epi16(near, near));
        const __m128i even = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, load(x)), _mm_set1_epi16(8)), 4);
        const __m128i odd = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(near3, load(x + 2)), _mm_set1_epi16(7)), 4);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                         _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd)));
    }
#endif
    for (; x < w; ++x) {
        out[2 * x] = static_cast<uint8_t>((3 * sums[x + 1] + sums[x] + 8) >> 4);
        out[2 * x + 1] = static_cast<uint8_t>((3 * sums[x + 1] + sums[x + 2] + 7) >> 4);
    }
}

void upsample_h1v2(const uint8_t* nearer, const uint8_t* farther, int w, int bias, uint8_t* out)
{
    for (int x = 0; x < w; ++x)
        out[x] = static_cast<uint8_t>((3 * nearer[x] + farther[x] + bias) >> 2);
}

void replicate_row(const uint8_t* in, int w, int ratio, uint8_t* out)
{
    for (int x = 0; x < w; ++x)
        std::memset(out + size_t(x) * size_t(ratio), in[x], size_t(ratio));
}

// Row y of the component at full size (at least the picture's width).
const uint8_t* full_row(ComponentRows& rows, int y)
{
    const JpegComponent& c = *rows.c;
    auto stored = [&](int j) { return c.plane + size_t(std::clamp(j, 0, c.height - 1)) * size_t(c.stride); };
    uint8_t* out = rows.row.get();
    const int i = y / rows.ratio_v;
    // The vertical filters lean on the row above for even rows, the row below for odd ones.
    const int other = y & 1 ? i + 1 : i - 1;
    switch (rows.method) {
    case Upsampling::none: return stored(y);
    case Upsampling::h2v1: upsample_h2v1(stored(i), c.width, out); break;
    case Upsampling::h2v2:
        upsample_h2v2(stored(i), stored(other), c.width, reinterpret_cast<uint16_t*>(rows.sums.get()), out);
        break;
    case Upsampling::h1v2: upsample_h1v2(stored(i), stored(other), c.width, y & 1 ? 2 : 1, out); break;
    case Upsampling::replicate: replicate_row(stored(i), c.width, rows.ratio_h, out); break;
    }
    return out;
}

#if defined(__SSE2__)
// Four pixels R, G, B, 0 (one per 32-bit lane) squeezed into the low 12 bytes.
inline __m128i squeeze_rgb0(__m128i pixels)
{
    const __m128i low_pixel = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i high_pixel = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000u), 0x0000FFFF,
                                             static_cast<int>(0xFF000000u));
    // Per 64-bit half: two pixels packed into its low six bytes.
    const __m128i pairs = _mm_or_si128(_mm_and_si128(pixels, low_pixel),
                                       _mm_and_si128(_mm_srli_epi64(pixels, 8), high_pixel));
    const __m128i first_six = _mm_set_epi32(0, 0, 0x0000FFFF, -1);
    const __m128i next_six = _mm_set_epi32(0, -1, static_cast<int>(0xFFFF0000u), 0);
    return _mm_or_si128(_mm_and_si128(pairs, first_six), _mm_and_si128(_mm_srli_si128(pairs, 2), next_six));
}

// Sixteen pixels of R, G, B planes into 48 interleaved bytes. The overlapping 16-byte
// stores each leave 4 bytes that the next one overwrites.
inline void store_rgb16(__m128i vr, __m128i vg, __m128i vb, uint8_t* out)
{
    const __m128i zero = _mm_setzero_si128();
    const __m128i rg_low = _mm_unpacklo_epi8(vr, vg), rg_high = _mm_unpackhi_epi8(vr, vg);
    const __m128i b0_low = _mm_unpacklo_epi8(vb, zero), b0_high = _mm_unpackhi_epi8(vb, zero);
    const __m128i q0 = squeeze_rgb0(_mm_unpacklo_epi16(rg_low, b0_low));
    const __m128i q1 = squeeze_rgb0(_mm_unpackhi_epi16(rg_low, b0_low));
    const __m128i q2 = squeeze_rgb0(_mm_unpacklo_epi16(rg_high, b0_high));
    const __m128i q3 = squeeze_rgb0(_mm_unpackhi_epi16(rg_high, b0_high));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), q0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), q1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), q2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 36), q3);
    const int last = _mm_cvtsi128_si32(_mm_srli_si128(q3, 8));
    std::memcpy(out + 44, &last, 4);
}

// Eight pixels of YCbCr to R, G, B in 16-bit lanes (see convert_pixel for the arithmetic).
inline void convert8(__m128i y, __m128i cb, __m128i cr, __m128i& r, __m128i& g, __m128i& b)
{
    const __m128i one = _mm_set1_epi16(1), centre = _mm_set1_epi16(128);
    cb = _mm_sub_epi16(cb, centre);
    cr = _mm_sub_epi16(cr, centre);
    const __m128i cb2 = _mm_add_epi16(cb, cb), cr2 = _mm_add_epi16(cr, cr);
    const __m128i r_part = _mm_srai_epi16(_mm_add_epi16(_mm_mulhi_epi16(cr2, _mm_set1_epi16(26345)), one), 1);
    r = _mm_add_epi16(y, _mm_add_epi16(cr, r_part));
    const __m128i b_part = _mm_srai_epi16(_mm_add_epi16(_mm_mulhi_epi16(cb2, _mm_set1_epi16(-14942)), one), 1);
    b = _mm_add_epi16(y, _mm_add_epi16(cb2, b_part));
    const __m128i weights = _mm_set1_epi32((18734 << 16) | (-22554 & 0xFFFF)), half = _mm_set1_epi32(32768);
    const __m128i g_low = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(cb, cr), weights), half), 16);
    const __m128i g_high = _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(cb, cr), weights), half), 16);
    g = _mm_add_epi16(y, _mm_sub_epi16(_mm_packs_epi32(g_low, g_high), cr));
}
#endif

// libjpeg's conversion, R = Y + 1.402 Cr, G = Y - 0.34414 Cb - 0.71414 Cr, B = Y + 1.772 Cb
// in 16-bit fixed point with rounding. Each product is split into a whole multiple and a
// remainder below 1 (91881 = 65536 + 26345, 116130 = 131072 - 14942, -46802 = -65536 +
// 18734), which gives the same results with 16-bit vector multiplies.
inline void convert_pixel(int y, int cb, int cr, uint8_t* out)
{
    cb -= 128;
    cr -= 128;
    out[0] = clip_byte(y + cr + ((((2 * cr * 26345) >> 16) + 1) >> 1));
    out[1] = clip_byte(y - cr + ((-22554 * cb + 18734 * cr + 32768) >> 16));
    out[2] = clip_byte(y + 2 * cb + ((((2 * cb * -14942) >> 16) + 1) >> 1));
}

void convert_row(const uint8_t* py, const uint8_t* pcb, const uint8_t* pcr, uint8_t* out, int width)
{
    int x = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= width; x += 16) {
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(py + x));
        const __m128i cb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pcb + x));
        const __m128i cr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pcr + x));
        __m128i r0, g0, b0, r1, g1, b1;
        convert8(_mm_unpacklo_epi8(y, zero), _mm_unpacklo_epi8(cb, zero), _mm_unpacklo_epi8(cr, zero), r0, g0, b0);
        convert8(_mm_unpackhi_epi8(y, zero), _mm_unpackhi_epi8(cb, zero), _mm_unpackhi_epi8(cr, zero), r1, g1, b1);
        store_rgb16(_mm_packus_epi16(r0, r1), _mm_packus_epi16(g0, g1), _mm_packus_epi16(b0, b1), out + 3 * x);
    }
#endif
    for (; x < width; ++x)
        convert_pixel(py[x], pcb[x], pcr[x], out + 3 * x);
}

void interleave_row(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out, int width)
{
    int x = 0;
#if defined(__SSE2__)
    for (; x + 16 <= width; x += 16)
        store_rgb16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x)),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x)),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x)), out + 3 * x);
#endif
    for (; x < width; ++x) {
        out[3 * x] = r[x];
        out[3 * x + 1] = g[x];
        out[3 * x + 2] = b[x];
    }
}

// The colour space libjpeg assumes for three components: an Adobe marker says it, else
// a JFIF marker means YCbCr, else components named R, G, B are RGB.
bool stored_as_rgb(const JpegState& d)
{
    if (d.saw_adobe)
        return d.adobe_transform == 0;
    if (d.saw_jfif)
        return false;
    return d.components[0].id == 'R' && d.components[1].id == 'G' && d.components[2].id == 'B';
}

void convert_to_rgb(JpegState& d)
{
    ComponentRows rows[3];
    for (int i = 0; i < 3; ++i)
        if (!init_component_rows(d, rows[i], d.components[i]))
            return;
    const bool rgb = stored_as_rgb(d);
    for (int y = 0; y < d.height; ++y) {
        const uint8_t* c0 = full_row(rows[0], y);
        const uint8_t* c1 = full_row(rows[1], y);
        const uint8_t* c2 = full_row(rows[2], y);
        uint8_t* out = d.image + size_t(y) * size_t(d.width) * 3;
        (rgb ? interleave_row : convert_row)(c0, c1, c2, out, d.width);
    }
}

void compact_grey_plane(JpegState& d)
{
    JpegComponent& c = d.components[0];
    for (int y = 1; y < d.height; ++y)
        std::memmove(c.plane + size_t(y) * size_t(d.width), c.plane + size_t(y) * size_t(c.stride), size_t(d.width));
}

void finish_picture(JpegState& d)
{
    if (d.progressive)
        transform_coefficients(d);
    fill_unscanned(d);
    if (d.component_count == 3)
        convert_to_rgb(d);
    else
        compact_grey_plane(d);
}

// ---------------------------------------------------------------- markers

// Authoring tools before SWF 8 wrote an EOI SOI pair in front of the data, or the
// tables and the picture as two SOI..EOI blocks. Such a pair only separates segments.
bool skip_end_start_pair(ByteReader& in)
{
    const std::span<const uint8_t> rest = in.rest();
    if (rest.size() < 4 || rest[0] != 0xFF || rest[1] != 0xD9 || rest[2] != 0xFF || rest[3] != 0xD8)
        return false;
    in.skip(4);
    return true;
}

bool is_unsupported_frame(int marker)
{
    return marker == 0xC3 || (marker >= 0xC5 && marker <= 0xC7) || (marker >= 0xC9 && marker <= 0xCB) ||
           (marker >= 0xCD && marker <= 0xCF);
}

// Runs the marker segments up to EOI or the end of the data. Like libjpeg, bytes that are
// not a marker between segments are passed over, and data that ends after a scan still
// gives the picture read so far.
Fault decode_stream(JpegState& d, std::span<const uint8_t> data)
{
    ByteReader in(data);
    skip_end_start_pair(in);
    if (in.u8() != 0xFF || in.u8() != 0xD8)
        return Fault::malformed;
    while (d.status == Fault::none) {
        if (!d.scanned && skip_end_start_pair(in))
            continue;
        const uint8_t* cursor = in.rest().data();
        const bool found = seek_marker(cursor, data.data() + data.size());
        in.seek(size_t(cursor - data.data()));
        if (!found)
            break;
        in.skip(1);
        const int marker = in.u8();
        if (marker == 0xD9)
            break;
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01)  // stand-alone, nothing to read
            continue;
        if (marker == 0xD8) {
            d.status = Fault::malformed;
            break;
        }
        const uint16_t length = in.u16be();
        ByteReader segment(in.bytes(length >= 2 ? length - 2u : 0));
        if (!in.ok() && d.scanned)  // the data ends inside a segment after a scan: what was read stays
            break;
        if (!in.ok() || length < 2) {
            d.status = Fault::malformed;
            break;
        }
        if (marker >= 0xC0 && marker <= 0xC2)
            read_frame_header(d, marker, segment);
        else if (is_unsupported_frame(marker))
            d.status = Fault::unsupported;
        else if (marker == 0xC4)
            read_huffman_tables(d, segment);
        else if (marker == 0xDB)
            read_quant_tables(d, segment);
        else if (marker == 0xDD)
            read_restart_interval(d, segment);
        else if (marker == 0xDA)
            read_scan(d, segment, in);
        else if ((marker & 0xF0) == 0xE0)
            read_application_segment(d, marker, segment);
    }
    if (d.status != Fault::none)
        return d.status;
    if (!d.scanned)
        return Fault::malformed;
    finish_picture(d);
    return d.status;
}

}  // namespace

JpegDecoder::JpegDecoder() : state_(new (std::nothrow) JpegState{}) {}

JpegDecoder::~JpegDecoder()
{
    if (state_)
        free_buffers(*state_);
    delete state_;
}

Fault JpegDecoder::decode(std::span<const uint8_t> data)
{
    if (!state_)
        return Fault::out_of_memory;
    release_state(*state_);
    if (data.size() > size_t(INT32_MAX))
        return Fault::too_large;
    state_->status = decode_stream(*state_, data);
    return state_->status;
}

void JpegDecoder::release()
{
    if (state_)
        release_state(*state_);
}

int JpegDecoder::width() const { return state_ ? state_->width : 0; }

int JpegDecoder::height() const { return state_ ? state_->height : 0; }

int JpegDecoder::is_colour() const { return state_ && state_->component_count > 1 ? 1 : 0; }

const uint8_t* JpegDecoder::pixels() const
{
    if (!state_ || state_->status != Fault::none)
        return nullptr;
    return state_->component_count == 1 ? state_->components[0].plane : state_->image;
}

int JpegDecoder::pixels_size() const
{
    if (!state_ || state_->status != Fault::none)
        return 0;
    const JpegState& d = *state_;
    return d.width * d.height * d.component_count;  // below 1 GiB: the frame was refused otherwise
}
