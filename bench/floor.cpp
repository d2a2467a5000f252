// The end-to-end floor: the least work that gets the same pictures out of the same movies,
// in the same PNG colour types pixsieve writes (palette for colour-mapped bitmaps, RGB for
// opaque ones, RGBA for the rest). It undoes the container, then for every bitmap inflates
// the stored pixels (or inflates the alpha plane and decodes the JPEG with libjpeg-turbo,
// straight to RGB when the plane is opaque), deflates a filter-None PNG at zlib's default
// level in one call, and writes the files, named by id, into MOVIE_floor. Colours stay
// premultiplied: dividing them out is pixsieve's extra work.
// No class names, no diagnostics, no checks beyond what keeps it from crashing on the
// benchmark corpus. With --libdeflate the PNG deflate uses libdeflate (level 6) instead,
// to show what that library would buy.
// Usage: zlib-floor [--libdeflate] MOVIE...
#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <libdeflate.h>
#include <zlib.h>

#include "support/lzma_codec.h"
#include "swf/swf.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool g_libdeflate = false;
libdeflate_compressor* g_compressor = nullptr;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24; }
uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

void put_be32(Bytes& out, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(uint8_t(v >> s));
}

void put_chunk(Bytes& out, const char* type, const uint8_t* data, size_t n)
{
    put_be32(out, uint32_t(n));
    size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + n);
    put_be32(out, uint32_t(crc32(0, out.data() + at, uInt(n + 4))));
}

void write_file(const std::string& path, const uint8_t* data, size_t n)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return;
    std::fwrite(data, 1, n, f);
    std::fclose(f);
}

// The pixels of one PNG: indices with PLTE and tRNS (colour type 3), R, G, B (2) or R, G, B, A (6).
struct Picture {
    uint32_t w = 0, h = 0;
    uint8_t color_type = 6;
    Bytes pixels, palette, trns;
};

void write_png(const std::string& path, const Picture& p)
{
    const size_t row = size_t{p.w} * (p.color_type == 3 ? 1 : p.color_type == 2 ? 3 : 4);
    const size_t stride = row + 1;
    Bytes rows(stride * p.h);
    for (uint32_t y = 0; y < p.h; ++y) {
        rows[y * stride] = 0;
        std::memcpy(&rows[y * stride + 1], p.pixels.data() + y * row, row);
    }
    Bytes packed;
    size_t packed_len;
    if (g_libdeflate) {
        packed.resize(libdeflate_zlib_compress_bound(g_compressor, rows.size()));
        packed_len = libdeflate_zlib_compress(g_compressor, rows.data(), rows.size(), packed.data(), packed.size());
    } else {
        packed.resize(compressBound(uLong(rows.size())));
        uLongf n = packed.size();
        compress(packed.data(), &n, rows.data(), uLong(rows.size()));
        packed_len = n;
    }
    Bytes file = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    file.reserve(packed_len + 1100);
    uint8_t header[13] = {0, 0, 0, 0, 0, 0, 0, 0, 8, p.color_type, 0, 0, 0};
    for (int i = 0; i < 4; ++i)
        header[i] = uint8_t(p.w >> (24 - 8 * i)), header[4 + i] = uint8_t(p.h >> (24 - 8 * i));
    put_chunk(file, "IHDR", header, 13);
    if (p.color_type == 3) {
        put_chunk(file, "PLTE", p.palette.data(), p.palette.size());
        if (!p.trns.empty())
            put_chunk(file, "tRNS", p.trns.data(), p.trns.size());
    }
    put_chunk(file, "IDAT", packed.data(), packed_len);
    put_chunk(file, "IEND", nullptr, 0);
    write_file(path, file.data(), file.size());
}

bool inflate_into(Bytes& out, const uint8_t* stream, size_t len)
{
    uLongf n = out.size();
    return uncompress(out.data(), &n, stream, uLong(len)) == Z_OK;
}

// Indices with their rows' padding dropped, the table as PLTE and (with alpha) tRNS.
Picture colour_mapped(const uint8_t* body, size_t len, uint32_t w, uint32_t h, bool alpha)
{
    const size_t colours = size_t{body[7]} + 1, entry = alpha ? 4 : 3, stride = (w + 3) & ~3u;
    Bytes data(colours * entry + stride * h);
    Picture p{w, h, 3, {}, {}, {}};
    if (!inflate_into(data, body + 8, len - 8))
        return {};
    for (size_t i = 0; i < colours; ++i) {
        p.palette.insert(p.palette.end(), &data[i * entry], &data[i * entry] + 3);
        if (alpha)
            p.trns.push_back(data[i * entry + 3]);
    }
    p.pixels.resize(size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(&p.pixels[size_t{y} * w], &data[colours * entry + y * stride], w);
    return p;
}

Picture fifteen_bit(const uint8_t* body, size_t len, uint32_t w, uint32_t h)
{
    const size_t stride = (size_t{w} * 2 + 3) & ~size_t{3};
    Bytes data(stride * h);
    if (!inflate_into(data, body + 7, len - 7))
        return {};
    Picture p{w, h, 2, Bytes(size_t{w} * h * 3), {}, {}};
    uint8_t* out = p.pixels.data();
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x, out += 3) {
            uint32_t v = uint32_t(data[y * stride + 2 * x]) << 8 | data[y * stride + 2 * x + 1];
            out[0] = uint8_t((v >> 10 & 31) * 255 / 31);
            out[1] = uint8_t((v >> 5 & 31) * 255 / 31);
            out[2] = uint8_t((v & 31) * 255 / 31);
        }
    }
    return p;
}

