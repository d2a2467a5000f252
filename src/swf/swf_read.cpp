// Loading a movie: container header, decompression, frame header, tag records.
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

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

// Claims up to this many times the packed size are believed up front: the block then
// costs at most that much more than the file already held.
constexpr uint64_t kTrustedInflateRatio = 32;

// A believable claim, as writers make it, is inflated in one call straight into a block of
// the claimed size; a larger one lets the data decide the memory (zlib_inflate_growing).
Fault inflate_body(const uint8_t* packed, uint32_t packed_len, uint32_t limit, Stream* body)
{
    uint8_t* block = nullptr;
    size_t size = limit;
    Fault fault = Fault::none;
    if (uint64_t{limit} > kTrustedInflateRatio * packed_len) {
        fault = zlib_inflate_growing({packed, packed_len}, limit, &block, &size);
    } else if ((block = buffer_alloc(limit, false)) == nullptr) {
        fault = Fault::out_of_memory;
    } else if ((fault = zlib_inflate_known_size({packed, packed_len}, block, &size)) != Fault::none) {
        buffer_free(block);
        block = nullptr;
    }
    if (fault == Fault::none) {
        body->buf = block;
        body->len = static_cast<uint32_t>(size);
    }
    return fault;
}

// Inflates or decodes the packed body of a CWS or ZWS movie into `body` (nothing for FWS):
// Fault::none, Fault::malformed (with a line) for data that does not unpack,
// Fault::out_of_memory (no line: the caller says it). The header's file length only
// bounds the output; memory follows the real data.
Fault unpack_body(Swf* swf, const uint8_t* packed, uint32_t packed_len, Stream* body)
{
    if (swf->signature[0] == 'C') {
        Fault fault = inflate_body(packed, packed_len, swf->file_length, body);
        if (fault == Fault::out_of_memory)
            return Fault::out_of_memory;
        if (fault != Fault::none) {
            // "CWS decompression failed"
            DEBUG_PROBLEM_IN("swf", "swf_read", "cws解压缩失败:%d", zlib_code(fault));
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
    // An FWS body is the file itself from offset 8: the caller keeps the file's block.
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
bool frame_header_fits(std::span<const uint8_t> body)
{
    if (body.empty())
        return false;
    uint32_t nbits = uint32_t{body[0]} >> 3;
    uint32_t rect_bytes = (5 + 4 * nbits + 7) / 8;
    return body.size() >= rect_bytes + 4;
}

// Walks the tag records once: each becomes a tag that views its bytes in the body, and
// each SymbolClass gives its names on the way.
void build_tag_list(Swf* swf, ByteReader& in)
{
    uint16_t code;
    std::span<const uint8_t> tag_body;
    int count = 0;
    SwfRecord r;
    while ((r = swf_read_record(in, &code, &tag_body)) == SwfRecord::ok) {
        DEBUG_LINE_IN("swf", "swf_read", "[TAG]:%s,%d", swf_tag_name(code).c_str(), static_cast<int>(tag_body.size()));
        swf_add_tag(swf, code, tag_body);
        if (code == kTagSymbolClass)
            swf_read_symbols(swf, tag_body);
        count++;
    }
    if (r == SwfRecord::broken)
        DEBUG_PROBLEM_IN("swf", "swf_read",
                         "tag record at offset %zu runs past the end of the body; tag list ends here", in.position());
    DEBUG_LINE_IN("swf", "swf_read", "tagnum:%d", count);
}

// The loader proper, over the whole file; `file_block` is the block `file` lies in when
// the movie may keep it (an FWS body then stays where it was read), else null. Malformed
// movies are refused with their line (Fault::malformed); memory that runs out is returned
// as Fault::out_of_memory for the caller to report.
Result<SwfPtr> load(std::span<const uint8_t> file, ByteBuffer file_block, const char* path)
{
    if (file.size() < kHeaderSize) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: %zu bytes is too short for a swf header", file.size());
        return Fault::malformed;
    }
    SwfPtr swf(new Swf);
    swf->path = path;

    ByteReader header(file.first(kHeaderSize));
    std::memcpy(swf->signature, header.bytes(3).data(), 3);
    swf->version = header.u8();
    swf->file_length = header.u32le();
    const std::span<const uint8_t> packed = file.subspan(kHeaderSize);
    if (!header_is_sound(swf.get(), static_cast<uint32_t>(file.size())))
        return Fault::malformed;
    Stream unpacked{};
    if (Fault fault = unpack_body(swf.get(), packed.data(), static_cast<uint32_t>(packed.size()), &unpacked);
        fault != Fault::none)
        return fault;
    if (unpacked.buf != nullptr) {
        swf->storage.reset(unpacked.buf);
        swf->body = {unpacked.buf, unpacked.len};
        file_block.reset();  // the compressed input is not needed any more
    } else {
        const std::span<const uint8_t> body = packed.first(
            std::min<size_t>(swf->file_length - kHeaderSize, packed.size()));
        if (!file_block) {  // the caller keeps its bytes: the movie needs its own
            file_block = buffer_new(body.size());
            if (!file_block)
                return Fault::out_of_memory;
            if (!body.empty())
                std::memcpy(file_block.get(), body.data(), body.size());
            swf->body = {file_block.get(), body.size()};
        } else {
            swf->body = body;
        }
        swf->storage = std::move(file_block);
    }

    if (!frame_header_fits(swf->body)) {
        DEBUG_PROBLEM_IN("swf", "swf_read", "refused: body of %zu bytes is too short for the frame header",
                         swf->body.size());
        return Fault::malformed;
    }
    ByteReader in(swf->body);
    swf_read_rect(swf.get(), in);
    in.skip(1);  // the rate's fraction byte
    swf->frame_rate = in.u8();
    swf->frame_count = in.u16le();
    DEBUG_LINE_IN("swf", "swf_read", "framerate:%d,totalframe:%d", swf->frame_rate, swf->frame_count);
    build_tag_list(swf.get(), in);
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
    const std::span<const uint8_t> file(source->buf, source->len);
    source->pos = source->len;
    try {
        return load(file, nullptr, path);
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
    try {
        return load({block, size}, std::move(file), path);
    } catch (const std::bad_alloc&) {
        return Fault::out_of_memory;
    }
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

void swf_read_rect(Swf* swf, ByteReader& in)
{
    const std::span<const uint8_t> rest = in.rest();
    const uint32_t nbits = rest.empty() ? 0 : uint32_t{rest[0]} >> 3;
    const uint32_t bytes = (5 + 4 * nbits + 7) / 8;
    stream_clear(&swf->frame_rect);
    stream_resize(&swf->frame_rect, bytes);
    stream_write_bytes(&swf->frame_rect, rest.data(), std::min<uint32_t>(bytes, static_cast<uint32_t>(rest.size())));
    swf->frame_rect.pos = 0;
    swf->rect_bits = static_cast<uint8_t>(in.ubits(5));
    swf->xmin = in.sbits(nbits) / 20;
    swf->xmax = in.sbits(nbits) / 20;
    swf->ymin = in.sbits(nbits) / 20;
    swf->ymax = in.sbits(nbits) / 20;
    stream_report_align(in.bit_position());  // the line the bit reader has always printed here
    in.align();
}

SwfRecord swf_read_record(ByteReader& in, uint16_t* code, std::span<const uint8_t>* body)
{
    if (in.at_end())
        return SwfRecord::end;
    if (!in.has(kRecordHeaderShort))
        return SwfRecord::broken;
    const uint16_t word = in.u16le();
    *code = static_cast<uint16_t>(word >> 6);
    uint32_t length = word & kLongLengthMark;
    if (length == kLongLengthMark) {
        if (!in.has(4))
            return SwfRecord::broken;
        length = in.u32le();
    }
    if (!in.has(length))
        return SwfRecord::broken;
    *body = in.bytes(length);
    return SwfRecord::ok;
}

void swf_free(Swf* swf) { delete swf; }
