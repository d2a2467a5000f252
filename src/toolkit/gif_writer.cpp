#include "toolkit/gif_writer.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace {

constexpr uint32_t kTransparentIndex = 0;
constexpr int64_t kNoDistance = 1000000;
constexpr uint32_t kLzwMaxCode = 4095;
constexpr uint32_t kLzwMaxBits = 12;

// Palette work copies hold one pixel per 32-bit word, R in the low byte, so the selection
// moves whole pixels with plain word swaps.
using PackedPixels = malloc_ptr<uint32_t[]>;

inline uint32_t channel_of(uint32_t pixel, uint32_t channel) { return (pixel >> (8 * channel)) & 0xFF; }

inline bool same_rgb(const uint8_t* a, const uint8_t* b) { return a[0] == b[0] && a[1] == b[1] && a[2] == b[2]; }

inline uint32_t pack_rgb(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

void gif_write(GifFile* writer, const void* data, size_t length)
{
    if (length != 0 && std::fwrite(data, 1, length, writer->file.get()) != length)
        writer->write_failed = true;
}

void put_le16(uint8_t* out, uint32_t value)
{
    out[0] = uint8_t(value);
    out[1] = uint8_t(value >> 8);
}

// ---------------------------------------------------------------------------------------
// Median cut

size_t gif_partition(uint32_t* pixels, size_t left, size_t right, uint32_t channel, size_t pivot)
{
    const uint32_t pivot_value = channel_of(pixels[pivot], channel);
    std::swap(pixels[pivot], pixels[right - 1]);
    size_t store = left;
    // Runs of equal values are split between both sides; sending them all one way would make
    // a flat-coloured frame degrade the selection to quadratic time.
    bool take_equal = false;
    for (size_t i = left; i < right - 1; ++i) {
        const uint32_t value = channel_of(pixels[i], channel);
        if (value < pivot_value) {
            std::swap(pixels[i], pixels[store++]);
        } else if (value == pivot_value) {
            if (take_equal)
                std::swap(pixels[i], pixels[store++]);
            take_equal = !take_equal;
        }
    }
    std::swap(pixels[store], pixels[right - 1]);
    return store;
}

// Reorders [left, right) so that position `nth` holds the value it would have if sorted by
// `channel`, with nothing greater before it and nothing smaller after it.
void gif_select_nth(uint32_t* pixels, size_t left, size_t right, uint32_t channel, size_t nth)
{
    while (left + 1 < right) {
        const size_t pivot = gif_partition(pixels, left, right, channel, left + (right - left) / 2);
        if (pivot > nth)
            right = pivot;
        else if (pivot < nth)
            left = pivot + 1;
        else
            return;
    }
}

struct ChannelBounds {
    uint32_t lo[3] = {255, 255, 255};
    uint32_t hi[3] = {0, 0, 0};
};

ChannelBounds channel_bounds(const uint32_t* pixels, size_t count)
{
    ChannelBounds b;
    for (size_t i = 0; i < count; ++i) {
        for (uint32_t c = 0; c < 3; ++c) {
            b.lo[c] = std::min(b.lo[c], channel_of(pixels[i], c));
            b.hi[c] = std::max(b.hi[c], channel_of(pixels[i], c));
        }
    }
    return b;
}

void set_entry(GifColorTable* table, uint32_t entry, uint32_t r, uint32_t g, uint32_t b)
{
    table->red[entry] = uint8_t(r);
    table->green[entry] = uint8_t(g);
    table->blue[entry] = uint8_t(b);
}

void gif_leaf_color(const uint32_t* pixels, size_t count, uint32_t entry, bool dither, GifColorTable* table)
{
    const uint32_t last_entry = (1u << table->depth) - 1;
    // Error diffusion drifts unless the table holds colours at least as dark and as bright
    // as anything in the frame; the outermost leaves provide them.
    if (dither && (entry == 1 || entry == last_entry)) {
        const ChannelBounds bounds = channel_bounds(pixels, count);
        const uint32_t* pick = entry == 1 ? bounds.lo : bounds.hi;
        set_entry(table, entry, pick[0], pick[1], pick[2]);
        return;
    }
    uint64_t sum[3] = {0, 0, 0};
    for (size_t i = 0; i < count; ++i)
        for (uint32_t c = 0; c < 3; ++c)
            sum[c] += channel_of(pixels[i], c);
    const uint64_t n = count;
    set_entry(table, entry, uint32_t((sum[0] + n / 2) / n), uint32_t((sum[1] + n / 2) / n),
              uint32_t((sum[2] + n / 2) / n));
}

uint32_t widest_channel(const uint32_t* pixels, size_t count)
{
    const ChannelBounds b = channel_bounds(pixels, count);
    const uint32_t range_r = b.hi[0] - b.lo[0], range_g = b.hi[1] - b.lo[1], range_b = b.hi[2] - b.lo[2];
    uint32_t channel = range_b > range_g ? 2 : 1;
    if (range_r > range_b && range_r > range_g)
        channel = 0;
    return channel;
}

// Gives a part of the tree that no pixel reaches one colour taken from the pixels beside it,
// with splits at that colour. Black (or any colour from elsewhere) could lie outside the box
// the ancestors' splits promise, and the pruned search would then miss it.
void gif_fill_subtree(uint32_t colour, uint32_t first, uint32_t last, uint32_t split, uint32_t distance, uint32_t node,
                      GifColorTable* table)
{
    if (last <= first)
        return;
    if (last == first + 1) {
        set_entry(table, first, channel_of(colour, 0), channel_of(colour, 1), channel_of(colour, 2));
        return;
    }
    table->split_channel[node] = 0;
    table->split_value[node] = uint8_t(channel_of(colour, 0));
    gif_fill_subtree(colour, first, split, split - distance, distance / 2, 2 * node, table);
    gif_fill_subtree(colour, split, last, split + distance, distance / 2, 2 * node + 1, table);
}

// Assigns entries [first, last) to `pixels`, splitting the element range at `split` and the
// pixels at the matching share, so each entry stands for about as many pixels.
void gif_median_split(uint32_t* pixels, size_t count, uint32_t first, uint32_t last, uint32_t split, uint32_t distance,
                      uint32_t node, bool dither, GifColorTable* table)
{
    if (last <= first || count == 0)
        return;
    if (last == first + 1) {
        gif_leaf_color(pixels, count, first, dither, table);
        return;
    }
    const uint32_t channel = widest_channel(pixels, count);
    const size_t nth = size_t(uint64_t(split - first) * count / (last - first));
    gif_select_nth(pixels, 0, count, channel, nth);
    table->split_channel[node] = uint8_t(channel);
    table->split_value[node] = uint8_t(channel_of(pixels[nth], channel));
    // Few pixels over many entries leave the lower share empty (the upper one never is).
    if (nth == 0)
        gif_fill_subtree(pixels[0], first, split, split - distance, distance / 2, 2 * node, table);
    else
        gif_median_split(pixels, nth, first, split, split - distance, distance / 2, 2 * node, dither, table);
    gif_median_split(pixels + nth, count - nth, split, last, split + distance, distance / 2, 2 * node + 1, dither,
                     table);
}

// Copies the pixels whose colour differs from the previous frame to the front of `out`.
size_t gif_drop_unchanged(const uint8_t* previous, const uint8_t* pixels, uint64_t count, uint32_t* out)
{
    size_t kept = 0;
    for (uint64_t p = 0; p < count; ++p)
        if (!same_rgb(previous + 4 * p, pixels + 4 * p))
            out[kept++] = pack_rgb(pixels + 4 * p);
    return kept;
}

// ---------------------------------------------------------------------------------------
// Mapping

// The tree search for one pixel, started from `start_index` (what an empty search returns).
// Neighbouring pixels tend to share their nearest entry, so the one `hint` names bounds the
// search from the start. The bound is one above its distance: every entry at least as near
// stays eligible, and the search picks the same entry as an unbounded one, ties included.
uint32_t gif_search_near(const GifColorTable& table, int64_t r, int64_t g, int64_t b, uint32_t hint,
                         uint32_t start_index)
{
    uint32_t index = start_index;
    int64_t distance = kNoDistance;
    if (hint != kTransparentIndex) {
        distance = std::abs(r - table.red[hint]) + std::abs(g - table.green[hint]) + std::abs(b - table.blue[hint]);
        distance = std::min(distance + 1, kNoDistance);
    }
    gif_nearest_index(table, r, g, b, &index, &distance);
    return index;
}

void gif_map_nearest(const uint8_t* previous, const uint8_t* pixels, uint64_t count, const GifColorTable& table,
                     uint8_t* out)
{
    // Runs of one colour are common; the search is a pure function of the colour.
    bool have_last = false;
    uint32_t last_rgb = 0, last_index = kTransparentIndex;
    for (uint64_t p = 0; p < count; ++p) {
        const uint8_t* px = pixels + 4 * p;
        uint8_t* o = out + 4 * p;  // may be `previous` itself: read it before writing
        if (previous && same_rgb(previous + 4 * p, px)) {
            o[0] = px[0], o[1] = px[1], o[2] = px[2], o[3] = kTransparentIndex;
            continue;
        }
        const uint32_t rgb = pack_rgb(px);
        if (!have_last || rgb != last_rgb) {
            last_index = gif_search_near(table, px[0], px[1], px[2], last_index, 1);
            have_last = true, last_rgb = rgb;
        }
        o[0] = table.red[last_index], o[1] = table.green[last_index], o[2] = table.blue[last_index];
        o[3] = uint8_t(last_index);
    }
}

// One pixel of the dithering window, scaled by 256. 64 bits: with a table that cannot
// represent the frame's colours the carried error grows with every row.
struct ScaledPixel {
    int64_t c[3];
};

void load_scaled(const uint8_t* pixel, ScaledPixel* slot)
{
    for (uint32_t c = 0; c < 3; ++c)
        slot->c[c] = int64_t{pixel[c]} * 256;
}

void spread_error(ScaledPixel* slot, const int64_t error[3], int64_t weight)
{
    for (uint32_t c = 0; c < 3; ++c)
        slot->c[c] += std::max(-slot->c[c], error[c] * weight / 16);
}

// Floyd-Steinberg over flat positions: the error of pixel p reaches p + 1, p + w - 1, p + w
// and p + w + 1, so only a window of w + 2 pixels is ever live.
void gif_map_dithered(const uint8_t* previous, const uint8_t* pixels, uint32_t width, uint64_t count,
                      const GifColorTable& table, ScaledPixel* window, uint8_t* out)
{
    const uint64_t window_size = uint64_t{width} + 2;
    for (uint64_t q = 0; q < window_size && q < count; ++q)
        load_scaled(pixels + 4 * q, &window[q]);
    const uint64_t offsets[4] = {1, uint64_t{width} - 1, width, uint64_t{width} + 1};
    const int64_t weights[4] = {7, 3, 5, 1};
    uint64_t slot = 0;
    uint32_t hint = kTransparentIndex;
    for (uint64_t p = 0; p < count; ++p) {
        ScaledPixel& value = window[slot];
        const int64_t r = (value.c[0] + 127) / 256, g = (value.c[1] + 127) / 256, b = (value.c[2] + 127) / 256;
        uint8_t* o = out + 4 * p;  // may be `previous` itself: read it before writing
        const uint8_t* prev = previous ? previous + 4 * p : nullptr;
        if (prev && prev[0] == r && prev[1] == g && prev[2] == b) {
            o[0] = prev[0], o[1] = prev[1], o[2] = prev[2], o[3] = kTransparentIndex;
        } else {
            const uint32_t index = gif_search_near(table, r, g, b, hint, kTransparentIndex);
            hint = index;
            const int64_t error[3] = {value.c[0] - 256 * int64_t{table.red[index]},
                                      value.c[1] - 256 * int64_t{table.green[index]},
                                      value.c[2] - 256 * int64_t{table.blue[index]}};
            o[0] = table.red[index], o[1] = table.green[index], o[2] = table.blue[index];
            o[3] = uint8_t(index);
            for (int k = 0; k < 4; ++k) {
                // In a one-pixel-wide frame p + w - 1 is p itself, already mapped.
                if (offsets[k] == 0 || p + offsets[k] >= count)
                    continue;
                uint64_t target = slot + offsets[k];
                if (target >= window_size)
                    target -= window_size;
                spread_error(&window[target], error, weights[k]);
            }
        }
        if (p + window_size < count)
            load_scaled(pixels + 4 * (p + window_size), &value);
        slot = slot + 1 == window_size ? 0 : slot + 1;
    }
}

// ---------------------------------------------------------------------------------------
// LZW output

struct GifSubBlocks {
    uint32_t bit_pos = 0;  // next free bit of `current`
    uint8_t current = 0;
    uint32_t count = 0;  // bytes pending in `block`
    uint8_t block[256] = {};
};

void gif_flush_block(GifFile* writer, GifSubBlocks* out)
{
    if (out->count == 0)
        return;
    const uint8_t length = uint8_t(out->count);
    gif_write(writer, &length, 1);
    gif_write(writer, out->block, out->count);
    out->count = 0;
}

void gif_put_byte(GifFile* writer, GifSubBlocks* out)
{
    out->block[out->count++] = out->current;
    out->current = 0;
    out->bit_pos = 0;
    if (out->count == 255)
        gif_flush_block(writer, out);
}

// Least significant bit first, as many bits at a time as fit in the current byte.
void gif_put_code(GifFile* writer, GifSubBlocks* out, uint32_t code, uint32_t size)
{
    while (size > 0) {
        const uint32_t take = std::min(8 - out->bit_pos, size);
        out->current = uint8_t(out->current | (code & ((1u << take) - 1)) << out->bit_pos);
        out->bit_pos += take;
        code >>= take;
        size -= take;
        if (out->bit_pos == 8)
            gif_put_byte(writer, out);
    }
}

// Direct table: entry [code * 256 + index] is the code of that string extended by index.
struct LzwDictionary {
    malloc_ptr<uint16_t[]> next;
    uint32_t used[kLzwMaxCode + 1];  // slot each assigned code occupies, for cheap clearing
};

constexpr size_t kLzwSlots = size_t{kLzwMaxCode + 1} * 256;

bool lzw_dictionary_init(LzwDictionary* dict)
{
    dict->next.reset(static_cast<uint16_t*>(std::calloc(kLzwSlots, sizeof(uint16_t))));
    return dict->next != nullptr;
}

void gif_write_color_table(GifFile* writer, const GifColorTable& table)
{
    uint8_t bytes[3 * 256];
    const uint32_t entries = 1u << table.depth;
    bytes[0] = bytes[1] = bytes[2] = 0;
    for (uint32_t i = 1; i < entries; ++i) {
        bytes[3 * i] = table.red[i];
        bytes[3 * i + 1] = table.green[i];
        bytes[3 * i + 2] = table.blue[i];
    }
    gif_write(writer, bytes, 3 * entries);
}

void gif_write_frame_header(GifFile* writer, uint32_t width, uint32_t height, uint32_t delay,
                            const GifColorTable& table)
{
    // Graphic control: leave the frame in place, index 0 transparent.
    uint8_t control[8] = {0x21, 0xF9, 0x04, 0x05, 0, 0, kTransparentIndex, 0x00};
    put_le16(control + 4, delay);
    gif_write(writer, control, sizeof control);
    uint8_t descriptor[10] = {0x2C, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(0x80 + table.depth - 1)};
    put_le16(descriptor + 5, width);
    put_le16(descriptor + 7, height);
    gif_write(writer, descriptor, sizeof descriptor);
    gif_write_color_table(writer, table);
}

void gif_lzw_encode(GifFile* writer, const uint8_t* indexed, uint32_t width, uint32_t height, uint32_t delay,
                    const GifColorTable& table, LzwDictionary* dict)
{
    gif_write_frame_header(writer, width, height, delay, table);
    // Decoders expect a code size of at least 2, even for two-colour tables.
    const uint32_t min_size = std::max<uint32_t>(table.depth, 2);
    const uint8_t min_size_byte = uint8_t(min_size);
    gif_write(writer, &min_size_byte, 1);

    const uint32_t clear = 1u << min_size;
    uint32_t size = min_size + 1;
    uint32_t last = clear + 1;
    GifSubBlocks out;
    gif_put_code(writer, &out, clear, size);

    const uint64_t count = uint64_t{width} * height;
    uint32_t current = indexed[3];
    for (uint64_t p = 1; p < count; ++p) {
        const uint32_t index = indexed[4 * p + 3];
        const uint32_t slot = current * 256 + index;
        if (dict->next[slot] != 0) {
            current = dict->next[slot];
            continue;
        }
        gif_put_code(writer, &out, current, size);
        ++last;
        dict->next[slot] = uint16_t(last);
        dict->used[last] = slot;
        if (last >= (1u << size))
            ++size;
        if (last == kLzwMaxCode) {
            gif_put_code(writer, &out, clear, size);
            for (uint32_t code = clear + 2; code <= kLzwMaxCode; ++code)
                dict->next[dict->used[code]] = 0;
            size = min_size + 1;
            last = clear + 1;
        }
        current = index;
    }
    gif_put_code(writer, &out, current, size);
    // The decoder defines one more code on reading the last one; when that fills the current
    // width, it reads the next code one bit wider.
    if (last + 1 == (1u << size) && size < kLzwMaxBits)
        ++size;
    gif_put_code(writer, &out, clear, size);
    gif_put_code(writer, &out, clear + 1, min_size + 1);
    if (out.bit_pos > 0)
        gif_put_byte(writer, &out);
    gif_flush_block(writer, &out);
    const uint8_t terminator = 0;
    gif_write(writer, &terminator, 1);
}

bool frame_size_ok(uint32_t width, uint32_t height)
{
    return width >= 1 && height >= 1 && width <= kGifMaxSide && height <= kGifMaxSide &&
           uint64_t{width} * height * 4 < kMaxBufferSize;
}

}  // namespace

