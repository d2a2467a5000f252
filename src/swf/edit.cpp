#include "swf/edit.h"

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/image.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/fileio.h"
#include "support/memory.h"
#include "swf/bitmap_format.h"
#include "swf/res_folder.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

constexpr uint32_t kMaxDimension = 65535;  // tag fields are 16 bits

// A decoded picture that releases its pixels on every path.
struct Picture {
    DecodedImage image{};
    ~Picture() { image_free(&image); }
};

std::string too_large_for_tag(uint32_t width, uint32_t height)
{
    return "picture of " + std::to_string(width) + "x" + std::to_string(height) + " is too large for a bitmap tag";
}

bool fits_bitmap_tag(uint32_t width, uint32_t height) { return width <= kMaxDimension && height <= kMaxDimension; }

// Decodes picture bytes for a tag; false, with what the line says in `why`, when they are unusable.
bool decode_for_tag(ImageContext* images, Picture& picture, const uint8_t* data, uint32_t size, std::string* why)
{
    if (data == nullptr || size == 0) {
        *why = "empty picture file, tag left unchanged";
        return false;
    }
    if (image_decode(images, &picture.image, {data, size}) != Fault::none) {
        *why = "picture does not decode, tag left unchanged";
        return false;
    }
    if (!fits_bitmap_tag(picture.image.width, picture.image.height)) {
        *why = too_large_for_tag(picture.image.width, picture.image.height);
        return false;
    }
    return true;
}

// Re-encodes a decoded picture in its own kind (bitmaps, which have no encoder, as PNG).
bool encode_picture(Picture& picture, ByteBuffer& out, uint32_t* out_size)
{
    if (picture.image.kind == ImageKind::bitmap)
        picture.image.kind = ImageKind::png;
    uint64_t bound = image_encode_bound(picture.image.width, picture.image.height);
    out = buffer_new_zeroed(bound);
    *out_size = 0;
    return out && image_encode(&picture.image, out.get(), static_cast<uint32_t>(bound), out_size) == Fault::none &&
           *out_size != 0;
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
    Stream* body = swf_tag_own_body(tag, header_size + payload_size);
    stream_write_bytes(body, header, header_size);
    stream_write_bytes(body, payload, payload_size);
    return true;
}

std::string replacement_path(const Swf* swf, uint16_t id, const char* extension)
{
    return res_dir_path(swf->path) + kPathSeparator + std::to_string(id) + extension;
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

// Edited bitmaps are deflated once and kept: the strongest level (libdeflate's 12; zlib
// alone stops at 9) keeps a replaced bitmap from growing the movie.
constexpr int kBitmapDeflateLevel = 12;

// Bytes deflated into a block of their own; no block when they could not be.
struct Deflated {
    ByteBuffer bytes;
    uint32_t size = 0;
};

Deflated deflate_tag_data(std::span<const uint8_t> data, int level)
{
    Deflated out;
    const size_t room = zlib_deflate_bound(data.size());
    out.bytes = buffer_new_zeroed(room);
    if (!out.bytes)
        return out;
    const Result<size_t> length = zlib_deflate(data, out.bytes.get(), room, level);
    if (!length.ok())
        out.bytes.reset();
    out.size = static_cast<uint32_t>(length.value);
    return out;
}

// Rebuilds the tag as a lossless bitmap: its header, then `data` deflated.
bool rebuild_lossless(SwfTag* tag, uint16_t code, std::span<const uint8_t> header, std::span<const uint8_t> data)
{
    const Deflated packed = deflate_tag_data(data, kBitmapDeflateLevel);
    if (!packed.bytes) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return false;
    }
    return rebuild_tag(tag, code, header.data(), static_cast<uint32_t>(header.size()), packed.bytes.get(), packed.size);
}

