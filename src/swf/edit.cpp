#include "swf/edit.h"

#include <cstring>
#include <string>

#include <zlib.h>

#include "codec/image.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/fileio.h"
#include "support/memory.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

// "解压缩失败" (decompression failed) and "压缩失败" (compression failed)
#define INFLATE_FAILED "\xBD\xE2\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC,rv:%d,outlen:%d"
#define DEFLATE_FAILED "\xD1\xB9\xCB\xF5\xCA\xA7\xB0\xDC"

constexpr uint16_t kAddedImageId = 1000;
constexpr uint32_t kMaxDimension = 65535;  // tag fields are 16 bits
constexpr int kDefaultJpegQuality = 80;

// A decoded picture that releases its pixels on every path.
struct Picture {
    DecodedImage image{};
    ~Picture() { image_free(&image); }
};

ByteBuffer alloc_bytes(uint64_t size)
{
    if (size >= kMaxBufferSize)
        return nullptr;
    return ByteBuffer(static_cast<uint8_t*>(std::calloc(size ? size : 1, 1)));
}

// Decodes picture bytes for a tag; false (with a line) when they are unusable.
bool decode_for_tag(Picture& picture, const uint8_t* data, uint32_t size, const char* function)
{
    if (data == nullptr || size == 0) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "empty picture file, tag left unchanged");
        return false;
    }
    if (image_decode(&picture.image, data, size) != 0) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "picture does not decode, tag left unchanged");
        return false;
    }
    if (picture.image.width > kMaxDimension || picture.image.height > kMaxDimension) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "picture of %ux%u is too large for a bitmap tag",
                   picture.image.width, picture.image.height);
        return false;
    }
    return true;
}

// Re-encodes a decoded picture in its own kind (bitmaps, which have no encoder, as PNG).
bool encode_picture(Picture& picture, ByteBuffer& out, uint32_t* out_size, const char* function)
{
    if (picture.image.kind == IMAGE_BITMAP)
        picture.image.kind = IMAGE_PNG;
    uint64_t bound = image_encode_bound(picture.image.width, picture.image.height);
    out = alloc_bytes(bound);
    *out_size = 0;
    if (!out || image_encode(&picture.image, out.get(), static_cast<uint32_t>(bound), out_size) != 0 ||
        *out_size == 0) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "picture cannot be encoded, tag left unchanged");
        return false;
    }
    return true;
}

// Replaces the tag's code and body with `header` followed by `payload`.
void rebuild_tag(SwfTag* tag, uint16_t code, const uint8_t* header, uint32_t header_size,
                 const uint8_t* payload, uint32_t payload_size)
{
    tag->code = code;
    stream_resize(&tag->body, header_size + payload_size);
    tag->body.pos = 0;
    stream_write_bytes(&tag->body, header, header_size);
    stream_write_bytes(&tag->body, payload, payload_size);
}

std::string replacement_path(const Swf* swf, uint16_t id, const char* extension)
{
    return swf->path + "_res" + kPathSeparator + std::to_string(id) + extension;
}

// Reads a replacement file and hands it to `rebuild`; true when a file was found.
template <class Rebuild>
bool try_replacement(Swf* swf, SwfTag* tag, uint16_t id, const char* extension, Rebuild rebuild)
{
    std::string path = replacement_path(swf, id, extension);
    if (path.size() >= kMaxPath || !file_exists(path.c_str()))
        return false;
    int size = 0;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    if (!data) {
        DEBUG_PROBLEM_IN("swf", "swf_replace", "cannot read %s", path.c_str());
        return false;
    }
    rebuild(tag, id, data.get(), static_cast<uint32_t>(size));
    DEBUG_LINE_IN("swf", "swf_replace", "\xCC\xE6\xBB\xBB\xB5\xF4:%s", path.c_str());  // "替换掉" (replaced)
    return true;
}

bool is_bitmap_tag(uint16_t code)
{
    return code == TAG_DEFINE_BITS || code == TAG_DEFINE_BITS_LOSSLESS || code == TAG_DEFINE_BITS_JPEG2 ||
           code == TAG_DEFINE_BITS_JPEG3 || code == TAG_DEFINE_BITS_LOSSLESS2;
}

}  // namespace

void swf_replace(Swf* swf)
{
    for (SwfTag* tag : swf_tags(swf)) {
        if (!is_bitmap_tag(tag->code) || tag->body.len < 2)
            continue;
        tag->body.pos = 0;
        uint16_t id = stream_read_ui16(&tag->body);
        if (!try_replacement(swf, tag, id, ".png", swf_write_tag_DefineBitsLossless2))
            try_replacement(swf, tag, id, ".jpg", swf_replace_jpeg);
    }
    DEBUG_LINE("swf", "------------swf_replace done--------------");
}