// ---------------------------------------------------------------------------------------

namespace {

// Lower bounds, per channel, on the distance from the colour to any entry below a node.
struct SearchGaps {
    int64_t gap[3];
    int64_t sum() const { return gap[0] + gap[1] + gap[2]; }
};

void gif_nearest_in(const GifColorTable& table, const int64_t colour[3], uint32_t node, SearchGaps gaps,
                    uint32_t* best_index, int64_t* best_distance)
{
    const uint32_t leaves = 1u << table.depth;
    if (node >= leaves) {
        const uint32_t index = node - leaves;
        if (index == kTransparentIndex)
            return;
        const int64_t distance = std::abs(colour[0] - table.red[index]) + std::abs(colour[1] - table.green[index]) +
                                 std::abs(colour[2] - table.blue[index]);
        if (distance < *best_distance) {
            *best_index = index;
            *best_distance = distance;
        }
        return;
    }
    const uint32_t channel = table.split_channel[node] % 3;
    const int64_t x = colour[channel];
    const int64_t v = table.split_value[node];
    gif_nearest_in(table, colour, v > x ? 2 * node : 2 * node + 1, gaps, best_index, best_distance);
    // Entries below a split never exceed its value and those above never fall short of it,
    // so the far side lies at least |x - v| away on that channel, on top of what is known
    // for the others. It only matters while the best distance exceeds that bound.
    gaps.gap[channel] = std::max(gaps.gap[channel], v > x ? v - x : x - v);
    if (*best_distance > gaps.sum())
        gif_nearest_in(table, colour, v > x ? 2 * node + 1 : 2 * node, gaps, best_index, best_distance);
}

}  // namespace

