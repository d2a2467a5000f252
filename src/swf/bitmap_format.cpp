#include "swf/bitmap_format.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "stream/byte_reader.h"
#include "support/deflate.h"
#include "swf/swf.h"

namespace {

// A 15-bit pixel, big-endian as the format stores it; the pixel loops check their rows first.
uint32_t pixel_be16(const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; }

uint64_t padded_row(uint64_t bytes) { return lossless_padded_row(bytes); }

uint32_t table_entry_size(bool with_alpha) { return with_alpha ? 4 : 3; }

void put_pixel(uint8_t* out, uint8_t r, uint8_t g, uint8_t b, uint8_t a)
{
    out[0] = r, out[1] = g, out[2] = b, out[3] = a;
}

void colour_mapped_to_rgba(const LosslessHeader& h, bool with_alpha, std::span<const uint8_t> data, uint8_t* rgba)
{
    const uint32_t entry = table_entry_size(with_alpha);
    const uint64_t table_bytes = uint64_t{h.colours} * entry;
    // A short stream cuts the table too: the entries it does not reach count as missing.
    const uint64_t usable = std::min<uint64_t>(h.colours, data.size() / entry);
    const uint64_t stride = padded_row(h.width);
    for (uint32_t y = 0; y < h.height; ++y) {
        for (uint32_t x = 0; x < h.width; ++x, rgba += 4) {
            uint64_t at = table_bytes + y * stride + x;
            if (at >= data.size() || data[at] >= usable) {
                put_pixel(rgba, 0, 0, 0, 0);
                continue;
            }
            const uint8_t* c = data.data() + uint64_t{data[at]} * entry;
            put_pixel(rgba, c[0], c[1], c[2], with_alpha ? c[3] : 255);
        }
    }
}

// v x 255 / 31, rounded: 0 stays black and 31 full.
uint8_t five_to_eight(uint32_t v) { return static_cast<uint8_t>((v * 255 + 15) / 31); }

void fifteen_bit_to_rgba(const LosslessHeader& h, std::span<const uint8_t> data, uint8_t* rgba)
{
    const uint64_t stride = padded_row(uint64_t{h.width} * 2);
    for (uint32_t y = 0; y < h.height; ++y) {
        for (uint32_t x = 0; x < h.width; ++x, rgba += 4) {
            uint64_t at = y * stride + uint64_t{x} * 2;
            if (at + 2 > data.size()) {
                put_pixel(rgba, 0, 0, 0, 0);
                continue;
            }
            uint32_t v = pixel_be16(data.data() + at);
            put_pixel(rgba, five_to_eight(v >> 10 & 31), five_to_eight(v >> 5 & 31), five_to_eight(v & 31), 255);
        }
    }
}

void thirty_two_bit_to_rgba(const LosslessHeader& h, bool with_alpha, std::span<const uint8_t> data, uint8_t* rgba)
{
    const size_t count = size_t{h.width} * h.height;
    const size_t reached = std::min(count, data.size() / 4);
    std::memmove(rgba, data.data(), reached * 4);
    argb_to_rgba(rgba, reached);
    if (!with_alpha)
        for (size_t i = 0; i < reached; ++i)
            rgba[4 * i + 3] = 255;
    std::memset(rgba + reached * 4, 0, (count - reached) * 4);
}

// The end of the marker segment with a length field at `at`; 0 when none starts there
// (no marker, a marker without a length, the first scan, EOI, or a cut-off segment).
size_t length_segment_end(std::span<const uint8_t> data, size_t at)
{
    ByteReader in(data);
    in.seek(at);
    const uint8_t prefix = in.u8(), marker = in.u8();
    const size_t length = in.u16be();
    if (!in.ok() || prefix != 0xFF)
        return 0;
    if (marker == 0xFF || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9) || marker == 0xDA)
        return 0;
    size_t end = at + 2 + length;
    return end <= data.size() ? end : 0;
}

