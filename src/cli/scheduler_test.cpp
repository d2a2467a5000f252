// The scheduler under several workers: every task runs once, lines come out in order, the
// number of open movies stays bounded; and the tool itself gives the same output and files
// for every number of workers. Named Threads* so make test-tsan runs them.
#include "cli/scheduler.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "cli/driver.h"
#include "seed_media.h"
#include "support/debug.h"
#include "test_util.h"

namespace {

// Movie m has m % 5 tasks (so some have none); each step prints a line naming itself and
// some steps take a while, so workers finish out of order.
class CountingWork : public MovieWork {
public:
    explicit CountingWork(size_t movies) : task_runs_(movies) {}

    // Every seventh movie weighs ten of the others.
    uint64_t weight(size_t movie) override { return movie % 7 == 3 ? 100 : 10; }

    size_t open(size_t movie) override
    {
        raise_to(most_open_, ++open_);
        raise_to(most_weight_open_, weight_open_ += static_cast<int>(weight(movie)));
        DEBUG_LINE("test", "open %zu", movie);
        const size_t tasks = movie % 5;
        std::lock_guard lock(mutex_);
        task_runs_[movie].assign(tasks, 0);
        return tasks;
    }

    void work(size_t movie, size_t task, unsigned worker) override
    {
        if ((movie + task) % 3 == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        DEBUG_LINE("test", "task %zu.%zu", movie, task);
        std::lock_guard lock(mutex_);
        task_runs_[movie][task]++;
        workers_.insert(worker);
        threads_.insert(std::this_thread::get_id());
    }

    void close(size_t movie) override
    {
        DEBUG_LINE("test", "close %zu", movie);
        --open_;
        weight_open_ -= static_cast<int>(weight(movie));
        closing_threads_.insert(std::this_thread::get_id());
    }

    // What a run in order prints.
    static std::string expected(size_t movies)
    {
        std::string text;
        for (size_t m = 0; m < movies; ++m) {
            text += "open " + std::to_string(m) + "\n";
            for (size_t t = 0; t < m % 5; ++t)
                text += "task " + std::to_string(m) + "." + std::to_string(t) + "\n";
            text += "close " + std::to_string(m) + "\n";
        }
        return text;
    }

    std::mutex mutex_;
    std::vector<std::vector<int>> task_runs_;
    std::set<unsigned> workers_;
    std::set<std::thread::id> threads_;
    std::set<std::thread::id> closing_threads_;  // close runs on the printing thread only
    std::atomic<int> open_{0};
    std::atomic<int> most_open_{0};
    std::atomic<int> weight_open_{0};
    std::atomic<int> most_weight_open_{0};

private:
    static void raise_to(std::atomic<int>& most, int now)
    {
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
    }
};

// The message part of each line, without "[DEBUG] test:NN <function>: ".
std::string messages(const std::string& output)
{
    std::string text;
    for (const std::string& line : testkit::split_lines(output)) {
        const size_t at = line.find(">: ");
        text += (at == std::string::npos ? line : line.substr(at + 3)) + "\n";
    }
    return text;
}

TEST(ThreadsScheduler, EveryTaskOnceAndLinesInOrderForAnyNumberOfWorkers)
{
    constexpr size_t kMovies = 60;
    for (unsigned jobs : {1u, 2u, 3u, 8u}) {
        CountingWork work(kMovies);
        const std::string output = testkit::capture_stdout([&] { run_movies(work, kMovies, jobs); });
        EXPECT_EQ(messages(output), CountingWork::expected(kMovies)) << jobs << " jobs";
        for (size_t m = 0; m < kMovies; ++m)
            EXPECT_EQ(work.task_runs_[m], std::vector<int>(m % 5, 1)) << "movie " << m << ", " << jobs << " jobs";
        EXPECT_LE(work.most_open_.load(), static_cast<int>(jobs) + 1) << jobs << " jobs";
        EXPECT_EQ(work.closing_threads_, std::set<std::thread::id>{std::this_thread::get_id()});
        for (unsigned worker : work.workers_)
            EXPECT_LT(worker, jobs);
        if (jobs == 1) {
            EXPECT_EQ(work.threads_, std::set<std::thread::id>{std::this_thread::get_id()});
            EXPECT_EQ(work.most_open_.load(), 1);
        } else {
            EXPECT_EQ(work.threads_.count(std::this_thread::get_id()), 0u) << "tasks run on the workers";
        }
    }
}

// Light movies open side by side up to the budget; a heavy one opens only alone.
TEST(ThreadsScheduler, OpenMoviesStayWithinTheMemoryBudget)
{
    constexpr size_t kMovies = 60;
    CountingWork work(kMovies);
    const std::string output = testkit::capture_stdout([&] { run_movies(work, kMovies, 8, 40); });
    EXPECT_EQ(messages(output), CountingWork::expected(kMovies));
    EXPECT_LE(work.most_weight_open_.load(), 100);
    EXPECT_GE(work.most_open_.load(), 2) << "light movies still open side by side";
}

TEST(ThreadsScheduler, NoMoviesAndMoviesWithoutTasks)
{
    CountingWork none(0);
    EXPECT_EQ(testkit::capture_stdout([&] { run_movies(none, 0, 4); }), "");
    CountingWork empty(1);  // movie 0 has no tasks
    EXPECT_EQ(messages(testkit::capture_stdout([&] { run_movies(empty, 1, 4); })), "open 0\nclose 0\n");
}

TEST(ThreadsDebugCapture, LinesAreKeptPerThreadAndNest)
{
    DebugLines outer_lines;
    DebugLines inner_lines;
    const std::string printed = testkit::capture_stdout([&] {
        DEBUG_LINE("test", "printed");
        DebugCapture outer;
        DEBUG_PROBLEM("test", "outer");
        {
            DebugCapture inner;
            DEBUG_LINE("test", "inner");
            std::thread([] { DEBUG_LINE("test", "other thread"); }).join();
            inner_lines = inner.take();
        }
        outer_lines = outer.take();
    });
    EXPECT_EQ(messages(printed), "printed\nother thread\n");
    ASSERT_EQ(outer_lines.size(), 1u);
    EXPECT_EQ(outer_lines[0].kind, DebugKind::problem);
    ASSERT_EQ(inner_lines.size(), 1u);
    EXPECT_EQ(messages(inner_lines[0].text), "inner\n");
    EXPECT_EQ(messages(testkit::capture_stdout([&] { debug_emit(outer_lines); })), "outer\n");
}

// The tool in this process, as its main calls it.
struct ToolRun {
    int status;
    std::string output;
    std::map<std::string, std::string> files;
};

ToolRun run_tool(const std::vector<std::string>& options)
{
    namespace fs = std::filesystem;
    testkit::TempDir dir("threads");
    EXPECT_TRUE(swfkit::write_mixed_movies(dir.path()));
    std::vector<std::string> args = {"pixsieve"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--");
    args.push_back(dir.path());
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    ToolRun run{};
    run.output = testkit::capture_stdout(
        [&] { run.status = pixsieve_main(static_cast<int>(argv.size()), argv.data()); });
    debug_set_quiet(false);
    for (const auto& entry : fs::recursive_directory_iterator(dir.path()))
        if (entry.is_regular_file())
            run.files[fs::relative(entry.path(), dir.path()).generic_string()] = testkit::read_file(
                entry.path().string());
    // The lines name the movies by path: make them independent of the folder's place.
    for (size_t at; (at = run.output.find(dir.path())) != std::string::npos;)
        run.output.replace(at, dir.path().size(), "DIR");
    return run;
}

TEST(ThreadsExtraction, SameLinesFilesAndStatusAsOneWorker)
{
    for (const char* quiet : {"-j", "-qj"}) {
        const ToolRun one = run_tool({std::string(quiet) + "1"});
        EXPECT_EQ(one.status, 1);
        EXPECT_FALSE(one.output.empty());
        for (const char* jobs : {"2", "8"}) {
            const ToolRun many = run_tool({std::string(quiet) + jobs});
            EXPECT_EQ(many.status, one.status) << quiet << jobs;
            EXPECT_EQ(many.output, one.output) << quiet << jobs;
            EXPECT_EQ(many.files, one.files) << quiet << jobs;
        }
    }
}

}  // namespace
