#include "cli/json_lines.h"

#include "cli/driver.h"
#include "swf/extract.h"

namespace {

// Length of the well-formed UTF-8 sequence at text[at]; 0 when none starts there.
size_t utf8_sequence(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = lead == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    return length;
}

void append_quoted(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at);
        const auto c = static_cast<unsigned char>(text[at]);
        if (length == 0) {
            out += "\\ufffd";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out.append(text.substr(at, length));
        }
        at += length;
    }
    out += '"';
}

std::string hex_of(std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const char c : text) {
        hex += kHex[static_cast<unsigned char>(c) >> 4];
        hex += kHex[static_cast<unsigned char>(c) & 15];
    }
    return hex;
}

}  // namespace

bool is_valid_utf8(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        const size_t length = utf8_sequence(text, at);
        if (length == 0)
            return false;
        at += length;
    }
    return true;
}

void JsonObject::key(std::string_view name)
{
    out_ += out_.empty() ? "{" : ",";
    append_quoted(out_, name);
    out_ += ':';
}

JsonObject& JsonObject::add(std::string_view name, std::string_view text)
{
    key(name);
    append_quoted(out_, text);
    if (!is_valid_utf8(text)) {
        key(std::string(name) + "_hex");
        append_quoted(out_, hex_of(text));
    }
    return *this;
}

JsonObject& JsonObject::add(std::string_view name, const char* text)
{
    return text == nullptr ? add_null(name) : add(name, std::string_view(text));
}

JsonObject& JsonObject::add_number(std::string_view name, uint64_t number)
{
    key(name);
    out_ += std::to_string(number);
    return *this;
}

JsonObject& JsonObject::add_bool(std::string_view name, bool value)
{
    key(name);
    out_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::add_null(std::string_view name)
{
    key(name);
    out_ += "null";
    return *this;
}

std::string json_bitmap_line(std::string_view movie, const BitmapPlan& bitmap, const char* status,
                             std::string_view reason)
{
    JsonObject object;
    object.add("movie", movie)
        .add_number("id", bitmap.facts.id)
        .add("name", bitmap.class_name)
        .add("kind", bitmap_kind_name(bitmap.facts.kind))
        .add_bool("alpha", bitmap.facts.alpha)
        .add_number("width", bitmap.facts.width)
        .add_number("height", bitmap.facts.height)
        .add_number("bytes", bitmap.facts.stored_bytes);
    if (bitmap.path.empty())
        object.add_null("file");
    else
        object.add("file", bitmap.path);
    if (status != nullptr) {
        object.add("status", status);
        if (!reason.empty())
            object.add("reason", reason);
    }
    return object.text();
}

std::string json_refused_movie_line(std::string_view movie, std::string_view reason)
{
    return JsonObject().add("movie", movie).add("status", "refused").add("reason", reason).text();
}

std::string json_summary_line(const RunTotals& totals, bool listing, int exit_status)
{
    JsonObject object;
    object.add_bool("summary", true)
        .add_number("movies_read", totals.movies_read)
        .add_number("movies_refused", totals.movies_refused);
    if (listing) {
        object.add_number("bitmaps_listed", totals.bitmaps_listed);
    } else {
        object.add_number("bitmaps_written", totals.bitmaps_written)
            .add_number("bitmaps_skipped", totals.bitmaps_skipped)
            .add_number("files_not_written", totals.failed_writes);
    }
    return object.add_number("exit_status", static_cast<uint64_t>(exit_status)).text();
}
