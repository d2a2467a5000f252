#include "toolkit/paths.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

// Runs a path function into a roomy buffer that starts out as "untouched".
template <class Function>
std::string path_result(Function function, const char* path)
{
    char out[kPathBufferSize] = "untouched";
    const int rv = function(out, sizeof out, path);
    return rv == 0 ? std::string(out) : "-1:" + std::string(out);
}

std::string strip_base(const char* base, const char* path)
{
    char out[kPathBufferSize] = "untouched";
    const int rv = path_strip_base(base, path, out, sizeof out);
    return rv == 0 ? std::string(out) : "-1:" + std::string(out);
}

TEST(Paths, StripExtension)
{
    EXPECT_EQ(path_result(path_strip_ext, "dir/movie.swf"), "dir/movie");
    EXPECT_EQ(path_result(path_strip_ext, "movie"), "movie");
    EXPECT_EQ(path_result(path_strip_ext, "ver1.2/movie"), "ver1");  // the search crosses folders
    EXPECT_EQ(path_result(path_strip_ext, "movie."), "movie.");      // a final dot is not taken
    EXPECT_EQ(path_result(path_strip_ext, ".swf"), "");
    EXPECT_EQ(path_result(path_strip_ext, "a.tar.gz"), "a.tar");
    EXPECT_EQ(path_result(path_strip_ext, ""), "");
}

TEST(Paths, FileNameAndExtension)
{
    EXPECT_EQ(path_result(path_file_name, "a/b/c.swf"), "c.swf");
    EXPECT_EQ(path_result(path_file_name, "c.swf"), "c.swf");
    EXPECT_EQ(path_result(path_file_name, "a/b/"), "b/");  // a final separator is not taken
    EXPECT_EQ(path_result(path_file_name, "/x"), "x");
    EXPECT_EQ(path_result(path_file_name, "a\\b"), "a\\b");  // not a separator here
    EXPECT_EQ(path_result(path_ext_or_name, "a/b.png"), "png");
    EXPECT_EQ(path_result(path_ext_or_name, "a/b"), "b");
    EXPECT_EQ(path_result(path_ext_or_name, "b"), "b");
    EXPECT_EQ(path_result(path_ext_or_name, "a/b."), "b.");
}

TEST(Paths, StripBase)
{
    EXPECT_EQ(strip_base("/data", "/data/x/y.swf"), "x/y.swf");
    EXPECT_EQ(strip_base("/data", "./x.swf"), "x.swf");
    EXPECT_EQ(strip_base("/elsewhere", "./x.swf"), "x.swf");
    EXPECT_EQ(strip_base("/data", "/dat"), "-1:untouched");  // shorter than the base
    EXPECT_EQ(strip_base("/data", "/other/x"), "-1:untouched");
    EXPECT_EQ(strip_base("/data", "/database/x"), "-1:untouched");  // not a folder boundary
    EXPECT_EQ(strip_base("/data", "/data"), "");
    EXPECT_EQ(strip_base("/data/", "/data/x"), "x");
    EXPECT_EQ(strip_base("/", "/x/y"), "x/y");
}

TEST(Paths, ResultsThatDoNotFitAreRefused)
{
    char out[6] = "abcde";
    EXPECT_EQ(path_file_name(out, 5, "d/c.swf"), -1);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(path_file_name(out, 6, "d/c.swf"), 0);
    EXPECT_STREQ(out, "c.swf");
    EXPECT_EQ(path_strip_base("/d", "/d/long", out, 4), -1);
    EXPECT_EQ(path_strip_ext(out, 0, "x"), -1);
    EXPECT_EQ(path_ext_or_name(nullptr, 8, "x"), -1);

    // The output may be the input's own buffer.
    char in_place[kPathBufferSize] = "some/dir/movie.swf";
    EXPECT_EQ(path_strip_ext(in_place, sizeof in_place, in_place), 0);
    EXPECT_STREQ(in_place, "some/dir/movie");
    EXPECT_EQ(path_file_name(in_place, sizeof in_place, in_place), 0);
    EXPECT_STREQ(in_place, "movie");
}

