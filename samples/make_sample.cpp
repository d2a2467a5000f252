// Writes the bundled sample movie: every kind of bitmap the tool extracts, with class
// names (one of them Chinese) for some. Usage: make-sample OUT.swf
#include <cmath>
#include <cstdio>
#include <vector>

#include "codec/image.h"
#include "swf/swf.h"
#include "swf_builder.h"

namespace {

using swfkit::Bytes;

constexpr uint16_t kSize = 64;

// A, R, G, B pixels: a soft disc over a gradient, transparent outside.
Bytes disc_argb()
{
    Bytes px;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            double d = std::hypot(x - kSize / 2.0, y - kSize / 2.0) / (kSize / 2.0);
            int alpha = d >= 1 ? 0 : static_cast<int>(255 * (1 - d * d));
            for (int v : {alpha, 40 + 3 * x, 90 + 2 * y, 200})
                px.push_back(static_cast<uint8_t>(v));
        }
    return px;
}

// R, G, B, A pixels of a small landscape, encoded as JPEG by our own encoder.
Bytes landscape_jpeg()
{
    std::vector<uint8_t> px;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            bool sky = y < 40 + 6 * std::sin(x / 9.0);
            for (int v : {sky ? 110 : 60, sky ? 170 + y : 140, sky ? 240 : 50, 255})
                px.push_back(static_cast<uint8_t>(v));
        }
    Bytes out(image_encode_bound(kSize, kSize));
    uint32_t size = 0;
    image_encode_pixels(ImageKind::jpeg, px.data(), kSize, kSize, 85, out.data(), static_cast<uint32_t>(out.size()),
                        &size);
    out.resize(size);
    return out;
}

Bytes ring_alpha()
{
    Bytes alpha;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x)
            alpha.push_back(static_cast<uint8_t>((x / 8 + y / 8) % 2 ? 255 : 96));
    return alpha;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-sample OUT.swf\n");
        return 2;
    }
    Bytes jpeg = landscape_jpeg();
    swfkit::Movie movie;
    movie.container = swfkit::Container::cws;
    movie.tag(9, Bytes{0x33, 0x66, 0x99});  // SetBackgroundColor
    movie.tag(kTagDefineBitsLossless2, swfkit::lossless_body(1, 5, kSize, kSize, disc_argb()));
    movie.tag(kTagDefineBitsLossless, swfkit::lossless_body(2, 5, kSize, kSize, disc_argb()));
    movie.tag(kTagDefineBitsLossless, swfkit::lossless_body(3, 3, 2, 2, Bytes(8, 0)));  // colour-mapped: skipped
    movie.tag(kTagDefineBitsJpeg2, swfkit::jpeg_body(4, jpeg));
    movie.tag(kTagDefineBits, swfkit::jpeg_body(5, jpeg));
    movie.tag(kTagDefineBitsJpeg3, swfkit::jpeg3_body(6, jpeg, ring_alpha()));
    // "背景" (background) in UTF-8, as movies store class names.
    movie.tag(kTagSymbolClass, swfkit::symbol_class_body({{1, "ui.Logo"}, {6, "\xE8\x83\x8C\xE6\x99\xAF"}}));
    movie.tag(1, {});  // ShowFrame
    movie.end();
    return swfkit::write_file(argv[1], movie.build()) ? 0 : 1;
}
