// The pixsieve command: start-up, options, the list of movies to extract, output folders,
// the closing summary.
//
// A run first collects its jobs (every movie with the folder its bitmaps go to), then
// hands them to the scheduler (cli/scheduler.h), which shares the bitmaps of all movies
// among the workers and prints each movie's lines in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "swf/selection.h"

struct DriverOptions {
    std::vector<std::string> paths;  // movies and folders of movies, in command-line order
    std::string output;              // -o: where the "_res" folders go; empty: beside each movie
    bool quiet = false;              // -q: only problem lines on standard output
    bool list = false;               // -l: list the bitmaps, write nothing
    bool json = false;               // --json: JSON Lines on standard output
    BitmapSelection selection;       // --id, --name
    unsigned jobs = 1;               // -j: workers; the processors online unless given
    bool help = false;               // -h
    bool version = false;            // --version
};

// The largest -j accepted.
inline constexpr unsigned kMaxJobs = 256;

// Parses the arguments after the program name. False, with `error` set to a one-line
// description of the problem, when they are not a valid call.
bool parse_options(const std::vector<std::string>& args, DriverOptions* options, std::string* error);

// One movie to extract and the folder its bitmaps go to: `below` inside `root`, where the
// root is what the user named (the movie's own folder, or -o) and is followed as named,
// while no folder of `below` is entered through a link.
struct MovieJob {
    std::string movie;
    std::string folder;  // the whole path, as lines spell it
    std::string root;
    std::string below;
};

// What a run did, for the summary and the exit status.
struct RunTotals {
    uint32_t movies_read = 0;
    uint32_t movies_refused = 0;  // movies that could not be read, and folders that could not be listed
    uint32_t movies_failed = 0;   // movies not done because the memory ran out while loading them
    uint32_t bitmaps_written = 0;
    uint32_t bitmaps_skipped = 0;
    uint32_t failed_writes = 0;
    uint32_t bitmaps_listed = 0;
};

// Expands the folder arguments (every ".swf" below, any letter case, in name order, links
// not followed) and names each movie's output folder. With an output root, the path below a
// folder argument is kept under it; two different movies that would share a folder are
// told apart by "~2", "~3", ... (with a line). A folder that cannot be listed is reported
// and counted as refused in `totals`.
std::vector<MovieJob> collect_jobs(const DriverOptions& options, RunTotals* totals);

// 0 when everything went, 1 when a movie could not be read, else 3 when a bitmap could
// not be written or a movie not be done for lack of memory.
int exit_status(const RunTotals& totals);

// Runs the whole tool; returns the process exit status (see exit_status; 2 for wrong arguments).
int pixsieve_main(int argc, char** argv);

// Process start-up, run once: freed picture buffers are kept for the next bitmap.
void app_init();
