// Editing the bitmaps of a loaded movie: rebuilding tags from edited pictures,
// re-encoding lossless bitmaps as JPEG when smaller, adding new bitmaps.
#pragma once

#include <cstdint>

struct Swf;
struct SwfTag;
struct SymbolEntry;

// Rebuilds every bitmap tag that has "<movie>_res/<id>.png" (else "<id>.jpg", else "<id>.gif").
void swf_replace(Swf* swf);

// Rebuild one tag from encoded picture bytes. Each returns true when the tag was
// rebuilt; on any failure the tag is left exactly as it was (with a line).
bool swf_write_tag_DefineBitsLossless2(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size);
bool swf_replace_jpeg(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size);
// GIF data goes back as stored, as the data of a DefineBitsJPEG2 tag.
bool swf_replace_gif(SwfTag* tag, uint16_t id, const uint8_t* data, uint32_t size);

// Re-encodes every 32-bit lossless bitmap as JPEG with an alpha plane when smaller; the
// JPEG holds the colours as stored (premultiplied).
void swf_small(Swf* swf);
bool lossless2jpeg(SwfTag* tag);

// Appends a DefineBitsJPEG2 tag with id 1000 built from the picture file and names it
// `name` (kept by pointer). Null, with nothing added, when the file does not load.
SymbolEntry* swf_add_image(Swf* swf, const char* name, const char* path);
