// Runs the movies of a run on several threads while the output reads as if they ran one
// after another: each movie's lines come out together, in the movies' order, and within a
// movie in the order of its tasks.
//
// A movie is opened (loaded and planned) on some thread and yields a number of tasks (its
// bitmaps); tasks of all open movies are shared by the workers, the oldest movie's first.
// Lines printed by open and work are kept per step and printed by the calling thread in
// order; close runs there too, after the movie's last task is printed. At most jobs + 1
// movies are open at once, so memory stays bounded however long the list.
#pragma once

#include <cstddef>

class MovieWork {
public:
    virtual ~MovieWork() = default;
    // Loads movie `movie`; returns its number of tasks. Any thread.
    virtual size_t open(size_t movie) = 0;
    // Task `task` of an open movie, on worker `worker` (0 to jobs - 1): each worker is one
    // thread, so per-worker state needs no lock. Any thread.
    virtual void work(size_t movie, size_t task, unsigned worker) = 0;
    // After the movie's lines are printed: on the calling thread, movies in order.
    virtual void close(size_t movie) = 0;
};

// Runs movies 0 to count - 1. With one job everything runs on the calling thread, in
// order, and lines are printed as they come.
void run_movies(MovieWork& work, size_t count, unsigned jobs);
