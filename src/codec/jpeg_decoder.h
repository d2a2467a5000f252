// JPEG decoder: Huffman-coded baseline, extended (8-bit) and progressive streams with one
// component (grey) or three (YCbCr, or RGB where the stream says so), any sampling factors
// of 1 to 4 in whole ratios, restart intervals, scans in any order. The pixels are the ones
// libjpeg-turbo gives at its defaults: its accurate integer inverse transform, its smooth
// ("fancy") chroma upsampling and its YCbCr conversion, bit for bit. Damaged entropy-coded
// data is read as libjpeg reads it (what is missing decodes as grey), so a picture that
// libjpeg shows is a picture here too.
//
// A decoder holds one picture at a time; every decode releases the previous one.
// A leading EOI SOI pair, and an EOI SOI pair between segments (tables and picture
// written as two SOI..EOI blocks), are passed over.
#pragma once

#include <cstdint>
#include <span>

#include "support/fault.h"

enum JpegStatus : int {
    kJpegOk = 0,
    kJpegNotJpeg = 1,      // fewer than 2 bytes, or not starting with FF D8 (after an EOI SOI pair)
    kJpegUnsupported = 2,  // arithmetic coding, lossless or hierarchical frames, 12-bit samples, 2 or 4 components
    kJpegOutOfMemory = 3,
    kJpegSyntaxError = 5,  // headers that break the format, or no picture at all
    kJpegTooLarge = 6,     // a buffer of the picture would reach the 1 GiB limit
};

// What a status means to the library's callers.
Fault jpeg_status_fault(int status);

// One decoder's state: the picture, its planes and its tables. Decoders share nothing,
// so each thread can run its own.
struct JpegState;

class JpegDecoder {
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder&) = delete;
    JpegDecoder& operator=(const JpegDecoder&) = delete;

    // Decodes a complete JPEG byte string. Fault::none when the picture is available
    // through the accessors below.
    Fault decode(std::span<const uint8_t> data);
    // The same with a JpegStatus; a negative size or null data is not JPEG data.
    int decode(const uint8_t* data, int32_t size);
    int width() const;
    int height() const;
    int is_colour() const;  // 1 unless the picture has one component
    // Grey: one byte per pixel, rows width() bytes apart. Colour: R, G, B per pixel, rows
    // 3 * width() apart. Top row first. Valid until the next decode or release.
    const uint8_t* pixels() const;
    int pixels_size() const;  // width * height * components
    // Frees the planes and the image and clears the state.
    void release();

private:
    JpegState* state_;
};
