// Loading a movie from memory and writing every bitmap it holds, as the tool does.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "fuzz_util.h"
#include "swf/extract.h"
#include "swf/swf.h"

FUZZ_SETUP(swf_extract)

FUZZ_TARGET(swf_extract)
{
    if (size >= (1u << 30))
        return 0;
    std::string path = fuzz_scratch() + "/movie.swf";
    // swf_read only reads the source; libFuzzer's copy is exactly `size` bytes long,
    // so a read past it is caught.
    Stream source{const_cast<uint8_t*>(data), 0, static_cast<uint32_t>(size), 0};
    SwfPtr swf(swf_read(&source, path.c_str()));
    if (swf) {
        fuzz_skip_huge_bitmaps(swf.get());
        std::filesystem::create_directory(path + "_res");
        swf_saveimg(swf.get(), 1);
    }
    fuzz_clean_scratch();
    return 0;
}
