// The byte buffer the SWF writers fill: little-endian writers with their matching readers,
// and the size-limited allocation functions.
//
// Input is parsed with ByteReader (stream/byte_reader.h), which reports a short read. The
// readers here are that reader over a stream's block, for callers that have checked the
// length (see stream_remaining) and so treat a read past `len` as a broken invariant:
// it stops the program.
#pragma once

#include <cstddef>
#include <cstdint>

// The stream's blocks, from the allocation policy (support/memory.h): every size must be
// below its limit, kMaxBufferSize. Memory that runs out
// throws std::bad_alloc, as operator new does: the work on the movie or bitmap catches it
// and reports that one failure.
void* mem_alloc(size_t size);  // zero-filled
void* mem_realloc(void* block, size_t size);
void mem_free(void* block);

struct Stream {
    uint8_t* buf;    // owned heap block, or null
    uint32_t pos;    // next byte to read or write
    uint32_t len;    // valid bytes in buf
    uint8_t bitpos;  // bits of buf[pos] already consumed, 0..7
};

void stream_clear(Stream* stream);
void stream_resize(Stream* stream, uint32_t size);
void stream_free(Stream* stream);

// A Stream that owns its block for the duration of a scope.
struct ScopedStream {
    Stream s{};
    ScopedStream() = default;
    ScopedStream(const ScopedStream&) = delete;
    ScopedStream& operator=(const ScopedStream&) = delete;
    ~ScopedStream() { stream_clear(&s); }
};

// Bytes left from pos to len (0 when pos is at or past len).
inline uint32_t stream_remaining(const Stream* stream)
{
    return stream->pos < stream->len ? stream->len - stream->pos : 0;
}

uint8_t stream_read_ui8(Stream* stream);
int8_t stream_read_si8(Stream* stream);
uint16_t stream_read_ui16(Stream* stream);
int16_t stream_read_si16(Stream* stream);
uint32_t stream_read_ui32(Stream* stream);
int32_t stream_read_si32(Stream* stream);
double stream_read_double(Stream* stream);
// Points into buf; the text must be NUL-terminated before len.
const char* stream_read_string(Stream* stream);
uint32_t stream_read_encodedu32(Stream* stream);
void stream_skip(Stream* stream, uint32_t count);

void stream_read_bytes(void* dest, Stream* stream, uint32_t count);
void stream_copy(Stream* dest, Stream* source, uint32_t count);

uint8_t stream_read_bit(Stream* stream);
uint32_t stream_read_ubits(Stream* stream, uint8_t count);
int32_t stream_read_sbits(Stream* stream, uint8_t count);
void reset_bitread(Stream* stream);
// The line reset_bitread prints when it skips the `bitpos` bits left of a byte (none for 0);
// parsers on ByteReader print it where they align after bit fields, as movies always showed.
void stream_report_align(unsigned bitpos);

void stream_write_ui8(Stream* stream, uint8_t value);
void stream_write_ui16(Stream* stream, uint16_t value);
void stream_write_si16(Stream* stream, int16_t value);
void stream_write_ui32(Stream* stream, uint32_t value);
void stream_write_si32(Stream* stream, int32_t value);
void stream_write_double(Stream* stream, double value);
void stream_write_string(Stream* stream, const char* text);
void stream_write_bytes(Stream* stream, const void* source, uint32_t count);
void stream_fill(Stream* stream, uint8_t value, uint32_t count);
void stream_advance(Stream* stream, uint32_t count);
