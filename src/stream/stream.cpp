#include "stream/stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "stream/byte_reader.h"
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

// Every read goes through ByteReader, the one parser of bytes; a stream is a reader that
// remembers where it stopped. The caller has checked the length (see the header), so a
// read past the end is a broken invariant here, not a malformed input.
class StreamRead {
public:
    // `aligned` for reads that start at a whole byte: the bits left of the current one
    // are dropped first, and reset_bitread's line says so.
    StreamRead(Stream* stream, bool aligned) : stream_(stream), in_({stream->buf, stream->len})
    {
        PIXSIEVE_CHECK(stream->pos < stream->len);
        in_.seek(stream->pos);
        in_.ubits(stream->bitpos);
        if (aligned) {
            stream_report_align(stream->bitpos);
            in_.align();
        }
    }
    ~StreamRead()
    {
        stream_->pos = static_cast<uint32_t>(in_.position());
        stream_->bitpos = static_cast<uint8_t>(in_.bit_position());
    }
    StreamRead(const StreamRead&) = delete;
    StreamRead& operator=(const StreamRead&) = delete;

    ByteReader& in() { return in_; }
    // The value read, once the reader has checked it lay inside the buffer.
    template <class T>
    T checked(T value)
    {
        const bool read_inside_buffer = in_.ok();
        PIXSIEVE_CHECK(read_inside_buffer);
        return value;
    }

private:
    Stream* stream_;
    ByteReader in_;
};

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

uint8_t stream_read_ui8(Stream* stream)
{
    StreamRead read(stream, true);
    return read.checked(read.in().u8());
}
int8_t stream_read_si8(Stream* stream) { return static_cast<int8_t>(stream_read_ui8(stream)); }
uint16_t stream_read_ui16(Stream* stream)
{
    StreamRead read(stream, true);
    return read.checked(read.in().u16le());
}
int16_t stream_read_si16(Stream* stream) { return static_cast<int16_t>(stream_read_ui16(stream)); }
uint32_t stream_read_ui32(Stream* stream)
{
    StreamRead read(stream, true);
    return read.checked(read.in().u32le());
}
int32_t stream_read_si32(Stream* stream) { return static_cast<int32_t>(stream_read_ui32(stream)); }

double stream_read_double(Stream* stream)
{
    StreamRead read(stream, true);
    const uint64_t low = read.in().u32le();
    const uint64_t bits = read.checked(uint64_t{read.in().u32le()} << 32 | low);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const char* stream_read_string(Stream* stream)
{
    StreamRead read(stream, true);
    return read.checked(read.in().cstring()).data();
}

uint32_t stream_read_encodedu32(Stream* stream)
{
    StreamRead read(stream, true);
    return read.checked(read.in().encoded_u32());
}

void stream_skip(Stream* stream, uint32_t count)
{
    StreamRead read(stream, true);
    read.checked(read.in().skip(count));
}

void stream_read_bytes(void* dest, Stream* stream, uint32_t count)
{
    if (count == 0) {
        reset_bitread(stream);
        return;
    }
    StreamRead read(stream, true);
    const std::span<const uint8_t> bytes = read.checked(read.in().bytes(count));
    std::memcpy(dest, bytes.data(), count);
}

void stream_copy(Stream* dest, Stream* source, uint32_t count)
{
    PIXSIEVE_CHECK(count <= dest->len && dest->pos <= dest->len - count);
    stream_read_bytes(dest->buf + dest->pos, source, count);
    source->pos -= count;  // only the alignment moves the source
}

uint8_t stream_read_bit(Stream* stream) { return static_cast<uint8_t>(stream_read_ubits(stream, 1)); }

uint32_t stream_read_ubits(Stream* stream, uint8_t count)
{
    if (count == 0)
        return 0;
    StreamRead read(stream, false);
    return read.checked(read.in().ubits(count));
}

int32_t stream_read_sbits(Stream* stream, uint8_t count)
{
    if (count == 0)
        return 0;
    StreamRead read(stream, false);
    return read.checked(read.in().sbits(count));
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
