// Helpers the two platform implementations share; not for the layers above.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Reads up to `count` bytes from `source`; the number read, 0 at the end, negative on error.
using ReadSome = long (*)(void* source, uint8_t* to, size_t count);

// Fills a new malloc'd block of `length` bytes (one byte when empty) through `read_some`.
ReadStatus read_whole_block(uint64_t length, size_t max_size, ReadSome read_some, void* source, uint8_t** data,
                            size_t* size);
