// Everything that touches the operating system goes through this module.
// The POSIX implementation lives in platform_posix.cpp, the Windows one in platform_win.cpp;
// the build compiles exactly one of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The limits count what the system counts (platform_path_units): bytes on POSIX, UTF-16
// units on Windows.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
// MAX_PATH: longer paths need the "\\?\" form, which a relative path cannot take.
inline constexpr size_t kMaxPath = 260;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr size_t kMaxPath = 4096;
#endif
// kMaxPath is the longest path with its terminator; kMaxName the longest single name.
inline constexpr size_t kMaxName = 255;

bool platform_exists(const char* path);    // anything (file or folder) under that name
bool platform_readable(const char* path);  // read permission granted
bool platform_make_dir(const char* path);  // true when created; no shell involved
bool platform_is_dir(const char* path);    // a folder, or a link to one

// The number of processors online; at least 1.
unsigned platform_cpu_count();

// Start-up: lets the allocator keep freed picture buffers for the next bitmap instead of
// handing them back to the system and faulting fresh pages in again (a quarter of the CPU
// time of an extraction went there). Costs some peak memory; nothing where the allocator
// has no such setting.
void platform_reuse_large_buffers();

// Start-up, before any file is written: a write past the file-size limit (ulimit -f) then
// fails like one on a full disk, reported and survived, instead of ending the process
// with SIGXFSZ.
void platform_start();

// True when `stream` (stdout or stderr) goes to a terminal or console window.
bool platform_is_terminal(std::FILE* stream);

// Output that can never land outside where it was meant to go, nor halfway.

enum class WriteStatus {
    ok,
    occupied,        // a link, folder, device or FIFO sits at the path; it is left alone
    cannot_create,   // no temporary file could be made in the folder
    cannot_write,    // a write, the sync or the close failed (a full disk, ...)
    cannot_replace,  // the finished temporary could not be renamed into place
};
// A short English phrase for a status, to end a "cannot write X: ..." line.
const char* platform_write_status_text(WriteStatus status);

// An output folder held open. Files are made in it by name, relative to the open folder,
// so once it is open no link or rename along its path can send them anywhere else.
struct OutputFolder {
    std::string path;      // as it was named: for lines, and for the file functions of Windows
    intptr_t handle = -1;  // the open folder (a descriptor on POSIX, a HANDLE on Windows); -1: none

    OutputFolder() = default;
    OutputFolder(OutputFolder&& other) noexcept : path(std::move(other.path)), handle(std::exchange(other.handle, -1))
    {
    }
    OutputFolder& operator=(OutputFolder&& other) noexcept
    {
        std::swap(path, other.path);
        std::swap(handle, other.handle);
        return *this;
    }
    ~OutputFolder();
    bool is_open() const { return handle != -1; }
};

enum class FolderStatus {
    ok,
    link,           // a link (or junction) bears the name: never entered, even when it leads to a folder
    not_a_folder,   // a file, FIFO or device bears the name
    cannot_create,  // missing, and it could not be made
    cannot_open,    // there, but it could not be opened
};

// Opens the folder `path` names ("" is the current one), following links: the user named
// it. Nothing is created.
FolderStatus platform_open_folder(const char* path, OutputFolder* folder);

// Opens the folder `name` (one name, no separator) inside `parent`, making it when missing,
// never through a link: a link there, even to a folder, is refused.
FolderStatus platform_enter_folder(const OutputFolder& parent, std::string_view name, OutputFolder* folder);

// Writes `data` as the file `name` in `folder`, whole or not at all: into a fresh
// temporary there, created exclusively (a planted link is never followed) and locked
// while it is written, every write and the close checked, then renamed over `name`.
// Anything but a regular file at `name` is refused and left alone. A replaced file keeps
// its permission bits, and its owner and group where the process may set them; a new one
// gets the default bits (0666 less the umask). With `durable`, the data reach the disk
// before the rename and the folder's entry after it, so a power loss leaves the old file
// or the new one, never an empty one. On any failure the temporary is removed.
WriteStatus platform_write_in_folder(const OutputFolder& folder, std::string_view name, std::span<const uint8_t> data,
                                     bool durable);

// The same for a file named by its path, its folder followed as named.
WriteStatus platform_write_file_whole(const char* path, std::span<const uint8_t> data);
WriteStatus platform_save_file_durably(const char* path, std::span<const uint8_t> data);

// True when nothing, or a regular file, sits at `path` (a link is neither).
bool platform_regular_or_absent(const char* path);

