#include "support/lzma_codec.h"

#include <algorithm>
#include <cstdlib>

#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>

#include "support/memory.h"

namespace {

void* sdk_alloc(void*, size_t size) { return buffer_alloc(size, false); }
void sdk_free(void*, void* address) { buffer_free(address); }
// The SDK takes its allocator by a pointer to non-const, so each call makes its own.
ISzAlloc sdk_allocator() { return {sdk_alloc, sdk_free}; }

Fault sdk_fault(SRes res)
{
    switch (res) {
    case SZ_OK: return Fault::none;
    case SZ_ERROR_MEM: return Fault::out_of_memory;
    case SZ_ERROR_UNSUPPORTED: return Fault::unsupported;
    case SZ_ERROR_INPUT_EOF: return Fault::truncated;
    case SZ_ERROR_OUTPUT_EOF: return Fault::too_large;
    default: return Fault::malformed;
    }
}

}  // namespace

int lzma_code(Fault fault)
{
    switch (fault) {
    case Fault::none: return SZ_OK;
    case Fault::out_of_memory: return SZ_ERROR_MEM;
    case Fault::unsupported: return SZ_ERROR_UNSUPPORTED;
    case Fault::truncated: return SZ_ERROR_INPUT_EOF;
    case Fault::too_large: return SZ_ERROR_OUTPUT_EOF;
    default: return SZ_ERROR_DATA;
    }
}

Fault lzma_uncompress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t* src_len, const uint8_t* props,
                      size_t props_size)
{
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    ISzAlloc alloc = sdk_allocator();
    SizeT out = *dest_len;
    SizeT in = *src_len;
    SRes res = LzmaDecode(dest, &out, src, &in, props, static_cast<unsigned>(props_size), LZMA_FINISH_ANY, &status,
                          &alloc);
    *dest_len = out;
    *src_len = in;
    if (res == SZ_OK && status == LZMA_STATUS_NEEDS_MORE_INPUT)
        return Fault::truncated;
    return sdk_fault(res);
}

Fault lzma_uncompress_growing(uint8_t** dest, size_t* dest_len, size_t limit, const uint8_t* src, size_t* src_len,
                              const uint8_t* props, size_t props_size)
{
    *dest = nullptr;
    *dest_len = 0;
    ISzAlloc alloc = sdk_allocator();
    CLzmaDec state;
    LzmaDec_Construct(&state);
    SRes res = LzmaDec_AllocateProbs(&state, props, static_cast<unsigned>(props_size), &alloc);
    if (res != SZ_OK) {
        *src_len = 0;
        return sdk_fault(res);
    }
    LzmaDec_Init(&state);
    state.dic = nullptr;  // no block yet: the loop below allocates the first one
    state.dicBufSize = 0;
    // The output block is the decoder's dictionary and is never wrapped, so it may move
    // and grow between calls: the decoder addresses it by offset.
    uint8_t* block = nullptr;
    size_t consumed = 0;
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    while (true) {
        if (state.dicPos == state.dicBufSize) {
            if (state.dicBufSize == limit)
                break;  // produced all that was asked for
            size_t capacity = grow_output_capacity(state.dicBufSize, *src_len, limit);
            uint8_t* grown = buffer_realloc(block, capacity);
            if (grown == nullptr) {
                res = SZ_ERROR_MEM;
                break;
            }
            block = grown;
            state.dic = block;
            state.dicBufSize = capacity;
        }
        SizeT in = *src_len - consumed;
        res = LzmaDec_DecodeToDic(&state, state.dicBufSize, src + consumed, &in, LZMA_FINISH_ANY, &status);
        consumed += in;
        if (res != SZ_OK || status != LZMA_STATUS_NOT_FINISHED || state.dicPos < state.dicBufSize)
            break;
    }
    LzmaDec_FreeProbs(&state, &alloc);
    *src_len = consumed;
    if (res == SZ_OK && status == LZMA_STATUS_NEEDS_MORE_INPUT)
        res = SZ_ERROR_INPUT_EOF;
    if (res != SZ_OK) {
        buffer_free(block);
        return sdk_fault(res);
    }
    *dest = block;
    *dest_len = state.dicPos;
    return Fault::none;
}

Fault lzma_compress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t src_len, uint8_t* out_props,
                    size_t* out_props_size, int level, uint32_t dict_size, int lc, int lp, int pb, int fb,
                    int num_threads)
{
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.level = level;
    props.dictSize = dict_size;
    props.lc = lc;
    props.lp = lp;
    props.pb = pb;
    props.fb = fb;
    props.numThreads = num_threads;
    ISzAlloc alloc = sdk_allocator();
    SizeT out = *dest_len;
    SizeT props_size = *out_props_size;
    SRes res = LzmaEncode(dest, &out, src, src_len, &props, out_props, &props_size, 0 /* no end marker */, nullptr,
                          &alloc, &alloc);
    *dest_len = out;
    *out_props_size = props_size;
    return sdk_fault(res);
}
