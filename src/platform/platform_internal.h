// Helpers the two platform implementations share; not for the layers above.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

// Reads up to `count` bytes from `source`; the number read, 0 at the end, negative on error.
using ReadSome = long (*)(void* source, uint8_t* to, size_t count);

// Fills a new malloc'd block of `length` bytes (one byte when empty) through `read_some`.
ReadStatus read_whole_block(uint64_t length, size_t max_size, ReadSome read_some, void* source, uint8_t** data,
                            size_t* size);

// `name` inside `folder` ("" is the current folder), with one separator between them.
std::string join_path(std::string_view folder, std::string_view name);

// How the temporaries of the file `name` in `folder` start (the name only, no folder).
std::string temporary_name_prefix(const OutputFolder& folder, std::string_view name);

// True when `entry` is a temporary's name starting with `prefix`; any temporary's name
// when `prefix` is empty.
bool is_temporary_name(std::string_view entry, std::string_view prefix);
