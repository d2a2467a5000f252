#include "toolkit/tga_wav.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>

#include "platform/platform.h"
#include "support/memory.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

constexpr size_t kTgaHeaderSize = 18;
constexpr size_t kWavHeaderSize = 44;
constexpr uint8_t kTgaTrueColour = 2;

void put_le16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v)
{
    put_le16(p, v & 0xFFFF);
    put_le16(p + 2, v >> 16);
}

// Closing flushes the stdio buffer, so a full disk often shows up only there.
int finish(File f, bool written_ok)
{
    int closed = std::fclose(f.release());
    return written_ok && closed == 0 ? 1 : 0;
}

// TGA keeps colour pixels as B, G, R(, A).
void swap_red_blue(const uint8_t* src, uint8_t* dst, int width, int components)
{
    for (int x = 0; x < width; ++x, src += components, dst += components) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
        if (components == 4)
            dst[3] = src[3];
    }
}

}  // namespace

int tga_write(const char* path, const uint8_t* pixels, int width, int height, int components)
{
    if (path == nullptr || pixels == nullptr || components < 1 || components > 4)
        return 0;
    // The header holds 16-bit dimensions; anything wider would be silently truncated.
    if (width < 1 || width > 0xFFFF || height < 1 || height > 0xFFFF)
        return 0;
    const uint64_t row_bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(components);
    if (row_bytes * static_cast<uint64_t>(height) >= kMaxBufferSize)
        return 0;

    ByteBuffer row;
    if (components >= 3) {
        row.reset(static_cast<uint8_t*>(std::malloc(row_bytes)));
        if (!row)
            return 0;
    }
    File f(platform_open_file(path, "wb"));
    if (!f)
        return 0;

    uint8_t header[kTgaHeaderSize] = {0, 0, kTgaTrueColour};
    put_le16(header + 12, static_cast<uint32_t>(width));
    put_le16(header + 14, static_cast<uint32_t>(height));
    header[16] = static_cast<uint8_t>(components * 8);  // bits per pixel; descriptor 0: bottom-up
    bool ok = std::fwrite(header, 1, sizeof header, f.get()) == sizeof header;

    for (int y = height - 1; ok && y >= 0; --y) {
        const uint8_t* src = pixels + static_cast<uint64_t>(y) * row_bytes;
        if (row) {
            swap_red_blue(src, row.get(), width, components);
            src = row.get();
        }
        ok = std::fwrite(src, 1, row_bytes, f.get()) == row_bytes;
    }
    return finish(std::move(f), ok);
}

int wav_write(const char* path, int channels, int bits_per_sample, int sample_rate, const void* samples,
              size_t data_size)
{
    if (path == nullptr || (samples == nullptr && data_size > 0))
        return 0;
    if (channels < 1 || channels > 0xFFFF || sample_rate < 1)
        return 0;
    if (bits_per_sample != 8 && bits_per_sample != 16 && bits_per_sample != 24 && bits_per_sample != 32)
        return 0;
    // Computed in 64 bits: the header fields must hold these exactly, not wrapped.
    const uint64_t block_align = static_cast<uint64_t>(channels) * static_cast<uint64_t>(bits_per_sample / 8);
    const uint64_t byte_rate = block_align * static_cast<uint64_t>(sample_rate);
    if (block_align > 0xFFFF || byte_rate > 0xFFFFFFFFu)
        return 0;
    if (data_size >= kMaxBufferSize || data_size % block_align != 0)
        return 0;

    File f(platform_open_file(path, "wb"));
    if (!f)
        return 0;
    const auto size32 = static_cast<uint32_t>(data_size);
    uint8_t header[kWavHeaderSize];
    std::memcpy(header, "RIFF", 4);
    put_le32(header + 4, size32 + 36);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put_le32(header + 16, 16);  // format chunk size
    put_le16(header + 20, 1);   // PCM
    put_le16(header + 22, static_cast<uint32_t>(channels));
    put_le32(header + 24, static_cast<uint32_t>(sample_rate));
    put_le32(header + 28, static_cast<uint32_t>(byte_rate));
    put_le16(header + 32, static_cast<uint32_t>(block_align));
    put_le16(header + 34, static_cast<uint32_t>(bits_per_sample));
    std::memcpy(header + 36, "data", 4);
    put_le32(header + 40, size32);

    bool ok = std::fwrite(header, 1, sizeof header, f.get()) == sizeof header;
    if (ok && data_size > 0)
        ok = std::fwrite(samples, 1, data_size, f.get()) == data_size;
    return finish(std::move(f), ok);
}
