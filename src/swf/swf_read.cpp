// Loading a movie: container header, decompression, frame header, tag records.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include <zlib.h>

#include "platform/platform.h"
#include "stream/byte_reader.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/lzma_codec.h"
#include "support/memory.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

constexpr uint32_t kMaxFileLength = static_cast<uint32_t>(kMaxBufferSize);

// Inflates a zlib stream of at most `limit` bytes into a block that grows with the output,
// so a header claiming far more than the data holds allocates nothing for the claim.
// Returns what zlib's uncompress would: Z_OK, Z_BUF_ERROR when the data holds more than
// `limit`, Z_DATA_ERROR for corrupt or cut data, Z_MEM_ERROR.
int inflate_growing(const uint8_t* packed, uint32_t packed_len, uint32_t limit, Stream* body)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return Z_MEM_ERROR;
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
        return rv;
    }
    body->buf = block;
    body->len = static_cast<uint32_t>(z.total_out);
    return Z_OK;
}

// Claims up to this many times the packed size are believed up front: the block then
// costs at most that much more than the file already held.
constexpr uint64_t kTrustedInflateRatio = 32;

// Same results as inflate_growing. A believable claim, as writers make it, is inflated in
// one call straight into a block of the claimed size; a larger one lets the data decide
// the memory (inflate_growing).
int inflate_body(const uint8_t* packed, uint32_t packed_len, uint32_t limit, Stream* body)
{
    if (uint64_t{limit} > kTrustedInflateRatio * packed_len)
        return inflate_growing(packed, packed_len, limit, body);
    uint8_t* block = buffer_alloc(limit, false);
    if (block == nullptr)
        return Z_MEM_ERROR;
    size_t size = limit;
    int rv = zlib_code(zlib_inflate_known_size({packed, packed_len}, block, &size));
    if (rv != Z_OK) {
        buffer_free(block);
        return rv;
    }
    body->buf = block;
    body->len = static_cast<uint32_t>(size);
    return Z_OK;
}

// Inflates or decodes the packed body into `body`: Fault::none, Fault::malformed (with a
// line) for data that does not unpack, Fault::out_of_memory (no line: the caller says it).
// The header's file length only bounds the output; memory follows the real data.
Fault unpack_body(Swf* swf, const uint8_t* packed, uint32_t packed_len, Stream* body)
{
    if (swf->signature[0] == 'C') {
        int rv = inflate_body(packed, packed_len, swf->file_length, body);
        if (rv == Z_MEM_ERROR)
            return Fault::out_of_memory;
        if (rv != Z_OK) {
            // "CWS decompression failed"
            DEBUG_PROBLEM_IN("swf", "swf_read", "cws解压缩失败:%d", rv);
            return Fault::malformed;
        }
        DEBUG_LINE_IN("swf", "swf_read", "cws解压缩OK");
        return Fault::none;
    }
    if (swf->signature[0] == 'Z') {
        uint8_t* block = nullptr;
        size_t out_len = 0;
        size_t in_len = packed_len - kZwsPrefix;
        Fault fault = lzma_uncompress_growing(&block, &out_len, swf->file_length - kHeaderSize, packed + kZwsPrefix,
                                              &in_len, packed + 4, kLzmaPropsSize);
        if (fault == Fault::out_of_memory)
            return Fault::out_of_memory;
        if (fault != Fault::none) {
            // "ZWS decompression failed"
            DEBUG_PROBLEM_IN("swf", "swf_read", "zws解压缩失败:%d", lzma_code(fault));
            return Fault::malformed;
        }
        DEBUG_LINE_IN("swf", "swf_read", "zws解压缩OK");
        body->buf = block;
        body->len = static_cast<uint32_t>(out_len);
        return Fault::none;
    }
    uint32_t len = std::min(swf->file_length - kHeaderSize, packed_len);
    body->buf = static_cast<uint8_t*>(mem_alloc(len));
    if (len != 0)
        std::memcpy(body->buf, packed, len);
    body->len = len;
    return Fault::none;
}

