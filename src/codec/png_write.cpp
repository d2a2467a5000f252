// pixpng writer: one IDAT chunk, each row's filter chosen by the smallest sum of its
// bytes taken as signed values (the common heuristic: small differences deflate well);
// palette rows unfiltered.
//
// The filtered rows are built whole and deflated in one call; the file is assembled in a
// buffer sized by the deflate bound and leaves in a single write.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "codec/png.h"
#include "codec/png_internal.h"
#include "platform/platform.h"
#include "support/deflate.h"
#include "support/memory.h"

using namespace pngi;

namespace {

// Signature, header chunk, IDAT length/type/CRC and the end chunk around the stream.
constexpr uint64_t kFileOverhead = 8 + (12 + 13) + 12 + 12;
// The largest palette and alpha table chunks.
constexpr uint64_t kPaletteOverhead = (12 + 3 * 256) + (12 + 256);
// Deflate settings by kind of picture, measured on game art against libpng's default
// (adaptive filters, zlib level 6 with its filtered strategy):
// - unfiltered palette rows leave deflate more to find: one level up keeps those files below
//   libpng's (on map-sized colour-mapped art level 6 writes 4 % more, 7 about 0.5 % less);
// - RGB art deflates 2-4 % below libpng's at level 6;
// - RGBA art at level 4 costs a third less time than at 6 for 1.5 % more bytes, which the
//   RGB pictures' margin pays for;
// - small RGBA pictures (sprites) go through zlib's filtered strategy: their noisy edges
//   come out 5 % larger from libdeflate.
constexpr int kPaletteDeflateLevel = kDeflateLevel + 1;
constexpr int kAlphaDeflateLevel = 4;
constexpr uint64_t kSpritePixels = 128 * 128;

bool known_type(int depth, int color_type)
{
    if (color_type == kPngPalette)
        return depth == 8;
    return (depth == 8 || depth == 16) && is_sample_colour_type(color_type);
}

Fault check_image(uint32_t width, uint32_t height, int depth, int color_type, uint64_t* file_bound)
{
    if (!known_type(depth, color_type))
        return Fault::unsupported;
    if (width == 0 || height == 0 || width > kMaxFormatValue || height > kMaxFormatValue)
        return Fault::unsupported;
    uint64_t s = filtered_size(width, height, png_pixel_bytes(color_type, depth).value);
    *file_bound = uint64_t{zlib_deflate_bound(static_cast<size_t>(s))} + kFileOverhead +
                  (color_type == kPngPalette ? kPaletteOverhead : 0);
    return *file_bound >= kMaxBufferSize ? Fault::too_large : Fault::none;
}

bool palette_valid(const PngPalette* palette)
{
    return palette && palette->colours && palette->entries >= 1 && palette->entries <= 256 &&
           palette->alpha_entries <= palette->entries && (palette->alpha || palette->alpha_entries == 0);
}

uint8_t* put_chunk_start(uint8_t* p, uint32_t length, const char* type)
{
    store_be32(p, length);
    std::memcpy(p + 4, type, 4);
    return p + 8;
}

// Closes the chunk whose type starts at `type`; returns the position after its CRC.
uint8_t* put_chunk_crc(uint8_t* type, uint32_t data_length)
{
    uint8_t* end = type + 4 + data_length;
    store_be32(end, crc_of(type, 4 + size_t{data_length}));
    return end + 4;
}

uint8_t* put_header(uint8_t* p, const PngHandle* png)
{
    std::memcpy(p, kSignature, 8);
    uint8_t* data = put_chunk_start(p + 8, kHeaderLength, "IHDR");
    store_be32(data, png->width);
    store_be32(data + 4, png->height);
    data[8] = png->depth;
    data[9] = png->color_type;
    data[10] = 0;  // compression
    data[11] = 0;  // filter method
    data[12] = 0;  // interlace
    return put_chunk_crc(data - 4, kHeaderLength);
}

uint8_t* put_chunk(uint8_t* p, const char* type, const uint8_t* data, uint32_t length)
{
    uint8_t* at = put_chunk_start(p, length, type);
    if (length != 0)
        std::memcpy(at, data, length);
    return put_chunk_crc(at - 4, length);
}

// PLTE, and tRNS when some entry is not opaque.
uint8_t* put_palette(uint8_t* p, const PngPalette& palette)
{
    p = put_chunk(p, "PLTE", palette.colours, 3u * palette.entries);
    if (palette.alpha_entries != 0)
        p = put_chunk(p, "tRNS", palette.alpha, palette.alpha_entries);
    return p;
}

enum class Filter : uint8_t { none, sub, up, average, paeth };

// One filtered byte from the byte x and its left (a), upper (b) and upper-left (c) bytes.
uint8_t filter_byte(Filter filter, int x, int a, int b, int c)
{
    switch (filter) {
    case Filter::none: return static_cast<uint8_t>(x);
    case Filter::sub: return static_cast<uint8_t>(x - a);
    case Filter::up: return static_cast<uint8_t>(x - b);
    case Filter::average: return static_cast<uint8_t>(x - ((a + b) >> 1));
    case Filter::paeth: return static_cast<uint8_t>(x - paeth_predictor(a, b, c));
    }
    return static_cast<uint8_t>(x);
}

#if defined(__SSE2__)
// The Paeth filter eight bytes at a time in 16-bit lanes, from `from` (at least bpp) on;
// returns where the byte-wise loop takes over.
size_t paeth_filter_sse2(const uint8_t* row, const uint8_t* prior, size_t from, size_t to, size_t bpp, uint8_t* out)
{
    const __m128i zero = _mm_setzero_si128();
    const auto widen = [zero](const uint8_t* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    const auto magnitude = [zero](__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(zero, v)); };
    const auto select = [](__m128i mask, __m128i yes, __m128i no) {
        return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
    };
    size_t i = from;
    for (; i + 8 <= to; i += 8) {
        const __m128i a = widen(row + i - bpp), b = widen(prior + i), c = widen(prior + i - bpp);
        const __m128i pa = magnitude(_mm_sub_epi16(b, c));
        const __m128i pb = magnitude(_mm_sub_epi16(a, c));
        const __m128i pc = magnitude(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
        // a where pa <= pb and pa <= pc, else b where pb <= pc, else c.
        const __m128i not_a = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
        const __m128i predicted = select(not_a, select(_mm_cmpgt_epi16(pb, pc), c, b), a);
        const __m128i filtered = _mm_and_si128(_mm_sub_epi16(widen(row + i), predicted), _mm_set1_epi16(0xFF));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(filtered, zero));
    }
    return i;
}
#endif

// Filters bytes [from, to) of `row` against `prior` (the row above, zeros for the first)
// into the same positions of `out`. Written as one plain loop per filter, so that the
// compiler can vectorise them.
void apply_filter(Filter filter, const uint8_t* row, const uint8_t* prior, size_t from, size_t to, size_t bpp,
                  uint8_t* out)
{
    size_t i = from;
    for (; i < to && i < bpp; i++)
        out[i] = filter_byte(filter, row[i], 0, prior[i], 0);  // no left pixel
    switch (filter) {
    case Filter::none: std::memcpy(out + i, row + i, to - i); break;
    case Filter::sub:
        for (; i < to; i++)
            out[i] = static_cast<uint8_t>(row[i] - row[i - bpp]);
        break;
    case Filter::up:
        for (; i < to; i++)
            out[i] = static_cast<uint8_t>(row[i] - prior[i]);
        break;
    case Filter::average:
        for (; i < to; i++)
            out[i] = static_cast<uint8_t>(row[i] - ((row[i - bpp] + prior[i]) >> 1));
        break;
    case Filter::paeth:
#if defined(__SSE2__)
        i = paeth_filter_sse2(row, prior, i, to, bpp, out);
#endif
        for (; i < to; i++)
            out[i] = static_cast<uint8_t>(row[i] - paeth_predictor(row[i - bpp], prior[i], prior[i - bpp]));
        break;
    }
}

// Sum of the bytes as signed magnitudes: 0 and 255 both count as small.
uint64_t filter_cost(const uint8_t* p, size_t n)
{
    uint64_t sum = 0;
    size_t i = 0;
#if defined(__SSE2__)
    // A byte's magnitude is min(b, 256 - b); psadbw adds them up eight at a time.
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        sums = _mm_add_epi64(sums, _mm_sad_epu8(_mm_min_epu8(bytes, _mm_sub_epi8(zero, bytes)), zero));
    }
    uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), sums);
    sum = halves[0] + halves[1];
