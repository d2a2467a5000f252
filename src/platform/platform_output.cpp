// The parts of safe output that are the same on every system: status texts, the names of
// temporary files, and writing a file named by its path through its open folder.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

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
    case WriteStatus::cannot_write: return "writing failed (disk full or file size limit?)";
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

std::string join_path(std::string_view folder, std::string_view name)
{
    std::string joined(folder);
    if (!joined.empty() && !platform_is_separator(joined.back()) && joined.back() != '/')
        joined += kPathSeparator;
    joined += name;
    return joined;
}

std::string temporary_name_prefix(const OutputFolder& folder, std::string_view name)
{
    const std::string prefix = platform_temporary_prefix(join_path(folder.path, name).c_str());
    return prefix.substr(name_start(prefix));
}

bool is_temporary_name(std::string_view entry, std::string_view prefix)
{
    const size_t marker = std::strlen(kTemporaryMarker);
    if (prefix.empty())
        return entry.size() > marker + kTemporarySuffixLength &&
               entry.substr(entry.size() - kTemporarySuffixLength - marker, marker) == kTemporaryMarker;
    return entry.size() == prefix.size() + kTemporarySuffixLength && entry.substr(0, prefix.size()) == prefix;
}

namespace {

// The folder part of `path`, its separator kept ("dir/", "/", "C:\"); "" for a bare name.
std::string folder_part(const char* path) { return std::string(path, name_start(path)); }

WriteStatus write_by_path(const char* path, std::span<const uint8_t> data, bool durable)
{
    OutputFolder folder;
    if (platform_open_folder(folder_part(path).c_str(), &folder) != FolderStatus::ok)
        return WriteStatus::cannot_create;
    return platform_write_in_folder(folder, path + name_start(path), data, durable);
}

}  // namespace

WriteStatus platform_write_file_whole(const char* path, std::span<const uint8_t> data)
{
    return write_by_path(path, data, false);
}

WriteStatus platform_save_file_durably(const char* path, std::span<const uint8_t> data)
{
    return write_by_path(path, data, true);
}

int platform_remove_stale_temporaries(const char* path)
{
    OutputFolder folder;
    if (platform_open_folder(folder_part(path).c_str(), &folder) != FolderStatus::ok)
        return 0;
    return platform_remove_stale_temporaries_in(folder, path + name_start(path));
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
