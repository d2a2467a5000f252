// Bitmap extraction: lossless bitmaps become PNG files, JPEG bitmaps ".jpg" files
// holding the stored bytes, JPEG bitmaps with an alpha plane PNG files.
#include "swf/extract.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "cli/driver.h"
#include "codec/image.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/memory.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

// "解压缩失败" (decompression failed)
#define INFLATE_FAILED "\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:%d,outlen:%d"

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

// Collects what the PNG writer produces (it hands over the whole file in one call).
size_t append_to_bytes(const void* source, size_t size, size_t count, void* bytes)
{
    const auto* from = static_cast<const uint8_t*>(source);
    auto* out = static_cast<std::vector<uint8_t>*>(bytes);
    try {
        out->insert(out->end(), from, from + size * count);
    } catch (const std::bad_alloc&) {
        return 0;  // the writer reports the failed write; no exception leaves the codec
    }
    return count;
}

// Writes the file whole or not at all; false (with a line) when it was not written.
bool write_output(const std::string& path, std::span<const uint8_t> bytes, uint16_t id, const char* function)
{
    WriteStatus status = platform_write_file_whole(path.c_str(), bytes);
    if (status == WriteStatus::ok)
        return true;
    DEBUG_LINE_IN("swf", function, "cannot write %s (%s), bitmap %d skipped", path.c_str(),
                  platform_write_status_text(status), id);
    return false;
}

// Forms the folder and the file path; empty when there is nowhere to write.
std::string output_path(Swf* swf, uint16_t id, uint8_t by_name, const char* extension)
{
    std::string folder;
    if (!make_res_dir(swf->path.c_str(), folder))
        return {};
    return bitmap_file_path(swf, folder, id, by_name, extension);
}

// False (with a line) when the PNG of a width x height bitmap could pass the buffer limit.
bool png_fits(uint16_t id, uint32_t width, uint32_t height, const char* function)
{
    if (png_encoded_size_bound(width, height, 8, 6) != 0)
        return true;
    DEBUG_LINE_IN("swf", function, "bitmap %d of %ux%u pixels cannot be encoded within the buffer limit, skipped", id,
                  width, height);
    return false;
}

// Encodes width x height R, G, B, A pixels as PNG in memory, then writes the file.
// False when the bitmap could not be written; nothing is created before the encoding
// has succeeded.
bool write_png_bitmap(Swf* swf, uint16_t id, uint8_t by_name, uint32_t width, uint32_t height,
                      const uint8_t* pixels, const char* function)
{
    if (!png_fits(id, width, height, function))
        return false;
    std::vector<uint8_t> encoded;
    PngHandle png{};
    png_open_writer(&png, append_to_bytes, &encoded);
    int rv = png_write_image(&png, width, height, 8, 6, pixels);
    if (rv != PNG_OK) {
        DEBUG_LINE_IN("swf", function, "bitmap %d cannot be encoded: %s, skipped", id, png_error_text(rv));
        return false;
    }
    std::string path = output_path(swf, id, by_name, ".png");
    return !path.empty() && write_output(path, encoded, id, function);
}

}  // namespace

std::string sanitize_file_name(std::string name)
{
    for (size_t i = 0; i < name.size(); ++i) {
        auto byte = static_cast<uint8_t>(name[i]);
        if (byte >= 0x81 && byte <= 0xFE && i + 1 < name.size())
            ++i;  // a GBK pair: its trail byte may look like a refused byte but is not one
        else if (platform_is_forbidden_name_byte(name[i]))
            name[i] = '_';
    }
    // The system reads a device name up to the first dot: "con.x.png" is the console too.
    if (platform_is_device_name(std::string_view(name).substr(0, name.find('.'))))
        name.insert(0, 1, '_');
    return name;
}

std::string swf_symbol_name(const Swf* swf, uint16_t id)
{
    const SymbolNames* names = swf->names;
    uint32_t at = symbols_get(names, id);
    if (at != names->n_buckets && names->values[at] != nullptr)
        return names->values[at]->name;
    return std::to_string(id);
}

std::string bitmap_file_path(const Swf* swf, const std::string& folder, uint16_t id,
                             uint8_t by_name, const char* extension)
{
    std::string name = by_name ? sanitize_file_name(swf_symbol_name(swf, id)) : std::to_string(id);
    if (name.size() + std::strlen(extension) > kMaxName) {
        DEBUG_LINE("swf", "class name of bitmap %d is too long for a file name; using the id", id);
        name = std::to_string(id);
    }
    std::string path = folder + kPathSeparator + name + extension;
    if (path.size() >= kMaxPath) {
        DEBUG_LINE("swf", "path too long, bitmap %d skipped: %s", id, path.c_str());
        return {};
    }
    return path;
}

uint32_t swf_saveimg(Swf* swf, uint8_t by_name)
{
    uint32_t not_written = 0;
    for (SwfTag* tag : swf_tags(swf)) {
        bool written = true;
        switch (tag->code) {
        case TAG_DEFINE_BITS:
        case TAG_DEFINE_BITS_JPEG2:
        case TAG_DEFINE_BITS_JPEG3:
            written = read_bits(swf, tag, by_name);
            break;
        case TAG_DEFINE_BITS_LOSSLESS:
        case TAG_DEFINE_BITS_LOSSLESS2:
            written = read_lossless(swf, tag, by_name);
            break;
        default:
            break;
        }
        not_written += written ? 0 : 1;
    }
    DEBUG_LINE("swf", "------------swf_saveimg done--------------");
    return not_written;
}

