// Writes the end-to-end benchmark corpus: movies in all three containers holding what game
// movies hold: lossless bitmaps from 64x64 to 2048x2048, photographic and flat (32-bit with
// and without alpha, 15-bit, colour-mapped up to map-sized 3072x1728 ones of 256 colours),
// JPEG-with-alpha bitmaps large and many game-sized ones (20 to 300 pixels a side, 4:2:0,
// colours premultiplied as authoring tools store them), stored JPEGs and class names (some
// Chinese), until the files reach the asked total size.
// With --small: COUNT movies of 5 to 50 KB each, a few small bitmaps apiece, as in a
// game's folder of assets.
// Usage: make-corpus OUT_DIR MEGABYTES | make-corpus --small OUT_DIR COUNT
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "jpeg_oracle.h"

#include "bench_images.h"
#include "swf/swf.h"
#include "swf_builder.h"

namespace {

using bench::Look;
using swfkit::Bytes;

struct Bitmap {
    // 32-bit without and with alpha, 15-bit, colour-mapped without and with alpha, JPEG,
    // JPEG with alpha (4:4:4), and a game's sprite: JPEG with alpha, 4:2:0, premultiplied.
    enum class Kind { lossless, lossless2, fifteen, mapped, mapped2, jpeg2, jpeg3, sprite } kind;
    Look look;
    uint16_t width, height;
};

Bytes jpeg_of(const Bytes& rgba, uint32_t w, uint32_t h, int sampling = 1)
{
    return oracle::encode_jpeg(w, h, 3, bench::drop_alpha(rgba),
                               {.quality = 80, .h_samp = sampling, .v_samp = sampling});
}

// Flat map art in 256 colours: regions of one colour, some of them dithered between two
// neighbouring entries, with bands across, as painted game maps are. A table of 256
// entries (RGB, or premultiplied RGBA with transparent corners) comes first; rows padded.
Bytes mapped_data(uint32_t w, uint32_t h, uint32_t seed, bool alpha)
{
    Bytes data;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t g = bench::grain(i, 0, seed);
        uint8_t a = alpha && i < 16 ? uint8_t(i * 16) : 255;
        for (uint32_t c = 0; c < 3; ++c)
            data.push_back(uint8_t((g >> (8 * c) & 0xFF) * a / 255));
        if (alpha)
            data.push_back(a);
    }
    const uint32_t stride = (w + 3) & ~3u;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < stride; ++x) {
            const uint32_t cell = 48 + (y / 200) % 3 * 40;
            uint32_t region = bench::grain(x / cell, y / cell, seed);
            uint32_t index = 16 + region % 240;
            if (region & 0x100000)  // dithered
                index ^= bench::grain(x, y, seed) & 1;
            if ((y + x / 4) % 97 < 6)
                index = 16 + (x / 64) % 8;
            if (alpha && (x < w / 16 || y < h / 16))
                index = (x + y) / 8 % 16;
            data.push_back(uint8_t(index));
        }
    }
    return data;
}

// 0RRRRRGG GGGBBBBB pixels from R, G, B, A ones, rows padded to four bytes.
Bytes fifteen_bit_data(const Bytes& rgba, uint32_t w, uint32_t h)
{
    Bytes data;
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &rgba[(size_t{y} * w + x) * 4];
            uint32_t v = uint32_t(p[0] >> 3) << 10 | uint32_t(p[1] >> 3) << 5 | p[2] >> 3;
            data.push_back(uint8_t(v >> 8));
            data.push_back(uint8_t(v));
        }
        if (w % 2)
            data.insert(data.end(), {0, 0});
    }
    return data;
}

// A sprite: the picture inside a soft-edged disc, transparent around it; the JPEG holds
// the colours premultiplied by that alpha, as authoring tools store them.
void add_sprite(swfkit::Movie& movie, uint16_t id, const Bitmap& b, uint32_t seed)
{
    Bytes px = bench::make_pixels(b.look, b.width, b.height, seed);
    Bytes alpha(size_t{b.width} * b.height);
    const double cx = b.width / 2.0, cy = b.height / 2.0, r = std::min(cx, cy);
    for (uint32_t y = 0; y < b.height; ++y) {
        for (uint32_t x = 0; x < b.width; ++x) {
            double d = std::hypot((x + 0.5 - cx) / r, (y + 0.5 - cy) / r);
            double a = std::clamp((1.0 - d) * 6.0, 0.0, 1.0);
            uint8_t* p = &px[(size_t{y} * b.width + x) * 4];
            alpha[size_t{y} * b.width + x] = uint8_t(std::lround(a * 255));
            for (int c = 0; c < 3; ++c)
                p[c] = uint8_t(std::lround(p[c] * a));
        }
    }
    movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(id, jpeg_of(px, b.width, b.height, 2), alpha), true);
}

