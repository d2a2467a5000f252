// Writing a movie back to disk as "FWS", "CWS" (zlib) or "ZWS" (LZMA).
#pragma once

#include <cstdint>

#include "support/fault.h"

struct Stream;
struct Swf;
struct SwfTag;

// The uncompressed file length: header, frame header and every tag record.
// Prints "tagnum:%d". Fault::too_large (with a line) when the movie would reach 1 GiB.
Result<uint32_t> swf_size(Swf* swf);

// Appends one tag record in its shortest form at the stream's position.
void swf_write_tag(Stream* stream, const SwfTag* tag);

// The whole file in the container 'F' (FWS), 'C' (CWS) or 'Z' (ZWS) into `file`, whose
// old contents are dropped; prints the lines the savers below print. Fault::too_large (with
// a line) when the movie or its compressed body would reach the buffer limit: no buffer is
// ever asked for at or past it.
Fault swf_build_file(Swf* swf, char container, Stream* file);

// Output room for the compressor of container 'C' or 'Z' and a body of `body_length`
// bytes: the codec's worst case, cut so that header and output stay below the buffer limit.
uint32_t swf_compressed_capacity(char container, uint32_t body_length);

// Each writes the file whole or not at all (through a temporary, never through a link).
// A fault (with a line) when it was not written: io_error when the system refused it.
Fault swf_save_fws(Swf* swf, const char* path);
Fault swf_save(Swf* swf, const char* path);
Fault swf_save_zws(Swf* swf, const char* path);
