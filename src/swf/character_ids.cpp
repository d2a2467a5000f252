#include "swf/character_ids.h"

#include <algorithm>
#include <span>

#include "stream/byte_reader.h"
#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

// Tags whose body starts with the id of the character they define or refer to: shapes,
// bitmaps, buttons, fonts, texts, sounds, sprites, morph shapes, videos, binary data,
// RemoveObject and PlaceObject, and the tags that add to a defined character.
constexpr uint16_t kIdFirstCodes[] = {2,  4,  5,  6,  7,  10, 11, 13, 14, 15, 17, 20, 21, 22, 23, 32, 33, 34, 35,
                                      36, 37, 39, 46, 48, 59, 60, 61, 62, 73, 74, 75, 78, 83, 84, 87, 88, 90, 91};
constexpr int kMaxSpriteDepth = 4;  // sprites do not nest in valid movies; hostile ones are cut off

void raise_to(uint32_t* highest, uint32_t id, const ByteReader& in)
{
    if (in.ok())
        *highest = std::max(*highest, id);
}

void scan_records(std::span<const uint8_t> records, uint32_t* highest, int depth);

// Count, then (id, name) pairs: SymbolClass, ExportAssets and the tail of the imports.
void scan_id_name_pairs(ByteReader& in, uint32_t* highest)
{
    const uint16_t count = in.u16le();
    for (uint16_t i = 0; i < count && in.ok(); ++i) {
        const uint16_t id = in.u16le();
        in.cstring();
        raise_to(highest, id, in);
    }
}

void scan_tag(uint16_t code, std::span<const uint8_t> body, uint32_t* highest, int depth)
{
    if (std::find(std::begin(kIdFirstCodes), std::end(kIdFirstCodes), code) != std::end(kIdFirstCodes)) {
        ByteReader first(body);
        raise_to(highest, first.u16le(), first);
    }
    ByteReader in(body);
    switch (code) {
    case kTagPlaceObject2: {  // flags, depth, then the id when the has-character flag is set
        const uint8_t flags = in.u8();
        in.skip(2);
        if (flags & 0x02)
            raise_to(highest, in.u16le(), in);
        break;
    }
    case kTagPlaceObject3: {  // flags, more flags, depth, an optional class name, then the id
        const uint8_t flags = in.u8();
        const uint8_t more = in.u8();
        in.skip(2);
        if (more & 0x08)
            in.cstring();
        if (flags & 0x02)
            raise_to(highest, in.u16le(), in);
        break;
    }
    case kTagSymbolClass:
    case kTagExportAssets: scan_id_name_pairs(in, highest); break;
    case kTagImportAssets:
    case kTagImportAssets2:  // the URL, two reserved bytes in the second form, then the pairs
        in.cstring();
        if (code == kTagImportAssets2)
            in.skip(2);
        if (in.ok())
            scan_id_name_pairs(in, highest);
        break;
    case kTagDefineSprite:  // id, frame count, then the sprite's own tags
        if (depth < kMaxSpriteDepth && body.size() > 4)
            scan_records(body.subspan(4), highest, depth + 1);
        break;
    default: break;
    }
}

void scan_records(std::span<const uint8_t> records, uint32_t* highest, int depth)
{
    ByteReader in(records);
    uint16_t code = 0;
    std::span<const uint8_t> body;
    while (swf_read_record(in, &code, &body) == SwfRecord::ok)
        scan_tag(code, body, highest, depth);
}

}  // namespace

uint32_t swf_highest_character_id(Swf* swf)
{
    uint32_t highest = 0;
    for (SwfTag* tag : swf_tags(swf))
        scan_tag(tag->code, tag->body, &highest, 0);
    const SymbolNames* names = swf->names.get();  // names added in memory have no tag yet
    for (uint32_t i = 0; names != nullptr && i < names->n_buckets; ++i)
        if (symbols_is_live(names, i))
            highest = std::max(highest, names->keys[i]);
    return highest;
}

Result<uint16_t> swf_free_character_id(Swf* swf)
{
    const uint32_t highest = swf_highest_character_id(swf);
    if (highest >= 0xFFFF)
        return Fault::too_large;
    return static_cast<uint16_t>(highest + 1);
}
