// Editing a loaded movie: replacing a bitmap from a picture file, shrinking lossless
// bitmaps to JPEG, then saving and loading the result again.
//
// Input: one flag byte, a 32-bit little-endian picture length, the picture, the movie.
// Flag bit 0 names the picture "<id>.jpg" instead of "<id>.png"; bit 1 runs swf_small;
// bits 2-7 pick the container the movie is saved in: FWS or CWS by halves, LZMA (whose
// encoder sets up a 16 MiB dictionary, some 150 MiB of tables, per call) one time in 64.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "codec/image.h"
#include "fuzz_util.h"
#include "swf/edit.h"
#include "swf/res_folder.h"
#include "swf/swf.h"
#include "swf/writer.h"

FUZZ_SETUP(swf_edit)

namespace {

constexpr size_t kPrefix = 5;

bool is_bitmap(uint16_t code)
{
    return code == kTagDefineBits || code == kTagDefineBitsJpeg2 || code == kTagDefineBitsJpeg3 ||
           code == kTagDefineBitsLossless || code == kTagDefineBitsLossless2;
}

// The picture goes where swf_replace looks for the first bitmap of the movie.
void place_picture(Swf* swf, const uint8_t* picture, size_t size, bool as_jpeg)
{
    for (SwfTag* tag : swf_tags(swf)) {
        if (!is_bitmap(tag->code) || tag->body.size() < 2)
            continue;
        unsigned id = tag->body[0] | unsigned{tag->body[1]} << 8;
        std::string path = res_dir_path(swf->path) + "/" + std::to_string(id) + (as_jpeg ? ".jpg" : ".png");
        std::filesystem::create_directory(res_dir_path(swf->path));
        if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fwrite(picture, 1, size, f);
            std::fclose(f);
        }
        return;
    }
}

// Whether the movie loaded and was saved.
bool edit_movie(const uint8_t* data, size_t size)
{
    uint8_t flags = data[0];
    uint32_t picture_size = data[1] | uint32_t{data[2]} << 8 | uint32_t{data[3]} << 16 | uint32_t{data[4]} << 24;
    if (picture_size > size - kPrefix)
        return false;
    const uint8_t* picture = data + kPrefix;
    const uint8_t* movie = picture + picture_size;
    size_t movie_size = size - kPrefix - picture_size;

    std::string path = fuzz_scratch() + "/movie.swf";
    Stream source{const_cast<uint8_t*>(movie), 0, static_cast<uint32_t>(movie_size), 0};
    SwfPtr swf(swf_read(&source, path.c_str()));
    if (!swf)
        return false;
    fuzz_skip_huge_bitmaps(swf.get());
    place_picture(swf.get(), picture, picture_size, flags & 1);
    ImageContext images;
    swf_replace(swf.get(), &images);
    if (flags & 2)
        swf_small(swf.get());

    std::string out = fuzz_scratch() + "/out.swf";
    Fault saved = Fault::none;
    unsigned container = flags >> 2;
    if (container < 32)
        saved = swf_save_fws(swf.get(), out.c_str());
    else if (container < 63)
        saved = swf_save(swf.get(), out.c_str());
    else
        saved = swf_save_zws(swf.get(), out.c_str());
    // Whatever the edits did, a movie we wrote must load again.
    if (saved == Fault::none && !SwfPtr(swf_readfile(out.c_str())))
        std::abort();
    return saved == Fault::none;
}

}  // namespace

FUZZ_TARGET(swf_edit)
{
    if (size < kPrefix || size >= (1u << 30))
        return false;
    const bool saved = edit_movie(data, size);
    fuzz_clean_scratch();
    return saved;
}
