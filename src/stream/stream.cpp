#include "stream/stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "support/check.h"
#include "support/debug.h"
#include "support/memory.h"

// The stream's callers check sizes before they allocate: a size past the limit here is a
// broken invariant, while memory that runs out is that movie's or bitmap's failure.
void* mem_alloc(size_t size)
{
    PIXSIEVE_CHECK(size < kMaxBufferSize);
    void* block = buffer_alloc(size, true);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}

void* mem_realloc(void* block, size_t size)
{
    PIXSIEVE_CHECK(size < kMaxBufferSize);
    void* resized = buffer_realloc(block, size);
    if (resized == nullptr)
        throw std::bad_alloc();
    return resized;
}

void mem_free(void* block) { buffer_free(block); }

void stream_clear(Stream* stream)
{
    mem_free(stream->buf);
    *stream = Stream{};
}

void stream_resize(Stream* stream, uint32_t size)
{
    if (stream->buf == nullptr)
        stream->buf = static_cast<uint8_t*>(mem_alloc(size));
    else
        stream->buf = static_cast<uint8_t*>(mem_realloc(stream->buf, size));
    stream->len = size;
}

void stream_free(Stream* stream)
{
    mem_free(stream->buf);
    stream->buf = nullptr;
    stream->len = 0;
}

void stream_report_align(unsigned bitpos)
{
    if (bitpos != 0)
        DEBUG_LINE_IN("stream", "reset_bitread", "stream->bitpos:%u", bitpos);
}

void reset_bitread(Stream* stream)
{
    if (stream->bitpos == 0)
        return;
    stream_report_align(stream->bitpos);
    stream->bitpos = 0;
    stream->pos++;
}

