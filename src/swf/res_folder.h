// The output folder of a movie: its path followed by "_res", beside the movie.
#pragma once

#include <string>

// Forms "<movie path>_res" into `folder`; false (with a line) when the name is too long
// for the platform.
bool res_dir_name(const char* movie_path, std::string& folder);

// Creates the folder unless something of that name exists (a line when that fails; the
// writes into it then report their own failures).
void res_dir_create(const std::string& folder);

// Both of the above. False only when the name is too long.
bool make_res_dir(const char* movie_path, std::string& folder);
