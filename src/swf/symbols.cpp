#include "swf/symbols.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "stream/byte_reader.h"
#include "stream/stream.h"
#include "swf/swf.h"

namespace {

constexpr uint32_t kPrimes[32] = {0,         3,          11,         23,        53,        97,        193,
                                  389,       769,        1543,       3079,      6151,      12289,     24593,
                                  49157,     98317,      196613,     393241,    786433,    1572869,   3145739,
                                  6291469,   12582917,   25165843,   50331653,  100663319, 201326611, 402653189,
                                  805306457, 1610612741, 3221225473, 4294967291};

constexpr double kLoadFactor = 0.77;

uint32_t upper_bound_for(uint32_t n) { return static_cast<uint32_t>(n * kLoadFactor + 0.5); }

using Flags = std::vector<uint32_t>;

uint32_t flag_bits(const Flags& flags, uint32_t i) { return flags[i >> 4] >> ((i & 15) << 1) & 3; }
bool is_empty(const Flags& flags, uint32_t i) { return flag_bits(flags, i) & 2; }
bool is_deleted(const Flags& flags, uint32_t i) { return flag_bits(flags, i) & 1; }
bool is_empty_or_deleted(const Flags& flags, uint32_t i) { return flag_bits(flags, i) != 0; }
void set_live(Flags& flags, uint32_t i) { flags[i >> 4] &= ~(3u << ((i & 15) << 1)); }
void set_deleted(Flags& flags, uint32_t i) { flags[i >> 4] |= 1u << ((i & 15) << 1); }

uint32_t flag_words(uint32_t n) { return n / 16 + 1; }

// Double hashing: start at k mod n, step by 1 + k mod (n - 1).
struct Probe {
    uint32_t n, i, inc;
    Probe(uint32_t key, uint32_t buckets) : n(buckets), i(key % buckets), inc(1 + key % (buckets - 1)) {}
    void step()
    {
        i += inc;
        if (i >= n || i < inc)  // the second test catches wrap-around of 32 bits
            i -= n;
    }
};

}  // namespace

SymbolNames* symbols_new() { return new SymbolNames{}; }

void symbols_free(SymbolNames* table) { delete table; }

bool symbols_is_live(const SymbolNames* table, uint32_t i)
{
    return i < table->n_buckets && !is_empty_or_deleted(table->flags, i);
}

uint32_t symbols_get(const SymbolNames* table, uint32_t key)
{
    uint32_t n = table->n_buckets;
    if (n == 0)
        return 0;
    Probe p(key, n);
    uint32_t first = p.i;
    while (!is_empty(table->flags, p.i) && (is_deleted(table->flags, p.i) || table->keys[p.i] != key)) {
        p.step();
        if (p.i == first)
            return n;
    }
    return is_empty_or_deleted(table->flags, p.i) ? n : p.i;
}

void symbols_resize(SymbolNames* table, uint32_t requested)
{
    int t = 31;
    while (t > 0 && kPrimes[t] > requested)
        --t;
    if (t == 31)
        return;  // no larger prime to grow to
    uint32_t new_n = kPrimes[t + 1];
    if (table->size >= upper_bound_for(new_n))
        return;
    Flags new_flags(flag_words(new_n), 0xAAAAAAAAu);  // every bucket empty
    uint32_t old_n = table->n_buckets;
    if (new_n > old_n) {
        table->keys.resize(new_n);
        table->values.resize(new_n);  // a bucket whose caller never stored an entry reads as "no entry"
    }
    // Rehash in place: carry each live pair to its new bucket, displacing (and then
    // placing) whatever live pair still sits there from the old layout.
    for (uint32_t j = 0; j < old_n; ++j) {
        if (is_empty_or_deleted(table->flags, j))
            continue;
        uint32_t key = table->keys[j];
        std::unique_ptr<SymbolEntry> value = std::move(table->values[j]);
        set_deleted(table->flags, j);
        for (;;) {
            Probe p(key, new_n);
            while (!is_empty(new_flags, p.i))
                p.step();
            set_live(new_flags, p.i);
            if (p.i < old_n && !is_empty_or_deleted(table->flags, p.i)) {
                std::swap(key, table->keys[p.i]);
                std::swap(value, table->values[p.i]);
                set_deleted(table->flags, p.i);
            } else {
                table->keys[p.i] = key;
                table->values[p.i] = std::move(value);
                break;
            }
        }
    }
    if (new_n < old_n) {
        table->keys.resize(new_n);
        table->values.resize(new_n);
    }
    table->flags = std::move(new_flags);
    table->n_buckets = new_n;
    table->n_occupied = table->size;
    table->upper_bound = upper_bound_for(new_n);
}

