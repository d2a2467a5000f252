#include "support/fileio.h"

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace {

FileReadHook g_read_hook = nullptr;
FileExistsHook g_exists_hook = nullptr;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

int write_file(const char* path, const void* data, size_t length, const char* mode)
{
    if (path == nullptr || data == nullptr)
        return 0;
    if (length == 0)
        length = std::strlen(static_cast<const char*>(data));
    File f(platform_open_file(path, mode));
    if (!f)
        return 0;
    if (std::fwrite(data, 1, length, f.get()) != length)
        return 0;
    return std::fclose(f.release()) == 0 ? 1 : 0;
}

}  // namespace

uint8_t* file_read_all_raw(const char* path, int* size)
{
    // Only regular files: a FIFO or device would block or never end.
    uint8_t* block = nullptr;
    size_t length = 0;
    if (platform_read_regular_file(path, size_t{INT_MAX} + 1, &block, &length) != ReadStatus::ok)
        return nullptr;
    *size = static_cast<int>(length);
    return block;
}

uint8_t* file_read_all(const char* path, int* size)
{
    return g_read_hook ? g_read_hook(path, size) : file_read_all_raw(path, size);
}

bool file_readable(const char* path) { return platform_readable(path); }

bool file_exists(const char* path) { return g_exists_hook ? g_exists_hook(path) : file_readable(path); }

int file_write_all(const char* path, const void* data, size_t length) { return write_file(path, data, length, "wb"); }

int file_append(const char* path, const void* data, size_t length) { return write_file(path, data, length, "ab"); }

void file_set_read_hook(FileReadHook hook) { g_read_hook = hook; }
void file_set_exists_hook(FileExistsHook hook) { g_exists_hook = hook; }

void fail_exit(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    std::exit(1);
}
