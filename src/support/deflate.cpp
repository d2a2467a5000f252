#include "support/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <new>

#include "support/memory.h"

#include <mutex>

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

// zlib's compressBound, in size_t.
static size_t zlib_bound(size_t size) { return size + (size >> 12) + (size >> 14) + (size >> 25) + 13; }

// A zlib stream for zlib_deflate_filtered; null when zlib has no memory for it.
static z_stream* new_filtered_stream()
{
    auto* stream = new (std::nothrow) z_stream{};
    if (stream && deflateInit2(stream, 6, Z_DEFLATED, 15, 8, Z_FILTERED) != Z_OK) {
        delete stream;
        return nullptr;
    }
    return stream;
}

static void free_filtered_stream(z_stream* stream)
{
    if (stream)
        deflateEnd(stream);
    delete stream;
}

// One whole stream through a fresh or reset zlib stream.
static Result<size_t> deflate_filtered_with(z_stream* stream, std::span<const uint8_t> in, uint8_t* out,
                                            size_t capacity)
{
    stream->next_in = const_cast<Bytef*>(in.data());
    stream->avail_in = static_cast<uInt>(in.size());
    stream->next_out = out;
    stream->avail_out = capacity > UINT32_MAX ? UINT32_MAX : static_cast<uInt>(capacity);
    if (deflate(stream, Z_FINISH) != Z_STREAM_END)
        return Fault::too_large;  // the output filled up before the stream's end
    return size_t{stream->total_out};
}

// What uncompress's codes mean here; zlib_code below gives the numbers back.
static Fault inflate_fault(int zlib_result)
{
    switch (zlib_result) {
    case Z_OK: return Fault::none;
    case Z_MEM_ERROR: return Fault::out_of_memory;
    case Z_BUF_ERROR: return Fault::too_large;
    default: return Fault::malformed;
    }
}

int zlib_code(Fault fault)
{
    switch (fault) {
    case Fault::none: return Z_OK;
    case Fault::out_of_memory: return Z_MEM_ERROR;
    case Fault::too_large: return Z_BUF_ERROR;
    default: return Z_DATA_ERROR;
    }
}

// zlib's uncompress with the sizes checked against its 32-bit counts.
static Fault zlib_uncompress(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    if (in.size() > UINT32_MAX || *out_size > UINT32_MAX)
        return Fault::out_of_memory;
    uLongf length = static_cast<uLongf>(*out_size);
    int rv = uncompress(out, &length, in.data(), static_cast<uLong>(in.size()));
    *out_size = length;
    return inflate_fault(rv);
}

Fault zlib_inflate_growing(std::span<const uint8_t> in, size_t limit, uint8_t** dest, size_t* dest_len)
{
    *dest = nullptr;
    *dest_len = 0;
    if (in.size() > UINT32_MAX)
        return Fault::too_large;
    const uint8_t* packed = in.data();
    const auto packed_len = static_cast<uint32_t>(in.size());
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return Fault::out_of_memory;
    z.next_in = const_cast<uint8_t*>(packed);
    z.avail_in = packed_len;
    uint8_t* block = nullptr;
    size_t capacity = 0;
    int rv = Z_OK;
    while (rv == Z_OK) {
        if (z.total_out == capacity) {
            if (capacity == limit) {
                // Full: only the stream's trailer may follow, which needs no room.
                z.next_out = block;
                z.avail_out = 0;
                rv = inflate(&z, Z_NO_FLUSH) == Z_STREAM_END ? Z_STREAM_END : Z_BUF_ERROR;
                break;
            }
            capacity = grow_output_capacity(capacity, packed_len, limit);
            uint8_t* grown = buffer_realloc(block, capacity);
            if (grown == nullptr) {
                rv = Z_MEM_ERROR;
                break;
            }
            block = grown;
        }
        z.next_out = block + z.total_out;
        z.avail_out = static_cast<uInt>(capacity - z.total_out);
        rv = inflate(&z, Z_NO_FLUSH);
        if (rv == Z_BUF_ERROR && z.avail_out != 0)
            rv = Z_DATA_ERROR;  // the input ran out before the stream's end
        else if (rv == Z_BUF_ERROR || rv == Z_NEED_DICT)
            rv = rv == Z_NEED_DICT ? Z_DATA_ERROR : Z_OK;
    }
    if (rv == Z_STREAM_END)
        rv = Z_OK;
    else if (rv == Z_OK)
        rv = Z_BUF_ERROR;
    inflateEnd(&z);
    if (rv != Z_OK) {
        buffer_free(block);
        return inflate_fault(rv);
    }
    *dest = block;
    *dest_len = z.total_out;
    return Fault::none;
}

