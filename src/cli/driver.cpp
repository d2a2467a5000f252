#include "cli/driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string_view>

#include "cli/json_lines.h"
#include "cli/progress.h"
#include "cli/scheduler.h"
#include "cli/version.h"
#include "codec/image.h"
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
    "  -l, --list        list each movie's bitmaps (id, kind, size, stored bytes, the file\n"
    "                    extraction would write) instead of extracting; nothing is written\n"
    "      --id LIST     take only the bitmaps with these ids: 12,40-45 (repeatable)\n"
    "      --name GLOB   take only the bitmaps whose class name matches the shell pattern\n"
    "                    (* ? [...]; repeatable); a bitmap is taken when any --id or --name\n"
    "                    matches it, and its file name is the one a full run gives it\n"
    "      --json        print JSON Lines instead: one object per bitmap, then a summary;\n"
    "                    problems go to standard error\n"
    "  -j, --jobs N      use N workers (1 to 256; default: the processors online)\n"
    "  -h, --help        print this text and exit\n"
    "      --version     print the version and exit\n"
    "  --                end of options: every later argument is a PATH\n"
    "\n"
    "A one-line summary goes to standard error at the end; on a terminal, long runs show a\n"
    "progress bar there.\n"
    "\n"
    "exit status:\n"
    "  0  every movie was read and every bitmap file written (or listed)\n"
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