// Header checks the loader relies on before it allocates anything.
bool header_is_sound(const Swf* swf, uint32_t file_size)
{
    std::string_view sig(swf->signature, 3);
    if (sig != "FWS" && sig != "CWS" && sig != "ZWS") {
        DEBUG_PROBLEM_IN("swf", "swf_read", "not a swf movie: signature is not FWS, CWS or ZWS");
        return false;
    }
    if (swf->file_length < kHeaderSize || swf->file_length >= kMaxFileLength) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: file length %u in the header is out of range", swf->file_length);
        return false;
    }
    if (sig == "ZWS" && file_size < kHeaderSize + kZwsPrefix) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: zws file of %u bytes is too short", file_size);
        return false;
    }
    return true;
}

// The frame header must fit: the RECT, the frame rate (2) and the frame count (2).
bool frame_header_fits(const Stream* body)
{
    if (body->len == 0)
        return false;
    uint32_t nbits = body->buf[0] >> 3;
    uint32_t rect_bytes = (5 + 4 * nbits + 7) / 8;
    return body->len >= rect_bytes + 4;
}

enum class Record { ok, end, broken };

// Reads one record header at the body's position; checks that the header and the
// record's body lie inside the movie body.
Record read_record_header(Stream* body, uint16_t* code, uint32_t* length)
{
    uint32_t left = stream_remaining(body);
    if (left == 0)
        return Record::end;
    if (left < kRecordHeaderShort)
        return Record::broken;
    uint16_t word = stream_read_ui16(body);
    *code = word >> 6;
    *length = word & 63;
    if (*length == kLongLengthMark) {
        if (stream_remaining(body) < 4)
            return Record::broken;
        *length = stream_read_ui32(body);
    }
    return *length <= stream_remaining(body) ? Record::ok : Record::broken;
}

void collect_symbol_names(Swf* swf, uint32_t first_tag)
{
    Stream* body = &swf->body;
    uint16_t code;
    uint32_t length;
    while (read_record_header(body, &code, &length) == Record::ok) {
        uint32_t start = body->pos;
        if (code == kTagSymbolClass)
            swf_read_symbols(swf, start + length);
        body->pos = start + length;
    }
    body->pos = first_tag;
}

void build_tag_list(Swf* swf)
{
    Stream* body = &swf->body;
    uint16_t code;
    uint32_t length;
    int count = 0;
    Record r;
    while ((r = read_record_header(body, &code, &length)) == Record::ok) {
        DEBUG_LINE_IN("swf", "swf_read", "[TAG]:%s,%d", swf_tag_name(code).c_str(), static_cast<int>(length));
        uint32_t start = body->pos;
        swf_add_tag(swf, code, length);
        body->pos = start + length;
        count++;
    }
    if (r == Record::broken)
        DEBUG_PROBLEM_IN("swf", "swf_read", "tag record at offset %u runs past the end of the body; tag list ends here",
                         body->pos);
    body->pos = body->len;
    DEBUG_LINE_IN("swf", "swf_read", "tagnum:%d", count);
}

}  // namespace

namespace {

// The loader proper. Malformed movies are refused with their line (Fault::malformed);
// memory that runs out is returned as Fault::out_of_memory for the caller to report.
Result<SwfPtr> load(Stream* source, const char* path)
{
    if (source->len < kHeaderSize) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: %u bytes is too short for a swf header", source->len);
        source->pos = source->len;
        return Fault::malformed;
    }
    SwfPtr swf(new Swf);
    swf->path = path;

    uint8_t header[kHeaderSize];
    stream_read_bytes(header, source, kHeaderSize);
    std::memcpy(swf->signature, header, 3);
    swf->version = header[3];
    swf->file_length = uint32_t{header[4]} | uint32_t{header[5]} << 8 | uint32_t{header[6]} << 16 |
                       uint32_t{header[7]} << 24;
    const uint8_t* packed = source->buf + source->pos;
    uint32_t packed_len = source->len - source->pos;
    source->pos = source->len;
    if (!header_is_sound(swf.get(), source->len))
        return Fault::malformed;
    if (Fault fault = unpack_body(swf.get(), packed, packed_len, &swf->body); fault != Fault::none)
        return fault;
    swf->signature[0] = 'F';