uint32_t symbols_put(SymbolNames* table, uint32_t key, int* result)
{
    if (table->n_occupied >= table->upper_bound) {
        if (table->n_buckets > 2 * table->size)
            symbols_resize(table, table->n_buckets - 1);
        else
            symbols_resize(table, table->n_buckets + 1);
    }
    uint32_t n = table->n_buckets;
    uint32_t x = n, site = n;
    Probe p(key, n);
    uint32_t first = p.i;
    if (is_empty(table->flags, p.i)) {
        x = p.i;
    } else {
        while (!is_empty(table->flags, p.i) && (is_deleted(table->flags, p.i) || table->keys[p.i] != key)) {
            if (is_deleted(table->flags, p.i))
                site = p.i;
            p.step();
            if (p.i == first) {
                x = site;
                break;
            }
        }
        if (x == n)
            x = (is_empty(table->flags, p.i) && site != n) ? site : p.i;
    }
    if (is_empty(table->flags, x)) {
        table->keys[x] = key;
        set_live(table->flags, x);
        table->size++;
        table->n_occupied++;
        *result = 1;
    } else if (is_deleted(table->flags, x)) {
        table->keys[x] = key;
        set_live(table->flags, x);
        table->size++;
        *result = 2;
    } else {
        *result = 0;
    }
    return x;
}

namespace {

// Stores `entry` for its id, releasing an entry it replaces.
SymbolEntry* store_entry(SymbolNames* table, std::unique_ptr<SymbolEntry> entry)
{
    int result = 0;
    uint32_t at = symbols_put(table, entry->id, &result);
    table->values[at] = std::move(entry);
    return table->values[at].get();
}

}  // namespace

void swf_read_symbols(Swf* swf, std::span<const uint8_t> body)
{
    ByteReader in(body);
    const uint16_t count = in.u16le();
    for (uint16_t k = 0; k < count && in.remaining() >= 3; ++k) {
        const uint16_t id = in.u16le();
        const std::string_view text = in.cstring();
        if (!in.ok())
            return;  // a name cut off by the end of the tag ends the list
        // Kept exactly as stored, invalid UTF-8 included, so writing the movie back gives
        // the same bytes; names become file names or console text only on the way out.
        store_entry(swf->names.get(), std::make_unique<SymbolEntry>(id, std::string(text)));
    }
}

void swf_write_symbols(Swf* swf, SwfTag* tag)
{
    struct Pair {
        uint16_t id;
        const char* name;
    };
    std::vector<Pair> pairs;
    uint32_t total = 2;
    const SymbolNames* table = swf->names.get();
    for (uint32_t i = 0; i < table->n_buckets; ++i) {
        if (!symbols_is_live(table, i) || table->values[i] == nullptr)
            continue;
        const char* name = table->values[i]->name;
        total += 2 + static_cast<uint32_t>(std::strlen(name)) + 1;
        pairs.push_back({static_cast<uint16_t>(table->values[i]->id), name});
    }
    Stream* body = swf_tag_own_body(tag, total);
    stream_write_ui16(body, static_cast<uint16_t>(pairs.size()));
    for (const Pair& pair : pairs) {
        stream_write_ui16(body, pair.id);
        stream_write_string(body, pair.name);
    }
}

SymbolEntry* swf_add_symbol(Swf* swf, const char* name, uint32_t id)
{
    return store_entry(swf->names.get(), std::make_unique<SymbolEntry>(id, name));
}
