#include "platform/platform.h"
#include "platform/platform_internal.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <fcntl.h>
#include <sys/file.h>
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

void platform_start() { std::signal(SIGXFSZ, SIG_IGN); }

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

// The descriptor of an open folder.
int folder_fd(const OutputFolder& folder) { return static_cast<int>(folder.handle); }

// Six characters for a temporary's name, from the system's randomness where it has some,
// so the names are not predictable (creation is exclusive either way).
std::string random_suffix()
{
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static std::atomic<uint32_t> counter{0};
    uint8_t bytes[kTemporarySuffixLength] = {};
    if (getentropy(bytes, sizeof bytes) != 0) {
        uint32_t mix = (counter.fetch_add(1) + 1) * 2654435761u ^ static_cast<uint32_t>(getpid()) ^
                       static_cast<uint32_t>(time(nullptr));
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(mix >>= 5);
    }
    std::string suffix;
    for (uint8_t b : bytes)
        suffix += kDigits[b % (sizeof kDigits - 1)];
    return suffix;
}

// True while `name` in `dir` is the file open as `fd`.
bool still_named(int dir, const std::string& name, int fd)
{
    struct stat by_name {
    }, held{};
    return fstatat(dir, name.c_str(), &by_name, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &held) == 0 &&
           by_name.st_dev == held.st_dev && by_name.st_ino == held.st_ino;
}

// A new temporary in `dir`, created exclusively (a name taken by anything, a dangling link
// included, is never opened) and locked until its descriptor is closed, so a cleanup never
// takes it for a leftover. -1 when none can be made.
int create_temporary(int dir, const std::string& prefix, std::string* temp)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix + random_suffix();
        const int fd = openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        // A cleanup may have locked and removed it before this lock: then start again.
        // Where the file system has no locks, nothing can lock it, so nothing removes it.
        while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        if (still_named(dir, name, fd)) {
            *temp = std::move(name);
            return fd;
        }
        close(fd);
    }
    return -1;
}

// A replaced file keeps its owner and group where this process may set them (root, or a
// group of its own); where it may not, the new file is the process's own, as any new file.
bool keep_owner(int fd, const struct stat& replaced)
{
    struct stat mine {};
    if (fstat(fd, &mine) != 0)
        return false;
    if (mine.st_uid == replaced.st_uid && mine.st_gid == replaced.st_gid)
        return true;
    return fchown(fd, replaced.st_uid, replaced.st_gid) == 0 || errno == EPERM;
}

// Writes the temporary and checks every step. close() reports late write errors (on NFS)
// through any descriptor of the file, so a duplicate is closed for that check while `fd`
// keeps the lock until the rename is done.
bool fill_temporary(int fd, std::span<const uint8_t> data, const struct stat* replaced, mode_t mode, bool durable)
{
    // The owner before the mode: a change of owner may clear mode bits.
    const bool written = write_fully(fd, data) && (replaced == nullptr || keep_owner(fd, *replaced)) &&
                         fchmod(fd, mode) == 0 && (!durable || fsync(fd) == 0);
    const int check = dup(fd);
    return check >= 0 && close(check) == 0 && written;
}

// Opens `name` in `parent` as a folder, never through a link.
FolderStatus open_below(int parent, const char* name, int* fd)
{
    *fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (*fd >= 0)
        return FolderStatus::ok;
    struct stat st {};
    if (fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FolderStatus::cannot_open;
    return S_ISLNK(st.st_mode)   ? FolderStatus::link
           : S_ISDIR(st.st_mode) ? FolderStatus::cannot_open
                                 : FolderStatus::not_a_folder;
}

// Removes the temporary `name` in `dir` when no save holds it.
bool remove_unheld(int dir, const char* name)
{
    // O_NONBLOCK: a FIFO planted under such a name does not wait for a writer.
    const int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool removed = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                         still_named(dir, name, fd) && unlinkat(dir, name, 0) == 0;
    close(fd);
    return removed;
}

}  // namespace

OutputFolder::~OutputFolder()
{
    if (handle != -1)
        close(folder_fd(*this));
}

FolderStatus platform_open_folder(const char* path, OutputFolder* folder)
{
    const int fd = open(path[0] != '\0' ? path : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOTDIR ? FolderStatus::not_a_folder : FolderStatus::cannot_open;
    folder->path = path;
    folder->handle = fd;
    return FolderStatus::ok;
}

FolderStatus platform_enter_folder(const OutputFolder& parent, std::string_view name, OutputFolder* folder)
{
    const std::string own(name);
    // mkdirat never follows a link either: a dangling one there gives EEXIST.
    if (mkdirat(folder_fd(parent), own.c_str(), 0777) != 0 && errno != EEXIST)
        return FolderStatus::cannot_create;
    int fd = -1;
    const FolderStatus status = open_below(folder_fd(parent), own.c_str(), &fd);
    if (status == FolderStatus::ok) {
        folder->path = join_path(parent.path, name);
        folder->handle = fd;
    }
    return status;
}

bool platform_regular_or_absent(const char* path)
{
    struct stat st {};
    return lstat(path, &st) == 0 ? S_ISREG(st.st_mode) : errno == ENOENT;
}

WriteStatus platform_write_in_folder(const OutputFolder& folder, std::string_view name, std::span<const uint8_t> data,
                                     bool durable)
{
    const int dir = folder_fd(folder);
    const std::string target(name);
    struct stat st {};
    const bool replacing = fstatat(dir, target.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (replacing && !S_ISREG(st.st_mode))
        return WriteStatus::occupied;
    if (!replacing && errno != ENOENT)
        return WriteStatus::cannot_create;
    std::string temp;
    const int fd = create_temporary(dir, temporary_name_prefix(folder, name), &temp);
    if (fd < 0)
        return WriteStatus::cannot_create;
    WriteStatus status = WriteStatus::ok;
    if (!fill_temporary(fd, data, replacing ? &st : nullptr, replacing ? st.st_mode & 0777 : default_file_mode(),
                        durable))
        status = WriteStatus::cannot_write;
    // renameat replaces the name, never what a link there would point to.
    else if (renameat(dir, temp.c_str(), dir, target.c_str()) != 0)
        status = WriteStatus::cannot_replace;
    if (status != WriteStatus::ok)
        unlinkat(dir, temp.c_str(), 0);
    close(fd);  // the lock goes only now, with the temporary's name gone
    if (status == WriteStatus::ok && durable)
        fsync(dir);  // a folder's entries reach the disk only when the folder itself is synced
    return status;
}

int platform_remove_stale_temporaries_in(const OutputFolder& folder, std::string_view name)
{
    const std::string prefix = name.empty() ? std::string() : temporary_name_prefix(folder, name);
    const int listing = dup(folder_fd(folder));  // closedir closes it; the folder stays open
    DIR* dir = listing >= 0 ? fdopendir(listing) : nullptr;
    if (dir == nullptr) {
        if (listing >= 0)
            close(listing);
        return 0;
    }
    rewinddir(dir);  // the duplicate shares its position with earlier listings
    int removed = 0;
    while (const dirent* e = readdir(dir))
        if (is_temporary_name(e->d_name, prefix) && remove_unheld(folder_fd(folder), e->d_name))
            removed++;
    closedir(dir);
    return removed;
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
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
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
