// The codecs keep no state shared between threads: pictures decoded and encoded on
// several threads at once come out as on one thread. Run under ThreadSanitizer by
// make test-tsan (every test here is named Threads*).
#include <cstdint>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "codec/image.h"
#include "jpeg_oracle.h"
#include "png_oracle.h"
#include "support/deflate.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kThreads = 4;
constexpr int kRounds = 3;

Bytes gradient(uint32_t width, uint32_t height, uint32_t channels, uint32_t seed)
{
    Bytes out(size_t{width} * height * channels);
    uint32_t state = seed;
    for (size_t i = 0; i < out.size(); ++i) {
        state = state * 1103515245u + 12345;
        out[i] = static_cast<uint8_t>((i / channels) % width * 3 + i / (size_t{width} * channels) * 5 + (state >> 28));
    }
    return out;
}

// Mixed pictures: JPEGs of every sampling and grey, and PNGs with and without alpha.
std::vector<Bytes> mixed_pictures()
{
    std::vector<Bytes> pictures;
    pictures.push_back(
        oracle::encode_jpeg(203, 131, 3, gradient(203, 131, 3, 1), {.quality = 80, .h_samp = 2, .v_samp = 2}));
    pictures.push_back(
        oracle::encode_jpeg(97, 64, 3, gradient(97, 64, 3, 2), {.quality = 90, .h_samp = 2, .v_samp = 1}));
    pictures.push_back(oracle::encode_jpeg(120, 77, 1, gradient(120, 77, 1, 3), {.quality = 75}));
    pictures.push_back(oracle::encode_jpeg(64, 64, 3, gradient(64, 64, 3, 4), {.quality = 95, .restart_interval = 2}));
    pictures.push_back(oracle::write_png_memory(150, 90, gradient(150, 90, 4, 5)));
    pictures.push_back(oracle::write_png_memory(33, 200, gradient(33, 200, 3, 6), PNG_FORMAT_RGB));
    return pictures;
}

struct Result {
    Fault fault = Fault::io_error;
    Bytes pixels;
    Bytes png;  // the decoded pixels written back as PNG
};

Result decode_and_encode(ImageContext* context, const Bytes& picture)
{
    Result result;
    DecodedImage image{};
    result.fault = image_decode(context, &image, picture);
    if (result.fault != Fault::none)
        return result;
    result.pixels.assign(image.pixels, image.pixels + size_t{image.width} * image.height * 4);
    Bytes out(image_encode_bound(image.width, image.height));
    uint32_t size = 0;
    result.fault = image_encode_pixels(ImageKind::png, image.pixels, image.width, image.height, 0, out.data(),
                                       static_cast<uint32_t>(out.size()), &size);
    out.resize(size);
    result.png = out;
    image_free(&image);
    return result;
}

TEST(ThreadsImage, PicturesDecodeAndEncodeAtOnceAsOnOneThread)
{
    const std::vector<Bytes> pictures = mixed_pictures();
    std::vector<Result> alone;
    ImageContext single;
    for (const Bytes& picture : pictures) {
        alone.push_back(decode_and_encode(&single, picture));
        ASSERT_EQ(alone.back().fault, Fault::none);
    }
    // Every thread takes every picture, each starting at another one, several rounds.
    std::vector<std::vector<Result>> together(kThreads, std::vector<Result>(pictures.size()));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            ImageContext context;
            for (int round = 0; round < kRounds; ++round)
                for (size_t k = 0; k < pictures.size(); ++k) {
                    const size_t i = (k + t) % pictures.size();
                    together[t][i] = decode_and_encode(&context, pictures[i]);
                }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < kThreads; ++t)
        for (size_t i = 0; i < pictures.size(); ++i) {
            EXPECT_EQ(together[t][i].fault, Fault::none) << t << " " << i;
            EXPECT_EQ(together[t][i].pixels, alone[i].pixels) << t << " " << i;
            EXPECT_EQ(together[t][i].png, alone[i].png) << t << " " << i;
        }
}

TEST(ThreadsDeflate, StreamsAndChecksumsAtOnceAsOnOneThread)
{
    std::vector<Bytes> inputs, alone;
    std::vector<uint32_t> crcs;
    for (uint32_t i = 0; i < kThreads; ++i) {
        inputs.push_back(gradient(300 + 10 * i, 200, 4, i + 9));
        Bytes stream(zlib_deflate_bound(inputs[i].size()));
        stream.resize(zlib_deflate(inputs[i], stream.data(), stream.size()).value);
        alone.push_back(stream);
        crcs.push_back(crc32_update(0, inputs[i]));
    }
    std::vector<Bytes> together(kThreads);
    std::vector<int> ok(kThreads, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                Bytes stream(zlib_deflate_bound(inputs[t].size()));
                stream.resize(zlib_deflate(inputs[t], stream.data(), stream.size()).value);
                Bytes back(inputs[t].size());
                size_t size = back.size();
                const bool same = zlib_inflate_known_size(stream, back.data(), &size) == Fault::none &&
                                  back == inputs[t] && crc32_update(0, inputs[t]) == crcs[t];
                ok[t] += same ? 1 : 0;
                together[t] = stream;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (size_t t = 0; t < kThreads; ++t) {
        EXPECT_EQ(ok[t], kRounds) << t;
        EXPECT_EQ(together[t], alone[t]) << t;
    }
}

}  // namespace
