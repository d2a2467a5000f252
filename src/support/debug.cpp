#include "support/debug.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace {

bool quiet = false;
void (*before_output)() = nullptr;
// Quiet mode holds the last heading back until a problem line needs it.
std::string held_heading;

std::string format_text(const char* format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return {};
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.pop_back();
    return text;
}

void emit(const std::string& text)
{
    if (before_output != nullptr)
        before_output();
    std::fwrite(text.data(), 1, text.size(), stdout);
}

thread_local DebugCapture* capture = nullptr;

// Prints or holds back one finished piece of output according to its kind.
void route(DebugKind kind, std::string text)
{
    if (capture != nullptr) {
        capture->keep(kind, std::move(text));
        return;
    }
    if (!quiet) {
        emit(text);
        return;
    }
    switch (kind) {
    case DebugKind::Progress: break;
    case DebugKind::Heading: held_heading = std::move(text); break;
    case DebugKind::Problem:
        if (!held_heading.empty())
            emit(held_heading);
        held_heading.clear();
        emit(text);
        break;
    }
}

// Messages and their %s arguments (paths, names) are UTF-8; the whole line leaves the
// program as console text.
void vprint_line(DebugKind kind, const char* file, int line, const char* function, const char* format, va_list args)
{
    std::string text = "[DEBUG] " + std::string(file) + ":" + std::to_string(line) + " <" + function + ">: ";
    text += platform_console_text(format_text(format, args), '?');
    text += '\n';
    route(kind, std::move(text));
}

}  // namespace

DebugCapture::DebugCapture() : outer_(capture) { capture = this; }

DebugCapture::~DebugCapture() { capture = outer_; }

void debug_emit(DebugLines lines)
{
    for (DebugEntry& entry : lines)
        route(entry.kind, std::move(entry.text));
}

void debug_set_quiet(bool on)
{
    quiet = on;
    held_heading.clear();
}

bool debug_quiet() { return quiet; }

void debug_set_before_output(void (*hook)()) { before_output = hook; }

void debug_print(DebugKind kind, const char* file, int line, const char* function, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprint_line(kind, file, line, function, format, args);
    va_end(args);
}

void debug_line(const char* file, int line, const char* function, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprint_line(DebugKind::Progress, file, line, function, format, args);
    va_end(args);
}

void debug_text(DebugKind kind, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = platform_console_text(format_text(format, args), '?');
    va_end(args);
    route(kind, std::move(text));
}

void console_line(const char* utf8) { std::puts(platform_console_text(utf8, '?').c_str()); }

void console_vprint(std::FILE* stream, const char* format, va_list args)
{
    const std::string text = platform_console_text(format_text(format, args), '?');
    std::fwrite(text.data(), 1, text.size(), stream);
}

void console_print(std::FILE* stream, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    console_vprint(stream, format, args);
    va_end(args);
}