TEST(Paths, PatternMatchingFollowsWindowsRules)
{
    EXPECT_TRUE(path_match_pattern("*.*", "abc"));
    EXPECT_TRUE(path_match_pattern("*.*", "a.b.c"));
    EXPECT_TRUE(path_match_pattern("*.*", ".x"));
    EXPECT_TRUE(path_match_pattern("*.TXT", "a.txt"));
    EXPECT_TRUE(path_match_pattern("*.txt", "A.TxT"));
    EXPECT_FALSE(path_match_pattern("*.txt", "a.txt.bak"));
    EXPECT_FALSE(path_match_pattern("*.txt", "atxt"));
    EXPECT_TRUE(path_match_pattern("a?c", "abc"));
    EXPECT_FALSE(path_match_pattern("a?c", "ac"));
    EXPECT_TRUE(path_match_pattern("foo.*", "foo"));
    EXPECT_TRUE(path_match_pattern("foo.*", "Foo.bar"));
    EXPECT_FALSE(path_match_pattern("foo.*", "foobar"));
    EXPECT_TRUE(path_match_pattern("*ab", "aab"));
    EXPECT_TRUE(path_match_pattern("a*b*c", "aXbYbZc"));
    EXPECT_FALSE(path_match_pattern("a*b*c", "aXbYbZ"));
    EXPECT_FALSE(path_match_pattern("", "a"));
    // Two-byte GBK characters: '?' takes the whole character, and a trail byte that
    // happens to be an ASCII letter keeps its case.
    EXPECT_TRUE(path_match_pattern("?.png", "\xC4\xE3.png"));
    EXPECT_TRUE(path_match_pattern("\xC4\x41*", "\xC4\x41"
                                                "b"));
    EXPECT_FALSE(path_match_pattern("\xC4\x41*", "\xC4\x61"
                                                 "b"));
    EXPECT_FALSE(path_match_pattern("?a", "\xC4\x61"));
}

TEST(Paths, PlatformFullPathResolvesByText)
{
    char out[kPathBufferSize];
    ASSERT_TRUE(platform_full_path("/a/./b//c/../d/", out, sizeof out));
    EXPECT_STREQ(out, "/a/b/d");
    ASSERT_TRUE(platform_full_path("/../..", out, sizeof out));
    EXPECT_STREQ(out, "/");
    EXPECT_FALSE(platform_full_path("/abc", out, 4));
    ASSERT_TRUE(platform_full_path("/abc", out, 5));
    EXPECT_STREQ(out, "/abc");
    EXPECT_FALSE(platform_full_path("", out, sizeof out));
}

class PathListing : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(platform_current_dir(saved_, sizeof saved_));
        std::string pattern = testing::TempDir() + "pixsieve_paths_XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
        chmod(root_.c_str(), 0755);
        for (const char* file : {"a.txt", "B.txt", "c.dat", "noext", ".hidden", ".hiddendir/h.txt", "a.b/w.txt",
                                 "sub0/z.bin", "Sub1/x.txt", "Sub1/Deep/y.txt", "Sub1/Deep/.secret"})
            make_file(file);
        fs::create_directory_symlink(root_ + "/Sub1", root_ + "/link");
        // A folder whose own full path just fits a path buffer while its file's does not.
        const size_t name_length = kPathBufferSize - 2 - (root_ + "/sub0/").size();
        ASSERT_GT(name_length, 8u) << "temporary folder path too long for this test";
        long_dir_ = "sub0/" + std::string(std::min<size_t>(name_length, 255), 'L');
        make_file(long_dir_ + "/f.txt");
    }

    void TearDown() override
    {
        platform_set_current_dir(saved_);
        std::error_code ignored;
        fs::permissions(root_ + "/Sub1/locked", fs::perms::owner_all, ignored);
        fs::remove_all(root_, ignored);
    }

    void make_file(const std::string& relative)
    {
        const fs::path path = fs::path(root_) / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << relative;
        for (fs::path p = path.parent_path(); p.string().size() > root_.size(); p = p.parent_path())
            chmod(p.c_str(), 0755);
        chmod(path.c_str(), 0644);
    }

    std::string current_dir()
    {
        char here[4096];
        return getcwd(here, sizeof here) != nullptr ? here : "<none>";
    }

    std::vector<std::string> in_root(std::initializer_list<std::string> names)
    {
        std::vector<std::string> paths;
        for (const std::string& name : names)
            paths.push_back(root_ + "/" + name);
        return paths;
    }

    char saved_[4096];
    std::string root_;
    std::string long_dir_;
};

