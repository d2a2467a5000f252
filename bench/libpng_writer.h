// libpng writing 8-bit R, G, B, A pictures with its default choices (adaptive row filters,
// zlib level 6): the peer our PNG writer is held to.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <vector>

#include <png.h>

namespace bench {

inline void libpng_append(png_structp png, png_bytep data, png_size_t n)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

// Writes into `out` (cleared first; the caller may keep its capacity from one picture to
// the next) and returns the file's size, 0 when libpng fails.
inline size_t libpng_write(const std::vector<uint8_t>& rgba, uint32_t w, uint32_t h, std::vector<uint8_t>& out)
{
    out.clear();
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_set_write_fn(png, &out, libpng_append, nullptr);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_ALL_FILTERS);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (uint32_t y = 0; y < h; ++y)
        png_write_row(png, rgba.data() + size_t{y} * w * 4);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out.size();
}

}  // namespace bench