// 32-bit pixels from R, G, B, A (changed in place): an opaque picture as DefineBitsLossless,
// whose first byte of a pixel is reserved (written 255, so a player reading it as alpha
// still shows the pixel); any other as DefineBitsLossless2, colours premultiplied.
bool rebuild_32bit(SwfTag* tag, uint16_t id, uint8_t* pixels, uint32_t width, uint32_t height, bool opaque)
{
    size_t count = size_t{width} * height;
    if (!opaque)
        premultiply_rgba(pixels, count);
    rgba_to_argb(pixels, count);
    LosslessRecord header = lossless_header_record(id, kLossless32Bit, static_cast<uint16_t>(width),
                                                   static_cast<uint16_t>(height));
    return rebuild_lossless(tag, opaque ? kTagDefineBitsLossless : kTagDefineBitsLossless2, header,
                            {pixels, count * 4});
}

// A palette picture as a colour-mapped bitmap: the palette as its colour table (R, G, B for
// an opaque picture; premultiplied R, G, B, A in DefineBitsLossless2 otherwise), the indices
// as stored in rows padded to four bytes.
bool rebuild_colour_mapped(SwfTag* tag, uint16_t id, const PngPicture& picture)
{
    const bool with_alpha = !picture.opaque;
    const uint32_t entries = picture.palette_size;
    const uint32_t entry_size = with_alpha ? 4 : 3;
    const uint64_t stride = lossless_padded_row(picture.width);
    const uint64_t size = uint64_t{entries} * entry_size + stride * picture.height;
    ByteBuffer data = buffer_new_zeroed(size);
    if (!data) {
        DEBUG_PROBLEM("swf", "no memory for a %ux%u colour-mapped bitmap, tag left unchanged", picture.width,
                      picture.height);
        return false;
    }
    uint8_t* table = data.get();
    for (uint32_t i = 0; i < entries; ++i) {
        std::memcpy(table + i * entry_size, &picture.palette[4 * size_t{i}], entry_size);
        if (with_alpha)
            premultiply_rgba(table + 4 * i, 1);
    }
    uint8_t* rows = table + uint64_t{entries} * entry_size;
    for (uint32_t y = 0; y < picture.height; ++y)
        std::memcpy(rows + y * stride, picture.pixels.get() + size_t{y} * picture.width, picture.width);
    LosslessRecord record = lossless_header_record(id, kLosslessColourMapped, static_cast<uint16_t>(picture.width),
                                                   static_cast<uint16_t>(picture.height));
    uint8_t header[kLosslessHeaderSize + 1];
    std::memcpy(header, record.data(), record.size());
    header[kLosslessHeaderSize] = static_cast<uint8_t>(entries - 1);
    return rebuild_lossless(tag, with_alpha ? kTagDefineBitsLossless2 : kTagDefineBitsLossless, header,
                            {data.get(), size});
}

bool all_opaque(const uint8_t* rgba, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        if (rgba[4 * i + 3] != 255)
            return false;
    return true;
}

// The size of the picture a JPEG-family tag stores; false when it does not decode.
bool stored_picture_size(ImageContext* images, const JpegTagParts& parts, uint32_t* width, uint32_t* height)
{
    std::vector<uint8_t> repaired = jpeg_repair(parts.image);
    Picture stored;
    if (repaired.empty() || image_decode(images, &stored.image, repaired) != Fault::none)
        return false;
    *width = stored.image.width;
    *height = stored.image.height;
    return true;
}

// New JPEG bytes in a JPEG-with-alpha tag, keeping its code, deblocking value and alpha plane.
bool rebuild_jpeg_keeping_alpha(SwfTag* tag, const JpegTagParts& parts, std::span<const uint8_t> jpeg)
{
    uint8_t header[8];
    const uint32_t header_size = tag->code == kTagDefineBitsJpeg4 ? 8 : 6;
    const uint32_t length = static_cast<uint32_t>(jpeg.size());
    const uint8_t fields[8] = {static_cast<uint8_t>(parts.id),         static_cast<uint8_t>(parts.id >> 8),
                               static_cast<uint8_t>(length),           static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16),     static_cast<uint8_t>(length >> 24),
                               static_cast<uint8_t>(parts.deblocking), static_cast<uint8_t>(parts.deblocking >> 8)};
    std::memcpy(header, fields, header_size);
    std::vector<uint8_t> payload(jpeg.begin(), jpeg.end());
    payload.insert(payload.end(), parts.alpha.begin(), parts.alpha.end());
    return rebuild_tag(tag, tag->code, header, header_size, payload.data(), static_cast<uint32_t>(payload.size()));
}

}  // namespace

