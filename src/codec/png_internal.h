// Pieces shared by the PNG reader and writer; not part of the module's interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "codec/png.h"

namespace pngi {

inline constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
inline constexpr uint32_t kHeaderLength = 13;
// The format caps chunk lengths and image sides at 2^31 - 1.
inline constexpr uint32_t kMaxFormatValue = 0x7FFFFFFFu;

// Set by png_init, read by every allocation, possibly from several threads. Where the
// codec's memory comes from is a choice for the whole process, made once before any
// picture is coded (tests count and fail allocations through it), like replacing malloc.
extern std::atomic<PngAllocHook> alloc_hook;
extern std::atomic<PngFreeHook> free_hook;

// Allocates through the hook; null for a zero size or one that would reach kMaxBufferSize.
void* alloc_block(uint64_t size);
void free_block(void* block);

// Byte transport through the callback or the FILE*; false on a short transfer.
bool read_bytes(PngHandle* png, void* destination, size_t n);
bool skip_bytes(PngHandle* png, uint64_t n);
bool write_bytes(PngHandle* png, const void* source, size_t n);
bool read_be32(PngHandle* png, uint32_t* value);

uint32_t crc_of(const uint8_t* data, size_t n, uint32_t crc = 0);

// Samples per pixel of a colour type; 0 for an unknown one.
unsigned channels_of(int color_type);

// The colour types whose pixels are samples rather than palette indices: those the handle
// interface reads and writes at 8 or 16 bits.
inline bool is_sample_colour_type(int color_type)
{
    return color_type == kPngGrey || color_type == kPngRgb || color_type == kPngGreyAlpha || color_type == kPngRgba;
}

// Size of the filtered scanlines (one filter byte per row), in 64 bits so it cannot wrap.
uint64_t filtered_size(uint32_t width, uint32_t height, unsigned pbb);

inline uint32_t load_be32(const uint8_t* p)
{
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

inline void store_be32(uint8_t* p, uint32_t value)
{
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

// The Paeth filter's guess from the left (a), upper (b) and upper-left (c) bytes.
inline uint8_t paeth_predictor(int a, int b, int c)
{
    const int pa = b > c ? b - c : c - b;
    const int pb = a > c ? a - c : c - a;
    const int pc = a + b > 2 * c ? a + b - 2 * c : 2 * c - a - b;
    if (pa <= pb && pa <= pc)
        return static_cast<uint8_t>(a);
    return static_cast<uint8_t>(pb <= pc ? b : c);
}

// 16-bit samples are big-endian in the file and low byte first in pixel buffers.
inline void swap_sample_bytes(uint8_t* dst, const uint8_t* src, size_t n)
{
    for (size_t i = 0; i + 1 < n; i += 2) {
        uint8_t hi = src[i];
        dst[i] = src[i + 1];
        dst[i + 1] = hi;
    }
}

}  // namespace pngi
