#include "support/debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"

// Messages are UTF-8 in the source; they leave the program in the system's encoding. The
// %s arguments (paths, file names) are already in it, so only the format is converted.
void debug_line(const char* file, int line, const char* function, const char* format, ...)
{
    const std::string native_format = platform_native_text(format, '?');
    std::printf("[DEBUG] %s:%d <%s>: ", file, line, function);
    va_list args;
    va_start(args, format);
    std::vprintf(native_format.c_str(), args);
    va_end(args);
    std::putchar('\n');
}

void console_line(const char* utf8) { std::puts(platform_native_text(utf8, '?').c_str()); }
