#include "codec/jpeg_encoder.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/jpeg_tables.h"
#include "support/memory.h"

namespace {

// ---- Constant tables (ITU T.81 Annex K) ----

// Table K.1, luminance quantiser, natural order.
constexpr uint8_t kLuminanceQuant[64] = {
    16, 11,  10,  16, 24, 40, 51, 61, 12,  12,  14,  19,  26, 58, 60, 55,  14,  13,  16,  24, 40, 57,
    69, 56,  14,  17, 22, 29, 51, 87, 80,  62,  18,  22,  37, 56, 68, 109, 103, 77,  24,  35, 55, 64,
    81, 104, 113, 92, 49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98,  112, 100, 103, 99,
};

// Table K.2, chrominance quantiser, natural order.
constexpr uint8_t kChrominanceQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
};

struct HuffmanCodes {
    JpegBitCode by_symbol[256];
};

// Canonical code assignment of Annex C: consecutive codes within a length, doubling on
// each step to the next length. Symbols absent from the spec keep length 0.
constexpr HuffmanCodes make_codes(const HuffmanSpec& spec)
{
    HuffmanCodes table{};
    unsigned code = 0;
    int k = 0;
    for (int length = 1; length <= 16; length++) {
        for (int i = 0; i < spec.counts[length - 1]; i++, k++)
            table.by_symbol[spec.symbols[k]] = {uint16_t(code++), uint16_t(length)};
        code <<= 1;
    }
    return table;
}

constexpr HuffmanCodes kDcLuminanceCodes = make_codes(kDcLuminance);
constexpr HuffmanCodes kDcChrominanceCodes = make_codes(kDcChrominance);
constexpr HuffmanCodes kAcLuminanceCodes = make_codes(kAcLuminance);
constexpr HuffmanCodes kAcChrominanceCodes = make_codes(kAcChrominance);

constexpr JpegBitCode kFillCode = {0x7F, 7};

// Zig-zag position -> natural index, the inverse of jpeg_zigzag.
struct NaturalOrder {
    uint8_t index[64];
};

constexpr NaturalOrder make_natural_order()
{
    NaturalOrder order{};
    for (int k = 0; k < 64; k++)
        order.index[jpeg_zigzag[k]] = uint8_t(k);
    return order;
}

constexpr NaturalOrder kNatural = make_natural_order();

// ---- Output: a local buffer drained to the sink in large pieces ----

// Large enough for the header and several MCUs; one MCU never needs more than kMcuReserve
// bytes (three blocks of at most 64 codes of 27 bits, every byte stuffed, plus slack).
constexpr size_t kOutputSize = 16384;
constexpr size_t kMcuReserve = 2048;

struct Output {
    JpegWriteFn write;
    void* context;
    int* byte_count;
    uint64_t total;  // every byte handed to the sink so far
    uint8_t* end;    // next free byte of `buffer`
    uint8_t buffer[kOutputSize];
};

void output_drain(Output& out)
{
    size_t n = size_t(out.end - out.buffer);
    if (n == 0)
        return;
    out.write(out.buffer, n, 1, out.context);
    out.total += n;
    if (out.byte_count)
        *out.byte_count = out.total > INT_MAX ? INT_MAX : int(out.total);
    out.end = out.buffer;
}

void output_reserve(Output& out, size_t bytes)
{
    if (size_t(out.buffer + kOutputSize - out.end) < bytes)
        output_drain(out);
}

size_t fwrite_sink(const void* data, size_t size, size_t count, void* file)
{
    return fwrite(data, size, count, static_cast<FILE*>(file));
}

// ---- Bit writer ----

// Bits accumulate in a 64-bit word that leaves whole, so the common case is one
// comparison per code and one 8-byte store per 64 bits; only words holding an 0xFF byte
// take the byte-by-byte stuffing path.
struct BitWriter {
    uint64_t bits;
    uint32_t free;  // unused low-end room in `bits`, 1..64 between calls
    uint8_t* out;
};

