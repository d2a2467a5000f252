#include "cli/driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string_view>

#include "cli/progress.h"
#include "cli/scheduler.h"
#include "cli/version.h"
#include "codec/image.h"
#include "codec/jpeg_decoder.h"
#include "codec/png.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "swf/extract.h"
#include "swf/res_folder.h"
#include "swf/swf.h"

namespace {

// Four lines: tool name (extract the pictures in a swf), usage, "or drag several swf files
// onto the icon", then the credit line.
constexpr const char kUsage[] = "工具名称：提取swf中的图片\n"
                                "使用说明：pixsieve.exe a.swf b.swf c.swf\n"
                                "(或可直接拖动多个swf到图标上)\n"
                                "---by pixsieve(https://pixsieve.invalid)";

constexpr const char kHelp[] =
    "usage: pixsieve [OPTIONS] PATH...\n"
    "Writes the bitmaps of SWF movies (FWS, CWS, ZWS) as PNG and JPEG files. A PATH is a movie\n"
    "or a folder; a folder means every .swf file below it (any letter case, in name order,\n"
    "links not followed). Each movie's bitmaps go to the folder \"<movie>_res\" beside it.\n"
    "\n"
    "options:\n"
    "  -o, --output DIR  write each movie's folder under DIR instead, keeping the path below\n"
    "                    a folder argument (DIR/sub/intro.swf_res); DIR is made if missing\n"
    "  -q, --quiet       print only the lines that report a problem on standard output\n"
    "  -j, --jobs N      use N workers (1 to 256; default: the processors online)\n"
    "  -h, --help        print this text and exit\n"
    "      --version     print the version and exit\n"
    "  --                end of options: every later argument is a PATH\n"
    "\n"
    "A one-line summary goes to standard error at the end; on a terminal, long runs show a\n"
    "progress bar there.\n"
    "\n"
    "exit status:\n"
    "  0  every movie was read and every bitmap file written\n"
    "  1  a movie could not be read\n"
    "  2  wrong arguments; nothing was extracted\n"
    "  3  a bitmap could not be written, or a movie not done for lack of memory\n";

// --- options ---

bool parse_jobs(const std::string& text, unsigned* jobs)
{
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned value = static_cast<unsigned>(std::stoul(text));
    if (value < 1 || value > kMaxJobs)
        return false;
    *jobs = value;
    return true;
}

// Applies one option that takes a value; false with `error` set when the value is bad.
bool apply_value(char option, const std::string& value, DriverOptions* options, std::string* error)
{
    if (option == 'o') {
        if (value.empty()) {
            *error = "option -o needs a folder name";
            return false;
        }
        options->output = value;
        return true;
    }
    if (!parse_jobs(value, &options->jobs)) {
        *error = "option -j wants a number from 1 to " + std::to_string(kMaxJobs) + ", not '" + value + "'";
        return false;
    }
    return true;
}

// "--name" or "--name=value". `next` is the argument after it, taken as the value when
// the option needs one and none is attached; *used_next says whether it was.
bool parse_long(const std::string& arg, const std::string* next, bool* used_next, DriverOptions* options,
                std::string* error)
{
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const bool attached = equals != std::string::npos;
    if (name == "quiet" || name == "help" || name == "version") {
        if (attached) {
            *error = "option --" + name + " takes no value";
            return false;
        }
        options->quiet |= name == "quiet";
        options->help |= name == "help";
        options->version |= name == "version";
        return true;
    }
    if (name != "output" && name != "jobs") {
        *error = "unknown option '" + arg + "'";
        return false;
    }
    if (!attached && next == nullptr) {
        *error = "option --" + name + " needs a value";
        return false;
    }
    *used_next = !attached;
    return apply_value(name[0], attached ? arg.substr(equals + 1) : *next, options, error);
}

// "-qh", "-j4", "-o DIR": flags may be grouped; a value follows its letter or comes next.
bool parse_short(const std::string& arg, const std::string* next, bool* used_next, DriverOptions* options,
                 std::string* error)
{
    for (size_t i = 1; i < arg.size(); ++i) {
        const char letter = arg[i];
        if (letter == 'q' || letter == 'h') {
            options->quiet |= letter == 'q';
            options->help |= letter == 'h';
            continue;
        }
        if (letter != 'o' && letter != 'j') {
            *error = std::string("unknown option '-") + letter + "'";
            return false;
        }
        if (i + 1 < arg.size())
            return apply_value(letter, arg.substr(i + 1), options, error);
        if (next == nullptr) {
            *error = std::string("option -") + letter + " needs a value";
            return false;
        }
        *used_next = true;
        return apply_value(letter, *next, options, error);
    }
    return true;
}

// --- collecting the jobs ---

bool is_separator(char c) { return c == '/' || platform_is_separator(c); }

std::string join(const std::string& folder, const std::string& name)
{
    if (folder.empty() || is_separator(folder.back()))
        return folder + name;
    return folder + kPathSeparator + name;
}

std::string file_name_of(const std::string& path)
{
    auto last = std::find_if(path.rbegin(), path.rend(), is_separator);
    return std::string(last.base(), path.end());
}

char fold_ascii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool has_movie_extension(const std::string& name)
{
    constexpr std::string_view kExtension = ".swf";
    if (name.size() <= kExtension.size())
        return false;
    const std::string_view tail = std::string_view(name).substr(name.size() - kExtension.size());
    return std::equal(tail.begin(), tail.end(), kExtension.begin(), [](char a, char b) { return fold_ascii(a) == b; });
}

// Name order as a user reads it: letter case aside, then byte order to settle ties.
bool name_before(const PlatformDirEntry& a, const PlatformDirEntry& b)
{
    const auto folded_less = [](char x, char y) {
        return static_cast<unsigned char>(fold_ascii(x)) < static_cast<unsigned char>(fold_ascii(y));
    };
    if (std::lexicographical_compare(a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), folded_less))
        return true;
    if (std::lexicographical_compare(b.name.begin(), b.name.end(), a.name.begin(), a.name.end(), folded_less))
        return false;
    return a.name < b.name;
}

