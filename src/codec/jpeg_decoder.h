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
    // through the accessors below. Malformed: fewer than 2 bytes, no FF D8 at the start
    // (after an EOI SOI pair), headers that break the format, or no picture at all.
    // Unsupported: arithmetic coding, lossless or hierarchical frames, 12-bit samples, 2 or
    // 4 components. Too large: a buffer of the picture would reach the 1 GiB limit.
    Fault decode(std::span<const uint8_t> data);
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
