// The one place that formats diagnostic lines: "[DEBUG] file:line <function>: message\n".
#pragma once

// `file` is the module's short name as it appears in the line ("swf", "stream", ...).
// gnu_printf: the C99 formats ("%zu") on Windows too, where the build uses mingw's printf.
void debug_line(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(gnu_printf, 4, 5)));

#define DEBUG_LINE(file, ...) debug_line((file), __LINE__, __func__, __VA_ARGS__)

// For a line that belongs to a named operation but is printed by one of its helpers.
#define DEBUG_LINE_IN(file, function, ...) debug_line((file), __LINE__, (function), __VA_ARGS__)