namespace {

// The start check, then alignment, then the extent check: a value that begins
// inside the buffer must also end inside it.
const uint8_t* begin_read(Stream* stream, uint32_t count)
{
    PIXSIEVE_CHECK(stream->pos < stream->len);
    reset_bitread(stream);
    PIXSIEVE_CHECK(count <= stream_remaining(stream));
    const uint8_t* at = stream->buf + stream->pos;
    stream->pos += count;
    return at;
}

uint32_t load_le(const uint8_t* p, int bytes)
{
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

uint8_t* begin_write(Stream* stream, uint32_t count)
{
    PIXSIEVE_CHECK(count <= stream->len && stream->pos <= stream->len - count);
    uint8_t* at = stream->buf + stream->pos;
    stream->pos += count;
    return at;
}

void store_le(uint8_t* p, uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

uint8_t stream_read_ui8(Stream* stream) { return *begin_read(stream, 1); }
int8_t stream_read_si8(Stream* stream) { return static_cast<int8_t>(stream_read_ui8(stream)); }
uint16_t stream_read_ui16(Stream* stream) { return static_cast<uint16_t>(load_le(begin_read(stream, 2), 2)); }
int16_t stream_read_si16(Stream* stream) { return static_cast<int16_t>(stream_read_ui16(stream)); }
uint32_t stream_read_ui32(Stream* stream) { return load_le(begin_read(stream, 4), 4); }
int32_t stream_read_si32(Stream* stream) { return static_cast<int32_t>(stream_read_ui32(stream)); }

double stream_read_double(Stream* stream)
{
    const uint8_t* p = begin_read(stream, 8);
    uint64_t bits = uint64_t{load_le(p + 4, 4)} << 32 | load_le(p, 4);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const char* stream_read_string(Stream* stream)
{
    PIXSIEVE_CHECK(stream->pos < stream->len);
    reset_bitread(stream);
    const void* nul = std::memchr(stream->buf + stream->pos, 0, stream_remaining(stream));
    PIXSIEVE_CHECK(nul != nullptr);
    const char* text = reinterpret_cast<const char*>(stream->buf + stream->pos);
    stream->pos = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - stream->buf) + 1;
    return text;
}

uint32_t stream_read_encodedu32(Stream* stream)
{
    PIXSIEVE_CHECK(stream->pos < stream->len);
    reset_bitread(stream);
    uint32_t value = 0;
    for (int i = 0; i < 5; ++i) {
        PIXSIEVE_CHECK(stream->pos < stream->len);
        uint8_t byte = stream->buf[stream->pos++];
        if (i == 4)
            return value | uint32_t{byte & 0x0Fu} << 28;
        value |= uint32_t{byte & 0x7Fu} << (7 * i);
        if (!(byte & 0x80))
            break;
    }
    return value;
}

void stream_skip(Stream* stream, uint32_t count) { begin_read(stream, count); }

void stream_read_bytes(void* dest, Stream* stream, uint32_t count)
{
    reset_bitread(stream);
    PIXSIEVE_CHECK(count <= stream_remaining(stream));
    if (count != 0)
        std::memcpy(dest, stream->buf + stream->pos, count);
    stream->pos += count;
}

void stream_copy(Stream* dest, Stream* source, uint32_t count)
{
    reset_bitread(source);
    PIXSIEVE_CHECK(count <= stream_remaining(source));
    PIXSIEVE_CHECK(count <= dest->len && dest->pos <= dest->len - count);
    if (count != 0)
        std::memcpy(dest->buf + dest->pos, source->buf + source->pos, count);
}

uint8_t stream_read_bit(Stream* stream)
{
    PIXSIEVE_CHECK(stream->pos < stream->len);
    uint8_t bit = (stream->buf[stream->pos] >> (7 - stream->bitpos)) & 1;
    if (++stream->bitpos == 8) {
        stream->pos++;
        stream->bitpos = 0;
    }
    return bit;
}

uint32_t stream_read_ubits(Stream* stream, uint8_t count)
{
    if (count == 0)
        return 0;
    PIXSIEVE_CHECK(stream->pos < stream->len);
    uint64_t result = 0;
    unsigned n = count;
    while (n > 0) {
        PIXSIEVE_CHECK(stream->pos < stream->len);
        unsigned k = n < 8u - stream->bitpos ? n : 8u - stream->bitpos;
        unsigned byte = stream->buf[stream->pos];
        result = result << k | ((byte >> (8 - stream->bitpos - k)) & ((1u << k) - 1));
        n -= k;
        stream->bitpos = static_cast<uint8_t>(stream->bitpos + k);
        if (stream->bitpos == 8) {
            stream->pos++;
            stream->bitpos = 0;
        }
    }
    return static_cast<uint32_t>(result);
}

int32_t stream_read_sbits(Stream* stream, uint8_t count)
{
    if (count == 0)
        return 0;
    uint32_t sign = stream_read_bit(stream);
    uint32_t rest = stream_read_ubits(stream, static_cast<uint8_t>(count - 1));
    uint32_t high = count - 1 >= 32 ? 0 : (0u - sign) << (count - 1);
    return static_cast<int32_t>(high | rest);
}

void stream_write_ui8(Stream* stream, uint8_t value) { *begin_write(stream, 1) = value; }
void stream_write_ui16(Stream* stream, uint16_t value) { store_le(begin_write(stream, 2), value, 2); }
void stream_write_si16(Stream* stream, int16_t value) { stream_write_ui16(stream, static_cast<uint16_t>(value)); }
void stream_write_ui32(Stream* stream, uint32_t value) { store_le(begin_write(stream, 4), value, 4); }
void stream_write_si32(Stream* stream, int32_t value) { stream_write_ui32(stream, static_cast<uint32_t>(value)); }

void stream_write_double(Stream* stream, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t* p = begin_write(stream, 8);
    store_le(p, static_cast<uint32_t>(bits), 4);
    store_le(p + 4, static_cast<uint32_t>(bits >> 32), 4);
}

void stream_write_string(Stream* stream, const char* text)
{
    stream_write_bytes(stream, text, static_cast<uint32_t>(std::strlen(text) + 1));
}

void stream_write_bytes(Stream* stream, const void* source, uint32_t count)
{
    if (count == 0)
        return;
    std::memcpy(begin_write(stream, count), source, count);
}

void stream_fill(Stream* stream, uint8_t value, uint32_t count)
{
    if (count == 0)
        return;
    std::memset(begin_write(stream, count), value, count);
}

void stream_advance(Stream* stream, uint32_t count) { stream->pos += count; }
