// Writing the bitmaps of a loaded movie into its "<movie>_res" folder.
#pragma once

#include <cstdint>
#include <string>

#include "swf/naming.h"  // the file names of the bitmaps

struct Swf;
struct SwfTag;

struct ExtractCounts {
    uint32_t written = 0;        // files written
    uint32_t skipped = 0;        // bitmaps refused for bad data
    uint32_t failed_writes = 0;  // bitmaps whose file could not be written
};

// Walks the tag list and writes every bitmap it can into `folder` (created before each
// file unless it exists); by_name selects class names (else ids) for the files. Prints
// "------------swf_saveimg done--------------" last.
ExtractCounts swf_extract(Swf* swf, const std::string& folder, uint8_t by_name);

// swf_extract into the folder beside the movie ("<movie>_res").
void swf_saveimg(Swf* swf, uint8_t by_name);

// The class name the movie gives the character, else its decimal id.
std::string swf_symbol_name(const Swf* swf, uint16_t id);

// "<folder>/<name><extension>" for one bitmap, with the class name made a safe file
// name by sanitize_file_name so no name reaches outside the folder. A name too long
// for the file system falls back to the id, with a line. Empty when even that does
// not fit the platform's path limit.
std::string bitmap_file_path(const Swf* swf, const std::string& folder, uint16_t id, uint8_t by_name,
                             const char* extension);

// Replaces the bytes the file system refuses in a name (separators included) by "_",
// leaving the trail bytes of GBK pairs alone, and puts "_" before a device name.
std::string sanitize_file_name(std::string name);
