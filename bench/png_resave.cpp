// Sums the sizes of the 8-bit PNG files pixsieve writes (palette, RGB or RGBA) and of the
// same pictures as libpng writes them with its defaults at the same colour types, for the
// end-to-end byte count.
// Usage: png-resave FILE...   prints: FILES OUR_BYTES LIBPNG_BYTES
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "libpng_writer.h"

namespace {

// What libpng reads of one file; filled inside the longjmp region through this pointer.
struct Stored {
    bench::Picture picture;
    std::vector<uint8_t> pixels;
    std::vector<png_bytep> rows;
};

// The header, palette and alpha table into `s`; false for anything but 8-bit palette, RGB
// and RGBA pictures.
[[gnu::noinline]] bool take_header(png_structp png, png_infop info, Stored* s)
{
    bench::Picture& p = s->picture;
    p.width = png_get_image_width(png, info);
    p.height = png_get_image_height(png, info);
    p.color_type = png_get_color_type(png, info);
    const bool known = p.color_type == PNG_COLOR_TYPE_PALETTE || p.color_type == PNG_COLOR_TYPE_RGB ||
                       p.color_type == PNG_COLOR_TYPE_RGBA;
    if (png_get_bit_depth(png, info) != 8 || !known)
        return false;
    png_colorp palette = nullptr;
    int entries = 0;
    if (png_get_PLTE(png, info, &palette, &entries))
        for (int i = 0; i < entries; ++i)
            p.palette.insert(p.palette.end(), {palette[i].red, palette[i].green, palette[i].blue});
    png_bytep alpha = nullptr;
    int alpha_entries = 0;
    if (png_get_tRNS(png, info, &alpha, &alpha_entries, nullptr) && alpha)
        p.trns.assign(alpha, alpha + alpha_entries);
    const size_t row = bench::picture_row_bytes(p);
    s->pixels.assign(row * p.height, 0);
    s->rows.resize(p.height);
    for (uint32_t y = 0; y < p.height; ++y)
        s->rows[y] = s->pixels.data() + y * row;
    p.pixels = s->pixels.data();
    return true;
}

// The file's rows as stored, without expansion.
[[gnu::noinline]] bool read_as_stored(std::FILE* file, Stored* s)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, file);
    png_read_info(png, info);
    if (!take_header(png, info, s))
        png_error(png, "not a picture pixsieve writes");
    png_read_image(png, s->rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long files = 0, ours = 0, theirs = 0;
    std::vector<uint8_t> out;
    for (int i = 1; i < argc; ++i) {
        std::FILE* file = std::fopen(argv[i], "rb");
        if (!file)
            continue;
        Stored stored;
        const bool read = read_as_stored(file, &stored);
        std::fclose(file);
        if (!read)
            continue;
        const bench::Picture& picture = stored.picture;
        const size_t resaved = bench::libpng_write(picture, out);
        if (resaved == 0)
            continue;
        ++files;
        ours += std::filesystem::file_size(argv[i]);
        theirs += resaved;
    }
    std::printf("%lu %lu %lu\n", files, ours, theirs);
    return 0;
}
