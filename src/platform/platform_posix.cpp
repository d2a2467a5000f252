#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

bool platform_exists(const char* path) { return access(path, F_OK) == 0; }

bool platform_readable(const char* path) { return access(path, R_OK) == 0; }

bool platform_make_dir(const char* path) { return mkdir(path, 0777) == 0; }

bool platform_is_dir(const char* path)
{
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

void platform_reuse_large_buffers()
{
#if defined(__GLIBC__)
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc takes; above it buffers stay mapped one by one
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
}

unsigned platform_cpu_count()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

bool platform_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

// Safe output.

namespace {

// What new files get: 0666 less the umask. umask() can only be read by setting it, and a
// folder made by another thread meanwhile would get the wrong mode: so it is read once
// before main, while the process has one thread.
mode_t read_default_file_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

const mode_t kDefaultFileMode = read_default_file_mode();

mode_t default_file_mode() { return kDefaultFileMode; }

bool write_fully(int fd, std::span<const uint8_t> data)
{
    while (!data.empty()) {
        const ssize_t n = write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data = data.subspan(static_cast<size_t>(n));
    }
    return true;
}

std::string folder_of(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr)
        return ".";
    return slash == path ? "/" : std::string(path, slash);
}

// A folder's entries reach the disk only when the folder itself is synced.
void sync_folder(const char* path)
{
    const int fd = open(folder_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

WriteStatus write_whole(const char* path, std::span<const uint8_t> data, bool durable)
{
    mode_t mode = default_file_mode();
    struct stat st {};
    if (lstat(path, &st) == 0) {
        if (!S_ISREG(st.st_mode))
            return WriteStatus::occupied;
        mode = st.st_mode & 0777;
    } else if (errno != ENOENT) {
        return WriteStatus::cannot_create;
    }
    // mkostemp creates with O_CREAT | O_EXCL: a name taken by anything, a dangling link
    // included, is never opened.
    std::string temp = platform_temporary_prefix(path) + std::string(kTemporarySuffixLength, 'X');
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return WriteStatus::cannot_create;
    bool written = write_fully(fd, data) && fchmod(fd, mode) == 0 && (!durable || fsync(fd) == 0);
    written = close(fd) == 0 && written;
    if (!written) {
        unlink(temp.c_str());
        return WriteStatus::cannot_write;
    }
    // rename replaces the name, never what a link there would point to.
    if (rename(temp.c_str(), path) != 0) {
        unlink(temp.c_str());
        return WriteStatus::cannot_replace;
    }
    if (durable)
        sync_folder(path);
    return WriteStatus::ok;
}

}  // namespace

bool platform_prepare_output_dir(const char* folder)
{
    struct stat st {};
    if (lstat(folder, &st) != 0) {
        if (errno != ENOENT)
            return false;
        if (mkdir(folder, 0777) == 0)
            return true;
        if (errno != EEXIST || lstat(folder, &st) != 0)  // made meanwhile by someone else
            return false;
    }
    return S_ISDIR(st.st_mode);  // lstat: a link to a folder is a link, not a folder
}

bool platform_regular_or_absent(const char* path)
{
    struct stat st {};
    return lstat(path, &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
}

WriteStatus platform_write_file_whole(const char* path, std::span<const uint8_t> data)
{
    return write_whole(path, data, false);
}

WriteStatus platform_save_file_durably(const char* path, std::span<const uint8_t> data)
{
    return write_whole(path, data, true);
}

namespace {

long read_fd(void* source, uint8_t* to, size_t count)
{
    for (;;) {
        const ssize_t n = read(*static_cast<int*>(source), to, count);
        if (n >= 0 || errno != EINTR)
            return static_cast<long>(n);
    }
}

}  // namespace

ReadStatus platform_read_regular_file(const char* path, size_t max_size, uint8_t** data, size_t* size)
{
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::missing : ReadStatus::cannot_read;
    struct stat st {};
    const ReadStatus status = fstat(fd, &st) != 0    ? ReadStatus::cannot_read
                              : !S_ISREG(st.st_mode) ? ReadStatus::not_a_regular_file
                                                     : read_whole_block(static_cast<uint64_t>(st.st_size), max_size,
                                                                        read_fd, &fd, data, size);
    close(fd);
    return status;
}

size_t platform_read_file_start(const char* path, std::span<uint8_t> out)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st {};
    size_t got = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        long n = 0;
        while (got < out.size() && (n = read_fd(&fd, out.data() + got, out.size() - got)) > 0)
            got += static_cast<size_t>(n);
    }
    close(fd);
    return got;
}

// Any name is a file name here.
bool platform_is_device_name(std::string_view) { return false; }

// File names and terminals are UTF-8 here: text passes unchanged, whatever it holds.
std::string platform_console_text(std::string_view utf8, char) { return std::string(utf8); }

std::string platform_file_name_text(std::string_view name, char) { return std::string(name); }

size_t platform_path_units(std::string_view path) { return path.size(); }

std::string platform_file_name_key(std::string_view name) { return std::string(name); }

std::FILE* platform_open_file(const char* path, const char* mode) { return std::fopen(path, mode); }

void platform_pause()
{
    std::fputs("Press any key to continue . . . ", stdout);
    std::fflush(stdout);
    if (!isatty(STDIN_FILENO)) {
        std::putchar('\n');
        return;
    }
    termios saved{};
    tcgetattr(STDIN_FILENO, &saved);
    termios raw = saved;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    char key = 0;
    if (read(STDIN_FILENO, &key, 1) < 0)
        key = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    std::putchar('\n');
}

// Folder listings, current folder and the program's own path.

bool platform_list_folder(const char* folder, std::vector<PlatformDirEntry>* entries)
{
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return false;
    const int fd = dirfd(dir);
    while (const dirent* e = readdir(dir)) {
        const char* name = e->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        PlatformDirEntry entry{name, false, name[0] == '.', false};
        struct stat st {};
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.is_link = S_ISLNK(st.st_mode);
            // A link counts as what it points to; a dangling one as a plain file.
            entry.is_dir = entry.is_link ? (fstatat(fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode))
                                         : S_ISDIR(st.st_mode);
        }
        entries->push_back(std::move(entry));
    }
    closedir(dir);
    return true;
}

