// Per-movie map from character id to class name, filled from SymbolClass tags. Names are
// held as the movie stores them (UTF-8 bytes, whatever they hold), NUL-terminated.
// An open-addressing hash table with double hashing over a fixed list of primes.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct Swf;
struct SwfTag;

// Entries live behind a pointer and never move, so `name` may point into `stored`.
struct SymbolEntry {
    uint32_t id = 0;
    const char* name = "";  // UTF-8 as stored, NUL-terminated: `stored`, or the caller's text for an added name
    std::string stored;     // a name read from a movie

    SymbolEntry(uint32_t entry_id, const char* text) : id(entry_id), name(text) {}
    SymbolEntry(uint32_t entry_id, std::string text) : id(entry_id), stored(std::move(text)) { name = stored.c_str(); }
    SymbolEntry(const SymbolEntry&) = delete;
    SymbolEntry& operator=(const SymbolEntry&) = delete;
};

// The table owns its arrays and its entries.
struct SymbolNames {
    uint32_t n_buckets = 0;
    uint32_t size = 0;
    uint32_t n_occupied = 0;
    uint32_t upper_bound = 0;
    std::vector<uint32_t> flags;  // two bits a bucket: 2 empty, 1 deleted, 0 live
    std::vector<uint32_t> keys;
    std::vector<std::unique_ptr<SymbolEntry>> values;  // null where a caller stored no entry
};

SymbolNames* symbols_new();
void symbols_free(SymbolNames* table);

uint32_t symbols_get(const SymbolNames* table, uint32_t key);
uint32_t symbols_put(SymbolNames* table, uint32_t key, int* result);
void symbols_resize(SymbolNames* table, uint32_t requested);

// True when bucket i holds a live key (i < n_buckets).
bool symbols_is_live(const SymbolNames* table, uint32_t i);

// Reads one SymbolClass body into the movie's names.
void swf_read_symbols(Swf* swf, std::span<const uint8_t> body);
// Writes the whole table as a SymbolClass body into the tag's body.
void swf_write_symbols(Swf* swf, SwfTag* tag);
// Registers `name` (UTF-8, kept by pointer, not copied) under `id`.
SymbolEntry* swf_add_symbol(Swf* swf, const char* name, uint32_t id = 1000);
