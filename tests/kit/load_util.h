// Loading movies from memory in tests, with the debug lines captured.
#pragma once

#include <string>
#include <vector>

#include "swf/swf.h"
#include "swf_builder.h"

namespace testkit {

struct Loaded {
    SwfPtr swf;
    std::vector<std::string> lines;
};

Loaded load_movie(const swfkit::Bytes& file, const char* path = "movie.swf");

// The message part of a debug line, after "<function>: ".
std::string debug_message(const std::string& line);

// A message given here in GBK (the program's Chinese texts) as this build prints it: the
// same characters in UTF-8 on POSIX, the GBK itself on Windows (code page 936).
std::string printed_text(const std::string& gbk);

}  // namespace testkit
