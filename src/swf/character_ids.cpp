#include "swf/character_ids.h"

#include <algorithm>
#include <cstring>

#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

// Tags whose body starts with the id of the character they define or refer to: shapes,
// bitmaps, buttons, fonts, texts, sounds, sprites, morph shapes, videos, binary data,
// RemoveObject and PlaceObject, and the tags that add to a defined character.
constexpr uint16_t kIdFirstCodes[] = {2,  4,  5,  6,  7,  10, 11, 13, 14, 15, 17, 20, 21, 22, 23, 32, 33, 34, 35,
                                      36, 37, 39, 46, 48, 59, 60, 61, 62, 73, 74, 75, 78, 83, 84, 87, 88, 90, 91};
constexpr uint16_t kPlaceObject2 = 26;
constexpr uint16_t kPlaceObject3 = 70;
constexpr uint16_t kDefineSprite = 39;
constexpr uint16_t kExportAssets = 56;
constexpr uint16_t kImportAssets = 57;
constexpr uint16_t kImportAssets2 = 71;
constexpr uint16_t kSymbolClass = 76;
constexpr int kMaxSpriteDepth = 4;  // sprites do not nest in valid movies; hostile ones are cut off

// A bounded view of a tag body; reads past the end yield nothing.
struct Reader {
    const uint8_t* data;
    uint32_t size;
    uint32_t pos = 0;

    bool has(uint32_t n) const { return pos <= size && size - pos >= n; }
    bool u16(uint32_t* value)
    {
        if (!has(2))
            return false;
        *value = data[pos] | uint32_t{data[pos + 1]} << 8;
        pos += 2;
        return true;
    }
    bool skip(uint32_t n)
    {
        if (!has(n))
            return false;
        pos += n;
        return true;
    }
    bool skip_string()
    {
        const void* nul = pos < size ? std::memchr(data + pos, 0, size - pos) : nullptr;
        if (nul == nullptr)
            return false;
        pos = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - data) + 1;
        return true;
    }
};

void scan_records(const uint8_t* data, uint32_t size, uint32_t* highest, int depth);

// Count, then (id, name) pairs: SymbolClass, ExportAssets and the tail of the imports.
void scan_id_name_pairs(Reader& in, uint32_t* highest)
{
    uint32_t count = 0, id = 0;
    if (!in.u16(&count))
        return;
    for (uint32_t i = 0; i < count && in.u16(&id) && in.skip_string(); ++i)
        *highest = std::max(*highest, id);
}

void scan_tag(uint16_t code, const uint8_t* body, uint32_t size, uint32_t* highest, int depth)
{
    Reader in{body, size};
    uint32_t id = 0;
    if (std::find(std::begin(kIdFirstCodes), std::end(kIdFirstCodes), code) != std::end(kIdFirstCodes) && in.u16(&id))
        *highest = std::max(*highest, id);
    in.pos = 0;
    switch (code) {
    case kPlaceObject2:  // flags, depth, then the id when the has-character flag is set
        if (size >= 5 && (body[0] & 0x02) && in.skip(3) && in.u16(&id))
            *highest = std::max(*highest, id);
        break;
    case kPlaceObject3:  // flags, more flags, depth, an optional class name, then the id
        if (size >= 4 && (body[0] & 0x02) && in.skip(4) && (!(body[1] & 0x08) || in.skip_string()) && in.u16(&id))
            *highest = std::max(*highest, id);
        break;
    case kSymbolClass:
    case kExportAssets: scan_id_name_pairs(in, highest); break;
    case kImportAssets:
    case kImportAssets2:  // the URL, two reserved bytes in the second form, then the pairs
        if (in.skip_string() && (code == kImportAssets || in.skip(2)))
            scan_id_name_pairs(in, highest);
        break;
    case kDefineSprite:  // id, frame count, then the sprite's own tags
        if (depth < kMaxSpriteDepth && size > 4)
            scan_records(body + 4, size - 4, highest, depth + 1);
        break;
    default: break;
    }
}

void scan_records(const uint8_t* data, uint32_t size, uint32_t* highest, int depth)
{
    Reader in{data, size};
    uint32_t header = 0;
    while (in.u16(&header)) {
        uint32_t length = header & 0x3F;
        if (length == 0x3F) {
            if (!in.has(4))
                return;
            length = data[in.pos] | uint32_t{data[in.pos + 1]} << 8 | uint32_t{data[in.pos + 2]} << 16 |
                     uint32_t{data[in.pos + 3]} << 24;
            in.pos += 4;
        }
        if (!in.has(length))
            return;
        scan_tag(static_cast<uint16_t>(header >> 6), data + in.pos, length, highest, depth);
        in.pos += length;
    }
}

}  // namespace

uint32_t swf_highest_character_id(Swf* swf)
{
    uint32_t highest = 0;
    for (SwfTag* tag : swf_tags(swf))
        scan_tag(tag->code, tag->body.buf, tag->body.len, &highest, 0);
    const SymbolNames* names = swf->names.get();  // names added in memory have no tag yet
    for (uint32_t i = 0; names != nullptr && i < names->n_buckets; ++i)
        if (symbols_is_live(names, i))
            highest = std::max(highest, names->keys[i]);
    return highest;
}

uint32_t swf_free_character_id(Swf* swf)
{
    const uint32_t highest = swf_highest_character_id(swf);
    return highest < 0xFFFF ? highest + 1 : 0;
}
