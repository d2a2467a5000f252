// Sums the sizes of the 8-bit R, G, B, A PNG files pixsieve writes and of the same
// pictures as libpng writes them with its defaults, for the end-to-end byte count.
// Usage: png-resave FILE...   prints: FILES OUR_BYTES LIBPNG_BYTES
#include <cstdio>
#include <filesystem>
#include <vector>

#include "libpng_writer.h"
#include "png_oracle.h"

int main(int argc, char** argv)
{
    unsigned long files = 0, ours = 0, theirs = 0;
    std::vector<uint8_t> out;
    for (int i = 1; i < argc; ++i) {
        oracle::Rgba picture = oracle::read_png_file(argv[i]);
        if (!picture.ok)
            continue;
        const size_t resaved = bench::libpng_write(picture.pixels, picture.width, picture.height, out);
        if (resaved == 0)
            continue;
        ++files;
        ours += std::filesystem::file_size(argv[i]);
        theirs += resaved;
    }
    std::printf("%lu %lu %lu\n", files, ours, theirs);
    return 0;
}
