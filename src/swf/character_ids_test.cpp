#include "swf/character_ids.h"

#include <string>

#include <gtest/gtest.h>

#include "load_util.h"
#include "swf_builder.h"

namespace {

using swfkit::Bytes;

Bytes u16_bytes(uint16_t v) { return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

uint32_t highest_in(const swfkit::Movie& movie)
{
    testkit::Loaded loaded = testkit::load_movie(movie.build());
    EXPECT_TRUE(loaded.swf);
    return loaded.swf ? swf_highest_character_id(loaded.swf.get()) : 0;
}

TEST(CharacterIds, EmptyMovieStartsAtOne)
{
    swfkit::Movie m;
    m.end();
    testkit::Loaded loaded = testkit::load_movie(m.build());
    ASSERT_TRUE(loaded.swf);
    EXPECT_EQ(swf_highest_character_id(loaded.swf.get()), 0u);
    EXPECT_EQ(swf_free_character_id(loaded.swf.get()).value, 1u);
}

TEST(CharacterIds, EachKindOfDefinitionAndUseCounts)
{
    const Bytes place2 = concat({Bytes{0x02}, u16_bytes(1), u16_bytes(0)});  // flags, depth, id
    struct Case {
        const char* what;
        uint16_t code;
        Bytes body;
        uint32_t expected;
    };
    const Case cases[] = {
        {"shape", 2, concat({u16_bytes(700), Bytes(8, 0)}), 700},
        {"lossless bitmap", 36, swfkit::lossless_body(800, 5, 1, 1, Bytes{1, 2, 3, 4}), 800},
        {"PlaceObject", 4, concat({u16_bytes(810), u16_bytes(1)}), 810},
        {"PlaceObject2 with a character", 26, concat({Bytes{0x02}, u16_bytes(1), u16_bytes(900)}), 900},
        {"PlaceObject2 moving only", 26, concat({Bytes{0x01}, u16_bytes(1), u16_bytes(65000)}), 0},
        {"PlaceObject3 with a class name", 70, concat({Bytes{0x02, 0x08}, u16_bytes(1), Bytes{'C', 0}, u16_bytes(950)}),
         950},
        {"SymbolClass", 76, swfkit::symbol_class_body({{5, "a"}, {1200, "b"}}), 1200},
        {"ExportAssets", 56, swfkit::symbol_class_body({{1300, "e"}}), 1300},
        {"ImportAssets2", 71, concat({Bytes{'u', 0, 1, 0}, swfkit::symbol_class_body({{1400, "i"}})}), 1400},
        {"placement inside a sprite", 39,
         concat({u16_bytes(20), u16_bytes(1),
                 [&] {
                     Bytes records;
                     swfkit::put_record(records, 26, concat({Bytes{0x02}, u16_bytes(1), u16_bytes(3000)}));
                     swfkit::put_record(records, 0, {});
                     return records;
                 }()}),
         3000},
        {"cut bodies are read as far as they go", 26, Bytes{0x02, 1}, 0},
    };
    for (const Case& c : cases) {
        swfkit::Movie m;
        m.tag(c.code, c.body);
        m.tag(26, place2);  // id 0: never the highest
        m.end();
        EXPECT_EQ(highest_in(m), c.expected) << c.what;
    }
}

TEST(CharacterIds, NoFreeIdAboveTheLast)
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(65535, 5, 1, 1, Bytes{1, 2, 3, 4}));
    m.end();
    testkit::Loaded loaded = testkit::load_movie(m.build());
    ASSERT_TRUE(loaded.swf);
    EXPECT_EQ(swf_free_character_id(loaded.swf.get()).fault, Fault::too_large);
}

}  // namespace
