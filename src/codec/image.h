// The meeting point of encoded pictures and pixel buffers: PNG, JPEG and bitmap data
// decode to R, G, B, A pixels; pixels encode back to PNG or JPEG in memory or a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/jpeg_decoder.h"
#include "codec/png.h"  // MemoryReader, MemoryWriter and their byte functions
#include "support/fault.h"

enum ImageKind : uint32_t {
    IMAGE_BITMAP = 1,
    IMAGE_JPEG = 2,
    IMAGE_PNG = 3,
};

struct DecodedImage {
    uint32_t kind;    // ImageKind of the source; chooses the encoder when re-encoding
    uint8_t quality;  // JPEG quality for re-encoding; 0 means 80
    uint32_t width;
    uint32_t height;
    uint8_t* pixels;  // width x height x 4 bytes, R, G, B, A, top row first (malloc'd)
};

// What one thread needs to decode pictures; whoever decodes owns one (a worker, an edit).
struct ImageContext {
    JpegDecoder jpeg;
};

// 0 on success, -1 (record untouched) when the data is not a picture this layer reads.
int image_decode(ImageContext* context, DecodedImage* image, const uint8_t* data, uint32_t size);
// The same, saying why a picture was not decoded: Fault::out_of_memory or too_large when it
// could not be held (the caller counts it as not written), malformed or unsupported data.
// Prints nothing; the caller, who knows the bitmap, prints the line.
Fault image_decode_bytes(ImageContext* context, DecodedImage* image, std::span<const uint8_t> bytes);

// Encodes as PNG (IMAGE_PNG) or JPEG (IMAGE_JPEG) into out[0..capacity). JPEG first
// flattens the caller's pixels onto black in place. 0 with *out_size set; -1 when the
// output would not fit; other kinds produce nothing and leave *out_size alone.
int image_encode_pixels(uint32_t kind, uint8_t* pixels, uint32_t width, uint32_t height, uint8_t quality, uint8_t* out,
                        uint32_t capacity, uint32_t* out_size);
int image_encode(DecodedImage* image, uint8_t* out, uint32_t capacity, uint32_t* out_size);
// A buffer size that holds any encoding of a width x height picture.
uint64_t image_encode_bound(uint32_t width, uint32_t height);

int image_flatten_alpha(uint8_t* pixels, uint32_t width, uint32_t height, uint32_t divisor);
int image_free(DecodedImage* image);
