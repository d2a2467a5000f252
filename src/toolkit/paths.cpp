#include "toolkit/paths.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kNotFound = std::string_view::npos;
constexpr int kMaxTreeFolders = 5120;  // folders list_files_tree visits below its root

// A GBK lead byte starts a two-byte character whose trail may look like ASCII.
size_t char_length(const char* p)
{
    const auto lead = static_cast<unsigned char>(p[0]);
    return lead >= 0x81 && lead <= 0xFE && p[1] != '\0' ? 2 : 1;
}

bool is_separator(char c) { return c == kPathSeparator; }

// Position of the last single-byte character at an index below `end` that satisfies
// `wanted`, stepping from the start so that trail bytes are skipped; kNotFound if none.
template <class Predicate>
size_t last_char_before(std::string_view text, size_t end, Predicate wanted)
{
    size_t found = kNotFound;
    for (size_t i = 0; i < end && i < text.size(); i += char_length(text.data() + i))
        if (char_length(text.data() + i) == 1 && wanted(text[i]))
            found = i;
    return found;
}

// The path functions never take a separator or dot in the last position.
size_t last_separator(std::string_view path)
{
    return last_char_before(path, path.size() - (path.empty() ? 0 : 1), is_separator);
}

size_t last_dot(std::string_view path)
{
    return last_char_before(path, path.size() - (path.empty() ? 0 : 1), [](char c) { return c == '.'; });
}

int write_result(std::string_view text, char* out, size_t out_size)
{
    if (out == nullptr || text.size() >= out_size)
        return -1;
    std::memmove(out, text.data(), text.size());
    out[text.size()] = '\0';
    return 0;
}

std::string_view after(std::string_view path, size_t mark) { return mark == kNotFound ? path : path.substr(mark + 1); }

}  // namespace

int path_file_name(char* out, size_t out_size, const char* path)
{
    if (path == nullptr)
        return -1;
    return write_result(after(path, last_separator(path)), out, out_size);
}

int path_strip_ext(char* out, size_t out_size, const char* path)
{
    if (path == nullptr)
        return -1;
    const std::string_view text = path;
    return write_result(text.substr(0, last_dot(text)), out, out_size);
}

int path_ext_or_name(char* out, size_t out_size, const char* path)
{
    if (path == nullptr)
        return -1;
    const std::string_view text = path;
    const size_t dot = last_dot(text);
    return write_result(after(text, dot != kNotFound ? dot : last_separator(text)), out, out_size);
}

int path_strip_base(const char* base, const char* path, char* out, size_t out_size)
{
    if (base == nullptr || path == nullptr)
        return -1;
    const std::string_view text = path;
    if (text.size() >= 2 && text[0] == '.' && (is_separator(text[1]) || text[1] == '/'))
        return write_result(text.substr(2), out, out_size);
    const std::string_view prefix = base;
    if (!text.starts_with(prefix))
        return -1;
    std::string_view rest = text.substr(prefix.size());
    const bool base_has_separator = !prefix.empty() &&
                                    last_char_before(prefix, prefix.size(), is_separator) == prefix.size() - 1;
    if (!rest.empty() && !base_has_separator) {
        // "C:/database" is not under "C:/data".
        if (!is_separator(rest[0]))
            return -1;
        rest.remove_prefix(1);
    }
    return write_result(rest, out, out_size);
}

// ---- program folder ----

namespace {
char g_exe_dir[kPathBufferSize];
}

const char* exe_dir()
{
    if (g_exe_dir[0] != '\0')
        return g_exe_dir;
    char file[kPathBufferSize];
    if (!platform_exe_path(file, sizeof file))
        return g_exe_dir;
    const std::string_view path = file;
    const size_t cut = last_separator(path);
    if (cut == kNotFound)
        return g_exe_dir;
    // A program in the top folder keeps the lone separator, which still names a folder.
    write_result(path.substr(0, cut == 0 ? 1 : cut), g_exe_dir, sizeof g_exe_dir);
    return g_exe_dir;
}

int chdir_exe_dir()
{
    const char* dir = exe_dir();
    return dir[0] != '\0' && platform_set_current_dir(dir) ? 1 : 0;
}

