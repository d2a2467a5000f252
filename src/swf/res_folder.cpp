#include "swf/res_folder.h"

#include <string_view>

#include "support/debug.h"

namespace {

bool is_separator(char c) { return c == '/' || platform_is_separator(c); }

// Makes the missing folders of `root`, outermost first. Something already bearing one of
// the names counts as there: what cannot be used shows when the root is opened.
void make_root_folders(const std::string& root)
{
    for (size_t at = 1; at <= root.size(); ++at) {
        if (at < root.size() && (!is_separator(root[at]) || is_separator(root[at - 1]) || root[at - 1] == ':'))
            continue;
        const std::string folder = root.substr(0, at);
        if (!platform_exists(folder.c_str()))
            platform_make_dir(folder.c_str());
    }
}

const char* folder_problem(FolderStatus status)
{
    switch (status) {
    case FolderStatus::link: return "is a link (not followed)";
    case FolderStatus::not_a_folder: return "is not a folder";
    case FolderStatus::cannot_create: return "cannot be created";
    case FolderStatus::ok:
    case FolderStatus::cannot_open: break;
    }
    return "cannot be opened";
}

void report(const std::string& folder, const std::string& culprit, FolderStatus status)
{
    DEBUG_PROBLEM_IN("main", "make_res_dir", "cannot use %s as output folder: %s %s", folder.c_str(), culprit.c_str(),
                     folder_problem(status));
}

std::string joined(const std::string& folder, std::string_view name)
{
    if (folder.empty() || is_separator(folder.back()))
        return folder + std::string(name);
    return folder + kPathSeparator + std::string(name);
}

}  // namespace

std::string res_dir_path(std::string_view movie_path)
{
    std::string folder(movie_path);
    folder += "_res";
    return folder;
}

bool res_dir_name(const char* movie_path, std::string& folder)
{
    folder = res_dir_path(movie_path);
    if (platform_path_units(folder) >= kMaxPath) {
        DEBUG_PROBLEM_IN("main", "make_res_dir", "path too long for an output folder: %s", folder.c_str());
        return false;
    }
    return true;
}

OutputFolder res_dir_open(const std::string& root, const std::string& below, bool make_root)
{
    if (make_root)
        make_root_folders(root);
    OutputFolder folder;
    const FolderStatus status = platform_open_folder(root.c_str(), &folder);
    if (status != FolderStatus::ok) {
        report(joined(root, below), root, status);
        return {};
    }
    return res_dir_enter(folder, below);
}

OutputFolder res_dir_enter(const OutputFolder& parent, const std::string& below)
{
    const std::string whole = joined(parent.path, below);
    OutputFolder folder;
    const OutputFolder* at = &parent;
    std::string_view rest = below;
    while (!rest.empty()) {
        size_t cut = 0;
        while (cut < rest.size() && !is_separator(rest[cut]))
            ++cut;
        const std::string_view name = rest.substr(0, cut);
        rest.remove_prefix(cut < rest.size() ? cut + 1 : cut);
        if (name.empty() || name == ".")
            continue;
        OutputFolder inner;
        // ".." would climb out of the root; no name the tool forms holds one.
        const FolderStatus status = name == ".." ? FolderStatus::cannot_open : platform_enter_folder(*at, name, &inner);
        if (status != FolderStatus::ok) {
            report(whole, joined(at->path, name), status);
            return {};
        }
        folder = std::move(inner);
        at = &folder;
    }
    if (at == &parent)
        return {};  // nothing below: callers always name a folder
    if (const int stale = platform_remove_stale_temporaries_in(folder, {}))
        DEBUG_LINE_IN("main", "make_res_dir", "removed %d temporary file(s) an interrupted run left in %s", stale,
                      whole.c_str());
    return folder;
}

OutputFolder res_dir_open_path(const std::string& folder)
{
    size_t start = folder.size();
    while (start > 0 && !is_separator(folder[start - 1]))
        --start;
    return res_dir_open(folder.substr(0, start), folder.substr(start), false);
}

bool make_res_dir(const char* movie_path, std::string& folder, OutputFolder* open)
{
    if (!res_dir_name(movie_path, folder))
        return false;
    *open = res_dir_open_path(folder);
    return open->is_open();
}
