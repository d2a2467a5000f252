// pixpng reader: signature and header, the chunk loop, inflate and unfiltering, and the
// conversion of stored samples into pixels.
//
// Rows are unfiltered as soon as inflate completes them, from a small band buffer straight
// into the caller's output (or into two scratch rows when they still need converting), so
// the filtered image is never held whole.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "codec/png.h"
#include "codec/png_internal.h"
#include "platform/platform.h"
#include "stream/byte_reader.h"
#include "support/memory.h"

using namespace pngi;

namespace {

// First piece read of a chunk; larger chunks grow the buffer only as their data arrives,
// so a forged length cannot make us allocate memory the stream does not hold.
constexpr uint32_t kFirstChunkPiece = 1u << 20;
// Target size of the band of filtered rows that inflate writes into.
constexpr uint64_t kBandBytes = 128u * 1024;

// The depths the format allows for each colour type.
bool depth_allowed(uint8_t color_type, uint8_t depth)
{
    switch (color_type) {
    case kPngGrey: return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case kPngPalette: return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case kPngRgb:
    case kPngGreyAlpha:
    case kPngRgba: return depth == 8 || depth == 16;
    default: return false;
    }
}

uint64_t packed_row_bytes(uint32_t width, unsigned bits_per_pixel)
{
    return (uint64_t{width} * bits_per_pixel + 7) / 8;
}

// ---- unfiltering -------------------------------------------------------------------

// The pixel distance is a template parameter so the byte loops unroll per pixel.
template <unsigned BPP>
void unfilter_sub(const uint8_t* raw, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP && i < n; i++)
        out[i] = raw[i];
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + out[i - BPP]);
}

template <unsigned BPP>
void unfilter_average(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP && i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + (prior[i] >> 1));
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + ((out[i - BPP] + prior[i]) >> 1));
}

template <unsigned BPP>
void unfilter_paeth(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < BPP && i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + prior[i]);
    for (size_t i = BPP; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + paeth_predictor(out[i - BPP], prior[i], prior[i - BPP]));
}

void unfilter_up(const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    for (size_t i = 0; i < n; i++)
        out[i] = static_cast<uint8_t>(raw[i] + prior[i]);
}

template <unsigned BPP>
Fault unfilter_row_bpp(uint8_t type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    switch (type) {
    case 0: std::memcpy(out, raw, n); return Fault::none;
    case 1: unfilter_sub<BPP>(raw, out, n); return Fault::none;
    case 2: unfilter_up(raw, prior, out, n); return Fault::none;
    case 3: unfilter_average<BPP>(raw, prior, out, n); return Fault::none;
    case 4: unfilter_paeth<BPP>(raw, prior, out, n); return Fault::none;
    default: return Fault::malformed;
    }
}

// `prior` is the previous output row, or zeros for the top row (which gives exactly the
// top-row rules: Up copies, Average and Paeth see 0 above). Below 8 bits a pixel the
// filters work on whole bytes, one apart.
Fault unfilter_row(unsigned distance, uint8_t type, const uint8_t* raw, const uint8_t* prior, uint8_t* out, size_t n)
{
    switch (distance) {
    case 1: return unfilter_row_bpp<1>(type, raw, prior, out, n);
    case 2: return unfilter_row_bpp<2>(type, raw, prior, out, n);
    case 3: return unfilter_row_bpp<3>(type, raw, prior, out, n);
    case 4: return unfilter_row_bpp<4>(type, raw, prior, out, n);
    case 6: return unfilter_row_bpp<6>(type, raw, prior, out, n);
    case 8: return unfilter_row_bpp<8>(type, raw, prior, out, n);
    default: return Fault::unsupported;  // unreachable after the header checks
    }
}

// ---- passes ----------------------------------------------------------------------------

// One reduced image of the stored data: the whole picture, or one of Adam7's seven passes,
// whose pixels start at (x0, y0) and lie dx and dy apart.
struct Pass {
    uint32_t width = 0;
    uint32_t height = 0;
    uint8_t x0 = 0, y0 = 0, dx = 1, dy = 1;
};