int g_sentinel;
char* const kUntouched = reinterpret_cast<char*>(&g_sentinel);

// Calls a listing with a list of `capacity` slots, checks that nothing outside the slots
// it reports was written, and hands back (and frees) what it stored.
template <class Listing>
std::vector<std::string> listed(Listing listing, const std::string& where, int start = 0, int capacity = 64)
{
    std::vector<char*> list(static_cast<size_t>(capacity) + 1, kUntouched);
    const int n = listing(where.c_str(), list.data(), start, capacity);
    std::vector<std::string> names;
    for (int i = 0; i <= capacity; ++i) {
        const bool reported = i >= start && i < start + n;
        EXPECT_EQ(list[static_cast<size_t>(i)] != kUntouched, reported) << "slot " << i;
        if (reported && list[static_cast<size_t>(i)] != kUntouched) {
            names.emplace_back(list[static_cast<size_t>(i)]);
            std::free(list[static_cast<size_t>(i)]);
        }
    }
    return names;
}

TEST_F(PathListing, ListFilesFiltersAndOrders)
{
    ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    // Case-insensitive order puts "a" before "B"; hidden files and folders are left out.
    EXPECT_EQ(listed(list_files, "*.*"), in_root({"a.txt", "B.txt", "c.dat", "noext"}));
    EXPECT_EQ(listed(list_files, "*.TXT"), in_root({"a.txt", "B.txt"}));
    EXPECT_EQ(listed(list_files, "*.none"), std::vector<std::string>{});
    EXPECT_EQ(listed(list_files, "missing/*.*"), std::vector<std::string>{});
    // Entries are named after the pattern's folder, not the current one.
    EXPECT_EQ(listed(list_files, "Sub1/*.*"), in_root({"Sub1/x.txt"}));
    EXPECT_EQ(listed(list_files, root_ + "/sub0/*"), in_root({"sub0/z.bin"}));
    EXPECT_EQ(current_dir(), root_);
}

TEST_F(PathListing, ListDirsSkipsDotNames)
{
    ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    // ".hiddendir" starts with a dot and "a.b" has one second: both are skipped.
    EXPECT_EQ(listed(list_dirs, "*.*"), in_root({"link", "sub0", "Sub1"}));
    EXPECT_EQ(listed(list_dirs, "S*"), in_root({"sub0", "Sub1"}));
    EXPECT_EQ(listed(list_dirs, "*.txt"), std::vector<std::string>{});
}

TEST_F(PathListing, ListingsRespectTheListCapacity)
{
    ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    EXPECT_EQ(listed(list_files, "*.*", 1, 3), in_root({"a.txt", "B.txt"}));
    EXPECT_EQ(listed(list_files, "*.*", 3, 3), std::vector<std::string>{});
    EXPECT_EQ(listed(list_files, "*.*", -1, 3), std::vector<std::string>{});
    EXPECT_EQ(listed(list_dirs_tree, root_, 0, 2), in_root({"sub0", long_dir_}));
    EXPECT_EQ(listed(list_files_tree, root_, 2, 8),
              in_root({"a.txt", "B.txt", "c.dat", "noext", "sub0/z.bin", "Sub1/x.txt"}));
    EXPECT_EQ(current_dir(), root_);
}