    if (!frame_header_fits(&swf->body)) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: body of %u bytes is too short for the frame header",
                         swf->body.len);
        return Fault::malformed;
    }
    swf_read_rect(swf.get());
    stream_skip(&swf->body, 1);  // aligns after the RECT, then passes the rate's fraction byte
    swf->frame_rate = stream_read_ui8(&swf->body);
    swf->frame_count = stream_read_ui16(&swf->body);
    DEBUG_LINE_IN("swf", "swf_read", "framerate:%d,totalframe:%d", swf->frame_rate, swf->frame_count);

    uint32_t first_tag = swf->body.pos;
    collect_symbol_names(swf.get(), first_tag);
    build_tag_list(swf.get());
    return swf;
}

// The line a caller without its own way of reporting prints for a movie that ran out of memory.
void report_out_of_memory(const char* path)
{
    DEBUG_PROBLEM_IN("swf", "swf_read", "out of memory loading %s, movie not done", path);
}

}  // namespace

Result<SwfPtr> swf_load(Stream* source, const char* path)
{
    try {
        return load(source, path);
    } catch (const std::bad_alloc&) {
        return Fault::out_of_memory;
    }
}

Result<SwfPtr> swf_load_file(const char* path)
{
    debug_print(DebugKind::heading, "swf", __LINE__, "swf_readfile", "%s", path);
    uint8_t* block = nullptr;
    size_t size = 0;
    const ReadStatus status = platform_read_regular_file(path, size_t{INT_MAX} + 1, &block, &size);
    if (status == ReadStatus::out_of_memory)
        return Fault::out_of_memory;
    if (status != ReadStatus::ok) {
        DEBUG_PROBLEM_IN("swf", "swf_readfile", "cannot read %s", path);
        return Fault::io_error;
    }
    ByteBuffer file(block);
    Stream source{file.get(), 0, static_cast<uint32_t>(size), 0};
    return swf_load(&source, path);
}

uint64_t swf_claimed_body_size(std::span<const uint8_t> file_start)
{
    if (file_start.size() < kHeaderSize)
        return 0;
    const std::string_view signature(reinterpret_cast<const char*>(file_start.data()), 3);
    if (signature != "FWS" && signature != "CWS" && signature != "ZWS")
        return 0;
    ByteReader header(file_start.subspan(4, 4));
    const uint32_t file_length = header.u32le();
    return file_length >= kHeaderSize && file_length < kMaxFileLength ? file_length - kHeaderSize : 0;
}

Swf* swf_readfile(const char* path)
{
    Result<SwfPtr> loaded = swf_load_file(path);
    if (loaded.fault == Fault::out_of_memory)
        report_out_of_memory(path);
    return loaded.value.release();
}

Swf* swf_read(Stream* source, const char* path)
{
    Result<SwfPtr> loaded = swf_load(source, path);
    if (loaded.fault == Fault::out_of_memory)
        report_out_of_memory(path);
    return loaded.value.release();
}

void swf_read_rect(Swf* swf)
{
    Stream* body = &swf->body;
    uint8_t nbits = stream_read_ui8(body) >> 3;
    body->pos--;
    uint32_t bytes = static_cast<uint32_t>((5 + 4 * nbits + 7) / 8);
    stream_clear(&swf->frame_rect);
    stream_resize(&swf->frame_rect, bytes);
    stream_copy(&swf->frame_rect, body, bytes);
    swf->rect_bits = static_cast<uint8_t>(stream_read_ubits(body, 5));
    swf->xmin = stream_read_sbits(body, nbits) / 20;
    swf->xmax = stream_read_sbits(body, nbits) / 20;
    swf->ymin = stream_read_sbits(body, nbits) / 20;
    swf->ymax = stream_read_sbits(body, nbits) / 20;
}

void swf_free(Swf* swf) { delete swf; }
