// Runs the movies of a run on several threads while the output reads as if they ran one
// after another: each movie's lines come out together, in the movies' order, and within a
// movie in the order of its tasks.
//
// A movie is opened (loaded and planned) on some thread and yields a number of tasks (its
// bitmaps); tasks of all open movies are shared by the workers, the oldest movie's first.
// Lines printed by open and work are kept per step and printed by the calling thread in
// order; close runs there too, after the movie's last task is printed. At most jobs + 1
// movies are open at once, and a further movie is opened only while the open ones and it
// stay within the memory budget (a movie heavier than the budget is opened alone), so the
// peak memory follows the largest movie, not the number of workers or the length of the list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

// None of these may throw: a movie or task that fails reports its own failure.
class MovieWork {
public:
    virtual ~MovieWork() = default;
    // The memory movie `movie` holds while it is open, as far as is known (an estimate
    // before it is opened, what it holds after). 0 when it does not count. Any thread.
    virtual uint64_t weight(size_t movie) = 0;
    // Loads movie `movie`; returns its number of tasks. Any thread.
    virtual size_t open(size_t movie) = 0;
    // Task `task` of an open movie, on worker `worker` (0 to jobs - 1): each worker is one
    // thread, so per-worker state needs no lock. Any thread.
    virtual void work(size_t movie, size_t task, unsigned worker) = 0;
    // After the movie's lines are printed: on the calling thread, movies in order.
    virtual void close(size_t movie) = 0;
};

inline constexpr uint64_t kNoMemoryBudget = std::numeric_limits<uint64_t>::max();

// Runs movies 0 to count - 1. With one job everything runs on the calling thread, in
// order, and lines are printed as they come.
void run_movies(MovieWork& work, size_t count, unsigned jobs, uint64_t memory_budget = kNoMemoryBudget);
