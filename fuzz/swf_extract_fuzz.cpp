// Loading a movie from memory and writing every bitmap it holds, as the tool does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_util.h"
#include "swf/extract.h"
#include "swf/res_folder.h"
#include "swf/swf.h"

FUZZ_SETUP(swf_extract)

namespace {

// Files and the folders of movies inside the movie ("NAME.swf_res"), nothing else.
void check_folder(const std::filesystem::path& res)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(res, ec)) {
        const std::string name = entry.path().filename().string();
        const bool inner = name.size() > 8 && name.ends_with(".swf_res") && entry.is_directory(ec) &&
                           !entry.is_symlink(ec);
        if (inner)
            check_folder(entry.path());
        else if (!entry.is_regular_file(ec))
            std::abort();
    }
}

// Whatever the class names say, the files land in the movie's folder: the scratch folder
// holds that folder alone.
void check_confined(const std::filesystem::path& res)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(fuzz_scratch(), ec))
        if (entry.path() != res)
            std::abort();
    check_folder(res);
}

}  // namespace

FUZZ_TARGET(swf_extract)
{
    if (size >= (1u << 30))
        return false;
    std::string path = fuzz_scratch() + "/movie.swf";
    // swf_read only reads the source; libFuzzer's copy is exactly `size` bytes long,
    // so a read past it is caught.
    Stream source{const_cast<uint8_t*>(data), 0, static_cast<uint32_t>(size), 0};
    SwfPtr swf(swf_read(&source, path.c_str()));
    if (swf) {
        fuzz_skip_huge_bitmaps(swf.get());
        std::filesystem::create_directory(res_dir_path(path));
        swf_saveimg(swf.get(), 1);
        check_confined(res_dir_path(path));
    }
    fuzz_clean_scratch();
    return swf != nullptr;
}
