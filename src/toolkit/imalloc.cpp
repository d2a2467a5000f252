#include "toolkit/imalloc.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/debug.h"
#include "support/memory.h"

namespace {

constexpr const char* kSourceFile = "../src/imalloc";
constexpr size_t kMaxRecords = 1024;

struct BlockRecord {
    uintptr_t start;
    uintptr_t end;  // one past the last byte
};

BlockRecord g_records[kMaxRecords];
size_t g_record_count = 0;

// Running out of memory is treated as a broken invariant, like an assert that stays on
// in release builds.
void* require_block(void* rv, int line)
{
    if (rv == nullptr) {
        std::fflush(stdout);
        std::fprintf(stderr, "Assertion failed: rv != NULL, file %s, line %d\n", kSourceFile, line);
        std::abort();
    }
    return rv;
}

void record_block(const void* block, size_t size)
{
    if (g_record_count == kMaxRecords)
        return;
    const auto start = reinterpret_cast<uintptr_t>(block);
    g_records[g_record_count++] = BlockRecord{start, start + size};
}

// Zero-byte requests are served as one byte so that a live block is never null.
size_t at_least_one(size_t size) { return size == 0 ? 1 : size; }

void imalloc_notfound(const void* start, size_t length)
{
    DEBUG_LINE(kSourceFile, "not found:%" PRIdPTR ",size=%zu", reinterpret_cast<intptr_t>(start), length);
}

}  // namespace

void* imalloc_calloc(size_t count, size_t size)
{
    if (size != 0 && count > (kMaxBufferSize - 1) / size)
        return nullptr;
    const size_t total = at_least_one(count * size);
    void* rv = require_block(std::calloc(total, 1), __LINE__);
    record_block(rv, total);
    return rv;
}

void* imalloc_malloc(size_t size)
{
    if (size >= kMaxBufferSize)
        return nullptr;
    const size_t total = at_least_one(size);
    void* rv = require_block(std::malloc(total), __LINE__);
    record_block(rv, total);
    return rv;
}

void* imalloc_realloc(void* block, size_t size)
{
    if (size >= kMaxBufferSize)
        return nullptr;
    const size_t total = at_least_one(size);
    void* rv = require_block(std::realloc(block, total), __LINE__);
    record_block(rv, total);
    return rv;
}

void imalloc_free(void* block) { std::free(block); }

int imalloc_check(const void* start, size_t length)
{
    const auto first = reinterpret_cast<uintptr_t>(start);
    for (size_t i = 0; i < g_record_count; ++i) {
        const BlockRecord& r = g_records[i];
        // Written as a length comparison so that a huge length cannot wrap around.
        if (r.start <= first && first <= r.end && length <= r.end - first)
            return 0;
    }
    imalloc_notfound(start, length);
    return 1;
}

void imalloc_reset() { g_record_count = 0; }