bool platform_current_dir(char* out, size_t capacity) { return capacity > 0 && getcwd(out, capacity) != nullptr; }

bool platform_set_current_dir(const char* path) { return chdir(path) == 0; }

bool platform_full_path(const char* path, char* out, size_t capacity)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    std::string joined;
    if (path[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return false;
        joined = cwd;
        joined += '/';
    }
    joined += path;

    std::vector<std::string_view> steps;
    std::string_view rest = joined;
    while (!rest.empty()) {
        const size_t cut = rest.find('/');
        const std::string_view step = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view{} : rest.substr(cut + 1);
        if (step.empty() || step == ".")
            continue;
        if (step == "..") {
            if (!steps.empty())
                steps.pop_back();
            continue;
        }
        steps.push_back(step);
    }
    size_t used = 0;
    for (std::string_view step : steps) {
        if (used + 1 + step.size() >= capacity)
            return false;
        out[used++] = '/';
        std::memcpy(out + used, step.data(), step.size());
        used += step.size();
    }
    if (used == 0) {
        if (capacity < 2)
            return false;
        out[used++] = '/';
    }
    out[used] = '\0';
    return true;
}

bool platform_exe_path(char* out, size_t capacity)
{
    if (capacity == 0)
        return false;
    const ssize_t n = readlink("/proc/self/exe", out, capacity);
    if (n <= 0 || static_cast<size_t>(n) >= capacity)
        return false;
    out[n] = '\0';
    return true;
}

// Safe saving.

bool platform_rename(const char* from, const char* to) { return rename(from, to) == 0; }

bool platform_remove(const char* path) { return unlink(path) == 0; }

bool platform_same_file(const char* a, const char* b)
{
    struct stat sa {
    }, sb{};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
