// Whole-file reading. Output files are written by the platform layer alone
// (platform_write_file_whole), so that every one of them is written whole or not at all.
#pragma once

#include <cstdint>

// Reads the whole file into a new malloc'd block (release with free()); null when the
// file cannot be opened or read, or is not a regular file (a FIFO, device or folder: they
// could block or never end). `size` is left untouched on failure. An empty file gives a
// valid one-byte block and size 0.
uint8_t* file_read_all(const char* path, int* size);
