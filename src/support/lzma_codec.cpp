#include "support/lzma_codec.h"

#include <cstdlib>

#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>

namespace {

void* sdk_alloc(void*, size_t size) { return std::malloc(size); }
void sdk_free(void*, void* address) { std::free(address); }
ISzAlloc g_alloc = {sdk_alloc, sdk_free};

}  // namespace

int LzmaUncompress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t* src_len,
                   const uint8_t* props, size_t props_size)
{
    ELzmaStatus status = LZMA_STATUS_NOT_SPECIFIED;
    SizeT out = *dest_len;
    SizeT in = *src_len;
    SRes res = LzmaDecode(dest, &out, src, &in, props, static_cast<unsigned>(props_size),
                          LZMA_FINISH_ANY, &status, &g_alloc);
    *dest_len = out;
    *src_len = in;
    if (res == SZ_OK && status == LZMA_STATUS_NEEDS_MORE_INPUT)
        return LZMA_RESULT_INPUT_EOF;
    return res;
}

int LzmaCompress(uint8_t* dest, size_t* dest_len, const uint8_t* src, size_t src_len,
                 uint8_t* out_props, size_t* out_props_size, int level, uint32_t dict_size,
                 int lc, int lp, int pb, int fb, int num_threads)
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
    SizeT out = *dest_len;
    SizeT props_size = *out_props_size;
    SRes res = LzmaEncode(dest, &out, src, src_len, &props, out_props, &props_size,
                          0 /* no end marker */, nullptr, &g_alloc, &g_alloc);
    *dest_len = out;
    *out_props_size = props_size;
    return res;
}
