// The JPEG decoder on arbitrary bytes; every pixel of a decoded image is read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "codec/jpeg_decoder.h"
#include "fuzz_util.h"

FUZZ_SETUP(jpeg_decode)

FUZZ_TARGET(jpeg_decode)
{
    if (size >= (1u << 30))
        return false;
    JpegDecoder decoder;
    const bool decoded = decoder.decode({data, size}) == Fault::none;
    if (decoded) {
        const uint8_t* pixels = decoder.pixels();
        int count = decoder.pixels_size();
        int expected = decoder.width() * decoder.height() * (decoder.is_colour() ? 3 : 1);
        if (pixels == nullptr || count != expected)
            std::abort();
        // Summing touches every byte, so ASan and MSan-like checks see them all.
        volatile unsigned sum = 0;
        for (int i = 0; i < count; ++i)
            sum = sum + pixels[i];
    }
    return decoded;
}
