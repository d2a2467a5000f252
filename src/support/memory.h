// Ownership helpers for C-style heap blocks (malloc/calloc/free).
#pragma once

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
