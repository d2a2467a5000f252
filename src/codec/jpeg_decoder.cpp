#include "codec/jpeg_decoder.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "support/memory.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// The decoder's record; only this file sees inside it.
struct JpegComponent {
    int32_t component_id;  // the scan header must name the components in frame order
    int32_t h_sampling;    // 1, 2, 4 or 8
    int32_t v_sampling;
    int32_t plane_width;  // in samples; grows by upsampling
    int32_t plane_height;
    int32_t plane_stride;
    int32_t quant_table;  // 0..3
    int32_t ac_table;     // 2 or 3, index into huffman_lookup
    int32_t dc_table;     // 0 or 1
    int32_t dc_predictor;
    uint8_t* plane;  // owned by the decoder
};

// One entry of a direct lookup table indexed by the next 16 bits of entropy-coded data.
// A code length of 0 marks bit patterns that start no code.
struct JpegHuffmanEntry {
    uint8_t code_length;
    uint8_t symbol;
};

// First-level entry for the next 9 bits. code_length 0: the code is longer (or invalid),
// look in the full table. total_length non-zero: the magnitude bits fit in the 9 bits
// too, and `value` is the decoded coefficient difference.
struct JpegFastHuffmanEntry {
    uint8_t code_length;
    uint8_t symbol;
    uint8_t total_length;
    int16_t value;
};

struct JpegState {
    int32_t status;
    const uint8_t* cursor;
    int32_t remaining;
    int32_t segment_left;
    int32_t image_width;
    int32_t image_height;
    int32_t mcus_per_row;
    int32_t mcu_rows;
    int32_t mcu_width;
    int32_t mcu_height;
    int32_t component_count;
    JpegComponent components[3];
    uint8_t quant_tables[4][64];  // zig-zag order, as stored
    // DC 0, DC 1, AC 0, AC 1. Entries under a code of up to 9 bits are never read (the
    // first-level table below answers for them) and are left unwritten.
    JpegHuffmanEntry huffman_lookup[4][65536];
    uint64_t bit_buffer;  // newest bits at the bottom
    int32_t bit_count;
    int32_t coefficients[64];  // natural (row-major) order
    int32_t restart_interval;
    uint8_t* rgb_image;
    // Bit i set: huffman_lookup[i] was defined by the current image. Lets a release skip
    // clearing 512 KiB of tables; an undefined table is cleared when a scan names it.
    uint32_t defined_tables;
    // The 512 KiB of full tables keep missing the first-level cache. Codes of up to 9
    // bits (nearly all symbols) are found here first, mostly with their value.
    JpegFastHuffmanEntry huffman_fast[4][512];
};

