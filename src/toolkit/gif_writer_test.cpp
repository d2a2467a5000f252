#include "toolkit/gif_writer.h"

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/fileio.h"

using namespace std::string_literals;

namespace {

using Pixels = std::vector<uint8_t>;

struct Rgb {
    int r, g, b;
    bool operator==(const Rgb&) const = default;
};

// The process id keeps concurrent runs of the suite (plain and sanitizer builds) apart.
std::string temp_gif(const char* name)
{
    return testing::TempDir() + "pixsieve_gif_" + std::to_string(getpid()) + "_" + name + ".gif";
}

Pixels solid_frame(uint32_t w, uint32_t h, Rgb c)
{
    Pixels px(size_t{w} * h * 4);
    for (size_t p = 0; p < size_t{w} * h; ++p)
        px[4 * p] = uint8_t(c.r), px[4 * p + 1] = uint8_t(c.g), px[4 * p + 2] = uint8_t(c.b), px[4 * p + 3] = 0x5A;
    return px;
}

Pixels noise_frame(uint32_t w, uint32_t h, uint32_t seed)
{
    std::mt19937 rng(seed);
    Pixels px(size_t{w} * h * 4);
    for (auto& byte : px)
        byte = uint8_t(rng());
    return px;
}

// Smooth colour ramps: many distinct colours, so the table must approximate.
Pixels ramp_frame(uint32_t w, uint32_t h)
{
    Pixels px(size_t{w} * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = &px[4 * (size_t{y} * w + x)];
            p[0] = uint8_t(x * 255 / (w - 1)), p[1] = uint8_t(y * 255 / (h - 1)), p[2] = uint8_t((x + y) * 3);
            p[3] = 0xFF;
        }
    return px;
}

// Four colours in equal quarters (vertical bands of 16 pixels, repeated).
Pixels four_colour_frame(uint32_t w, uint32_t h, const Rgb colours[4])
{
    Pixels px(size_t{w} * h * 4);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const Rgb& c = colours[(x / 16 + y / 16) % 4];
            uint8_t* p = &px[4 * (size_t{y} * w + x)];
            p[0] = uint8_t(c.r), p[1] = uint8_t(c.g), p[2] = uint8_t(c.b), p[3] = 0;
        }
    return px;
}

Rgb pixel_at(const Pixels& px, size_t p) { return {px[4 * p], px[4 * p + 1], px[4 * p + 2]}; }

// ---- independent decoding through giflib -------------------------------------------------

struct DecodedFrame {
    std::vector<Rgb> colours;    // local table
    std::vector<uint8_t> index;  // raster
    GraphicsControlBlock control{};
    bool has_control = false;
    int left = -1, top = -1, width = 0, height = 0;
};

struct DecodedGif {
    bool ok = false;
    int width = 0, height = 0;
    int global_colours = 0;
    int loop_extensions = 0;  // NETSCAPE2.0 blocks, wherever giflib files them
    std::vector<DecodedFrame> frames;
};

// giflib gives sizes as int.
size_t pixel_count(int width, int height) { return static_cast<size_t>(width) * static_cast<size_t>(height); }

bool is_loop_block(const ExtensionBlock* blocks, int count, int i)
{
    return blocks[i].Function == APPLICATION_EXT_FUNC_CODE && blocks[i].ByteCount == 11 &&
           std::string(reinterpret_cast<char*>(blocks[i].Bytes), 11) == "NETSCAPE2.0" && i + 1 < count &&
           blocks[i + 1].Function == CONTINUE_EXT_FUNC_CODE && blocks[i + 1].ByteCount == 3 &&
           blocks[i + 1].Bytes[0] == 1 && blocks[i + 1].Bytes[1] == 0 && blocks[i + 1].Bytes[2] == 0;
}

