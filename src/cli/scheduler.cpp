#include "cli/scheduler.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "support/debug.h"

namespace {

void run_in_order(MovieWork& work, size_t count)
{
    for (size_t movie = 0; movie < count; ++movie) {
        const size_t tasks = work.open(movie);
        for (size_t task = 0; task < tasks; ++task)
            work.work(movie, task, 0);
        work.close(movie);
    }
}

class Scheduler {
public:
    Scheduler(MovieWork& work, size_t count, unsigned jobs) : work_(work), count_(count), window_limit_(jobs + 1) {}

    void worker(unsigned index)
    {
        std::unique_lock lock(mutex_);
        while (!all_handed_out()) {
            if (run_a_task(lock, index) || open_a_movie(lock))
                continue;
            changed_.wait(lock);
        }
    }

    // The calling thread's part: prints every movie's lines in order and closes it.
    void print_in_order()
    {
        for (size_t movie = 0; movie < count_; ++movie) {
            const size_t tasks = print_when_ready([&] { return !window_.empty() && window_.front().opened; },
                                                  [&] { return std::move(window_.front().open_lines); });
            for (size_t task = 0; task < tasks; ++task)
                print_when_ready([&] { return window_.front().done[task] != 0; },
                                 [&] { return std::move(window_.front().task_lines[task]); });
            work_.close(movie);
            std::lock_guard lock(mutex_);
            window_.pop_front();
            ++first_;
            changed_.notify_all();
        }
    }

private:
    struct OpenMovie {
        bool opened = false;
        size_t tasks = 0;
        size_t handed_out = 0;
        DebugLines open_lines;
        std::vector<DebugLines> task_lines;
        std::vector<char> done;
    };

    // Waits until `ready`, takes the lines and prints them outside the lock; returns the
    // front movie's task count.
    template <typename Ready, typename Take>
    size_t print_when_ready(Ready ready, Take take)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, ready);
        DebugLines lines = take();
        const size_t tasks = window_.front().tasks;
        lock.unlock();
        debug_emit(std::move(lines));
        return tasks;
    }

    bool all_handed_out() const
    {
        if (next_open_ < count_)
            return false;
        for (const OpenMovie& movie : window_)
            if (!movie.opened || movie.handed_out < movie.tasks)
                return false;
        return true;
    }

    // The first task not yet handed out, oldest movie first; false when there is none.
    bool run_a_task(std::unique_lock<std::mutex>& lock, unsigned index)
    {
        for (size_t at = 0; at < window_.size(); ++at) {
            OpenMovie& open = window_[at];
            if (!open.opened || open.handed_out == open.tasks)
                continue;
            const size_t movie = first_ + at;
            const size_t task = open.handed_out++;
            lock.unlock();
            DebugLines lines;
            {
                DebugCapture capture;
                work_.work(movie, task, index);
                lines = capture.take();
            }
            lock.lock();
            OpenMovie& same = window_[movie - first_];  // the deque may have moved meanwhile
            same.task_lines[task] = std::move(lines);
            same.done[task] = 1;
            changed_.notify_all();
            return true;
        }
        return false;
    }

    // Opens the next movie when the window has room; false when it has none or all are open.
    bool open_a_movie(std::unique_lock<std::mutex>& lock)
    {
        if (next_open_ == count_ || window_.size() >= window_limit_)
            return false;
        const size_t movie = next_open_++;
        window_.emplace_back();
        lock.unlock();
        size_t tasks = 0;
        DebugLines lines;
        {
            DebugCapture capture;
            tasks = work_.open(movie);
            lines = capture.take();
        }
        lock.lock();
        OpenMovie& open = window_[movie - first_];
        open.opened = true;
        open.tasks = tasks;
        open.open_lines = std::move(lines);
        open.task_lines.resize(tasks);
        open.done.assign(tasks, 0);
        changed_.notify_all();
        return true;
    }

    MovieWork& work_;
    const size_t count_;
    const size_t window_limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<OpenMovie> window_;  // movies first_ to next_open_ - 1, not yet closed
    size_t first_ = 0;
    size_t next_open_ = 0;
};

}  // namespace

void run_movies(MovieWork& work, size_t count, unsigned jobs)
{
    if (jobs <= 1) {
        run_in_order(work, count);
        return;
    }
    Scheduler scheduler(work, count, jobs);
    std::vector<std::thread> workers;
    try {
        for (unsigned i = 0; i < jobs; ++i)
            workers.emplace_back([&scheduler, i] { scheduler.worker(i); });
    } catch (const std::system_error&) {
        // The system gives no more threads (a process or memory limit): fewer workers do.
    }
    if (workers.empty()) {
        run_in_order(work, count);
        return;
    }
    scheduler.print_in_order();
    for (std::thread& thread : workers)
        thread.join();
}
