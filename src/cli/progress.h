// A one-line progress bar on standard error for long runs on a terminal: movies done of
// the total, bitmaps written, time elapsed. Short runs never show it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

class ProgressBar {
public:
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // Shows nothing unless `enabled`. With `shares_terminal` (standard output goes to the
    // same terminal) the bar steps aside whenever a line is printed there. The bar is drawn
    // on `screen` and timed by `now`; tests hand in their own.
    ProgressBar(bool enabled, bool shares_terminal, size_t total_movies, std::FILE* screen = stderr,
                Now now = Clock::now);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // Redraws after a movie, at most a few times a second.
    void update(size_t movies_done, uint32_t bitmaps_written);
    // Removes the bar from the screen; the next update draws it again.
    void erase();

private:
    bool enabled_;
    bool shares_terminal_;
    size_t total_;
    std::FILE* screen_;
    Now now_;
    Clock::time_point start_;
    Clock::time_point last_draw_{};
    size_t drawn_width_ = 0;  // characters on screen now; 0 when nothing is shown
};
