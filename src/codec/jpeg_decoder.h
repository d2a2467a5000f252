// Baseline sequential JPEG decoder: Huffman-coded, 8-bit samples, one interleaved scan,
// one component (grey) or three (Y, Cb, Cr). Integer arithmetic throughout, smooth 4-tap
// chroma upsampling, output as a grey plane or interleaved RGB.
//
// There is exactly one decoder in the process; it holds one image at a time and every
// jpeg_decode releases the previous one. Not reentrant.
#pragma once

#include <cstdint>

enum JpegStatus : int {
    kJpegOk = 0,
    kJpegNotJpeg = 1,       // fewer than 2 bytes, or not starting with FF D8
    kJpegUnsupported = 2,   // a feature (or a size) this decoder does not handle
    kJpegOutOfMemory = 3,
    kJpegInternal = 4,      // reserved; the upsampling loop rules it out
    kJpegSyntaxError = 5,   // truncated or inconsistent data
    kJpegScanFinished = 6,  // internal only, never returned
};

struct JpegComponent {
    int32_t component_id;  // the scan header must name the components in frame order
    int32_t h_sampling;    // 1, 2, 4 or 8
    int32_t v_sampling;
    int32_t plane_width;   // in samples; grows by upsampling
    int32_t plane_height;
    int32_t plane_stride;
    int32_t quant_table;   // 0..3
    int32_t ac_table;      // 2 or 3, index into huffman_lookup
    int32_t dc_table;      // 0 or 1
    int32_t dc_predictor;
    uint8_t* plane;        // owned by the decoder
};

// One entry of a direct lookup table indexed by the next 16 bits of entropy-coded data.
// A code length of 0 marks bit patterns that start no code.
struct JpegHuffmanEntry {
    uint8_t code_length;
    uint8_t symbol;
};

// First-level entry for the next 9 bits. code_length 0: the code is longer (or invalid),
// look in the full table. total_length non-zero: the magnitude bits fit in the 9 bits
// too, and `value` is the decoded coefficient difference.
struct JpegFastHuffmanEntry {
    uint8_t code_length;
    uint8_t symbol;
    uint8_t total_length;
    int16_t value;
};

struct JpegDecoder {
    int32_t status;
    const uint8_t* cursor;
    int32_t remaining;
    int32_t segment_left;
    int32_t image_width;
    int32_t image_height;
    int32_t mcus_per_row;
    int32_t mcu_rows;
    int32_t mcu_width;
    int32_t mcu_height;
    int32_t component_count;
    JpegComponent components[3];
    uint8_t quant_tables[4][64];                // zig-zag order, as stored
    // DC 0, DC 1, AC 0, AC 1. Entries under a code of up to 9 bits are never read (the
    // first-level table below answers for them) and are left unwritten.
    JpegHuffmanEntry huffman_lookup[4][65536];
    uint64_t bit_buffer;                        // newest bits at the bottom
    int32_t bit_count;
    int32_t coefficients[64];                   // natural (row-major) order
    int32_t restart_interval;
    uint8_t* rgb_image;
    // Bit i set: huffman_lookup[i] was defined by the current image. Lets a release skip
    // clearing 512 KiB of tables; an undefined table is cleared when a scan names it.
    uint32_t defined_tables;
    // The 512 KiB of full tables keep missing the first-level cache. Codes of up to 9
    // bits (nearly all symbols) are found here first, mostly with their value.
    JpegFastHuffmanEntry huffman_fast[4][512];
};

// Clears the whole state without releasing anything (start-up).
void jpeg_decoder_reset();

// Decodes a complete JPEG byte string of `size` bytes; a negative size or null data is
// not JPEG data. Returns a JpegStatus, 0 when an image is available through the
// accessors below.
int jpeg_decode(const uint8_t* data, int32_t size);

int jpeg_width();
int jpeg_height();
int jpeg_is_colour();  // 1 unless the image has one component

// Grey: one byte per pixel, rows jpeg_width() bytes apart. Colour: R, G, B per pixel,
// rows 3 * jpeg_width() apart. Top row first. Valid until the next jpeg_decode or
// jpeg_release.
const uint8_t* jpeg_pixels();
int jpeg_pixels_size();  // width * height * components

// Frees the planes and the RGB image and clears the state.
void jpeg_release();
