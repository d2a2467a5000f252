#include "cli/edit_tool.h"

#include <cstdio>
#include <cstring>

#include "cli/driver.h"
#include "cli/version.h"
#include "platform/platform.h"
#include "swf/edit.h"
#include "swf/swf.h"
#include "swf/symbols.h"
#include "swf/writer.h"

namespace {

constexpr const char kUsage[] =
    "usage: pixsieve-edit IN.swf OUT.swf [--replace] [--small] [--add NAME IMAGE]... [--fws | --cws | --zws]\n"
    "  --replace         rebuild bitmaps from IN.swf_res/<id>.png (else <id>.jpg)\n"
    "  --small           store lossless bitmaps as JPEG with alpha where that is smaller\n"
    "  --add NAME IMAGE  add IMAGE (PNG, JPEG or BMP) as a bitmap with id 1000 and class NAME\n"
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

void fail(const char* format, const char* detail)
{
    std::fflush(stdout);
    std::fprintf(stderr, "pixsieve-edit: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\n");
}

// The container byte of the file as it is on disk ('F', 'C' or 'Z').
char stored_container(const char* path)
{
    char signature = 'F';
    if (std::FILE* f = std::fopen(path, "rb")) {
        if (std::fread(&signature, 1, 1, f) != 1)
            signature = 'F';
        std::fclose(f);
    }
    return signature;
}

// Writes the names table as one SymbolClass tag and keeps the movie's End tag last,
// so added bitmaps and their names survive in a well-formed movie.
void finish_additions(Swf* swf, SwfTag* end_tag)
{
    swf_write_symbols(swf, swf_append_tag(swf, TAG_SYMBOL_CLASS));
    if (end_tag != nullptr)
        swf_move_tag_to_end(swf, end_tag);
}

int save(Swf* swf, const EditOptions& options, char container)
{
    std::string temp = platform_temp_path_for(options.out.c_str());
    int ok = 0;
    if (container == 'C')
        ok = swf_save(swf, temp.c_str());
    else if (container == 'Z')
        ok = swf_save_zws(swf, temp.c_str());
    else
        ok = swf_save_fws(swf, temp.c_str());
    if (!ok || !platform_rename(temp.c_str(), options.out.c_str())) {
        platform_remove(temp.c_str());
        fail("cannot write %s", options.out.c_str());
        return 1;
    }
    return 0;
}

int run(const EditOptions& options)
{
    if (platform_same_file(options.in.c_str(), options.out.c_str())) {
        fail("OUT names the same file as IN (%s); IN is never modified", options.in.c_str());
        return 1;
    }
    SwfPtr swf(swf_readfile(options.in.c_str()));
    if (!swf) {
        fail("cannot load %s", options.in.c_str());
        return 1;
    }
    if (options.replace)
        swf_replace(swf.get());
    if (options.small)
        swf_small(swf.get());
    std::vector<std::string> names;  // the names table keeps pointers into these
    names.reserve(options.adds.size());
    SwfTag* end_tag = swf_last_tag(swf.get());
    if (end_tag != nullptr && end_tag->code != TAG_END)
        end_tag = nullptr;
    for (const auto& [name, image] : options.adds) {
        names.push_back(platform_utf8_text(name));  // stored in the movie as UTF-8
        if (swf_add_image(swf.get(), names.back().c_str(), image.c_str()) == nullptr) {
            fail("cannot add %s", image.c_str());
            return 1;
        }
    }
    if (!options.adds.empty())
        finish_additions(swf.get(), end_tag);

    char container = stored_container(options.in.c_str());
    switch (options.container) {
    case SaveContainer::FWS: container = 'F'; break;
    case SaveContainer::CWS: container = 'C'; break;
    case SaveContainer::ZWS: container = 'Z'; break;
    case SaveContainer::Same: break;
    }
    int status = save(swf.get(), options, container);
    if (status == 0)
        std::printf("pixsieve-edit: wrote %s\n", options.out.c_str());
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
            options->container = a == "--fws" ? SaveContainer::FWS : a == "--cws" ? SaveContainer::CWS : SaveContainer::ZWS;
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
    return run(options);
}
