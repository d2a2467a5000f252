// The pixsieve command: start-up, usage text, the loop over movie paths.
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