// Copies one marker segment, a fill byte, or everything left once the bytes stop being
// segments (the first scan and its coded data among them). Returns where to go on.
size_t copy_segment(std::span<const uint8_t> data, size_t at, std::vector<uint8_t>& out)
{
    size_t end = length_segment_end(data, at);
    if (end == 0 && at + 1 < data.size() && data[at] == 0xFF && data[at + 1] == 0xFF)
        end = at + 1;  // a fill byte in front of a marker
    if (end == 0)
        end = data.size();
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
               data.begin() + static_cast<std::ptrdiff_t>(end));
    return end;
}

bool starts_with(std::span<const uint8_t> data, std::initializer_list<uint8_t> prefix)
{
    return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

bool is_eoi_soi(std::span<const uint8_t> data, size_t at)
{
    return starts_with(data.subspan(std::min(at, data.size())), {0xFF, 0xD9, 0xFF, 0xD8});
}

// The marker segments after a header-only stream's SOI (JPEGTables data), up to its EOI.
std::span<const uint8_t> table_segments(std::span<const uint8_t> tables)
{
    size_t at = 2;
    while (size_t end = length_segment_end(tables, at))
        at = end;
    return tables.subspan(2, at - 2);
}

}  // namespace

bool is_bitmap_tag(uint16_t code)
{
    switch (code) {
    case kTagDefineBits:
    case kTagDefineBitsJpeg2:
    case kTagDefineBitsJpeg3:
    case kTagDefineBitsJpeg4:
    case kTagDefineBitsLossless:
    case kTagDefineBitsLossless2: return true;
    default: return false;
    }
}

LosslessRecord lossless_header_record(uint16_t id, uint8_t format, uint16_t width, uint16_t height)
{
    return {static_cast<uint8_t>(id),         static_cast<uint8_t>(id >> 8),    format,
            static_cast<uint8_t>(width),      static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(height),
            static_cast<uint8_t>(height >> 8)};
}

bool lossless_read_header(std::span<const uint8_t> body, LosslessHeader* header)
{
    ByteReader in(body);
    LosslessHeader read{};
    read.id = in.u16le();
    read.format = in.u8();
    read.width = in.u16le();
    read.height = in.u16le();
    read.data_offset = kLosslessHeaderSize;
    if (!in.ok())
        return false;
    if (read.format == kLosslessColourMapped && !in.at_end()) {
        read.colours = uint32_t{in.u8()} + 1;
        read.data_offset = kLosslessHeaderSize + 1;
    }
    *header = read;
    return true;
}

bool lossless_format_known(uint8_t format)
{
    return format == kLosslessColourMapped || format == kLossless15Bit || format == kLossless32Bit;
}

uint64_t lossless_data_size(const LosslessHeader& h, bool with_alpha)
{
    if (h.width == 0 || h.height == 0)
        return 0;
    switch (h.format) {
    case kLosslessColourMapped:
        return uint64_t{h.colours} * table_entry_size(with_alpha) + padded_row(h.width) * h.height;
    case kLossless15Bit: return padded_row(uint64_t{h.width} * 2) * h.height;
    case kLossless32Bit: return uint64_t{h.width} * h.height * 4;
    default: return 0;
    }
}

Inflated inflate_bitmap_data(std::span<const uint8_t> stream, uint64_t capacity)
{
    Inflated out;
    if (capacity == 0 || capacity >= kMaxBufferSize) {
        out.fault = Fault::too_large;
        return out;
    }
    out.bytes = buffer_new_zeroed(capacity);
    if (!out.bytes) {
        out.fault = Fault::out_of_memory;
        return out;
    }
    size_t length = capacity;
    out.fault = zlib_inflate_known_size(stream, out.bytes.get(), &length);
    out.size = out.fault == Fault::none ? length : 0;
    return out;
}

void lossless_to_rgba(const LosslessHeader& header, bool with_alpha, std::span<const uint8_t> data, uint8_t* rgba)
{
    switch (header.format) {
    case kLosslessColourMapped: colour_mapped_to_rgba(header, with_alpha, data, rgba); break;
    case kLossless15Bit: fifteen_bit_to_rgba(header, data, rgba); break;
    case kLossless32Bit: thirty_two_bit_to_rgba(header, with_alpha, data, rgba); break;
    default: break;
    }
}

