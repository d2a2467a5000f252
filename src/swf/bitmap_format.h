// The SWF bitmap formats: tag layouts, pixel orders, premultiplied colour, colour tables,
// 15-bit pixels, and JPEG streams as authoring tools stored them. Extraction and editing
// both read and build bitmap tags through this module.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "support/fault.h"
#include "support/memory.h"

// "解压缩失败" (decompression failed) with zlib's code (zlib_code of the fault) and the capacity;
// "压缩失败" (compression failed).
#define INFLATE_FAILED "解压缩失败,rv:%d,outlen:%d"
#define DEFLATE_FAILED "压缩失败"

// The tags that define a bitmap character: the four JPEG-family tags and both lossless ones.
// Extraction writes each of them; pixsieve-edit --replace rebuilds each of them.
bool is_bitmap_tag(uint16_t code);

// Lossless bitmaps (DefineBitsLossless, DefineBitsLossless2).

inline constexpr uint32_t kLosslessHeaderSize = 7;  // id, format, width, height

// The format byte of a lossless bitmap's header.
inline constexpr uint8_t kLosslessColourMapped = 3;  // a colour table, then one index byte per pixel
inline constexpr uint8_t kLossless15Bit = 4;         // 0RRRRRGG GGGBBBBB per pixel
inline constexpr uint8_t kLossless32Bit = 5;         // A, R, G, B (DefineBitsLossless: reserved, R, G, B)

struct LosslessHeader {
    uint16_t id;
    uint8_t format;
    uint16_t width;
    uint16_t height;
    uint32_t colours;      // entries of the colour table (colour-mapped only)
    uint32_t data_offset;  // where the zlib stream starts in the body
};

using LosslessRecord = std::array<uint8_t, kLosslessHeaderSize>;
// Pixel rows of every lossless format are padded to a multiple of four bytes.
inline uint64_t lossless_padded_row(uint64_t bytes) { return (bytes + 3) & ~uint64_t{3}; }
// The header of a 32-bit or 15-bit bitmap body (a colour-mapped one adds its table size).
LosslessRecord lossless_header_record(uint16_t id, uint8_t format, uint16_t width, uint16_t height);

// False when the body is shorter than id, format, width and height. A colour-mapped body
// cut off before its table size has an empty table and no data.
bool lossless_read_header(std::span<const uint8_t> body, LosslessHeader* header);
bool lossless_format_known(uint8_t format);

// Bytes the inflated data of a known format holds at most: rows are padded to 32 bits and
// a colour table (RGB without alpha, RGBA with) comes first. 0 for an empty picture.
uint64_t lossless_data_size(const LosslessHeader& header, bool with_alpha);

// Inflated bitmap data: `bytes` holds the capacity asked for, zero-filled past `size`.
struct Inflated {
    ByteBuffer bytes;
    uint64_t size = 0;
    Fault fault = Fault::none;  // as zlib_inflate_known_size says, when the stream did not inflate to its end
};
// A complete stream holding fewer bytes than `capacity` is no failure; one holding more is.
Inflated inflate_bitmap_data(std::span<const uint8_t> stream, uint64_t capacity);

// Turns the inflated data of a known format into width x height R, G, B, A pixels at
// `rgba` (which may be the data's own buffer for 32-bit pixels), colours as stored: premultiplied by alpha in a
// DefineBitsLossless2 bitmap, opaque without alpha (the reserved byte of 32-bit pixels is ignored). Pixels the data
// does not reach, and indices past the colour table, are transparent black.
void lossless_to_rgba(const LosslessHeader& header, bool with_alpha, std::span<const uint8_t> data, uint8_t* rgba);

// The same pixels in the PNG form the movie stores them in. Extraction writes these; the
// R, G, B, A pixels above are what each of them shows.

// A colour-mapped bitmap's table: colours straight (un-premultiplied as unpremultiply_rgba
// does), alpha per entry.
struct ColourTable {
    std::array<uint8_t, 3 * 256> colours{};
    std::array<uint8_t, 256> alpha{};
    uint16_t entries = 0;        // those the data holds, plus one transparent black when some pixel needs it
    uint16_t alpha_entries = 0;  // up to the last entry that is not opaque; 0 when all are
};

// The width x height indices of colour-mapped data at `indices` (which may be the data's
// own buffer), row padding dropped, and its table. An index past the table, and a pixel the
// data does not reach, point to an extra transparent black entry. False, with nothing
// written, when that entry would be the 257th: a full table whose pixel data is cut short.
bool colour_mapped_to_indices(const LosslessHeader& header, bool with_alpha, std::span<const uint8_t> data,
                              uint8_t* indices, ColourTable* table);

// The width x height R, G, B pixels of 15-bit or 32-bit data at `rgb` (which may be the
// data's own buffer for 32-bit pixels), opaque: the reserved byte of 32-bit pixels is
// ignored, so only DefineBitsLossless's are opaque. False, with nothing written, when the
// data does not reach every pixel: those are transparent black, which RGB cannot show.
bool lossless_to_rgb(const LosslessHeader& header, std::span<const uint8_t> data, uint8_t* rgb);