// ---- wildcard matching ----

namespace {

char fold_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_char(const char* a, const char* b, size_t length)
{
    return length == 1 ? fold_ascii(*a) == fold_ascii(*b) : std::memcmp(a, b, length) == 0;
}

// The rest of a pattern matches an empty name ending only if it is '*'s and ".*"s.
bool matches_empty(const char* p)
{
    for (;;) {
        if (*p == '*')
            ++p;
        else if (p[0] == '.' && p[1] == '*')
            p += 2;
        else
            return *p == '\0';
    }
}

}  // namespace

bool path_match_pattern(const char* pattern, const char* name)
{
    const char* p = pattern;
    const char* n = name;
    const char* star_pattern = nullptr;  // just after the last '*' seen
    const char* star_name = nullptr;     // where that '*' stopped swallowing the name
    while (*n != '\0') {
        if (*p == '*') {
            star_pattern = ++p;
            star_name = n;
            continue;
        }
        const size_t name_char = char_length(n);
        if (*p != '\0') {
            const size_t pattern_char = char_length(p);
            if ((*p == '?' || (pattern_char == name_char && same_char(p, n, name_char)))) {
                p += *p == '?' ? 1 : pattern_char;
                n += name_char;
                continue;
            }
        }
        if (star_pattern == nullptr)
            return false;
        // Let the last '*' swallow one more character and try again from there.
        star_name += char_length(star_name);
        n = star_name;
        p = star_pattern;
    }
    return matches_empty(p);
}

// ---- folder listings ----

namespace {

enum class EntryKind { files, dirs };

bool accepted(const PlatformDirEntry& entry, EntryKind kind)
{
    if (kind == EntryKind::files)
        return !entry.is_dir && !entry.is_hidden;
    const std::string& name = entry.name;
    return entry.is_dir && name[0] != '.' && (name.size() < 2 || name[1] != '.');
}

// Case-insensitive order over ASCII letters (trail bytes kept as they are), then bytes.
std::string sort_key(const std::string& name)
{
    std::string key = name;
    for (size_t i = 0; i < key.size(); i += char_length(key.c_str() + i))
        key[i] = fold_ascii(key[i]);
    return key;
}

// The accepted entries of `folder` whose names match `name_pattern`, in name order;
// false when the folder cannot be read.
bool matching_entries(const char* folder, const char* name_pattern, EntryKind kind,
                      std::vector<PlatformDirEntry>* taken)
{
    std::vector<PlatformDirEntry> all;
    if (!platform_list_folder(folder, &all))
        return false;
    for (PlatformDirEntry& entry : all)
        if (accepted(entry, kind) && path_match_pattern(name_pattern, entry.name.c_str()))
            taken->push_back(std::move(entry));
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(taken->size());
    for (size_t i = 0; i < taken->size(); ++i)
        keys.emplace_back(sort_key((*taken)[i].name), i);
    std::sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : (*taken)[a.second].name < (*taken)[b.second].name;
    });
    std::vector<PlatformDirEntry> sorted;
    sorted.reserve(taken->size());
    for (const auto& key : keys)
        sorted.push_back(std::move((*taken)[key.second]));
    *taken = std::move(sorted);
    return true;
}

// A new malloc'd copy of the full path of `relative`; null when it does not fit a path
// buffer (such entries are left out rather than cut).
char* new_full_path(const std::string& relative)
{
    char full[kPathBufferSize];
    if (!platform_full_path(relative.c_str(), full, sizeof full))
        return nullptr;
    const size_t length = std::strlen(full);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr)
        std::memcpy(copy, full, length + 1);
    return copy;
}

bool valid_slots(char** list, int start, int capacity) { return list != nullptr && start >= 0 && start < capacity; }