namespace {

// Natural (row-major) position of the k-th coefficient in zig-zag order.
constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

inline uint8_t clip_byte(int32_t v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The transform is defined on 32-bit two's-complement words. Corrupt data can push
// coefficients far enough to overflow, so the arithmetic runs on uint32_t (which wraps
// by definition) and only the right shifts look at the sign.
inline uint32_t sar(uint32_t v, int n) { return static_cast<uint32_t>(static_cast<int32_t>(v) >> n); }

inline uint8_t clip_sample(uint32_t v) { return clip_byte(static_cast<int32_t>(v) + 128); }

// ---------------------------------------------------------------- segments

int read_u16(JpegState& d, int offset) { return (d.cursor[offset] << 8) | d.cursor[offset + 1]; }

void skip_bytes(JpegState& d, int32_t n)
{
    if (n > d.remaining) {  // never step the cursor past the input
        d.status = kJpegSyntaxError;
        return;
    }
    d.cursor += n;
    d.remaining -= n;
    d.segment_left -= n;
}

// Reads the segment length. A length below 2 would move the cursor backwards and
// revisit the same marker forever, so it is refused like one that overruns the input.
bool begin_segment(JpegState& d)
{
    if (d.remaining < 2) {
        d.status = kJpegSyntaxError;
        return false;
    }
    int32_t length = read_u16(d, 0);
    if (length > d.remaining || length < 2) {
        d.status = kJpegSyntaxError;
        return false;
    }
    d.segment_left = length;
    skip_bytes(d, 2);
    return true;
}

void skip_segment(JpegState& d)
{
    if (begin_segment(d))
        skip_bytes(d, d.segment_left);
}

void free_planes(JpegState& d)
{
    for (JpegComponent& c : d.components) {
        std::free(c.plane);
        c.plane = nullptr;
    }
    std::free(d.rgb_image);
    d.rgb_image = nullptr;
}

// calloc so that a failed decode never exposes uninitialised memory through the
// accessors. Sizes reaching kMaxBufferSize are refused before asking.
uint8_t* allocate_plane(JpegState& d, uint64_t size)
{
    if (size >= kMaxBufferSize) {
        d.status = kJpegUnsupported;
        return nullptr;
    }
    auto* block = static_cast<uint8_t*>(std::calloc(size ? size : 1, 1));
    if (!block)
        d.status = kJpegOutOfMemory;
    return block;
}

bool is_power_of_two(int v) { return (v & (v - 1)) == 0; }

// Returns false with the status set when the factor is unusable.
bool check_sampling(JpegState& d, int factor)
{
    if (factor == 0) {
        d.status = kJpegSyntaxError;
        return false;
    }
    if (!is_power_of_two(factor)) {
        d.status = kJpegUnsupported;
        return false;
    }
    return true;
}

bool allocate_component_planes(JpegState& d, int hmax, int vmax)
{
    uint64_t plane_sizes[std::extent_v<decltype(JpegState::components)>];
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        c.plane_width = (d.image_width * c.h_sampling + hmax - 1) / hmax;
        c.plane_height = (d.image_height * c.v_sampling + vmax - 1) / vmax;
        c.plane_stride = d.mcus_per_row * d.mcu_width * c.h_sampling / hmax;
        // The 4-tap upsampling filters read three samples from each edge.
        if ((c.plane_width < 3 && c.h_sampling != hmax) || (c.plane_height < 3 && c.v_sampling != vmax)) {
            d.status = kJpegUnsupported;
            return false;
        }
        uint64_t rows = uint64_t(d.mcu_rows) * uint64_t(d.mcu_height) * c.v_sampling / vmax;
        plane_sizes[i] = uint64_t(c.plane_stride) * rows;
    }
    uint64_t rgb_size = d.component_count == 3 ? uint64_t(d.image_width) * uint64_t(d.image_height) * 3 : 0;
    // Every size is checked before anything is allocated: a frame refused for its colour
    // image must not first take gibibytes for its planes.
    bool too_large = rgb_size >= kMaxBufferSize;
    for (int i = 0; i < d.component_count; ++i)
        too_large |= plane_sizes[i] >= kMaxBufferSize;
    if (too_large) {
        d.status = kJpegUnsupported;
        return false;
    }
    for (int i = 0; i < d.component_count; ++i) {
        d.components[i].plane = allocate_plane(d, plane_sizes[i]);
        if (!d.components[i].plane)
            return false;
    }
    if (rgb_size != 0) {
        d.rgb_image = allocate_plane(d, rgb_size);
        if (!d.rgb_image)
            return false;
    }
    return true;
}

void read_frame_header(JpegState& d)
{
    if (!begin_segment(d))
        return;
    if (d.segment_left < 9) {
        d.status = kJpegSyntaxError;
        return;
    }
    if (d.cursor[0] != 8) {
        d.status = kJpegUnsupported;
        return;
    }
    d.image_height = read_u16(d, 1);
    d.image_width = read_u16(d, 3);
    d.component_count = d.cursor[5];
    skip_bytes(d, 6);
    if (d.component_count != 1 && d.component_count != 3) {
        d.status = kJpegUnsupported;
        return;
    }
    if (d.segment_left < 3 * d.component_count) {
        d.status = kJpegSyntaxError;
        return;
    }
    int hmax = 1, vmax = 1;
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        c.component_id = d.cursor[0];
        c.h_sampling = d.cursor[1] >> 4;
        c.v_sampling = d.cursor[1] & 15;
        if (!check_sampling(d, c.h_sampling) || !check_sampling(d, c.v_sampling))
            return;
        c.quant_table = d.cursor[2];
        if (c.quant_table > 3) {
            d.status = kJpegSyntaxError;
            return;
        }
        if (c.h_sampling > hmax)
            hmax = c.h_sampling;
        if (c.v_sampling > vmax)
            vmax = c.v_sampling;
        skip_bytes(d, 3);
    }
    if (d.component_count == 1) {
        d.components[0].h_sampling = d.components[0].v_sampling = 1;
        hmax = vmax = 1;
    }
    // Width 0 is not a valid frame; height 0 means "given later by a DNL marker",
    // which this decoder does not support. Either would leave no MCU to decode.
    if (d.image_width == 0) {
        d.status = kJpegSyntaxError;
        return;
    }
    if (d.image_height == 0) {
        d.status = kJpegUnsupported;
        return;
    }
    d.mcu_width = 8 * hmax;
    d.mcu_height = 8 * vmax;
    d.mcus_per_row = (d.image_width + d.mcu_width - 1) / d.mcu_width;
    d.mcu_rows = (d.image_height + d.mcu_height - 1) / d.mcu_height;
    free_planes(d);  // a repeated frame header must not leak the first one's planes
    if (!allocate_component_planes(d, hmax, vmax))
        return;
    skip_bytes(d, d.segment_left);
}

// Magnitude bits as the coder stores them: the top half positive, the bottom half
// negative (v - 2^k + 1).
inline int32_t extend_magnitude(int32_t v, int k) { return v < (1 << (k - 1)) ? v - (1 << k) + 1 : v; }

// A code of L <= 9 bits covers 2^(16-L) >= 128 aligned entries of the full table, that
// is whole first-level entries: each of them gets the code, and the decoded value when
// the k magnitude bits fit in the rest of its 9 bits.
void fill_fast_entries(JpegFastHuffmanEntry* fast, int first, int count, int length, uint8_t symbol)
{
    const int k = symbol & 15, total = length + k;
    for (int i = first; i < first + count; ++i) {
        fast[i] = JpegFastHuffmanEntry{static_cast<uint8_t>(length), symbol, 0, 0};
        if (total <= 9) {
            fast[i].total_length = static_cast<uint8_t>(total);
            if (k)
                fast[i].value = static_cast<int16_t>(extend_magnitude((i >> (9 - total)) & ((1 << k) - 1), k));
        }
    }
}

