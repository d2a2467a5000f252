// Builds SWF movies byte by byte for tests and for the sample generator.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace swfkit {

using Bytes = std::vector<uint8_t>;

enum class Container { fws, cws, zws };

// A SWF RECT with the given field width, values in twips.
Bytes rect(int nbits, int32_t xmin, int32_t xmax, int32_t ymin, int32_t ymax);

// Appends one tag record; the long form is used when asked or when the body needs it.
void put_record(Bytes& out, uint16_t code, std::span<const uint8_t> body, bool long_form = false);

void put_u16(Bytes& out, uint16_t v);
void put_u32(Bytes& out, uint32_t v);
void put_bytes(Bytes& out, std::span<const uint8_t> bytes);

Bytes zlib_compress(std::span<const uint8_t> data);

// Tag bodies.
Bytes symbol_class_body(const std::vector<std::pair<uint16_t, std::string>>& pairs);
// `argb` holds width*height pixels of A,R,G,B; the pixels are zlib-compressed into the body.
Bytes lossless_body(uint16_t id, uint8_t format, uint16_t width, uint16_t height, std::span<const uint8_t> argb);
// A colour-mapped bitmap with `colours` table entries; `data` is the table and the index rows.
Bytes colour_mapped_body(uint16_t id, uint16_t width, uint16_t height, uint16_t colours, std::span<const uint8_t> data);
Bytes jpeg_body(uint16_t id, std::span<const uint8_t> image);  // DefineBits / DefineBitsJPEG2
Bytes jpeg3_body(uint16_t id, std::span<const uint8_t> image, std::span<const uint8_t> alpha);
Bytes jpeg4_body(uint16_t id, uint16_t deblocking, std::span<const uint8_t> image, std::span<const uint8_t> alpha);
// DefineBinaryData: the id, four reserved bytes, the data (a movie inside the movie, say).
Bytes binary_data_body(uint16_t id, std::span<const uint8_t> data);

// A JPEG stream split the way DefineBits and JPEGTables hold it (the stream must have a scan).
struct SplitJpeg {
    Bytes tables;   // SOI, the DQT and DHT segments, EOI
    Bytes picture;  // SOI, the other segments, the scan and what follows
};
SplitJpeg split_jpeg_tables(std::span<const uint8_t> jpeg);

// A whole movie: frame header (550x400, 24 fps, 1 frame unless told otherwise), the
// records already put into `records`, wrapped in the container.
struct Movie {
    Container container = Container::fws;
    uint8_t version = 10;
    Bytes frame_rect = rect(15, 0, 11000, 0, 8000);
    uint8_t rate_fraction = 0;
    uint8_t rate = 24;
    uint16_t frames = 1;
    Bytes records;                        // tag records, End tag included by the caller
    std::optional<uint32_t> file_length;  // overrides the true length in the header

    void tag(uint16_t code, std::span<const uint8_t> body, bool long_form = false)
    {
        put_record(records, code, body, long_form);
    }
    void end() { put_record(records, 0, {}); }

    Bytes body() const;   // the uncompressed body (frame header and records)
    Bytes build() const;  // the whole file
};

bool write_file(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace swfkit
