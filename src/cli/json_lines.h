// JSON Lines for scripts (--json): one object a line, strict JSON (RFC 8259).
//
// Strings are UTF-8. Text that is not valid UTF-8 (a class name or a POSIX file name as the
// movie or the disk holds it) cannot be said in JSON losslessly, so its field carries the
// text with U+FFFD for each bad byte and a second field, the key with "_hex" added, carries
// every byte in hexadecimal.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct BitmapPlan;
struct RunTotals;

class JsonObject {
public:
    JsonObject& add(std::string_view key, std::string_view text);
    JsonObject& add(std::string_view key, const char* text);  // null writes null
    JsonObject& add_number(std::string_view key, uint64_t number);
    JsonObject& add_bool(std::string_view key, bool value);
    JsonObject& add_null(std::string_view key);
    // The object's text, without a line feed.
    std::string text() const { return out_.empty() ? "{}" : out_ + "}"; }

private:
    void key(std::string_view name);
    std::string out_;
};

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF).
bool is_valid_utf8(std::string_view text);

// The objects of a run. Paths, messages and class names are UTF-8 inside the program on
// every system and are written as they are.

// One bitmap of `movie` (the file's path, or "<holder>#<id>" for a movie inside one).
// `status` is null with --list; `reason` says why a bitmap was not written.
std::string json_bitmap_line(std::string_view movie, const BitmapPlan& bitmap, const char* status,
                             std::string_view reason);
// A movie that could not be read.
std::string json_refused_movie_line(std::string_view movie, std::string_view reason);
// The last line of a run.
std::string json_summary_line(const RunTotals& totals, bool listing, int exit_status);