EditCount swf_replace(Swf* swf, ImageContext* images)
{
    const auto lossless = [images](SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size) {
        return swf_write_tag_DefineBitsLossless2(tag, id, data, size, images);
    };
    const auto jpeg = [images](SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size) {
        return swf_replace_jpeg(tag, id, data, size, images);
    };
    EditCount counts;
    for (SwfTag* tag : swf_tags(swf)) {
        if (!is_bitmap_tag(tag->code) || tag->body.size() < 2)
            continue;
        uint16_t id = ByteReader(tag->body).u16le();
        EditResult result = try_replacement(swf, tag, id, ".png", lossless);
        if (result == EditResult::unchanged)
            result = try_replacement(swf, tag, id, ".jpg", jpeg);
        if (result == EditResult::unchanged)
            result = try_replacement(swf, tag, id, ".gif", swf_replace_gif);
        count(counts, result);
    }
    DEBUG_LINE("swf", "------------swf_replace done--------------");
    return counts;
}

bool swf_write_tag_DefineBitsLossless2(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size,
                                       ImageContext* images)
{
    if (data != nullptr && size > 0 && stored_image_kind({data, size}) == StoredImage::png) {
        Result<PngPicture> png = png_decode({data, size}, PngForm::indexed);
        if (!png.ok()) {
            DEBUG_PROBLEM("swf", "PNG picture does not decode (%s), tag left unchanged", fault_text(png.fault));
            return false;
        }
        PngPicture& picture = png.value;
        if (!fits_bitmap_tag(picture.width, picture.height)) {
            DEBUG_PROBLEM("swf", "%s", too_large_for_tag(picture.width, picture.height).c_str());
            return false;
        }
        if (picture.indexed)
            return rebuild_colour_mapped(tag, id, picture);
        return rebuild_32bit(tag, id, picture.pixels.get(), picture.width, picture.height, picture.opaque);
    }
    Picture picture;
    std::string why;
    if (!decode_for_tag(images, picture, data, size, &why)) {
        DEBUG_PROBLEM("swf", "%s", why.c_str());
        return false;
    }
    DecodedImage& image = picture.image;
    return rebuild_32bit(tag, id, image.pixels, image.width, image.height,
                         all_opaque(image.pixels, size_t{image.width} * image.height));
}

bool swf_replace_jpeg(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size, ImageContext* images)
{
    Picture picture;
    std::string why;
    if (!decode_for_tag(images, picture, data, size, &why)) {
        DEBUG_PROBLEM("swf", "%s", why.c_str());
        return false;
    }
    if (picture.image.kind != ImageKind::jpeg) {
        DEBUG_PROBLEM("swf", "not a JPEG picture, tag left unchanged");
        return false;
    }
    // The file goes in as it is: decoding it again and encoding would lose detail each time.
    std::span<const uint8_t> jpeg(data, size);
    JpegTagParts parts;
    if (tag->code == kTagDefineBitsJpeg3 || tag->code == kTagDefineBitsJpeg4) {
        uint32_t width = 0, height = 0;
        if (jpeg_tag_read(tag->code, tag->body, &parts) == JpegTagLayout::ok &&
            stored_picture_size(images, parts, &width, &height) && width == picture.image.width &&
            height == picture.image.height)
            return rebuild_jpeg_keeping_alpha(tag, parts, jpeg);
        DEBUG_PROBLEM("swf", "the alpha plane of bitmap %d does not fit a %ux%u picture, the bitmap becomes opaque", id,
                      picture.image.width, picture.image.height);
    }
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return rebuild_tag(tag, kTagDefineBitsJpeg2, header, sizeof header, data, size);
}

bool swf_replace_gif(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size)
{
    if (data == nullptr || stored_image_kind({data, size}) != StoredImage::gif) {
        DEBUG_PROBLEM("swf", "not a GIF picture, tag left unchanged");
        return false;
    }
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    return rebuild_tag(tag, kTagDefineBitsJpeg2, header, sizeof header, data, size);
}