constexpr uint8_t kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                  {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

uint32_t pass_extent(uint32_t size, uint8_t start, uint8_t step)
{
    return size > start ? (size - start + step - 1) / step : 0;
}

// The passes that hold data (an empty pass has not even filter bytes); their number.
int make_passes(uint32_t width, uint32_t height, bool interlaced, Pass* passes)
{
    if (!interlaced) {
        passes[0] = {width, height, 0, 0, 1, 1};
        return 1;
    }
    int count = 0;
    for (const auto& p : kAdam7) {
        Pass pass{pass_extent(width, p[0], p[2]), pass_extent(height, p[1], p[3]), p[0], p[1], p[2], p[3]};
        if (pass.width > 0 && pass.height > 0)
            passes[count++] = pass;
    }
    return count;
}

// ---- inflate into rows ---------------------------------------------------------------

// Receives each unfiltered row of a pass, in order.
class RowSink {
public:
    virtual void row_done(const Pass& pass, uint32_t y, const uint8_t* row) = 0;

protected:
    ~RowSink() = default;
};

struct RowEngineSetup {
    uint32_t width;
    uint32_t height;
    unsigned bits_per_pixel;
    bool interlaced;
    bool swap16;                // 16-bit samples leave low byte first (the handle interface)
    uint8_t* direct = nullptr;  // non-interlaced only: unfilter rows straight here, packed
    RowSink* sink = nullptr;
};

// Inflates the image data as it arrives and unfilters each row once it is whole. Every block
// comes from the module's allocation hooks and goes back on destruction.
class RowEngine {
public:
    explicit RowEngine(const RowEngineSetup& setup) : setup_(setup)
    {
        pass_count_ = make_passes(setup.width, setup.height, setup.interlaced, passes_);
        distance_ = std::max(1u, setup.bits_per_pixel / 8);
    }
    ~RowEngine()
    {
        end_inflate();
        free_block(band_);
        free_block(rows_);
    }
    RowEngine(const RowEngine&) = delete;
    RowEngine& operator=(const RowEngine&) = delete;

    Fault start()
    {
        uint64_t widest = 0;
        for (int i = 0; i < pass_count_; ++i)
            widest = std::max(widest, packed_row_bytes(passes_[i].width, setup_.bits_per_pixel));
        uint64_t stride = widest + 1;
        uint64_t rows_in_band = std::max<uint64_t>(1, kBandBytes / stride);
        band_size_ = std::min<uint64_t>(rows_in_band, setup_.height) * stride;
        band_ = static_cast<uint8_t*>(alloc_block(band_size_));
        // Two rows to unfilter into alternately, then one of zeros above each pass's top row.
        rows_ = static_cast<uint8_t*>(alloc_block(3 * widest));
        if (!band_ || !rows_)
            return Fault::out_of_memory;
        widest_ = widest;
        std::memset(rows_ + 2 * widest, 0, widest);
        begin_pass(0);
        zstream_ = static_cast<z_stream*>(alloc_block(sizeof(z_stream)));
        if (!zstream_)
            return Fault::out_of_memory;
        std::memset(zstream_, 0, sizeof *zstream_);  // zlib then uses its own allocator
        if (inflateInit(zstream_) != Z_OK) {
            free_block(zstream_);
            zstream_ = nullptr;
            return Fault::malformed;
        }
        started_ = true;
        return Fault::none;
    }

    bool started() const { return started_; }
    bool complete() const { return pass_ == pass_count_; }
    Fault filter_result() const { return filter_result_; }

    Fault inflate_data(const uint8_t* data, uint32_t length)
    {
        if (length == 0)
            return Fault::none;  // inflate would report "no progress" on empty input
        z_stream* zs = zstream_;
        zs->next_in = const_cast<uint8_t*>(data);
        zs->avail_in = length;
        for (;;) {
            uint8_t sink[16];
            bool all_rows = complete();
            // After the last row any output at all is excess data.
            zs->next_out = all_rows ? sink : band_ + filled_;
            zs->avail_out = static_cast<uInt>(all_rows ? sizeof sink : band_size_ - filled_);
            uInt in_before = zs->avail_in;
            uInt out_before = zs->avail_out;
            int ret = inflate(zs, Z_SYNC_FLUSH);
            size_t produced = out_before - zs->avail_out;
            if (all_rows && produced > 0)
                return Fault::malformed;
            filled_ += produced;
            if (consume_rows() != Fault::none)
                return Fault::malformed;
            if (ret == Z_STREAM_END)
                return zs->avail_in > 0 ? Fault::malformed : Fault::none;
            if (ret != Z_OK && ret != Z_BUF_ERROR)
                return ret == Z_MEM_ERROR ? Fault::out_of_memory : Fault::malformed;
            bool progress = produced > 0 || zs->avail_in != in_before;
            if (!progress)
                return zs->avail_in > 0 ? Fault::malformed : Fault::none;
            // Stop once the input is used up and inflate had room to spare (nothing pending).
            if (zs->avail_in == 0 && zs->avail_out > 0)
                return Fault::none;
        }
    }

    // Rows the data never reached decode as if their filtered bytes were zero, so the
    // caller's buffer never shows stale memory (non-interlaced images straight into memory).
    void finish_short_image()
    {
        if (complete())
            return;
        const size_t stride = row_stride();
        std::memset(band_ + filled_, 0, stride - filled_);
        filled_ = stride;
        consume_rows();
        // Every later row is filter type None over zero bytes, which is a zero row: one
        // memset instead of unfiltering each (a tiny file may claim millions of rows).
        size_t row_bytes = packed_row_bytes(setup_.width, setup_.bits_per_pixel);
        size_t done = size_t{row_} * row_bytes;
        std::memset(setup_.direct + done, 0, size_t{setup_.height} * row_bytes - done);
        pass_ = pass_count_;
    }

private:
    size_t row_stride() const { return packed_row_bytes(passes_[pass_].width, setup_.bits_per_pixel) + 1; }

    void begin_pass(int pass)
    {
        pass_ = pass;
        row_ = 0;
        prior_ = rows_ + 2 * widest_;
    }

    void decode_row(uint8_t* raw)
    {
        const Pass& pass = passes_[pass_];
        const size_t n = row_stride() - 1;
        if (filter_result_ == Fault::none) {
            if (setup_.swap16)
                swap_sample_bytes(raw + 1, raw + 1, n);
            uint8_t* out = setup_.direct ? setup_.direct + size_t{row_} * n : rows_ + (row_ & 1) * widest_;
            filter_result_ = unfilter_row(distance_, raw[0], raw + 1, prior_, out, n);
            prior_ = out;
            if (filter_result_ == Fault::none && setup_.sink)
                setup_.sink->row_done(pass, row_, out);
        }
        if (++row_ == pass.height)
            begin_pass(pass_ + 1);
    }

    // Unfilters every complete row of the band and keeps the partial one at its start.
    // Data beyond the last row means the image data is longer than the image.
    Fault consume_rows()
    {
        size_t pos = 0;
        while (!complete() && filled_ - pos >= row_stride()) {
            size_t stride = row_stride();
            decode_row(band_ + pos);
            pos += stride;
        }
        if (pos > 0) {
            std::memmove(band_, band_ + pos, filled_ - pos);
            filled_ -= pos;
        }
        return complete() && filled_ > 0 ? Fault::malformed : Fault::none;
    }

    void end_inflate()
    {
        if (!zstream_)
            return;
        if (inflateEnd(zstream_) != Z_OK)
            return;  // the record stays allocated, as zlib may still refer to it
        free_block(zstream_);
    }

    RowEngineSetup setup_;
    Pass passes_[7];
    int pass_count_ = 0;
    unsigned distance_ = 1;
    int pass_ = 0;
    uint32_t row_ = 0;
    uint8_t* band_ = nullptr;
    size_t band_size_ = 0;
    size_t filled_ = 0;  // bytes of the band holding inflated data
    uint8_t* rows_ = nullptr;
    size_t widest_ = 0;
    const uint8_t* prior_ = nullptr;
    z_stream* zstream_ = nullptr;
    Fault filter_result_ = Fault::none;  // the first bad filter stops unfiltering, not the chunk loop
    bool started_ = false;
};

// ---- the handle interface -----------------------------------------------------------------

// The image must be one the handle interface decodes and whose sizes fit comfortably in 32 bits.
Fault check_header(const PngHandle* png)
{
    if (!is_sample_colour_type(png->color_type)) {
        return Fault::unsupported;
    }
    if (png->depth != 8 && png->depth != 16) {
        return Fault::unsupported;
    }
    if (png->interlace_method != 0) {
        return Fault::unsupported;
    }
    if (png->width == 0 || png->width > kMaxFormatValue) {
        return Fault::unsupported;
    }
    if (png->height == 0 || png->height > kMaxFormatValue) {
        return Fault::unsupported;
    }
    if (filtered_size(png->width, png->height, png->pbb) >= kMaxBufferSize) {
        return Fault::unsupported;
    }
    return Fault::none;
}

void set_pixel_bytes(PngHandle* png)
{
    png->pbb = static_cast<uint8_t>(png_pixel_bytes(png->color_type, png->depth).value);
}

Fault read_header(PngHandle* png)
{
    uint8_t signature[8];
    if (!read_bytes(png, signature, 8))
        return Fault::truncated;
    if (std::memcmp(signature, kSignature, 8) != 0)
        return Fault::malformed;

    set_pixel_bytes(png);
    uint32_t length;
    if (!read_be32(png, &length))
        return Fault::truncated;
    if (length != kHeaderLength)
        return Fault::malformed;
    // Type and data; the type is covered by the CRC but, as always here, not compared.
    uint8_t chunk[4 + kHeaderLength];
    uint32_t stored_crc;
    if (!read_bytes(png, chunk, sizeof chunk) || !read_be32(png, &stored_crc))
        return Fault::truncated;
    if (crc_of(chunk, sizeof chunk) != stored_crc)
        return Fault::malformed;

    const uint8_t* data = chunk + 4;
    png->width = load_be32(data);
    png->height = load_be32(data + 4);
    png->depth = data[8];
    png->color_type = data[9];
    png->compression = data[10];
    png->filter = data[11];
    png->interlace_method = data[12];
    set_pixel_bytes(png);
    if (png->color_type == kPngPalette)  // refused as such, whatever the depth
        return Fault::unsupported;
    return check_header(png);
}

// Makes the chunk buffer hold `capacity` bytes, keeping the first `keep`.
Fault grow_chunk_buffer(PngHandle* png, uint32_t capacity, uint32_t keep)
{
    if (png->chunk_buffer && png->chunk_buffer_size >= capacity)
        return Fault::none;
    auto* block = static_cast<uint8_t*>(alloc_block(capacity));
    if (!block)
        return Fault::out_of_memory;
    if (keep > 0)
        std::memcpy(block, png->chunk_buffer, keep);
    free_block(png->chunk_buffer);
    png->chunk_buffer = block;
    png->chunk_buffer_size = capacity;
    return Fault::none;
}

Fault read_chunk_data(PngHandle* png, uint32_t length)
{
    uint32_t got = 0;
    while (got < length) {
        uint32_t want = got == 0 ? kFirstChunkPiece : got * 2;  // got < 2^31: no wrap
        if (want > length)
            want = length;
        Fault result = grow_chunk_buffer(png, want, got);
        if (result != Fault::none)
            return result;
        if (!read_bytes(png, png->chunk_buffer + got, want - got))
            return Fault::io_error;
        got = want;
    }
    return Fault::none;
}

Fault process_idat(PngHandle* png, RowEngine& engine, uint32_t length)
{
    if (!engine.started()) {
        Fault result = engine.start();
        if (result != Fault::none)
            return result;
    }
    Fault result = read_chunk_data(png, length);
    if (result != Fault::none)
        return result;
    uint32_t stored_crc;
    if (!read_be32(png, &stored_crc))
        return Fault::io_error;
    static const uint8_t kType[4] = {'I', 'D', 'A', 'T'};
    if (crc_of(png->chunk_buffer, length, crc_of(kType, 4)) != stored_crc)
        return Fault::malformed;
    return engine.inflate_data(png->chunk_buffer, length);
}

// One chunk; *ended set at IEND.
Fault read_chunk(PngHandle* png, RowEngine& engine, bool* ended)
{
    uint32_t length;
    uint8_t type[4];
    if (!read_be32(png, &length) || !read_bytes(png, type, 4))
        return Fault::io_error;
    if (std::memcmp(type, "IEND", 4) == 0) {
        *ended = true;
        return Fault::none;
    }
    if (length > kMaxFormatValue)
        return Fault::malformed;
    if (std::memcmp(type, "IDAT", 4) == 0)
        return process_idat(png, engine, length);
    // Everything else (palette, transparency, ancillary data) is skipped unchecked.
    return skip_bytes(png, uint64_t{length} + 4) ? Fault::none : Fault::io_error;
}

Fault decode_chunks(PngHandle* png, uint8_t* out)
{
    png->raw_size = static_cast<uint32_t>(filtered_size(png->width, png->height, png->pbb));
    RowEngine engine({png->width, png->height, png->pbb * 8u, false, png->depth == 16, out, nullptr});
    bool ended = false;
    while (!ended)
        if (Fault result = read_chunk(png, engine, &ended); result != Fault::none)
            return result;
    if (!engine.started())
        return Fault::none;  // IEND before any image data: out stays untouched
    engine.finish_short_image();
    return engine.filter_result();
}

// ---- samples into pixels ---------------------------------------------------------------

struct ColourKey {
    bool present = false;
    uint16_t grey = 0, red = 0, green = 0, blue = 0;
};

// Sample `index` of a row of `depth`-bit samples, big-endian as stored.
inline uint32_t sample_at(const uint8_t* row, size_t index, unsigned depth)
{
    switch (depth) {
    case 8: return row[index];
    case 16: return uint32_t{row[2 * index]} << 8 | row[2 * index + 1];
    default: {
        size_t bit = index * depth;
        unsigned shift = 8 - depth - static_cast<unsigned>(bit % 8);
        return (uint32_t{row[bit / 8]} >> shift) & ((1u << depth) - 1);
    }
    }
}

// A sample at 8 bits: 16-bit rounded, 1-, 2- and 4-bit grey scaled so the top value is 255.
inline uint8_t to_eight_bits(uint32_t v, unsigned depth)
{
    switch (depth) {
    case 16: return static_cast<uint8_t>((v * 255 + 32767) / 65535);
    case 8: return static_cast<uint8_t>(v);
    default: return static_cast<uint8_t>(v * (255 / ((1u << depth) - 1)));
    }
}

// Turns each row of stored samples into pixels (R, G, B, A or palette indices) at their
// place in the picture, and keeps what the picture's opacity needs.
class PixelSink final : public RowSink {
public:
    PixelSink(PngPicture& picture, const ColourKey& key) : picture_(picture), key_(key) {}

    uint8_t alpha_and() const { return alpha_and_; }

    void row_done(const Pass& pass, uint32_t y, const uint8_t* row) override
    {
        const size_t pixel_bytes = picture_.indexed ? 1 : 4;
        const size_t line = size_t{pass.y0} + size_t{y} * pass.dy;
        uint8_t* out = picture_.pixels.get() + (line * picture_.width + pass.x0) * pixel_bytes;
        if (pass.dx == 1 && picture_.depth == 8 && convert_fast(row, pass.width, out))
            return;
        convert(row, pass.width, out, pass.dx * pixel_bytes);
    }

private:
    // The common stored forms, written in place: 8-bit RGBA is already the output (the
    // rows were unfiltered into it), 8-bit RGB and palette rows expand.
    bool convert_fast(const uint8_t* row, uint32_t n, uint8_t* out)
    {
        uint8_t alpha = 255;
        switch (picture_.color_type) {
        case 6:
            if (row != out)
                std::memcpy(out, row, size_t{n} * 4);
            for (uint32_t i = 0; i < n; ++i)
                alpha &= out[4 * i + 3];
            break;
        case 2:
            if (key_.present)
                return false;
            for (uint32_t i = 0; i < n; ++i) {
                std::memcpy(out + 4 * i, row + 3 * i, 3);
                out[4 * i + 3] = 255;
            }
            break;
        case 3:
            if (picture_.indexed) {
                if (row != out)
                    std::memcpy(out, row, n);
                for (uint32_t i = 0; i < n; ++i)
                    alpha &= picture_.palette[4 * size_t{row[i]} + 3];
            } else {
                for (uint32_t i = 0; i < n; ++i) {
                    std::memcpy(out + 4 * i, &picture_.palette[4 * size_t{row[i]}], 4);
                    alpha &= out[4 * i + 3];
                }
            }
            break;
        default: return false;
        }
        alpha_and_ &= alpha;
        return true;
    }

    void convert(const uint8_t* row, uint32_t n, uint8_t* out, size_t step)
    {
        const unsigned depth = picture_.depth;
        for (uint32_t i = 0; i < n; ++i, out += step) {
            uint8_t rgba[4];
            switch (picture_.color_type) {
            case 0: {
                uint32_t g = sample_at(row, i, depth);
                uint8_t v = to_eight_bits(g, depth);
                rgba[0] = rgba[1] = rgba[2] = v;
                rgba[3] = key_.present && g == key_.grey ? 0 : 255;
                break;
            }
            case 2: {
                uint32_t r = sample_at(row, 3 * size_t{i}, depth), g = sample_at(row, 3 * size_t{i} + 1, depth),
                         b = sample_at(row, 3 * size_t{i} + 2, depth);
                rgba[0] = to_eight_bits(r, depth), rgba[1] = to_eight_bits(g, depth), rgba[2] = to_eight_bits(b, depth);
                rgba[3] = key_.present && r == key_.red && g == key_.green && b == key_.blue ? 0 : 255;
                break;
            }
            case 3: {
                uint32_t index = sample_at(row, i, depth);
                std::memcpy(rgba, &picture_.palette[4 * index], 4);
                if (picture_.indexed) {
                    alpha_and_ &= rgba[3];
                    *out = static_cast<uint8_t>(index);
                    continue;
                }
                break;
            }
            case 4:
                rgba[0] = rgba[1] = rgba[2] = to_eight_bits(sample_at(row, 2 * size_t{i}, depth), depth);
                rgba[3] = to_eight_bits(sample_at(row, 2 * size_t{i} + 1, depth), depth);
                break;
            default:
                for (unsigned c = 0; c < 4; ++c)
                    rgba[c] = to_eight_bits(sample_at(row, 4 * size_t{i} + c, depth), depth);
                break;
            }
            alpha_and_ &= rgba[3];
            std::memcpy(out, rgba, 4);
        }
    }

    PngPicture& picture_;
    const ColourKey& key_;  // complete once the image data starts
    uint8_t alpha_and_ = 255;
};

// ---- whole files from memory ------------------------------------------------------------

struct Chunk {
    uint8_t type[4];
    std::span<const uint8_t> data;
    bool crc_ok;
};

bool is_type(const Chunk& chunk, const char* type) { return std::memcmp(chunk.type, type, 4) == 0; }

// False at the end of the data or when the chunk runs past it.
bool next_chunk(ByteReader& in, Chunk* chunk)
{
    uint32_t length = in.u32be();
    std::span<const uint8_t> type = in.bytes(4);
    if (!in.ok() || length > kMaxFormatValue)
        return false;
    std::memcpy(chunk->type, type.data(), 4);
    chunk->data = in.bytes(length);
    uint32_t stored_crc = in.u32be();
    if (!in.ok())
        return false;
    chunk->crc_ok = crc_of(chunk->data.data(), chunk->data.size(), crc_of(chunk->type, 4)) == stored_crc;
    return true;
}

Fault read_png_header(ByteReader& in, PngPicture& picture)
{
    std::span<const uint8_t> signature = in.bytes(8);
    if (!in.ok() || std::memcmp(signature.data(), kSignature, 8) != 0)
        return Fault::malformed;
    Chunk header;
    if (!next_chunk(in, &header) || !is_type(header, "IHDR") || header.data.size() != kHeaderLength || !header.crc_ok)
        return Fault::malformed;
    ByteReader fields(header.data);
    picture.width = fields.u32be();
    picture.height = fields.u32be();
    picture.depth = fields.u8();
    picture.color_type = fields.u8();
    uint8_t compression = fields.u8(), filter = fields.u8(), interlace = fields.u8();
    picture.interlaced = interlace == 1;
    if (picture.width == 0 || picture.width > kMaxFormatValue || picture.height == 0 ||
        picture.height > kMaxFormatValue || !depth_allowed(picture.color_type, picture.depth) || compression != 0 ||
        filter != 0 || interlace > 1)
        return Fault::malformed;
    return Fault::none;
}

// The palette entries as R, G, B, A, alpha 255 until tRNS says otherwise.
Fault read_palette(const Chunk& chunk, PngPicture& picture)
{
    size_t entries = chunk.data.size() / 3;
    if (chunk.data.size() % 3 != 0 || entries == 0 || entries > 256)
        return Fault::malformed;
    picture.palette_size = static_cast<uint16_t>(entries);
    for (size_t i = 0; i < entries; ++i) {
        std::memcpy(&picture.palette[4 * i], &chunk.data[3 * i], 3);
        picture.palette[4 * i + 3] = 255;
    }
    return Fault::none;
}

// Palette alpha, or the one grey or RGB value that is transparent. A chunk of the wrong
// size for its colour type is ignored, as other readers do.
void read_transparency(const Chunk& chunk, PngPicture& picture, ColourKey& key)
{
    ByteReader data(chunk.data);
    switch (picture.color_type) {
    case 0:
        if (chunk.data.size() == 2) {
            key.present = true;
            key.grey = data.u16be();
        }
        break;
    case 2:
        if (chunk.data.size() == 6) {
            key.present = true;
            key.red = data.u16be(), key.green = data.u16be(), key.blue = data.u16be();
        }
        break;
    case 3:
        for (size_t i = 0; i < std::min<size_t>(chunk.data.size(), picture.palette_size); ++i)
            picture.palette[4 * i + 3] = chunk.data[i];
        break;
    default: break;
    }
}

}  // namespace

