// One-shot zlib streams and the checksums around them, done by libdeflate where the build
// has it (PIXSIEVE_HAVE_LIBDEFLATE) and by zlib otherwise. Every function is safe to call
// from several threads at once: each call borrows coders no other call is using.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/fault.h"

// The level of the one-shot deflates we write (compressed movies, rebuilt bitmaps, and PNG
// data unless the PNG writer picks a level for the kind of picture).
inline constexpr int kDeflateLevel = 6;

// Upper bound of the output of zlib_deflate and zlib_deflate_filtered for `size` input
// bytes, at any level.
size_t zlib_deflate_bound(size_t size);

// Compresses `in` as one zlib stream into out[0..capacity) and gives the stream's length:
// Fault::too_large when it does not fit, out_of_memory when no compressor could be had.
Result<size_t> zlib_deflate(std::span<const uint8_t> in, uint8_t* out, size_t capacity, int level = kDeflateLevel);

// The same with zlib's Z_FILTERED strategy at level 6, which gives up short matches for
// literals: on the noisy filtered rows of small pictures with alpha its streams are about
// 5 % smaller than libdeflate's at any level below 10, in a fraction of that level's time.
// Slower than zlib_deflate, so meant for small inputs.
Result<size_t> zlib_deflate_filtered(std::span<const uint8_t> in, uint8_t* out, size_t capacity);

// Running checksums: start CRC-32 with 0 and Adler-32 with 1.
uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> data);
uint32_t adler32_update(uint32_t adler, std::span<const uint8_t> data);

// Inflates one zlib stream into out[0..*out_size) and sets *out_size to the bytes written.
// Fault::malformed for a broken or cut-off stream, too_large when it holds more than fits,
// out_of_memory. Streams libdeflate refuses are run through zlib, which says why.
Fault zlib_inflate_known_size(std::span<const uint8_t> in, uint8_t* out, size_t* out_size);
// As zlib_inflate_known_size, for a caller that only knows an upper bound (`limit`) of the
// output: the block starts small and grows while the data keeps producing bytes, so a
// header that claims far more than the data holds allocates nothing for the claim. On
// success *dest is a block from the allocation policy (buffer_free it) and *dest_len the
// bytes produced; the same faults as zlib_inflate_known_size.
Fault zlib_inflate_growing(std::span<const uint8_t> in, size_t limit, uint8_t** dest, size_t* dest_len);
// zlib's own code for what zlib_inflate_known_size returned (Z_OK, Z_DATA_ERROR,
// Z_BUF_ERROR, Z_MEM_ERROR): the number the lines reporting a failed inflate show.
int zlib_code(Fault fault);
