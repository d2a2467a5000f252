// The tag list and the display names of tag codes.
#include <array>

#include "swf/swf.h"
#include "swf/symbols.h"

namespace {

constexpr std::array<const char*, 91> kTagNames = [] {
    std::array<const char*, 91> names{};
    names[0] = "End (V1.0)";
    names[1] = "ShowFrame (V1.0)";
    names[2] = "DefineShape (V1.0)";
    names[3] = "FreeCharacter (V1.0)";
    names[4] = "PlaceObject (V1.0)";
    names[5] = "RemoveObject (V1.0)";
    names[6] = "DefineBits (V1.0)";
    names[7] = "DefineButton (V1.0)";
    names[8] = "JPEGTables (V1.0)";
    names[9] = "SetBackgroundColor (V1.0)";
    names[10] = "DefineFont (V1.0)";
    names[11] = "DefineText (V1.0)";
    names[12] = "DoAction (V1.0)";
    names[13] = "DefineFontInfo (V1.0)";
    names[14] = "DefineSound (V2.0)";
    names[15] = "StartSound (V2.0)";
    names[16] = "StopSound (V2.0)";
    names[17] = "DefineButtonSound (V2.0)";
    names[18] = "SoundStreamHead (V2.0)";
    names[19] = "SoundStreamBlock (V2.0)";
    names[20] = "DefineBitsLossless (V2.0)";
    names[21] = "DefineBitsJPEG2 (V2.0)";
    names[22] = "DefineShape2 (V2.0)";
    names[23] = "DefineButtonCxform (V2.0)";
    names[24] = "Protect (V2.0)";
    names[25] = "PathsArePostscript (V3.0)";
    names[26] = "PlaceObject2 (V3.0)";
    names[28] = "RemoveObject2 (V3.0)";
    names[29] = "SyncFrame (V3.0)";
    names[31] = "FreeAll (V3.0)";
    names[32] = "DefineShape3 (V3.0)";
    names[33] = "DefineText2 (V3.0)";
    names[34] = "DefineButton2 (V3.0)";
    names[35] = "DefineBitsJPEG3 (V3.0)";
    names[36] = "DefineBitsLossless2 (V3.0)";
    names[37] = "DefineEditText (V4.0)";
    names[38] = "DefineVideo (V4.0)";
    names[39] = "DefineSprite (V3.0)";
    names[40] = "NameCharacter (V3.0)";
    names[41] = "SerialNumber (V3.0)";
    names[42] = "DefineTextFormat (V3.0)";
    names[43] = "FrameLabel (V3.0)";
    names[45] = "SoundStreamHead2 (V3.0)";
    names[46] = "DefineMorphShape (V3.0)";
    names[47] = "GenerateFrame (V3.0)";
    names[48] = "DefineFont2 (V3.0)";
    names[49] = "GeneratorCommand (V3.0)";
    names[50] = "DefineCommandObject (V5.0)";
    names[51] = "CharacterSet (V5.0)";
    names[52] = "ExternalFont (V5.0)";
    names[56] = "Export (V5.0)";
    names[57] = "Import (V5.0)";
    names[58] = "ProtectDebug (V5.0)";
    names[59] = "DoInitAction (V6.0)";
    names[60] = "DefineVideoStream (V6.0)";
    names[61] = "VideoFrame (V6.0)";
    names[62] = "DefineFontInfo2 (V6.0)";
    names[64] = "ProtectDebug2 (V6.0)";
    names[65] = "ScriptLimits (V7.0)";
    names[66] = "SetTabIndex (V7.0)";
    names[69] = "FileAttributes (V8.0)";
    names[70] = "PlaceObject3 (V8.0)";
    names[71] = "Import2 (V8.0)";
    names[72] = "DoABC(v9.0)";
    names[73] = "DefineFontAlignZones (V8.0)";
    names[74] = "CSMTextSettings (V8.0)";
    names[75] = "DefineFont3 (V8.0)";
    names[76] = "SymbolClass(v9.0)";
    names[77] = "Metadata (V8.0)";
    names[78] = "DefineScalingGrid (V8.0)";
    names[82] = "DoABCDefine(v9.0)";
    names[83] = "DefineShape4 (V8.0)";
    names[84] = "DefineMorphShape2 (V8.0)";
    names[86] = "DefineSceneAndFrameData(v9.0)";
    names[87] = "DefineSceneAndFrameData(v9.0)";
    names[88] = "DefineFontName(v9.0)";
    names[90] = "DefineBitsJPEG4(v10.0)";
    return names;
}();

}  // namespace

void tag_list_append(SwfTag* node, SwfTag* head)
{
    node->prev = head->prev;
    node->next = head;
    head->prev->next = node;
    head->prev = node;
}

namespace {

void tag_list_unlink(SwfTag* node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = node->prev = node;
}

}  // namespace

Swf::Swf() : names(symbols_new()) { tags.next = tags.prev = &tags; }

Swf::~Swf()
{
    while (SwfTag* tag = swf_last_tag(this))
        swf_remove_tag(tag);
    stream_clear(&frame_rect);
}

SwfTag* swf_append_tag(Swf* swf, uint16_t code)
{
    auto* tag = new SwfTag{};
    tag_list_append(tag, &swf->tags);
    tag->code = code;
    return tag;
}

SwfTag* swf_add_tag(Swf* swf, uint16_t code, std::span<const uint8_t> body)
{
    SwfTag* tag = swf_append_tag(swf, code);
    tag->body = body;
    return tag;
}

Stream* swf_tag_own_body(SwfTag* tag, uint32_t size)
{
    Stream fresh{};
    stream_resize(&fresh, size);  // before the old bytes go: a failure leaves the tag as it was
    stream_clear(&tag->owned);
    tag->owned = fresh;
    tag->body = {fresh.buf, fresh.len};
    return &tag->owned;
}

SwfTag* swf_last_tag(Swf* swf) { return swf->tags.prev != &swf->tags ? swf->tags.prev : nullptr; }

void swf_move_tag_to_end(Swf* swf, SwfTag* tag)
{
    tag_list_unlink(tag);
    tag_list_append(tag, &swf->tags);
}

void swf_remove_tag(SwfTag* tag)
{
    tag_list_unlink(tag);
    stream_clear(&tag->owned);
    delete tag;
}

// Codes outside the table name themselves by one character, the low byte of the
// code, as the tag dumps of this tool always have.
std::string swf_tag_name(uint16_t code)
{
    if (code < kTagNames.size() && kTagNames[code] != nullptr)
        return kTagNames[code];
    return std::string(1, static_cast<char>(code & 0xFF));
}