bool read_lossless(Swf* swf, SwfTag* tag, uint8_t by_name)
{
    Stream* body = &tag->body;
    body->pos = 0;
    int alpha = tag->code == TAG_DEFINE_BITS_LOSSLESS2;
    if (body->len < kLosslessHeader) {
        DEBUG_LINE("swf", "lossless bitmap body of %u bytes is too short, skipped", body->len);
        return true;
    }
    uint16_t id = stream_read_ui16(body);
    uint8_t format = stream_read_ui8(body);
    uint16_t width = stream_read_ui16(body);
    uint16_t height = stream_read_ui16(body);
    DEBUG_LINE("swf", "alpha:%d,format:%d,width:%d,height:%d", alpha, format, width, height);
    if (format == 3 || format == 4)
        return true;  // colour-mapped and 15-bit bitmaps are not converted
    if (format != 5) {
        DEBUG_LINE("swf", "unknown lossless image format %u", format);
        return true;
    }
    // At most 65535 x 65535 x 4 bytes: computed in 64 bits, refused at the buffer limit.
    uint64_t size = uint64_t{width} * height * 4;
    if (size == 0 || size >= kMaxBufferSize) {
        DEBUG_LINE("swf", "bitmap %d of %ux%u pixels is out of range, skipped", id, width, height);
        return true;
    }
    if (!png_fits(id, width, height, __func__))
        return false;
    ByteBuffer pixels(static_cast<uint8_t*>(std::calloc(size, 1)));
    if (!pixels) {
        DEBUG_LINE("swf", "out of memory for bitmap %d, skipped", id);
        return false;
    }
    uLongf out_len = size;
    int rv = uncompress(pixels.get(), &out_len, body->buf + body->pos, body->len - body->pos);
    if (rv != Z_OK) {
        DEBUG_LINE("swf", INFLATE_FAILED, rv, static_cast<int>(size));
        return true;
    }
    argb_to_rgba(pixels.get(), size_t{width} * height);
    return write_png_bitmap(swf, id, by_name, width, height, pixels.get(), __func__);
}

namespace {

bool write_stored_jpeg(Swf* swf, uint16_t id, uint8_t by_name, const uint8_t* data, uint32_t size)
{
    std::string path = output_path(swf, id, by_name, ".jpg");
    return !path.empty() && write_output(path, {data, size}, id, "read_bits");
}

// Decodes the image, merges the inflated alpha plane by AND and writes a PNG.
bool write_jpeg_with_alpha(Swf* swf, uint16_t id, uint8_t by_name, const uint8_t* image,
                           uint32_t image_size, const uint8_t* alpha, uint32_t alpha_size)
{
    DecodedImage decoded{};
    if (image_decode(&decoded, image, image_size) != 0) {
        DEBUG_LINE_IN("swf", "read_bits", "image of bitmap %d does not decode, skipped", id);
        return true;
    }
    std::unique_ptr<DecodedImage, decltype(&image_free)> release(&decoded, image_free);
    uint64_t count = uint64_t{decoded.width} * decoded.height;
    ByteBuffer plane(static_cast<uint8_t*>(std::calloc(count ? count : 1, 1)));
    if (!plane) {
        DEBUG_LINE_IN("swf", "read_bits", "out of memory for bitmap %d, skipped", id);
        return false;
    }
    uLongf out_len = count;
    int rv = uncompress(plane.get(), &out_len, alpha, alpha_size);
    if (rv != Z_OK) {
        DEBUG_LINE_IN("swf", "read_bits", INFLATE_FAILED, rv, static_cast<int>(count));
        return true;
    }
    for (uint64_t i = 0; i < count; ++i)
        decoded.pixels[4 * i + 3] &= plane[i];
    return write_png_bitmap(swf, id, by_name, decoded.width, decoded.height, decoded.pixels, "read_bits");
}

}  // namespace

bool read_bits(Swf* swf, SwfTag* tag, uint8_t by_name)
{
    Stream* body = &tag->body;
    body->pos = 0;
    int alpha = tag->code == TAG_DEFINE_BITS_JPEG3;
    uint32_t header = alpha ? kJpeg3Header : 2;
    if (body->len < header) {
        DEBUG_LINE("swf", "jpeg bitmap body of %u bytes is too short, skipped", body->len);
        return true;
    }
    uint16_t id = stream_read_ui16(body);
    uint32_t image_size = alpha ? stream_read_ui32(body) : body->len - 2;
    DEBUG_LINE("swf", "id:%d,alpha:%d", id, alpha);
    if (image_size > body->len - header) {
        DEBUG_LINE("swf", "image length %u of bitmap %d runs past the tag, skipped", image_size, id);
        return true;
    }
    const uint8_t* image = body->buf + header;
    if (!alpha)
        return write_stored_jpeg(swf, id, by_name, image, image_size);
    const uint8_t* alpha_data = image + image_size;
    uint32_t alpha_size = body->len - kJpeg3Header - image_size;
    return write_jpeg_with_alpha(swf, id, by_name, image, image_size, alpha_data, alpha_size);
}
