#include "platform/platform.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include <dirent.h>
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

unsigned platform_cpu_count()
{
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<unsigned>(online) : 1;
}

bool platform_is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

// Any name is a file name here.
bool platform_is_device_name(std::string_view) { return false; }

// File names and terminals are UTF-8 here: text passes unchanged, whatever it holds.
std::string platform_native_text(std::string_view utf8, char) { return std::string(utf8); }

std::string platform_utf8_text(std::string_view native) { return std::string(native); }

std::string platform_file_name_key(std::string_view native_name) { return std::string(native_name); }

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

bool platform_current_dir(char* out, size_t capacity)
{
    return capacity > 0 && getcwd(out, capacity) != nullptr;
}

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

std::string platform_temp_path_for(const char* path)
{
    return std::string(path) + ".tmp" + std::to_string(getpid());
}

bool platform_rename(const char* from, const char* to) { return rename(from, to) == 0; }

bool platform_remove(const char* path) { return unlink(path) == 0; }

bool platform_same_file(const char* a, const char* b)
{
    struct stat sa{}, sb{};
    return stat(a, &sa) == 0 && stat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
