// The output folder of a movie: its path followed by "_res", beside the movie.
#pragma once

#include <string>
#include <string_view>

// "<movie path>_res": the one place the folder's name is formed. With -o, the path given
// is the movie's path below the output root.
std::string res_dir_path(std::string_view movie_path);

// Forms "<movie path>_res" into `folder`; false (with a line) when the name is too long
// for the platform.
bool res_dir_name(const char* movie_path, std::string& folder);

// Creates the folder unless it exists. False (with a line) when it cannot be created or
// when what bears its name is not a real folder: a link, even to a folder, is refused, so
// no file written into it can land elsewhere.
bool res_dir_create(const std::string& folder);

// Both of the above.
bool make_res_dir(const char* movie_path, std::string& folder);
