#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <io.h>
#include <windows.h>

namespace {

// _access modes of the runtime library.
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

// The ANSI functions report a result that did not fit by returning its full length.
bool fits(DWORD length, size_t capacity) { return length != 0 && length < capacity; }

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

}  // namespace

bool platform_exists(const char* path) { return _access(path, kAccessExists) == 0; }

bool platform_readable(const char* path) { return _access(path, kAccessRead) == 0; }

// CreateDirectoryA, not "md" through the shell: a folder name with "&" or "%" in it
// must not become a command.
bool platform_make_dir(const char* path) { return CreateDirectoryA(path, nullptr) != 0; }

bool platform_is_dir(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void platform_reuse_large_buffers() {}

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
    if (stem.size() != 4 || stem[3] < '1' || stem[3] > '9')
        return false;
    return same_ascii_word(stem.substr(0, 3), "COM") || same_ascii_word(stem.substr(0, 3), "LPT");
}

std::string platform_native_text(std::string_view utf8, char replacement)
{
    return code_page_text(CP_ACP, wide_text(CP_UTF8, utf8), replacement);
}

std::string platform_utf8_text(std::string_view native)
{
    return code_page_text(CP_UTF8, wide_text(CP_ACP, native), '?');
}

std::string platform_file_name_key(std::string_view native_name)
{
    std::wstring wide = wide_text(CP_ACP, native_name);
    if (!wide.empty())
        CharUpperBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    return code_page_text(CP_UTF8, wide, '?');
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
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    do {
        const char* name = found.cFileName;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        const DWORD attributes = found.dwFileAttributes;
        entries->push_back(PlatformDirEntry{name, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                                            (attributes & FILE_ATTRIBUTE_HIDDEN) != 0,
                                            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

bool platform_current_dir(char* out, size_t capacity)
{
    if (capacity == 0 || capacity > MAXDWORD)
        return false;
    return fits(GetCurrentDirectoryA(static_cast<DWORD>(capacity), out), capacity);
}

bool platform_set_current_dir(const char* path) { return SetCurrentDirectoryA(path) != 0; }

bool platform_full_path(const char* path, char* out, size_t capacity)
{
    if (path == nullptr || path[0] == '\0' || capacity == 0 || capacity > MAXDWORD)
        return false;
    return fits(GetFullPathNameA(path, static_cast<DWORD>(capacity), out, nullptr), capacity);
}

bool platform_exe_path(char* out, size_t capacity)
{
    if (capacity == 0 || capacity > MAXDWORD)
        return false;
    // A cut name fills the buffer exactly; that counts as not fitting.
    return fits(GetModuleFileNameA(nullptr, out, static_cast<DWORD>(capacity)), capacity);
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
        HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    const DWORD attributes = GetFileAttributesA(path);
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
        DeleteFileA(temp.c_str());
        return WriteStatus::cannot_write;
    }
    // MoveFileEx replaces a link's own entry, never its target.
    if (!MoveFileExA(temp.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temp.c_str());
        return WriteStatus::cannot_replace;
    }
    return WriteStatus::ok;
}

}  // namespace

bool platform_prepare_output_dir(const char* folder)
{
    DWORD attributes = GetFileAttributesA(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!is_missing(GetLastError()))
            return false;
        if (CreateDirectoryA(folder, nullptr))
            return true;
        attributes = GetFileAttributesA(folder);  // made meanwhile by someone else?
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return false;
    }
    // A junction or a link to a folder is a reparse point: refused.
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool platform_regular_or_absent(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes == INVALID_FILE_ATTRIBUTES ? is_missing(GetLastError()) : is_plain_file(attributes);
}

WriteStatus platform_write_file_whole(const char* path, std::span<const uint8_t> data)
{
    return write_whole(path, data, false);
}

// Windows has no way to flush a folder's entry; MOVEFILE_WRITE_THROUGH waits for the rename.
WriteStatus platform_save_file_durably(const char* path, std::span<const uint8_t> data)
{
    return write_whole(path, data, true);
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
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool platform_remove(const char* path) { return DeleteFileA(path) != 0; }

namespace {

// The volume and file index that identify a file whatever path names it; false when
// it cannot be opened.
bool file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info)
{
    // No access rights asked, so a file that another program holds open still answers.
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
