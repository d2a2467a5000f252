// libpng writing 8-bit pictures with its default choices (adaptive row filters, none for
// palette images, zlib level 6): the peer our PNG writer is held to.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <vector>

#include <png.h>

namespace bench {

// Rows of 8-bit samples in a PNG colour type: 3 (indices, with `palette` R, G, B triples and
// `trns` alpha per entry), 2 (R, G, B) or 6 (R, G, B, A).
struct Picture {
    uint32_t width = 0, height = 0;
    int color_type = PNG_COLOR_TYPE_RGBA;
    const uint8_t* pixels = nullptr;
    std::vector<uint8_t> palette, trns;
};

inline size_t picture_row_bytes(const Picture& p)
{
    return size_t{p.width} * (p.color_type == PNG_COLOR_TYPE_PALETTE ? 1 : p.color_type == PNG_COLOR_TYPE_RGB ? 3 : 4);
}

inline void libpng_append(png_structp png, png_bytep data, png_size_t n)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

// libpng's longjmp leaves only plain locals here; C++ objects live in the caller.
[[gnu::noinline]] inline bool libpng_write_rows(const Picture& p, const png_color* palette, int entries,
                                                std::vector<uint8_t>* out)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, libpng_append, nullptr);
    png_set_compression_level(png, 6);
    png_set_IHDR(png, info, p.width, p.height, 8, p.color_type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (entries != 0)
        png_set_PLTE(png, info, palette, entries);
    if (!p.trns.empty())
        png_set_tRNS(png, info, p.trns.data(), static_cast<int>(p.trns.size()), nullptr);
    png_write_info(png, info);
    const size_t row = picture_row_bytes(p);
    for (uint32_t y = 0; y < p.height; ++y)
        png_write_row(png, p.pixels + y * row);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// Writes into `out` (cleared first; the caller may keep its capacity from one picture to
// the next) and returns the file's size, 0 when libpng fails.
inline size_t libpng_write(const Picture& p, std::vector<uint8_t>& out)
{
    out.clear();
    std::vector<png_color> palette(p.palette.size() / 3);
    for (size_t i = 0; i < palette.size(); ++i)
        palette[i] = {p.palette[3 * i], p.palette[3 * i + 1], p.palette[3 * i + 2]};
    return libpng_write_rows(p, palette.data(), static_cast<int>(palette.size()), &out) ? out.size() : 0;
}

inline size_t libpng_write(const std::vector<uint8_t>& rgba, uint32_t w, uint32_t h, std::vector<uint8_t>& out)
{
    return libpng_write(Picture{w, h, PNG_COLOR_TYPE_RGBA, rgba.data(), {}, {}}, out);
}

}  // namespace bench