#endif
    for (; i < n; i++)
        sum += p[i] < 128 ? p[i] : 256 - p[i];
    return sum;
}

// Filters the row one way into `out` and returns the cost, giving up a piece at a time
// once the cost reaches `limit` (a filter that already lost need not finish).
uint64_t filter_within(Filter filter, const uint8_t* row, const uint8_t* prior, size_t n, size_t bpp, uint8_t* out,
                       uint64_t limit)
{
    constexpr size_t kPiece = 1024;
    uint64_t cost = 0;
    for (size_t from = 0; from < n && cost < limit; from += kPiece) {
        const size_t to = n - from < kPiece ? n : from + kPiece;
        apply_filter(filter, row, prior, from, to, bpp, out);
        cost += filter_cost(out + from, to - from);
    }
    return cost;
}

// Writes the filter byte and the row filtered the cheapest way to out[0..n + 1); on a
// tie the earlier filter wins. `scratch` holds two candidate rows.
void filter_row(const uint8_t* row, const uint8_t* prior, size_t n, size_t bpp, uint8_t* out, uint8_t* scratch)
{
    Filter best = Filter::none;
    uint64_t best_cost = filter_cost(row, n);
    const uint8_t* best_bytes = row;
    uint8_t* trial = scratch;
    for (Filter filter : {Filter::sub, Filter::up, Filter::average, Filter::paeth}) {
        const uint64_t cost = filter_within(filter, row, prior, n, bpp, trial, best_cost);
        if (cost < best_cost) {
            best = filter;
            best_cost = cost;
            best_bytes = trial;
            trial = trial == scratch ? scratch + n : scratch;
        }
    }
    out[0] = static_cast<uint8_t>(best);
    std::memcpy(out + 1, best_bytes, n);
}

