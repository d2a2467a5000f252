// The one place that formats diagnostic lines: "[DEBUG] file:line <function>: message\n".
#pragma once

// mingw's printf takes the C99 formats ("%zu") and GCC checks them as gnu_printf there;
// clang knows only printf.
#if defined(__MINGW32__)
#define PIXSIEVE_PRINTF_FORMAT gnu_printf
#else
#define PIXSIEVE_PRINTF_FORMAT printf
#endif

// `format` is UTF-8, printed in the system's encoding; %s arguments are already in that
// encoding (paths as the system gave them, file names as created).
// `file` is the module's short name as it appears in the line ("swf", "stream", ...).
void debug_line(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(PIXSIEVE_PRINTF_FORMAT, 4, 5)));

#define DEBUG_LINE(file, ...) debug_line((file), __LINE__, __func__, __VA_ARGS__)

// For a line that belongs to a named operation but is printed by one of its helpers.
#define DEBUG_LINE_IN(file, function, ...) debug_line((file), __LINE__, (function), __VA_ARGS__)

// Prints a UTF-8 text and a line feed on standard output, in the system's encoding.
void console_line(const char* utf8);
