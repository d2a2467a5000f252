// Writes the seed corpora of the fuzz targets, one folder per target, from our own
// writers: movies of every container and bitmap kind, PNGs with every filter type and
// colour type, JPEGs from our encoder with several sampling layouts, bitmaps, texts.
// Usage: make-corpus OUT_FOLDER             (see `make corpus`)
//        make-corpus --measure OUT_FOLDER   movies for scripts/measure-memory.sh, with a
//                                           manifest of their body and largest bitmap sizes
#include <cstdio>
#include <filesystem>
#include <string>

#include "seed_media.h"
#include "swf/swf.h"
#include "swf_builder.h"

namespace {

using swfkit::Bytes;
using swfkit::Container;

std::string g_root;
bool g_ok = true;

void seed(const std::string& target, const std::string& name, const Bytes& bytes)
{
    std::filesystem::create_directories(g_root + "/" + target);
    if (!swfkit::write_file(g_root + "/" + target + "/" + name, bytes))
        g_ok = false;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

const char* container_name(Container c) { return c == Container::fws ? "fws" : c == Container::cws ? "cws" : "zws"; }

// Movies holding one tag each, so the fuzzer can splice them.
void single_tag_movies(const std::string& target, Container container)
{
    Bytes jpeg = swfkit::gradient_jpeg(16, 16);
    const struct {
        const char* name;
        uint16_t code;
        Bytes body;
    } tags[] = {
        {"lossless2", 36, swfkit::lossless_body(7, 5, 3, 3, swfkit::gradient_argb(3, 3))},
        {"jpeg3", 35, swfkit::jpeg3_body(8, jpeg, Bytes(16 * 16, 200))},
        {"symbols", 76, swfkit::symbol_class_body({{9, "a/b"}, {10, "\xE8\x83\x8C\xE6\x99\xAF"}, {11, ""}})},
        {"inner-movie", 87, swfkit::binary_data_body(12, swfkit::multi_bitmap_movie(Container::cws).build())},
    };
    for (const auto& tag : tags) {
        swfkit::Movie movie;
        movie.container = container;
        movie.tag(tag.code, tag.body);
        movie.end();
        seed(target, std::string(container_name(container)) + "-" + tag.name + ".swf", movie.build());
    }
}

void movies()
{
    for (Container c : {Container::fws, Container::cws, Container::zws}) {
        seed("swf_extract_fuzz", std::string(container_name(c)) + "-all-bitmaps.swf",
             swfkit::multi_bitmap_movie(c).build());
        single_tag_movies("swf_extract_fuzz", c);
    }
}

// Edit inputs: flag byte, picture length, picture, movie (see swf_edit_fuzz.cpp).
void edits()
{
    Bytes movie = swfkit::multi_bitmap_movie(Container::fws).build();
    const struct {
        const char* name;
        uint8_t flags;
        Bytes picture;
    } cases[] = {
        {"png-fws", 0, swfkit::filtered_png(5, 4, 8, 6, 0)},
        {"jpeg-small-cws", 1 | 2 | 4 << 2, swfkit::gradient_jpeg(8, 8)},
        {"bmp-small-zws", 2 | 7 << 2, swfkit::windows_bitmap(3, 3, 24, false)},
        {"none-small-fws", 2, {}},
    };
    for (const auto& c : cases) {
        Bytes input = {c.flags};
        swfkit::put_u32(input, static_cast<uint32_t>(c.picture.size()));
        swfkit::put_bytes(input, c.picture);
        swfkit::put_bytes(input, movie);
        seed("swf_edit_fuzz", std::string(c.name) + ".bin", input);
    }
}

void pictures()
{
    for (int colour_type : {0, 2, 4, 6})
        for (int depth : {8, 16}) {
            std::string name = "ct" + std::to_string(colour_type) + "-d" + std::to_string(depth) + ".png";
            seed("png_read_fuzz", name, swfkit::filtered_png(5, 5, depth, colour_type, colour_type));
        }
    for (int filter = 0; filter < 5; ++filter)  // a single-row image per filter type
        seed("png_read_fuzz", "rgba-filter" + std::to_string(filter) + ".png",
             swfkit::filtered_png(7, 1, 8, 6, filter));

    seed("jpeg_decode_fuzz", "444-16x16.jpg", swfkit::gradient_jpeg(16, 16));
    seed("jpeg_decode_fuzz", "444-odd-13x7.jpg", swfkit::gradient_jpeg(13, 7, 30));
    for (auto [h, v] : {std::pair{2, 1}, {2, 2}, {1, 2}, {4, 1}})
        seed("jpeg_decode_fuzz", "luma" + std::to_string(h) + "x" + std::to_string(v) + ".jpg",
             swfkit::resampled_jpeg(24, 24, static_cast<uint8_t>(h), static_cast<uint8_t>(v)));

    seed("image_decode_fuzz", "rgb.png", swfkit::filtered_png(6, 3, 8, 2, 1));
    seed("image_decode_fuzz", "rgba.png", swfkit::filtered_png(3, 6, 8, 6, 3));
    seed("image_decode_fuzz", "photo.jpg", swfkit::gradient_jpeg(12, 9));
    seed("image_decode_fuzz", "luma2x2.jpg", swfkit::resampled_jpeg(16, 16, 2, 2));
    seed("image_decode_fuzz", "bottom-up-24.bmp", swfkit::windows_bitmap(5, 3, 24, false));
    seed("image_decode_fuzz", "top-down-32.bmp", swfkit::windows_bitmap(3, 5, 32, true));
}

// Texts: the first byte is the flags byte of each target.
void texts()
{
    seed("charset_fuzz", "ascii", text("\x05Hello, World 123"));
    seed("charset_fuzz", "utf8-chinese",
         text("\x0f\xE8\x83\x8C\xE6\x99\xAF \xE5\x9C\x96\xE7\x89\x87\xEF\xBC\xA1\xE3\x80\x80z"));
    seed("charset_fuzz", "gbk",
         text("\x1a\xB1\xB3\xBE\xB0\xCD\xBC\xC6\xAC\xA3\xC1"
              "a\x81"));
    seed("charset_fuzz", "lines", text("\x42line one\nline \xE4\xBA\x8C\n\xF0\x9F\x98\x80\n"));
    seed("text_coders_fuzz", "base64", text("\x10SGVsbG8sIHdvcmxkIQ=="));
    seed("text_coders_fuzz", "base64-spaces", text("\x04 QU Jj\nZA= =\n"));
    seed("text_coders_fuzz", "base32", text("\x20nbswy3dpeb3w64tmmq-0o1l8b"));
}

// One measured movie: written as <name>.swf, listed with the size of its uncompressed
// body and of its largest decoded bitmap (width x height x 4).
void measured(std::FILE* manifest, const std::string& name, const swfkit::Movie& movie, uint64_t largest)
{
    if (!swfkit::write_file(g_root + "/" + name + ".swf", movie.build()))
        g_ok = false;
    std::fprintf(manifest, "%s %zu %llu\n", name.c_str(), movie.body().size() + 8,
                 static_cast<unsigned long long>(largest));
}

void measure_movies()
{
    std::filesystem::create_directories(g_root);
    std::FILE* manifest = std::fopen((g_root + "/manifest").c_str(), "w");
    if (manifest == nullptr) {
        g_ok = false;
        return;
    }
    measured(manifest, "all-bitmaps", swfkit::multi_bitmap_movie(Container::cws), 8 * 8 * 4);
    {
        // A large real picture: 2048 x 2048 pixels.
        swfkit::Movie m;
        m.container = Container::cws;
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 2048, 2048, swfkit::gradient_argb(2048, 2048)));
        m.end();
        measured(manifest, "large-lossless", m, 2048ull * 2048 * 4);
    }
    {
        // A pixel bomb: 8192 x 8192 transparent pixels in a few hundred KiB.
        swfkit::Movie m;
        m.container = Container::cws;
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 8192, 8192, Bytes(size_t{8192} * 8192 * 4, 0)));
        m.end();
        measured(manifest, "pixel-bomb", m, 8192ull * 8192 * 4);
    }
    for (Container c : {Container::cws, Container::fws}) {
        // A header claiming nearly 1 GiB over a small body.
        swfkit::Movie m = swfkit::multi_bitmap_movie(c);
        m.file_length = (1u << 30) - 16;
        std::string name = c == Container::cws ? "claims-1gib-cws" : "claims-1gib-fws";
        if (!swfkit::write_file(g_root + "/" + name + ".swf", m.build()))
            g_ok = false;
        std::fprintf(manifest, "%s %zu %d\n", name.c_str(), m.body().size() + 8, 8 * 8 * 4);
    }
    {
        // Many tags and a 16 MiB uncompressed body.
        swfkit::Movie m;
        m.container = Container::zws;
        Bytes filler(60000, 0x5A);
        for (int i = 0; i < 280; ++i)
            m.tag(2, filler);  // DefineShape bodies the extractor passes over
        m.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, 256, 256, swfkit::gradient_argb(256, 256)));
        m.end();
        measured(manifest, "big-body-zws", m, 256 * 256 * 4);
    }
    std::fclose(manifest);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--measure") {
        g_root = argv[2];
        measure_movies();
        return g_ok ? 0 : 1;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-corpus [--measure] OUT_FOLDER\n");
        return 2;
    }
    g_root = argv[1];
    movies();
    edits();
    pictures();
    texts();
    return g_ok ? 0 : 1;
}
