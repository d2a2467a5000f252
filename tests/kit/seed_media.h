// Small valid media built by our own writers: the seeds of the fuzz corpora and the
// starting point of the hostile-movie tests.
#pragma once

#include <cstdint>
#include <string>

#include "swf_builder.h"

namespace swfkit {

// width x height A, R, G, B pixels: a gradient with a few transparent pixels.
Bytes gradient_argb(uint16_t width, uint16_t height);
// The same picture as R, G, B, A and encoded as JPEG by our encoder.
Bytes gradient_jpeg(uint16_t width, uint16_t height, int quality = 85);

// A JPEG from our encoder (always 4:4:4) with the sampling factors of the frame header
// rewritten: luma h x v, chroma 1 x 1. The entropy data is then read with another
// block layout, which still exercises every upsampling path of a decoder.
Bytes resampled_jpeg(uint16_t width, uint16_t height, uint8_t h, uint8_t v);

// A PNG written row by row with its own filter per row (filter_of_row(y) = first_filter
// + y, modulo 5), so each filter type appears. colour_type 0, 2, 4 or 6; depth 8 or 16.
Bytes filtered_png(uint32_t width, uint32_t height, int depth, int colour_type, int first_filter);

// A Windows bitmap, 24 or 32 bits per pixel, bottom-up unless top_down.
Bytes windows_bitmap(uint32_t width, uint32_t height, int bits, bool top_down);

// The id and file stem of every bitmap multi_bitmap_movie extracts.
struct ExpectedBitmap {
    uint16_t id;
    std::string file;  // name in the folder, extension included
};

// A movie holding every kind of bitmap: DefineBitsLossless and DefineBitsLossless2
// (format 5), a colour-mapped one (skipped by extraction), DefineBits, DefineBitsJPEG2,
// DefineBitsJPEG3 and a SymbolClass naming two of them.
Movie multi_bitmap_movie(Container container);
// The files extraction writes for multi_bitmap_movie.
const std::vector<ExpectedBitmap>& multi_bitmap_files();

// Writes into `folder` a mixed set of movies for runs that must not depend on the number of
// workers: every container, a big movie among small ones, bitmaps with colliding class
// names and broken data, and files that are no movie at all. False when a file cannot be
// written.
bool write_mixed_movies(const std::string& folder);

}  // namespace swfkit