Fault png_open_read(PngHandle* png, PngReadFunction read_function, void* file_pointer)
{
    png->read_function = read_function;
    png->file_pointer = file_pointer;
    png->write_function = nullptr;
    if (!read_function && !file_pointer)
        return Fault::malformed;
    return read_header(png);
}

Fault png_open_read_file(PngHandle* png, const char* path)
{
    FILE* file = platform_open_file(path, "rb");
    if (!file)
        return Fault::io_error;
    return png_open_read(png, nullptr, file);
}

Fault png_get_data(PngHandle* png, uint8_t* out)
{
    png->zstream = nullptr;
    png->raw_data = nullptr;
    png->raw_size = 0;
    png->chunk_buffer = nullptr;
    png->chunk_buffer_size = 0;
    if (!out || (!png->read_function && !png->file_pointer))
        return Fault::malformed;
    // Guards a caller that skipped or ignored a failed open.
    set_pixel_bytes(png);
    if (check_header(png) != Fault::none)
        return Fault::unsupported;

    Fault result = decode_chunks(png, out);

    free_block(png->chunk_buffer);
    png->chunk_buffer = nullptr;
    png->chunk_buffer_size = 0;
    return result;
}

Result<PngPicture> png_decode(std::span<const uint8_t> file, PngForm form)
{
    ByteReader in(file);
    PngPicture picture;
    if (Fault fault = read_png_header(in, picture); fault != Fault::none)
        return fault;
    picture.indexed = form == PngForm::indexed && picture.color_type == kPngPalette;
    const uint64_t pixel_bytes = picture.indexed ? 1 : 4;
    const uint64_t size = uint64_t{picture.width} * picture.height * pixel_bytes;
    const unsigned bits_per_pixel = channels_of(picture.color_type) * picture.depth;
    if (size >= kMaxBufferSize || packed_row_bytes(picture.width, bits_per_pixel) * 3 >= kMaxBufferSize)
        return Fault::too_large;
    picture.pixels = buffer_new(size);
    if (!picture.pixels)
        return Fault::out_of_memory;

    ColourKey key;
    PixelSink sink(picture, key);
    // 8-bit RGBA rows, and palette rows kept as indices, are the output as stored.
    const bool direct = !picture.interlaced && picture.depth == 8 &&
                        (picture.color_type == kPngRgba || (picture.color_type == kPngPalette && picture.indexed));
    RowEngineSetup setup{picture.width,  picture.height,
                         bits_per_pixel, picture.interlaced,
                         false,          direct ? picture.pixels.get() : nullptr,
                         &sink};
    RowEngine engine(setup);
    bool ended = false;
    Chunk chunk;
    while (!ended && next_chunk(in, &chunk)) {
        if (is_type(chunk, "IEND")) {
            ended = true;
        } else if (is_type(chunk, "IDAT")) {
            if (!chunk.crc_ok || (picture.color_type == kPngPalette && picture.palette_size == 0))
                return Fault::malformed;
            if (!engine.started()) {
                if (Fault fault = engine.start(); fault != Fault::none)
                    return fault;
            }
            if (Fault fault = engine.inflate_data(chunk.data.data(), static_cast<uint32_t>(chunk.data.size()));
                fault != Fault::none)
                return fault;
        } else if (engine.started()) {
            continue;  // palette and transparency count only before the image data
        } else if (is_type(chunk, "PLTE")) {
            if (!chunk.crc_ok)
                return Fault::malformed;
            if (picture.color_type == kPngPalette)
                if (Fault fault = read_palette(chunk, picture); fault != Fault::none)
                    return fault;
        } else if (is_type(chunk, "tRNS")) {
            if (!chunk.crc_ok)
                return Fault::malformed;
            read_transparency(chunk, picture, key);
        } else if ((chunk.type[0] & 0x20) == 0) {
            return Fault::unsupported;  // a critical chunk we do not know changes the image
        }
    }
    if (!engine.complete() || engine.filter_result() != Fault::none)
        return Fault::malformed;
    picture.opaque = sink.alpha_and() == 255;
    return picture;
}
