// Replays every stored fuzz input through its target, in the plain and the sanitizer
// builds: the inputs under tests/regressions/<target> once crashed, hung or leaked, and
// the seed corpora under fuzz/corpus/<target> cover each parser's normal paths. Each input
// must not only run cleanly but meet the outcome tests/fuzz_outcomes.txt records for it:
// a seed that stops loading, or a hostile input that starts being accepted, fails here.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fuzz_util.h"
#include "test_util.h"

bool swf_extract_fuzz_one(const uint8_t* data, size_t size);
bool swf_edit_fuzz_one(const uint8_t* data, size_t size);
bool png_read_fuzz_one(const uint8_t* data, size_t size);
bool jpeg_decode_fuzz_one(const uint8_t* data, size_t size);
bool image_decode_fuzz_one(const uint8_t* data, size_t size);
bool charset_fuzz_one(const uint8_t* data, size_t size);
bool text_coders_fuzz_one(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

using Entry = bool (*)(const uint8_t*, size_t);

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

const fs::path kSource = PIXSIEVE_SOURCE_DIR;

// "fuzz/corpus/png_read_fuzz/rgb.png" -> "accepted" or "refused".
std::map<std::string, std::string> recorded_outcomes()
{
    std::map<std::string, std::string> outcomes;
    std::istringstream lines(testkit::read_file((kSource / "tests/fuzz_outcomes.txt").string()));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string input, outcome;
        if (line.empty() || line[0] == '#' || !(fields >> input >> outcome))
            continue;
        outcomes[input] = outcome;
    }
    return outcomes;
}

// Runs every file of the folder through the target and checks its outcome; returns how
// many ran. Each input checked is taken out of `outcomes`.
size_t replay(const Target& target, const std::string& folder, std::map<std::string, std::string>& outcomes)
{
    std::vector<fs::path> files = inputs_in(kSource / folder);
    for (const fs::path& file : files) {
        const std::string input = folder + "/" + file.filename().string();
        SCOPED_TRACE(input);
        std::string bytes = testkit::read_file(file.string());
        testkit::CapturedStdout capture;  // the targets' debug lines are not the point
        const bool accepted = target.entry(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        capture.take();
        const std::string outcome = accepted ? "accepted" : "refused";
        auto recorded = outcomes.find(input);
        if (recorded == outcomes.end()) {
            ADD_FAILURE() << "no outcome recorded; tests/fuzz_outcomes.txt needs the line\n" << input << " " << outcome;
            continue;
        }
        EXPECT_EQ(outcome, recorded->second);
        outcomes.erase(recorded);
    }
    return files.size();
}

class FuzzReplay : public testing::TestWithParam<Target> {
protected:
    static void SetUpTestSuite() { fuzz_init(); }
};

TEST_P(FuzzReplay, SeedsAndRegressionsMeetTheirRecordedOutcomes)
{
    const std::string name = GetParam().name;
    std::map<std::string, std::string> outcomes = recorded_outcomes();
    std::erase_if(outcomes, [&](const auto& entry) { return entry.first.find("/" + name + "/") == std::string::npos; });
    EXPECT_GT(replay(GetParam(), "fuzz/corpus/" + name, outcomes), 0u) << "no seed corpus for " << name;
    replay(GetParam(), "tests/regressions/" + name, outcomes);
    for (const auto& [input, outcome] : outcomes)
        ADD_FAILURE() << "an outcome is recorded for " << input << ", which is not there";
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& param) { return std::string(param.param.name); });

}  // namespace
