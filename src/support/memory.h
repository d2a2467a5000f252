// Ownership helpers for C-style heap blocks (malloc/calloc/free).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A malloc'd block that releases itself on every path.
template <class T>
using malloc_ptr = std::unique_ptr<T, FreeDeleter>;

using ByteBuffer = malloc_ptr<uint8_t[]>;

// Pixel, tag and body buffers never reach this size (1 GiB); products that would are refused.
inline constexpr uint64_t kMaxBufferSize = uint64_t{1} << 30;

// The next size of a decompression output block that grows towards `limit`: doubling from
// a start derived from the input size, so a header that claims far more than the data
// holds costs nothing (zlib and LZMA bodies alike).
inline size_t grow_output_capacity(size_t current, size_t input_size, size_t limit)
{
    constexpr size_t kFirstBlock = size_t{1} << 16;
    size_t next = current == 0 ? std::max(kFirstBlock, input_size * 4) : current * 2;
    return std::min(next, limit);
}
