// The pixsieve command: start-up, usage text, the loop over movie paths, output folders.
#pragma once

#include <cstddef>
#include <string>

// Exit statuses of pixsieve (2, wrong arguments, is pixsieve-edit's; pixsieve takes any).
inline constexpr int kExitDone = 0;        // every movie read, every bitmap written
inline constexpr int kExitUnreadable = 1;  // some movie could not be read
inline constexpr int kExitNotWritten = 3;  // movies read, but some bitmap could not be written

// Runs the whole tool; returns the process exit status (one of the above; 1 wins over 3).
int pixsieve_main(int argc, char** argv);

// Start-up initialisation of the codecs and text tables, run once.
void app_init();

// Loads one movie and writes its images: kExitDone, kExitUnreadable or kExitNotWritten.
int process_file(const char* path);

// Forms "<movie path>_res" into `folder` and creates that folder unless it exists. False
// (with a debug line) when the name is too long, when the folder cannot be created, or
// when what bears its name is not a real folder (a link to one included).
bool make_res_dir(const char* movie_path, std::string& folder);