// Assigns the codes in canonical order, each symbol taking the next 2^(16-L) entries of
// the 16-bit lookup; the entries left over start no code (length 0). The decoder reads
// the full table only where the first-level table has no code, so the entries of codes
// of up to 9 bits (nearly all of the table) live in the first-level table alone and are
// not written out 128 KiB at a time for every table of every image.
void fill_huffman_lookup(JpegState& d, int index, const uint8_t* counts)
{
    JpegHuffmanEntry* lookup = d.huffman_lookup[index];
    JpegFastHuffmanEntry* fast = d.huffman_fast[index];
    std::memset(fast, 0, sizeof d.huffman_fast[index]);
    int32_t remain = 65536, spread = 65536, next = 0;
    for (int length = 1; length <= 16; ++length) {
        spread >>= 1;
        int n = counts[length - 1];
        if (n == 0)
            continue;
        if (n > d.segment_left) {
            d.status = kJpegSyntaxError;
            return;
        }
        remain -= n * spread;
        if (remain < 0) {
            d.status = kJpegSyntaxError;
            return;
        }
        for (int i = 0; i < n; ++i, next += spread) {
            const uint8_t symbol = d.cursor[i];
            if (length <= 9) {
                fill_fast_entries(fast, next >> 7, spread >> 7, length, symbol);
            } else {
                const JpegHuffmanEntry entry{static_cast<uint8_t>(length), symbol};
                std::fill_n(lookup + next, spread, entry);
            }
        }
        skip_bytes(d, n);
    }
    std::memset(lookup + next, 0, size_t(remain) * sizeof(JpegHuffmanEntry));
}

void read_huffman_tables(JpegState& d)
{
    if (!begin_segment(d))
        return;
    while (d.segment_left >= 17) {
        int t = d.cursor[0];
        if (t & 0xEC) {
            d.status = kJpegSyntaxError;
            return;
        }
        if (t & 0x02) {
            d.status = kJpegUnsupported;
            return;
        }
        int index = ((t >> 3) | t) & 3;
        const uint8_t* counts = d.cursor + 1;
        skip_bytes(d, 17);
        fill_huffman_lookup(d, index, counts);
        if (d.status)
            return;
        d.defined_tables |= 1u << index;
    }
    if (d.segment_left != 0)
        d.status = kJpegSyntaxError;
}

void read_quant_tables(JpegState& d)
{
    if (!begin_segment(d))
        return;
    while (d.segment_left >= 65) {
        int id = d.cursor[0];
        if (id > 3) {  // also refuses 16-bit tables, whose id byte has the precision nibble
            d.status = kJpegSyntaxError;
            return;
        }
        std::memcpy(d.quant_tables[id], d.cursor + 1, 64);
        skip_bytes(d, 65);
    }
    if (d.segment_left != 0)
        d.status = kJpegSyntaxError;
}

void read_restart_interval(JpegState& d)
{
    if (!begin_segment(d))
        return;
    if (d.segment_left < 2) {
        d.status = kJpegSyntaxError;
        return;
    }
    d.restart_interval = read_u16(d, 0);
    skip_bytes(d, d.segment_left);
}

// ---------------------------------------------------------------- entropy-coded data

// The scan keeps the bit reader in locals so that the compiler can hold it in registers
// while the output planes are written through byte pointers.
struct BitReader {
    const uint8_t* cursor;
    const uint8_t* end;
    uint64_t buffer;  // newest bits at the bottom; bits above `count` are stale
    int count;
    int status;
};

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

// One byte the slow way, with the marker rules: an exhausted input reads as 1-bits,
// FF 00 and FF FF stand for FF, FF D9 ends the data, a restart marker FF Dn enters the
// bit stream as both bytes, and any other marker is a syntax error.
void read_byte_with_markers(BitReader& br)
{
    if (br.cursor >= br.end) {
        br.buffer = (br.buffer << 8) | 0xFF;
        br.count += 8;
        return;
    }
    uint8_t b = *br.cursor++;
    br.buffer = (br.buffer << 8) | b;
    br.count += 8;
    if (b != 0xFF)
        return;
    if (br.cursor >= br.end) {
        br.status = kJpegSyntaxError;
        return;
    }
    uint8_t marker = *br.cursor++;
    if (marker == 0x00 || marker == 0xFF)
        return;
    if (marker == 0xD9) {
        br.end = br.cursor;
        return;
    }
    if ((marker & 0xF8) == 0xD0) {
        br.buffer = (br.buffer << 8) | marker;
        br.count += 8;
        return;
    }
    br.status = kJpegSyntaxError;
}

// Brings `count` to at least `need` (at most 32), a byte at a time near markers and the
// end of the input. Works on a copy of the caller's reader (see refill).
__attribute__((noinline)) void refill_slowly(BitReader& br, int need)
{
    while (br.count < need) {
        while (br.count <= 56 && br.cursor < br.end && *br.cursor != 0xFF) {
            br.buffer = (br.buffer << 8) | *br.cursor++;
            br.count += 8;
        }
        if (br.count >= need)
            return;
        read_byte_with_markers(br);
    }
}

