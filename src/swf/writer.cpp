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
    return (tag->body.len < kLongLengthMark ? kRecordHeaderShort : kRecordHeaderLong) + tag->body.len;
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

// Sizes the movie and prints the size line; 0 when the movie cannot be written.
uint32_t size_for_save(Swf* swf, const char* function)
{
    uint32_t file_length = swf_size(swf);
    debug_line("swf", __LINE__, function, "size:%d,%d", static_cast<int>(file_length),
               static_cast<int>(swf->file_length));
    return file_length;
}

// The uncompressed body alone, for the compressed containers.
void build_body(Swf* swf, Stream* body, uint32_t file_length)
{
    stream_resize(body, file_length - kHeaderSize);
    write_body(swf, body);
}

// Writes the finished file whole or not at all; 1 when written, else 0 with a line.
int write_file(const char* path, const Stream& file, const char* function)
{
    WriteStatus status = platform_write_file_whole(path, {file.buf, file.len});
    if (status == WriteStatus::ok)
        return 1;
    debug_print(DebugKind::Problem, "swf", __LINE__, function, "cannot write %s (%s)", path,
                platform_write_status_text(status));
    return 0;
}

bool build_fws(Swf* swf, Stream* file, const char* function)
{
    stream_clear(file);
    uint32_t file_length = size_for_save(swf, function);
    if (file_length == 0)
        return false;
    stream_resize(file, file_length);
    write_header(file, "FWS", swf->version, file_length);
    write_body(swf, file);
    return true;
}

// Sizes the movie and builds its uncompressed body; the file length, or 0 (with a
// line) when the movie cannot be written.
uint32_t start_compressed(Swf* swf, Stream* body, Stream* file, const char* function)
{
    stream_clear(file);
    uint32_t file_length = size_for_save(swf, function);
    if (file_length != 0)
        build_body(swf, body, file_length);
    return file_length;
}

bool build_cws(Swf* swf, Stream* file, const char* function)
{
    ScopedStream body;
    uint32_t file_length = start_compressed(swf, &body.s, file, function);
    if (file_length == 0)
        return false;
    size_t packed_len = swf_compressed_capacity('C', body.s.len);
    stream_resize(file, kHeaderSize + static_cast<uint32_t>(packed_len));
    write_header(file, "CWS", swf->version, file_length);
    packed_len = zlib_deflate({body.s.buf, body.s.len}, file->buf + kHeaderSize, packed_len);
    if (packed_len == 0) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "cws压缩失败");  // "compression failed"
        return false;
    }
    stream_resize(file, kHeaderSize + static_cast<uint32_t>(packed_len));
    return true;
}

bool build_zws(Swf* swf, Stream* file, const char* function)
{
    ScopedStream body;
    uint32_t file_length = start_compressed(swf, &body.s, file, function);
    if (file_length == 0)
        return false;
    constexpr uint32_t kPrefix = kHeaderSize + kZwsPrefix;
    size_t packed_len = swf_compressed_capacity('Z', body.s.len);
    stream_resize(file, kPrefix + static_cast<uint32_t>(packed_len));
    size_t props_len = kLzmaPropsSize;
    int rv = lzma_compress(file->buf + kPrefix, &packed_len, body.s.buf, body.s.len, file->buf + kHeaderSize + 4,
                           &props_len, 5, kLzmaDictSize, 3, 0, 2, 32, 2);
    if (rv != LZMA_RESULT_OK) {
        debug_print(DebugKind::Problem, "swf", __LINE__, function, "zws压缩失败");  // "compression failed"
        return false;
    }
    write_header(file, "ZWS", kZwsVersion, file_length);
    stream_write_ui32(file, static_cast<uint32_t>(packed_len));
    stream_resize(file, kPrefix + static_cast<uint32_t>(packed_len));
    swf->version = kZwsVersion;
    return true;
}

using Builder = bool (*)(Swf*, Stream*, const char*);

int save_with(Builder build, Swf* swf, const char* path, const char* function)
{
    ScopedStream file;
    return build(swf, &file.s, function) ? write_file(path, file.s, function) : 0;
}

}  // namespace

uint32_t swf_size(Swf* swf)
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
        return 0;
    }
    return static_cast<uint32_t>(size);
}

void swf_write_tag(Stream* stream, const SwfTag* tag)
{
    uint32_t length = tag->body.len;
    if (length < kLongLengthMark) {
        stream_write_ui16(stream, static_cast<uint16_t>(tag->code << 6 | length));
    } else {
        stream_write_ui16(stream, static_cast<uint16_t>(tag->code << 6 | kLongLengthMark));
        stream_write_ui32(stream, length);
    }
    stream_write_bytes(stream, tag->body.buf, length);
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

bool swf_build_file(Swf* swf, char container, Stream* file)
{
    if (container == 'C')
        return build_cws(swf, file, "swf_save");
    if (container == 'Z')
        return build_zws(swf, file, "swf_save_zws");
    return build_fws(swf, file, "swf_save_fws");
}

int swf_save_fws(Swf* swf, const char* path) { return save_with(build_fws, swf, path, __func__); }

int swf_save(Swf* swf, const char* path) { return save_with(build_cws, swf, path, __func__); }

int swf_save_zws(Swf* swf, const char* path) { return save_with(build_zws, swf, path, __func__); }
