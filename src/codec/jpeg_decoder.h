// Baseline sequential JPEG decoder: Huffman-coded, 8-bit samples, one interleaved scan,
// one component (grey) or three (Y, Cb, Cr). Integer arithmetic throughout, smooth 4-tap
// chroma upsampling, output as a grey plane or interleaved RGB.
//
// A decoder holds one picture at a time; every decode releases the previous one.
// A leading EOI SOI pair, and an EOI SOI pair between segments (tables and picture
// written as two SOI..EOI blocks), are passed over.
#pragma once

#include <cstdint>

enum JpegStatus : int {
    kJpegOk = 0,
    kJpegNotJpeg = 1,      // fewer than 2 bytes, or not starting with FF D8 (after an EOI SOI pair)
    kJpegUnsupported = 2,  // a feature (or a size) this decoder does not handle
    kJpegOutOfMemory = 3,
    kJpegInternal = 4,      // reserved; the upsampling loop rules it out
    kJpegSyntaxError = 5,   // truncated or inconsistent data
    kJpegScanFinished = 6,  // internal only, never returned
};

// One decoder's state: the picture, its planes and its tables (about 530 KiB, allocated
// once per decoder). Decoders share nothing, so each thread can run its own.
struct JpegState;

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes a complete JPEG byte string of `size` bytes; a negative size or null data
    // is not JPEG data. Returns a JpegStatus, kJpegOk when the picture is available
    // through the accessors below (kJpegOutOfMemory when the state could not be had).
    int decode(const uint8_t* data, int32_t size);
    int width() const;
    int height() const;
    int is_colour() const;  // 1 unless the picture has one component
    // Grey: one byte per pixel, rows width() bytes apart. Colour: R, G, B per pixel, rows
    // 3 * width() apart. Top row first. Valid until the next decode or release.
    const uint8_t* pixels() const;
    int pixels_size() const;  // width * height * components
    // Frees the planes and the RGB image and clears the state.
    void release();

private:
    JpegState* state_;
};
