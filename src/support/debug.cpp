#include "support/debug.h"

#include <cstdarg>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace {

// A process has one standard output, and what decides how lines reach it belongs to the
// process too: quiet mode and records-only mode, set once at start-up from the command
// line; the display that steps aside before a line (the progress bar); the heading quiet
// mode holds back until a problem line needs it. Only the thread that prints touches it:
// worker threads keep their lines in a DebugCapture and hand them over.
struct Console {
    bool quiet = false;
    bool records_only = false;
    void (*before_output)(void*) = nullptr;
    void* before_output_context = nullptr;
    std::string held_heading;
};
Console console;

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

// Lines are UTF-8 inside (captures, debug_last_problem) and become console text as they are
// printed; records (JSON Lines) stay UTF-8.
void emit(const std::string& text, std::FILE* stream = stdout, bool console_text = true)
{
    if (console.before_output != nullptr)
        console.before_output(console.before_output_context);
    const std::string printed = console_text ? platform_console_text(text, '?') : text;
    std::fwrite(printed.data(), 1, printed.size(), stream);
}

// What is printed instead of a line that could not be formatted or kept for lack of memory.
// It needs no memory itself; it goes out at once, so with several workers it may come
// early, which is better than a run that ends without saying why.
void emit_lost_line()
{
    static constexpr char kLost[] = "[DEBUG] debug:0 <debug_print>: out of memory; a line could not be printed\n";
    std::fwrite(kLost, 1, sizeof kLost - 1, stdout);
}

// The innermost capture of this thread, if any: each thread decides for itself whether its
// lines are kept, so this is per thread by nature.
thread_local DebugCapture* capture = nullptr;

// Prints or holds back one finished piece of output according to its kind.
void route(DebugKind kind, std::string text)
{
    if (capture != nullptr) {
        try {
            capture->keep(kind, std::move(text));
        } catch (const std::bad_alloc&) {
            emit_lost_line();
        }
        return;
    }
    if (!console.quiet && !console.records_only) {
        emit(text, stdout, kind != DebugKind::record);
        return;
    }
    std::FILE* problems = console.records_only ? stderr : stdout;
    switch (kind) {
    case DebugKind::progress: break;
    case DebugKind::heading: console.held_heading = std::move(text); break;
    case DebugKind::problem:
        if (!console.held_heading.empty()) {
            if (console.records_only)
                std::fflush(stdout);
            emit(console.held_heading, problems);
        }
        console.held_heading.clear();
        emit(text, problems);
        break;
    case DebugKind::record: emit(text, stdout, false); break;
    }
}

// Messages and their %s arguments (paths, names) are UTF-8.
void vprint_line(DebugKind kind, const char* file, int line, const char* function, const char* format, va_list args)
{
    try {
        std::string text = "[DEBUG] " + std::string(file) + ":" + std::to_string(line) + " <" + function + ">: ";
        text += printable_text(format_text(format, args));
        text += '\n';
        route(kind, std::move(text));
    } catch (const std::bad_alloc&) {
        emit_lost_line();
    }
}

}  // namespace

DebugCapture::DebugCapture() : outer_(capture) { capture = this; }

DebugCapture::~DebugCapture() { capture = outer_; }

void debug_emit(DebugLines lines)
{
    for (DebugEntry& entry : lines)
        route(entry.kind, std::move(entry.text));
}

std::string debug_last_problem(const DebugLines& lines)
{
    auto last = lines.rbegin();
    while (last != lines.rend() && last->kind != DebugKind::problem)
        ++last;
    if (last == lines.rend())
        return {};
    std::string_view text = last->text;
    if (text.rfind("[DEBUG] ", 0) == 0) {
        const size_t end = text.find(">: ");
        if (end != std::string_view::npos)
            text.remove_prefix(end + 3);
    }
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    return std::string(text);
}

void debug_set_quiet(bool on)
{
    console.quiet = on;
    console.held_heading.clear();
}

bool debug_quiet() { return console.quiet; }

void debug_set_records_only(bool on)
{
    console.records_only = on;
    console.held_heading.clear();
}

void debug_record(std::string text)
{
    text += '\n';
    route(DebugKind::record, std::move(text));
}

void debug_set_before_output(void (*hook)(void* context), void* context)
{
    console.before_output = hook;
    console.before_output_context = context;
}

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
    vprint_line(DebugKind::progress, file, line, function, format, args);
    va_end(args);
}

std::string printable_text(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
            continue;
        }
        constexpr char kHex[] = "0123456789abcdef";
        out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 15]};
    }
    return out;
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
