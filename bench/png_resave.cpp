// Sums the sizes of PNG files and of the same pictures as libpng writes them with its
// defaults (adaptive row filters, zlib level 6), for the end-to-end byte count.
// Usage: png-resave FILE...   prints: FILES OUR_BYTES LIBPNG_BYTES
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include <png.h>

#include "png_oracle.h"

namespace {

using Bytes = std::vector<uint8_t>;

void append(png_structp png, png_bytep data, size_t n)
{
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

struct Picture {
    png_uint_32 width = 0, height = 0;
    int depth = 0, color_type = 0;
    Bytes pixels;  // rows back to back, as stored
};

bool read_picture(const Bytes& file, Picture* picture)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    oracle::MemorySource source{&file};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_read_fn(png, &source, oracle::read_from_memory);
    png_read_info(png, info);
    picture->width = png_get_image_width(png, info);
    picture->height = png_get_image_height(png, info);
    picture->depth = png_get_bit_depth(png, info);
    picture->color_type = png_get_color_type(png, info);
    const size_t row_bytes = png_get_rowbytes(png, info);
    picture->pixels.resize(row_bytes * picture->height);
    std::vector<png_bytep> rows(picture->height);
    for (png_uint_32 y = 0; y < picture->height; ++y) rows[y] = picture->pixels.data() + y * row_bytes;
    png_read_image(png, rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

// The picture as libpng writes it with its defaults; 0 on failure.
size_t libpng_size(const Picture& picture)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    Bytes out;
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_set_write_fn(png, &out, append, nullptr);
    png_set_IHDR(png, info, picture.width, picture.height, picture.depth, picture.color_type, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    const size_t row_bytes = picture.pixels.size() / picture.height;
    for (png_uint_32 y = 0; y < picture.height; ++y)
        png_write_row(png, picture.pixels.data() + y * row_bytes);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out.size();
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long files = 0, ours = 0, theirs = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        Picture picture;
        if (!read_picture(file, &picture)) continue;
        const size_t resaved = libpng_size(picture);
        if (resaved == 0) continue;
        ++files;
        ours += file.size();
        theirs += resaved;
    }
    std::printf("%lu %lu %lu\n", files, ours, theirs);
    return 0;
}