class JobCollector {
public:
    JobCollector(const DriverOptions& options, RunTotals* totals) : options_(options), totals_(totals) {}

    void add_path(const std::string& path)
    {
        if (platform_is_dir(path.c_str()))
            add_folder(path, "");
        else
            add_movie(path, file_name_of(path));
    }

    std::vector<ExtractJob> take() { return std::move(jobs_); }

private:
    // `below` is the movie's path relative to the folder argument it was found in.
    void add_movie(const std::string& movie, const std::string& below)
    {
        std::string folder = options_.output.empty() ? movie + "_res" : join(options_.output, below + "_res");
        if (!options_.output.empty())
            folder = unshared(folder, movie);
        // A movie named twice (or reached twice, as "m.swf" and "./m.swf") is done once: its
        // folder is the same, and only one movie ever writes into a folder.
        if (!folders_done_.insert(key_of(full_path(folder))).second)
            return;
        jobs_.push_back({movie, folder});
    }

    static std::string full_path(const std::string& path)
    {
        std::string full(kMaxPath, '\0');
        if (!platform_full_path(path.c_str(), full.data(), full.size()))
            return path;
        full.resize(std::char_traits<char>::length(full.c_str()));
        return full;
    }

    // `below` is the folder's path relative to the folder argument, with a trailing separator.
    void add_folder(const std::string& folder, const std::string& below)
    {
        std::vector<PlatformDirEntry> entries;
        if (!platform_list_folder(folder.c_str(), &entries)) {
            DEBUG_PROBLEM("main", "cannot list folder %s", folder.c_str());
            totals_->movies_refused++;
            return;
        }
        std::sort(entries.begin(), entries.end(), name_before);
        for (const PlatformDirEntry& entry : entries) {
            if (entry.is_link)
                continue;  // a link may lead out of the tree or around in a loop
            const std::string path = join(folder, entry.name);
            if (entry.is_dir)
                add_folder(path, below + entry.name + kPathSeparator);
            else if (has_movie_extension(entry.name))
                add_movie(path, below + entry.name);
        }
    }

    // Two movies of one name from different places must not write into one folder.
    std::string unshared(const std::string& folder, const std::string& movie)
    {
        std::string chosen = folder;
        for (int n = 2;; ++n) {
            auto [owner, fresh] = owners_.try_emplace(key_of(chosen), movie);
            if (fresh || owner->second == movie || platform_same_file(owner->second.c_str(), movie.c_str()))
                break;
            chosen = folder.substr(0, folder.size() - 4) + "~" + std::to_string(n) + "_res";
        }
        if (chosen != folder)
            DEBUG_PROBLEM("main", "%s: output folder %s is taken by another movie; using %s", movie.c_str(),
                          folder.c_str(), chosen.c_str());
        return chosen;
    }

    static std::string key_of(std::string folder)
    {
        if (kNamesIgnoreCase)
            std::transform(folder.begin(), folder.end(), folder.begin(), fold_ascii);
        return folder;
    }

