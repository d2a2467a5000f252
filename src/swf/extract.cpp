// Bitmap extraction: lossless bitmaps become PNG files, JPEG bitmaps ".jpg" files
// holding the stored bytes, JPEG bitmaps with an alpha plane PNG files.
#include "swf/extract.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include <zlib.h>

#include "cli/driver.h"
#include "codec/image.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/memory.h"
#include "swf/naming.h"
#include "swf/swf.h"

namespace {

#define INFLATE_FAILED "解压缩失败,rv:%d,outlen:%d"  // "decompression failed"

constexpr uint32_t kLosslessHeader = 7;  // id, format, width, height
constexpr uint32_t kJpeg3Header = 6;     // id, image length

// Stored A, R, G, B becomes R, G, B, A: on a little-endian load that is a rotation.
void argb_to_rgba(uint8_t* pixels, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, pixels + 4 * i, 4);
        v = std::rotr(v, 8);
        std::memcpy(pixels + 4 * i, &v, 4);
    }
}

// Writes width x height R, G, B, A pixels as a PNG file. False when the file cannot be created.
bool write_png(const std::string& path, uint32_t width, uint32_t height, const uint8_t* pixels)
{
    PngHandle png{};
    if (png_create_file(&png, path.c_str()) != 0)
        return false;
    png_write_image(&png, width, height, 8, 6, pixels);
    png_close(&png);
    return true;
}

// Forms the folder and the file path; empty when there is nowhere to write.
std::string output_path(Swf* swf, uint16_t id, uint8_t by_name, const char* extension)
{
    std::string folder;
    if (!make_res_dir(swf->path.c_str(), folder))
        return {};
    return bitmap_file_path(swf, folder, id, by_name, extension);
}

void write_png_bitmap(Swf* swf, uint16_t id, uint8_t by_name, uint32_t width, uint32_t height,
                      const uint8_t* pixels, const char* function)
{
    std::string path = output_path(swf, id, by_name, ".png");
    if (path.empty())
        return;
    if (!write_png(path, width, height, pixels))
        DEBUG_LINE_IN("swf", function, "cannot create %s, bitmap %d skipped", path.c_str(), id);
}

}  // namespace

void swf_saveimg(Swf* swf, uint8_t by_name)
{
    swf->file_names.clear();  // a second run over the movie writes the same names again
    for (SwfTag* tag : swf_tags(swf)) {
        switch (tag->code) {
        case TAG_DEFINE_BITS:
        case TAG_DEFINE_BITS_JPEG2:
        case TAG_DEFINE_BITS_JPEG3:
            read_bits(swf, tag, by_name);
            break;
        case TAG_DEFINE_BITS_LOSSLESS:
        case TAG_DEFINE_BITS_LOSSLESS2:
            read_lossless(swf, tag, by_name);
            break;
        default:
            break;
        }
    }
    DEBUG_LINE("swf", "------------swf_saveimg done--------------");
}

void read_lossless(Swf* swf, SwfTag* tag, uint8_t by_name)
{
    Stream* body = &tag->body;
    body->pos = 0;
    int alpha = tag->code == TAG_DEFINE_BITS_LOSSLESS2;
    if (body->len < kLosslessHeader) {
        DEBUG_LINE("swf", "lossless bitmap body of %u bytes is too short, skipped", body->len);
        return;
    }
    uint16_t id = stream_read_ui16(body);
    uint8_t format = stream_read_ui8(body);
    uint16_t width = stream_read_ui16(body);
    uint16_t height = stream_read_ui16(body);
    DEBUG_LINE("swf", "alpha:%d,format:%d,width:%d,height:%d", alpha, format, width, height);
    if (format == 3 || format == 4)
        return;  // colour-mapped and 15-bit bitmaps are not converted
    if (format != 5) {
        DEBUG_LINE("swf", "unknown lossless image format %u", format);
        return;
    }
    // At most 65535 x 65535 x 4 bytes: computed in 64 bits, refused at the buffer limit.
    uint64_t size = uint64_t{width} * height * 4;
    if (size == 0 || size >= kMaxBufferSize) {
        DEBUG_LINE("swf", "bitmap %d of %ux%u pixels is out of range, skipped", id, width, height);
        return;
    }
    ByteBuffer pixels(static_cast<uint8_t*>(std::calloc(size, 1)));
    if (!pixels) {
        DEBUG_LINE("swf", "out of memory for bitmap %d, skipped", id);
        return;
    }
    uLongf out_len = size;
    int rv = uncompress(pixels.get(), &out_len, body->buf + body->pos, body->len - body->pos);
    if (rv != Z_OK) {
        DEBUG_LINE("swf", INFLATE_FAILED, rv, static_cast<int>(size));
        return;
    }
    argb_to_rgba(pixels.get(), size_t{width} * height);
    write_png_bitmap(swf, id, by_name, width, height, pixels.get(), __func__);
}

