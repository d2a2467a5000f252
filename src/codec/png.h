// pixpng: the program's own small PNG reader and writer.
//
// png_decode reads every valid PNG (all colour types and depths, palette and transparency
// chunks, Adam7 interlace) from memory into pixels. The older handle interface reads
// non-interlaced 8- and 16-bit grey, grey+alpha, truecolour and truecolour+alpha samples as
// stored, and writes one-IDAT PNGs (those and 8-bit palette images) with adaptive row
// filters, deflated in one call; its bytes go through the handle's two pluggable functions,
// so files and memory look the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "support/fault.h"
#include "support/memory.h"

struct z_stream_s;

// Colour types as the format numbers them; the interface takes them as int.
inline constexpr int kPngGrey = 0;
inline constexpr int kPngRgb = 2;
inline constexpr int kPngPalette = 3;
inline constexpr int kPngGreyAlpha = 4;
inline constexpr int kPngRgba = 6;

// Every operation that can fail returns a Fault: malformed (a broken signature, chunk,
// CRC, zlib stream or filter; arguments that do not fit together), truncated (the file
// ends inside the header), unsupported (a form the handle interface does not read or
// write), out_of_memory, too_large (past the buffer limit), io_error (a read or write
// through the handle's functions fell short).

// Reads bytes into `destination` (skips them when it is null); returns the number of
// bytes delivered. Anything short of size * count counts as a failure.
using PngReadFunction = size_t (*)(void* destination, size_t size, size_t count, void* file_pointer);
// Writes size * count bytes; returns the number of elements written.
using PngWriteFunction = size_t (*)(const void* source, size_t size, size_t count, void* file_pointer);

using PngAllocHook = void* (*)(size_t size);
using PngFreeHook = void (*)(void* block);

struct PngHandle {
    z_stream_s* zstream;              // inflate state, alive only inside png_get_data
    PngReadFunction read_function;    // null: fread on file_pointer
    PngWriteFunction write_function;  // null: fwrite on file_pointer
    void* file_pointer;               // FILE* without a callback, else the callback's user pointer
    uint8_t* raw_data;                // band of inflated, still filtered rows (inside png_get_data)
    uint32_t raw_size;                // width * height * pbb + height: filtered size of the image
    uint32_t width;
    uint32_t height;
    uint8_t depth;
    uint8_t color_type;
    uint8_t compression;
    uint8_t filter;
    uint8_t interlace_method;
    uint8_t pbb;            // bytes per pixel
    uint8_t* chunk_buffer;  // data of one IDAT chunk, reused and only grown
    uint32_t chunk_buffer_size;
};

// Installs the allocation hooks for every block the module allocates; null selects the
// program's allocation policy (support/memory.h).
void png_init(PngAllocHook alloc_hook, PngFreeHook free_hook);

// Whole bytes per pixel for a colour type and depth (0 below 8 bits a pixel);
// Fault::unsupported for an unknown colour type.
Result<unsigned> png_pixel_bytes(int color_type, int depth);

// Reading: open (signature and header), then png_get_data.
Fault png_open_read(PngHandle* png, PngReadFunction read_function, void* file_pointer);
Fault png_open_read_file(PngHandle* png, const char* path);  // caller closes with png_close
// Decodes the image into `out` (width * height * pbb bytes): rows back to back, top
// first, 16-bit samples low byte first.
Fault png_get_data(PngHandle* png, uint8_t* out);

// The colour table of a palette image: `entries` (1 to 256) R, G, B triples at `colours`;
// the first `alpha_entries` of them take their alpha from `alpha` (a tRNS chunk), the rest
// are opaque.
struct PngPalette {
    const uint8_t* colours;
    const uint8_t* alpha;  // may be null when alpha_entries is 0
    uint16_t entries;
    uint16_t alpha_entries;
};

// Writing.
Fault png_open_writer(PngHandle* png, PngWriteFunction write_function, void* file_pointer);
Fault png_create_file(PngHandle* png, const char* path);  // caller closes with png_close
// `pixels`: height rows of width * pbb bytes, top first; 16-bit samples low byte first
// (the layout png_get_data produces). Depth 8 or 16, colour type 0, 2, 4 or 6; or depth 8,
// colour type 3, one index byte per pixel and `palette`, every index below its entries
// (malformed otherwise). Palette rows are left unfiltered, as libpng does: their
// bytes are names, not magnitudes, so differences between them predict nothing.
Fault png_write_image(PngHandle* png, uint32_t width, uint32_t height, int depth, int color_type, const uint8_t* pixels,
                      const PngPalette* palette = nullptr);
// Upper bound of the file png_write_image produces (for colour type 3 with the largest
// palette and alpha table), below the buffer limit; the fault png_write_image would give
// for these sizes otherwise (unsupported, too_large). Lets memory writers size their buffer.
Result<uint64_t> png_encoded_size_bound(uint32_t width, uint32_t height, int depth, int color_type);

// Closes the file opened by png_open_read_file / png_create_file.
void png_close(PngHandle* png);

void png_dump_info(const PngHandle* png);

// Memory transport for the callbacks above.
struct MemoryReader {
    uint32_t position;
    uint32_t size;  // bytes available at data
    const uint8_t* data;
};

struct MemoryWriter {
    uint32_t position;
    uint32_t written;
    uint8_t* buffer;
    uint32_t capacity;  // bytes the buffer holds; writes that would pass it are refused
};

// Delivers size * count bytes (or skips them with a null destination) and advances; when
// fewer remain it copies those, leaves the position alone and returns their number.
size_t memory_reader(void* destination, size_t size, size_t count, void* reader);
// Appends size * count bytes and returns count; returns 0 and writes nothing when they
// would not fit the capacity.
size_t memory_writer(const void* source, size_t size, size_t count, void* writer);

// ---- whole pictures from memory ----------------------------------------------------------

// What png_decode hands back for a palette image.
enum class PngForm : uint8_t {
    rgba,     // every image as R, G, B, A
    indexed,  // colour type 3 as palette indices with its palette; every other type as R, G, B, A
};

struct PngPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t depth = 0;  // as the file has them
    uint8_t color_type = 0;
    bool interlaced = false;
    // Every pixel's alpha is 255: no alpha channel, transparency key or palette alpha
    // touches a pixel, and no palette index lies past the palette.
    bool opaque = false;
    // False: `pixels` holds width x height R, G, B, A (straight alpha; 16-bit samples
    // rounded to 8 bits, v x 255 / 65535; 1-, 2- and 4-bit grey scaled to the full range).
    // True (colour type 3 in PngForm::indexed): one palette index per pixel, as stored.
    bool indexed = false;
    ByteBuffer pixels;  // rows top first, back to back
    // Colour type 3: the PLTE entries as R, G, B, A, alpha from tRNS (255 where it has
    // none). Entries past palette_size are 0, 0, 0, 0, which is also what an index past the
    // palette shows in R, G, B, A form.
    uint16_t palette_size = 0;
    std::array<uint8_t, 256 * 4> palette{};
};

// Decodes a whole PNG file held in memory. Chunk CRCs are checked for the chunks that
// shape the pixels (IHDR, PLTE, tRNS, IDAT); other ancillary chunks are skipped. Faults:
// malformed (broken chunks or image data, a picture that stops short), unsupported (an
// unknown critical chunk), too_large (pixels at the buffer limit), out_of_memory.
Result<PngPicture> png_decode(std::span<const uint8_t> file, PngForm form = PngForm::rgba);