    const DriverOptions& options_;
    RunTotals* totals_;
    std::vector<ExtractJob> jobs_;
    std::map<std::string, std::string> owners_;  // output folder -> the movie writing there
    std::set<std::string> folders_done_;         // the output folders of the jobs so far, as full paths
};

// --- processing ---

// The movie bodies held at once with several workers: small movies still run side by side,
// while a large one runs alone, so the peak memory of a run is about its largest movie.
constexpr uint64_t kMovieMemoryBudget = uint64_t{512} << 20;

// Creates any missing folders above `folder`, then the folder itself by the same rule the
// extraction writes by (a link or a file there is refused, with its line). Something
// already bearing a parent's name counts as there: what cannot be used shows when the
// files are written.
void make_folders(const std::string& folder)
{
    for (size_t at = 1; at < folder.size(); ++at) {
        if (!is_separator(folder[at]) || is_separator(folder[at - 1]) || folder[at - 1] == ':')
            continue;
        const std::string parent = folder.substr(0, at);
        if (!platform_exists(parent.c_str()))
            platform_make_dir(parent.c_str());
    }
    res_dir_create(folder);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* plural(uint32_t n) { return n == 1 ? "" : "s"; }

void print_summary(const RunTotals& t, double seconds)
{
    std::fflush(stdout);
    char failed[64] = "";
    if (t.movies_failed > 0)
        std::snprintf(failed, sizeof failed, ", %u not done for lack of memory", t.movies_failed);
    std::fprintf(stderr,
                 "pixsieve: %u movie%s read, %u refused%s; %u bitmap%s written, %u skipped; "
                 "%u file%s could not be written; %.2f s\n",
                 t.movies_read, plural(t.movies_read), t.movies_refused, failed, t.bitmaps_written,
                 plural(t.bitmaps_written), t.bitmaps_skipped, t.failed_writes, plural(t.failed_writes), seconds);
}

// The extraction of a run's movies as the scheduler sees it: opening a movie loads it and
// plans its bitmaps, one task is one bitmap, closing prints the movie's last line, adds
// its figures to the totals and releases it.
class MovieExtraction : public MovieWork {
public:
    MovieExtraction(const std::vector<ExtractJob>& jobs, unsigned workers, RunTotals* totals, ProgressBar* bar)
        : jobs_(jobs), movies_(jobs.size()), images_(workers), totals_(totals), bar_(bar)
    {
        // Several workers open movies side by side; the scheduler weighs each by its header
        // first. One worker opens one movie at a time and needs no weights.
        if (workers > 1) {
            estimates_.resize(jobs.size());
            for (size_t movie = 0; movie < jobs.size(); ++movie) {
                uint8_t header[kHeaderSize];
                const size_t got = platform_read_file_start(jobs[movie].movie.c_str(), header);
                estimates_[movie] = swf_claimed_body_size({header, got});
            }
        }
    }

    uint64_t weight(size_t movie) override
    {
        const Movie& m = movies_[movie];
        if (m.opened)
            return m.swf ? m.swf->body.len : 0;
        return movie < estimates_.size() ? estimates_[movie] : 0;
    }

    size_t open(size_t movie) override
    {
        Movie& m = movies_[movie];
        size_t tasks = 0;
        try {
            tasks = load_and_plan(jobs_[movie], m);
        } catch (const std::bad_alloc&) {
            m = Movie{};
            m.out_of_memory = true;
        }
        m.opened = true;
        return tasks;
    }

    void work(size_t movie, size_t task, unsigned worker) override
    {
        Movie& m = movies_[movie];
        std::unique_ptr<ImageContext>& images = images_[worker];
        if (!images)
            images.reset(new (std::nothrow) ImageContext);
        if (images)
            m.outcomes[task] = swf_extract_bitmap(*m.plan, task, images.get());
        else
            DEBUG_PROBLEM("main", "out of memory for a decoder, a bitmap of %s not written",
                          jobs_[movie].movie.c_str());
    }

    void close(size_t movie) override
    {
        Movie& m = movies_[movie];
        if (m.out_of_memory) {
            DEBUG_PROBLEM("main", "out of memory loading %s, movie not done", jobs_[movie].movie.c_str());
            totals_->movies_failed++;
        } else if (!m.swf) {
            totals_->movies_refused++;
        } else {
            totals_->movies_read++;
            if (m.plan) {
                swf_extract_done();
                ExtractCounts counts;
                for (BitmapOutcome outcome : m.outcomes)
                    add_outcome(&counts, outcome);
                totals_->bitmaps_written += counts.written;
                totals_->bitmaps_skipped += counts.skipped;
                totals_->failed_writes += counts.failed_writes;
            }
        }
        m = Movie{};  // the plan goes before the movie it points into
        std::fflush(stdout);
        try {
            bar_->update(movie + 1, totals_->bitmaps_written);
        } catch (const std::bad_alloc&) {
            // The bar is drawn again with the next movie.
        }
    }

private:
    struct Movie {
        SwfPtr swf;
        std::unique_ptr<ExtractPlan> plan;
        std::vector<BitmapOutcome> outcomes;
        bool out_of_memory = false;  // not done: the memory ran out while loading or planning
        bool opened = false;
    };

    // Loads the movie and plans its bitmaps; the number of bitmaps to do.
    size_t load_and_plan(const ExtractJob& job, Movie& m)
    {
        Result<SwfPtr> loaded = swf_load_file(job.movie.c_str());
        m.out_of_memory = loaded.fault == Fault::out_of_memory;
        m.swf = std::move(loaded.value);
        if (!m.swf)
            return 0;
        if (job.folder.size() >= kMaxPath) {
            DEBUG_PROBLEM("main", "path too long for an output folder: %s", job.folder.c_str());
            return 0;
        }
        make_folders(job.folder);
        m.plan = std::make_unique<ExtractPlan>(swf_extract_plan(m.swf.get(), job.folder, 1));
        // Until a bitmap's work says otherwise it was not written.
        m.outcomes.assign(m.plan->bitmaps.size(), BitmapOutcome::write_failed);
        return m.plan->bitmaps.size();
    }

    const std::vector<ExtractJob>& jobs_;
    std::vector<Movie> movies_;
    std::vector<std::unique_ptr<ImageContext>> images_;  // one per worker, made on first use
    std::vector<uint64_t> estimates_;                    // what each movie's header claims, with several workers
    RunTotals* totals_;
    ProgressBar* bar_;
};

int run(const DriverOptions& options)
{
    const auto start = std::chrono::steady_clock::now();
    RunTotals totals;
    const std::vector<ExtractJob> jobs = collect_jobs(options, &totals);
    {
        ProgressBar bar(platform_is_terminal(stderr), platform_is_terminal(stdout), jobs.size());
        MovieExtraction extraction(jobs, options.jobs, &totals, &bar);
        run_movies(extraction, jobs.size(), options.jobs, kMovieMemoryBudget);
    }
    print_summary(totals, seconds_since(start));
    return exit_status(totals);
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, DriverOptions* options, std::string* error)
{
    options->jobs = platform_cpu_count();
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            options->paths.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        const std::string* next = i + 1 < args.size() ? &args[i + 1] : nullptr;
        bool used_next = false;
        const bool ok = arg[1] == '-' ? parse_long(arg, next, &used_next, options, error)
                                      : parse_short(arg, next, &used_next, options, error);
        if (!ok)
            return false;
        if (used_next)
            ++i;
    }
    if (options->paths.empty() && !options->help && !options->version) {
        *error = "no movie or folder given";
        return false;
    }
    return true;
}

