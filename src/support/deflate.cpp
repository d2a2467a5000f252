#include "support/deflate.h"

#include <zlib.h>

#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
#include <libdeflate.h>
#endif

#if !defined(PIXSIEVE_HAVE_LIBDEFLATE)
namespace {

// zlib counts in uInt, 32 bits: larger spans go through in pieces.
template <typename Checksum>
uint32_t zlib_checksum(Checksum checksum, uint32_t value, std::span<const uint8_t> data)
{
    constexpr size_t kPiece = 0x40000000u;
    for (size_t at = 0; at < data.size(); at += kPiece) {
        const size_t n = data.size() - at < kPiece ? data.size() - at : kPiece;
        value = static_cast<uint32_t>(checksum(value, data.data() + at, static_cast<uInt>(n)));
    }
    return value;
}

}  // namespace
#endif

uint32_t crc32_update(uint32_t crc, std::span<const uint8_t> data)
{
#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
    return libdeflate_crc32(crc, data.data(), data.size());
#else
    return zlib_checksum(crc32, crc, data);
#endif
}

uint32_t adler32_update(uint32_t adler, std::span<const uint8_t> data)
{
#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
    return libdeflate_adler32(adler, data.data(), data.size());
#else
    return zlib_checksum(adler32, adler, data);
#endif
}

// zlib's uncompress with the sizes checked against its 32-bit counts.
static int zlib_uncompress(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    if (in.size() > UINT32_MAX || *out_size > UINT32_MAX)
        return Z_MEM_ERROR;
    uLongf length = static_cast<uLongf>(*out_size);
    int rv = uncompress(out, &length, in.data(), static_cast<uLong>(in.size()));
    *out_size = length;
    return rv;
}

#if defined(PIXSIEVE_HAVE_LIBDEFLATE)

namespace {

// Each thread keeps one compressor per level and one decompressor: allocating a
// compressor costs more than deflating a small picture. They are a cache, not state: a
// call's result never depends on what the thread deflated before, so they stay out of the
// callers' contexts, and being per thread they are never shared.
struct ThreadCoders {
    libdeflate_compressor* compressors[13] = {};
    libdeflate_decompressor* decompressor = nullptr;

    ~ThreadCoders()
    {
        for (libdeflate_compressor* c : compressors)
            libdeflate_free_compressor(c);
        libdeflate_free_decompressor(decompressor);
    }

    libdeflate_compressor* compressor(int level)
    {
        if (level < 1 || level > 12)
            level = kDeflateLevel;
        if (!compressors[level])
            compressors[level] = libdeflate_alloc_compressor(level);
        return compressors[level];
    }

    libdeflate_decompressor* inflater()
    {
        if (!decompressor)
            decompressor = libdeflate_alloc_decompressor();
        return decompressor;
    }
};

thread_local ThreadCoders coders;

}  // namespace

size_t zlib_deflate_bound(size_t size) { return libdeflate_zlib_compress_bound(nullptr, size); }

size_t zlib_deflate(std::span<const uint8_t> in, uint8_t* out, size_t capacity, int level)
{
    libdeflate_compressor* compressor = coders.compressor(level);
    if (!compressor)
        return 0;
    return libdeflate_zlib_compress(compressor, in.data(), in.size(), out, capacity);
}

int zlib_inflate_known_size(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    libdeflate_decompressor* inflater = coders.inflater();
    size_t produced = 0;
    if (inflater &&
        libdeflate_zlib_decompress(inflater, in.data(), in.size(), out, *out_size, &produced) == LIBDEFLATE_SUCCESS) {
        *out_size = produced;
        return Z_OK;
    }
    return zlib_uncompress(in, out, out_size);
}

#else  // zlib alone

size_t zlib_deflate_bound(size_t size) { return size + (size >> 12) + (size >> 14) + (size >> 25) + 13; }

size_t zlib_deflate(std::span<const uint8_t> in, uint8_t* out, size_t capacity, int level)
{
    if (in.size() > UINT32_MAX)
        return 0;
    uLongf length = capacity > UINT32_MAX ? UINT32_MAX : static_cast<uLongf>(capacity);
    if (level < 1 || level > 9)
        level = level > 9 ? 9 : 6;
    if (compress2(out, &length, in.data(), static_cast<uLong>(in.size()), level) != Z_OK)
        return 0;
    return length;
}

int zlib_inflate_known_size(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    return zlib_uncompress(in, out, out_size);
}

#endif