inline bool has_ff_byte(uint64_t word)
{
    uint64_t x = ~word;
    return ((x - 0x0101010101010101u) & ~x & 0x8080808080808080u) != 0;
}

inline void emit_byte(BitWriter& w, uint8_t byte)
{
    *w.out++ = byte;
    if (byte == 0xFF)
        *w.out++ = 0;  // keep entropy data from looking like a marker
}

inline void emit_word(BitWriter& w, uint64_t word)
{
    if (has_ff_byte(word)) {
        for (int shift = 56; shift >= 0; shift -= 8)
            emit_byte(w, uint8_t(word >> shift));
        return;
    }
    uint64_t big_endian = __builtin_bswap64(word);
    memcpy(w.out, &big_endian, 8);
    w.out += 8;
}

// `code` must fit in `length` bits, at most 27.
inline void put_bits(BitWriter& w, uint32_t code, uint32_t length)
{
    if (length < w.free) {
        w.bits = (w.bits << length) | code;
        w.free -= length;
        return;
    }
    uint32_t spill = length - w.free;  // low bits of `code` that go into the next word
    emit_word(w, (w.bits << w.free) | (uint64_t(code) >> spill));
    w.bits = code;  // bits above `spill` are shifted out before they are ever emitted
    w.free = 64 - spill;
}

// Pads the last partial byte with one-bits and writes out every whole byte.
void finish_bits(BitWriter& w)
{
    put_bits(w, kFillCode.code, kFillCode.length);
    for (uint32_t pending = 64 - w.free; pending >= 8;) {
        pending -= 8;
        emit_byte(w, uint8_t(w.bits >> pending));
    }
    w.free = 64;
}

// ---- Tables for one call ----

int clamp_quality(int quality)
{
    if (quality == 0)
        return kJpegDefaultQuality;
    if (quality < 1)
        return 1;
    if (quality > 100)
        return 100;
    return quality;
}

// Scales a base table and stores it in zig-zag order, as DQT carries it.
void scale_quant_table(const uint8_t* base, int quality, uint8_t* zigzag_out)
{
    int scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (int i = 0; i < 64; i++) {
        int entry = (scale * base[i] + 50) / 100;
        if (entry < 1)
            entry = 1;
        if (entry > 255)
            entry = 255;
        zigzag_out[jpeg_zigzag[i]] = uint8_t(entry);
    }
}

// Reciprocals that both quantise and undo the AAN output scale, in natural order.
void make_divisors(const uint8_t* zigzag_quant, float* divisors)
{
    for (int r = 0; r < 8; r++)
        for (int s = 0; s < 8; s++) {
            int k = 8 * r + s;
            float q = float(zigzag_quant[jpeg_zigzag[k]]);
            divisors[k] = 1.0f / (q * jpeg_aan_scale[r] * jpeg_aan_scale[s]);
        }
}

// ---- Header ----

uint8_t* put_bytes(uint8_t* p, std::initializer_list<uint8_t> bytes)
{
    for (uint8_t b : bytes)
        *p++ = b;
    return p;
}

uint8_t* put_huffman_spec(uint8_t* p, uint8_t class_and_id, const HuffmanSpec& spec)
{
    *p++ = class_and_id;
    memcpy(p, spec.counts, 16);
    p += 16;
    int n = spec.symbol_count();
    memcpy(p, spec.symbols, size_t(n));
    return p + n;
}