void gif_nearest_index(const GifColorTable& table, int64_t r, int64_t g, int64_t b, uint32_t* best_index,
                       int64_t* best_distance, uint32_t node)
{
    if (table.depth < 1 || table.depth > 8 || node == 0 || node >= (2u << table.depth))
        return;
    const int64_t colour[3] = {r, g, b};
    gif_nearest_in(table, colour, node, SearchGaps{{0, 0, 0}}, best_index, best_distance);
}

bool gif_build_palette(const uint8_t* previous, const uint8_t* pixels, uint64_t count, uint32_t depth, bool dither,
                       GifColorTable* table)
{
    if (!pixels || !table || depth < 1 || depth > 8 || count >= kMaxBufferSize / 4)
        return false;
    PackedPixels work(static_cast<uint32_t*>(std::malloc(std::max<uint64_t>(count, 1) * sizeof(uint32_t))));
    if (!work)
        return false;
    *table = GifColorTable{};
    table->depth = depth;
    size_t used = size_t(count);
    if (previous) {
        used = gif_drop_unchanged(previous, pixels, count, work.get());
    } else {
        for (uint64_t p = 0; p < count; ++p)
            work[p] = pack_rgb(pixels + 4 * p);
    }
    const uint32_t entries = 1u << depth;
    const uint32_t split = entries / 2;
    gif_median_split(work.get(), used, 1, entries, split, split / 2, 1, dither, table);
    // Entries 0 and 1 share the lowest tree node; send every search to 1, 0 being transparent.
    table->split_channel[split] = 0;
    table->split_value[split] = 0;
    set_entry(table, kTransparentIndex, 0, 0, 0);
    return true;
}

