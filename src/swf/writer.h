// Writing a movie back to disk as "FWS", "CWS" (zlib) or "ZWS" (LZMA).
#pragma once

#include <cstdint>

struct Stream;
struct Swf;
struct SwfTag;

// The uncompressed file length: header, frame header and every tag record.
// Prints "tagnum:%d". 0 when the movie would reach 1 GiB (with a line).
uint32_t swf_size(Swf* swf);

// Appends one tag record in its shortest form at the stream's position.
void swf_write_tag(Stream* stream, const SwfTag* tag);

// Each returns 1 when the file was written, 0 (with a line) when it was not.
int swf_save_fws(Swf* swf, const char* path);
int swf_save(Swf* swf, const char* path);
int swf_save_zws(Swf* swf, const char* path);
