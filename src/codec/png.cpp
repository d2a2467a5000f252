// pixpng: shared pieces (hooks, transport, header, texts) and the writer.
#include "codec/png.h"
#include "codec/png_internal.h"

#include <cstdlib>
#include <cstring>

#include "support/deflate.h"
#include "support/memory.h"

namespace pngi {

// Without hooks of the caller's, blocks come from the program's allocation policy.
void* policy_alloc(size_t size) { return buffer_alloc(size, false); }

std::atomic<PngAllocHook> alloc_hook{policy_alloc};
std::atomic<PngFreeHook> free_hook{buffer_free};

void* alloc_block(uint64_t size)
{
    // Keeps every block below the system-wide limit, and a zero size from reaching the hook.
    if (size == 0 || size >= kMaxBufferSize)
        return nullptr;
    return alloc_hook.load(std::memory_order_relaxed)(static_cast<size_t>(size));
}

void free_block(void* block)
{
    if (block)
        free_hook.load(std::memory_order_relaxed)(block);
}

bool read_bytes(PngHandle* png, void* destination, size_t n)
{
    if (n == 0)
        return true;
    if (png->read_function)
        return png->read_function(destination, 1, n, png->file_pointer) >= n;
    return std::fread(destination, 1, n, static_cast<FILE*>(png->file_pointer)) == n;
}

bool skip_bytes(PngHandle* png, uint64_t n)
{
    if (n == 0)
        return true;
    if (png->read_function)
        return png->read_function(nullptr, 1, n, png->file_pointer) >= n;
    // Steps that fit a 32-bit long, as on the Windows runtime.
    auto* file = static_cast<FILE*>(png->file_pointer);
    while (n > 0) {
        long step = n > 0x40000000u ? 0x40000000L : static_cast<long>(n);
        if (std::fseek(file, step, SEEK_CUR) != 0)
            return false;
        n -= static_cast<uint64_t>(step);
    }
    return true;
}

bool write_bytes(PngHandle* png, const void* source, size_t n)
{
    if (png->write_function)
        return png->write_function(source, 1, n, png->file_pointer) >= n;
    return std::fwrite(source, 1, n, static_cast<FILE*>(png->file_pointer)) == n;
}

bool read_be32(PngHandle* png, uint32_t* value)
{
    uint8_t bytes[4];
    if (!read_bytes(png, bytes, 4))
        return false;
    *value = load_be32(bytes);
    return true;
}

uint32_t crc_of(const uint8_t* data, size_t n, uint32_t crc) { return crc32_update(crc, {data, n}); }

uint64_t filtered_size(uint32_t width, uint32_t height, unsigned pbb) { return (uint64_t{width} * pbb + 1) * height; }

}  // namespace pngi

using namespace pngi;

void png_init(PngAllocHook alloc, PngFreeHook release)
{
    alloc_hook.store(alloc ? alloc : policy_alloc, std::memory_order_relaxed);
    free_hook.store(release ? release : buffer_free, std::memory_order_relaxed);
}

unsigned pngi::channels_of(int color_type)
{
    switch (color_type) {
    case kPngGrey:
    case kPngPalette: return 1;
    case kPngRgb: return 3;
    case kPngGreyAlpha: return 2;
    case kPngRgba: return 4;
    default: return 0;
    }
}

Result<unsigned> png_pixel_bytes(int color_type, int depth)
{
    const unsigned channels = channels_of(color_type);
    if (channels == 0)
        return Fault::unsupported;
    return channels * static_cast<unsigned>(depth) / 8;
}

void png_close(PngHandle* png)
{
    // Only a handle without callbacks holds a FILE*; a callback's user pointer is not ours.
    if (png->file_pointer && !png->read_function && !png->write_function)
        std::fclose(static_cast<FILE*>(png->file_pointer));
    png->file_pointer = nullptr;
}

static const char* name_or_unknown(bool known, const char* name) { return known ? name : "unknown, this is not good"; }

void png_dump_info(const PngHandle* png)
{
    const char* color;
    switch (png->color_type) {
    case 0: color = "greyscale"; break;
    case 2: color = "truecolor"; break;
    case 3: color = "palette"; break;
    case 4: color = "greyscale with alpha"; break;
    case 6: color = "truecolor with alpha"; break;
    default: color = "unknown, this is not good"; break;
    }
    std::printf("PNG INFO:\n");
    std::printf("\twidth:\t\t%d\n", static_cast<int>(png->width));
    std::printf("\theight:\t\t%d\n", static_cast<int>(png->height));
    std::printf("\tdepth:\t\t%d\n", png->depth);
    std::printf("\tpbb:\t\t%d\n", png->pbb);
    std::printf("\tcolor:\t\t%s\n", color);
    std::printf("\tcompression:\t%s\n", name_or_unknown(png->compression == 0, "inflate/deflate"));
    std::printf("\tfilter:\t\t%s\n", name_or_unknown(png->filter == 0, "adaptive"));
    std::printf("\tinterlace:\t%s\n", png->interlace_method == 0 ? "no interlace" : "interlace");
}

size_t memory_reader(void* destination, size_t size, size_t count, void* user)
{
    auto* reader = static_cast<MemoryReader*>(user);
    size_t remaining = reader->position < reader->size ? reader->size - reader->position : 0;
    bool fits = count == 0 || (size <= remaining / count);
    size_t n = fits ? size * count : remaining;
    if (destination && n > 0)
        std::memcpy(destination, reader->data + reader->position, n);
    if (fits)
        reader->position += static_cast<uint32_t>(n);
    return n;
}

size_t memory_writer(const void* source, size_t size, size_t count, void* user)
{
    auto* writer = static_cast<MemoryWriter*>(user);
    size_t room = writer->position < writer->capacity ? writer->capacity - writer->position : 0;
    if (count != 0 && size > room / count)
        return 0;
    size_t n = size * count;
    if (n > 0)
        std::memcpy(writer->buffer + writer->position, source, n);
    writer->position += static_cast<uint32_t>(n);
    writer->written += static_cast<uint32_t>(n);
    return count;
}