// Temporaries are named "<file name>.pixsieve-tmp-XXXXXX" beside the file (the name cut
// short where it would not fit). A save holds its temporary locked until it is renamed;
// these remove the temporaries that no running save holds (left by one that was killed):
// in `folder`, those of the file `name`, or every one when `name` is empty; by path,
// those of `path`. They return how many they removed.
int platform_remove_stale_temporaries_in(const OutputFolder& folder, std::string_view name);
int platform_remove_stale_temporaries(const char* path);
// The name all temporaries of `path` start with (folder included).
std::string platform_temporary_prefix(const char* path);
inline constexpr char kTemporaryMarker[] = ".pixsieve-tmp-";
inline constexpr size_t kTemporarySuffixLength = 6;

enum class ReadStatus { ok, missing, not_a_regular_file, cannot_read, too_large, out_of_memory };
// Reads a whole regular file into a new malloc'd block (free() it; one byte for an empty
// file). A FIFO, device or folder is refused without waiting for a writer. Files of
// `max_size` bytes or more are refused.
ReadStatus platform_read_regular_file(const char* path, size_t max_size, uint8_t** data, size_t* size);

// Reads the first out.size() bytes of a regular file (fewer when it is shorter); the number
// read, 0 when it cannot be read or is no regular file.
size_t platform_read_file_start(const char* path, std::span<uint8_t> out);
// std::fopen for a UTF-8 path (the Windows runtime's fopen would read it in the ANSI code page).
std::FILE* platform_open_file(const char* path, const char* mode);

// Prints the prompt and waits for one key on a terminal; returns at once without one.
void platform_pause();

// True for a byte that separates folders in a path on this platform.
inline bool platform_is_separator(char c) { return c == kPathSeparator; }

// Text at the program's edge. Inside, paths, names and messages are UTF-8 on every system.
// POSIX takes them byte for byte (invalid sequences included). On Windows the file functions
// take UTF-16, converted from UTF-8 at each call, so every character of a name survives, and
// the arguments arrive as UTF-16 (platform_run_utf8_main); only console lines are in the ANSI
// code page (GBK on the Chinese systems the tool is for).

// `utf8` as console text; a character the console's encoding cannot spell (and a malformed
// sequence) becomes `replacement`, so a line never silently loses a character.
std::string platform_console_text(std::string_view utf8, char replacement);

// A name as the file system can hold it: POSIX keeps the bytes; Windows, whose names are
// Unicode, puts `replacement` for each byte that is not part of well-formed UTF-8.
std::string platform_file_name_text(std::string_view name, char replacement);

// The length of a path or name as the system's limits (kMaxPath, kMaxName) count it.
size_t platform_path_units(std::string_view path);

// The form in which the file system compares names: two names with the same key are one
// file (Windows ignores letter case, of any script; POSIX compares bytes).
std::string platform_file_name_key(std::string_view name);

#ifdef _WIN32
// The programs' wmain: runs `main` with the UTF-16 arguments (wildcards already expanded by
// the runtime) as UTF-8.
int platform_run_utf8_main(int argc, wchar_t** argv, int (*main)(int, char**));
#endif

// True for a byte the file system refuses inside a file name (or takes as a separator). No
// byte of a multi-byte UTF-8 character is ASCII, so a byte-wise check never splits one.
inline bool platform_is_forbidden_name_byte(char c)
{
#ifdef _WIN32
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20)
        return true;
    for (const char refused : {'\\', '/', ':', '*', '?', '"', '<', '>', '|'})
        if (c == refused)
            return true;
    return false;
#else
    return c == kPathSeparator;
#endif
}

// True when `stem` (a file name without its extension) names a device rather than a file
// ("CON", "nul", "COM1", "COM¹", ...): on Windows "con.png" opens the console, not a file.
bool platform_is_device_name(std::string_view stem);

// Folder listings, current folder and the program's own path.

// One entry of a folder listing; "." and ".." are never reported.
struct PlatformDirEntry {
    std::string name;
    bool is_dir;     // a folder, or a link to one
    bool is_hidden;  // POSIX: the name starts with "."; Windows: the hidden attribute
    bool is_link;    // a symbolic link or junction (tree walks do not follow these, so they cannot loop)
};

// Appends the entries of `folder` in the order the system gives them; false when the
// folder cannot be read.
bool platform_list_folder(const char* folder, std::vector<PlatformDirEntry>* entries);

// The current folder; false when it cannot be read or does not fit `capacity` with its NUL.
bool platform_current_dir(char* out, size_t capacity);
bool platform_set_current_dir(const char* path);  // true on success

// The absolute form of `path` (a relative one is taken from the current folder) with "."
// and ".." steps and repeated separators resolved by text alone; false when it does not fit.
bool platform_full_path(const char* path, char* out, size_t capacity);

// The running program's own file, as the system reports it; false when it does not fit.
bool platform_exe_path(char* out, size_t capacity);

bool platform_rename(const char* from, const char* to);  // replaces `to` atomically
bool platform_remove(const char* path);
// True when both paths name one existing file (links and spellings included).
bool platform_same_file(const char* a, const char* b);
