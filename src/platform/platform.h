// Everything that touches the operating system goes through this module.
// The POSIX implementation lives in platform_posix.cpp.
#pragma once

#include <cstddef>

inline constexpr char kPathSeparator = '/';

bool platform_exists(const char* path);    // anything (file or folder) under that name
bool platform_readable(const char* path);  // read permission granted
bool platform_make_dir(const char* path);  // true when created; no shell involved

// Prints the prompt and waits for one key on a terminal; returns at once without one.
void platform_pause();
