// pixpng reader: signature and header, the chunk loop, inflate and unfiltering.
//
// Rows are unfiltered as soon as inflate completes them, from a small band buffer
// straight into the caller's output, so the filtered image is never held whole.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "codec/png.h"
#include "codec/png_internal.h"
#include "support/memory.h"

using namespace pngi;

namespace {

// First piece read of a chunk; larger chunks grow the buffer only as their data arrives,
// so a forged length cannot make us allocate memory the stream does not hold.
constexpr uint32_t kFirstChunkPiece = 1u << 20;
// Target size of the band of filtered rows that inflate writes into.
constexpr uint64_t kBandBytes = 128u * 1024;

bool is_known_color_type(uint8_t color_type)
{
    return color_type == 0 || color_type == 2 || color_type == 4 || color_type == 6;
}

// The image must be one we can decode and whose sizes fit comfortably in 32 bits.
int check_header(const PngHandle* png)
{
    if (!is_known_color_type(png->color_type)) {
        return PNG_UNSUPPORTED;
    }
    if (png->depth != 8 && png->depth != 16) {
        return PNG_UNSUPPORTED;
    }
    if (png->interlace_method != 0) {
        return PNG_UNSUPPORTED;
    }
    if (png->width == 0 || png->width > kMaxFormatValue) {
        return PNG_UNSUPPORTED;
    }
    if (png->height == 0 || png->height > kMaxFormatValue) {
        return PNG_UNSUPPORTED;
    }
    if (filtered_size(png->width, png->height, png->pbb) >= kMaxBufferSize) {
        return PNG_UNSUPPORTED;
    }
    return PNG_OK;
}

void set_pixel_bytes(PngHandle* png) { png->pbb = static_cast<uint8_t>(png_pixel_bytes(png->color_type, png->depth)); }

int read_header(PngHandle* png)
{
    uint8_t signature[8];
    if (!read_bytes(png, signature, 8))
        return PNG_END_OF_FILE;
    if (std::memcmp(signature, kSignature, 8) != 0)
        return PNG_NO_SIGNATURE;

    set_pixel_bytes(png);
    uint32_t length;
    if (!read_be32(png, &length))
        return PNG_END_OF_FILE;
    if (length != kHeaderLength)
        return PNG_CRC_ERROR;
    // Type and data; the type is covered by the CRC but, as always here, not compared.
    uint8_t chunk[4 + kHeaderLength];
    uint32_t stored_crc;
    if (!read_bytes(png, chunk, sizeof chunk) || !read_be32(png, &stored_crc))
        return PNG_END_OF_FILE;
    if (crc_of(chunk, sizeof chunk) != stored_crc)
        return PNG_CRC_ERROR;

    const uint8_t* data = chunk + 4;
    png->width = load_be32(data);
    png->height = load_be32(data + 4);
    png->depth = data[8];
    png->color_type = data[9];
    png->compression = data[10];
    png->filter = data[11];
    png->interlace_method = data[12];
    set_pixel_bytes(png);
    if (png->color_type == 3)  // refused as such, whatever the depth
        return PNG_UNSUPPORTED;
    return check_header(png);
}

// ---- unfiltering -------------------------------------------------------------------

// The pixel distance is a template parameter so the byte loops unroll per pixel.
template <unsigned BPP>
void unfilter_sub(const uint8_t* raw, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP; i++)
        out[i] = raw[i];
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + out[i - BPP]);
}

template <unsigned BPP>
void unfilter_average(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP; i++)
        out[i] = static_cast<uint8_t>(raw[i] + (prior[i] >> 1));
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + ((out[i - BPP] + prior[i]) >> 1));
}

template <unsigned BPP>
void unfilter_paeth(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP; i++)
        out[i] = static_cast<uint8_t>(raw[i] + prior[i]);
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + paeth_predictor(out[i - BPP], prior[i], prior[i - BPP]));
}

void unfilter_up(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + prior[i]);
}

