// The output folder of a movie: its path followed by "_res", beside the movie, or a folder
// below the output root the user chose.
#pragma once

#include <string>
#include <string_view>

// "<movie path>_res": the one place the folder's name is formed. With -o, the path given
// is the movie's path below the output root.
std::string res_dir_path(std::string_view movie_path);

#include "platform/platform.h"

// Forms "<movie path>_res" into `folder`; false (with a line) when the name is too long
// for the platform.
bool res_dir_name(const char* movie_path, std::string& folder);

// Opens the output folder `below` (one or more names) inside `root`. The root is taken as
// the user named it, links and all: the movie's own folder, or the folder given for the
// output (made with its missing parents when `make_root` says so). Each folder of `below`
// is entered, and made when missing, without following a link, so no file written into
// the result can land outside the root. Temporaries an interrupted run left in it are
// removed (with a line). On failure one line names the folder and what is wrong with it,
// and the folder returned is not open.
OutputFolder res_dir_open(const std::string& root, const std::string& below, bool make_root);

// The same from a folder already open: `below` inside `parent`.
OutputFolder res_dir_enter(const OutputFolder& parent, const std::string& below);

// res_dir_open for a folder named by its path: the folder holding it is the root.
OutputFolder res_dir_open_path(const std::string& folder);

// res_dir_name, then res_dir_open_path: the folder beside the movie.
bool make_res_dir(const char* movie_path, std::string& folder, OutputFolder* open);
