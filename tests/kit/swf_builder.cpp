#include "swf_builder.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <zlib.h>

#include "support/lzma_codec.h"

namespace swfkit {

namespace {

struct BitWriter {
    Bytes out;
    int used = 0;  // bits used in the last byte

    void put(uint32_t value, int nbits)
    {
        for (int i = nbits - 1; i >= 0; --i) {
            if (used == 0)
                out.push_back(0);
            if ((value >> i) & 1)
                out.back() |= static_cast<uint8_t>(0x80 >> used);
            used = (used + 1) % 8;
        }
    }
};

}  // namespace

Bytes rect(int nbits, int32_t xmin, int32_t xmax, int32_t ymin, int32_t ymax)
{
    BitWriter w;
    w.put(static_cast<uint32_t>(nbits), 5);
    for (int32_t v : {xmin, xmax, ymin, ymax})
        w.put(static_cast<uint32_t>(v), nbits);
    return w.out;
}

void put_u16(Bytes& out, uint16_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u32(Bytes& out, uint32_t v)
{
    put_u16(out, static_cast<uint16_t>(v));
    put_u16(out, static_cast<uint16_t>(v >> 16));
}

void put_bytes(Bytes& out, std::span<const uint8_t> bytes)
{
    if (bytes.empty())
        return;
    size_t at = out.size();
    out.resize(at + bytes.size());
    std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

void put_record(Bytes& out, uint16_t code, std::span<const uint8_t> body, bool long_form)
{
    if (long_form || body.size() >= 63) {
        put_u16(out, static_cast<uint16_t>(code << 6 | 63));
        put_u32(out, static_cast<uint32_t>(body.size()));
    } else {
        put_u16(out, static_cast<uint16_t>(size_t{code} << 6 | body.size()));
    }
    put_bytes(out, body);
}

Bytes zlib_compress(std::span<const uint8_t> data)
{
    // Test inputs are small: uLong is 32 bits on Windows.
    const auto size = static_cast<uLong>(data.size());
    uLongf len = compressBound(size);
    Bytes out(len);
    compress(out.data(), &len, data.data(), size);
    out.resize(len);
    return out;
}

Bytes symbol_class_body(const std::vector<std::pair<uint16_t, std::string>>& pairs)
{
    Bytes b;
    put_u16(b, static_cast<uint16_t>(pairs.size()));
    for (const auto& [id, name] : pairs) {
        put_u16(b, id);
        put_bytes(b, {reinterpret_cast<const uint8_t*>(name.data()), name.size()});
        b.push_back(0);
    }
    return b;
}

Bytes lossless_body(uint16_t id, uint8_t format, uint16_t width, uint16_t height, std::span<const uint8_t> argb)
{
    Bytes b;
    put_u16(b, id);
    b.push_back(format);
    put_u16(b, width);
    put_u16(b, height);
    if (format == 3)
        b.push_back(255);
    put_bytes(b, zlib_compress(argb));
    return b;
}

Bytes colour_mapped_body(uint16_t id, uint16_t width, uint16_t height, uint16_t colours, std::span<const uint8_t> data)
{
    Bytes b;
    put_u16(b, id);
    b.push_back(3);
    put_u16(b, width);
    put_u16(b, height);
    b.push_back(static_cast<uint8_t>(colours - 1));
    put_bytes(b, zlib_compress(data));
    return b;
}

Bytes jpeg_body(uint16_t id, std::span<const uint8_t> image)
{
    Bytes b;
    put_u16(b, id);
    put_bytes(b, image);
    return b;
}

Bytes jpeg3_body(uint16_t id, std::span<const uint8_t> image, std::span<const uint8_t> alpha)
{
    Bytes b;
    put_u16(b, id);
    put_u32(b, static_cast<uint32_t>(image.size()));
    put_bytes(b, image);
    put_bytes(b, zlib_compress(alpha));
    return b;
}

Bytes jpeg4_body(uint16_t id, uint16_t deblocking, std::span<const uint8_t> image, std::span<const uint8_t> alpha)
{
    Bytes b;
    put_u16(b, id);
    put_u32(b, static_cast<uint32_t>(image.size()));
    put_u16(b, deblocking);
    put_bytes(b, image);
    put_bytes(b, zlib_compress(alpha));
    return b;
}

Bytes binary_data_body(uint16_t id, std::span<const uint8_t> data)
{
    Bytes b;
    put_u16(b, id);
    put_u32(b, 0);
    put_bytes(b, data);
    return b;
}

SplitJpeg split_jpeg_tables(std::span<const uint8_t> jpeg)
{
    SplitJpeg split{{0xFF, 0xD8}, {0xFF, 0xD8}};
    size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at + 1] != 0xDA) {
        size_t end = std::min(jpeg.size(), at + 2 + (size_t{jpeg[at + 2]} << 8 | jpeg[at + 3]));
        Bytes& into = jpeg[at + 1] == 0xDB || jpeg[at + 1] == 0xC4 ? split.tables : split.picture;
        into.insert(into.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(at),
                    jpeg.begin() + static_cast<std::ptrdiff_t>(end));
        at = end;
    }
    split.tables.insert(split.tables.end(), {0xFF, 0xD9});
    split.picture.insert(split.picture.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(std::min(at, jpeg.size())),
                         jpeg.end());
    return split;
}

Bytes Movie::body() const
{
    Bytes b = frame_rect;
    b.push_back(rate_fraction);
    b.push_back(rate);
    put_u16(b, frames);
    put_bytes(b, records);
    return b;
}

Bytes Movie::build() const
{
    Bytes plain = body();
    uint32_t length = file_length.value_or(static_cast<uint32_t>(plain.size() + 8));
    Bytes file;
    const char* sig = container == Container::fws ? "FWS" : container == Container::cws ? "CWS" : "ZWS";
    put_bytes(file, {reinterpret_cast<const uint8_t*>(sig), 3});
    file.push_back(version);
    put_u32(file, length);
    if (container == Container::fws) {
        put_bytes(file, plain);
    } else if (container == Container::cws) {
        put_bytes(file, zlib_compress(plain));
    } else {
        Bytes packed(plain.size() * 2 + 1024);
        size_t packed_len = packed.size();
        uint8_t props[kLzmaPropsSize];
        size_t props_len = sizeof props;
        lzma_compress(packed.data(), &packed_len, plain.data(), plain.size(), props, &props_len, 5, 1 << 16, 3, 0, 2,
                      32, 1);
        put_u32(file, static_cast<uint32_t>(packed_len));
        put_bytes(file, {props, props_len});
        put_bytes(file, {packed.data(), packed_len});
    }
    return file;
}

bool write_file(const std::string& path, std::span<const uint8_t> bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    // An empty span may hold a null pointer, which fwrite must not be given.
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace swfkit