// Palette rows go in unfiltered; false when an index has no palette entry.
bool copy_index_rows(const PngHandle* png, const uint8_t* pixels, uint8_t* filtered, unsigned entries)
{
    const size_t width = png->width;
    uint8_t highest = 0;
    for (uint32_t y = 0; y < png->height; y++) {
        const uint8_t* row = pixels + size_t{y} * width;
        uint8_t* out = filtered + size_t{y} * (width + 1);
        out[0] = static_cast<uint8_t>(Filter::none);
        std::memcpy(out + 1, row, width);
        for (size_t x = 0; x < width; x++)
            highest = row[x] > highest ? row[x] : highest;
    }
    return highest < entries;
}

// Filters every row into `filtered` (filtered_size bytes). 16-bit samples are brought to
// the file's byte order first, since the filters work on the bytes as stored.
Fault filter_rows(const PngHandle* png, const uint8_t* pixels, uint8_t* filtered)
{
    const size_t row_bytes = size_t{png->width} * png->pbb;
    // Scratch: a zero row (the first row's prior), two candidates, and two swapped rows.
    auto* scratch = static_cast<uint8_t*>(alloc_block(5 * uint64_t{row_bytes}));
    if (!scratch)
        return Fault::out_of_memory;
    uint8_t* zeros = scratch;
    uint8_t* candidates = scratch + row_bytes;
    uint8_t* swapped[2] = {scratch + 3 * row_bytes, scratch + 4 * row_bytes};
    std::memset(zeros, 0, row_bytes);
    const uint8_t* prior = zeros;
    for (uint32_t y = 0; y < png->height; y++) {
        const uint8_t* row = pixels + size_t{y} * row_bytes;
        if (png->depth == 16) {
            swap_sample_bytes(swapped[y & 1], row, row_bytes);
            row = swapped[y & 1];
        }
        filter_row(row, prior, row_bytes, png->pbb, filtered + size_t{y} * (row_bytes + 1), candidates);
        prior = row;
    }
    free_block(scratch);
    return Fault::none;
}

