// Editing the bitmaps of a loaded movie: rebuilding tags from edited pictures,
// re-encoding lossless bitmaps as JPEG when smaller, adding new bitmaps.
#pragma once

#include <cstdint>

struct ImageContext;
struct Swf;
struct SwfTag;
struct SymbolEntry;

// What one edit did to a tag.
enum class EditResult { changed, unchanged, failed };

// What a walk over the tags did: tags rebuilt, and tags that should have been but could
// not be (each named in a line; those tags are left exactly as they were).
struct EditCount {
    uint32_t changed = 0;
    uint32_t failed = 0;
};

// Pictures are decoded through the caller's ImageContext, as extraction's workers do.

// Rebuilds every bitmap tag that has "<movie>_res/<id>.png" (else "<id>.jpg", else "<id>.gif"). A picture
// that is there but cannot be read or used counts as failed: the ".jpg" is then not tried.
EditCount swf_replace(Swf* swf, ImageContext* images);

// Rebuild one tag from encoded picture bytes. Each returns true when the tag was
// rebuilt; on any failure the tag is left exactly as it was (with a line).
bool swf_write_tag_DefineBitsLossless2(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size,
                                       ImageContext* images);
bool swf_replace_jpeg(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size, ImageContext* images);
// GIF data goes back as stored, as the data of a DefineBitsJPEG2 tag.
bool swf_replace_gif(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size);

// Re-encodes every 32-bit lossless bitmap as JPEG with an alpha plane when smaller; the
// JPEG holds the colours as stored (premultiplied). A
// bitmap whose pixels cannot be read or re-encoded counts as failed; one whose JPEG form
// is not smaller, or of another format, is unchanged.
EditCount swf_small(Swf* swf);
EditResult lossless2jpeg(SwfTag* tag);

inline constexpr uint16_t kAddedImageId = 1000;

// Appends a DefineBitsJPEG2 tag with character id `id` built from the picture file and
// names it `name` (kept by pointer). Null, with nothing added, when the file does not load.
SymbolEntry* swf_add_image(Swf* swf, const char* name, const char* path, ImageContext* images,
                           uint16_t id = kAddedImageId);
