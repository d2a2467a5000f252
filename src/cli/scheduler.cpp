#include "cli/scheduler.h"

#include <condition_variable>
#include <mutex>
#include <new>
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
    // The slots of the open movies are all made here, so the workers never need memory for
    // the scheduler's own bookkeeping beyond each movie's task list.
    Scheduler(MovieWork& work, size_t count, unsigned jobs, uint64_t budget)
        : work_(work), count_(count), budget_(budget), slots_(size_t{jobs} + 1)
    {
    }

    void worker(unsigned index)
    {
        std::unique_lock lock(mutex_);
        while (!all_handed_out()) {
            if (run_a_task(lock, index) || open_a_movie(lock, index))
                continue;
            changed_.wait(lock);
        }
    }

    // The calling thread's part: prints every movie's lines in order and closes it.
    void print_in_order()
    {
        for (size_t movie = 0; movie < count_; ++movie) {
            OpenMovie& slot = slot_of(movie);
            const size_t tasks = print_when_ready(
                slot, [&] { return next_open_ > movie && slot.opened; }, [&] { return std::move(slot.open_lines); });
            for (size_t task = 0; task < tasks; ++task)
                print_when_ready(
                    slot, [&] { return slot.done[task] != 0; }, [&] { return std::move(slot.task_lines[task]); });
            work_.close(movie);
            std::lock_guard lock(mutex_);
            weight_open_ -= slot.weight;
            slot = OpenMovie{};
            ++first_;
            changed_.notify_all();
        }
    }

private:
    struct OpenMovie {
        bool opened = false;
        size_t tasks = 0;
        size_t handed_out = 0;
        uint64_t weight = 0;  // counted in weight_open_ while the movie is open
        DebugLines open_lines;
        std::vector<DebugLines> task_lines;
        std::vector<char> done;
    };

    OpenMovie& slot_of(size_t movie) { return slots_[movie % slots_.size()]; }

    // Waits until `ready`, takes the lines and prints them outside the lock; returns the
    // movie's task count.
    template <typename Ready, typename Take>
    size_t print_when_ready(const OpenMovie& slot, Ready ready, Take take)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, ready);
        DebugLines lines = take();
        const size_t tasks = slot.tasks;
        lock.unlock();
        debug_emit(std::move(lines));
        return tasks;
    }

    bool all_handed_out()
    {
        if (next_open_ < count_)
            return false;
        for (size_t movie = first_; movie < next_open_; ++movie) {
            const OpenMovie& open = slot_of(movie);
            if (!open.opened || open.handed_out < open.tasks)
                return false;
        }
        return true;
    }

    // The first task not yet handed out, oldest movie first; false when there is none.
    bool run_a_task(std::unique_lock<std::mutex>& lock, unsigned index)
    {
        for (size_t movie = first_; movie < next_open_; ++movie) {
            OpenMovie& open = slot_of(movie);
            if (!open.opened || open.handed_out == open.tasks)
                continue;
            const size_t task = open.handed_out++;
            lock.unlock();
            DebugLines lines;
            {
                DebugCapture capture;
                work_.work(movie, task, index);
                lines = capture.take();
            }
            lock.lock();
            open.task_lines[task] = std::move(lines);  // the slot stays the movie's until it is closed
            open.done[task] = 1;
            changed_.notify_all();
            return true;
        }
        return false;
    }

    // Whether the next movie may be opened: the window has room, and the movie fits the
    // memory budget beside the open ones (or none is open).
    bool may_open_next()
    {
        if (next_open_ == count_ || next_open_ - first_ >= slots_.size())
            return false;
        const uint64_t weight = work_.weight(next_open_);
        return first_ == next_open_ || (weight <= budget_ && weight_open_ <= budget_ - weight);
    }

    // Opens the next movie when it may be; false when it may not or all are open.
    bool open_a_movie(std::unique_lock<std::mutex>& lock, unsigned index)
    {
        if (!may_open_next())
            return false;
        const size_t movie = next_open_++;
        OpenMovie& open = slot_of(movie);
        open.weight = work_.weight(movie);
        weight_open_ += open.weight;
        lock.unlock();
        size_t tasks = 0;
        DebugLines lines;
        {
            DebugCapture capture;
            tasks = work_.open(movie);
            if (!make_task_slots(open, tasks)) {
                // No memory to keep the tasks apart: they run here, one after another,
                // their lines following the movie's own.
                for (size_t task = 0; task < tasks; ++task)
                    work_.work(movie, task, index);
                tasks = 0;
            }
            lines = capture.take();
        }
        lock.lock();
        open.opened = true;
        open.tasks = tasks;
        open.open_lines = std::move(lines);
        // What the movie holds now that it is loaded replaces the estimate.
        const uint64_t held = work_.weight(movie);
        weight_open_ = weight_open_ - open.weight + held;
        open.weight = held;
        changed_.notify_all();
        return true;
    }

    // The per-task lines and flags of a movie (before it is marked opened, so no other thread
    // looks at them yet); false when the memory for them ran out.
    static bool make_task_slots(OpenMovie& open, size_t tasks)
    {
        try {
            open.task_lines.resize(tasks);
            open.done.assign(tasks, 0);
            return true;
        } catch (const std::bad_alloc&) {
            open.task_lines = {};
            open.done = {};
            return false;
        }
    }

    MovieWork& work_;
    const size_t count_;
    const uint64_t budget_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<OpenMovie> slots_;  // movie m lives in slot m % size while open
    size_t first_ = 0;              // the oldest movie not yet closed
    size_t next_open_ = 0;          // movies first_ to next_open_ - 1 are open (or opening)
    uint64_t weight_open_ = 0;
};

}  // namespace

void run_movies(MovieWork& work, size_t count, unsigned jobs, uint64_t memory_budget)
{
    if (jobs <= 1) {
        run_in_order(work, count);
        return;
    }
    std::vector<std::thread> workers;
    try {
        Scheduler scheduler(work, count, jobs, memory_budget);
        try {
            workers.reserve(jobs);
            for (unsigned i = 0; i < jobs; ++i)
                workers.emplace_back([&scheduler, i] { scheduler.worker(i); });
        } catch (const std::exception&) {
            // The system gives no more threads (a process or memory limit): fewer workers do.
        }
        if (!workers.empty()) {
            scheduler.print_in_order();
            for (std::thread& thread : workers)
                thread.join();
            return;
        }
    } catch (const std::bad_alloc&) {
        // Not even the scheduler's slots: one thread does it all.
    }
    run_in_order(work, count);
}