// Applies one option that takes a value, named by its first letter; false with `error`
// set when the value is bad.
bool apply_value(char option, const std::string& value, DriverOptions* options, std::string* error)
{
    if (option == 'i') {
        if (selection_add_ids(&options->selection, value))
            return true;
        *error = "option --id wants ids from 0 to 65535 and ranges like 12,40-45, not '" + value + "'";
        return false;
    }
    if (option == 'n') {
        if (selection_add_name(&options->selection, value))
            return true;
        *error = "option --name needs a pattern";
        return false;
    }
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
    if (name == "quiet" || name == "help" || name == "version" || name == "list" || name == "json") {
        if (attached) {
            *error = "option --" + name + " takes no value";
            return false;
        }
        options->quiet |= name == "quiet";
        options->help |= name == "help";
        options->version |= name == "version";
        options->list |= name == "list";
        options->json |= name == "json";
        return true;
    }
    if (name != "output" && name != "jobs" && name != "id" && name != "name") {
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
        if (letter == 'q' || letter == 'h' || letter == 'l') {
            options->quiet |= letter == 'q';
            options->help |= letter == 'h';
            options->list |= letter == 'l';
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

    std::vector<MovieJob> take() { return std::move(jobs_); }

private:
    // `below` is the movie's path relative to the folder argument it was found in.
    void add_movie(const std::string& movie, const std::string& below)
    {
        MovieJob job;
        if (options_.output.empty()) {
            const std::string name = file_name_of(movie);
            job = {movie, res_dir_path(movie), movie.substr(0, movie.size() - name.size()), res_dir_path(name)};
        } else {
            const std::string folder = unshared(below, movie);
            job = {movie, join(options_.output, folder), options_.output, folder};
        }
        // A movie named twice (or reached twice, as "m.swf" and "./m.swf") is done once: its
        // folder is the same, and only one movie ever writes into a folder.
        if (!folders_done_.insert(key_of(full_path(job.folder))).second)
            return;
        jobs_.push_back(std::move(job));
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

    // The output folder for `movie` named after `base`, its path under the output root. Two
    // movies of one name from different places must not write into one folder.
    std::string unshared(const std::string& base, const std::string& movie)
    {
        const std::string folder = res_dir_path(base);
        std::string chosen = folder;
        for (int n = 2;; ++n) {
            auto [owner, fresh] = owners_.try_emplace(key_of(chosen), movie);
            if (fresh || owner->second == movie || platform_same_file(owner->second.c_str(), movie.c_str()))
                break;
            chosen = res_dir_path(base + "~" + std::to_string(n));
        }
        if (chosen != folder)
            DEBUG_PROBLEM("main", "%s: output folder %s is taken by another movie; using %s", movie.c_str(),
                          join(options_.output, folder).c_str(), join(options_.output, chosen).c_str());
        return chosen;
    }

    static std::string key_of(const std::string& folder) { return platform_file_name_key(folder); }

    const DriverOptions& options_;
    RunTotals* totals_;
    std::vector<MovieJob> jobs_;
    std::map<std::string, std::string> owners_;  // output folder -> the movie writing there
    std::set<std::string> folders_done_;         // the output folders of the jobs so far, as full paths
};

// --- processing ---

// The movie bodies held at once with several workers: small movies still run side by side,
// while a large one runs alone, so the peak memory of a run is about its largest movie.
constexpr uint64_t kMovieMemoryBudget = uint64_t{512} << 20;

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

const char* plural(uint32_t n) { return n == 1 ? "" : "s"; }

void print_summary(const RunTotals& t, bool listing, double seconds)
{
    std::fflush(stdout);
    char failed[64] = "";
    if (t.movies_failed > 0)
        std::snprintf(failed, sizeof failed, ", %u not done for lack of memory", t.movies_failed);
    if (listing) {
        std::fprintf(stderr, "pixsieve: %u movie%s read, %u refused%s; %u bitmap%s listed; %.2f s\n", t.movies_read,
                     plural(t.movies_read), t.movies_refused, failed, t.bitmaps_listed, plural(t.bitmaps_listed),
                     seconds);
        return;
    }
    std::fprintf(stderr,
                 "pixsieve: %u movie%s read, %u refused%s; %u bitmap%s written, %u skipped; "
                 "%u file%s could not be written; %.2f s\n",
                 t.movies_read, plural(t.movies_read), t.movies_refused, failed, t.bitmaps_written,
                 plural(t.bitmaps_written), t.bitmaps_skipped, t.failed_writes, plural(t.failed_writes), seconds);
}

// "lossless with alpha", "JPEG with alpha", "GIF": the kind as a listing shows it.
std::string kind_phrase(const BitmapFacts& facts)
{
    std::string phrase = bitmap_kind_name(facts.kind);
    if (facts.alpha && facts.kind != BitmapKind::jpeg_with_alpha)
        phrase += " with alpha";
    return phrase;
}

// One bitmap of a listing: id, kind, width x height, stored bytes, the file.
std::string listing_line(const BitmapPlan& bitmap)
{
    const BitmapFacts& f = bitmap.facts;
    const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
    char line[96];
    std::snprintf(line, sizeof line, "%7u  %-24s %11s %10s  ", f.id, kind_phrase(f).c_str(), size.c_str(),
                  std::to_string(f.stored_bytes).c_str());
    return line + (bitmap.path.empty() ? std::string("-") : bitmap.path);
}

// The extraction of a run's movies as the scheduler sees it: opening a movie loads it and
// plans its bitmaps (and those of the movies inside it), one task is one step of the plan
// (a bitmap, or the lines between movies), closing adds its figures to the totals and
// releases it. A listing is made whole when the movie is opened and has no tasks.
class MovieExtraction : public MovieWork {
public:
    MovieExtraction(const std::vector<MovieJob>& jobs, const DriverOptions& options, RunTotals* totals,
                    ProgressBar* bar)
        : jobs_(jobs), options_(options), movies_(jobs.size()), images_(options.jobs), totals_(totals), bar_(bar)
    {
        // Several workers open movies side by side; the scheduler weighs each by its header
        // first. One worker opens one movie at a time and needs no weights.
        if (options.jobs > 1) {
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
            return m.swf ? m.swf->body.size() : 0;
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
            report_out_of_memory(jobs_[movie].movie);
        }
        m.opened = true;
        return tasks;
    }

    void work(size_t movie, size_t task, unsigned worker) override
    {
        Movie& m = movies_[movie];
        try {
            run_step(m, task, context_of(worker));
        } catch (const std::bad_alloc&) {
            // Only the lines around the step can get here: the step catches its own.
            DEBUG_PROBLEM("main", "out of memory, a bitmap of %s not written", jobs_[movie].movie.c_str());
            if (m.tree->steps[task].kind == ExtractStep::Kind::bitmap)
                m.outcomes[task] = BitmapOutcome::write_failed;
        }
    }

    void close(size_t movie) override
    {
        Movie& m = movies_[movie];
        if (m.out_of_memory) {
            totals_->movies_failed++;
        } else if (!m.swf) {
            totals_->movies_refused++;
        } else {
            totals_->movies_read++;
            totals_->bitmaps_listed += m.listed;
            ExtractCounts counts;
            for (BitmapOutcome outcome : m.outcomes)
                add_outcome(&counts, outcome);
            totals_->bitmaps_written += counts.written;
            totals_->bitmaps_skipped += counts.skipped;
            totals_->failed_writes += counts.failed_writes;
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
        std::unique_ptr<ExtractTree> tree;
        std::vector<BitmapOutcome> outcomes;
        uint32_t listed = 0;
        bool out_of_memory = false;  // not done: the memory ran out while loading or planning
        bool opened = false;
    };

    // Loads the movie and plans its bitmaps; the number of steps to do.
    size_t load_and_plan(const MovieJob& job, Movie& m)
    {
        load(job.movie, &m);
        if (!m.swf)
            return 0;
        m.tree = std::make_unique<ExtractTree>(swf_extract_tree(m.swf.get(), job.folder, 1, options_.selection));
        ExtractTree& tree = *m.tree;
        report_unmatched_selectors(tree, job.movie);
        if (options_.list) {
            m.listed = list(tree);
            return 0;
        }
        // A folder that cannot be used is one line; its bitmaps then count as not written.
        OutputFolder top;
        if (platform_path_units(job.folder) >= kMaxPath)
            DEBUG_PROBLEM("main", "path too long for an output folder: %s", job.folder.c_str());
        else if (options_.selection.takes_all() || tree.selected > 0)
            top = res_dir_open(job.root, job.below, true);
        swf_open_folders(&tree, std::move(top));
        m.outcomes.resize(tree.steps.size(), BitmapOutcome::none);
        return tree.steps.size();
    }

    static void report_out_of_memory(const std::string& movie)
    {
        DEBUG_PROBLEM("main", "out of memory loading %s, movie not done", movie.c_str());
    }

    // The worker's decoder state, made on first use; null when the memory for it ran out.
    ImageContext* context_of(unsigned worker)
    {
        std::unique_ptr<ImageContext>& images = images_[worker];
        if (!images)
            images.reset(new (std::nothrow) ImageContext);
        return images.get();
    }

    void run_step(Movie& m, size_t task, ImageContext* images)
    {
        const ExtractStep& step = m.tree->steps[task];
        if (images == nullptr && step.kind == ExtractStep::Kind::bitmap) {
            DEBUG_PROBLEM("main", "out of memory for a decoder, bitmap not written");
            m.outcomes[task] = BitmapOutcome::write_failed;
            return;
        }
        if (!options_.json) {
            m.outcomes[task] = swf_extract_step(*m.tree, task, images);
            return;
        }
        DebugLines lines;
        {
            DebugCapture capture;
            m.outcomes[task] = swf_extract_step(*m.tree, task, images);
            lines = capture.take();
        }
        const std::string reason = debug_last_problem(lines);
        debug_emit(std::move(lines));
        if (step.kind == ExtractStep::Kind::bitmap) {
            const ExtractPlan& plan = m.tree->movies[step.movie];
            debug_record(
                json_bitmap_line(plan.label, plan.bitmaps[step.bitmap], status_name(m.outcomes[task]), reason));
        }
    }

    static const char* status_name(BitmapOutcome outcome)
    {
        switch (outcome) {
        case BitmapOutcome::written: return "written";
        case BitmapOutcome::skipped: return "skipped";
        case BitmapOutcome::write_failed: return "failed";
        case BitmapOutcome::none: break;
        }
        return nullptr;
    }

    void report_unmatched_selectors(const ExtractTree& tree, const std::string& movie) const
    {
        for (size_t i = 0; i < tree.matched.size(); ++i)
            if (!tree.matched[i])
                DEBUG_PROBLEM("main", "%s matches no bitmap in %s", options_.selection.selectors[i].shown.c_str(),
                              movie.c_str());
    }

    static void read_movie(const std::string& path, Movie* m)
    {
        Result<SwfPtr> loaded = swf_load_file(path.c_str());
        m->swf = std::move(loaded.value);
        m->out_of_memory = loaded.fault == Fault::out_of_memory;
        if (m->out_of_memory)
            report_out_of_memory(path);
    }

    // Loads the movie; a movie that cannot be read is one JSON object too.
    void load(const std::string& path, Movie* m)
    {
        if (!options_.json) {
            read_movie(path, m);
            return;
        }
        DebugLines lines;
        {
            DebugCapture capture;
            read_movie(path, m);
            lines = capture.take();
        }
        const std::string reason = debug_last_problem(lines);
        debug_emit(std::move(lines));
        if (!m->swf)
            debug_record(json_refused_movie_line(path, reason));
    }

    // Every movie of the tree in order: its lines, then (text) its label and one line per
    // selected bitmap, or (JSON) one object per selected bitmap. Returns the bitmaps listed.
    uint32_t list(const ExtractTree& tree) const
    {
        uint32_t listed = 0;
        for (const ExtractPlan& plan : tree.movies) {
            debug_emit(plan.lead_lines);
            if (plan.swf == nullptr)
                continue;
            if (!options_.json)
                debug_record(plan.label);
            for (const BitmapPlan& bitmap : plan.bitmaps) {
                if (!bitmap.selected)
                    continue;
                debug_record(options_.json ? json_bitmap_line(plan.label, bitmap, nullptr, {})
                                           : platform_console_text(listing_line(bitmap), '?'));
                ++listed;
            }
        }
        return listed;
    }

    const std::vector<MovieJob>& jobs_;
    const DriverOptions& options_;
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
    const std::vector<MovieJob> jobs = collect_jobs(options, &totals);
    {
        ProgressBar bar(platform_is_terminal(stderr), platform_is_terminal(stdout), jobs.size());
        MovieExtraction extraction(jobs, options, &totals, &bar);
        run_movies(extraction, jobs.size(), options.jobs, kMovieMemoryBudget);
    }
    const int status = exit_status(totals);
    if (options.json)
        debug_record(json_summary_line(totals, options.list, status));
    print_summary(totals, options.list, seconds_since(start));
    return status;
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

std::vector<MovieJob> collect_jobs(const DriverOptions& options, RunTotals* totals)
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
    platform_start();
    platform_reuse_large_buffers();
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
        console_print(stderr, "pixsieve: %s (pixsieve --help lists the options)\n", printable_text(error).c_str());
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
    debug_set_records_only(options.list || options.json);
    try {
        return run(options);
    } catch (const std::bad_alloc&) {
        // Only the list of movies itself can get here: every movie and bitmap catches its own.
        std::fflush(stdout);
        std::fputs("pixsieve: out of memory\n", stderr);
        return 3;
    }
}