// Drops the alpha of `count` R, G, B, A pixels in place, leaving R, G, B.
void rgba_to_rgb(uint8_t* pixels, size_t count);

// Pixel orders and alpha forms, `count` four-byte pixels in place.
void argb_to_rgba(uint8_t* pixels, size_t count);
void rgba_to_argb(uint8_t* pixels, size_t count);
// Straight colour from premultiplied: each channel x 255 / alpha, rounded, at most 255;
// alpha 0 gives 0, 0, 0, 0. True when every alpha is 255, so that the pixels fit RGB.
bool unpremultiply_rgba(uint8_t* pixels, size_t count);
// Premultiplied colour from straight: each channel x alpha / 255, rounded.
void premultiply_rgba(uint8_t* pixels, size_t count);

// JPEG-family bitmaps (DefineBits, DefineBitsJPEG2, DefineBitsJPEG3, DefineBitsJPEG4).

struct JpegTagParts {
    uint16_t id = 0;
    bool has_alpha = false;          // DefineBitsJPEG3 and DefineBitsJPEG4
    uint16_t deblocking = 0;         // DefineBitsJPEG4's filter strength (8.8), not applied
    uint32_t image_length = 0;       // as stored, with alpha only
    std::span<const uint8_t> image;  // JPEG, PNG or GIF bytes
    std::span<const uint8_t> alpha;  // zlib stream of one byte per pixel
};

enum class JpegTagLayout { ok, too_short, image_past_end };

// Splits the body of a JPEG-family tag. On image_past_end the id is set.
JpegTagLayout jpeg_tag_read(uint16_t code, std::span<const uint8_t> body, JpegTagParts* parts);

enum class StoredImage { jpeg, png, gif };

// What the image bytes of a JPEG-family tag hold, by their signature (JPEG when neither).
StoredImage stored_image_kind(std::span<const uint8_t> image);

// JPEG data as tools wrote it before SWF 8 made the layout strict: a leading EOI-SOI pair
// and EOI-SOI pairs between the segments in front of the first scan are dropped. The scans
// are copied untouched. Data that does not start with SOI comes back as given.
std::vector<uint8_t> jpeg_repair(std::span<const uint8_t> data);

// A DefineBits picture completed with the movie's JPEGTables: one SOI, the tables'
// segments, the picture's segments and its coded data. The picture as given when either
// part is not a JPEG stream.
std::vector<uint8_t> jpeg_merge_tables(std::span<const uint8_t> tables, std::span<const uint8_t> picture);

// What a bitmap is, told by its header alone (nothing is inflated or decoded): for listing.

enum class BitmapKind : uint8_t {
    unreadable,  // the header is cut short or names an unknown format
    lossless,    // 32-bit
    colour_mapped,
    fifteen_bit,
    jpeg,              // a whole JPEG stream (DefineBitsJPEG2)
    jpeg_with_tables,  // a picture that takes the movie's JPEGTables (DefineBits)
    jpeg_with_alpha,   // DefineBitsJPEG3 and DefineBitsJPEG4
    png,
    gif,
};

struct BitmapFacts {
    uint16_t id = 0;
    BitmapKind kind = BitmapKind::unreadable;
    bool alpha = false;
    uint32_t width = 0;  // 0 x 0 when the header does not tell
    uint32_t height = 0;
    uint64_t stored_bytes = 0;  // the tag's body
};

// "lossless", "colour-mapped", "15-bit", "JPEG", "JPEG with tables", "JPEG with alpha",
// "PNG", "GIF"; "unreadable".
const char* bitmap_kind_name(BitmapKind kind);

// A bitmap tag's header, read once: for DefineBitsLossless(2) whether it was all there and
// what it holds, for the JPEG family the layout and the parts.
struct BitmapHeader {
    bool lossless_read = false;
    LosslessHeader lossless{};
    JpegTagLayout layout = JpegTagLayout::too_short;
    JpegTagParts parts;
};
BitmapHeader bitmap_header_read(uint16_t code, std::span<const uint8_t> body);

// The facts of a bitmap tag's body, from its header.
BitmapFacts bitmap_facts(uint16_t code, const BitmapHeader& header, size_t body_size);
BitmapFacts bitmap_facts(uint16_t code, std::span<const uint8_t> body);

// DefineBinaryData: the character id, four reserved bytes, then the data. False when the
// body is too short for the id and the reserved bytes.
bool binary_data_read(std::span<const uint8_t> body, uint16_t* id, std::span<const uint8_t>* data);
// Whether binary data is a picture file (PNG, GIF or JPEG by its signature).
bool is_picture_data(std::span<const uint8_t> data);
// The facts of a picture held whole as binary data.
BitmapFacts picture_data_facts(uint16_t id, std::span<const uint8_t> body, std::span<const uint8_t> data);

// Puts an inflated alpha plane (`plane`, one byte per pixel, short planes leave the rest 0)
// into decoded pixels. JPEG colour is stored premultiplied and comes out straight; other
// pictures (PNG) keep their colour and combine both alphas by AND. True when every alpha
// comes out 255.
bool merge_alpha_plane(uint8_t* rgba, size_t count, std::span<const uint8_t> plane, bool premultiplied_colour);
