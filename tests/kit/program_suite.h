// What every suite that runs the programs names: the movie builder's types, the runner and
// the program under test.
#pragma once

#include <filesystem>
#include <string>

#include "swf_builder.h"
#include "test_util.h"

namespace program_suite {

namespace fs = std::filesystem;
using swfkit::Bytes;
using swfkit::Container;
using testkit::run_program;

inline const std::string kTool = testkit::tool();

}  // namespace program_suite
