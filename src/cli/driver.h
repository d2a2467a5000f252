// The pixsieve command: start-up, usage text, the loop over movie paths, output folders.
#pragma once

#include <cstddef>
#include <string>

// Runs the whole tool; returns the process exit status
// (0 when every movie could be read, 1 otherwise).
int pixsieve_main(int argc, char** argv);

// Start-up initialisation of the codecs, run once.
void app_init();

// Loads one movie and writes its images. False when the movie could not be read.
bool process_file(const char* path);

// Forms "<movie path>_res" into `folder` and creates that folder unless something of
// that name exists. False (with a debug line) when the name is too long for the platform.
bool make_res_dir(const char* movie_path, std::string& folder);
