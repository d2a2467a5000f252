#include "codec/image.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codec/jpeg_decoder.h"
#include "codec/jpeg_encoder.h"
#include "platform/platform.h"
#include "stream/byte_reader.h"
#include "support/memory.h"

namespace {

constexpr uint64_t kJpegHeaderBytes = 607 + 2;
// Worst case of one 8x8 block of three components: every coefficient at its longest
// code and extra bits, every byte stuffed.
constexpr uint64_t kJpegWorstBytesPerBlock = 1280;

uint8_t* alloc_pixels(uint64_t width, uint64_t height, uint64_t bytes_per_pixel)
{
    uint64_t size = width * height * bytes_per_pixel;
    return size == 0 ? nullptr : buffer_alloc(size, false);
}

Fault decode_png(DecodedImage* image, const uint8_t* data, uint32_t size)
{
    Result<PngPicture> png = png_decode({data, size});
    if (!png.ok())
        return png.fault;
    *image = {ImageKind::png, image->quality, png.value.width, png.value.height, png.value.pixels.release()};
    return Fault::none;
}

// Releases the decoder's picture on every path.
struct JpegRelease {
    JpegDecoder& decoder;
    ~JpegRelease() { decoder.release(); }
};

// A pixel buffer that cannot be had is a resource failure, not bad data.
Fault pixels_fault(uint64_t width, uint64_t height)
{
    return width * height * 4 >= kMaxBufferSize ? Fault::too_large : Fault::out_of_memory;
}

Fault decode_jpeg(JpegDecoder& decoder, DecodedImage* image, const uint8_t* data, uint32_t size)
{
    JpegRelease release{decoder};
    if (Fault fault = decoder.decode({data, size}); fault != Fault::none)
        return fault;
    uint32_t width = static_cast<uint32_t>(decoder.width());
    uint32_t height = static_cast<uint32_t>(decoder.height());
    malloc_ptr<uint8_t[]> pixels(alloc_pixels(width, height, 4));
    if (!pixels)
        return pixels_fault(width, height);
    const uint8_t* source = decoder.pixels();
    size_t count = size_t{width} * height;
    if (decoder.is_colour()) {
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(pixels.get() + 4 * i, source + 3 * i, 3);
            pixels[4 * i + 3] = 255;
        }
    } else {
        for (size_t i = 0; i < count; ++i) {  // grey: (Y, Y, Y, 255)
            std::memset(pixels.get() + 4 * i, source[i], 3);
            pixels[4 * i + 3] = 255;
        }
    }
    *image = {ImageKind::jpeg, image->quality, width, height, pixels.release()};
    return Fault::none;
}

// Windows bitmap files: a 14-byte file header and an info header of 40 bytes or more,
// uncompressed 24- or 32-bit rows, bottom-up (positive height) or top-down.
Fault decode_bitmap(DecodedImage* image, const uint8_t* data, uint32_t size)
{
    constexpr uint32_t kFileHeader = 14, kInfoHeader = 40;
    if (size < kFileHeader + kInfoHeader)
        return Fault::malformed;
    ByteReader in({data, size});
    in.skip(10);  // "BM", file size, reserved
    const uint32_t pixel_offset = in.u32le();
    const uint32_t info_size = in.u32le();
    const auto raw_width = static_cast<int32_t>(in.u32le());
    const auto raw_height = static_cast<int32_t>(in.u32le());
    in.skip(2);  // planes
    const uint16_t bits = in.u16le();
    const uint32_t compression = in.u32le();
    if (info_size < kInfoHeader || raw_width <= 0 || raw_height == 0 || raw_height == INT32_MIN ||
        (bits != 24 && bits != 32) || compression != 0)
        return Fault::malformed;
    bool top_down = raw_height < 0;
    uint32_t width = static_cast<uint32_t>(raw_width);
    uint32_t height = static_cast<uint32_t>(top_down ? -raw_height : raw_height);
    uint32_t bytes_per_pixel = bits / 8;
    uint64_t stride = (uint64_t{width} * bytes_per_pixel + 3) & ~uint64_t{3};
    if (pixel_offset > size || stride * height > size - pixel_offset)
        return Fault::malformed;
    malloc_ptr<uint8_t[]> pixels(alloc_pixels(width, height, 4));
    if (!pixels)
        return pixels_fault(width, height);
    bool any_alpha = false;
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* row = data + pixel_offset + stride * (top_down ? y : height - 1 - y);
        uint8_t* out = pixels.get() + size_t{y} * width * 4;
        for (uint32_t x = 0; x < width; ++x, row += bytes_per_pixel, out += 4) {
            out[0] = row[2], out[1] = row[1], out[2] = row[0];
            out[3] = bytes_per_pixel == 4 ? row[3] : 255;
            any_alpha |= out[3] != 0;
        }
    }
    // 32-bit files mostly leave the fourth byte unused (zero): such a picture is opaque.
    if (!any_alpha)
        for (size_t i = 0; i < size_t{width} * height; ++i)
            pixels[4 * i + 3] = 255;
    *image = {ImageKind::bitmap, image->quality, width, height, pixels.release()};
    return Fault::none;
}