// Brings `count` to at least `need` (at most 32). Plain bytes have no side effects and
// are taken in bulk; a marker byte or the end of the input is handled only when its
// bits are really needed, so errors surface exactly where a byte-wise reader finds them.
// The rare slow path gets a copy, so that the scan's reader never has its address taken
// and stays in registers.
inline void refill(BitReader& br, int need)
{
    if (br.end - br.cursor >= 8) {
        const uint64_t word = load_be64(br.cursor);
        if (!has_ff_byte(word)) {
            const int bytes = (63 - br.count) >> 3;  // 4..7 here, as count < 32
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

// Decodes one Huffman symbol and the magnitude bits that follow it.
inline int32_t decode_huffman_value(JpegState& d, BitReader& br, int table, int* symbol)
{
    if (br.count < 16)
        refill(br, 16);
    const uint32_t next16 = static_cast<uint32_t>(br.buffer >> (br.count - 16)) & 0xFFFF;
    const JpegFastHuffmanEntry& fast = d.huffman_fast[table][next16 >> 7];
    if (fast.total_length) {  // 16 bits were held, so the magnitude bits need no refill
        br.count -= fast.total_length;
        *symbol = fast.symbol;
        return fast.value;
    }
    JpegHuffmanEntry entry{fast.code_length, fast.symbol};
    if (entry.code_length == 0)
        entry = d.huffman_lookup[table][next16];
    if (entry.code_length == 0) {
        br.status = kJpegSyntaxError;
        return 0;
    }
    br.count -= entry.code_length;
    *symbol = entry.symbol;
    const int k = entry.symbol & 15;
    if (k == 0)
        return 0;
    return extend_magnitude(static_cast<int32_t>(take_bits(br, k)), k);
}

// ---------------------------------------------------------------- inverse transform

void idct_row(int32_t* c)
{
    if (!(c[1] | c[2] | c[3] | c[4] | c[5] | c[6] | c[7])) {
        int32_t v = static_cast<int32_t>(uint32_t(c[0]) << 3);
        for (int i = 0; i < 8; ++i)
            c[i] = v;
        return;
    }
    uint32_t x0 = (uint32_t(c[0]) << 11) + 128, x1 = uint32_t(c[4]) << 11;
    uint32_t x2 = c[6], x3 = c[2], x4 = c[1], x5 = c[7], x6 = c[5], x7 = c[3], x8;
    x8 = 565 * (x4 + x5);
    x4 = x8 + 2276 * x4;
    x5 = x8 - 3406 * x5;
    x8 = 2408 * (x6 + x7);
    x6 = x8 - 799 * x6;
    x7 = x8 - 4017 * x7;
    x8 = x0 + x1;
    x0 -= x1;
    x1 = 1108 * (x3 + x2);
    x2 = x1 - 3784 * x2;
    x3 = x1 + 1568 * x3;
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;
    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = sar(181 * (x4 + x5) + 128, 8);
    x4 = sar(181 * (x4 - x5) + 128, 8);
    c[0] = static_cast<int32_t>(sar(x7 + x1, 8));
    c[1] = static_cast<int32_t>(sar(x3 + x2, 8));
    c[2] = static_cast<int32_t>(sar(x0 + x4, 8));
    c[3] = static_cast<int32_t>(sar(x8 + x6, 8));
    c[4] = static_cast<int32_t>(sar(x8 - x6, 8));
    c[5] = static_cast<int32_t>(sar(x0 - x4, 8));
    c[6] = static_cast<int32_t>(sar(x3 - x2, 8));
    c[7] = static_cast<int32_t>(sar(x7 - x1, 8));
}

// Four 32-bit lanes, one per column: the column transform runs on four columns side by
// side (GCC vector extensions, one SSE2 or NEON register).
using Lanes = uint32_t __attribute__((vector_size(16)));
using SignedLanes = int32_t __attribute__((vector_size(16)));
using ByteLanes = uint8_t __attribute__((vector_size(4)));

inline Lanes sar(Lanes v, int n) { return reinterpret_cast<Lanes>(reinterpret_cast<SignedLanes>(v) >> n); }

inline ByteLanes clip_samples(Lanes v)
{
    SignedLanes s = reinterpret_cast<SignedLanes>(v) + 128;
    s = s < 0 ? 0 : s;
    s = s > 255 ? 255 : s;
    return __builtin_convertvector(s, ByteLanes);
}

// Each column's result is its all-zero shortcut or the full transform, chosen per lane.
void idct_four_columns(const int32_t* c, uint8_t* out, int stride)
{
    Lanes row[8];
    for (int y = 0; y < 8; ++y)
        std::memcpy(&row[y], c + 8 * y, sizeof row[y]);
    const SignedLanes flat = (row[1] | row[2] | row[3] | row[4] | row[5] | row[6] | row[7]) == 0;
    Lanes x0 = (row[0] << 8) + 8192, x1 = row[4] << 8, x2 = row[6], x3 = row[2];
    Lanes x4 = row[1], x5 = row[7], x6 = row[5], x7 = row[3], x8;
    x8 = 565 * (x4 + x5) + 4;
    x4 = sar(x8 + 2276 * x4, 3);
    x5 = sar(x8 - 3406 * x5, 3);
    x8 = 2408 * (x6 + x7) + 4;
    x6 = sar(x8 - 799 * x6, 3);
    x7 = sar(x8 - 4017 * x7, 3);
    x8 = x0 + x1;
    x0 -= x1;
    x1 = 1108 * (x3 + x2) + 4;
    x2 = sar(x1 - 3784 * x2, 3);
    x3 = sar(x1 + 1568 * x3, 3);
    x1 = x4 + x6;
    x4 -= x6;
    x6 = x5 + x7;
    x5 -= x7;
    x7 = x8 + x3;
    x8 -= x3;
    x3 = x0 + x2;
    x0 -= x2;
    x2 = sar(181 * (x4 + x5) + 128, 8);
    x4 = sar(181 * (x4 - x5) + 128, 8);
    const Lanes shortcut = sar(row[0] + 32, 6);
    const Lanes result[8] = {sar(x7 + x1, 14), sar(x3 + x2, 14), sar(x0 + x4, 14), sar(x8 + x6, 14),
                             sar(x8 - x6, 14), sar(x0 - x4, 14), sar(x3 - x2, 14), sar(x7 - x1, 14)};
    for (int y = 0; y < 8; ++y) {
        const ByteLanes bytes = clip_samples(flat ? shortcut : result[y]);
        std::memcpy(out + size_t(y) * stride, &bytes, 4);
    }
}

void idct_columns(const int32_t* c, uint8_t* out, int stride)
{
    idct_four_columns(c, out, stride);
    idct_four_columns(c + 4, out + 4, stride);
}

// A block without AC coefficients goes through both passes' all-zero shortcuts and
// comes out flat; computing that one value directly is the common fast case.
void write_flat_block(int32_t dc, uint8_t* out, int stride)
{
    uint8_t v = clip_sample(sar((uint32_t(dc) << 3) + 32, 6));
    for (int y = 0; y < 8; ++y)
        std::memset(out + y * stride, v, 8);
}

// With only the first row in use every column takes the all-zero shortcut, so all
// eight rows of the block repeat one line.
void write_column_shortcuts(const int32_t* c, uint8_t* out, int stride)
{
    uint8_t line[8];
    for (int i = 0; i < 8; ++i)
        line[i] = clip_sample(sar(uint32_t(c[i]) + 32, 6));
    for (int y = 0; y < 8; ++y)
        std::memcpy(out + size_t(y) * stride, line, 8);
}

// `coefficients` is kept all zero between blocks: a block clears the rows it used
// (bit r of `rows` for row r) instead of the whole array before it starts.
void clear_rows(int32_t* coefficients, uint32_t rows)
{
    for (; rows; rows &= rows - 1)
        std::memset(coefficients + 8 * std::countr_zero(rows), 0, 8 * sizeof(int32_t));
}

void decode_block(JpegState& d, BitReader& br, JpegComponent& c, uint8_t* out)
{
    int32_t* coefficients = d.coefficients;
    const uint8_t* quant = d.quant_tables[c.quant_table];
    int symbol = 0;
    uint32_t diff = uint32_t(decode_huffman_value(d, br, c.dc_table, &symbol));
    c.dc_predictor = static_cast<int32_t>(uint32_t(c.dc_predictor) + diff);
    int32_t dc = static_cast<int32_t>(uint32_t(c.dc_predictor) * quant[0]);

    coefficients[0] = dc;
    uint32_t rows = 1;
    bool has_ac = false;
    int k = 0;
    do {
        symbol = 0;
        int32_t v = decode_huffman_value(d, br, c.ac_table, &symbol);
        if (symbol == 0)
            break;
        k += (symbol >> 4) + 1;
        if (((symbol & 15) == 0 && symbol != 0xF0) || k > 63) {
            br.status = kJpegSyntaxError;
            clear_rows(coefficients, rows);
            return;
        }
        const int position = kZigzag[k];
        coefficients[position] = v * quant[k];
        rows |= 1u << (position >> 3);
        has_ac = true;
    } while (k < 63);

    if (!has_ac) {
        coefficients[0] = 0;
        write_flat_block(dc, out, c.plane_stride);
        return;
    }
    // An all-zero row stays zero through the row transform.
    for (uint32_t left = rows; left; left &= left - 1)
        idct_row(coefficients + 8 * std::countr_zero(left));
    if (rows == 1)
        write_column_shortcuts(coefficients, out, c.plane_stride);
    else
        idct_columns(coefficients, out, c.plane_stride);
    clear_rows(coefficients, rows);
}

// After every `restart_interval` MCUs (except the last) the coder pads to a byte and
// emits FF D0..D7 in turn; the DC predictors start again from 0.
void read_restart_marker(JpegState& d, BitReader& br, int& expected)
{
    br.count &= ~7;
    uint32_t marker = take_bits(br, 16);
    if (marker != 0xFFD0u + uint32_t(expected)) {
        br.status = kJpegSyntaxError;
        return;
    }
    expected = (expected + 1) & 7;
    for (JpegComponent& c : d.components)
        c.dc_predictor = 0;
}

void decode_mcus(JpegState& d, BitReader& br)
{
    int countdown = d.restart_interval;
    int expected_restart = 0;
    for (int mby = 0; mby < d.mcu_rows; ++mby) {
        for (int mbx = 0; mbx < d.mcus_per_row; ++mbx) {
            for (int i = 0; i < d.component_count; ++i) {
                JpegComponent& c = d.components[i];
                for (int sby = 0; sby < c.v_sampling; ++sby) {
                    for (int sbx = 0; sbx < c.h_sampling; ++sbx) {
                        size_t row = size_t(mby * c.v_sampling + sby) * 8;
                        size_t column = size_t(mbx * c.h_sampling + sbx) * 8;
                        decode_block(d, br, c, c.plane + row * c.plane_stride + column);
                        if (br.status)
                            return;
                    }
                }
            }
            if (mbx == d.mcus_per_row - 1 && mby == d.mcu_rows - 1) {
                br.status = kJpegScanFinished;
                return;
            }
            if (d.restart_interval && --countdown == 0) {
                read_restart_marker(d, br, expected_restart);
                if (br.status)
                    return;
                countdown = d.restart_interval;
            }
        }
    }
}

// A table the image never defined reads as all invalid codes, as after a full reset.
void clear_undefined_table(JpegState& d, int index)
{
    if (!(d.defined_tables & (1u << index))) {
        std::memset(d.huffman_lookup[index], 0, sizeof d.huffman_lookup[index]);
        std::memset(d.huffman_fast[index], 0, sizeof d.huffman_fast[index]);
        d.defined_tables |= 1u << index;
    }
}

void read_scan(JpegState& d)
{
    if (!begin_segment(d))
        return;
    if (d.segment_left < 4 + 2 * d.component_count) {
        d.status = kJpegSyntaxError;
        return;
    }
    if (d.cursor[0] != d.component_count) {
        d.status = kJpegUnsupported;
        return;
    }
    skip_bytes(d, 1);
    for (int i = 0; i < d.component_count; ++i) {
        JpegComponent& c = d.components[i];
        if (d.cursor[0] != c.component_id || (d.cursor[1] & 0xEE)) {
            d.status = kJpegSyntaxError;
            return;
        }
        c.dc_table = d.cursor[1] >> 4;
        c.ac_table = (d.cursor[1] & 1) | 2;
        skip_bytes(d, 2);
    }
    if (d.cursor[0] != 0 || d.cursor[1] != 63 || d.cursor[2] != 0) {
        d.status = kJpegUnsupported;
        return;
    }
    skip_bytes(d, d.segment_left);
    // A scan before any frame header has no planes to fill (and no MCUs to end on).
    if (d.component_count == 0) {
        d.status = kJpegSyntaxError;
        return;
    }
    for (int i = 0; i < d.component_count; ++i) {
        clear_undefined_table(d, d.components[i].dc_table);
        clear_undefined_table(d, d.components[i].ac_table);
    }

    BitReader br{d.cursor, d.cursor + d.remaining, d.bit_buffer, d.bit_count, 0};
    decode_mcus(d, br);
    d.cursor = br.cursor;
    d.remaining = static_cast<int32_t>(br.end - br.cursor);
    d.bit_buffer = br.buffer;
    d.bit_count = br.count;
    d.status = br.status;
}

// ---------------------------------------------------------------- upsampling and colour

inline uint8_t filter_clip(int32_t v) { return clip_byte((v + 64) >> 7); }

// One row of the horizontal filter: w samples into 2w. Both edges read the real samples
// only; the MCU padding beyond w holds the encoder's fill, not picture.
void upsample_row_horizontal(const uint8_t* p, int w, uint8_t* o)
{
    o[0] = filter_clip(139 * p[0] - 11 * p[1]);
    o[1] = filter_clip(104 * p[0] + 27 * p[1] - 3 * p[2]);
    o[2] = filter_clip(28 * p[0] + 109 * p[1] - 9 * p[2]);
    for (int x = 0; x < w - 3; ++x) {
        o[2 * x + 3] = filter_clip(-9 * p[x] + 111 * p[x + 1] + 29 * p[x + 2] - 3 * p[x + 3]);
        o[2 * x + 4] = filter_clip(-3 * p[x] + 29 * p[x + 1] + 111 * p[x + 2] - 9 * p[x + 3]);
    }
    o[2 * w - 3] = filter_clip(28 * p[w - 1] + 109 * p[w - 2] - 9 * p[w - 3]);
    o[2 * w - 2] = filter_clip(104 * p[w - 1] + 27 * p[w - 2] - 3 * p[w - 3]);
    o[2 * w - 1] = filter_clip(139 * p[w - 1] - 11 * p[w - 2]);
}

// Output row y of the vertical filter over h input rows: out = CF(sum of k[i] * row[i]).
struct VerticalTaps {
    int row[4];
    int k[4];
};

VerticalTaps vertical_taps(int y, int h)
{
    if (y == 0)
        return {{0, 1, 1, 1}, {139, -11, 0, 0}};
    if (y == 1)
        return {{0, 1, 2, 2}, {104, 27, -3, 0}};
    if (y == 2)
        return {{0, 1, 2, 2}, {28, 109, -9, 0}};
    if (y == 2 * h - 3)
        return {{h - 1, h - 2, h - 3, h - 3}, {28, 109, -9, 0}};
    if (y == 2 * h - 2)
        return {{h - 1, h - 2, h - 3, h - 3}, {104, 27, -3, 0}};
    if (y == 2 * h - 1)
        return {{h - 1, h - 2, h - 2, h - 2}, {139, -11, 0, 0}};
    const int j = (y - 1) / 2;  // odd y = 2j + 1, even y = 2j + 2
    if (y & 1)
        return {{j - 1, j, j + 1, j + 2}, {-9, 111, 29, -3}};
    return {{j - 1, j, j + 1, j + 2}, {-3, 29, 111, -9}};
}

// The middle taps reach 140 * 255 and the edge taps 139 * 255, a little beyond int16_t,
// while the sum never drops below -12 * 255. So the sum is taken modulo 2^16 (eight
// lanes per SSE2 register instead of four) and a wrapped value, the only kind below
// -4096, stands for a result above 32767, which clips to 255 anyway.
void filter_row(uint8_t* out, const uint8_t* const rows[4], const int k[4], int width)
{
    const uint16_t k0 = uint16_t(k[0]), k1 = uint16_t(k[1]), k2 = uint16_t(k[2]), k3 = uint16_t(k[3]);
    const uint8_t *r0 = rows[0], *r1 = rows[1], *r2 = rows[2], *r3 = rows[3];
    for (int x = 0; x < width; ++x) {
        const uint16_t sum = uint16_t(k0 * r0[x] + k1 * r1[x] + k2 * r2[x] + k3 * r3[x] + 64);
        const int16_t v = int16_t(sum);
        out[x] = v < -4096 ? 255 : clip_byte(v >> 7);
    }
}

void upsample_horizontal(JpegState& d, JpegComponent& c)
{
    const int w = c.plane_width, h = c.plane_height, s = c.plane_stride;
    ByteBuffer doubled(allocate_plane(d, 2 * uint64_t(w) * uint64_t(h)));
    if (!doubled)
        return;
    for (int y = 0; y < h; ++y)
        upsample_row_horizontal(c.plane + size_t(y) * s, w, doubled.get() + size_t(y) * 2 * w);
    std::free(c.plane);
    c.plane = doubled.release();
    c.plane_width = c.plane_stride = 2 * w;
}

void upsample_vertical(JpegState& d, JpegComponent& c)
{
    const int w = c.plane_width, h = c.plane_height, s = c.plane_stride;
    ByteBuffer doubled(allocate_plane(d, 2 * uint64_t(w) * uint64_t(h)));
    if (!doubled)
        return;
    for (int y = 0; y < 2 * h; ++y) {
        const VerticalTaps taps = vertical_taps(y, h);
        const uint8_t* rows[4];
        for (int i = 0; i < 4; ++i)
            rows[i] = c.plane + size_t(taps.row[i]) * s;
        filter_row(doubled.get() + size_t(y) * w, rows, taps.k, w);
    }
    std::free(c.plane);
    c.plane = doubled.release();
    c.plane_height = 2 * h;
    c.plane_stride = w;
}

// The whole-plane passes: each call doubles one dimension.
void upsample_plane(JpegState& d, JpegComponent& c)
{
    while (c.plane_width < d.image_width || c.plane_height < d.image_height) {
        if (c.plane_width < d.image_width) {
            upsample_horizontal(d, c);
            if (d.status)
                return;
        }
        if (c.plane_height < d.image_height) {
            upsample_vertical(d, c);
            if (d.status)
                return;
        }
    }
}

// Rows of one component at full size for the colour conversion. Where a single doubling
// in each direction is enough (4:2:0, 4:2:2, 4:4:0) the rows are filtered on the fly,
// in the same order and with the same arithmetic as the whole-plane passes, so the
// doubled planes are never allocated or written out.
struct ComponentRows {
    const JpegComponent* c = nullptr;
    bool double_width = false, double_height = false;
    int wide_width = 0;    // row length after the horizontal step
    ByteBuffer wide_rows;  // four horizontally doubled rows, row j in slot j & 3
    int cached[4] = {-1, -1, -1, -1};
    ByteBuffer tall_row;
};

bool needs_one_step_at_most(JpegState& d, const JpegComponent& c)
{
    return 2 * int64_t(c.plane_width) >= d.image_width && 2 * int64_t(c.plane_height) >= d.image_height;
}

bool init_component_rows(JpegState& d, ComponentRows& rows, const JpegComponent& c)
{
    rows.c = &c;
    rows.double_width = c.plane_width < d.image_width;
    rows.double_height = c.plane_height < d.image_height;
    rows.wide_width = rows.double_width ? 2 * c.plane_width : c.plane_width;
    if (rows.double_width) {
        rows.wide_rows.reset(allocate_plane(d, 4 * uint64_t(rows.wide_width)));
        if (!rows.wide_rows)
            return false;
    }
    if (rows.double_height) {
        rows.tall_row.reset(allocate_plane(d, uint64_t(rows.wide_width)));
        if (!rows.tall_row)
            return false;
    }
    return true;
}

// Row j of the plane after the horizontal step.
const uint8_t* wide_row(ComponentRows& rows, int j)
{
    const JpegComponent& c = *rows.c;
    const uint8_t* stored = c.plane + size_t(j) * c.plane_stride;
    if (!rows.double_width)
        return stored;
    uint8_t* row = rows.wide_rows.get() + size_t(j & 3) * rows.wide_width;
    if (rows.cached[j & 3] != j) {
        upsample_row_horizontal(stored, c.plane_width, row);
        rows.cached[j & 3] = j;
    }
    return row;
}

const uint8_t* full_row(ComponentRows& rows, int y, int width)
{
    if (!rows.double_height)
        return wide_row(rows, y);
    const VerticalTaps taps = vertical_taps(y, rows.c->plane_height);
    const uint8_t* sources[4];
    for (int i = 0; i < 4; ++i)
        sources[i] = wide_row(rows, taps.row[i]);
    filter_row(rows.tall_row.get(), sources, taps.k, width);
    return rows.tall_row.get();
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

// Sixteen pixels per round: unpack to R, G, B, 0 lanes, squeeze, store 48 bytes. The
// overlapping 16-byte stores each leave 4 bytes that the next one overwrites.
int interleave_rgb_sse2(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out, int n)
{
    const __m128i zero = _mm_setzero_si128();
    int i = 0;
    for (; i + 16 <= n; i += 16, out += 48) {
        const __m128i vr = _mm_loadu_si128(reinterpret_cast<const __m128i*>(r + i));
        const __m128i vg = _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + i));
        const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
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
    return i;
}
#endif

// Interleaves n samples of three planes into R, G, B triples.
void interleave_rgb(const uint8_t* r, const uint8_t* g, const uint8_t* b, uint8_t* out, int n)
{
    int i = 0;
#if defined(__SSE2__)
    i = interleave_rgb_sse2(r, g, b, out, n);
    out += 3 * i;
#endif
    for (; i < n; ++i, out += 3) {
        out[0] = r[i];
        out[1] = g[i];
        out[2] = b[i];
    }
}

// R = clip((Y*256 + 359*cr + 128) >> 8) equals clip(Y + cr + ((103*cr + 128) >> 8)) because
// Y*256 and 256*cr are whole multiples of 256 (likewise G with -256*cr and B with
// 512*cb). The remainders fit in 16 bits, so the vectorised loop runs eight or
// sixteen pixels per instruction instead of four.
void convert_row(const uint8_t* py, const uint8_t* pcb, const uint8_t* pcr, uint8_t* out, int width)
{
    constexpr int kChunk = 64;
    uint8_t r[kChunk], g[kChunk], b[kChunk];
    for (int x0 = 0; x0 < width; x0 += kChunk) {
        const int n = width - x0 < kChunk ? width - x0 : kChunk;
        for (int i = 0; i < n; ++i) {
            const int16_t luma = py[x0 + i];
            const int16_t cb = int16_t(pcb[x0 + i] - 128), cr = int16_t(pcr[x0 + i] - 128);
            r[i] = clip_byte(int16_t(luma + cr + (int16_t(103 * cr + 128) >> 8)));
            g[i] = clip_byte(int16_t(luma - cr + (int16_t(73 * cr - 88 * cb + 128) >> 8)));
            b[i] = clip_byte(int16_t(luma + 2 * cb + (int16_t(128 - 58 * cb) >> 8)));
        }
        interleave_rgb(r, g, b, out + 3 * x0, n);
    }
}

void convert_to_rgb(JpegState& d)
{
    ComponentRows rows[3];
    for (int i = 0; i < 3; ++i) {
        JpegComponent& c = d.components[i];
        if (!needs_one_step_at_most(d, c)) {
            upsample_plane(d, c);
            if (d.status)
                return;
        }
        if (!init_component_rows(d, rows[i], c))
            return;
    }
    const int width = d.image_width;
    for (int y = 0; y < d.image_height; ++y) {
        const uint8_t* luma = full_row(rows[0], y, width);
        const uint8_t* cb = full_row(rows[1], y, width);
        const uint8_t* cr = full_row(rows[2], y, width);
        convert_row(luma, cb, cr, d.rgb_image + size_t(y) * width * 3, width);
    }
}

void compact_grey_plane(JpegState& d)
{
    JpegComponent& c = d.components[0];
    if (c.plane_width == c.plane_stride)
        return;
    for (int y = 1; y < c.plane_height; ++y)
        std::memmove(c.plane + size_t(y) * c.plane_width, c.plane + size_t(y) * c.plane_stride, size_t(c.plane_width));
    c.plane_stride = c.plane_width;
}

void convert_planes(JpegState& d)
{
    if (d.component_count == 3) {
        convert_to_rgb(d);
        return;
    }
    upsample_plane(d, d.components[0]);  // a no-op: a grey frame is never subsampled
    if (!d.status)
        compact_grey_plane(d);
}

// Authoring tools before SWF 8 wrote an EOI SOI pair in front of the data, or the
// tables and the picture as two SOI..EOI blocks. Such a pair only separates segments.
bool skip_end_start_pair(JpegState& d)
{
    if (d.remaining < 4 || d.cursor[0] != 0xFF || d.cursor[1] != 0xD9 || d.cursor[2] != 0xFF || d.cursor[3] != 0xD8)
        return false;
    skip_bytes(d, 4);
    return true;
}

// Forgets the previous picture. The lookup tables are 512 KiB; marking them undefined
// has the same effect as clearing them (see clear_undefined_table).
void release_state(JpegState& d)
{
    free_planes(d);
    std::memset(&d, 0, offsetof(JpegState, huffman_lookup));
    std::memset(&d.bit_buffer, 0, sizeof d - offsetof(JpegState, bit_buffer));
}

int decode_stream(JpegState& d, const uint8_t* data, int32_t size)
{
    release_state(d);
    if (!data || size < 0)
        return kJpegNotJpeg;
    d.cursor = data;
    d.remaining = size;
    skip_end_start_pair(d);
    if (d.remaining <= 1 || d.cursor[0] != 0xFF || d.cursor[1] != 0xD8)
        return kJpegNotJpeg;
    skip_bytes(d, 2);
    while (!d.status) {
        if (skip_end_start_pair(d))
            continue;
        if (d.remaining < 2 || d.cursor[0] != 0xFF)
            return kJpegSyntaxError;
        uint8_t marker = d.cursor[1];
        skip_bytes(d, 2);
        switch (marker) {
        case 0xC0: read_frame_header(d); break;
        case 0xC4: read_huffman_tables(d); break;
        case 0xDB: read_quant_tables(d); break;
        case 0xDD: read_restart_interval(d); break;
        case 0xDA: read_scan(d); break;
        case 0xFE: skip_segment(d); break;
        default:
            if ((marker & 0xF0) != 0xE0)
                return kJpegUnsupported;
            skip_segment(d);
            break;
        }
    }
    if (d.status != kJpegScanFinished)
        return d.status;
    d.status = kJpegOk;
    convert_planes(d);
    return d.status;
}

}  // namespace

JpegDecoder::JpegDecoder() : state_(static_cast<JpegState*>(std::calloc(1, sizeof(JpegState)))) {}

JpegDecoder::~JpegDecoder()
{
    if (state_)
        free_planes(*state_);
    std::free(state_);
}

int JpegDecoder::decode(const uint8_t* data, int32_t size)
{
    return state_ ? decode_stream(*state_, data, size) : kJpegOutOfMemory;
}

void JpegDecoder::release()
{
    if (state_)
        release_state(*state_);
}

int JpegDecoder::width() const { return state_ ? state_->image_width : 0; }

int JpegDecoder::height() const { return state_ ? state_->image_height : 0; }

int JpegDecoder::is_colour() const { return state_ && state_->component_count != 1 ? 1 : 0; }

const uint8_t* JpegDecoder::pixels() const
{
    if (!state_)
        return nullptr;
    return state_->component_count == 1 ? state_->components[0].plane : state_->rgb_image;
}

int JpegDecoder::pixels_size() const
{
    if (!state_)
        return 0;
    const JpegState& d = *state_;
    uint64_t size = uint64_t(d.image_width) * uint64_t(d.image_height) * uint64_t(d.component_count);
    return size < kMaxBufferSize ? static_cast<int>(size) : 0;  // a refused frame may be larger
}
