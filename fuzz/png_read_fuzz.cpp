// The PNG reader: whole files in both forms, and the handle interface through its memory callbacks.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/png.h"
#include "fuzz_util.h"
#include "support/memory.h"

FUZZ_SETUP(png_read)

FUZZ_TARGET(png_read)
{
    if (size >= (1u << 30))
        return false;
    for (PngForm form : {PngForm::rgba, PngForm::indexed})
        png_decode({data, size}, form);
    MemoryReader reader{0, static_cast<uint32_t>(size), data};
    PngHandle png{};
    if (png_open_read(&png, memory_reader, &reader) != Fault::none)
        return false;
    png_dump_info(&png);
    // The caller sizes the output from the header; callers refuse what reaches the
    // buffer limit, and so does this one.
    uint64_t out_size = uint64_t{png.width} * png.height * png.pbb;
    if (out_size == 0 || out_size >= kMaxBufferSize)
        return false;
    ByteBuffer out(static_cast<uint8_t*>(std::malloc(out_size)));
    return out && png_get_data(&png, out.get()) == Fault::none;
}
