#include "cli/edit_tool.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "cli/driver.h"
#include "cli/version.h"
#include "codec/image.h"
#include "platform/platform.h"
#include "support/debug.h"
#include "swf/character_ids.h"
#include "swf/edit.h"
#include "swf/swf.h"
#include "swf/symbols.h"
#include "swf/writer.h"

namespace {

constexpr const char kUsage[] =
    "usage: pixsieve-edit IN.swf OUT.swf [--replace] [--small] [--add NAME IMAGE]... [--fws | --cws | --zws]\n"
    "  --replace         rebuild bitmaps from IN.swf_res/<id>.png (else .jpg, else .gif)\n"
    "  --small           store lossless bitmaps as JPEG with alpha where that is smaller\n"
    "  --add NAME IMAGE  add IMAGE (PNG, JPEG or BMP) as a bitmap with a free id and class NAME\n"
    "  --fws/--cws/--zws container of OUT.swf (default: the container of IN.swf)\n"
    "  -h, --help        print this text and exit\n"
    "  --version         print the version and exit\n"
    "Steps run in the order replace, small, add. IN.swf is never modified.\n"
    "exit status: 0 done, 1 failed (with a line on standard error), 2 wrong arguments\n";

// -h and --version answer at once, whatever else the command line holds (the two values
// of --add are names, not options).
bool answer_help_or_version(const std::vector<std::string>& args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--add") {
            i += 2;
            continue;
        }
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            return true;
        }
        if (a == "--version") {
            std::printf("pixsieve-edit %s\n", kPixsieveVersion);
            return true;
        }
    }
    return false;
}

void fail(const char* format, ...) __attribute__((format(PIXSIEVE_PRINTF_FORMAT, 1, 2)));

// Paths in the message are printed with their control bytes escaped, as in every line.
void fail(const char* format, ...)
{
    std::fflush(stdout);
    va_list args, measure;
    va_start(args, format);
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    try {
        std::string message(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
        std::vsnprintf(message.data(), message.size(), format, args);
        message.pop_back();
        console_print(stderr, "pixsieve-edit: %s\n", printable_text(message).c_str());
    } catch (const std::bad_alloc&) {
        std::fputs("pixsieve-edit: out of memory\n", stderr);
    }
    va_end(args);
}

// Writes the names table as one SymbolClass tag and keeps the movie's End tag last,
// so added bitmaps and their names survive in a well-formed movie.
void finish_additions(Swf* swf, SwfTag* end_tag)
{
    swf_write_symbols(swf, swf_append_tag(swf, kTagSymbolClass));
    if (end_tag != nullptr)
        swf_move_tag_to_end(swf, end_tag);
}

struct OwnedStream {
    Stream s{};
    ~OwnedStream() { stream_clear(&s); }
};

// Writes OUT durably through a temporary beside it; 0, or 1 with a line.
int save(Swf* swf, const std::string& out, char container)
{
    if (int stale = platform_remove_stale_temporaries(out.c_str()))
        console_print(stdout, "pixsieve-edit: removed %d temporary file(s) an interrupted save of %s left behind\n",
                      stale, out.c_str());
    OwnedStream file;
    if (swf_build_file(swf, container, &file.s) != Fault::none) {
        fail("cannot write %s: the movie cannot be built", out.c_str());
        return 1;
    }
    WriteStatus status = platform_save_file_durably(out.c_str(), {file.s.buf, file.s.len});
    if (status != WriteStatus::ok) {
        fail("cannot write %s: %s", out.c_str(), platform_write_status_text(status));
        return 1;
    }
    return 0;
}

// Reports what a walk changed; false (with a line) when some bitmap could not be done.
bool report(const char* step, EditCount counts, const std::string& out)
{
    std::printf("pixsieve-edit: %s: %u bitmap(s) changed\n", step, counts.changed);
    if (counts.failed == 0)
        return true;
    fail("%s: %u bitmap(s) could not be done (see the lines above); %s not written", step, counts.failed, out.c_str());
    return false;
}

// Adds each picture under a character id no other character has; false with a line.
bool add_images(Swf* swf, const EditOptions& options, std::vector<std::string>& names, ImageContext* images)
{
    names.reserve(options.adds.size());  // the names table keeps pointers into these
    for (const auto& [name, image] : options.adds) {
        names.push_back(name);  // UTF-8, as the movie stores names
        const Result<uint16_t> id = swf_free_character_id(swf);
        if (!id.ok()) {
            fail("cannot add %s: every character id up to 65535 is taken", image.c_str());
            return false;
        }
        if (swf_add_image(swf, names.back().c_str(), image.c_str(), images, id.value) == nullptr) {
            fail("cannot add %s", image.c_str());
            return false;
        }
        console_print(stdout, "pixsieve-edit: added %s as character %u\n", image.c_str(), unsigned{id.value});
    }
    return true;
}

int run(const EditOptions& options)
{
    if (platform_same_file(options.in.c_str(), options.out.c_str())) {
        fail("OUT names the same file as IN (%s); IN is never modified", options.in.c_str());
        return 1;
    }
    if (!platform_regular_or_absent(options.out.c_str())) {
        fail("OUT (%s) is not a regular file (a link, folder, device or FIFO); it is left alone", options.out.c_str());
        return 1;
    }
    SwfPtr swf(swf_readfile(options.in.c_str()));
    if (!swf) {
        fail("cannot load %s", options.in.c_str());
        return 1;
    }
    ImageContext images;  // decoder state for the pictures this edit reads
    if (options.replace && !report("replace", swf_replace(swf.get(), &images), options.out))
        return 1;
    if (options.small && !report("small", swf_small(swf.get()), options.out))
        return 1;
    std::vector<std::string> names;
    SwfTag* end_tag = swf_last_tag(swf.get());
    if (end_tag != nullptr && end_tag->code != kTagEnd)
        end_tag = nullptr;
    if (!add_images(swf.get(), options, names, &images))
        return 1;
    if (!options.adds.empty())
        finish_additions(swf.get(), end_tag);

    char container = swf_container(swf.get());
    switch (options.container) {
    case SaveContainer::fws: container = 'F'; break;
    case SaveContainer::cws: container = 'C'; break;
    case SaveContainer::zws: container = 'Z'; break;
    case SaveContainer::same: break;
    }
    int status = save(swf.get(), options.out, container);
    if (status == 0)
        console_print(stdout, "pixsieve-edit: wrote %s\n", options.out.c_str());
    return status;
}

}  // namespace

bool parse_edit_options(const std::vector<std::string>& args, EditOptions* options)
{
    std::vector<std::string> paths;
    int containers = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--replace") {
            options->replace = true;
        } else if (a == "--small") {
            options->small = true;
        } else if (a == "--add") {
            if (i + 2 >= args.size())
                return false;
            options->adds.emplace_back(args[i + 1], args[i + 2]);
            i += 2;
        } else if (a == "--fws" || a == "--cws" || a == "--zws") {
            options->container = a == "--fws"   ? SaveContainer::fws
                                 : a == "--cws" ? SaveContainer::cws
                                                : SaveContainer::zws;
            containers++;
        } else if (a.rfind("--", 0) == 0) {
            return false;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.size() != 2 || containers > 1 || paths[0].empty() || paths[1].empty())
        return false;
    options->in = paths[0];
    options->out = paths[1];
    return true;
}

int pixsieve_edit_main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (answer_help_or_version(args))
        return 0;
    EditOptions options;
    if (!parse_edit_options(args, &options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    app_init();
    try {
        return run(options);
    } catch (const std::bad_alloc&) {
        fail("out of memory; %s not written", options.out.c_str());
        return 1;
    }
}
