// Whole-file reading and writing.
#pragma once

#include <cstddef>
#include <cstdint>

using FileReadHook = uint8_t* (*)(const char* path, int* size);
using FileExistsHook = bool (*)(const char* path);

// Reads the whole file into a new malloc'd block (release with free()); null when the
// file cannot be opened or read, or is not a regular file (a FIFO, device or folder: they
// could block or never end). `size` is left untouched on failure. An empty file gives a
// valid one-byte block and size 0. Goes through the read hook when one is set.
uint8_t* file_read_all(const char* path, int* size);
uint8_t* file_read_all_raw(const char* path, int* size);

bool file_exists(const char* path);    // through the exists hook, else file_readable
bool file_readable(const char* path);  // read permission granted

// Write (create/truncate) or append `length` bytes; length 0 means `data` is a
// NUL-terminated string. 1 when everything was written, 0 otherwise.
int file_write_all(const char* path, const void* data, size_t length);
int file_append(const char* path, const void* data, size_t length);

void file_set_read_hook(FileReadHook hook);
void file_set_exists_hook(FileExistsHook hook);

// Prints the message on standard output and ends the process with status 1.
[[noreturn]] void fail_exit(const char* format, ...) __attribute__((format(printf, 1, 2)));
