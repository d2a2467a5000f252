// The one place that formats diagnostic lines: "[DEBUG] file:line <function>: message\n".
// Every line of the tools' progress output goes through here. A line that cannot be
// formatted for lack of memory is replaced by a fixed one; printing never ends the program.
//
// Lines come in three kinds. Progress lines tell what is being done; problem lines report a
// refused movie, a skipped bitmap or a file that could not be written; a heading line names
// the movie the lines after it belong to. In quiet mode only problem lines are printed, each
// group led by the heading it belongs to, so a user still sees which movie had the problem.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

// mingw's printf takes the C99 formats ("%zu") and GCC checks them as gnu_printf there;
// clang knows only printf.
#if defined(__MINGW32__)
#define PIXSIEVE_PRINTF_FORMAT gnu_printf
#else
#define PIXSIEVE_PRINTF_FORMAT printf
#endif

#define PIXSIEVE_PRINTF(format_at, args_at) __attribute__((format(PIXSIEVE_PRINTF_FORMAT, format_at, args_at)))

// A record is a line of the run's results (a listing, JSON): always on standard output.
enum class DebugKind { progress, problem, heading, record };

// Set once at start-up, before any line is printed.
void debug_set_quiet(bool quiet);
bool debug_quiet();
// Records only on standard output: progress lines are dropped, and problem lines, each
// group led by its heading, go to standard error. Set once at start-up.
void debug_set_records_only(bool records_only);

// Prints one record (text without its line feed) as is.
void debug_record(std::string text);

// `hook(context)` is called before anything is printed to standard output, so a progress
// display on the same terminal can clear itself first. A null hook for none.
void debug_set_before_output(void (*hook)(void* context), void* context);

// `format` and its %s arguments (paths, names) are UTF-8; the line is printed as console
// text (platform_console_text).
// `file` is the module's short name as it appears in the line ("swf", "stream", ...).
void debug_print(DebugKind kind, const char* file, int line, const char* function, const char* format, ...)
    PIXSIEVE_PRINTF(5, 6);
void debug_line(const char* file, int line, const char* function, const char* format, ...) PIXSIEVE_PRINTF(4, 5);

// Control bytes (C0 and DEL) in a line come from names (class names, movie paths); printed
// raw they would move the cursor, clear the screen or fake a line, so every line shows them
// as "\x1b". Other bytes pass unchanged.
std::string printable_text(std::string_view text);

#define DEBUG_LINE(file, ...) debug_line((file), __LINE__, __func__, __VA_ARGS__)
#define DEBUG_PROBLEM(file, ...) debug_print(DebugKind::problem, (file), __LINE__, __func__, __VA_ARGS__)
#define DEBUG_HEADING(file, ...) debug_print(DebugKind::heading, (file), __LINE__, __func__, __VA_ARGS__)

// For a line that belongs to a named operation but is printed by one of its helpers.
#define DEBUG_LINE_IN(file, function, ...) debug_line((file), __LINE__, (function), __VA_ARGS__)
#define DEBUG_PROBLEM_IN(file, function, ...) debug_print(DebugKind::problem, (file), __LINE__, (function), __VA_ARGS__)

// Lines kept instead of printed, with their kinds, so one thread can print them later in
// the order the run needs.
struct DebugEntry {
    DebugKind kind;
    std::string text;
};
using DebugLines = std::vector<DebugEntry>;

// While one lives, the lines this thread prints are kept in it instead of going to standard
// output; worker threads run inside one. Captures nest: the innermost one keeps the lines.
class DebugCapture {
public:
    DebugCapture();
    ~DebugCapture();
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    void keep(DebugKind kind, std::string text) { lines_.push_back({kind, std::move(text)}); }
    DebugLines take() { return std::move(lines_); }

private:
    DebugLines lines_;
    DebugCapture* outer_;
};

// The message of the last problem line among kept lines, without the "[DEBUG] file:line
// <function>: " prefix and the line feed; empty when there is none.
std::string debug_last_problem(const DebugLines& lines);

// Prints kept lines as if they were printed now (into this thread's capture, if any), with
// quiet mode applied at that point.
void debug_emit(DebugLines lines);

// Prints a UTF-8 text and a line feed on standard output, as console text.
void console_line(const char* utf8);
// Prints formatted UTF-8 text (no line feed added) on `stream`, as console text.
void console_print(std::FILE* stream, const char* format, ...) PIXSIEVE_PRINTF(2, 3);
void console_vprint(std::FILE* stream, const char* format, va_list args);
