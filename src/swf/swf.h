// The SWF document: one loaded movie with its frame header, tag list and symbol names.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "stream/byte_reader.h"
#include "stream/stream.h"
#include "support/fault.h"
#include "support/memory.h"
#include "swf/naming.h"

struct SymbolNames;

// One tag record. Tags form a circular doubly linked list in file order whose
// sentinel is the movie's `tags` member. A loaded tag's body is a view into the movie's
// body, which outlives it; a tag given new bytes holds them itself.
struct SwfTag {
    SwfTag* next = nullptr;
    SwfTag* prev = nullptr;
    std::span<const uint8_t> body;  // the tag body; its size is the tag length
    Stream owned{};                 // the bytes `body` shows once the tag was given its own
    uint16_t code = 0;
};

// A movie owns its streams, its names and every tag on its list: all go with it.
struct Swf {
    Swf();
    ~Swf();
    Swf(const Swf&) = delete;
    Swf& operator=(const Swf&) = delete;

    std::string path;               // as given by the caller; output names derive from it
    ByteBuffer storage;             // the one block that holds the body (for an FWS file, the file)
    std::span<const uint8_t> body;  // the decompressed body, frame header first
    char signature[3]{};            // as stored: "FWS", "CWS" or "ZWS", the container it came in
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

// Reads the frame-size RECT at the reader's position into the movie (bounds, bits, the
// bytes as stored), leaving the reader at the next whole byte.
void swf_read_rect(Swf* swf, ByteReader& in);

// The container the movie was loaded from ('F', 'C' or 'Z'), which a save may keep.
inline char swf_container(const Swf* swf) { return swf->signature[0]; }

// Tag list.
void tag_list_append(SwfTag* node, SwfTag* head);
// Appends a tag whose body is `body`, a view into the movie's body (loading).
SwfTag* swf_add_tag(Swf* swf, uint16_t code, std::span<const uint8_t> body);
// Appends a tag with an empty body, for the caller to fill.
SwfTag* swf_append_tag(Swf* swf, uint16_t code);
// Gives the tag `size` zero bytes of its own as its body, for the caller to write from
// position 0; the view it had is let go.
Stream* swf_tag_own_body(SwfTag* tag, uint32_t size);
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

// One tag record read from a run of records (a movie body, a sprite's tags): the end of
// the run, a record whose header or body does not fit in it, or the record with its body
// as a view. A broken record leaves the reader after the header bytes that were there.
enum class SwfRecord { ok, end, broken };
SwfRecord swf_read_record(ByteReader& in, uint16_t* code, std::span<const uint8_t>* body);

// Tag codes the document model reads.
inline constexpr uint16_t kTagEnd = 0;
inline constexpr uint16_t kTagDefineBits = 6;
inline constexpr uint16_t kTagJpegTables = 8;
inline constexpr uint16_t kTagDefineBitsLossless = 20;
inline constexpr uint16_t kTagDefineBitsJpeg2 = 21;
inline constexpr uint16_t kTagPlaceObject2 = 26;
inline constexpr uint16_t kTagDefineBitsJpeg3 = 35;
inline constexpr uint16_t kTagDefineBitsLossless2 = 36;
inline constexpr uint16_t kTagDefineSprite = 39;
inline constexpr uint16_t kTagExportAssets = 56;
inline constexpr uint16_t kTagImportAssets = 57;
inline constexpr uint16_t kTagPlaceObject3 = 70;
inline constexpr uint16_t kTagImportAssets2 = 71;
inline constexpr uint16_t kTagSymbolClass = 76;
inline constexpr uint16_t kTagDefineBinaryData = 87;
inline constexpr uint16_t kTagDefineBitsJpeg4 = 90;