std::vector<ExtractJob> collect_jobs(const DriverOptions& options, RunTotals* totals)
{
    JobCollector collector(options, totals);
    for (const std::string& path : options.paths)
        collector.add_path(path);
    return collector.take();
}

int exit_status(const RunTotals& totals)
{
    if (totals.movies_refused > 0)
        return 1;
    return totals.failed_writes > 0 || totals.movies_failed > 0 ? 3 : 0;
}

void app_init()
{
    platform_reuse_large_buffers();
    png_init(nullptr, nullptr);
    jpeg_decoder_reset();
}

int pixsieve_main(int argc, char** argv)
{
    if (argc < 2) {
        app_init();
        console_line(kUsage);
        std::fflush(stdout);
        platform_pause();
        return 0;
    }
    DriverOptions options;
    std::string error;
    if (!parse_options(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
        std::fprintf(stderr, "pixsieve: %s (pixsieve --help lists the options)\n", printable_text(error).c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("pixsieve %s\n", kPixsieveVersion);
        return 0;
    }
    app_init();
    debug_set_quiet(options.quiet);
    try {
        return run(options);
    } catch (const std::bad_alloc&) {
        // Only the list of movies itself can get here: every movie and bitmap catches its own.
        std::fflush(stdout);
        std::fputs("pixsieve: out of memory\n", stderr);
        return 3;
    }
}
