// Animated GIF writer: one local colour table per frame (median cut, searched through a
// two-way space-partitioning tree), optional Floyd-Steinberg dithering, pixels that did not
// change since the previous frame become transparent, LZW with 4,095-code dictionaries.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "support/memory.h"

struct GifFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Writer state. A writer dropped without gif_close still releases its file and buffer, but
// the file then lacks its trailer.
struct GifFile {
    std::unique_ptr<std::FILE, GifFileCloser> file;  // null when closed
    // width * height * 4 bytes: the last frame as displayed, R, G, B of the shown colour and
    // the colour index in the fourth byte.
    ByteBuffer previous;
    uint32_t width = 0;
    uint32_t height = 0;
    bool first_frame = false;
    bool write_failed = false;  // a write to the file failed since gif_open
};

// Per-frame colour table and its search tree. Entry 0 is the transparent colour (black).
// Internal node n (1 .. 2^depth - 1) splits on channel split_channel[n] (0 R, 1 G, 2 B) at
// split_value[n]; its children are 2n and 2n + 1, and node 2^depth + i is the leaf of entry i.
struct GifColorTable {
    uint32_t depth = 0;  // 1..8
    uint8_t red[256] = {};
    uint8_t green[256] = {};
    uint8_t blue[256] = {};
    uint8_t split_channel[256] = {};
    uint8_t split_value[256] = {};
};

// Largest frame delay (hundredths of a second) and frame side a GIF can record.
inline constexpr uint32_t kGifMaxDelay = 0xFFFF;
inline constexpr uint32_t kGifMaxSide = 0xFFFF;

// Creates the file and writes the header; a non-zero delay adds the endless-loop extension.
// `depth` and `dither` are accepted for symmetry with gif_add_frame and not used.
// 1 on success; 0 when the writer is null or already open, the path is null, a side is 0 or
// above kGifMaxSide, the delay is above kGifMaxDelay, the frame buffer would reach
// kMaxBufferSize, memory runs out or the file cannot be created.
int gif_open(GifFile* writer, const char* path, uint32_t width, uint32_t height, uint32_t delay, uint32_t depth = 8,
             bool dither = false);

// Appends one frame of width * height * 4 bytes (R, G, B, ignored) with a colour table of
// 2^depth entries; delay in hundredths of a second. 1 on success; 0 (nothing written, writer
// unchanged) when the writer has no open file, the pixels are null, the size differs from
// the one given to gif_open, depth is outside 1..8, the delay is above kGifMaxDelay or
// memory runs out; also 0 after the frame was written when a write to the file has failed
// (now or before), so a full disk is not mistaken for success.
int gif_add_frame(GifFile* writer, const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t delay,
                  uint32_t depth = 8, bool dither = false);

// Writes the trailer and closes the file. 1 on success; 0 when the writer has no open file
// or any write since gif_open failed (the file is closed and the buffer released either way).
int gif_close(GifFile* writer);

// Building blocks, exposed for tests.

// Builds the colour table for `pixels` (count pixels, 4 bytes each). With a previous frame
// only the pixels whose R, G, B differ from it count. Entries no pixel reaches repeat a
// colour of the pixels beside them in the tree; with no pixel at all every entry is black.
// False when pixels or table is null, depth is outside 1..8, the count would make a buffer
// of kMaxBufferSize or memory runs out.
bool gif_build_palette(const uint8_t* previous, const uint8_t* pixels, uint64_t count, uint32_t depth, bool dither,
                       GifColorTable* table);

// Tree search for the entry (never 0) nearest to (r, g, b) in summed absolute difference,
// improving on *best_index / *best_distance; start at node 1 with distance 1,000,000.
void gif_nearest_index(const GifColorTable& table, int64_t r, int64_t g, int64_t b, uint32_t* best_index,
                       int64_t* best_distance, uint32_t node = 1);
