#include "swf/writer.h"

#include "platform/platform.h"
#include "stream/stream.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/lzma_codec.h"
#include "support/memory.h"
#include "swf/swf.h"

namespace {

constexpr uint8_t kZwsVersion = 13;
constexpr uint32_t kLzmaDictSize = 1u << 24;

uint32_t record_size(const SwfTag* tag)
{
    const auto length = static_cast<uint32_t>(tag->body.size());
    return (length < kLongLengthMark ? kRecordHeaderShort : kRecordHeaderLong) + length;
}

void write_header(Stream* out, const char* signature, uint8_t version, uint32_t file_length)
{
    stream_write_bytes(out, signature, 3);
    stream_write_ui8(out, version);
    stream_write_ui32(out, file_length);
}

// Frame header (fraction byte 0) and every tag, at the stream's position.
void write_body(Swf* swf, Stream* out)
{
    stream_write_bytes(out, swf->frame_rect.buf, swf->frame_rect.len);
    stream_fill(out, 0, 1);
    stream_write_ui8(out, swf->frame_rate);
    stream_write_ui16(out, swf->frame_count);
    for (SwfTag* tag : swf_tags(swf))
        swf_write_tag(out, tag);
}

// The uncompressed body alone, for the compressed containers.
void build_body(Swf* swf, Stream* body, uint32_t file_length)
{
    stream_resize(body, file_length - kHeaderSize);
    write_body(swf, body);
}

void build_fws(Swf* swf, uint32_t file_length, Stream* file)
{
    stream_resize(file, file_length);
    write_header(file, "FWS", swf->version, file_length);
    write_body(swf, file);
}

// False when the body does not deflate into the room there is.
bool build_cws(Swf* swf, uint32_t file_length, Stream* file)
{
    ScopedStream body;
    build_body(swf, &body.s, file_length);
    const size_t room = swf_compressed_capacity('C', body.s.len);
    stream_resize(file, kHeaderSize + static_cast<uint32_t>(room));
    write_header(file, "CWS", swf->version, file_length);
    const Result<size_t> packed_len = zlib_deflate({body.s.buf, body.s.len}, file->buf + kHeaderSize, room);
    if (!packed_len.ok())
        return false;
    stream_resize(file, kHeaderSize + static_cast<uint32_t>(packed_len.value));
    return true;
}

bool build_zws(Swf* swf, uint32_t file_length, Stream* file)
{
    ScopedStream body;
    build_body(swf, &body.s, file_length);
    constexpr uint32_t kPrefix = kHeaderSize + kZwsPrefix;
    size_t packed_len = swf_compressed_capacity('Z', body.s.len);
    stream_resize(file, kPrefix + static_cast<uint32_t>(packed_len));
    size_t props_len = kLzmaPropsSize;
    if (lzma_compress(file->buf + kPrefix, &packed_len, body.s.buf, body.s.len, file->buf + kHeaderSize + 4, &props_len,
                      5, kLzmaDictSize, 3, 0, 2, 32, 2) != Fault::none)
        return false;
    write_header(file, "ZWS", kZwsVersion, file_length);
    stream_write_ui32(file, static_cast<uint32_t>(packed_len));
    stream_resize(file, kPrefix + static_cast<uint32_t>(packed_len));
    swf->version = kZwsVersion;
    return true;
}

// The lines of a save are those of the saver of its container, whoever asked for the file.
const char* saver_name(char container)
{
    return container == 'C' ? "swf_save" : container == 'Z' ? "swf_save_zws" : "swf_save_fws";
}

// Writes the file whole or not at all (through a temporary, never through a link).
Fault save_as(Swf* swf, char container, const char* path)
{
    ScopedStream file;
    if (Fault fault = swf_build_file(swf, container, &file.s); fault != Fault::none)
        return fault;
    WriteStatus status = platform_write_file_whole(path, {file.s.buf, file.s.len});
    if (status == WriteStatus::ok)
        return Fault::none;
    DEBUG_PROBLEM_IN("swf", saver_name(container), "cannot write %s (%s)", path, platform_write_status_text(status));
    return Fault::io_error;
}

}  // namespace

Result<uint32_t> swf_size(Swf* swf)
{
    uint64_t size = kHeaderSize + uint64_t{swf->frame_rect.len} + 4;
    int count = 0;
    for (SwfTag* tag : swf_tags(swf)) {
        size += record_size(tag);
        count++;
    }
    DEBUG_LINE("swf", "tagnum:%d", count);
    if (size >= kMaxBufferSize) {
        DEBUG_PROBLEM("swf", "movie of %llu bytes is too large to write", static_cast<unsigned long long>(size));
        return Fault::too_large;
    }
    return static_cast<uint32_t>(size);
}

void swf_write_tag(Stream* stream, const SwfTag* tag)
{
    const auto length = static_cast<uint32_t>(tag->body.size());
    if (length < kLongLengthMark) {
        stream_write_ui16(stream, static_cast<uint16_t>(uint32_t{tag->code} << 6 | length));
    } else {
        stream_write_ui16(stream, static_cast<uint16_t>(tag->code << 6 | kLongLengthMark));
        stream_write_ui32(stream, length);
    }
    stream_write_bytes(stream, tag->body.data(), length);
}

uint32_t swf_compressed_capacity(char container, uint32_t body_length)
{
    // deflate's worst case, or twice the file for LZMA; cut so that header and output stay
    // below the buffer limit (a body that does not shrink into that much fails to compress).
    uint64_t wanted = container == 'Z' ? 2 * (uint64_t{body_length} + kHeaderSize) - kZwsPrefix
                                       : zlib_deflate_bound(body_length);
    uint64_t prefix = container == 'Z' ? kHeaderSize + kZwsPrefix : kHeaderSize;
    uint64_t room = kMaxBufferSize - 1 - prefix;
    return static_cast<uint32_t>(wanted < room ? wanted : room);
}

Fault swf_build_file(Swf* swf, char container, Stream* file)
{
    const char* saver = saver_name(container);
    stream_clear(file);
    const Result<uint32_t> size = swf_size(swf);
    DEBUG_LINE_IN("swf", saver, "size:%d,%d", static_cast<int>(size.value), static_cast<int>(swf->file_length));
    if (!size.ok())
        return size.fault;
    const uint32_t file_length = size.value;
    if (container == 'C' && !build_cws(swf, file_length, file)) {
        DEBUG_PROBLEM_IN("swf", saver, "cws压缩失败");  // "compression failed"
        return Fault::too_large;
    }
    if (container == 'Z' && !build_zws(swf, file_length, file)) {
        DEBUG_PROBLEM_IN("swf", saver, "zws压缩失败");  // "compression failed"
        return Fault::too_large;
    }
    if (container != 'C' && container != 'Z')
        build_fws(swf, file_length, file);
    return Fault::none;
}

Fault swf_save_fws(Swf* swf, const char* path) { return save_as(swf, 'F', path); }

Fault swf_save(Swf* swf, const char* path) { return save_as(swf, 'C', path); }

Fault swf_save_zws(Swf* swf, const char* path) { return save_as(swf, 'Z', path); }