uint8_t* put_header(uint8_t* p, const uint8_t* luma_quant, const uint8_t* chroma_quant, uint32_t width, uint32_t height)
{
    p = put_bytes(p, {0xFF, 0xD8});
    p = put_bytes(
        p, {0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
    p = put_bytes(p, {0xFF, 0xDB, 0x00, 0x84, 0x00});
    memcpy(p, luma_quant, 64);
    p += 64;
    *p++ = 0x01;
    memcpy(p, chroma_quant, 64);
    p += 64;
    p = put_bytes(p, {0xFF, 0xC0, 0x00, 0x11, 0x08, uint8_t(height >> 8), uint8_t(height), uint8_t(width >> 8),
                      uint8_t(width), 0x03, 0x01, 0x11, 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
    p = put_bytes(p, {0xFF, 0xC4, 0x01, 0xA2});
    p = put_huffman_spec(p, 0x00, kDcLuminance);
    p = put_huffman_spec(p, 0x10, kAcLuminance);
    p = put_huffman_spec(p, 0x01, kDcChrominance);
    p = put_huffman_spec(p, 0x11, kAcChrominance);
    return put_bytes(p, {0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
}

// ---- Transform and block coding ----

// Eight lanes processed side by side; each lane performs exactly the scalar operations.
typedef float Lanes8 __attribute__((vector_size(32), __may_alias__));
typedef int32_t IntLanes8 __attribute__((vector_size(32), __may_alias__));

template <class T>
inline __attribute__((always_inline)) void fdct8_lanes(T* d)
{
    T tmp0 = d[0] + d[7], tmp7 = d[0] - d[7];
    T tmp1 = d[1] + d[6], tmp6 = d[1] - d[6];
    T tmp2 = d[2] + d[5], tmp5 = d[2] - d[5];
    T tmp3 = d[3] + d[4], tmp4 = d[3] - d[4];

    T tmp10 = tmp0 + tmp3, tmp13 = tmp0 - tmp3;
    T tmp11 = tmp1 + tmp2, tmp12 = tmp1 - tmp2;
    d[0] = tmp10 + tmp11;
    d[4] = tmp10 - tmp11;
    T z1 = (tmp12 + tmp13) * 0.70710677f;
    d[2] = tmp13 + z1;
    d[6] = tmp13 - z1;

    tmp10 = tmp4 + tmp5;
    tmp11 = tmp5 + tmp6;
    tmp12 = tmp6 + tmp7;
    T z5 = (tmp10 - tmp12) * 0.38268343f;
    T z2 = 0.5411961f * tmp10 + z5;
    T z4 = 1.306563f * tmp12 + z5;
    T z3 = tmp11 * 0.70710677f;
    T z11 = tmp7 + z3, z13 = tmp7 - z3;
    d[5] = z13 + z2;
    d[3] = z13 - z2;
    d[1] = z11 + z4;
    d[7] = z11 - z4;
}

inline void transpose8x8(const float* in, float* out)
{
    for (int r = 0; r < 8; r++)
        for (int c = 0; c < 8; c++)
            out[8 * r + c] = in[8 * c + r];
}

// Each pass runs on eight rows or eight columns at once (one per lane), which needs the
// block transposed before the row pass and back again before the column pass.
// Result: 64 quantised coefficients in natural order.
inline void transform_and_quantise(const float* block, const float* divisors, int16_t* quantised)
{
    alignas(32) float turned[64];
    Lanes8 v[8];
    transpose8x8(block, turned);
    memcpy(v, turned, sizeof v);
    fdct8_lanes(v);  // rows: lane = row, v[k] = coefficient k of that row

    transpose8x8(reinterpret_cast<const float*>(v), turned);
    memcpy(v, turned, sizeof v);
    fdct8_lanes(v);  // columns: lane = column, v[r] = natural row r

    for (int r = 0; r < 8; r++) {
        Lanes8 div;
        memcpy(&div, divisors + 8 * r, sizeof div);
        Lanes8 x = v[r] * div;
        // Round half away from zero: add 0.5 carrying the sign of x (x - 0.5 for negative x,
        // exactly), then truncate, which is the floor/ceil on each side of zero. Done with
        // bit operations because a lane-wise select is not vectorised. Vector casts reinterpret.
        IntLanes8 sign = (IntLanes8)x & int32_t(0x80000000u);
        IntLanes8 half_bits = sign | 0x3F000000;  // 0.5f
        Lanes8 rounded = x + (Lanes8)half_bits;
        IntLanes8 q = __builtin_convertvector(rounded, IntLanes8);
        for (int c = 0; c < 8; c++)
            quantised[8 * r + c] = int16_t(q[c]);
    }
}

// Bit i set when coefficient i (zig-zag order) is non-zero.
inline uint64_t nonzero_mask(const int16_t* zz)
{
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    uint64_t mask = 0;
    for (int i = 0; i < 64; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zz + i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(zz + i + 8));
        __m128i zeros = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
        mask |= uint64_t(uint16_t(~_mm_movemask_epi8(zeros))) << i;
    }
    return mask;
#else
    uint64_t mask = 0;
    for (int i = 0; i < 64; i++)
        mask |= uint64_t(zz[i] != 0) << i;
    return mask;
#endif
}

// Category and extra bits of a non-zero value, without branches: the hot-path form of
// jpeg_calc_bits.
inline JpegBitCode value_bits(int value)
{
    unsigned sign = unsigned(value >> 31);  // 0 or all ones
    unsigned magnitude = (unsigned(value) ^ sign) - sign;
    unsigned length = 32u - unsigned(__builtin_clz(magnitude));
    unsigned code = (unsigned(value) + sign) & unsigned((uint64_t{1} << length) - 1u);
    return {uint16_t(code), uint16_t(length)};
}

inline void put_coded(BitWriter& w, JpegBitCode huff, JpegBitCode extra)
{
    put_bits(w, (uint32_t(huff.code) << extra.length) | extra.code, uint32_t(huff.length) + extra.length);
}

struct ComponentTables {
    const float* divisors;
    const HuffmanCodes* dc;
    const HuffmanCodes* ac;
};

// Codes one data unit and returns its quantised DC value, the component's next predictor.
int jpeg_encode_block(BitWriter& w, const float* block, const ComponentTables& t, int predictor)
{
    alignas(32) int16_t natural[64];
    transform_and_quantise(block, t.divisors, natural);

    alignas(16) int16_t zz[64];
#pragma GCC unroll 64
    for (int i = 0; i < 64; i++)
        zz[i] = natural[kNatural.index[i]];
    uint64_t nonzero = nonzero_mask(zz);

    int diff = zz[0] - predictor;
    if (diff == 0) {
        JpegBitCode c = t.dc->by_symbol[0];
        put_bits(w, c.code, c.length);
    } else {
        JpegBitCode extra = value_bits(diff);
        put_coded(w, t.dc->by_symbol[extra.length], extra);
    }

    // Pixels are bytes, so |AC| < 1024 and |DC difference| < 2048 even at quantiser 1:
    // categories stay within 10 and 11, and every symbol within the 256-entry tables.
    const JpegBitCode* ac = t.ac->by_symbol;
    uint64_t remaining = nonzero & ~uint64_t{1};
    int last = 0;
    while (remaining) {
        int i = __builtin_ctzll(remaining);
        remaining &= remaining - 1;
        int run = i - last - 1;
        for (; run >= 16; run -= 16)
            put_bits(w, ac[0xF0].code, ac[0xF0].length);
        JpegBitCode extra = value_bits(zz[i]);
        put_coded(w, ac[run * 16 + extra.length], extra);
        last = i;
    }
    if (last != 63)
        put_bits(w, ac[0x00].code, ac[0x00].length);
    return zz[0];
}

// ---- Pixel fetch and colour conversion ----

// Fills the Y, Cb and Cr blocks (natural order) of the MCU whose left column is x0.
// Inside the picture the eight pixels of a row are consecutive; on the right edge
// `edge_columns` gives each column's byte offset, clamped to the last column.
template <int kComponents, bool kInside>
void load_block(const uint8_t* const* rows, uint32_t x0, const uint32_t* edge_columns, float* y, float* cb, float* cr)
{
    for (int j = 0; j < 8; j++) {
        const uint8_t* row = rows[j];
        for (int i = 0; i < 8; i++) {
            const uint8_t* p = kInside ? row + size_t(x0 + uint32_t(i)) * kComponents : row + edge_columns[i];
            float r = p[0];
            float g = kComponents >= 3 ? float(p[1]) : r;
            float b = kComponents >= 3 ? float(p[2]) : r;
            y[8 * j + i] = 0.299f * r + 0.587f * g + 0.114f * b - 128.0f;
            cb[8 * j + i] = -0.16874f * r - 0.33126f * g + 0.5f * b;
            cr[8 * j + i] = 0.5f * r - 0.41869f * g - 0.08131f * b;
        }
    }
}

#if defined(__SSE2__)
// The same conversion four pixels at a time; lanes do the scalar operations in the same
// order, so the results are identical. (__m128 takes GCC's vector operators.)
inline void convert4(__m128 r, __m128 g, __m128 b, float* y, float* cb, float* cr)
{
    _mm_storeu_ps(y, 0.299f * r + 0.587f * g + 0.114f * b - 128.0f);
    _mm_storeu_ps(cb, -0.16874f * r - 0.33126f * g + 0.5f * b);
    _mm_storeu_ps(cr, 0.5f * r - 0.41869f * g - 0.08131f * b);
}

inline __m128 byte_lane(__m128i words, int shift)
{
    return _mm_cvtepi32_ps(_mm_and_si128(_mm_srli_epi32(words, shift), _mm_set1_epi32(0xFF)));
}

// Eight consecutive colour pixels as 32-bit words with R in the low byte.
template <int kComponents>
inline void load_words(const uint8_t* p, __m128i* words)
{
    if constexpr (kComponents == 4) {
        words[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        words[1] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    } else {
        // A four-byte load at each pixel stays within the row's 24 bytes except for the
        // last pixel, which is read one byte early and shifted down.
        alignas(16) uint32_t w[8];
        for (int i = 0; i < 7; i++)
            memcpy(&w[i], p + 3 * i, 4);
        memcpy(&w[7], p + 20, 4);
        w[7] >>= 8;
        words[0] = _mm_load_si128(reinterpret_cast<const __m128i*>(w));
        words[1] = _mm_load_si128(reinterpret_cast<const __m128i*>(w + 4));
    }
}

template <int kComponents>
void load_block_inside(const uint8_t* const* rows, uint32_t x0, float* y, float* cb, float* cr)
{
    for (int j = 0; j < 8; j++) {
        const uint8_t* p = rows[j] + size_t(x0) * kComponents;
        float* yr = y + 8 * j;
        float* cbr = cb + 8 * j;
        float* crr = cr + 8 * j;
        if constexpr (kComponents == 1) {
            const __m128i zero = _mm_setzero_si128();
            __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
            __m128i shorts = _mm_unpacklo_epi8(bytes, zero);
            __m128 lo = _mm_cvtepi32_ps(_mm_unpacklo_epi16(shorts, zero));
            __m128 hi = _mm_cvtepi32_ps(_mm_unpackhi_epi16(shorts, zero));
            convert4(lo, lo, lo, yr, cbr, crr);
            convert4(hi, hi, hi, yr + 4, cbr + 4, crr + 4);
        } else {
            __m128i words[2];
            load_words<kComponents>(p, words);
            for (int h = 0; h < 2; h++)
                convert4(byte_lane(words[h], 0), byte_lane(words[h], 8), byte_lane(words[h], 16), yr + 4 * h,
                         cbr + 4 * h, crr + 4 * h);
        }
    }
}
#endif

// The bit writer stores straight into the output buffer; make room there first.
inline void reserve_for_bits(Output& out, BitWriter& w, size_t bytes)
{
    out.end = w.out;
    output_reserve(out, bytes);
    w.out = out.end;
}

struct ScanState {
    ComponentTables luma;
    ComponentTables chroma;
};

template <int kComponents>
void encode_scan(Output& out, const ScanState& s, const uint8_t* pixels, uint32_t width, uint32_t height)
{
    const size_t stride = size_t(width) * kComponents;
    BitWriter w = {0, 64, out.end};
    int pred_y = 0, pred_cb = 0, pred_cr = 0;
    alignas(32) float y[64], cb[64], cr[64];
    const uint8_t* rows[8];
    uint32_t columns[8];

    for (uint32_t y0 = 0; y0 < height; y0 += 8) {
        for (uint32_t j = 0; j < 8; j++) {
            uint32_t row = y0 + j < height ? y0 + j : height - 1;
            rows[j] = pixels + row * stride;
        }
        for (uint32_t x0 = 0; x0 < width; x0 += 8) {
            reserve_for_bits(out, w, kMcuReserve);

            if (x0 + 8 <= width) {
#if defined(__SSE2__)
                load_block_inside<kComponents>(rows, x0, y, cb, cr);
#else
                load_block<kComponents, true>(rows, x0, columns, y, cb, cr);
#endif
            } else {
                for (uint32_t i = 0; i < 8; i++)
                    columns[i] = (x0 + i < width ? x0 + i : width - 1) * kComponents;
                load_block<kComponents, false>(rows, x0, columns, y, cb, cr);
            }
            pred_y = jpeg_encode_block(w, y, s.luma, pred_y);
            pred_cb = jpeg_encode_block(w, cb, s.chroma, pred_cb);
            pred_cr = jpeg_encode_block(w, cr, s.chroma, pred_cr);
        }
    }
    reserve_for_bits(out, w, 16);
    finish_bits(w);
    out.end = w.out;
}

}  // namespace

JpegBitCode jpeg_calc_bits(int value)
{
    if (value == 0)
        return {0, 0};
    return value_bits(value);
}

void jpeg_fdct8(float* d) { fdct8_lanes(d); }

Fault jpeg_encode(void* context, JpegWriteFn write, int* byte_count, const uint8_t* pixels, uint32_t width,
                  uint32_t height, int components, int quality)
{
    if (byte_count)
        *byte_count = 0;
    if (!pixels || width == 0 || height == 0 || (!write && !context))
        return Fault::malformed;
    if (components != 1 && components != 3 && components != 4)
        return Fault::unsupported;
    if (width > 65535 || height > 65535 || uint64_t(width) * height * unsigned(components) >= kMaxBufferSize)
        return Fault::too_large;

    Output out;
    out.write = write ? write : fwrite_sink;
    out.context = context;
    out.byte_count = byte_count;
    out.total = 0;

    quality = clamp_quality(quality);
    uint8_t luma_quant[64], chroma_quant[64];
    scale_quant_table(kLuminanceQuant, quality, luma_quant);
    scale_quant_table(kChrominanceQuant, quality, chroma_quant);
    alignas(32) float luma_divisors[64], chroma_divisors[64];
    make_divisors(luma_quant, luma_divisors);
    make_divisors(chroma_quant, chroma_divisors);

    out.end = put_header(out.buffer, luma_quant, chroma_quant, width, height);

    ScanState scan = {{luma_divisors, &kDcLuminanceCodes, &kAcLuminanceCodes},
                      {chroma_divisors, &kDcChrominanceCodes, &kAcChrominanceCodes}};
    if (components == 1)
        encode_scan<1>(out, scan, pixels, width, height);
    else if (components == 3)
        encode_scan<3>(out, scan, pixels, width, height);
    else
        encode_scan<4>(out, scan, pixels, width, height);

    output_reserve(out, 2);
    out.end = put_bytes(out.end, {0xFF, 0xD9});
    output_drain(out);
    return out.total <= INT_MAX ? Fault::none : Fault::too_large;
}