namespace {

// The table entries the data holds, straight; alpha_entries still unset.
ColourTable read_colour_table(const LosslessHeader& h, bool with_alpha, std::span<const uint8_t> data)
{
    const uint32_t entry = table_entry_size(with_alpha);
    ColourTable table;
    table.entries = static_cast<uint16_t>(std::min<uint64_t>(h.colours, data.size() / entry));
    std::array<uint8_t, 4 * 256> rgba;
    for (uint32_t i = 0; i < table.entries; ++i) {
        const uint8_t* c = data.data() + i * entry;
        put_pixel(&rgba[4 * i], c[0], c[1], c[2], with_alpha ? c[3] : 255);
    }
    if (with_alpha)
        unpremultiply_rgba(rgba.data(), table.entries);
    for (uint32_t i = 0; i < table.entries; ++i) {
        std::memcpy(&table.colours[3 * i], &rgba[4 * i], 3);
        table.alpha[i] = rgba[4 * i + 3];
    }
    return table;
}

// Copies one row of indices (possibly to an earlier place in the same buffer), pointing the
// ones past the table at entry `usable`; true when some did.
bool copy_index_row(const uint8_t* from, size_t n, uint32_t usable, uint8_t* to)
{
    std::memmove(to, from, n);
    if (usable >= 256)
        return false;
    const auto last = static_cast<uint8_t>(usable);
    uint8_t past = 0;
    for (size_t x = 0; x < n; ++x) {
        past |= static_cast<uint8_t>(to[x] >= last);
        to[x] = std::min(to[x], last);
    }
    return past != 0;
}

}  // namespace

bool colour_mapped_to_indices(const LosslessHeader& h, bool with_alpha, std::span<const uint8_t> data, uint8_t* indices,
                              ColourTable* table)
{
    const uint64_t table_bytes = uint64_t{h.colours} * table_entry_size(with_alpha);
    const uint64_t stride = padded_row(h.width);
    const uint64_t pixels_end = table_bytes + (h.height - uint64_t{1}) * stride + h.width;
    const bool short_data = h.width == 0 || h.height == 0 ? false : data.size() < pixels_end;
    *table = read_colour_table(h, with_alpha, data);
    const uint32_t usable = table->entries;
    if (short_data && usable == 256)
        return false;
    bool extra = short_data;
    for (uint32_t y = 0; y < h.height; ++y) {
        const uint64_t from = table_bytes + y * stride;
        const size_t reached = from >= data.size()
                                   ? 0
                                   : static_cast<size_t>(std::min<uint64_t>(h.width, data.size() - from));
        uint8_t* row = indices + size_t{y} * h.width;
        extra |= copy_index_row(data.data() + from, reached, usable, row);
        std::memset(row + reached, static_cast<int>(usable), h.width - reached);
    }
    if (extra) {
        table->alpha[usable] = 0;  // colour 0, 0, 0 already
        table->entries = static_cast<uint16_t>(usable + 1);
    }
    uint16_t opaque_tail = table->entries;
    while (opaque_tail > 0 && table->alpha[opaque_tail - 1] == 255)
        --opaque_tail;
    table->alpha_entries = opaque_tail;
    return true;
}

