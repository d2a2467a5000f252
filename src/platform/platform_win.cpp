#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <io.h>
#include <windows.h>

namespace {

// _waccess modes of the runtime library.
constexpr int kAccessExists = 0;
constexpr int kAccessRead = 4;

char fold_ascii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool same_ascii_word(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold_ascii(a[i]) != fold_ascii(b[i]))
            return false;
    return true;
}

// Text of one code page as UTF-16. A malformed sequence becomes U+FFFD.
std::wstring wide_text(UINT code_page, std::string_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), length);
    return wide;
}

// UTF-16 in one code page; a character the code page lacks becomes `replacement` (never a
// look-alike: "best fit" would turn distinct names into one).
std::string code_page_text(UINT code_page, std::wstring_view wide, char replacement)
{
    if (wide.empty() || wide.size() > INT_MAX)
        return {};
    // The UTF-8 code page spells everything and refuses a default character.
    const bool spells_all = code_page == CP_UTF8 || (code_page == CP_ACP && GetACP() == CP_UTF8);
    const DWORD flags = spells_all ? 0 : WC_NO_BEST_FIT_CHARS;
    const char fallback[2] = {replacement, '\0'};
    const char* default_char = spells_all ? nullptr : fallback;
    const int size = static_cast<int>(wide.size());
    const int length = WideCharToMultiByte(code_page, flags, wide.data(), size, nullptr, 0, default_char, nullptr);
    std::string text(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(code_page, flags, wide.data(), size, text.data(), length, default_char, nullptr);
    return text;
}

// Paths and names are UTF-8 inside the program and UTF-16 at the system's file functions.
std::wstring wide(const char* utf8) { return wide_text(CP_UTF8, utf8); }

std::string utf8(std::wstring_view wide) { return code_page_text(CP_UTF8, wide, '?'); }

// Copies a path the system reported into the caller's buffer; false when it does not fit.
bool copy_out(std::wstring_view reported, char* out, size_t capacity)
{
    const std::string text = utf8(reported);
    if (text.empty() || text.size() >= capacity)
        return false;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return true;
}

// A path from a function that reports the size it needs (with the terminator) when the
// buffer is too small, and 0 on failure.
template <class Query>
std::wstring queried_path(Query query)
{
    std::wstring path(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD length = query(path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
    return {};
}

}  // namespace

bool platform_exists(const char* path) { return _waccess(wide(path).c_str(), kAccessExists) == 0; }

bool platform_readable(const char* path) { return _waccess(wide(path).c_str(), kAccessRead) == 0; }

// CreateDirectoryW, not "md" through the shell: a folder name with "&" or "%" in it
// must not become a command.
bool platform_make_dir(const char* path) { return CreateDirectoryW(wide(path).c_str(), nullptr) != 0; }

bool platform_is_dir(const char* path)
{
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void platform_reuse_large_buffers() {}

// No signal ends a process whose file grows too large here; the write fails.
void platform_start() {}

unsigned platform_cpu_count()
{
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

// A console, not merely a character device: _isatty also says yes for NUL.
bool platform_is_terminal(std::FILE* stream)
{
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

bool platform_is_device_name(std::string_view stem)
{
    // The system also ignores trailing spaces: "con .png" is the console as well.
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (same_ascii_word(stem, device))
            return true;
    if (stem.size() < 4 || !(same_ascii_word(stem.substr(0, 3), "COM") || same_ascii_word(stem.substr(0, 3), "LPT")))
        return false;
    // The system takes the superscripts 1, 2 and 3 for port numbers as well.
    const std::string_view number = stem.substr(3);
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\u00b9" || number == "\u00b2" ||
           number == "\u00b3";
}

std::string platform_console_text(std::string_view utf8, char replacement)
{
    return code_page_text(CP_ACP, wide_text(CP_UTF8, utf8), replacement);
}

namespace {

// The length of the well-formed UTF-8 character `text` starts with; 0 when it starts with none.
size_t utf8_char_length(std::string_view text)
{
    for (size_t length = 1; length <= 4 && length <= text.size(); ++length)
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(length), nullptr, 0) > 0)
            return length;
    return 0;
}

bool is_well_formed_utf8(std::string_view text)
{
    return text.size() <= INT_MAX &&
           (text.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                static_cast<int>(text.size()), nullptr, 0) > 0);
}

}  // namespace

// A stray byte would otherwise become U+FFFD, a name no one meant, shown as '?' in lines.
std::string platform_file_name_text(std::string_view name, char replacement)
{
    if (is_well_formed_utf8(name))
        return std::string(name);
    std::string text;
    while (!name.empty()) {
        const size_t length = utf8_char_length(name);
        text += length == 0 ? std::string_view(&replacement, 1) : name.substr(0, length);
        name.remove_prefix(length == 0 ? 1 : length);
    }
    return text;
}

size_t platform_path_units(std::string_view path)
{
    if (path.empty() || path.size() > INT_MAX)
        return path.size();
    return static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0));
}

