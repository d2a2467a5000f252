#include "fuzz_util.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "cli/driver.h"
#include "swf/swf.h"
#include "text/charset.h"

void fuzz_init()
{
    app_init();
    charset_init();  // the tools no longer need the GBK tables; the charset target does
#ifndef PIXSIEVE_FUZZ_IN_TESTS
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::abort();
#endif
}

const std::string& fuzz_scratch()
{
    // Never destroyed: the exit handler that removes the folder runs after static
    // destructors would have.
    static const std::string* folder = [] {
        auto* path = new std::string("/tmp/pixsieve-fuzz-" + std::to_string(getpid()));
        std::filesystem::remove_all(*path);
        std::filesystem::create_directories(*path);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(fuzz_scratch(), ignored);
        });
        return path;
    }();
    return *folder;
}

void fuzz_clean_scratch()
{
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(fuzz_scratch(), ignored))
        std::filesystem::remove_all(entry.path(), ignored);
}

void fuzz_skip_huge_bitmaps(Swf* swf)
{
    constexpr uint64_t kMaxPixels = uint64_t{1} << 20;
    for (SwfTag* tag : swf_tags(swf)) {
        if ((tag->code != kTagDefineBitsLossless && tag->code != kTagDefineBitsLossless2) || tag->body.size() < 7)
            continue;
        const uint8_t* b = tag->body.data();
        uint64_t pixels = uint64_t(b[3] | b[4] << 8) * uint64_t(b[5] | b[6] << 8);
        if (pixels > kMaxPixels)
            tag->code = 2;  // DefineShape
    }
}