bool lossless_to_rgb(const LosslessHeader& h, std::span<const uint8_t> data, uint8_t* rgb)
{
    const size_t count = size_t{h.width} * h.height;
    if (h.format == kLossless32Bit) {
        if (data.size() / 4 < count)
            return false;
        // Forward in place: pixel i moves from 4i to 3i, never over one not yet read.
        const uint8_t* argb = data.data();
        for (size_t i = 0; i < count; ++i)
            for (size_t c = 0; c < 3; ++c)
                rgb[3 * i + c] = argb[4 * i + 1 + c];
        return true;
    }
    if (h.format != kLossless15Bit)
        return false;
    const uint64_t stride = padded_row(uint64_t{h.width} * 2);
    if (count != 0 && data.size() < (h.height - uint64_t{1}) * stride + uint64_t{h.width} * 2)
        return false;
    for (uint32_t y = 0; y < h.height; ++y) {
        const uint8_t* row = data.data() + y * stride;
        for (uint32_t x = 0; x < h.width; ++x, rgb += 3) {
            uint32_t v = pixel_be16(row + 2 * x);
            rgb[0] = five_to_eight(v >> 10 & 31);
            rgb[1] = five_to_eight(v >> 5 & 31);
            rgb[2] = five_to_eight(v & 31);
        }
    }
    return true;
}

namespace {

// Moves the first byte of every pixel to the end, or the last one to the front. In a
// little-endian word the first byte is the low one, so the first is a right rotation.
void rotate_pixels(uint8_t* pixels, size_t count, bool first_to_last)
{
    const bool right = first_to_last == (std::endian::native == std::endian::little);
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, pixels + 4 * i, 4);
        v = right ? std::rotr(v, 8) : std::rotl(v, 8);
        std::memcpy(pixels + 4 * i, &v, 4);
    }
}

}  // namespace

void argb_to_rgba(uint8_t* pixels, size_t count) { rotate_pixels(pixels, count, true); }
void rgba_to_argb(uint8_t* pixels, size_t count) { rotate_pixels(pixels, count, false); }

bool unpremultiply_rgba(uint8_t* pixels, size_t count)
{
    uint32_t all_alpha = 255;
    for (uint8_t* p = pixels; p < pixels + 4 * count; p += 4) {
        uint32_t a = p[3];
        all_alpha &= a;
        if (a == 255)
            continue;
        for (int c = 0; c < 3; ++c)
            p[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (p[c] * 255u + a / 2) / a));
    }
    return all_alpha == 255;
}

void rgba_to_rgb(uint8_t* pixels, size_t count)
{
    // Forward in place: pixel i moves from 4i to 3i, never over one not yet moved.
    for (size_t i = 0; i < count; ++i)
        for (size_t c = 0; c < 3; ++c)
            pixels[3 * i + c] = pixels[4 * i + c];
}

void premultiply_rgba(uint8_t* pixels, size_t count)
{
    for (uint8_t* p = pixels; p < pixels + 4 * count; p += 4) {
        uint32_t a = p[3];
        for (int c = 0; c < 3; ++c)
            p[c] = static_cast<uint8_t>((p[c] * a + 127) / 255);
    }
}

JpegTagLayout jpeg_tag_read(uint16_t code, std::span<const uint8_t> body, JpegTagParts* parts)
{
    *parts = {};
    parts->has_alpha = code == kTagDefineBitsJpeg3 || code == kTagDefineBitsJpeg4;
    // id; with alpha the image length; DefineBitsJPEG4 then its deblocking value.
    const size_t header = code == kTagDefineBitsJpeg4 ? 8 : parts->has_alpha ? 6 : 2;
    if (body.size() < header)
        return JpegTagLayout::too_short;
    ByteReader in(body);
    parts->id = in.u16le();
    if (!parts->has_alpha) {
        parts->image = in.rest();
        return JpegTagLayout::ok;
    }
    const uint32_t image_size = parts->image_length = in.u32le();
    if (code == kTagDefineBitsJpeg4)
        parts->deblocking = in.u16le();
    parts->image = in.bytes(image_size);
    if (!in.ok())
        return JpegTagLayout::image_past_end;
    parts->alpha = in.rest();
    return JpegTagLayout::ok;
}

StoredImage stored_image_kind(std::span<const uint8_t> image)
{
    if (starts_with(image, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}))
        return StoredImage::png;
    if (starts_with(image, {'G', 'I', 'F', '8'}))
        return StoredImage::gif;
    return StoredImage::jpeg;
}

