// pixpng writer: one IDAT chunk, filter None on every row, zlib at its default level.
//
// Rows are staged with their filter byte in a small band and deflated band by band, so
// the filtered image is never copied whole; the compressed stream goes into a buffer
// sized by zlib's bound, and the file leaves in a single write.
#include <cstring>

#include <zlib.h>

#include "codec/png.h"
#include "codec/png_internal.h"
#include "support/memory.h"

using namespace pngi;

namespace {

constexpr uint64_t kBandBytes = 128u * 1024;
// Signature, header chunk, IDAT length/type/CRC and the end chunk around the stream.
constexpr uint64_t kFileOverhead = 8 + (12 + 13) + 12 + 12;

uint64_t deflate_bound(uint64_t s)
{
    // zlib's compressBound, in 64 bits.
    return s + (s >> 12) + (s >> 14) + (s >> 25) + 13;
}

int check_image(uint32_t width, uint32_t height, int depth, int color_type, uint64_t* file_bound)
{
    if (depth != 8 && depth != 16) return PNG_UNSUPPORTED;
    if (color_type != 0 && color_type != 2 && color_type != 4 && color_type != 6)
        return PNG_UNSUPPORTED;
    if (width == 0 || height == 0 || width > kMaxFormatValue || height > kMaxFormatValue)
        return PNG_UNSUPPORTED;
    uint64_t s = filtered_size(width, height, static_cast<unsigned>(png_pixel_bytes(color_type, depth)));
    *file_bound = deflate_bound(s) + kFileOverhead;
    return *file_bound >= kMaxBufferSize ? PNG_NO_MEMORY : PNG_OK;
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

// Deflates the rows into `out` (capacity from the bound); the stream's size on success.
int deflate_rows(const PngHandle* png, const uint8_t* pixels, uint8_t* out, uint64_t capacity,
                 uint32_t* compressed_size)
{
    size_t row_bytes = size_t{png->width} * png->pbb;
    size_t stride = row_bytes + 1;
    uint64_t rows_in_band = kBandBytes / stride;
    if (rows_in_band == 0) rows_in_band = 1;
    if (rows_in_band > png->height) rows_in_band = png->height;
    auto* band = static_cast<uint8_t*>(alloc_block(rows_in_band * stride));
    if (!band) return PNG_NO_MEMORY;

    z_stream zs{};
    if (deflateInit(&zs, Z_DEFAULT_COMPRESSION) != Z_OK) {
        free_block(band);
        return PNG_ZLIB_ERROR;
    }
    zs.next_out = out;
    zs.avail_out = static_cast<uInt>(capacity);
    int ret = Z_OK;
    size_t filled = 0;
    for (uint32_t y = 0; y < png->height && ret == Z_OK; y++) {
        const uint8_t* row = pixels + y * row_bytes;
        band[filled] = 0;  // filter None
        if (png->depth == 16)
            swap_sample_bytes(band + filled + 1, row, row_bytes);
        else
            std::memcpy(band + filled + 1, row, row_bytes);
        filled += stride;
        bool last = y + 1 == png->height;
        if (last || filled + stride > rows_in_band * stride) {
            zs.next_in = band;
            zs.avail_in = static_cast<uInt>(filled);
            ret = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            filled = 0;
        }
    }
    *compressed_size = static_cast<uint32_t>(zs.total_out);
    deflateEnd(&zs);
    free_block(band);
    return ret == Z_STREAM_END ? PNG_OK : PNG_ZLIB_ERROR;
}

}  // namespace

int png_open_writer(PngHandle* png, PngWriteFunction write_function, void* file_pointer)
{
    png->write_function = write_function;
    png->file_pointer = file_pointer;
    png->read_function = nullptr;
    return !write_function && !file_pointer ? PNG_BAD_ARGUMENTS : PNG_OK;
}

int png_create_file(PngHandle* png, const char* path)
{
    FILE* file = std::fopen(path, "wb");
    if (!file) return PNG_FILE_ERROR;
    return png_open_writer(png, nullptr, file);
}

uint64_t png_encoded_size_bound(uint32_t width, uint32_t height, int depth, int color_type)
{
    uint64_t bound = 0;
    return check_image(width, height, depth, color_type, &bound) == PNG_OK ? bound : 0;
}

int png_write_image(PngHandle* png, uint32_t width, uint32_t height, int depth, int color_type,
                    const uint8_t* pixels)
{
    if (!png->write_function && !png->file_pointer) return PNG_BAD_ARGUMENTS;
    png->width = width;
    png->height = height;
    png->depth = static_cast<uint8_t>(depth);
    png->color_type = static_cast<uint8_t>(color_type);
    png->compression = png->filter = png->interlace_method = 0;
    png->pbb = static_cast<uint8_t>(png_pixel_bytes(color_type, depth));
    uint64_t file_bound = 0;
    int result = check_image(width, height, depth, color_type, &file_bound);
    if (result != PNG_OK) return result;
    if (!pixels) return PNG_BAD_ARGUMENTS;

    auto* file = static_cast<uint8_t*>(alloc_block(file_bound));
    if (!file) return PNG_NO_MEMORY;
    uint8_t* idat = put_header(file, png);
    uint8_t* stream = idat + 8;
    uint32_t compressed = 0;
    result = deflate_rows(png, pixels, stream, file_bound - (stream - file) - 16, &compressed);
    if (result == PNG_OK) {
        put_chunk_start(idat, compressed, "IDAT");
        uint8_t* end = put_chunk_crc(idat + 4, compressed);
        end = put_chunk_crc(put_chunk_start(end, 0, "IEND") - 4, 0);
        if (!write_bytes(png, file, static_cast<size_t>(end - file))) result = PNG_FILE_ERROR;
    }
    free_block(file);
    return result;
}