void add_bitmap(swfkit::Movie& movie, uint16_t id, const Bitmap& b, uint32_t seed)
{
    bool argb = b.kind == Bitmap::Kind::lossless || b.kind == Bitmap::Kind::lossless2;
    switch (b.kind) {
    case Bitmap::Kind::lossless:
    case Bitmap::Kind::lossless2: {
        Bytes px = bench::make_pixels(b.look, b.width, b.height, seed, argb);
        movie.tag(b.kind == Bitmap::Kind::lossless ? 20 : 36, swfkit::lossless_body(id, 5, b.width, b.height, px),
                  true);
        break;
    }
    case Bitmap::Kind::fifteen: {
        Bytes px = bench::make_pixels(b.look, b.width, b.height, seed);
        movie.tag(20, swfkit::lossless_body(id, 4, b.width, b.height, fifteen_bit_data(px, b.width, b.height)), true);
        break;
    }
    case Bitmap::Kind::mapped:
    case Bitmap::Kind::mapped2: {
        const bool alpha = b.kind == Bitmap::Kind::mapped2;
        movie.tag(alpha ? 36 : 20,
                  swfkit::colour_mapped_body(id, b.width, b.height, 256, mapped_data(b.width, b.height, seed, alpha)),
                  true);
        break;
    }
    case Bitmap::Kind::jpeg2: {
        Bytes px = bench::make_pixels(b.look, b.width, b.height, seed);
        movie.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(id, jpeg_of(px, b.width, b.height)), true);
        break;
    }
    case Bitmap::Kind::jpeg3: {
        Bytes px = bench::make_pixels(b.look, b.width, b.height, seed);
        Bytes alpha(size_t{b.width} * b.height);
        for (size_t i = 0; i < alpha.size(); ++i)
            alpha[i] = px[4 * i + 3];
        if (b.look == Look::photo)  // a vignette, so the plane is not all opaque
            for (uint32_t y = 0; y < b.height; ++y)
                for (uint32_t x = 0; x < b.width; ++x)
                    alpha[size_t{y} * b.width + x] = uint8_t(255 - (x * 64 / b.width + y * 64 / b.height));
        movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(id, jpeg_of(px, b.width, b.height), alpha), true);
        break;
    }
    case Bitmap::Kind::sprite: add_sprite(movie, id, b, seed); break;
    }
}

// `count` game-sized sprites of 20 to 300 pixels a side.
void add_sprites(std::vector<Bitmap>& bitmaps, int count, uint32_t seed)
{
    for (int i = 0; i < count; ++i) {
        uint32_t g = bench::grain(uint32_t(i), 1, seed);
        bitmaps.push_back({Bitmap::Kind::sprite, g & 0x10000 ? Look::flat : Look::photo, uint16_t(20 + g % 281),
                           uint16_t(20 + (g >> 9) % 281)});
    }
}

// Three movie recipes, one per container; the LZMA one stays small because LZMA encoding
// (here, to build the corpus) is slow. Photographic 32-bit bitmaps with alpha are opaque.
std::vector<Bitmap> recipe(int which)
{
    using K = Bitmap::Kind;
    std::vector<Bitmap> bitmaps;
    if (which == 0)
        bitmaps = {{K::lossless2, Look::photo, 2048, 2048}, {K::lossless, Look::flat, 1024, 1024},
                   {K::jpeg3, Look::photo, 1024, 768},      {K::jpeg2, Look::photo, 512, 512},
                   {K::lossless2, Look::flat, 64, 64},      {K::lossless2, Look::photo, 64, 64},
                   {K::lossless2, Look::photo, 128, 96},    {K::jpeg3, Look::flat, 256, 256},
                   {K::mapped, Look::flat, 3072, 1728},     {K::fifteen, Look::photo, 640, 480}};
    else if (which == 1)
        bitmaps = {{K::lossless2, Look::photo, 1024, 1024}, {K::jpeg3, Look::photo, 2048, 2048},
                   {K::lossless2, Look::flat, 2048, 2048},  {K::lossless, Look::photo, 256, 256},
                   {K::lossless2, Look::photo, 640, 480},   {K::jpeg2, Look::flat, 256, 256},
                   {K::lossless2, Look::flat, 96, 64},      {K::mapped2, Look::flat, 1024, 768},
                   {K::fifteen, Look::flat, 300, 200}};
    else
        bitmaps = {{K::lossless2, Look::flat, 512, 512},  {K::jpeg3, Look::photo, 512, 512},
                   {K::lossless2, Look::photo, 128, 128}, {K::lossless, Look::photo, 256, 192},
                   {K::lossless2, Look::photo, 64, 64},   {K::jpeg3, Look::flat, 128, 128},
                   {K::mapped, Look::flat, 512, 384}};
    add_sprites(bitmaps, which == 2 ? 10 : 40, uint32_t(which));
    return bitmaps;
}

