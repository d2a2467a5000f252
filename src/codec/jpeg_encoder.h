// Baseline JPEG encoder: 8-bit pixels in, a complete JFIF file out through a write callback.
// Always YCbCr 4:4:4 with the standard (Annex K) quantisation and Huffman tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/fault.h"

// The quality of every encode that does not choose one (quality 0): what editing has
// always re-encoded at.
inline constexpr int kJpegDefaultQuality = 80;

// One bit string to emit, right-aligned in `code`.
struct JpegBitCode {
    uint16_t code;
    uint16_t length;
};

// Same shape as fwrite, so fwrite itself can be the sink. The encoder always passes
// count 1 and the byte count as `size`; the result is not looked at.
using JpegWriteFn = size_t (*)(const void* data, size_t size, size_t count, void* context);

// For each coefficient in natural (row-major) order, its position in the zig-zag sequence.
inline constexpr uint8_t jpeg_zigzag[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, 2,  4,  7,  13, 16, 26, 29, 42, 3,  8,  12, 17, 25, 30,
    41, 43, 9,  11, 18, 24, 31, 40, 44, 53, 10, 19, 23, 32, 39, 45, 52, 54, 20, 22, 33, 38,
    46, 51, 55, 60, 21, 34, 37, 47, 50, 56, 59, 61, 35, 36, 48, 49, 57, 58, 62, 63,
};

// s(k) * 2*sqrt(2), s(0) = 1, s(k) = sqrt(2) * cos(k*pi/16): the per-axis output scale of
// jpeg_fdct8, folded into the quantiser reciprocals.
inline constexpr float jpeg_aan_scale[8] = {
    2.8284271f, 3.9231412f, 3.6955183f, 3.3258781f, 2.8284271f, 2.2222810f, 1.5307337f, 0.7803613f,
};

// Encodes width x height pixels (rows top to bottom, `components` bytes per pixel: 1 grey,
// 3 RGB, 4 RGB plus an ignored byte) at `quality` (0 means kJpegDefaultQuality, otherwise
// clamped to 1..100). `write` null means fwrite, with `context` a FILE* opened "wb".
// `byte_count` (may be null) is set to 0 and then grows by every byte handed to the sink.
// Fault::none when the file has been written. Nothing is written for a null pixel pointer,
// no sink or a zero dimension (malformed), components other than 1/3/4 (unsupported), or a
// dimension above 65535 or a pixel buffer that would reach 1 GiB (too_large). Too large too
// if the file grew past INT_MAX bytes, whose length `byte_count` cannot hold (it is then
// left at INT_MAX).
Fault jpeg_encode(void* context, JpegWriteFn write, int* byte_count, const uint8_t* pixels, uint32_t width,
                  uint32_t height, int components, int quality);

// Category (length) and extra bits of a coefficient or DC difference (within +-65535).
JpegBitCode jpeg_calc_bits(int value);

// One 8-point AAN forward DCT pass in place; the output is scaled by 8*s(k) per axis.
void jpeg_fdct8(float* d);