bool swf_write_tag_DefineBitsLossless2(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    Picture picture;
    if (!decode_for_tag(picture, data, size, __func__))
        return false;
    DecodedImage& image = picture.image;
    size_t count = size_t{image.width} * image.height;
    // R, G, B, A becomes A, R, G, B; a fully transparent pixel is stored as zeros.
    for (size_t i = 0; i < count; ++i) {
        uint8_t* p = image.pixels + 4 * i;
        uint8_t a = p[3];
        uint8_t r = p[0], g = p[1], b = p[2];
        if (a == 0)
            r = g = b = 0;
        p[0] = a, p[1] = r, p[2] = g, p[3] = b;
    }
    uLongf packed_len = compressBound(count * 4);
    ByteBuffer packed = alloc_bytes(packed_len);
    if (!packed || compress(packed.get(), &packed_len, image.pixels, count * 4) != Z_OK) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return false;
    }
    uint8_t header[7] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 5,
                         static_cast<uint8_t>(image.width), static_cast<uint8_t>(image.width >> 8),
                         static_cast<uint8_t>(image.height), static_cast<uint8_t>(image.height >> 8)};
    rebuild_tag(tag, TAG_DEFINE_BITS_LOSSLESS2, header, sizeof header, packed.get(),
                static_cast<uint32_t>(packed_len));
    return true;
}

bool swf_replace_jpeg(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    Picture picture;
    ByteBuffer encoded;
    uint32_t encoded_size = 0;
    if (!decode_for_tag(picture, data, size, __func__) || !encode_picture(picture, encoded, &encoded_size, __func__))
        return false;
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    rebuild_tag(tag, TAG_DEFINE_BITS_JPEG2, header, sizeof header, encoded.get(), encoded_size);
    return true;
}

void swf_small(Swf* swf)
{
    for (SwfTag* tag : swf_tags(swf))
        if (tag->code == TAG_DEFINE_BITS_LOSSLESS || tag->code == TAG_DEFINE_BITS_LOSSLESS2)
            lossless2jpeg(tag);
    DEBUG_LINE("swf", "------------swf_small done--------------");
}

bool lossless2jpeg(SwfTag* tag)
{
    Stream* body = &tag->body;
    uint32_t old_len = body->len;
    if (old_len < 7)
        return false;
    body->pos = 0;
    uint16_t id = stream_read_ui16(body);
    uint8_t format = stream_read_ui8(body);
    uint16_t width = stream_read_ui16(body);
    uint16_t height = stream_read_ui16(body);
    if (format != 5 || width == 0 || height == 0)
        return false;
    uint64_t count = uint64_t{width} * height;
    ByteBuffer pixels = alloc_bytes(count * 4);
    ByteBuffer alpha = alloc_bytes(count);
    if (!pixels || !alpha) {
        DEBUG_PROBLEM("swf", "bitmap %d of %ux%u pixels is too large, left unchanged", id, width, height);
        return false;
    }
    uLongf out_len = count * 4;
    int rv = uncompress(pixels.get(), &out_len, body->buf + 7, old_len - 7);
    if (rv != Z_OK) {
        DEBUG_PROBLEM("swf", INFLATE_FAILED, rv, static_cast<int>(count * 4));
        return false;
    }
    // Split off the alpha plane, then A, R, G, B becomes R, G, B, A.
    for (uint64_t i = 0; i < count; ++i) {
        uint8_t* p = pixels.get() + 4 * i;
        uint8_t a = p[0];
        alpha[i] = a;
        p[0] = p[1], p[1] = p[2], p[2] = p[3], p[3] = a;
    }
    uint64_t bound = image_encode_bound(width, height);
    ByteBuffer jpeg = alloc_bytes(bound);
    uint32_t jpeg_size = 0;
    if (!jpeg || image_encode_pixels(IMAGE_JPEG, pixels.get(), width, height, kDefaultJpegQuality, jpeg.get(),
                                     static_cast<uint32_t>(bound), &jpeg_size) != 0)
        return false;
    uLongf alpha_len = compressBound(count);
    ByteBuffer packed_alpha = alloc_bytes(alpha_len);
    if (!packed_alpha || compress(packed_alpha.get(), &alpha_len, alpha.get(), count) != Z_OK) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return false;
    }
    uint64_t new_len = uint64_t{jpeg_size} + alpha_len + 6;
    if (new_len >= old_len)
        return false;  // the JPEG form is not smaller: keep the lossless tag
    tag->code = TAG_DEFINE_BITS_JPEG3;
    stream_resize(body, static_cast<uint32_t>(new_len));
    body->pos = 0;
    stream_write_ui16(body, id);
    stream_write_ui32(body, jpeg_size);
    stream_write_bytes(body, jpeg.get(), jpeg_size);
    stream_write_bytes(body, packed_alpha.get(), static_cast<uint32_t>(alpha_len));
    return true;
}

SymbolEntry* swf_add_image(Swf* swf, const char* name, const char* path)
{
    int size = 0;
    ByteBuffer data(file_read_all(path, &size));
    if (!data) {
        DEBUG_PROBLEM("swf", "cannot read %s, nothing added", path);
        return nullptr;
    }
    Picture picture;
    ByteBuffer encoded;
    uint32_t encoded_size = 0;
    if (!decode_for_tag(picture, data.get(), static_cast<uint32_t>(size), __func__) ||
        !encode_picture(picture, encoded, &encoded_size, __func__))
        return nullptr;
    auto* tag = static_cast<SwfTag*>(mem_alloc(sizeof(SwfTag)));
    uint8_t header[2] = {static_cast<uint8_t>(kAddedImageId), static_cast<uint8_t>(kAddedImageId >> 8)};
    rebuild_tag(tag, TAG_DEFINE_BITS_JPEG2, header, sizeof header, encoded.get(), encoded_size);
    tag_list_append(tag, &swf->tags);
    return swf_add_symbol(swf, name);
}