bool write_movie(const std::string& dir, int n, const Bytes& file)
{
    char name[64];
    std::snprintf(name, sizeof name, "/movie%04d.swf", n);
    if (swfkit::write_file(dir + name, file))
        return true;
    std::fprintf(stderr, "make-corpus: cannot write %s%s\n", dir.c_str(), name);
    return false;
}

// One small movie: bitmaps of 16 to 112 pixels a side, added until the file passes 5 KB,
// in rotating containers and kinds; 112 x 112 photos keep it below 50 KB.
Bytes small_movie(int n)
{
    constexpr Bitmap::Kind kinds[] = {Bitmap::Kind::lossless2, Bitmap::Kind::sprite, Bitmap::Kind::lossless,
                                      Bitmap::Kind::jpeg2,     Bitmap::Kind::mapped, Bitmap::Kind::jpeg3};
    std::vector<Bitmap> bitmaps;
    uint32_t state = uint32_t(n) * 2654435761u + 7;
    Bytes file;
    for (int i = 0; file.size() < 5 * 1024 && i < 12; ++i) {
        state = state * 1103515245u + 12345;
        const uint16_t side = uint16_t(16 + (state >> 16) % 97);
        const Look look = (state >> 8) % 3 == 0 ? Look::flat : Look::photo;
        bitmaps.push_back({kinds[(n + i) % 6], look, side, uint16_t(side - side / 4)});
        swfkit::Movie movie;
        movie.container = n % 3 == 0   ? swfkit::Container::fws
                          : n % 3 == 1 ? swfkit::Container::cws
                                       : swfkit::Container::zws;
        for (uint32_t b = 0; b < bitmaps.size(); ++b)
            add_bitmap(movie, uint16_t(b + 1), bitmaps[b], static_cast<uint32_t>(n) * 17 + b);
        movie.tag(76, swfkit::symbol_class_body({{1, "assets.Icon" + std::to_string(n)}}));
        movie.tag(1, {});
        movie.end();
        file = movie.build();
    }
    return file;
}

int small_corpus(const std::string& dir, int count)
{
    uint64_t total = 0;
    for (int n = 0; n < count; ++n) {
        Bytes file = small_movie(n);
        if (!write_movie(dir, n, file))
            return 1;
        total += file.size();
    }
    std::printf("make-corpus: %d movies, %.1f MB in %s\n", count, double(total) / (1 << 20), dir.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--small")
        return small_corpus(argv[2], std::atoi(argv[3]));
    if (argc != 3) {
        std::fprintf(stderr, "usage: make-corpus OUT_DIR MEGABYTES | make-corpus --small OUT_DIR COUNT\n");
        return 2;
    }
    std::string dir = argv[1];
    uint64_t target = std::strtoull(argv[2], nullptr, 10) << 20;
    uint64_t total = 0;
    for (int n = 0; total < target; ++n) {
        int which = n % 3;
        swfkit::Movie movie;
        movie.container = which == 0   ? swfkit::Container::fws
                          : which == 1 ? swfkit::Container::cws
                                       : swfkit::Container::zws;
        std::vector<Bitmap> bitmaps = recipe(which);
        for (uint32_t i = 0; i < bitmaps.size(); ++i)
            add_bitmap(movie, uint16_t(i + 1), bitmaps[i], static_cast<uint32_t>(n) * 31 + i);
        // Class names for some bitmaps: ASCII and Chinese ("背景" background, "图标" icon).
        movie.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "ui.Background" + std::to_string(n)},
                                                              {2, "\xE8\x83\x8C\xE6\x99\xAF" + std::to_string(n)},
                                                              {3, "\xE5\x9B\xBE\xE6\xA0\x87_" + std::to_string(n)}}));
        movie.tag(1, {});
        movie.end();
        Bytes file = movie.build();
        if (!write_movie(dir, n, file))
            return 1;
        total += file.size();
    }
    std::printf("make-corpus: %.1f MB in %s\n", double(total) / (1 << 20), dir.c_str());
    return 0;
}
