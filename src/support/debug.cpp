#include "support/debug.h"

#include <cstdarg>
#include <cstdio>

void debug_line(const char* file, int line, const char* function, const char* format, ...)
{
    std::printf("[DEBUG] %s:%d <%s>: ", file, line, function);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
}