int gif_open(GifFile* writer, const char* path, uint32_t width, uint32_t height, uint32_t delay, uint32_t depth,
             bool dither)
{
    (void)depth;
    (void)dither;
    if (!writer || writer->file || !path || !frame_size_ok(width, height) || delay > kGifMaxDelay)
        return 0;
    ByteBuffer previous(static_cast<uint8_t*>(std::calloc(size_t{width} * height, 4)));
    if (!previous)
        return 0;
    writer->file.reset(platform_open_file(path, "wb"));
    if (!writer->file)
        return 0;
    writer->previous = std::move(previous);
    writer->width = width;
    writer->height = height;
    writer->first_frame = true;
    writer->write_failed = false;

    // Logical screen with a two-entry global table (colour resolution 8 bits), all black.
    uint8_t header[19] = {'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0xF0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_le16(header + 6, width);
    put_le16(header + 8, height);
    gif_write(writer, header, sizeof header);
    if (delay != 0) {
        static constexpr uint8_t kLoopForever[19] = {0x21, 0xFF, 0x0B, 'N', 'E', 'T', 'S', 'C', 'A', 'P',
                                                     'E',  '2',  '.',  '0', 3,   1,   0,   0,   0};
        gif_write(writer, kLoopForever, sizeof kLoopForever);
    }
    if (writer->write_failed) {
        writer->file.reset();
        writer->previous.reset();
        return 0;
    }
    return 1;
}

int gif_add_frame(GifFile* writer, const uint8_t* pixels, uint32_t width, uint32_t height, uint32_t delay,
                  uint32_t depth, bool dither)
{
    if (!writer || !writer->file || !pixels || width != writer->width || height != writer->height || depth < 1 ||
        depth > 8 || delay > kGifMaxDelay)
        return 0;
    const uint64_t count = uint64_t{width} * height;
    const uint8_t* previous = writer->first_frame ? nullptr : writer->previous.get();

    // Everything the frame needs is allocated before the displayed frame is overwritten, so
    // running out of memory leaves the writer as it was.
    GifColorTable table;
    if (!gif_build_palette(dither ? nullptr : previous, pixels, count, depth, dither, &table))
        return 0;
    LzwDictionary dict;
    if (!lzw_dictionary_init(&dict))
        return 0;
    malloc_ptr<ScaledPixel[]> window;
    if (dither) {
        window.reset(static_cast<ScaledPixel*>(std::malloc((size_t{width} + 2) * sizeof(ScaledPixel))));
        if (!window)
            return 0;
    }

    uint8_t* shown = writer->previous.get();
    if (dither)
        gif_map_dithered(previous, pixels, width, count, table, window.get(), shown);
    else
        gif_map_nearest(previous, pixels, count, table, shown);
    writer->first_frame = false;
    gif_lzw_encode(writer, shown, width, height, delay, table, &dict);
    return writer->write_failed ? 0 : 1;
}

int gif_close(GifFile* writer)
{
    if (!writer || !writer->file)
        return 0;
    const uint8_t trailer = 0x3B;
    gif_write(writer, &trailer, 1);
    const bool closed = std::fclose(writer->file.release()) == 0;
    writer->previous.reset();
    const bool ok = closed && !writer->write_failed;
    writer->write_failed = false;
    writer->first_frame = false;
    return ok ? 1 : 0;
}