DecodedGif decode_gif(const std::string& path)
{
    DecodedGif out;
    int error = 0;
    GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
    if (!gif)
        return out;
    if (DGifSlurp(gif) != GIF_OK) {
        DGifCloseFile(gif, &error);
        return out;
    }
    out.width = gif->SWidth, out.height = gif->SHeight;
    out.global_colours = gif->SColorMap ? gif->SColorMap->ColorCount : 0;
    for (int i = 0; i < gif->ExtensionBlockCount; ++i)
        out.loop_extensions += is_loop_block(gif->ExtensionBlocks, gif->ExtensionBlockCount, i);
    for (int f = 0; f < gif->ImageCount; ++f) {
        const SavedImage& image = gif->SavedImages[f];
        for (int i = 0; i < image.ExtensionBlockCount; ++i)
            out.loop_extensions += is_loop_block(image.ExtensionBlocks, image.ExtensionBlockCount, i);
        DecodedFrame frame;
        frame.left = image.ImageDesc.Left, frame.top = image.ImageDesc.Top;
        frame.width = image.ImageDesc.Width, frame.height = image.ImageDesc.Height;
        if (const ColorMapObject* map = image.ImageDesc.ColorMap)
            for (int i = 0; i < map->ColorCount; ++i)
                frame.colours.push_back({map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
        frame.index.assign(image.RasterBits, image.RasterBits + pixel_count(frame.width, frame.height));
        frame.has_control = DGifSavedExtensionToGCB(gif, f, &frame.control) == GIF_OK;
        out.frames.push_back(std::move(frame));
    }
    DGifCloseFile(gif, &error);
    out.ok = true;
    return out;
}

// Composites the frames like a viewer that keeps each frame in place (disposal 1).
std::vector<std::vector<Rgb>> displayed_frames(const DecodedGif& gif)
{
    std::vector<std::vector<Rgb>> shown;
    std::vector<Rgb> screen(pixel_count(gif.width, gif.height), Rgb{0, 0, 0});
    for (const DecodedFrame& frame : gif.frames) {
        for (size_t p = 0; p < frame.index.size(); ++p)
            if (frame.index[p] != frame.control.TransparentColor)
                screen[p] = frame.colours.at(frame.index[p]);
        shown.push_back(screen);
    }
    return shown;
}

Pixels to_pixels(const std::vector<Rgb>& screen)
{
    Pixels px(screen.size() * 4);
    for (size_t p = 0; p < screen.size(); ++p)
        px[4 * p] = uint8_t(screen[p].r), px[4 * p + 1] = uint8_t(screen[p].g), px[4 * p + 2] = uint8_t(screen[p].b);
    return px;
}

int l1(Rgb a, Rgb b) { return std::abs(a.r - b.r) + std::abs(a.g - b.g) + std::abs(a.b - b.b); }

int best_distance(const std::vector<Rgb>& table, Rgb c)
{
    int best = 1 << 30;
    for (size_t i = 1; i < table.size(); ++i)
        best = std::min(best, l1(table[i], c));
    return best;
}

// Writes the frames (each with the same options) and decodes the result.
DecodedGif write_and_decode(const char* name, uint32_t w, uint32_t h, const std::vector<Pixels>& frames, uint32_t depth,
                            bool dither, uint32_t delay = 7)
{
    const std::string path = temp_gif(name);
    GifFile writer;
    EXPECT_EQ(gif_open(&writer, path.c_str(), w, h, delay), 1);
    for (const Pixels& px : frames)
        EXPECT_EQ(gif_add_frame(&writer, px.data(), w, h, delay, depth, dither), 1);
    EXPECT_EQ(gif_close(&writer), 1);
    DecodedGif gif = decode_gif(path);
    std::remove(path.c_str());
    return gif;
}

// ---- a strict walk over the raw file, LZW codes included ----------------------------------

struct LzwStats {
    bool ok = false;
    std::string problem;
    int min_code_size = 0;
    std::vector<uint32_t> next_at_clear;  // decoder's next free code at each mid-stream clear
    uint64_t pixels = 0;
    bool trailing_clear = false;
};

struct RawGif {
    std::vector<uint8_t> bytes;
    std::vector<LzwStats> frames;
    std::vector<std::vector<uint8_t>> sub_block_lengths;
};

// Decodes one frame's code stream the way a strict decoder does, counting rather than
// producing pixels, and reports where clear codes fall.
LzwStats walk_lzw(const std::vector<uint8_t>& data, uint8_t min_size, uint64_t expected_pixels)
{
    LzwStats s;
    s.min_code_size = min_size;
    const uint32_t clear = 1u << min_size, end = clear + 1;
    std::vector<uint64_t> length(4096, 1);
    uint64_t bit = 0;
    auto read = [&](uint32_t size, uint32_t* code) {
        if (bit + size > data.size() * 8)
            return false;
        *code = 0;
        for (uint32_t i = 0; i < size; ++i, ++bit)
            *code |= uint32_t((data[bit / 8] >> (bit % 8)) & 1) << i;
        return true;
    };
    uint32_t size = min_size + 1, next = clear + 2, code = 0;
    bool first = true;
    uint32_t previous = 0;  // meaningful once `first` is false
    if (!read(size, &code) || code != clear)
        return s.problem = "no leading clear", s;
    for (;;) {
        if (!read(size, &code))
            return s.problem = "stream ends without end code", s;
        if (code == clear) {
            if (s.pixels == expected_pixels)
                s.trailing_clear = true;
            else
                s.next_at_clear.push_back(next);
            size = min_size + 1, next = clear + 2, first = true, previous = 0;
            continue;
        }
        if (code == end)
            break;
        if (s.pixels >= expected_pixels)
            return s.problem = "data beyond the last pixel", s;
        if (code > next || (first && code >= clear) || (code == next && first))
            return s.problem = "invalid code " + std::to_string(code), s;
        if (!first) {
            if (next > 4095)
                return s.problem = "dictionary overflow", s;
            length[next] = length[previous] + 1;
            ++next;
            if (next == (1u << size) && size < 12)
                ++size;
        }
        s.pixels += length[code];
        previous = code;
        first = false;
    }
    // Padding bits of the last byte are zero, and nothing follows.
    if (bit % 8 != 0 && (data[bit / 8] >> (bit % 8)) != 0)
        return s.problem = "non-zero padding", s;
    if ((bit + 7) / 8 != data.size())
        return s.problem = "bytes after the end code", s;
    s.ok = s.pixels == expected_pixels;
    if (!s.ok)
        s.problem = "pixel count " + std::to_string(s.pixels);
    return s;
}

RawGif walk_file(const std::string& path)
{
    RawGif raw;
    int size = 0;
    ByteBuffer data(file_read_all(path.c_str(), &size));
    if (!data)
        return raw;
    raw.bytes.assign(data.get(), data.get() + size);
    const std::vector<uint8_t>& b = raw.bytes;
    size_t pos = 13 + 6;  // header, screen descriptor, two-entry global table
    auto sub_blocks = [&](std::vector<uint8_t>* joined, std::vector<uint8_t>* lengths) {
        while (pos < b.size() && b[pos] != 0) {
            const size_t n = b[pos++];
            if (lengths)
                lengths->push_back(uint8_t(n));
            if (joined)
                joined->insert(joined->end(), b.begin() + long(pos), b.begin() + long(std::min(pos + n, b.size())));
            pos += n;
        }
        ++pos;
    };
    while (pos < b.size() && b[pos] != 0x3B) {
        if (b[pos] == 0x21) {
            pos += 2;
            sub_blocks(nullptr, nullptr);
        } else if (b[pos] == 0x2C && pos + 11 <= b.size()) {
            const uint32_t w = uint32_t{b[pos + 5]} | uint32_t{b[pos + 6]} << 8;
            const uint32_t h = uint32_t{b[pos + 7]} | uint32_t{b[pos + 8]} << 8;
            pos += 10 + 3 * (size_t{2} << (b[pos + 9] & 7));
            const uint8_t min_size = b[pos++];
            std::vector<uint8_t> joined, lengths;
            sub_blocks(&joined, &lengths);
            raw.frames.push_back(walk_lzw(joined, min_size, uint64_t{w} * h));
            raw.sub_block_lengths.push_back(lengths);
        } else {
            return raw;
        }
    }
    if (pos + 1 != b.size()) {
        LzwStats broken;
        broken.problem = "trailer missing or misplaced";
        raw.frames.push_back(broken);
    }
    return raw;
}

// ---- tests --------------------------------------------------------------------------------

TEST(GifWriter, HeaderAndLoopExtensionOnlyWithDelay)
{
    const Pixels px = solid_frame(3, 2, {10, 20, 30});
    for (uint32_t delay : {0u, 25u}) {
        const std::string path = temp_gif("header");
        GifFile writer;
        ASSERT_EQ(gif_open(&writer, path.c_str(), 3, 2, delay), 1);
        ASSERT_EQ(gif_add_frame(&writer, px.data(), 3, 2, delay, 4, false), 1);
        ASSERT_EQ(gif_close(&writer), 1);
        const RawGif raw = walk_file(path);
        const DecodedGif gif = decode_gif(path);
        std::remove(path.c_str());

        const uint8_t screen[19] = {'G', 'I', 'F', '8', '9', 'a', 3, 0, 2, 0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0};
        ASSERT_GE(raw.bytes.size(), 19u + 19u);
        EXPECT_TRUE(std::equal(screen, screen + 19, raw.bytes.begin()));
        const std::string loop = "\x21\xFF\x0BNETSCAPE2.0\x03\x01\x00\x00\x00"s;
        const bool loop_written = std::equal(loop.begin(), loop.end(), raw.bytes.begin() + 19,
                                             [](char a, uint8_t c) { return uint8_t(a) == c; });
        EXPECT_EQ(loop_written, delay != 0);
        if (delay == 0) {  // straight to the frame
            EXPECT_EQ(raw.bytes[19], 0x21);
            EXPECT_EQ(raw.bytes[20], 0xF9);
        }
        EXPECT_EQ(raw.bytes.back(), 0x3B);

        ASSERT_TRUE(gif.ok);
        EXPECT_EQ(gif.width, 3);
        EXPECT_EQ(gif.height, 2);
        EXPECT_EQ(gif.global_colours, 2);
        EXPECT_EQ(gif.loop_extensions, delay != 0 ? 1 : 0);
        ASSERT_EQ(gif.frames.size(), 1u);
        const DecodedFrame& f = gif.frames[0];
        EXPECT_EQ(f.left, 0);
        EXPECT_EQ(f.top, 0);
        EXPECT_EQ(f.width, 3);
        EXPECT_EQ(f.height, 2);
        ASSERT_TRUE(f.has_control);
        EXPECT_EQ(f.control.DelayTime, int(delay));
        EXPECT_EQ(f.control.TransparentColor, 0);
        EXPECT_EQ(f.control.DisposalMode, DISPOSE_DO_NOT);
        ASSERT_EQ(f.colours.size(), 16u);
        EXPECT_EQ(f.colours[0], (Rgb{0, 0, 0}));
        for (uint8_t i : f.index)
            EXPECT_EQ(f.colours.at(i), (Rgb{10, 20, 30}));  // one colour: its own mean, exactly
    }
}

TEST(GifWriter, FirstFrameMapsEveryPixelToItsNearestTableColour)
{
    const uint32_t w = 61, h = 37;
    for (uint32_t depth : {2u, 4u, 8u}) {
        const Pixels px = ramp_frame(w, h);
        const DecodedGif gif = write_and_decode("nearest", w, h, {px}, depth, false);
        ASSERT_TRUE(gif.ok);
        ASSERT_EQ(gif.frames.size(), 1u);
        const DecodedFrame& f = gif.frames[0];
        ASSERT_EQ(f.colours.size(), size_t{1} << depth);
        EXPECT_EQ(f.colours[0], (Rgb{0, 0, 0}));
        for (size_t p = 0; p < f.index.size(); ++p) {
            ASSERT_NE(f.index[p], 0) << "first frame has nothing to keep, pixel " << p;
            ASSERT_EQ(l1(f.colours[f.index[p]], pixel_at(px, p)), best_distance(f.colours, pixel_at(px, p)))
                << "depth " << depth << " pixel " << p;
        }
    }
}

TEST(GifWriter, FewColoursComeThroughExactly)
{
    const Rgb colours[4] = {{250, 10, 10}, {10, 240, 10}, {10, 10, 230}, {128, 128, 128}};
    const Pixels px = four_colour_frame(64, 64, colours);
    for (bool dither : {false, true}) {
        const DecodedGif gif = write_and_decode("exact", 64, 64, {px}, 8, dither);
        ASSERT_TRUE(gif.ok);
        const std::vector<Rgb> shown = displayed_frames(gif).at(0);
        for (size_t p = 0; p < shown.size(); ++p)
            ASSERT_EQ(shown[p], pixel_at(px, p)) << "pixel " << p << " dither " << dither;
    }
}

TEST(GifWriter, UnchangedPixelsBecomeTransparent)
{
    const uint32_t w = 48, h = 40;
    const Rgb base[4] = {{200, 30, 30}, {30, 200, 30}, {30, 30, 200}, {90, 90, 90}};
    const Pixels first = four_colour_frame(w, h, base);
    Pixels second = first;
    for (uint32_t y = 5; y < 15; ++y)
        for (uint32_t x = 20; x < 33; ++x) {
            uint8_t* p = &second[4 * (size_t{y} * w + x)];
            p[0] = 255, p[1] = 255, p[2] = uint8_t(x < 26 ? 0 : 255);
        }
    Pixels alpha_only = second;  // the fourth byte must not count as a change
    for (size_t p = 0; p < size_t{w} * h; ++p)
        alpha_only[4 * p + 3] ^= 0xFF;

    const DecodedGif gif = write_and_decode("unchanged", w, h, {first, second, alpha_only}, 8, false);
    ASSERT_TRUE(gif.ok);
    ASSERT_EQ(gif.frames.size(), 3u);
    const auto shown = displayed_frames(gif);
    for (size_t p = 0; p < size_t{w} * h; ++p) {
        const uint32_t x = uint32_t(p % w), y = uint32_t(p / w);
        const bool changed = y >= 5 && y < 15 && x >= 20 && x < 33;
        EXPECT_EQ(gif.frames[1].index[p] == 0, !changed) << "pixel " << p;
        EXPECT_EQ(shown[1][p], pixel_at(second, p)) << "pixel " << p;
        EXPECT_EQ(gif.frames[2].index[p], 0) << "pixel " << p;
    }
    // Built from no pixels, the third frame's table has nothing but black.
    for (const Rgb& c : gif.frames[2].colours)
        EXPECT_EQ(c, (Rgb{0, 0, 0}));
}

TEST(GifWriter, DepthOneHasOneOpaqueColour)
{
    const uint32_t w = 9, h = 7;
    Pixels px = noise_frame(w, h, 3);
    uint64_t sum[3] = {0, 0, 0};
    for (size_t p = 0; p < size_t{w} * h; ++p)
        for (size_t c = 0; c < 3; ++c)
            sum[c] += px[4 * p + c];
    const uint64_t n = uint64_t{w} * h;
    const Rgb mean{int((sum[0] + n / 2) / n), int((sum[1] + n / 2) / n), int((sum[2] + n / 2) / n)};

    const std::string path = temp_gif("depth1");
    GifFile writer;
    ASSERT_EQ(gif_open(&writer, path.c_str(), w, h, 0), 1);
    ASSERT_EQ(gif_add_frame(&writer, px.data(), w, h, 0, 1, false), 1);
    ASSERT_EQ(gif_close(&writer), 1);
    const DecodedGif gif = decode_gif(path);
    const RawGif raw = walk_file(path);
    std::remove(path.c_str());

    ASSERT_TRUE(gif.ok);
    ASSERT_EQ(gif.frames.size(), 1u);
    ASSERT_EQ(gif.frames[0].colours.size(), 2u);
    EXPECT_EQ(gif.frames[0].colours[0], (Rgb{0, 0, 0}));
    EXPECT_EQ(gif.frames[0].colours[1], mean);
    for (uint8_t i : gif.frames[0].index)
        EXPECT_EQ(i, 1);
    ASSERT_EQ(raw.frames.size(), 1u);
    EXPECT_TRUE(raw.frames[0].ok) << raw.frames[0].problem;
    EXPECT_EQ(raw.frames[0].min_code_size, 2);  // the smallest code size decoders accept
}

TEST(GifWriter, DictionaryIsClearedExactlyWhenFull)
{
    const uint32_t w = 400, h = 300;
    // A flat frame (exact at any depth), then noise on a random half of it: the unchanged
    // half is index 0, so even at depth 1 the indices are random bits that fill the dictionary.
    const Pixels flat = solid_frame(w, h, {70, 80, 90});
    const Pixels noise = noise_frame(w, h, 1);
    Pixels half_changed = flat;
    std::mt19937 rng(4);
    for (size_t p = 0; p < size_t{w} * h; ++p)
        if (rng() & 1)
            std::copy_n(&noise[4 * p], 4, &half_changed[4 * p]);
    for (uint32_t depth : {1u, 3u, 8u}) {
        const std::string path = temp_gif("lzw");
        GifFile writer;
        ASSERT_EQ(gif_open(&writer, path.c_str(), w, h, 4), 1);
        ASSERT_EQ(gif_add_frame(&writer, flat.data(), w, h, 4, depth, false), 1);
        ASSERT_EQ(gif_add_frame(&writer, half_changed.data(), w, h, 4, depth, false), 1);
        ASSERT_EQ(gif_add_frame(&writer, noise_frame(w, h, 99).data(), w, h, 4, depth, true), 1);
        ASSERT_EQ(gif_close(&writer), 1);
        const RawGif raw = walk_file(path);
        const DecodedGif gif = decode_gif(path);
        std::remove(path.c_str());

        ASSERT_EQ(raw.frames.size(), 3u);
        size_t clears = 0;
        for (const LzwStats& s : raw.frames) {
            ASSERT_TRUE(s.ok) << "depth " << depth << ": " << s.problem;
            EXPECT_TRUE(s.trailing_clear);
            for (uint32_t next : s.next_at_clear)
                EXPECT_EQ(next, 4095u) << "depth " << depth;  // the encoder has just assigned 4,095
            clears += s.next_at_clear.size();
        }
        EXPECT_GE(clears, 2u) << "depth " << depth;
        for (const auto& lengths : raw.sub_block_lengths) {
            ASSERT_FALSE(lengths.empty());
            for (size_t i = 0; i + 1 < lengths.size(); ++i)
                EXPECT_EQ(lengths[i], 255);
        }
        ASSERT_TRUE(gif.ok);
        ASSERT_EQ(gif.frames.size(), 3u);
        const DecodedFrame& f = gif.frames[1];
        for (size_t p = 0; p < f.index.size(); ++p) {
            const Rgb want = pixel_at(half_changed, p);
            if (want == Rgb{70, 80, 90})
                ASSERT_EQ(f.index[p], 0) << "pixel " << p;
            else
                ASSERT_EQ(l1(f.colours.at(f.index[p]), want), best_distance(f.colours, want)) << "pixel " << p;
        }
    }
}

TEST(GifWriter, EveryFrameLengthEndsWithAWellFormedTail)
{
    // The tail (last code, clear, end code) must be readable at the widths a decoder
    // expects whatever the dictionary's fill; lengths 1..300 cross many width boundaries.
    const std::string path = temp_gif("tail");
    for (uint32_t depth : {2u, 8u}) {
        GifFile writer;
        for (uint32_t n = 1; n <= 300; ++n) {
            ASSERT_EQ(gif_open(&writer, path.c_str(), n, 1, 0), 1);
            ASSERT_EQ(gif_add_frame(&writer, solid_frame(n, 1, {1, 2, 3}).data(), n, 1, 0, depth, false), 1);
            ASSERT_EQ(gif_add_frame(&writer, noise_frame(n, 1, n).data(), n, 1, 0, depth, false), 1);
            ASSERT_EQ(gif_close(&writer), 1);
            const RawGif raw = walk_file(path);
            ASSERT_EQ(raw.frames.size(), 2u);
            for (const LzwStats& s : raw.frames)
                ASSERT_TRUE(s.ok && s.trailing_clear) << "depth " << depth << " length " << n << ": " << s.problem;
        }
    }
    std::remove(path.c_str());
}

TEST(GifWriter, DitheringKeepsTheAverageAndUsesExtremeColours)
{
    // Greys only, so every colour lies between the darkest and brightest entry and no error
    // is stranded outside the table's reach; only the last rows' error leaves the picture.
    const uint32_t w = 100, h = 80;
    Pixels px(size_t{w} * h * 4);
    for (size_t p = 0; p < size_t{w} * h; ++p)
        px[4 * p] = px[4 * p + 1] = px[4 * p + 2] = uint8_t(20 + (p % w) * 2 + (p / w) / 2);
    const DecodedGif gif = write_and_decode("dither", w, h, {px}, 2, true);
    ASSERT_TRUE(gif.ok);
    const DecodedFrame& f = gif.frames.at(0);
    int lo[3] = {255, 255, 255}, hi[3] = {0, 0, 0};
    double want[3] = {0, 0, 0}, got[3] = {0, 0, 0};
    for (size_t p = 0; p < size_t{w} * h; ++p) {
        const Rgb c = pixel_at(px, p);
        const int v[3] = {c.r, c.g, c.b};
        for (int k = 0; k < 3; ++k)
            lo[k] = std::min(lo[k], v[k]), hi[k] = std::max(hi[k], v[k]), want[k] += v[k];
        ASSERT_NE(f.index[p], 0);
        const Rgb s = f.colours.at(f.index[p]);
        got[0] += s.r, got[1] += s.g, got[2] += s.b;
    }
    EXPECT_EQ(f.colours.at(1), (Rgb{lo[0], lo[1], lo[2]}));
    EXPECT_EQ(f.colours.at(3), (Rgb{hi[0], hi[1], hi[2]}));
    // Three opaque colours cannot draw the ramp, but the diffused error keeps the average.
    for (int k = 0; k < 3; ++k)
        EXPECT_NEAR(got[k] / (w * h), want[k] / (w * h), 2.0) << "channel " << k;
}

TEST(GifWriter, FeedingBackTheDisplayedFrameChangesNothing)
{
    // The writer compares against the frame as shown; if its buffer drifted from what a
    // decoder shows, re-sending the decoded picture would not come out fully transparent.
    for (uint32_t w : {1u, 2u, 23u}) {
        const uint32_t h = 19;
        for (bool dither : {false, true}) {
            const Pixels px = ramp_frame(std::max(w, 2u), h);
            Pixels frame(size_t{w} * h * 4);
            for (uint32_t y = 0; y < h; ++y)
                std::copy_n(&px[4 * size_t{y} * std::max(w, 2u)], 4 * w, &frame[4 * size_t{y} * w]);
            const DecodedGif once = write_and_decode("feedback1", w, h, {frame}, 3, dither);
            ASSERT_TRUE(once.ok);
            const Pixels shown = to_pixels(displayed_frames(once).at(0));
            const DecodedGif twice = write_and_decode("feedback2", w, h, {frame, shown}, 3, dither);
            ASSERT_TRUE(twice.ok);
            ASSERT_EQ(twice.frames.size(), 2u);
            for (size_t p = 0; p < twice.frames[1].index.size(); ++p)
                ASSERT_EQ(twice.frames[1].index[p], 0) << "width " << w << " dither " << dither << " pixel " << p;
        }
    }
}

TEST(GifPalette, TreeSearchFindsTheNearestEntry)
{
    std::mt19937 rng(11);
    const Pixels noise = noise_frame(40, 30, 5);
    Pixels previous = noise;  // only a few pixels differ: most entries stay unreached
    for (int i = 0; i < 7; ++i)
        previous[4 * size_t(rng() % 1200)] ^= 0x80;
    auto channel = [&] { return static_cast<int64_t>(rng() % 300); };
    for (uint32_t depth = 1; depth <= 8; ++depth) {
        for (int variant = 0; variant < 3; ++variant) {
            GifColorTable table;
            const uint8_t* prev = variant == 2 ? previous.data() : nullptr;
            ASSERT_TRUE(gif_build_palette(prev, noise.data(), 1200, depth, variant == 1, &table));
            ASSERT_EQ(table.depth, depth);
            EXPECT_EQ(table.red[0] | table.green[0] | table.blue[0], 0);
            for (int probe = 0; probe < 400; ++probe) {
                // Dithering can carry colours past 255; the search must stay exact there too.
                const int64_t r = channel(), g = channel(), b = channel();
                uint32_t index = 1;
                int64_t distance = 1000000;
                gif_nearest_index(table, r, g, b, &index, &distance);
                int64_t best = 1 << 30;
                for (uint32_t i = 1; i < (1u << depth); ++i)
                    best = std::min<int64_t>(best, std::abs(r - table.red[i]) + std::abs(g - table.green[i]) +
                                                       std::abs(b - table.blue[i]));
                ASSERT_NE(index, 0u);
                ASSERT_EQ(distance, best) << "depth " << depth << " variant " << variant;
                ASSERT_EQ(std::abs(r - table.red[index]) + std::abs(g - table.green[index]) +
                              std::abs(b - table.blue[index]),
                          best);
            }
        }
    }
}

TEST(GifPalette, MedianCutSplitsTheWidestChannelByShare)
{
    // 90 pixels with R = 0, 2, ..., 178 and flat G, B, shuffled. At depth 2 the cut gives
    // entry 1 the lowest third and splits the rest in halves: means 29, 89 and 149, and
    // the root splits R at the 31st smallest value, 60.
    std::vector<int> order(90);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(2));
    Pixels px(90 * 4);
    for (size_t i = 0; i < 90; ++i)
        px[4 * i] = uint8_t(2 * order[i]), px[4 * i + 1] = 10, px[4 * i + 2] = 20;
    GifColorTable table;
    ASSERT_TRUE(gif_build_palette(nullptr, px.data(), 90, 2, false, &table));
    EXPECT_EQ(table.split_channel[1], 0);
    EXPECT_EQ(table.split_value[1], 60);
    EXPECT_EQ(table.split_channel[3], 0);
    EXPECT_EQ(table.split_value[3], 120);
    EXPECT_EQ(table.split_value[2], 0);  // the node above entries 0 and 1 steers to 1
    const Rgb entries[4] = {{0, 0, 0}, {29, 10, 20}, {89, 10, 20}, {149, 10, 20}};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ((Rgb{table.red[i], table.green[i], table.blue[i]}), entries[i]) << "entry " << i;

    // Channel choice: blue wins over green when wider, red only when wider than both.
    const uint8_t blue_wide[] = {0, 0, 0, 0, 5, 9, 200, 0};
    ASSERT_TRUE(gif_build_palette(nullptr, blue_wide, 2, 1 + 1, false, &table));
    EXPECT_EQ(table.split_channel[1], 2);
    const uint8_t red_ties_blue[] = {0, 0, 0, 0, 50, 9, 50, 0};
    ASSERT_TRUE(gif_build_palette(nullptr, red_ties_blue, 2, 2, false, &table));
    EXPECT_EQ(table.split_channel[1], 2);
    const uint8_t green_wide[] = {0, 0, 0, 0, 1, 90, 2, 0};
    ASSERT_TRUE(gif_build_palette(nullptr, green_wide, 2, 2, false, &table));
    EXPECT_EQ(table.split_channel[1], 1);
    const uint8_t red_wide[] = {0, 0, 0, 0, 91, 90, 2, 0};
    ASSERT_TRUE(gif_build_palette(nullptr, red_wide, 2, 2, false, &table));
    EXPECT_EQ(table.split_channel[1], 0);
}

TEST(GifWriter, RefusesNonsenseArguments)
{
    const std::string path = temp_gif("refuse");
    GifFile writer;
    EXPECT_EQ(gif_open(nullptr, path.c_str(), 4, 4, 0), 0);
    EXPECT_EQ(gif_open(&writer, nullptr, 4, 4, 0), 0);
    EXPECT_EQ(gif_open(&writer, path.c_str(), 0, 4, 0), 0);
    EXPECT_EQ(gif_open(&writer, path.c_str(), 4, 0, 0), 0);
    EXPECT_EQ(gif_open(&writer, path.c_str(), 65536, 1, 0), 0);
    EXPECT_EQ(gif_open(&writer, path.c_str(), 65535, 65535, 0), 0);  // frame buffer over 1 GiB
    EXPECT_EQ(gif_open(&writer, path.c_str(), 4, 4, 65536), 0);
    EXPECT_EQ(gif_open(&writer, "/nonexistent/dir/x.gif", 4, 4, 0), 0);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(writer.file, nullptr);

    const Pixels red = solid_frame(4, 4, {255, 0, 0});
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 0, 8, false), 0);  // not open
    EXPECT_EQ(gif_close(&writer), 0);

    ASSERT_EQ(gif_open(&writer, path.c_str(), 4, 4, 10), 1);
    EXPECT_EQ(gif_open(&writer, path.c_str(), 4, 4, 10), 0);  // already open
    EXPECT_EQ(gif_add_frame(nullptr, red.data(), 4, 4, 0, 8, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, nullptr, 4, 4, 0, 8, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 5, 4, 0, 8, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 3, 0, 8, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 0, 0, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 0, 9, false), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 65536, 8, false), 0);
    // Refused frames leave no trace: the next frame is still the first, nothing transparent.
    ASSERT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 65535, 8, false), 1);
    ASSERT_EQ(gif_close(&writer), 1);
    EXPECT_EQ(gif_close(&writer), 0);
    EXPECT_EQ(gif_add_frame(&writer, red.data(), 4, 4, 0, 8, false), 0);

    const DecodedGif gif = decode_gif(path);
    std::remove(path.c_str());
    ASSERT_TRUE(gif.ok);
    ASSERT_EQ(gif.frames.size(), 1u);
    EXPECT_EQ(gif.frames[0].control.DelayTime, 65535);
    for (uint8_t i : gif.frames[0].index)
        EXPECT_EQ(gif.frames[0].colours.at(i), (Rgb{255, 0, 0}));

    GifColorTable table;
    EXPECT_FALSE(gif_build_palette(nullptr, red.data(), 16, 0, false, &table));
    EXPECT_FALSE(gif_build_palette(nullptr, red.data(), 16, 9, false, &table));
    EXPECT_FALSE(gif_build_palette(nullptr, nullptr, 16, 8, false, &table));
}

TEST(GifWriter, WriteFailureIsReported)
{
    // /dev/full accepts the open and fails every write once the stream flushes.
    GifFile writer;
    ASSERT_EQ(gif_open(&writer, "/dev/full", 300, 200, 0), 1);
    const Pixels px = noise_frame(300, 200, 8);
    int frames_ok = 1;
    for (int i = 0; i < 3; ++i)
        frames_ok &= gif_add_frame(&writer, px.data(), 300, 200, 0, 8, false);
    EXPECT_EQ(frames_ok, 0);  // 3 x 60,000 noisy pixels overflow any stdio buffer
    EXPECT_EQ(gif_close(&writer), 0);
    EXPECT_EQ(writer.file, nullptr);
    EXPECT_EQ(writer.previous, nullptr);
}

}  // namespace