// A leading EOI SOI pair is how some authoring tools started their JPEG data.
bool looks_like_jpeg(const uint8_t* data, uint32_t size)
{
    if (size >= 4 && std::memcmp(data, "\xFF\xD9\xFF\xD8", 4) == 0)
        return true;
    return size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

}  // namespace

Fault image_decode(ImageContext* context, DecodedImage* image, std::span<const uint8_t> bytes)
{
    const uint8_t* data = bytes.data();
    const uint32_t size = static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX));
    if (data == nullptr)
        return Fault::malformed;
    if (size >= 4 && std::memcmp(data, "\x89PNG", 4) == 0)
        return decode_png(image, data, size);
    if (looks_like_jpeg(data, size))
        return decode_jpeg(context->jpeg, image, data, size);
    if (size >= 2 && data[0] == 0x42 && data[1] == 0x4D)
        return decode_bitmap(image, data, size);
    return Fault::malformed;
}

uint64_t image_encode_bound(uint32_t width, uint32_t height)
{
    uint64_t blocks = (uint64_t{width} + 7) / 8 * ((uint64_t{height} + 7) / 8);
    uint64_t jpeg = kJpegHeaderBytes + blocks * kJpegWorstBytesPerBlock;
    // A PNG past the buffer limit is refused by the encoder whatever the buffer.
    const Result<uint64_t> png = png_encoded_size_bound(width, height, 8, 6);
    return png.ok() && png.value > jpeg ? png.value : jpeg;
}

Fault image_encode_pixels(ImageKind kind, uint8_t* pixels, uint32_t width, uint32_t height, uint8_t quality,
                          uint8_t* out, uint32_t capacity, uint32_t* out_size)
{
    MemoryWriter writer{0, 0, out, capacity};
    if (kind == ImageKind::png) {
        PngHandle png{};
        png_open_writer(&png, memory_writer, &writer);
        if (Fault fault = png_write_image(&png, width, height, 8, 6, pixels); fault != Fault::none)
            return fault == Fault::io_error ? Fault::too_large : fault;  // the writer refused: the buffer is full
    } else if (kind == ImageKind::jpeg) {
        image_flatten_alpha(pixels, width, height, 255);
        int count = 0;
        if (Fault fault = jpeg_encode(&writer, memory_writer, &count, pixels, width, height, 4, quality);
            fault != Fault::none)
            return fault;
        if (static_cast<uint32_t>(count) != writer.written)
            return Fault::too_large;  // a write did not fit the buffer
    } else {
        return Fault::unsupported;
    }
    *out_size = writer.written;
    return Fault::none;
}

Fault image_encode(DecodedImage* image, uint8_t* out, uint32_t capacity, uint32_t* out_size)
{
    return image_encode_pixels(image->kind, image->pixels, image->width, image->height, image->quality, out, capacity,
                               out_size);
}

void image_flatten_alpha(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t divisor)
{
    size_t count = size_t{width} * height;
    if (divisor == 0) {
        std::memset(pixels, 0, count * 4);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t* p = pixels + 4 * i;
        uint32_t alpha = p[3];
        p[0] = static_cast<uint8_t>(alpha * p[0] / divisor);
        p[1] = static_cast<uint8_t>(alpha * p[1] / divisor);
        p[2] = static_cast<uint8_t>(alpha * p[2] / divisor);
        p[3] = 255;
    }
}

void image_free(DecodedImage* image)
{
    buffer_free(image->pixels);
    image->pixels = nullptr;
}
