// The parts of safe output that are the same on every system: status texts and the
// names of temporary files.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace {

// Where the file name starts in `path`.
size_t name_start(std::string_view path)
{
    for (size_t i = path.size(); i > 0; --i)
        if (platform_is_separator(path[i - 1]) || path[i - 1] == '/')
            return i;
    return 0;
}

}  // namespace

const char* platform_write_status_text(WriteStatus status)
{
    switch (status) {
    case WriteStatus::ok: return "written";
    case WriteStatus::occupied: return "something other than a regular file is in the way";
    case WriteStatus::cannot_create: return "cannot create a file in its folder";
    case WriteStatus::cannot_write: return "writing failed (disk full?)";
    case WriteStatus::cannot_replace: return "cannot put the file in place";
    }
    return "unknown failure";
}

std::string platform_temporary_prefix(const char* path)
{
    const std::string_view whole(path);
    const size_t start = name_start(whole);
    const size_t added = std::strlen(kTemporaryMarker) + kTemporarySuffixLength;
    // Room for the name: within one name's limit and, with the folder, the path's.
    size_t room = kMaxName > added ? kMaxName - added : 0;
    const size_t path_room = kMaxPath - 1 > start + added ? kMaxPath - 1 - start - added : 0;
    if (path_room < room)
        room = path_room;
    std::string_view name = whole.substr(start);
    if (name.size() > room) {
        name = name.substr(0, room);
        // Never half a UTF-8 character: Windows would store U+FFFD there, and the leftover
        // temporary would no longer match its prefix.
        while (!name.empty() && (static_cast<unsigned char>(whole[start + name.size()]) & 0xC0) == 0x80)
            name.remove_suffix(1);
    }
    return std::string(whole.substr(0, start)) + std::string(name) + kTemporaryMarker;
}

int platform_remove_stale_temporaries(const char* path)
{
    const std::string prefix = platform_temporary_prefix(path);
    const size_t start = name_start(prefix);
    const std::string folder = start == 0 ? std::string(".") : prefix.substr(0, start);
    const std::string name_prefix = prefix.substr(start);
    std::vector<PlatformDirEntry> entries;
    if (!platform_list_folder(folder.c_str(), &entries))
        return 0;
    int removed = 0;
    for (const PlatformDirEntry& entry : entries) {
        if (entry.is_dir || entry.is_link || entry.name.size() != name_prefix.size() + kTemporarySuffixLength ||
            entry.name.compare(0, name_prefix.size(), name_prefix) != 0)
            continue;
        if (platform_remove((prefix.substr(0, start) + entry.name).c_str()))
            removed++;
    }
    return removed;
}

ReadStatus read_whole_block(uint64_t length, size_t max_size, ReadSome read_some, void* source, uint8_t** data,
                            size_t* size)
{
    if (length >= max_size)
        return ReadStatus::too_large;
    auto* block = static_cast<uint8_t*>(std::malloc(length ? length : 1));
    if (block == nullptr)
        return ReadStatus::out_of_memory;
    for (size_t got = 0; got < length;) {
        const long n = read_some(source, block + got, length - got);
        if (n <= 0) {  // an error, or the file shrank meanwhile
            std::free(block);
            return ReadStatus::cannot_read;
        }
        got += static_cast<size_t>(n);
    }
    *data = block;
    *size = length;
    return ReadStatus::ok;
}