namespace {

void write_stored_jpeg(Swf* swf, uint16_t id, uint8_t by_name, const uint8_t* data, uint32_t size)
{
    std::string path = output_path(swf, id, by_name, ".jpg");
    if (path.empty())
        return;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(data, 1, size, f) == size;
    if (f != nullptr && std::fclose(f) != 0)
        ok = false;
    if (!ok)
        DEBUG_LINE_IN("swf", "read_bits", "cannot write %s, bitmap %d skipped", path.c_str(), id);
}

// Decodes the image, merges the inflated alpha plane by AND and writes a PNG.
void write_jpeg_with_alpha(Swf* swf, uint16_t id, uint8_t by_name, const uint8_t* image,
                           uint32_t image_size, const uint8_t* alpha, uint32_t alpha_size)
{
    DecodedImage decoded{};
    if (image_decode(&decoded, image, image_size) != 0) {
        DEBUG_LINE_IN("swf", "read_bits", "image of bitmap %d does not decode, skipped", id);
        return;
    }
    std::unique_ptr<DecodedImage, decltype(&image_free)> release(&decoded, image_free);
    uint64_t count = uint64_t{decoded.width} * decoded.height;
    ByteBuffer plane(static_cast<uint8_t*>(std::calloc(count ? count : 1, 1)));
    if (!plane) {
        DEBUG_LINE_IN("swf", "read_bits", "out of memory for bitmap %d, skipped", id);
        return;
    }
    uLongf out_len = count;
    int rv = uncompress(plane.get(), &out_len, alpha, alpha_size);
    if (rv != Z_OK) {
        DEBUG_LINE_IN("swf", "read_bits", INFLATE_FAILED, rv, static_cast<int>(count));
        return;
    }
    for (uint64_t i = 0; i < count; ++i)
        decoded.pixels[4 * i + 3] &= plane[i];
    write_png_bitmap(swf, id, by_name, decoded.width, decoded.height, decoded.pixels, "read_bits");
}

}  // namespace

void read_bits(Swf* swf, SwfTag* tag, uint8_t by_name)
{
    Stream* body = &tag->body;
    body->pos = 0;
    int alpha = tag->code == TAG_DEFINE_BITS_JPEG3;
    uint32_t header = alpha ? kJpeg3Header : 2;
    if (body->len < header) {
        DEBUG_LINE("swf", "jpeg bitmap body of %u bytes is too short, skipped", body->len);
        return;
    }
    uint16_t id = stream_read_ui16(body);
    uint32_t image_size = alpha ? stream_read_ui32(body) : body->len - 2;
    DEBUG_LINE("swf", "id:%d,alpha:%d", id, alpha);
    if (image_size > body->len - header) {
        DEBUG_LINE("swf", "image length %u of bitmap %d runs past the tag, skipped", image_size, id);
        return;
    }
    const uint8_t* image = body->buf + header;
    if (!alpha) {
        write_stored_jpeg(swf, id, by_name, image, image_size);
        return;
    }
    const uint8_t* alpha_data = image + image_size;
    uint32_t alpha_size = body->len - kJpeg3Header - image_size;
    write_jpeg_with_alpha(swf, id, by_name, image, image_size, alpha_data, alpha_size);
}
