#include "swf/res_folder.h"

#include "platform/platform.h"
#include "support/debug.h"

bool res_dir_name(const char* movie_path, std::string& folder)
{
    folder = movie_path;
    folder += "_res";
    if (platform_path_units(folder) >= kMaxPath) {
        DEBUG_PROBLEM_IN("main", "make_res_dir", "path too long for an output folder: %s", folder.c_str());
        return false;
    }
    return true;
}

bool res_dir_create(const std::string& folder)
{
    if (platform_prepare_output_dir(folder.c_str()))
        return true;
    DEBUG_PROBLEM_IN("main", "make_res_dir", "cannot use %s as output folder (not a real folder, or cannot be created)",
                     folder.c_str());
    return false;
}

bool make_res_dir(const char* movie_path, std::string& folder)
{
    if (!res_dir_name(movie_path, folder))
        return false;
    return res_dir_create(folder);
}