// A, R, G, B pixels: R, G, B without alpha or when every alpha is 255, else R, G, B, A.
Picture thirty_two_bit(const uint8_t* body, size_t len, uint32_t w, uint32_t h, bool alpha)
{
    const size_t count = size_t{w} * h;
    Picture p{w, h, 6, Bytes(count * 4), {}, {}};
    if (!inflate_into(p.pixels, body + 7, len - 7))
        return {};
    uint8_t* px = p.pixels.data();
    uint32_t all_alpha = 255;
    for (size_t i = 0; i < count; ++i) {
        uint32_t v;
        std::memcpy(&v, px + 4 * i, 4);
        all_alpha &= v & 0xFF;
        v = std::rotr(v, 8);
        std::memcpy(px + 4 * i, &v, 4);
    }
    if (!alpha || all_alpha == 255) {
        for (size_t i = 0; i < count; ++i)
            for (size_t c = 0; c < 3; ++c)
                px[3 * i + c] = px[4 * i + c];
        p.pixels.resize(count * 3);
        p.color_type = 2;
    }
    return p;
}

void lossless(const std::string& dir, const uint8_t* body, size_t len, bool alpha)
{
    uint16_t id = le16(body);
    uint32_t w = le16(body + 3), h = le16(body + 5);
    Picture p;
    switch (body[2]) {
    case 3: p = colour_mapped(body, len, w, h, alpha); break;
    case 4: p = fifteen_bit(body, len, w, h); break;
    case 5: p = thirty_two_bit(body, len, w, h, alpha); break;
    default: return;
    }
    if (p.w != 0)
        write_png(dir + "/" + std::to_string(id) + ".png", p);
}

void jpeg_with_alpha(const std::string& dir, const uint8_t* body, size_t len)
{
    uint16_t id = le16(body);
    uint32_t image_len = le32(body + 2);
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, body + 6, image_len);
    jpeg_read_header(&cinfo, TRUE);
    const uint32_t w = cinfo.image_width, h = cinfo.image_height;
    Bytes alpha(size_t{w} * h);
    bool inflated = inflate_into(alpha, body + 6 + image_len, len - 6 - image_len);
    const bool opaque = std::all_of(alpha.begin(), alpha.end(), [](uint8_t a) { return a == 255; });
    Picture p{w, h, uint8_t(opaque ? 2 : 6), Bytes(size_t{w} * h * (opaque ? 3 : 4)), {}, {}};
    cinfo.out_color_space = opaque ? JCS_RGB : JCS_EXT_RGBA;
    jpeg_start_decompress(&cinfo);
    const size_t row = size_t{w} * (opaque ? 3 : 4);
    while (cinfo.output_scanline < h) {
        JSAMPROW at = p.pixels.data() + size_t{cinfo.output_scanline} * row;
        jpeg_read_scanlines(&cinfo, &at, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    if (!inflated)
        return;
    if (!opaque)
        for (size_t i = 0; i < alpha.size(); ++i)
            p.pixels[4 * i + 3] = alpha[i];
    write_png(dir + "/" + std::to_string(id) + ".png", p);
}

void movie(const char* path)
{
    std::FILE* f = std::fopen(path, "rb");
    if (!f)
        return;
    Bytes file;
    std::fseek(f, 0, SEEK_END);
    file.resize(size_t(std::ftell(f)));
    std::rewind(f);
    size_t got = std::fread(file.data(), 1, file.size(), f);
    std::fclose(f);
    if (got != file.size() || file.size() < 8)
        return;
    uint32_t length = le32(&file[4]);
    Bytes body(length - 8);
    if (file[0] == 'C') {
        uLongf n = body.size();
        uncompress(body.data(), &n, &file[8], uLong(file.size() - 8));
    } else if (file[0] == 'Z') {
        size_t out_len = body.size(), in_len = file.size() - 17;
        lzma_uncompress(body.data(), &out_len, &file[17], &in_len, &file[12], kLzmaPropsSize);
    } else {
        std::memcpy(body.data(), &file[8], body.size());
    }
    std::string dir = std::string(path) + "_floor";
    mkdir(dir.c_str(), 0777);
    size_t at = (5 + 4 * (size_t{body[0]} >> 3) + 7) / 8 + 4;  // frame rectangle, rate and count
    while (at + 2 <= body.size()) {
        uint16_t code_length = le16(&body[at]);
        at += 2;
        uint32_t code = code_length >> 6, len = code_length & 0x3F;
        if (len == 0x3F)
            len = le32(&body[at]), at += 4;
        if (code == kTagEnd || at + len > body.size())
            break;
        const uint8_t* tag = &body[at];
        if (code == kTagDefineBitsLossless || code == kTagDefineBitsLossless2)
            lossless(dir, tag, len, code == kTagDefineBitsLossless2);
        else if (code == kTagDefineBitsJpeg3)
            jpeg_with_alpha(dir, tag, len);
        else if (code == kTagDefineBits || code == kTagDefineBitsJpeg2)
            write_file(dir + "/" + std::to_string(le16(tag)) + ".jpg", tag + 2, len - 2);
        at += len;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--libdeflate") == 0) {
        g_libdeflate = true;
        g_compressor = libdeflate_alloc_compressor(6);
        first = 2;
    }
    for (int i = first; i < argc; ++i)
        movie(argv[i]);
    if (g_compressor)
        libdeflate_free_compressor(g_compressor);
    return 0;
}