namespace {

// The coders a call needs, kept for later calls: allocating a libdeflate compressor, or
// setting up zlib's quarter megabyte of tables, costs more than deflating a sprite.
struct Coders {
#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
    libdeflate_compressor* compressors[13] = {};  // one per level
    libdeflate_decompressor* decompressor = nullptr;
#endif
    z_stream* filtered_stream = nullptr;
    Coders* next_idle = nullptr;

    ~Coders()
    {
#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
        for (libdeflate_compressor* c : compressors)
            libdeflate_free_compressor(c);
        libdeflate_free_decompressor(decompressor);
#endif
        free_filtered_stream(filtered_stream);
    }

#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
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
#endif

    // Reset between calls rather than set up again.
    z_stream* filtered()
    {
        if (filtered_stream)
            deflateReset(filtered_stream);
        else
            filtered_stream = new_filtered_stream();
        return filtered_stream;
    }
};

// The idle coders of all threads; a call borrows one for its duration, so there are never
// more than calls at once. Not one per thread: the mingw runtime crashes at thread exit
// when a thread_local object has a destructor.
class CoderPool {
public:
    ~CoderPool()
    {
        while (Coders* c = idle_) {
            idle_ = c->next_idle;
            delete c;
        }
    }

    Coders* take()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (Coders* c = idle_) {
                idle_ = c->next_idle;
                return c;
            }
        }
        return new (std::nothrow) Coders;
    }

    void give(Coders* c)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        c->next_idle = idle_;
        idle_ = c;
    }

private:
    std::mutex mutex_;
    Coders* idle_ = nullptr;
};

// A cache, not state: no call's result depends on which coders it borrowed, so the pool
// belongs to the process rather than to the callers' contexts.
CoderPool pool;

class BorrowedCoders {
public:
    BorrowedCoders() : coders_(pool.take()) {}
    ~BorrowedCoders()
    {
        if (coders_)
            pool.give(coders_);
    }
    BorrowedCoders(const BorrowedCoders&) = delete;
    BorrowedCoders& operator=(const BorrowedCoders&) = delete;

#if defined(PIXSIEVE_HAVE_LIBDEFLATE)
    libdeflate_compressor* compressor(int level) { return coders_ ? coders_->compressor(level) : nullptr; }
    libdeflate_decompressor* inflater() { return coders_ ? coders_->inflater() : nullptr; }
#endif
    z_stream* filtered() { return coders_ ? coders_->filtered() : nullptr; }

private:
    Coders* coders_;
};

}  // namespace

Result<size_t> zlib_deflate_filtered(std::span<const uint8_t> in, uint8_t* out, size_t capacity)
{
    if (in.size() > UINT32_MAX)  // past zlib's 32-bit counts
        return zlib_deflate(in, out, capacity);
    BorrowedCoders coders;
    z_stream* stream = coders.filtered();
    if (!stream)
        return Fault::out_of_memory;
    return deflate_filtered_with(stream, in, out, capacity);
}

#if defined(PIXSIEVE_HAVE_LIBDEFLATE)

size_t zlib_deflate_bound(size_t size)
{
    return std::max(libdeflate_zlib_compress_bound(nullptr, size), zlib_bound(size));
}

Result<size_t> zlib_deflate(std::span<const uint8_t> in, uint8_t* out, size_t capacity, int level)
{
    BorrowedCoders coders;
    libdeflate_compressor* compressor = coders.compressor(level);
    if (!compressor)
        return Fault::out_of_memory;
    const size_t length = libdeflate_zlib_compress(compressor, in.data(), in.size(), out, capacity);
    if (length == 0)
        return Fault::too_large;
    return length;
}

Fault zlib_inflate_known_size(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    BorrowedCoders coders;
    libdeflate_decompressor* inflater = coders.inflater();
    size_t produced = 0;
    if (inflater &&
        libdeflate_zlib_decompress(inflater, in.data(), in.size(), out, *out_size, &produced) == LIBDEFLATE_SUCCESS) {
        *out_size = produced;
        return Fault::none;
    }
    return zlib_uncompress(in, out, out_size);
}

#else  // zlib alone

size_t zlib_deflate_bound(size_t size) { return zlib_bound(size); }

Result<size_t> zlib_deflate(std::span<const uint8_t> in, uint8_t* out, size_t capacity, int level)
{
    if (in.size() > UINT32_MAX)
        return Fault::too_large;
    uLongf length = capacity > UINT32_MAX ? UINT32_MAX : static_cast<uLongf>(capacity);
    if (level < 1 || level > 9)
        level = level > 9 ? 9 : 6;
    switch (compress2(out, &length, in.data(), static_cast<uLong>(in.size()), level)) {
    case Z_OK: return size_t{length};
    case Z_MEM_ERROR: return Fault::out_of_memory;
    default: return Fault::too_large;
    }
}

Fault zlib_inflate_known_size(std::span<const uint8_t> in, uint8_t* out, size_t* out_size)
{
    return zlib_uncompress(in, out, out_size);
}

#endif
