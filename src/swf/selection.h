// Which bitmaps a run takes: character ids ("12,40-45") and shell-style patterns on the
// class name. A bitmap is taken when any selector matches it; without selectors, all are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct BitmapSelector {
    std::string shown;                               // as the user wrote it ("--id 12,40-45")
    std::vector<std::pair<uint16_t, uint16_t>> ids;  // inclusive ranges; empty for a name pattern
    std::string pattern;                             // the class-name pattern; empty for ids
};

struct BitmapSelection {
    std::vector<BitmapSelector> selectors;

    bool takes_all() const { return selectors.empty(); }
    // Marks in `matched` (one flag per selector) every selector that takes the bitmap;
    // true when one does. `name` is null for a bitmap without a class name.
    bool take(uint16_t id, const std::string* name, std::vector<bool>* matched) const;
};

// Adds "--id LIST"; false when LIST is not ids and ranges from 0 to 65535 separated by commas.
bool selection_add_ids(BitmapSelection* selection, std::string_view list);
// Adds "--name PATTERN" (UTF-8, as class names are stored); false when the pattern is empty.
bool selection_add_name(BitmapSelection* selection, std::string_view pattern);

// Shell-style matching: "*" any run, "?" one character (a whole UTF-8 sequence), "[...]"
// one byte of a set ("[!...]" or "[^...]" not of it, "a-z" ranges), "\" takes the next
// byte literally.
bool glob_match(std::string_view pattern, std::string_view text);
