#include "swf/symbols.h"

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "load_util.h"
#include "swf/swf.h"
#include "swf_builder.h"

namespace {

struct Table {
    SymbolNames* t = symbols_new();
    ~Table() { symbols_free(t); }
    uint32_t put(uint32_t key)
    {
        int result = -1;
        uint32_t at = symbols_put(t, key, &result);
        return at;
    }
};

// Keys that leave the same remainder for every table size up to 193 buckets start their
// probes in the same bucket, and the table grows while they go in.
TEST(SymbolTable, CollidingKeysAreEachFoundOnceAndOthersAreAbsent)
{
    Table table;
    EXPECT_EQ(symbols_get(table.t, 5), table.t->n_buckets);  // an empty table finds nothing
    constexpr uint32_t kStride = 3u * 11 * 23 * 53 * 97 * 193;
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < 5; ++i)
        keys.push_back(7 + i * kStride);
    for (uint32_t k = 100; k < 140; ++k)
        keys.push_back(k);
    for (uint32_t key : keys) {
        int result = -1;
        symbols_put(table.t, key, &result);
        EXPECT_EQ(result, 1) << key;  // new
    }
    for (uint32_t key : keys) {
        int result = -1;
        const uint32_t at = symbols_put(table.t, key, &result);
        EXPECT_EQ(result, 0) << key;  // already there, in the bucket a lookup finds
        EXPECT_EQ(symbols_get(table.t, key), at);
        ASSERT_LT(at, table.t->n_buckets);
        EXPECT_EQ(table.t->keys[at], key);
        EXPECT_TRUE(symbols_is_live(table.t, at));
    }
    EXPECT_EQ(table.t->size, keys.size());
    for (uint32_t absent : {uint32_t{8}, 7 + 5 * kStride, uint32_t{140}, uint32_t{0}})
        EXPECT_EQ(symbols_get(table.t, absent), table.t->n_buckets) << absent;
}

TEST(SymbolTable, ManyKeysSurviveEveryRehash)
{
    Table table;
    std::mt19937 rng(7);
    std::map<uint32_t, uint32_t> expected;
    for (int i = 0; i < 5000; ++i) {
        uint32_t key = rng() % 65536;
        uint32_t at = table.put(key);
        table.t->values[at] = std::make_unique<SymbolEntry>(key, "");
        expected[key] = key;
    }
    EXPECT_EQ(table.t->size, expected.size());
    for (auto [key, value] : expected) {
        uint32_t at = symbols_get(table.t, key);
        ASSERT_LT(at, table.t->n_buckets);
        ASSERT_NE(table.t->values[at], nullptr);
        EXPECT_EQ(table.t->values[at]->id, value);  // each entry travelled with its key
    }
}

// Loads a movie built from the given SymbolClass bodies (no output folder involved).
SwfPtr load_with_symbols(const std::vector<swfkit::Bytes>& bodies)
{
    swfkit::Movie m;
    for (const auto& body : bodies)
        m.tag(kTagSymbolClass, body);
    m.end();
    return std::move(testkit::load_movie(m.build()).swf);
}

std::string name_of(Swf* swf, uint32_t id)
{
    uint32_t at = symbols_get(swf->names.get(), id);
    return at == swf->names->n_buckets ? "<absent>" : swf->names->values[at]->name;
}

// Names no character set can spell whole: Korean, an emoji, a lone continuation byte, a
// cut-off sequence, an overlong "/" and a byte never valid in UTF-8.
const std::vector<std::string> kUnusualNames = {
    "\xED\x95\x9C\xEA\xB5\xAD", "\xF0\x9F\x98\x80", "a\x80z", "b\xE4\xB8", "\xC0\xAF", "\xFF\xFE"};

TEST(SymbolNamesFromMovie, LaterPairsWinNamesKeptAsStored)
{
    SwfPtr swf = load_with_symbols({
        swfkit::symbol_class_body({{0, "zero"}, {5, "first"}, {6, ""}}),
        swfkit::symbol_class_body({{5, "second"}, {7, "\xE4\xB8\xAD"}}),  // U+4E2D
    });
    ASSERT_TRUE(swf);
    EXPECT_EQ(name_of(swf.get(), 0), "zero");
    EXPECT_EQ(name_of(swf.get(), 5), "second");
    EXPECT_EQ(name_of(swf.get(), 6), "");
    EXPECT_EQ(name_of(swf.get(), 7), "\xE4\xB8\xAD");
    EXPECT_EQ(name_of(swf.get(), 8), "<absent>");

    std::vector<std::pair<uint16_t, std::string>> pairs;
    for (size_t i = 0; i < kUnusualNames.size(); ++i)
        pairs.emplace_back(static_cast<uint16_t>(20 + i), kUnusualNames[i]);
    SwfPtr unusual = load_with_symbols({swfkit::symbol_class_body(pairs)});
    ASSERT_TRUE(unusual);
    for (const auto& [id, name] : pairs)
        EXPECT_EQ(name_of(unusual.get(), id), name) << id;
}

TEST(SymbolNamesFromMovie, NoSymbolClassLeavesAnEmptyTable)
{
    SwfPtr swf = load_with_symbols({});
    ASSERT_TRUE(swf);
    EXPECT_EQ(swf->names->n_buckets, 0u);
}

TEST(SymbolNamesFromMovie, CutOffBodiesStopWithoutReadingPastTheTag)
{
    swfkit::Bytes body = swfkit::symbol_class_body({{1, "ok"}, {2, "cut"}});
    body.resize(body.size() - 2);  // the second name loses its end
    swfkit::Bytes lying = swfkit::symbol_class_body({{3, "three"}});
    lying[0] = 200;  // claims 200 pairs
    SwfPtr swf = load_with_symbols({body, lying, {1}});
    ASSERT_TRUE(swf);
    EXPECT_EQ(name_of(swf.get(), 1), "ok");
    EXPECT_EQ(name_of(swf.get(), 2), "<absent>");
    EXPECT_EQ(name_of(swf.get(), 3), "three");
}

TEST(SymbolNamesFromMovie, AddAndWriteBackRoundTrip)
{
    std::vector<std::pair<uint16_t, std::string>> pairs = {{1, "a.b.Pic"}, {2, "\xE4\xB8\xAD\xE6\x96\x87"}};
    for (size_t i = 0; i < kUnusualNames.size(); ++i)
        pairs.emplace_back(static_cast<uint16_t>(20 + i), kUnusualNames[i]);
    SwfPtr swf = load_with_symbols({swfkit::symbol_class_body(pairs)});
    ASSERT_TRUE(swf);
    static char first[] = "one", second[] = "\xEB\x91\x98";  // Korean, given in UTF-8
    swf_add_symbol(swf.get(), first);
    SymbolEntry* entry = swf_add_symbol(swf.get(), second);
    EXPECT_EQ(entry->name, second);  // kept by pointer
    EXPECT_EQ(name_of(swf.get(), 1000), second);
    EXPECT_EQ(swf->names->size, pairs.size() + 1);

    SwfTag tag{};
    swf_write_symbols(swf.get(), &tag);
    SwfPtr again = load_with_symbols({swfkit::Bytes(tag.body.begin(), tag.body.end())});
    stream_clear(&tag.owned);
    ASSERT_TRUE(again);
    for (const auto& [id, name] : pairs)
        EXPECT_EQ(name_of(again.get(), id), name) << id;  // every byte as it was read
    EXPECT_EQ(name_of(again.get(), 1000), second);
    EXPECT_EQ(again->names->size, pairs.size() + 1);
}

}  // namespace