std::vector<uint8_t> jpeg_repair(std::span<const uint8_t> data)
{
    if (is_eoi_soi(data, 0))
        data = data.subspan(4);
    if (!starts_with(data, {0xFF, 0xD8}))
        return {data.begin(), data.end()};
    std::vector<uint8_t> out(data.begin(), data.begin() + 2);
    out.reserve(data.size());
    size_t at = 2;
    while (at < data.size()) {
        if (is_eoi_soi(data, at))
            at += 4;  // the end of one block and the start of the next: one stream
        else
            at = copy_segment(data, at, out);
    }
    return out;
}

std::vector<uint8_t> jpeg_merge_tables(std::span<const uint8_t> tables, std::span<const uint8_t> picture)
{
    std::vector<uint8_t> repaired_tables = jpeg_repair(tables);
    std::vector<uint8_t> repaired_picture = jpeg_repair(picture);
    if (!starts_with(repaired_tables, {0xFF, 0xD8}) || !starts_with(repaired_picture, {0xFF, 0xD8}))
        return {picture.begin(), picture.end()};
    std::span<const uint8_t> segments = table_segments(repaired_tables);
    std::vector<uint8_t> out;
    out.reserve(2 + segments.size() + repaired_picture.size());
    out.insert(out.end(), repaired_picture.begin(), repaired_picture.begin() + 2);
    out.insert(out.end(), segments.begin(), segments.end());
    out.insert(out.end(), repaired_picture.begin() + 2, repaired_picture.end());
    return out;
}

bool merge_alpha_plane(uint8_t* rgba, size_t count, std::span<const uint8_t> plane, bool premultiplied_colour)
{
    const size_t reached = std::min(count, plane.size());
    uint32_t all_alpha = reached == count ? 255 : 0;  // pixels past the plane are transparent
    for (size_t i = 0; i < reached; ++i) {
        const uint8_t a = premultiplied_colour ? plane[i] : rgba[4 * i + 3] & plane[i];
        rgba[4 * i + 3] = a;
        all_alpha &= a;
    }
    for (size_t i = reached; i < count; ++i)
        rgba[4 * i + 3] = 0;
    if (premultiplied_colour)
        unpremultiply_rgba(rgba, count);
    return all_alpha == 255;
}

namespace {

bool is_frame_marker(uint8_t marker)
{
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

// The size in the first frame header (SOF) in front of the first scan, walking the
// segments as jpeg_repair does (stray EOI-SOI pairs and fill bytes included).
void jpeg_frame_size(std::span<const uint8_t> data, BitmapFacts* facts)
{
    size_t at = 0;
    while (at + 2 <= data.size() && data[at] == 0xFF) {
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) {
            ++at;
        } else if (marker == 0xD8 || marker == 0xD9 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            at += 2;
        } else if (is_frame_marker(marker)) {
            ByteReader in(data);
            in.seek(at + 5);  // marker, length, precision
            const uint16_t height = in.u16be(), width = in.u16be();
            if (in.ok()) {
                facts->height = height;
                facts->width = width;
            }
            return;
        } else if (size_t end = length_segment_end(data, at)) {
            at = end;
        } else {
            return;
        }
    }
}

// Kind, size and alpha of stored picture bytes, as stored_image_kind reads them.
void picture_facts(std::span<const uint8_t> image, BitmapFacts* facts)
{
    switch (stored_image_kind(image)) {
    case StoredImage::png: {
        facts->kind = BitmapKind::png;
        ByteReader in(image);
        in.skip(16);  // signature, IHDR length and type
        const uint32_t width = in.u32be(), height = in.u32be();
        in.skip(1);  // depth
        const uint8_t colour_type = in.u8();
        if (in.ok()) {
            facts->width = width;
            facts->height = height;
            facts->alpha = facts->alpha || colour_type == 4 || colour_type == 6;
        }
        return;
    }
    case StoredImage::gif: {
        facts->kind = BitmapKind::gif;
        ByteReader in(image);
        in.skip(6);  // "GIF89a"
        const uint16_t width = in.u16le(), height = in.u16le();
        if (in.ok()) {
            facts->width = width;
            facts->height = height;
        }
        return;
    }
    case StoredImage::jpeg: jpeg_frame_size(image, facts); return;
    }
}

BitmapFacts lossless_facts(uint16_t code, const BitmapHeader& read)
{
    BitmapFacts facts;
    if (!read.lossless_read)
        return facts;
    const LosslessHeader& header = read.lossless;
    facts.id = header.id;
    facts.alpha = code == kTagDefineBitsLossless2;
    facts.width = header.width;
    facts.height = header.height;
    switch (header.format) {
    case kLosslessColourMapped: facts.kind = BitmapKind::colour_mapped; break;
    case kLossless15Bit: facts.kind = BitmapKind::fifteen_bit; break;
    case kLossless32Bit: facts.kind = BitmapKind::lossless; break;
    default: break;
    }
    return facts;
}

BitmapFacts jpeg_family_facts(uint16_t code, const BitmapHeader& read)
{
    BitmapFacts facts;
    const JpegTagParts& parts = read.parts;
    facts.id = parts.id;
    if (read.layout != JpegTagLayout::ok)
        return facts;
    facts.alpha = parts.has_alpha;
    facts.kind = parts.has_alpha          ? BitmapKind::jpeg_with_alpha
                 : code == kTagDefineBits ? BitmapKind::jpeg_with_tables
                                          : BitmapKind::jpeg;
    picture_facts(parts.image, &facts);
    return facts;
}

bool is_lossless_code(uint16_t code) { return code == kTagDefineBitsLossless || code == kTagDefineBitsLossless2; }

}  // namespace

