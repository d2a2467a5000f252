// How the program gets heap memory for bytes and pixels, with the one size limit.
//
// Every buffer comes from buffer_new / buffer_new_zeroed (held in a ByteBuffer) or from
// buffer_alloc / buffer_realloc / buffer_free for a record that keeps a raw pointer (a
// Stream, a decoded picture, a codec's planes). A size at or past kMaxBufferSize is refused
// like memory that runs out: the functions return null and the caller reports that
// bitmap's or movie's failure. Objects are made with new and owned by std::unique_ptr.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A block from the functions below (or from a C interface's malloc) that releases itself
// on every path.
template <class T>
using malloc_ptr = std::unique_ptr<T, FreeDeleter>;

using ByteBuffer = malloc_ptr<uint8_t[]>;

// Pixel, tag and body buffers never reach this size (1 GiB); products that would are refused.
inline constexpr uint64_t kMaxBufferSize = uint64_t{1} << 30;

// A block of `size` bytes (at least one, so an empty buffer is not a failure); null when
// the size reaches the limit or memory runs out.
inline uint8_t* buffer_alloc(uint64_t size, bool zeroed)
{
    if (size >= kMaxBufferSize)
        return nullptr;
    const size_t n = size ? static_cast<size_t>(size) : 1;
    return static_cast<uint8_t*>(zeroed ? std::calloc(n, 1) : std::malloc(n));
}

inline void buffer_free(void* block) { std::free(block); }

inline ByteBuffer buffer_new(uint64_t size) { return ByteBuffer(buffer_alloc(size, false)); }
inline ByteBuffer buffer_new_zeroed(uint64_t size) { return ByteBuffer(buffer_alloc(size, true)); }

// Grows or shrinks a block to `size` bytes, keeping what fits; null (the block untouched
// and still the caller's) when refused.
inline uint8_t* buffer_realloc(void* block, uint64_t size)
{
    if (size >= kMaxBufferSize)
        return nullptr;
    return static_cast<uint8_t*>(std::realloc(block, size ? static_cast<size_t>(size) : 1));
}

// The next size of a decompression output block that grows towards `limit`: doubling from
// a start derived from the input size, so a header that claims far more than the data
// holds costs nothing (zlib and LZMA bodies alike).
inline size_t grow_output_capacity(size_t current, size_t input_size, size_t limit)
{
    constexpr size_t kFirstBlock = size_t{1} << 16;
    size_t next = current == 0 ? std::max(kFirstBlock, input_size * 4) : current * 2;
    return std::min(next, limit);
}
