#include "swf/selection.h"

#include <charconv>

namespace {

bool parse_id(std::string_view text, uint16_t* id)
{
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > 0xFFFF)
        return false;
    *id = static_cast<uint16_t>(value);
    return true;
}

bool parse_range(std::string_view item, std::pair<uint16_t, uint16_t>* range)
{
    const size_t dash = item.find('-');
    if (dash == std::string_view::npos) {
        if (!parse_id(item, &range->first))
            return false;
        range->second = range->first;
        return true;
    }
    return parse_id(item.substr(0, dash), &range->first) && parse_id(item.substr(dash + 1), &range->second) &&
           range->first <= range->second;
}

// Bytes of the UTF-8 sequence starting at `at` (1 for a stray byte).
size_t character_length(std::string_view text, size_t at)
{
    size_t end = at + 1;
    if (static_cast<unsigned char>(text[at]) >= 0xC0)
        while (end < text.size() && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
            ++end;
    return end - at;
}

// Matches the set starting after "[" at pattern[at] against byte `c`; sets *end past "]".
// False, with *end at npos, when the set is not closed (the "[" is then a plain byte).
bool set_matches(std::string_view pattern, size_t at, unsigned char c, size_t* end)
{
    const bool negated = at < pattern.size() && (pattern[at] == '!' || pattern[at] == '^');
    size_t i = negated ? at + 1 : at;
    bool found = false;
    for (bool first = true; i < pattern.size() && (first || pattern[i] != ']'); first = false) {
        const auto low = static_cast<unsigned char>(pattern[i]);
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            found |= c >= low && c <= static_cast<unsigned char>(pattern[i + 2]);
            i += 3;
        } else {
            found |= c == low;
            ++i;
        }
    }
    if (i >= pattern.size()) {
        *end = std::string_view::npos;
        return false;
    }
    *end = i + 1;
    return found != negated;
}

}  // namespace

bool BitmapSelection::take(uint16_t id, const std::string* name, std::vector<bool>* matched) const
{
    bool taken = false;
    for (size_t i = 0; i < selectors.size(); ++i) {
        const BitmapSelector& s = selectors[i];
        bool hit = false;
        for (const auto& [first, last] : s.ids)
            hit |= id >= first && id <= last;
        if (!s.pattern.empty() && name != nullptr)
            hit = glob_match(s.pattern, *name);
        if (hit)
            (*matched)[i] = true;
        taken |= hit;
    }
    return taken;
}

bool selection_add_ids(BitmapSelection* selection, std::string_view list)
{
    BitmapSelector selector{"--id " + std::string(list), {}, {}};
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        std::pair<uint16_t, uint16_t> range;
        if (!parse_range(list.substr(start, comma == std::string_view::npos ? comma : comma - start), &range))
            return false;
        selector.ids.push_back(range);
        if (comma == std::string_view::npos)
            break;
        start = comma + 1;
    }
    selection->selectors.push_back(std::move(selector));
    return true;
}

bool selection_add_name(BitmapSelection* selection, std::string_view pattern)
{
    if (pattern.empty())
        return false;
    selection->selectors.push_back({"--name " + std::string(pattern), {}, std::string(pattern)});
    return true;
}

bool glob_match(std::string_view pattern, std::string_view text)
{
    // Greedy with one backtrack point: the last "*" seen and where its run ended.
    size_t p = 0, t = 0;
    size_t star = std::string_view::npos, star_text = 0;
    while (t < text.size()) {
        size_t next_p = std::string_view::npos, next_t = t + 1;
        if (p < pattern.size()) {
            const char c = pattern[p];
            size_t end = 0;
            if (c == '*') {
                star = ++p;
                star_text = t;
                continue;
            }
            if (c == '?') {
                next_p = p + 1;
                next_t = t + character_length(text, t);
            } else if (c == '[' && set_matches(pattern, p + 1, static_cast<unsigned char>(text[t]), &end)) {
                next_p = end;
            } else if (c == '[' && end != std::string_view::npos) {
                // a closed set that does not match
            } else if (c == '\\' && p + 1 < pattern.size()) {
                if (pattern[p + 1] == text[t])
                    next_p = p + 2;
            } else if (c == text[t]) {
                next_p = p + 1;
            }
        }
        if (next_p != std::string_view::npos) {
            p = next_p;
            t = next_t;
        } else if (star != std::string_view::npos) {
            p = star;
            t = ++star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}
