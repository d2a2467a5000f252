#include "swf/edit.h"

#include <cstring>
#include <string>

#include <zlib.h>

#include "codec/image.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/fileio.h"
#include "support/memory.h"
#include "swf/bitmap_format.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

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

// Replaces the tag's code and body with `header` followed by `payload`; false (tag
// unchanged) when that body would reach the buffer limit.
bool rebuild_tag(SwfTag* tag, uint16_t code, const uint8_t* header, uint32_t header_size, const uint8_t* payload,
                 uint32_t payload_size)
{
    if (uint64_t{header_size} + payload_size >= kMaxBufferSize) {
        DEBUG_LINE("swf", "a tag body of %llu bytes is too large, tag left unchanged",
                   static_cast<unsigned long long>(uint64_t{header_size} + payload_size));
        return false;
    }
    tag->code = code;
    stream_resize(&tag->body, header_size + payload_size);
    tag->body.pos = 0;
    stream_write_bytes(&tag->body, header, header_size);
    stream_write_bytes(&tag->body, payload, payload_size);
    return true;
}

std::string replacement_path(const Swf* swf, uint16_t id, const char* extension)
{
    return swf->path + "_res" + kPathSeparator + std::to_string(id) + extension;
}

// Reads a replacement file and hands it to `rebuild`: unchanged when there is no such
// file, failed (with a line naming it) when it cannot be read or used.
template <class Rebuild>
EditResult try_replacement(Swf* swf, SwfTag* tag, uint16_t id, const char* extension, Rebuild rebuild)
{
    std::string path = replacement_path(swf, id, extension);
    if (platform_path_units(path) >= kMaxPath || !platform_exists(path.c_str()))
        return EditResult::unchanged;
    int size = 0;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    if (!data || !rebuild(tag, id, data.get(), static_cast<uint32_t>(size))) {
        DEBUG_PROBLEM_IN("swf", "swf_replace", "cannot use %s (not a readable regular file, or no usable picture)",
                         path.c_str());
        return EditResult::failed;
    }
    DEBUG_LINE_IN("swf", "swf_replace", "替换掉:%s", path.c_str());  // "replaced"
    return EditResult::changed;
}

void count(EditCount& counts, EditResult result)
{
    counts.changed += result == EditResult::changed ? 1 : 0;
    counts.failed += result == EditResult::failed ? 1 : 0;
}

bool is_bitmap_tag(uint16_t code)
{
    return code == TAG_DEFINE_BITS || code == TAG_DEFINE_BITS_LOSSLESS || code == TAG_DEFINE_BITS_JPEG2 ||
           code == TAG_DEFINE_BITS_JPEG3 || code == TAG_DEFINE_BITS_LOSSLESS2;
}

}  // namespace

EditCount swf_replace(Swf* swf)
{
    EditCount counts;
    for (SwfTag* tag : swf_tags(swf)) {
        if (!is_bitmap_tag(tag->code) || tag->body.len < 2)
            continue;
        tag->body.pos = 0;
        uint16_t id = stream_read_ui16(&tag->body);
        EditResult result = try_replacement(swf, tag, id, ".png", swf_write_tag_DefineBitsLossless2);
        if (result == EditResult::unchanged)
            result = try_replacement(swf, tag, id, ".jpg", swf_replace_jpeg);
        if (result == EditResult::unchanged)
            result = try_replacement(swf, tag, id, ".gif", swf_replace_gif);
        count(counts, result);
    }
    DEBUG_LINE("swf", "------------swf_replace done--------------");
    return counts;
}

bool swf_write_tag_DefineBitsLossless2(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    Picture picture;
    if (!decode_for_tag(picture, data, size, __func__))
        return false;
    DecodedImage& image = picture.image;
    size_t count = size_t{image.width} * image.height;
    // The tag stores premultiplied A, R, G, B.
    premultiply_rgba(image.pixels, count);
    rgba_to_argb(image.pixels, count);
    size_t packed_len = zlib_deflate_bound(count * 4);
    ByteBuffer packed = alloc_bytes(packed_len);
    if (packed)
        packed_len = zlib_deflate({image.pixels, count * 4}, packed.get(), packed_len);
    if (!packed || packed_len == 0) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return false;
    }
    LosslessRecord header = lossless_header_record(id, LOSSLESS_32BIT, static_cast<uint16_t>(image.width),
                                                   static_cast<uint16_t>(image.height));
    return rebuild_tag(tag, TAG_DEFINE_BITS_LOSSLESS2, header.data(), header.size(), packed.get(),
                       static_cast<uint32_t>(packed_len));
}

