// The README's example is the real output of the bundled sample: its lines must be what the
// tool prints, in order ("..." stands for lines left out). The source line numbers in the
// lines are compared as "N": they move with every edit of the code and say nothing a
// reader of the example relies on.
#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_util.h"
#include "text/charset.h"

namespace {

const std::string kCommand = "$ build/pixsieve samples/sample.swf";
const std::string kListing = "$ ls samples/sample.swf_res";

struct Example {
    std::vector<std::string> output;  // the lines after the command, "..." included
    std::vector<std::string> files;   // the line after the listing command, split
};

// "[DEBUG] swf:227 <f>: text" as "[DEBUG] swf:N <f>: text"; other lines as they are.
std::string masked(const std::string& line)
{
    const std::string lead = "[DEBUG] ";
    if (line.rfind(lead, 0) != 0)
        return line;
    const size_t colon = line.find(':', lead.size());
    const size_t space = line.find(' ', lead.size());
    if (colon == std::string::npos || space < colon)
        return line;
    size_t end = colon + 1;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9')
        ++end;
    return end == colon + 1 ? line : line.substr(0, colon + 1) + "N" + line.substr(end);
}

// The indented block of the README that starts with the command.
Example readme_example(const std::string& readme)
{
    Example example;
    std::vector<std::string> lines = testkit::split_lines(readme);
    auto at = std::find(lines.begin(), lines.end(), "    " + kCommand);
    if (at == lines.end())
        return example;
    for (++at; at != lines.end() && at->rfind("    ", 0) == 0; ++at) {
        std::string line = masked(at->substr(4));
        if (line == kListing) {
            if (++at != lines.end()) {
                std::istringstream names(*at);
                for (std::string name; names >> name;)
                    example.files.push_back(name);
            }
            break;
        }
        example.output.push_back(line);
    }
    return example;
}

std::string utf8_from_gbk(const std::string& gbk)
{
    std::string utf8(gbk_to_utf8_capacity(gbk.size()), '\0');
    int written = 0;
    if (gbk_to_utf8(gbk.data(), gbk.size(), utf8.data(), utf8.size(), &written) != Fault::none)
        return "(not GBK) " + gbk;
    utf8.resize(static_cast<size_t>(written));
    return utf8;
}

std::string gbk_from_utf8(const std::string& utf8)
{
    std::string gbk(2 * utf8.size() + 1, '\0');
    int written = 0;
    if (utf8_to_gbk(utf8.data(), utf8.size(), gbk.data(), gbk.size(), &written) != Fault::none)
        return "(not UTF-8) " + utf8;
    gbk.resize(static_cast<size_t>(written));
    return gbk;
}

// Whether `actual` is `expected` with each "..." standing for any run of lines.
bool matches(const std::vector<std::string>& expected, const std::vector<std::string>& actual, std::string* why)
{
    size_t a = 0;
    for (size_t e = 0; e < expected.size(); ++e) {
        if (expected[e] == "...") {
            if (e + 1 == expected.size())
                return true;
            while (a < actual.size() && actual[a] != expected[e + 1])
                ++a;
        } else if (a < actual.size() && actual[a] == expected[e]) {
            ++a;
        } else {
            *why = "README line \"" + expected[e] + "\" is not printed there (next printed line: \"" +
                   (a < actual.size() ? actual[a] : "(none)") + "\")";
            return false;
        }
    }
    if (a != actual.size())
        *why = "the README leaves out the last lines, from \"" + actual[a] + "\"";
    return a == actual.size();
}

TEST(Readme, ExampleIsTheRealOutputOfTheSample)
{
    charset_init();
    const std::filesystem::path source = PIXSIEVE_SOURCE_DIR;
    Example example = readme_example(testkit::read_file((source / "README.md").string()));
    ASSERT_FALSE(example.output.empty()) << "no example block starting with \"    " << kCommand << "\"";
    ASSERT_FALSE(example.files.empty());

    testkit::TempDir dir("readme");
    std::filesystem::create_directory(dir.file("samples"));
    std::filesystem::copy_file(source / "samples" / "sample.swf", dir.file("samples/sample.swf"));
    testkit::RunResult run = testkit::run_program(testkit::tool(), {"samples/sample.swf"}, dir.path());
    ASSERT_EQ(run.status, 0);

    // The Linux program prints UTF-8, the Windows one the GBK code page.
    const auto as_utf8 = [](const std::string& text) {
        return testkit::running_windows_programs() ? utf8_from_gbk(text) : text;
    };
    std::vector<std::string> printed;
    for (const std::string& line : testkit::split_lines(run.output))
        printed.push_back(masked(as_utf8(line)));
    std::string why;
    EXPECT_TRUE(matches(example.output, printed, &why)) << why << "\nprinted:\n" << as_utf8(run.output);

    std::vector<std::string> written;
    for (const auto& entry : std::filesystem::directory_iterator(dir.file("samples/sample.swf_res")))
        written.push_back(entry.path().filename().string());
    std::vector<std::string> listed;
    for (const std::string& name : example.files)
        listed.push_back(testkit::native_name(gbk_from_utf8(name)));
    std::sort(written.begin(), written.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(written, listed);
}

}  // namespace
