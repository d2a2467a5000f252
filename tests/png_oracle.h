// Reading and writing PNG with libpng, as an independent oracle for the tests.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
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

// Any PNG libpng writes: rows of packed samples as stored (MSB first, 16-bit big-endian),
// with an optional palette (R, G, B triples) and tRNS bytes (palette alpha, or the grey or
// RGB key as 16-bit big-endian values).
struct PngSpec {
    uint32_t width = 0, height = 0;
    uint8_t depth = 8, color_type = 6;
    bool interlaced = false;
    std::vector<uint8_t> rows;  // height x row bytes, no filter bytes
    std::vector<uint8_t> palette;
    std::vector<uint8_t> trns;
};

inline size_t png_channels(uint8_t color_type)
{
    return color_type == 2 ? 3 : color_type == 4 ? 2 : color_type == 6 ? 4 : 1;
}

inline size_t png_row_bytes(const PngSpec& spec)
{
    return (size_t{spec.width} * png_channels(spec.color_type) * spec.depth + 7) / 8;
}

inline void append_to_vector(png_structp png, png_bytep data, size_t n)
{
    auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
    out->insert(out->end(), data, data + n);
}

inline void flush_nothing(png_structp) {}

// libpng reports errors by longjmp: only plain pointers live in the function that sets the jump.
__attribute__((noinline)) inline bool write_png_rows(const PngSpec& spec, png_bytep* rows, png_color* palette,
                                                     int palette_size, std::vector<uint8_t>* out)
{
    png_color_16 key{};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, out, append_to_vector, flush_nothing);
    png_set_IHDR(png, info, spec.width, spec.height, spec.depth, spec.color_type,
                 spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    if (palette_size > 0)
        png_set_PLTE(png, info, palette, palette_size);
    if (!spec.trns.empty()) {
        const uint8_t* t = spec.trns.data();
        if (spec.color_type == 0)
            key.gray = static_cast<png_uint_16>(t[0] << 8 | t[1]);
        else if (spec.color_type == 2)
            key.red = static_cast<png_uint_16>(t[0] << 8 | t[1]),
            key.green = static_cast<png_uint_16>(t[2] << 8 | t[3]),
            key.blue = static_cast<png_uint_16>(t[4] << 8 | t[5]);
        png_set_tRNS(png, info, spec.color_type == 3 ? spec.trns.data() : nullptr,
                     spec.color_type == 3 ? static_cast<int>(spec.trns.size()) : 0, &key);
    }
    png_write_info(png, info);
    if (spec.interlaced)
        png_set_interlace_handling(png);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

inline std::vector<uint8_t> write_png_spec(const PngSpec& spec)
{
    std::vector<png_bytep> rows(spec.height);
    for (uint32_t y = 0; y < spec.height; y++)
        rows[y] = const_cast<png_bytep>(spec.rows.data() + y * png_row_bytes(spec));
    std::vector<png_color> palette(spec.palette.size() / 3);
    for (size_t i = 0; i < palette.size(); i++)
        palette[i] = {spec.palette[3 * i], spec.palette[3 * i + 1], spec.palette[3 * i + 2]};
    std::vector<uint8_t> out;
    out.reserve(spec.rows.size() * 2 + 1024);
    if (!write_png_rows(spec, rows.data(), palette.data(), static_cast<int>(palette.size()), &out))
        return {};
    return out;
}

// Random samples over each depth's whole range (palette indices below the palette's size),
// with a palette, and on request a tRNS chunk: palette alpha for some entries, or a key
// equal to the first pixel so that some pixels really are transparent.
inline PngSpec matrix_png(uint8_t color_type, uint8_t depth, uint32_t width, uint32_t height, bool interlaced,
                          bool trns, uint32_t seed)
{
    PngSpec spec{width, height, depth, color_type, interlaced, {}, {}, {}};
    const size_t channels = png_channels(color_type);
    const uint32_t palette_size = depth == 8 ? 200 : 1u << depth;
    const uint32_t top = color_type == 3 ? palette_size : 1u << depth;
    uint32_t state = seed * 2654435761u + 7;
    auto next = [&] {
        state = state * 1103515245u + 12345;
        return state >> 8;
    };
    spec.rows.assign(png_row_bytes(spec) * height, 0);
    for (uint32_t y = 0; y < height; y++) {
        uint8_t* row = spec.rows.data() + y * png_row_bytes(spec);
        for (size_t s = 0; s < size_t{width} * channels; s++) {
            uint32_t v = next() % top;
            if (depth == 16) {
                row[2 * s] = static_cast<uint8_t>(v >> 8), row[2 * s + 1] = static_cast<uint8_t>(v);
            } else {
                size_t bit = s * depth;
                row[bit / 8] |= static_cast<uint8_t>(v << (8 - bit % 8 - depth));
            }
        }
    }
    if (color_type == 3)
        for (uint32_t i = 0; i < palette_size * 3; i++)
            spec.palette.push_back(static_cast<uint8_t>(next()));
    if (trns && color_type == 3)
        for (uint32_t i = 0; i < palette_size - palette_size / 3; i++)  // the last entries keep 255
            spec.trns.push_back(static_cast<uint8_t>(i % 3 == 0 ? 0 : next()));
    if (trns && (color_type == 0 || color_type == 2)) {
        size_t key_bytes = color_type == 0 ? 2 : 6;
        for (size_t s = 0; s < key_bytes / 2; s++) {
            uint32_t v = depth == 16 ? uint32_t{spec.rows[2 * s]} << 8 | spec.rows[2 * s + 1]
                                     : (uint32_t{spec.rows[s * depth / 8]} >> (8 - s * depth % 8 - depth)) & (top - 1);
            spec.trns.push_back(static_cast<uint8_t>(v >> 8));
            spec.trns.push_back(static_cast<uint8_t>(v));
        }
    }
    return spec;
}

// Every colour type at every legal depth, plain and interlaced, with and without tRNS (where
// the type takes one), at odd sizes: the matrix every valid PNG reading is checked over.
inline std::vector<PngSpec> png_matrix()
{
    const std::pair<uint8_t, std::vector<uint8_t>> types[] = {
        {0, {1, 2, 4, 8, 16}}, {2, {8, 16}}, {3, {1, 2, 4, 8}}, {4, {8, 16}}, {6, {8, 16}}};
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {7, 3}, {33, 17}, {2, 9}};
    std::vector<PngSpec> out;
    for (const auto& [color_type, depths] : types)
        for (uint8_t depth : depths)
            for (bool interlaced : {false, true})
                for (bool trns : {false, true})
                    for (auto [width, height] : sizes)
                        if (!trns || color_type == 0 || color_type == 2 || color_type == 3)
                            out.push_back(matrix_png(color_type, depth, width, height, interlaced, trns,
                                                     static_cast<uint32_t>(out.size() + 1)));
    return out;
}

// libpng's decode of any PNG as 8-bit R, G, B, A: palette and low depths expanded, tRNS
// made alpha, 16-bit samples scaled with rounding (png_set_scale_16).
inline Rgba read_png_rgba(const std::vector<uint8_t>& file)
{
    Rgba out;
    MemorySource source{&file};
    std::vector<png_bytep> rows;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        out.ok = false;
        return out;
    }
    png_set_read_fn(png, &source, read_from_memory);
    png_read_info(png, info);
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    if (png_get_rowbytes(png, info) != size_t{out.width} * 4)
        png_error(png, "not 8-bit RGBA after the transformations");
    out.pixels.assign(size_t{out.width} * out.height * 4, 0);
    rows.resize(out.height);
    for (uint32_t y = 0; y < out.height; y++)
        rows[y] = out.pixels.data() + size_t{y} * out.width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    out.ok = true;
    return out;
}

}  // namespace oracle
