// Reading and writing PNG with libpng, as an independent oracle for the tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <png.h>

namespace oracle {

struct Rgba {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> pixels;  // R, G, B, A
    bool ok = false;
};

inline Rgba read_png_file(const std::string& path)
{
    Rgba out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str()))
        return out;
    image.format = PNG_FORMAT_RGBA;
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return out;
    }
    out.width = image.width;
    out.height = image.height;
    out.ok = true;
    return out;
}

// libpng's decode of a PNG in memory as 8-bit R, G, B, A: a palette expanded, tRNS made alpha.
inline Rgba read_png_rgba(const std::vector<uint8_t>& file)
{
    Rgba out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size()))
        return out;
    image.format = PNG_FORMAT_RGBA;
    out.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return out;
    }
    out.width = image.width;
    out.height = image.height;
    out.ok = true;
    return out;
}

// A PNG in memory for libpng's low-level reader: png_set_read_fn(png, &source, read_from_memory).
struct MemorySource {
    const std::vector<uint8_t>* file;
    size_t at = 0;
};

inline void read_from_memory(png_structp png, png_bytep out, size_t n)
{
    auto* source = static_cast<MemorySource*>(png_get_io_ptr(png));
    if (source->at + n > source->file->size())
        png_error(png, "read past end");
    std::memcpy(out, source->file->data() + source->at, n);
    source->at += n;
}

// Encodes samples in the given libpng format (8-bit R, G, B, A by default) as a PNG in memory.
inline std::vector<uint8_t> write_png_memory(uint32_t width, uint32_t height, const std::vector<uint8_t>& rgba,
                                             uint32_t format = PNG_FORMAT_RGBA)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    png_alloc_size_t size = 0;
    png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr);
    std::vector<uint8_t> out(size);
    if (!png_image_write_to_memory(&image, out.data(), &size, 0, rgba.data(), 0, nullptr))
        return {};
    out.resize(size);
    return out;
}

}  // namespace oracle