bool swf_replace_jpeg(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    Picture picture;
    ByteBuffer encoded;
    uint32_t encoded_size = 0;
    if (!decode_for_tag(picture, data, size, __func__) || !encode_picture(picture, encoded, &encoded_size, __func__))
        return false;
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return rebuild_tag(tag, TAG_DEFINE_BITS_JPEG2, header, sizeof header, encoded.get(), encoded_size);
}

bool swf_replace_gif(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    if (data == nullptr || stored_image_kind({data, size}) != StoredImage::gif) {
        DEBUG_PROBLEM("swf", "not a GIF picture, tag left unchanged");
        return false;
    }
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return rebuild_tag(tag, TAG_DEFINE_BITS_JPEG2, header, sizeof header, data, size);
}

EditCount swf_small(Swf* swf)
{
    EditCount counts;
    for (SwfTag* tag : swf_tags(swf))
        if (tag->code == TAG_DEFINE_BITS_LOSSLESS || tag->code == TAG_DEFINE_BITS_LOSSLESS2)
            count(counts, lossless2jpeg(tag));
    DEBUG_LINE("swf", "------------swf_small done--------------");
    return counts;
}

EditResult lossless2jpeg(SwfTag* tag)
{
    Stream* body = &tag->body;
    uint32_t old_len = body->len;
    LosslessHeader header;
    if (!lossless_read_header({body->buf, old_len}, &header) || header.format != LOSSLESS_32BIT || header.width == 0 ||
        header.height == 0)
        return EditResult::unchanged;
    bool with_alpha = tag->code == TAG_DEFINE_BITS_LOSSLESS2;
    uint64_t data_size = lossless_data_size(header, with_alpha);
    uint64_t count = uint64_t{header.width} * header.height;
    ByteBuffer alpha = alloc_bytes(count);
    if (data_size == 0 || data_size >= kMaxBufferSize || !alpha) {
        DEBUG_PROBLEM("swf", "bitmap %d of %ux%u pixels is too large, left unchanged", header.id, header.width,
                      header.height);
        return EditResult::failed;
    }
    Inflated data = inflate_bitmap_data({body->buf + header.data_offset, old_len - header.data_offset}, data_size);
    if (data.zlib_code != Z_OK) {
        DEBUG_PROBLEM("swf", INFLATE_FAILED, data.zlib_code, static_cast<int>(data_size));
        DEBUG_PROBLEM("swf", "pixels of bitmap %d do not inflate, left unchanged", header.id);
        return EditResult::failed;
    }
    // The colours stay as stored (premultiplied, as the JPEG of a bitmap with alpha holds
    // them); alpha moves to its plane and out of the encoder's way.
    uint8_t* pixels = data.bytes.get();
    lossless_to_rgba(header, with_alpha, {pixels, data.size}, pixels);
    for (uint64_t i = 0; i < count; ++i) {
        alpha[i] = pixels[4 * i + 3];
        pixels[4 * i + 3] = 255;
    }
    uint64_t bound = image_encode_bound(header.width, header.height);
    ByteBuffer jpeg = alloc_bytes(bound);
    uint32_t jpeg_size = 0;
    if (!jpeg || image_encode_pixels(IMAGE_JPEG, pixels, header.width, header.height, kDefaultJpegQuality, jpeg.get(),
                                     static_cast<uint32_t>(bound), &jpeg_size) != 0) {
        DEBUG_PROBLEM("swf", "bitmap %d cannot be encoded as JPEG, left unchanged", header.id);
        return EditResult::failed;
    }
    size_t alpha_len = zlib_deflate_bound(count);
    ByteBuffer packed_alpha = alloc_bytes(alpha_len);
    if (packed_alpha)
        alpha_len = zlib_deflate({alpha.get(), count}, packed_alpha.get(), alpha_len);
    if (!packed_alpha || alpha_len == 0) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return EditResult::failed;
    }
    uint64_t new_len = uint64_t{jpeg_size} + alpha_len + 6;
    if (new_len >= old_len)
        return EditResult::unchanged;  // the JPEG form is not smaller: keep the lossless tag
    tag->code = TAG_DEFINE_BITS_JPEG3;
    stream_resize(body, static_cast<uint32_t>(new_len));
    body->pos = 0;
    stream_write_ui16(body, header.id);
    stream_write_ui32(body, jpeg_size);
    stream_write_bytes(body, jpeg.get(), jpeg_size);
    stream_write_bytes(body, packed_alpha.get(), static_cast<uint32_t>(alpha_len));
    return EditResult::changed;
}

SymbolEntry* swf_add_image(Swf* swf, const char* name, const char* path, uint16_t id)
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
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    if (!rebuild_tag(tag, TAG_DEFINE_BITS_JPEG2, header, sizeof header, encoded.get(), encoded_size)) {
        mem_free(tag);
        return nullptr;
    }
    tag_list_append(tag, &swf->tags);
    return swf_add_symbol(swf, name, id);
}