const char* bitmap_kind_name(BitmapKind kind)
{
    switch (kind) {
    case BitmapKind::unreadable: break;
    case BitmapKind::lossless: return "lossless";
    case BitmapKind::colour_mapped: return "colour-mapped";
    case BitmapKind::fifteen_bit: return "15-bit";
    case BitmapKind::jpeg: return "JPEG";
    case BitmapKind::jpeg_with_tables: return "JPEG with tables";
    case BitmapKind::jpeg_with_alpha: return "JPEG with alpha";
    case BitmapKind::png: return "PNG";
    case BitmapKind::gif: return "GIF";
    }
    return "unreadable";
}

BitmapHeader bitmap_header_read(uint16_t code, std::span<const uint8_t> body)
{
    BitmapHeader header;
    if (is_lossless_code(code))
        header.lossless_read = lossless_read_header(body, &header.lossless);
    else
        header.layout = jpeg_tag_read(code, body, &header.parts);
    return header;
}

BitmapFacts bitmap_facts(uint16_t code, const BitmapHeader& header, size_t body_size)
{
    BitmapFacts facts = is_lossless_code(code) ? lossless_facts(code, header) : jpeg_family_facts(code, header);
    facts.stored_bytes = body_size;
    return facts;
}

BitmapFacts bitmap_facts(uint16_t code, std::span<const uint8_t> body)
{
    return bitmap_facts(code, bitmap_header_read(code, body), body.size());
}

bool binary_data_read(std::span<const uint8_t> body, uint16_t* id, std::span<const uint8_t>* data)
{
    ByteReader in(body);
    const uint16_t read_id = in.u16le();
    in.skip(4);  // reserved
    if (!in.ok())
        return false;
    *id = read_id;
    *data = in.rest();
    return true;
}

bool is_picture_data(std::span<const uint8_t> data)
{
    return stored_image_kind(data) != StoredImage::jpeg || starts_with(data, {0xFF, 0xD8, 0xFF}) || is_eoi_soi(data, 0);
}

BitmapFacts picture_data_facts(uint16_t id, std::span<const uint8_t> body, std::span<const uint8_t> data)
{
    BitmapFacts facts;
    facts.id = id;
    facts.kind = BitmapKind::jpeg;
    facts.stored_bytes = body.size();
    picture_facts(data, &facts);
    return facts;
}
