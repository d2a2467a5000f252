#include "swf/writer.h"

#include "stream/stream.h"
#include "support/debug.h"
#include "support/deflate.h"
#include "support/fileio.h"
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

// What every save starts with: sizes the movie, prints the size line and writes the
// uncompressed body (frame header and tags) into `body`. False when the movie cannot be
// written.
bool build_body(Swf* swf, Stream* body, uint32_t* file_length, const char* function)
{
    *file_length = swf_size(swf);
    debug_line("swf", __LINE__, function, "size:%d,%d", static_cast<int>(*file_length),
               static_cast<int>(swf->file_length));
    if (*file_length == 0)
        return false;
    stream_resize(body, *file_length - kHeaderSize);
    write_body(swf, body);
    return true;
}

// Writes header and payload to `path` in one piece; 1 when written, else 0 with a line.
int write_container(const char* path, const char* signature, uint8_t version, uint32_t file_length,
                    const uint8_t* payload, uint32_t payload_size, const char* function)
{
    ScopedStream file;
    stream_resize(&file.s, kHeaderSize + payload_size);
    write_header(&file.s, signature, version, file_length);
    stream_write_bytes(&file.s, payload, payload_size);
    if (file_write_all(path, file.s.buf, file.s.len) == 1)
        return 1;
    debug_print(DebugKind::Problem, "swf", __LINE__, function, "cannot write %s", path);
    return 0;
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

int swf_save_fws(Swf* swf, const char* path)
{
    ScopedStream body;
    uint32_t file_length = 0;
    if (!build_body(swf, &body.s, &file_length, __func__))
        return 0;
    return write_container(path, "FWS", swf->version, file_length, body.s.buf, body.s.len, __func__);
}

int swf_save(Swf* swf, const char* path)
{
    ScopedStream body, packed;
    uint32_t file_length = 0;
    if (!build_body(swf, &body.s, &file_length, __func__))
        return 0;
    // Room for the worst case, so incompressible movies (JPEG-heavy ones) still save.
    size_t packed_len = zlib_deflate_bound(body.s.len);
    stream_resize(&packed.s, static_cast<uint32_t>(packed_len));
    packed_len = zlib_deflate({body.s.buf, body.s.len}, packed.s.buf, packed_len);
    if (packed_len == 0) {
        DEBUG_PROBLEM("swf", "cws压缩失败");  // "compression failed"
        return 0;
    }
    return write_container(path, "CWS", swf->version, file_length, packed.s.buf, static_cast<uint32_t>(packed_len),
                           __func__);
}

int swf_save_zws(Swf* swf, const char* path)
{
    ScopedStream body, packed;
    uint32_t file_length = 0;
    if (!build_body(swf, &body.s, &file_length, __func__))
        return 0;
    uint64_t capacity = 2 * uint64_t{file_length};
    if (capacity >= kMaxBufferSize) {
        DEBUG_PROBLEM("swf", "movie of %u bytes is too large to compress", file_length);
        return 0;
    }
    stream_resize(&packed.s, static_cast<uint32_t>(capacity));
    size_t packed_len = capacity - kZwsPrefix;
    size_t props_len = kLzmaPropsSize;
    int rv = lzma_compress(packed.s.buf + kZwsPrefix, &packed_len, body.s.buf, body.s.len, packed.s.buf + 4, &props_len,
                           5, kLzmaDictSize, 3, 0, 2, 32, 2);
    if (rv != LZMA_RESULT_OK) {
        DEBUG_PROBLEM("swf", "zws压缩失败");  // "compression failed"
        return 0;
    }
    stream_write_ui32(&packed.s, static_cast<uint32_t>(packed_len));
    swf->version = kZwsVersion;
    return write_container(path, "ZWS", kZwsVersion, file_length, packed.s.buf,
                           kZwsPrefix + static_cast<uint32_t>(packed_len), __func__);
}