TEST_F(PathListing, TreeWalksGoDepthFirstAndRestoreTheCurrentFolder)
{
    ASSERT_TRUE(platform_set_current_dir("/"));
    // The link to Sub1 is not followed; the long folder is listed, its file's path is too long.
    EXPECT_EQ(listed(list_dirs_tree, root_), in_root({"sub0", long_dir_, "Sub1", "Sub1/Deep"}));
    EXPECT_EQ(current_dir(), "/");
    EXPECT_EQ(listed(list_files_tree, root_),
              in_root({"a.txt", "B.txt", "c.dat", "noext", "sub0/z.bin", "Sub1/x.txt", "Sub1/Deep/y.txt"}));
    EXPECT_EQ(current_dir(), "/");
    EXPECT_EQ(listed(list_files_tree, root_ + "/missing"), std::vector<std::string>{});
    EXPECT_EQ(listed(list_dirs_tree, root_ + "/a.txt"), std::vector<std::string>{});
    EXPECT_EQ(current_dir(), "/");
}

TEST_F(PathListing, RelativeRootResolvesAgainstTheCurrentFolder)
{
    ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    EXPECT_EQ(listed(list_dirs_tree, "Sub1"), in_root({"Sub1/Deep"}));
    EXPECT_EQ(listed(list_files_tree, "Sub1"), in_root({"Sub1/x.txt", "Sub1/Deep/y.txt"}));
    EXPECT_EQ(current_dir(), root_);
}

// Runs in a child process without root's privileges, so the locked folder really is
// out of reach; exits 0 when the walks behave.
void walk_without_privileges(const std::string& root)
{
    if (chdir(root.c_str()) != 0 || (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))) {
        std::fprintf(stderr, "cannot drop privileges\n");
        std::exit(2);
    }
    const auto paths = [&](std::initializer_list<const char*> names) {
        std::vector<std::string> v;
        for (const char* name : names)
            v.push_back(root + "/" + name);
        return v;
    };
    const auto dirs = listed(list_dirs_tree, root);
    const auto files = listed(list_files_tree, root + "/Sub1");
    char here[4096];
    const bool restored = getcwd(here, sizeof here) != nullptr && root == here;
    // The locked folder is listed but not walked, and nothing is listed twice.
    const bool dirs_ok = dirs == paths({"Sub1", "Sub1/Deep", "Sub1/locked"});
    const bool files_ok = files == paths({"Sub1/x.txt", "Sub1/Deep/y.txt"});
    if (!dirs_ok || !files_ok || !restored) {
        for (const auto& d : dirs)
            std::fprintf(stderr, "dir %s\n", d.c_str());
        for (const auto& f : files)
            std::fprintf(stderr, "file %s\n", f.c_str());
        std::exit(1);
    }
    std::exit(0);
}

TEST_F(PathListing, FoldersThatCannotBeEnteredAreSkipped)
{
    make_file("Sub1/locked/q.txt");
    make_file("Sub1/locked/inner/r.txt");
    fs::remove_all(root_ + "/sub0");
    fs::remove(root_ + "/link");
    ASSERT_EQ(chmod((root_ + "/Sub1/locked").c_str(), 0), 0);
    EXPECT_EXIT(walk_without_privileges(root_), testing::ExitedWithCode(0), "");
}

TEST_F(PathListing, ExeDirIsTheProgramsFolder)
{
    const std::string expected = fs::canonical("/proc/self/exe").parent_path().string();
    EXPECT_EQ(exe_dir(), expected);
    EXPECT_EQ(exe_dir(), exe_dir());  // kept, same buffer
    ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    EXPECT_NE(chdir_exe_dir(), 0);
    EXPECT_EQ(current_dir(), expected);
}

}  // namespace
