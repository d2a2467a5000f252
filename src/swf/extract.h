// Writing the bitmaps of a loaded movie into its "<movie>_res" folder.
#pragma once

#include <cstdint>
#include <string>

#include "swf/naming.h"  // the file names of the bitmaps

struct Swf;
struct SwfTag;

// Walks the tag list and writes every bitmap it can; by_name selects class names
// (else ids) for the files. Prints "------------swf_saveimg done--------------" last.
void swf_saveimg(Swf* swf, uint8_t by_name);

void read_lossless(Swf* swf, SwfTag* tag, uint8_t by_name);  // codes 20 and 36
void read_bits(Swf* swf, SwfTag* tag, uint8_t by_name);      // codes 6, 21 and 35