template <unsigned BPP>
int unfilter_row_bpp(uint8_t type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    switch (type) {
    case 0: std::memcpy(out, raw, n); return PNG_OK;
    case 1: unfilter_sub<BPP>(raw, out, n); return PNG_OK;
    case 2: unfilter_up(raw, prior, out, n); return PNG_OK;
    case 3: unfilter_average<BPP>(raw, prior, out, n); return PNG_OK;
    case 4: unfilter_paeth<BPP>(raw, prior, out, n); return PNG_OK;
    default: return PNG_BAD_FILTER;
    }
}

// `prior` is the previous output row, or zeros for the top row (which gives exactly the
// top-row rules: Up copies, Average and Paeth see 0 above).
int unfilter_row(unsigned pbb, uint8_t type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    switch (pbb) {
    case 1: return unfilter_row_bpp<1>(type, raw, prior, out, n);
    case 2: return unfilter_row_bpp<2>(type, raw, prior, out, n);
    case 3: return unfilter_row_bpp<3>(type, raw, prior, out, n);
    case 4: return unfilter_row_bpp<4>(type, raw, prior, out, n);
    case 6: return unfilter_row_bpp<6>(type, raw, prior, out, n);
    case 8: return unfilter_row_bpp<8>(type, raw, prior, out, n);
    default: return PNG_UNSUPPORTED;  // unreachable after check_header
    }
}

// ---- inflate into rows ---------------------------------------------------------------

struct RowDecoder {
    PngHandle* png;
    uint8_t* out;
    size_t row_bytes;  // width * pbb
    size_t stride;     // row_bytes + 1 (filter byte)
    size_t band_size;  // bytes of png->raw_data used for the band, a multiple of stride
    const uint8_t* zero_row;
    size_t filled = 0;  // bytes of the band holding inflated data
    uint32_t rows_done = 0;
    int filter_result = PNG_OK;  // the first bad filter stops unfiltering, not the chunk loop
    bool started = false;        // an IDAT chunk was seen
};

void decode_row(RowDecoder* d, uint8_t* raw)
{
    PngHandle* png = d->png;
    if (d->filter_result == PNG_OK) {
        if (png->depth == 16)
            swap_sample_bytes(raw + 1, raw + 1, d->row_bytes);
        uint8_t* out = d->out + d->rows_done * d->row_bytes;
        const uint8_t* prior = d->rows_done == 0 ? d->zero_row : out - d->row_bytes;
        d->filter_result = unfilter_row(png->pbb, raw[0], raw + 1, prior, out, d->row_bytes);
    }
    d->rows_done++;
}

// Unfilters every complete row of the band and keeps the partial one at its start.
// Data beyond the last row means the image data is longer than the image.
int consume_rows(RowDecoder* d)
{
    uint8_t* band = d->png->raw_data;
    size_t pos = 0;
    while (d->filled - pos >= d->stride && d->rows_done < d->png->height) {
        decode_row(d, band + pos);
        pos += d->stride;
    }
    if (pos > 0) {
        std::memmove(band, band + pos, d->filled - pos);
        d->filled -= pos;
    }
    if (d->rows_done == d->png->height && d->filled > 0)
        return PNG_ZLIB_ERROR;
    return PNG_OK;
}

