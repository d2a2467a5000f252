// The SWF document: one loaded movie with its frame header, tag list and symbol names.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "stream/stream.h"
#include "support/fault.h"
#include "swf/naming.h"

struct SymbolNames;

// One tag record. Tags form a circular doubly linked list in file order whose
// sentinel is the movie's `tags` member.
struct SwfTag {
    SwfTag* next;
    SwfTag* prev;
    Stream body;  // owned copy of the tag body; len is the tag length
    uint16_t code;
};

// A movie owns its streams, its names and every tag on its list: all go with it.
struct Swf {
    Swf();
    ~Swf();
    Swf(const Swf&) = delete;
    Swf& operator=(const Swf&) = delete;

    std::string path;     // as given by the caller; output names derive from it
    Stream body{};        // the decompressed body, frame header first
    char signature[3]{};  // first byte is 'F' once loaded (the body is held uncompressed)
    uint8_t version = 0;
    uint32_t file_length = 0;  // as stored in the header
    uint8_t frame_rate = 0;    // integer part only
    uint16_t frame_count = 0;
    Stream frame_rect{};  // the frame-size RECT bytes as stored
    uint8_t rect_bits = 0;
    int32_t xmin = 0, xmax = 0, ymin = 0, ymax = 0;  // frame bounds in pixels
    std::unique_ptr<SymbolNames> names;
    FileNameClaims file_names;  // the files extraction has given out in the output folder
    SwfTag tags{};              // list sentinel: only next and prev are used
};

// Releases a movie with its tags and names (delete does the same).
void swf_free(Swf* swf);

struct SwfDeleter {
    void operator()(Swf* swf) const { swf_free(swf); }
};
using SwfPtr = std::unique_ptr<Swf, SwfDeleter>;

// Loading. Each prints its progress lines, and the line of a movie it refuses (malformed,
// unreadable). A movie that needs more memory than there is comes back as
// Fault::out_of_memory without a line, for the caller to report as a failure of its own.
Result<SwfPtr> swf_load_file(const char* path);
Result<SwfPtr> swf_load(Stream* source, const char* path);
// The memory loading a movie will take, judged by the start of its file (kHeaderSize
// bytes, or fewer): the body size its header claims. 0 for what is no movie.
uint64_t swf_claimed_body_size(std::span<const uint8_t> file_start);
// The same, null when the movie is not loaded; they print the out-of-memory line themselves.
Swf* swf_readfile(const char* path);
Swf* swf_read(Stream* source, const char* path);

void swf_read_rect(Swf* swf);

// Tag list.
void tag_list_append(SwfTag* node, SwfTag* head);
// Appends a tag whose body is the next `length` bytes of the movie's body (loading).
SwfTag* swf_add_tag(Swf* swf, uint16_t code, uint32_t length);
// Appends a tag with an empty body, for the caller to fill.
SwfTag* swf_append_tag(Swf* swf, uint16_t code);
// The last tag in the list, or null for a movie without tags.
SwfTag* swf_last_tag(Swf* swf);
// Moves a tag of the movie behind all others.
void swf_move_tag_to_end(Swf* swf, SwfTag* tag);
// Takes a tag out of the list and releases it with its body.
void swf_remove_tag(SwfTag* tag);
std::string swf_tag_name(uint16_t code);

// Range-for over the tags of a movie, in list order.
struct SwfTagRange {
    SwfTag* head;
    struct Iterator {
        SwfTag* at;
        SwfTag* operator*() const { return at; }
        Iterator& operator++()
        {
            at = at->next;
            return *this;
        }
        bool operator!=(const Iterator& other) const { return at != other.at; }
    };
    Iterator begin() const { return {head->next}; }
    Iterator end() const { return {head}; }
};
inline SwfTagRange swf_tags(Swf* swf) { return {&swf->tags}; }

// Container header: signature (3 bytes), version, file length (4). A ZWS body is preceded
// by its compressed length (4) and the LZMA properties (5).
inline constexpr uint32_t kHeaderSize = 8;
inline constexpr uint32_t kZwsPrefix = 9;

// Record header sizes.
inline constexpr uint32_t kRecordHeaderShort = 2;
inline constexpr uint32_t kRecordHeaderLong = 6;
inline constexpr uint8_t kLongLengthMark = 63;

// Tag codes the bitmap code handles.
inline constexpr uint16_t kTagEnd = 0;
inline constexpr uint16_t kTagDefineBits = 6;
inline constexpr uint16_t kTagJpegTables = 8;
inline constexpr uint16_t kTagDefineBitsLossless = 20;
inline constexpr uint16_t kTagDefineBitsJpeg2 = 21;
inline constexpr uint16_t kTagDefineBitsJpeg3 = 35;
inline constexpr uint16_t kTagDefineBitsLossless2 = 36;
inline constexpr uint16_t kTagSymbolClass = 76;
inline constexpr uint16_t kTagDefineBinaryData = 87;
inline constexpr uint16_t kTagDefineBitsJpeg4 = 90;