EditCount swf_small(Swf* swf)
{
    EditCount counts;
    for (SwfTag* tag : swf_tags(swf))
        if (tag->code == kTagDefineBitsLossless || tag->code == kTagDefineBitsLossless2)
            count(counts, lossless2jpeg(tag));
    DEBUG_LINE("swf", "------------swf_small done--------------");
    return counts;
}

EditResult lossless2jpeg(SwfTag* tag)
{
    const std::span<const uint8_t> old_body = tag->body;
    LosslessHeader header;
    if (!lossless_read_header(old_body, &header) || header.format != kLossless32Bit || header.width == 0 ||
        header.height == 0)
        return EditResult::unchanged;
    bool with_alpha = tag->code == kTagDefineBitsLossless2;
    uint64_t data_size = lossless_data_size(header, with_alpha);
    uint64_t count = uint64_t{header.width} * header.height;
    ByteBuffer alpha = buffer_new_zeroed(count);
    if (data_size == 0 || data_size >= kMaxBufferSize || !alpha) {
        DEBUG_PROBLEM("swf", "bitmap %d of %ux%u pixels is too large, left unchanged", header.id, header.width,
                      header.height);
        return EditResult::failed;
    }
    Inflated data = inflate_bitmap_data(old_body.subspan(header.data_offset), data_size);
    if (data.fault != Fault::none) {
        DEBUG_PROBLEM("swf", INFLATE_FAILED, zlib_code(data.fault), static_cast<int>(data_size));
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
    ByteBuffer jpeg = buffer_new_zeroed(bound);
    uint32_t jpeg_size = 0;
    if (!jpeg || image_encode_pixels(ImageKind::jpeg, pixels, header.width, header.height, kJpegDefaultQuality,
                                     jpeg.get(), static_cast<uint32_t>(bound), &jpeg_size) != Fault::none) {
        DEBUG_PROBLEM("swf", "bitmap %d cannot be encoded as JPEG, left unchanged", header.id);
        return EditResult::failed;
    }
    const Deflated packed_alpha = deflate_tag_data({alpha.get(), count}, kDeflateLevel);
    if (!packed_alpha.bytes) {
        DEBUG_PROBLEM("swf", DEFLATE_FAILED);
        return EditResult::failed;
    }
    uint64_t new_len = uint64_t{jpeg_size} + packed_alpha.size + 6;
    if (new_len >= old_body.size())
        return EditResult::unchanged;  // the JPEG form is not smaller: keep the lossless tag
    Stream* body = swf_tag_own_body(tag, static_cast<uint32_t>(new_len));
    tag->code = kTagDefineBitsJpeg3;
    stream_write_ui16(body, header.id);
    stream_write_ui32(body, jpeg_size);
    stream_write_bytes(body, jpeg.get(), jpeg_size);
    stream_write_bytes(body, packed_alpha.bytes.get(), packed_alpha.size);
    return EditResult::changed;
}

SymbolEntry* swf_add_image(Swf* swf, const char* name, const char* path, ImageContext* images, uint16_t id)
{
    int size = 0;
    ByteBuffer data(file_read_all(path, &size));
    if (!data) {
        DEBUG_PROBLEM("swf", "cannot read %s, nothing added", path);
        return nullptr;
    }
    Picture picture;
    ByteBuffer encoded;
    uint32_t encoded_size = static_cast<uint32_t>(size);
    std::string why;
    if (!decode_for_tag(images, picture, data.get(), static_cast<uint32_t>(size), &why)) {
        DEBUG_PROBLEM("swf", "%s", why.c_str());
        return nullptr;
    }
    // A JPEG goes in as it is; other pictures as the PNG of their pixels.
    if (picture.image.kind == ImageKind::jpeg) {
        encoded = std::move(data);
    } else if (!encode_picture(picture, encoded, &encoded_size)) {
        DEBUG_PROBLEM("swf", "picture cannot be encoded, tag left unchanged");
        return nullptr;
    }
    SwfTag* tag = swf_append_tag(swf, kTagDefineBitsJpeg2);
    uint8_t header[2] = {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
    if (!rebuild_tag(tag, kTagDefineBitsJpeg2, header, sizeof header, encoded.get(), encoded_size)) {
        swf_remove_tag(tag);
        return nullptr;
    }
    return swf_add_symbol(swf, name, id);
}
