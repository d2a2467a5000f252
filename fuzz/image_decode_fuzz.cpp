// The image layer: PNG, JPEG and BMP bytes to pixels, and small results encoded back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/image.h"
#include "fuzz_util.h"

FUZZ_SETUP(image_decode)

namespace {

// Re-encoding is costly; small pictures are enough to reach every encoder branch.
constexpr uint64_t kMaxEncodedPixels = 128 * 128;

void encode_both(ImageContext& context, const DecodedImage& image)
{
    uint64_t bound = image_encode_bound(image.width, image.height);
    std::vector<uint8_t> out(bound);
    std::vector<uint8_t> pixels(image.pixels, image.pixels + size_t{image.width} * image.height * 4);
    for (ImageKind kind : {ImageKind::png, ImageKind::jpeg}) {
        uint32_t out_size = 0;
        if (image_encode_pixels(kind, pixels.data(), image.width, image.height, 0, out.data(),
                                static_cast<uint32_t>(out.size()), &out_size) != Fault::none)
            std::abort();  // the bound is meant to hold any encoding
        DecodedImage again{};
        if (image_decode(&context, &again, {out.data(), out_size}) != Fault::none || again.width != image.width ||
            again.height != image.height)
            std::abort();  // our own encoders' output must decode to the same size
        image_free(&again);
    }
}

}  // namespace

FUZZ_TARGET(image_decode)
{
    if (size >= (1u << 30))
        return false;
    ImageContext context;
    DecodedImage image{};
    if (image_decode(&context, &image, {data, size}) != Fault::none)
        return false;
    if (image.pixels == nullptr || image.width == 0 || image.height == 0)
        std::abort();
    if (uint64_t{image.width} * image.height <= kMaxEncodedPixels)
        encode_both(context, image);
    image_free(&image);
    return true;
}