// NTFS compares names by upper-casing both with its own table, which the invariant locale's
// upper case follows.
std::string platform_file_name_key(std::string_view name)
{
    std::wstring key = wide_text(CP_UTF8, name);
    if (!key.empty() && key.size() <= INT_MAX)
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, key.data(), static_cast<int>(key.size()), key.data(),
                     static_cast<int>(key.size()));
    return utf8(key);
}

int platform_run_utf8_main(int argc, wchar_t** argv, int (*main)(int, char**))
{
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(utf8(argv[i]));
    std::vector<char*> pointers;
    for (std::string& argument : arguments)
        pointers.push_back(argument.data());
    pointers.push_back(nullptr);
    return main(argc, pointers.data());
}

std::FILE* platform_open_file(const char* path, const char* mode)
{
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

// The command interpreter's own prompt and key wait, as a Windows user knows them.
void platform_pause()
{
    std::fflush(stdout);
    std::system("pause");
}

// Folder listings, current folder and the program's own path.

bool platform_list_folder(const char* folder, std::vector<PlatformDirEntry>* entries)
{
    std::string pattern = folder;
    if (!pattern.empty() && !platform_is_separator(pattern.back()) && pattern.back() != '/')
        pattern += kPathSeparator;
    pattern += '*';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(wide(pattern.c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const DWORD attributes = found.dwFileAttributes;
        entries->push_back(PlatformDirEntry{utf8(name), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                            (attributes & FILE_ATTRIBUTE_HIDDEN) != 0,
                                            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return true;
}

bool platform_current_dir(char* out, size_t capacity)
{
    return copy_out(queried_path([](wchar_t* to, DWORD size) { return GetCurrentDirectoryW(size, to); }), out,
                    capacity);
}

bool platform_set_current_dir(const char* path) { return SetCurrentDirectoryW(wide(path).c_str()) != 0; }

bool platform_full_path(const char* path, char* out, size_t capacity)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    const std::wstring relative = wide(path);
    return copy_out(
        queried_path([&](wchar_t* to, DWORD size) { return GetFullPathNameW(relative.c_str(), size, to, nullptr); }),
        out, capacity);
}

bool platform_exe_path(char* out, size_t capacity)
{
    // A cut name fills the buffer exactly: the size asked for again, as "did not fit".
    return copy_out(queried_path([](wchar_t* to, DWORD size) {
                        const DWORD length = GetModuleFileNameW(nullptr, to, size);
                        return length >= size ? size * 2 : length;
                    }),
                    out, capacity);
}

// Safe output. Windows has no umask or mode bits to keep; links there are reparse points.

namespace {

// Reparse points (symbolic links, junctions) and devices are never written through.
bool is_plain_file(DWORD attributes)
{
    return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool is_missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A new, exclusively created temporary beside `path`, its name in `temp`.
HANDLE create_temporary(const char* path, std::string* temp)
{
    static std::atomic<unsigned> counter{0};  // workers write files at once
    const std::string prefix = platform_temporary_prefix(path);
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned mix = GetTickCount() ^ (GetCurrentProcessId() << 12) ^ ((counter.fetch_add(1) + 1) * 2654435761u);
        std::string name = prefix;
        for (size_t i = 0; i < kTemporarySuffixLength; ++i, mix /= 36)
            name += "0123456789abcdefghijklmnopqrstuvwxyz"[mix % 36];
        // CREATE_NEW fails on any existing name, a link included: nothing is followed.
        HANDLE file = CreateFileW(wide(name.c_str()).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            *temp = name;
            return file;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    return INVALID_HANDLE_VALUE;
}

bool write_fully(HANDLE file, std::span<const uint8_t> data)
{
    while (!data.empty()) {
        const DWORD chunk = data.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0)
            return false;
        data = data.subspan(written);
    }
    return true;
}

WriteStatus write_whole(const char* path, std::span<const uint8_t> data, bool durable)
{
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!is_missing(GetLastError()))
            return WriteStatus::cannot_create;
    } else if (!is_plain_file(attributes)) {
        return WriteStatus::occupied;
    }
    std::string temp;
    HANDLE file = create_temporary(path, &temp);
    if (file == INVALID_HANDLE_VALUE)
        return WriteStatus::cannot_create;
    bool written = write_fully(file, data) && (!durable || FlushFileBuffers(file));
    written = CloseHandle(file) && written;
    if (!written) {
        DeleteFileW(wide(temp.c_str()).c_str());
        return WriteStatus::cannot_write;
    }
    // MoveFileEx replaces a link's own entry, never its target.
    if (!platform_rename(temp.c_str(), path)) {
        DeleteFileW(wide(temp.c_str()).c_str());
        return WriteStatus::cannot_replace;
    }
    return WriteStatus::ok;
}

// Holds the folder `path` open; without FILE_SHARE_DELETE nobody can rename or remove it
// (and so swap a junction in for it) while files are written into it. `own_entry` opens a
// reparse point itself instead of what it leads to.
FolderStatus hold_folder(const std::string& path, bool own_entry, OutputFolder* folder)
{
    if (platform_path_units(path) >= kMaxPath)
        return FolderStatus::cannot_open;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (own_entry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE handle = CreateFileW(wide(path.empty() ? "." : path.c_str()).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return FolderStatus::cannot_open;
    BY_HANDLE_FILE_INFORMATION info{};
    FolderStatus status = FolderStatus::ok;
    if (!GetFileInformationByHandle(handle, &info))
        status = FolderStatus::cannot_open;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && own_entry)
        status = FolderStatus::link;
    else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        status = FolderStatus::not_a_folder;
    if (status != FolderStatus::ok) {
        CloseHandle(handle);
        return status;
    }
    folder->path = path;
    folder->handle = reinterpret_cast<intptr_t>(handle);
    return FolderStatus::ok;
}

}  // namespace

OutputFolder::~OutputFolder()
{
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

FolderStatus platform_open_folder(const char* path, OutputFolder* folder) { return hold_folder(path, false, folder); }

// Windows has no openat: the names are joined to the folder's path, which cannot change
// while every folder on it is held open.
FolderStatus platform_enter_folder(const OutputFolder& parent, std::string_view name, OutputFolder* folder)
{
    const std::string path = join_path(parent.path, name);
    if (platform_path_units(path) >= kMaxPath)
        return FolderStatus::cannot_create;
    if (!CreateDirectoryW(wide(path.c_str()).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return FolderStatus::cannot_create;
    return hold_folder(path, true, folder);
}

bool platform_regular_or_absent(const char* path)
{
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ? is_missing(GetLastError()) : is_plain_file(attributes);
}

// Windows has no way to flush a folder's entry; MOVEFILE_WRITE_THROUGH waits for the rename.
WriteStatus platform_write_in_folder(const OutputFolder& folder, std::string_view name, std::span<const uint8_t> data,
                                     bool durable)
{
    return write_whole(join_path(folder.path, name).c_str(), data, durable);
}

// A save opens its temporary without sharing (CREATE_NEW, share mode 0), which is the lock:
// deleting a temporary that a running save holds fails, so only leftovers go.
int platform_remove_stale_temporaries_in(const OutputFolder& folder, std::string_view name)
{
    const std::string prefix = name.empty() ? std::string() : temporary_name_prefix(folder, name);
    std::vector<PlatformDirEntry> entries;
    if (!platform_list_folder(folder.path.empty() ? "." : folder.path.c_str(), &entries))
        return 0;
    int removed = 0;
    for (const PlatformDirEntry& entry : entries)
        if (!entry.is_dir && !entry.is_link && is_temporary_name(entry.name, prefix) &&
            platform_remove(join_path(folder.path, entry.name).c_str()))
            removed++;
    return removed;
}

namespace {

long read_handle(void* source, uint8_t* to, size_t count)
{
    DWORD n = 0;
    const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
    return ReadFile(*static_cast<HANDLE*>(source), to, chunk, &n, nullptr) ? static_cast<long>(n) : -1;
}

}  // namespace

ReadStatus platform_read_regular_file(const char* path, size_t max_size, uint8_t** data, size_t* size)
{
    HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return is_missing(GetLastError()) ? ReadStatus::missing : ReadStatus::cannot_read;
    LARGE_INTEGER length{};
    // Pipes and character devices (NUL, CON, COM1) are not disk files.
    const ReadStatus status = GetFileType(file) != FILE_TYPE_DISK ? ReadStatus::not_a_regular_file
                              : !GetFileSizeEx(file, &length)
                                  ? ReadStatus::cannot_read
                                  : read_whole_block(static_cast<uint64_t>(length.QuadPart), max_size, read_handle,
                                                     &file, data, size);
    CloseHandle(file);
    return status;
}

size_t platform_read_file_start(const char* path, std::span<uint8_t> out)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    size_t got = 0;
    if (GetFileType(file) == FILE_TYPE_DISK) {
        long n = 0;
        while (got < out.size() && (n = read_handle(&file, out.data() + got, out.size() - got)) > 0)
            got += static_cast<size_t>(n);
    }
    CloseHandle(file);
    return got;
}

bool platform_rename(const char* from, const char* to)
{
    return MoveFileExW(wide(from).c_str(), wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool platform_remove(const char* path) { return DeleteFileW(wide(path).c_str()) != 0; }

namespace {

// The volume and file index that identify a file whatever path names it; false when
// it cannot be opened.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info)
{
    // No access rights asked, so a file that another program holds open still answers.
    HANDLE file = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    const bool ok = GetFileInformationByHandle(file, info) != 0;
    CloseHandle(file);
    return ok;
}

}  // namespace

bool platform_same_file(const char* a, const char* b)
{
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return file_identity(a, &ia) && file_identity(b, &ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}