// Deflates the filtered rows the way that suits the kind of picture (see the settings above).
Result<size_t> deflate_picture(const PngHandle* png, std::span<const uint8_t> rows, uint8_t* out, size_t capacity)
{
    if (png->color_type == kPngPalette)
        return zlib_deflate(rows, out, capacity, kPaletteDeflateLevel);
    if (png->color_type != kPngRgba || png->depth != 8)
        return zlib_deflate(rows, out, capacity);
    if (uint64_t{png->width} * png->height <= kSpritePixels)
        return zlib_deflate_filtered(rows, out, capacity);
    return zlib_deflate(rows, out, capacity, kAlphaDeflateLevel);
}

// Filters and deflates the rows into out[0..capacity); the stream's size on success.
Fault deflate_rows(const PngHandle* png, const uint8_t* pixels, const PngPalette* palette, uint8_t* out,
                   uint64_t capacity, uint32_t* compressed_size)
{
    const uint64_t size = filtered_size(png->width, png->height, png->pbb);
    auto* filtered = static_cast<uint8_t*>(alloc_block(size));
    if (!filtered)
        return Fault::out_of_memory;
    Fault result = Fault::none;
    if (!palette)
        result = filter_rows(png, pixels, filtered);
    else if (!copy_index_rows(png, pixels, filtered, palette->entries))
        result = Fault::malformed;
    if (result == Fault::none) {
        const Result<size_t> n = deflate_picture(png, {filtered, static_cast<size_t>(size)}, out,
                                                 static_cast<size_t>(capacity));
        *compressed_size = static_cast<uint32_t>(n.value);
        result = n.fault;
    }
    free_block(filtered);
    return result;
}

}  // namespace

Fault png_open_writer(PngHandle* png, PngWriteFunction write_function, void* file_pointer)
{
    png->write_function = write_function;
    png->file_pointer = file_pointer;
    png->read_function = nullptr;
    return !write_function && !file_pointer ? Fault::malformed : Fault::none;
}

Fault png_create_file(PngHandle* png, const char* path)
{
    FILE* file = platform_open_file(path, "wb");
    if (!file)
        return Fault::io_error;
    return png_open_writer(png, nullptr, file);
}

Result<uint64_t> png_encoded_size_bound(uint32_t width, uint32_t height, int depth, int color_type)
{
    uint64_t bound = 0;
    if (Fault fault = check_image(width, height, depth, color_type, &bound); fault != Fault::none)
        return fault;
    return bound;
}

Fault png_write_image(PngHandle* png, uint32_t width, uint32_t height, int depth, int color_type, const uint8_t* pixels,
                      const PngPalette* palette)
{
    if (!png->write_function && !png->file_pointer)
        return Fault::malformed;
    png->width = width;
    png->height = height;
    png->depth = static_cast<uint8_t>(depth);
    png->color_type = static_cast<uint8_t>(color_type);
    png->compression = png->filter = png->interlace_method = 0;
    uint64_t file_bound = 0;
    Fault result = check_image(width, height, depth, color_type, &file_bound);
    if (result != Fault::none)
        return result;
    png->pbb = static_cast<uint8_t>(png_pixel_bytes(color_type, depth).value);
    if (!pixels || (color_type == kPngPalette) != (palette != nullptr) || (palette && !palette_valid(palette)))
        return Fault::malformed;

    auto* file = static_cast<uint8_t*>(alloc_block(file_bound));
    if (!file)
        return Fault::out_of_memory;
    uint8_t* idat = put_header(file, png);
    if (palette)
        idat = put_palette(idat, *palette);
    uint8_t* stream = idat + 8;
    uint32_t compressed = 0;
    result = deflate_rows(png, pixels, palette, stream, file_bound - static_cast<size_t>(stream - file) - 16,
                          &compressed);
    if (result == Fault::none) {
        put_chunk_start(idat, compressed, "IDAT");
        uint8_t* end = put_chunk_crc(idat + 4, compressed);
        end = put_chunk_crc(put_chunk_start(end, 0, "IEND") - 4, 0);
        if (!write_bytes(png, file, static_cast<size_t>(end - file)))
            result = Fault::io_error;
    }
    free_block(file);
    return result;
}
