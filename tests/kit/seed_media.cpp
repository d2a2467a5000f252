#include "seed_media.h"

#include <cstdlib>

#include <zlib.h>

#include "codec/image.h"
#include "swf/swf.h"

namespace swfkit {

namespace {

void put_u32_be(Bytes& out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

void put_png_chunk(Bytes& out, const char* type, const Bytes& data)
{
    put_u32_be(out, static_cast<uint32_t>(data.size()));
    size_t start = out.size();
    put_bytes(out, {reinterpret_cast<const uint8_t*>(type), 4});
    put_bytes(out, data);
    uLong crc = crc32(0, out.data() + start, static_cast<uInt>(out.size() - start));
    put_u32_be(out, static_cast<uint32_t>(crc));
}

int paeth(int a, int b, int c)
{
    int p = a + b - c;
    int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// Applies one PNG filter to a row, given the raw previous row (zeros above the first).
Bytes filter_row(int filter, const Bytes& row, const Bytes& above, size_t bpp)
{
    Bytes out(row.size());
    for (size_t i = 0; i < row.size(); ++i) {
        int a = i >= bpp ? row[i - bpp] : 0;
        int b = above[i];
        int c = i >= bpp ? above[i - bpp] : 0;
        int predictor = filter == 1   ? a
                        : filter == 2 ? b
                        : filter == 3 ? (a + b) / 2
                        : filter == 4 ? paeth(a, b, c)
                                      : 0;
        out[i] = static_cast<uint8_t>(row[i] - predictor);
    }
    return out;
}

}  // namespace

Bytes gradient_argb(uint16_t width, uint16_t height)
{
    Bytes px;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            int alpha = (x + y) % 5 == 0 ? 0 : 255;
            for (int v : {alpha, 255 * x / width, 255 * y / height, (x * y) & 255})
                px.push_back(static_cast<uint8_t>(v));
        }
    return px;
}

Bytes gradient_jpeg(uint16_t width, uint16_t height, int quality)
{
    Bytes argb = gradient_argb(width, height);
    Bytes rgba(argb.size());
    for (size_t i = 0; i < argb.size(); i += 4) {
        rgba[i] = argb[i + 1], rgba[i + 1] = argb[i + 2], rgba[i + 2] = argb[i + 3];
        rgba[i + 3] = 255;
    }
    Bytes out(image_encode_bound(width, height));
    uint32_t size = 0;
    if (image_encode_pixels(ImageKind::jpeg, rgba.data(), width, height, static_cast<uint8_t>(quality), out.data(),
                            static_cast<uint32_t>(out.size()), &size) != Fault::none)
        return {};
    out.resize(size);
    return out;
}

Bytes resampled_jpeg(uint16_t width, uint16_t height, uint8_t h, uint8_t v)
{
    Bytes jpeg = gradient_jpeg(width, height);
    for (size_t i = 0; i + 12 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 11] = static_cast<uint8_t>(h << 4 | v);  // first component's factors
            break;
        }
    return jpeg;
}

Bytes filtered_png(uint32_t width, uint32_t height, int depth, int colour_type, int first_filter)
{
    int channels = colour_type == 0 ? 1 : colour_type == 2 ? 3 : colour_type == 4 ? 2 : 4;
    size_t bpp = static_cast<size_t>(channels * depth / 8);
    Bytes raw;
    Bytes above(width * bpp, 0);
    for (uint32_t y = 0; y < height; ++y) {
        Bytes row;
        for (uint32_t x = 0; x < width; ++x)
            for (size_t k = 0; k < bpp; ++k)
                row.push_back(static_cast<uint8_t>(x * 37 + y * 11 + k * 59));
        int filter = (first_filter + static_cast<int>(y)) % 5;
        raw.push_back(static_cast<uint8_t>(filter));
        put_bytes(raw, filter_row(filter, row, above, bpp));
        above = row;
    }
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    put_u32_be(header, width);
    put_u32_be(header, height);
    for (int v : {depth, colour_type, 0, 0, 0})
        header.push_back(static_cast<uint8_t>(v));
    put_png_chunk(png, "IHDR", header);
    put_png_chunk(png, "IDAT", zlib_compress(raw));
    put_png_chunk(png, "IEND", {});
    return png;
}

Bytes windows_bitmap(uint32_t width, uint32_t height, int bits, bool top_down)
{
    uint32_t stride = (width * static_cast<uint32_t>(bits / 8) + 3) & ~3u;
    Bytes bmp = {'B', 'M'};
    put_u32(bmp, 54 + stride * height);
    put_u32(bmp, 0);
    put_u32(bmp, 54);
    put_u32(bmp, 40);
    put_u32(bmp, width);
    put_u32(bmp, top_down ? static_cast<uint32_t>(-static_cast<int32_t>(height)) : height);
    put_u16(bmp, 1);
    put_u16(bmp, static_cast<uint16_t>(bits));
    for (int i = 0; i < 6; ++i)
        put_u32(bmp, 0);
    for (uint32_t y = 0; y < height; ++y) {
        size_t row_start = bmp.size();
        for (uint32_t x = 0; x < width; ++x)
            for (int k = 0; k < bits / 8; ++k)
                bmp.push_back(static_cast<uint8_t>(x * 40 + y * 20 + static_cast<uint32_t>(k) * 70));
        bmp.resize(row_start + stride, 0);
    }
    return bmp;
}

Movie multi_bitmap_movie(Container container)
{
    constexpr uint16_t kSide = 8;
    Bytes jpeg = gradient_jpeg(kSide, kSide);
    Bytes alpha(kSide * kSide);
    for (size_t i = 0; i < alpha.size(); ++i)
        alpha[i] = static_cast<uint8_t>(i * 4);
    Movie movie;
    movie.container = container;
    movie.tag(9, Bytes{0x10, 0x20, 0x30});  // SetBackgroundColor
    movie.tag(kTagDefineBitsLossless2, lossless_body(1, 5, kSide, kSide, gradient_argb(kSide, kSide)));
    movie.tag(kTagDefineBitsLossless, lossless_body(2, 5, 4, 6, gradient_argb(4, 6)));
    movie.tag(kTagDefineBitsLossless, lossless_body(3, 3, 2, 2, Bytes(8, 0)));  // colour-mapped, table cut short
    movie.tag(kTagDefineBits, jpeg_body(4, jpeg));
    movie.tag(kTagDefineBitsJpeg2, jpeg_body(5, jpeg), true);
    movie.tag(kTagDefineBitsJpeg3, jpeg3_body(6, jpeg, alpha));
    movie.tag(kTagSymbolClass, symbol_class_body({{1, "ui.Icon"}, {5, "photo"}}));
    movie.tag(1, {});  // ShowFrame
    movie.end();
    return movie;
}

const std::vector<ExpectedBitmap>& multi_bitmap_files()
{
    static const std::vector<ExpectedBitmap> files = {
        {1, "ui.Icon.png"}, {2, "2.png"}, {3, "3.png"}, {4, "4.jpg"}, {5, "photo.jpg"}, {6, "6.png"},
    };
    return files;
}

namespace {

// Bitmaps named "dup" and "7" (an id of another bitmap), the first "dup" with pixel data
// cut short and a JPEG with alpha whose image does not decode.
Movie colliding_names_movie()
{
    Movie movie;
    movie.container = Container::cws;
    Bytes broken = lossless_body(1, 5, 16, 16, gradient_argb(16, 16));
    broken.resize(broken.size() - 20);
    movie.tag(kTagDefineBitsLossless2, broken);
    movie.tag(kTagDefineBitsLossless2, lossless_body(2, 5, 16, 16, gradient_argb(16, 16)));
    movie.tag(kTagDefineBitsLossless, lossless_body(3, 5, 9, 5, gradient_argb(9, 5)));
    movie.tag(kTagDefineBitsJpeg3, jpeg3_body(4, Bytes{0xFF, 0xD8, 1, 2, 0xFF, 0xD9}, Bytes(4, 9)));
    movie.tag(kTagDefineBitsLossless, lossless_body(7, 5, 3, 3, gradient_argb(3, 3)));
    movie.tag(kTagSymbolClass, symbol_class_body({{1, "dup"}, {2, "dup"}, {3, "7"}, {4, "dup"}}));
    movie.end();
    return movie;
}

// Several pictures large enough that workers overlap on them.
Movie big_movie()
{
    Movie movie;
    movie.container = Container::zws;
    for (uint16_t id = 1; id <= 6; ++id)
        movie.tag(kTagDefineBitsLossless2, lossless_body(id, 5, 300, 200 + id, gradient_argb(300, 200 + id)));
    movie.tag(kTagDefineBitsJpeg2, jpeg_body(7, gradient_jpeg(320, 240)));
    movie.tag(kTagDefineBitsJpeg3, jpeg3_body(8, gradient_jpeg(64, 64), Bytes(64 * 64, 200)));
    movie.end();
    return movie;
}

Movie small_movie(uint16_t seed)
{
    Movie movie;
    movie.container = static_cast<Container>(seed % 3);
    movie.tag(kTagDefineBitsLossless, lossless_body(seed, 5, 4 + seed, 3, gradient_argb(4 + seed, 3)));
    movie.tag(kTagSymbolClass, symbol_class_body({{seed, "small"}}));
    movie.end();
    return movie;
}

}  // namespace

bool write_mixed_movies(const std::string& folder)
{
    const std::string at = folder + "/";
    bool ok = write_file(at + "a_fws.swf", multi_bitmap_movie(Container::fws).build()) &&
              write_file(at + "b_cws.swf", multi_bitmap_movie(Container::cws).build()) &&
              write_file(at + "c_zws.swf", multi_bitmap_movie(Container::zws).build()) &&
              write_file(at + "d_names.swf", colliding_names_movie().build()) &&
              write_file(at + "e_big.swf", big_movie().build()) &&
              write_file(at + "f_junk.swf", Bytes{'C', 'W', 'S', 9, 100, 0, 0, 0, 1, 2, 3}) &&
              write_file(at + "g_empty.swf", Bytes{});
    for (uint16_t seed = 1; ok && seed <= 12; ++seed)
        ok = write_file(at + "h_small" + std::to_string(seed) + ".swf", small_movie(seed).build());
    Bytes cut = multi_bitmap_movie(Container::fws).build();
    cut.resize(cut.size() / 2);  // the tag list ends early
    return ok && write_file(at + "i_cut.swf", cut);
}

}  // namespace swfkit
