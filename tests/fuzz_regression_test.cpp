// Replays every stored fuzz input through its target, in the plain and the sanitizer
// builds: the inputs under tests/regressions/<target> once crashed, hung or leaked, and
// the seed corpora under fuzz/corpus/<target> cover each parser's normal paths.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fuzz_util.h"
#include "test_util.h"

int swf_extract_fuzz_one(const uint8_t* data, size_t size);
int swf_edit_fuzz_one(const uint8_t* data, size_t size);
int png_read_fuzz_one(const uint8_t* data, size_t size);
int jpeg_decode_fuzz_one(const uint8_t* data, size_t size);
int image_decode_fuzz_one(const uint8_t* data, size_t size);
int charset_fuzz_one(const uint8_t* data, size_t size);
int text_coders_fuzz_one(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

using Entry = int (*)(const uint8_t*, size_t);

struct Target {
    const char* name;
    Entry entry;
};

constexpr Target kTargets[] = {
    {"swf_extract_fuzz", swf_extract_fuzz_one},   {"swf_edit_fuzz", swf_edit_fuzz_one},
    {"png_read_fuzz", png_read_fuzz_one},         {"jpeg_decode_fuzz", jpeg_decode_fuzz_one},
    {"image_decode_fuzz", image_decode_fuzz_one}, {"charset_fuzz", charset_fuzz_one},
    {"text_coders_fuzz", text_coders_fuzz_one},
};

std::vector<fs::path> inputs_in(const fs::path& folder)
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

// Runs every file of the folder through the target; returns how many ran.
size_t replay(const Target& target, const fs::path& folder)
{
    std::vector<fs::path> files = inputs_in(folder);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.string());
        std::string bytes = testkit::read_file(file.string());
        testkit::CapturedStdout capture;  // the targets' debug lines are not the point
        int rv = target.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        capture.take();
        EXPECT_EQ(rv, 0);
    }
    return files.size();
}

class FuzzReplay : public testing::TestWithParam<Target> {
protected:
    static void SetUpTestSuite() { fuzz_init(); }
};

TEST_P(FuzzReplay, SeedsAndRegressionsRunCleanly)
{
    const fs::path source = PIXSIEVE_SOURCE_DIR;
    size_t seeds = replay(GetParam(), source / "fuzz/corpus" / GetParam().name);
    EXPECT_GT(seeds, 0u) << "no seed corpus for " << GetParam().name;
    replay(GetParam(), source / "tests/regressions" / GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& info) { return std::string(info.param.name); });

}  // namespace
