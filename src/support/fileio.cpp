#include "support/fileio.h"

#include <climits>
#include <cstddef>

#include "platform/platform.h"

uint8_t* file_read_all(const char* path, int* size)
{
    // Only regular files: a FIFO or device would block or never end.
    uint8_t* block = nullptr;
    size_t length = 0;
    if (platform_read_regular_file(path, size_t{INT_MAX} + 1, &block, &length) != ReadStatus::ok)
        return nullptr;
    *size = static_cast<int>(length);
    return block;
}
