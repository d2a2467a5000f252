// The meeting point of encoded pictures and pixel buffers: PNG, JPEG and bitmap data
// decode to R, G, B, A pixels; pixels encode back to PNG or JPEG in memory or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/jpeg_decoder.h"
#include "codec/jpeg_encoder.h"
#include "codec/png.h"  // MemoryReader, MemoryWriter and their byte functions
#include "support/fault.h"

enum class ImageKind : uint32_t {
    bitmap = 1,
    jpeg = 2,
    png = 3,
};

struct DecodedImage {
    ImageKind kind;   // of the source; chooses the encoder when re-encoding
    uint8_t quality;  // JPEG quality for re-encoding; 0 means kJpegDefaultQuality
    uint32_t width;
    uint32_t height;
    uint8_t* pixels;  // width x height x 4 bytes, R, G, B, A, top row first (malloc'd)
};

// What one thread needs to decode pictures; whoever decodes owns one (a worker, an edit).
struct ImageContext {
    JpegDecoder jpeg;
};

// Decodes a PNG, JPEG or Windows bitmap file held in memory into `image` (left untouched on
// failure). Fault::out_of_memory or too_large when the picture could not be held (the
// caller counts it as not written), malformed or unsupported for data this layer does not
// read. Prints nothing; the caller, who knows the bitmap, prints the line.
Fault image_decode(ImageContext* context, DecodedImage* image, std::span<const uint8_t> bytes);

// Encodes as PNG (ImageKind::png) or JPEG (ImageKind::jpeg) into out[0..capacity) and sets
// *out_size. JPEG first flattens the caller's pixels onto black in place. Fault::too_large
// when the output would not fit, unsupported for a kind without an encoder (bitmap).
Fault image_encode_pixels(ImageKind kind, uint8_t* pixels, uint32_t width, uint32_t height, uint8_t quality,
                          uint8_t* out, uint32_t capacity, uint32_t* out_size);
Fault image_encode(DecodedImage* image, uint8_t* out, uint32_t capacity, uint32_t* out_size);
// A buffer size that holds any encoding of a width x height picture.
uint64_t image_encode_bound(uint32_t width, uint32_t height);

void image_flatten_alpha(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t divisor);
void image_free(DecodedImage* image);