int inflate_chunk(RowDecoder* d, const uint8_t* data, uint32_t length)
{
    z_stream* zs = d->png->zstream;
    zs->next_in = const_cast<uint8_t*>(data);
    zs->avail_in = length;
    for (;;) {
        uint8_t sink[16];
        bool all_rows = d->rows_done == d->png->height;
        // After the last row any output at all is excess data.
        zs->next_out = all_rows ? sink : d->png->raw_data + d->filled;
        zs->avail_out = static_cast<uInt>(all_rows ? sizeof sink : d->band_size - d->filled);
        uInt in_before = zs->avail_in;
        uInt out_before = zs->avail_out;
        int ret = inflate(zs, Z_SYNC_FLUSH);
        size_t produced = out_before - zs->avail_out;
        if (all_rows && produced > 0)
            return PNG_ZLIB_ERROR;
        d->filled += produced;
        if (consume_rows(d) != PNG_OK)
            return PNG_ZLIB_ERROR;
        if (ret == Z_STREAM_END)
            return zs->avail_in > 0 ? PNG_ZLIB_ERROR : PNG_OK;
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            return ret == Z_MEM_ERROR ? PNG_NO_MEMORY : PNG_ZLIB_ERROR;
        bool progress = produced > 0 || zs->avail_in != in_before;
        if (!progress)
            return zs->avail_in > 0 ? PNG_ZLIB_ERROR : PNG_OK;
        // Stop once the input is used up and inflate had room to spare (nothing pending).
        if (zs->avail_in == 0 && zs->avail_out > 0)
            return PNG_OK;
    }
}

// Rows the data never reached decode as if their filtered bytes were zero, so the
// caller's buffer never shows stale memory.
void finish_short_image(RowDecoder* d)
{
    if (d->rows_done == d->png->height)
        return;
    uint8_t* band = d->png->raw_data;
    std::memset(band + d->filled, 0, d->stride - d->filled);
    d->filled = d->stride;
    consume_rows(d);
    // Every later row is filter type None over zero bytes, which is a zero row: one
    // memset instead of unfiltering each (a tiny file may claim millions of rows).
    size_t done = size_t{d->rows_done} * d->row_bytes;
    std::memset(d->out + done, 0, size_t{d->png->height} * d->row_bytes - done);
    d->rows_done = d->png->height;
}

int start_inflate(PngHandle* png)
{
    auto* zs = static_cast<z_stream*>(alloc_block(sizeof(z_stream)));
    if (!zs)
        return PNG_NO_MEMORY;
    std::memset(zs, 0, sizeof *zs);  // zlib then uses its own allocator
    if (inflateInit(zs) != Z_OK) {
        free_block(zs);
        return PNG_ZLIB_ERROR;
    }
    png->zstream = zs;
    return PNG_OK;
}

void end_inflate(PngHandle* png)
{
    if (!png->zstream)
        return;
    if (inflateEnd(png->zstream) != Z_OK)
        return;  // the record stays allocated, as zlib may still refer to it
    free_block(png->zstream);
    png->zstream = nullptr;
}

// Makes the chunk buffer hold `capacity` bytes, keeping the first `keep`.
int grow_chunk_buffer(PngHandle* png, uint32_t capacity, uint32_t keep)
{
    if (png->chunk_buffer && png->chunk_buffer_size >= capacity)
        return PNG_OK;
    auto* block = static_cast<uint8_t*>(alloc_block(capacity));
    if (!block)
        return PNG_NO_MEMORY;
    if (keep > 0)
        std::memcpy(block, png->chunk_buffer, keep);
    free_block(png->chunk_buffer);
    png->chunk_buffer = block;
    png->chunk_buffer_size = capacity;
    return PNG_OK;
}

int read_chunk_data(PngHandle* png, uint32_t length)
{
    uint32_t got = 0;
    while (got < length) {
        uint32_t want = got == 0 ? kFirstChunkPiece : got * 2;  // got < 2^31: no wrap
        if (want > length)
            want = length;
        int result = grow_chunk_buffer(png, want, got);
        if (result != PNG_OK)
            return result;
        if (!read_bytes(png, png->chunk_buffer + got, want - got))
            return PNG_FILE_ERROR;
        got = want;
    }
    return PNG_OK;
}

