// Everything that touches the operating system goes through this module.
// The POSIX implementation lives in platform_posix.cpp.
#pragma once

#include <cstddef>

inline constexpr char kPathSeparator = '/';

// Longest path (terminator included) and longest single name the file system takes.
inline constexpr size_t kMaxPath = 4096;
inline constexpr size_t kMaxName = 255;

bool platform_exists(const char* path);    // anything (file or folder) under that name
bool platform_readable(const char* path);  // read permission granted
bool platform_make_dir(const char* path);  // true when created; no shell involved

// Prints the prompt and waits for one key on a terminal; returns at once without one.
void platform_pause();

// True for a byte that separates folders in a path on this platform.
inline bool platform_is_separator(char c) { return c == kPathSeparator; }
