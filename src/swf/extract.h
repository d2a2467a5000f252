// Writing the bitmaps of a loaded movie into its "<movie>_res" folder.
#pragma once

#include <cstdint>
#include <string>

struct Swf;
struct SwfTag;

// Walks the tag list and writes every bitmap it can; by_name selects class names
// (else ids) for the files. Prints "------------swf_saveimg done--------------" last.
// Returns how many bitmaps could not be written (a malformed bitmap, skipped with a
// line, is not counted: there was nothing to write).
uint32_t swf_saveimg(Swf* swf, uint8_t by_name);

// Each writes one bitmap; false when its file could not be written (with a line).
bool read_lossless(Swf* swf, SwfTag* tag, uint8_t by_name);  // codes 20 and 36
bool read_bits(Swf* swf, SwfTag* tag, uint8_t by_name);      // codes 6, 21 and 35

// The class name the movie gives the character, else its decimal id.
std::string swf_symbol_name(const Swf* swf, uint16_t id);

// "<folder>/<name><extension>" for one bitmap, with the class name made a safe file
// name by sanitize_file_name so no name reaches outside the folder. A name too long
// for the file system falls back to the id, with a line. Empty when even that does
// not fit the platform's path limit.
std::string bitmap_file_path(const Swf* swf, const std::string& folder, uint16_t id,
                             uint8_t by_name, const char* extension);

// Replaces the bytes the file system refuses in a name (separators included) by "_",
// leaving the trail bytes of GBK pairs alone, and puts "_" before a device name.
std::string sanitize_file_name(std::string name);