int process_idat(RowDecoder* d, uint32_t length)
{
    PngHandle* png = d->png;
    if (!png->zstream) {
        int result = start_inflate(png);
        if (result != PNG_OK)
            return result;
    }
    d->started = true;
    int result = read_chunk_data(png, length);
    if (result != PNG_OK)
        return result;
    uint32_t stored_crc;
    if (!read_be32(png, &stored_crc))
        return PNG_FILE_ERROR;
    static const uint8_t kType[4] = {'I', 'D', 'A', 'T'};
    if (crc_of(png->chunk_buffer, length, crc_of(kType, 4)) != stored_crc)
        return PNG_CRC_ERROR;
    if (length == 0)
        return PNG_OK;  // inflate would report "no progress" on empty input
    return inflate_chunk(d, png->chunk_buffer, length);
}

// One chunk: 0 to go on, PNG_DONE at IEND, negative on failure.
int read_chunk(RowDecoder* d)
{
    PngHandle* png = d->png;
    uint32_t length;
    uint8_t type[4];
    if (!read_be32(png, &length) || !read_bytes(png, type, 4))
        return PNG_FILE_ERROR;
    if (std::memcmp(type, "IEND", 4) == 0)
        return PNG_DONE;
    if (length > kMaxFormatValue)
        return PNG_CRC_ERROR;
    if (std::memcmp(type, "IDAT", 4) == 0)
        return process_idat(d, length);
    // Everything else (palette, transparency, ancillary data) is skipped unchecked.
    return skip_bytes(png, uint64_t{length} + 4) ? PNG_OK : PNG_FILE_ERROR;
}

int decode_chunks(PngHandle* png, uint8_t* out)
{
    png->raw_size = static_cast<uint32_t>(filtered_size(png->width, png->height, png->pbb));
    RowDecoder d{};
    d.png = png;
    d.out = out;
    d.row_bytes = size_t{png->width} * png->pbb;
    d.stride = d.row_bytes + 1;
    uint64_t rows_in_band = kBandBytes / d.stride;
    if (rows_in_band == 0)
        rows_in_band = 1;
    if (rows_in_band > png->height)
        rows_in_band = png->height;
    d.band_size = rows_in_band * d.stride;
    // One block: the band, then a row of zeros standing in for the row above the top row.
    png->raw_data = static_cast<uint8_t*>(alloc_block(d.band_size + d.row_bytes));
    if (!png->raw_data)
        return PNG_NO_MEMORY;
    std::memset(png->raw_data + d.band_size, 0, d.row_bytes);
    d.zero_row = png->raw_data + d.band_size;

    int result;
    do {
        result = read_chunk(&d);
    } while (result == PNG_OK);
    if (result != PNG_DONE)
        return result;
    if (!d.started)
        return PNG_OK;  // IEND before any image data: out stays untouched
    finish_short_image(&d);
    return d.filter_result;
}

}  // namespace

int png_open_read(PngHandle* png, PngReadFunction read_function, void* file_pointer)
{
    png->read_function = read_function;
    png->file_pointer = file_pointer;
    png->write_function = nullptr;
    if (!read_function && !file_pointer)
        return PNG_BAD_ARGUMENTS;
    return read_header(png);
}

int png_open_read_file(PngHandle* png, const char* path)
{
    FILE* file = std::fopen(path, "rb");
    if (!file)
        return PNG_FILE_ERROR;
    return png_open_read(png, nullptr, file);
}

int png_get_data(PngHandle* png, uint8_t* out)
{
    png->zstream = nullptr;
    png->raw_data = nullptr;
    png->raw_size = 0;
    png->chunk_buffer = nullptr;
    png->chunk_buffer_size = 0;
    if (!out || (!png->read_function && !png->file_pointer))
        return PNG_BAD_ARGUMENTS;
    // Guards a caller that skipped or ignored a failed open.
    set_pixel_bytes(png);
    if (check_header(png) != PNG_OK)
        return PNG_UNSUPPORTED;

    int result = decode_chunks(png, out);

    free_block(png->chunk_buffer);
    png->chunk_buffer = nullptr;
    png->chunk_buffer_size = 0;
    end_inflate(png);
    free_block(png->raw_data);
    png->raw_data = nullptr;
    return result;
}