int list_matching(const char* pattern, char** list, int start, int capacity, EntryKind kind)
{
    if (pattern == nullptr || !valid_slots(list, start, capacity))
        return 0;
    const std::string_view text = pattern;
    const size_t cut = last_char_before(text, text.size(), is_separator);
    // Entries are named after the pattern's folder, not the current one.
    const std::string prefix(cut == kNotFound ? std::string_view{} : text.substr(0, cut + 1));
    const std::string folder = cut == kNotFound ? "." : cut == 0 ? prefix : prefix.substr(0, cut);
    std::vector<PlatformDirEntry> entries;
    if (!matching_entries(folder.c_str(), pattern + prefix.size(), kind, &entries))
        return 0;
    int stored = 0;
    for (const PlatformDirEntry& entry : entries) {
        if (start + stored == capacity)
            break;
        if (char* full = new_full_path(prefix + entry.name))
            list[start + stored++] = full;
    }
    return stored;
}

struct TreeWalk {
    char** list;
    int start;
    int capacity;
    int count;
    bool lost;  // could not come back to a folder: stop, the caller restores the start
};

// Lists the subfolders of the current folder, each followed by its own; `here` is the
// current folder's full path, the way back after each visit.
void walk_dirs(TreeWalk& walk, const char* here)
{
    std::vector<PlatformDirEntry> entries;
    if (!matching_entries(".", "*.*", EntryKind::dirs, &entries))
        return;
    for (const PlatformDirEntry& entry : entries) {
        if (walk.lost || walk.start + walk.count == walk.capacity)
            return;
        if (entry.is_link)
            continue;
        char* full = new_full_path(entry.name);
        if (full == nullptr)
            continue;
        walk.list[walk.start + walk.count++] = full;
        if (!platform_set_current_dir(entry.name.c_str()))
            continue;  // listed, but its contents stay out of reach
        walk_dirs(walk, full);
        walk.lost = walk.lost || !platform_set_current_dir(here);
    }
}

// Remembers the current folder for its lifetime and puts it back on the way out.
class CurrentDirKeeper {
public:
    CurrentDirKeeper() { saved_ = platform_current_dir(path_, sizeof path_); }
    ~CurrentDirKeeper()
    {
        if (saved_)
            platform_set_current_dir(path_);
    }
    CurrentDirKeeper(const CurrentDirKeeper&) = delete;
    CurrentDirKeeper& operator=(const CurrentDirKeeper&) = delete;
    bool saved() const { return saved_; }

private:
    char path_[kPathBufferSize];
    bool saved_;
};

// Runs `walk(here)` inside `root`, `here` being its full path, and comes back to the
// current folder afterwards. Without a way back the walk does not start.
template <class Walk>
int walk_in_root(const char* root, char** list, int start, int capacity, Walk walk)
{
    if (root == nullptr || !valid_slots(list, start, capacity))
        return 0;
    CurrentDirKeeper keeper;
    char here[kPathBufferSize];
    if (!keeper.saved() || !platform_set_current_dir(root) || !platform_current_dir(here, sizeof here))
        return 0;
    return walk(here);
}

}  // namespace

int list_files(const char* pattern, char** list, int start, int capacity)
{
    return list_matching(pattern, list, start, capacity, EntryKind::files);
}

int list_dirs(const char* pattern, char** list, int start, int capacity)
{
    return list_matching(pattern, list, start, capacity, EntryKind::dirs);
}

int list_dirs_tree(const char* root, char** list, int start, int capacity)
{
    return walk_in_root(root, list, start, capacity, [&](const char* here) {
        TreeWalk walk{list, start, capacity, 0, false};
        walk_dirs(walk, here);
        return walk.count;
    });
}

int list_files_tree(const char* root, char** list, int start, int capacity)
{
    return walk_in_root(root, list, start, capacity, [&](const char* here) {
        int total = list_files("*.*", list, start, capacity);
        std::vector<char*> folders(kMaxTreeFolders);
        const int folder_count = list_dirs_tree(here, folders.data(), 0, kMaxTreeFolders);
        for (int i = 0; i < folder_count; ++i) {
            char* folder = folders[static_cast<size_t>(i)];
            // A folder that cannot be entered must not list the current one a second time.
            if (start + total < capacity && platform_set_current_dir(folder))
                total += list_files("*.*", list, start + total, capacity);
            std::free(folder);
        }
        return total;
    });
}
