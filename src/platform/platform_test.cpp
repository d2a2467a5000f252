// The POSIX platform layer's safe output and input: links, FIFOs, folders and devices in
// the way, failed writes, permission bits and leftover temporaries.
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

namespace fs = std::filesystem;

std::span<const uint8_t> bytes_of(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

mode_t current_umask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The names in a folder, sorted.
std::vector<std::string> names_in(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool write_text(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    return static_cast<bool>(out.flush());
}

TEST(PlatformOutput, FoldersAreEnteredOrMadeNeverThroughALink)
{
    testkit::TempDir dir("platform_dir");
    OutputFolder root, made, again, refused;
    ASSERT_EQ(platform_open_folder(dir.path().c_str(), &root), FolderStatus::ok);
    EXPECT_EQ(platform_enter_folder(root, "made_res", &made), FolderStatus::ok);
    EXPECT_TRUE(fs::is_directory(dir.file("made_res")));
    EXPECT_EQ(made.path, dir.file("made_res"));
    EXPECT_EQ(platform_enter_folder(root, "made_res", &again), FolderStatus::ok);  // there already

    ASSERT_TRUE(write_text(dir.file("file_res"), "x"));
    EXPECT_EQ(platform_enter_folder(root, "file_res", &refused), FolderStatus::not_a_folder);
    ASSERT_EQ(symlink(dir.file("made_res").c_str(), dir.file("link_res").c_str()), 0);
    EXPECT_EQ(platform_enter_folder(root, "link_res", &refused), FolderStatus::link);  // even to a folder
    ASSERT_EQ(symlink(dir.file("nowhere").c_str(), dir.file("dangling_res").c_str()), 0);
    EXPECT_EQ(platform_enter_folder(root, "dangling_res", &refused), FolderStatus::link);
    EXPECT_FALSE(fs::exists(dir.file("nowhere")));
    EXPECT_FALSE(refused.is_open());

    // A folder the user names may be a link; one that is missing is not made.
    OutputFolder named;
    EXPECT_EQ(platform_open_folder(dir.file("link_res").c_str(), &named), FolderStatus::ok);
    EXPECT_EQ(platform_open_folder(dir.file("file_res").c_str(), &refused), FolderStatus::not_a_folder);
    EXPECT_EQ(platform_open_folder(dir.file("missing").c_str(), &refused), FolderStatus::cannot_open);
    EXPECT_FALSE(fs::exists(dir.file("missing")));

    // Files go into the folder that was opened, even when its name leads elsewhere meanwhile.
    ASSERT_TRUE(fs::create_directory(dir.file("elsewhere")));
    fs::rename(dir.file("made_res"), dir.file("moved_res"));
    ASSERT_EQ(symlink(dir.file("elsewhere").c_str(), dir.file("made_res").c_str()), 0);
    EXPECT_EQ(platform_write_in_folder(made, "a.png", bytes_of("pixels"), false), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file(dir.file("moved_res/a.png")), "pixels");
    EXPECT_TRUE(names_in(dir.file("elsewhere")).empty());
}

TEST(PlatformOutput, FilesAreReplacedWholeKeepingTheirMode)
{
    testkit::TempDir dir("platform_write");
    const std::string fresh = dir.file("fresh.png");
    ASSERT_EQ(platform_write_file_whole(fresh.c_str(), bytes_of("new bytes")), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file(fresh), "new bytes");
    EXPECT_EQ(mode_of(fresh) & 0777, 0666 & ~current_umask());

    const std::string kept = dir.file("kept.swf");
    ASSERT_TRUE(write_text(kept, "old and longer"));
    ASSERT_EQ(chmod(kept.c_str(), 0600), 0);
    ASSERT_EQ(platform_save_file_durably(kept.c_str(), bytes_of("new")), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file(kept), "new");
    EXPECT_EQ(mode_of(kept) & 0777, 0600u);
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    ASSERT_EQ(platform_write_file_whole(kept.c_str(), {}), WriteStatus::ok);  // empty is a file too
    EXPECT_EQ(testkit::read_file(kept), "");
    EXPECT_EQ(mode_of(kept) & 0777, 0640u);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"fresh.png", "kept.swf"}));  // no temporaries
}

TEST(PlatformOutput, AnythingButARegularFileInTheWayIsLeftAlone)
{
    testkit::TempDir dir("platform_occupied");
    const std::string victim = dir.file("victim");
    ASSERT_TRUE(write_text(victim, "precious"));
    ASSERT_EQ(symlink(victim.c_str(), dir.file("link.jpg").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("created_by_link").c_str(), dir.file("dangling.jpg").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    ASSERT_TRUE(fs::create_directory(dir.file("folder.png")));
    for (const char* name : {"link.jpg", "dangling.jpg", "fifo.png", "folder.png"}) {
        EXPECT_EQ(platform_write_file_whole(dir.file(name).c_str(), bytes_of("evil")), WriteStatus::occupied) << name;
        EXPECT_EQ(platform_save_file_durably(dir.file(name).c_str(), bytes_of("evil")), WriteStatus::occupied) << name;
        EXPECT_FALSE(platform_regular_or_absent(dir.file(name).c_str())) << name;
    }
    // A device node of our own (root only), never the system's.
    if (mknod(dir.file("null.png").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_EQ(platform_write_file_whole(dir.file("null.png").c_str(), bytes_of("evil")), WriteStatus::occupied);
        EXPECT_TRUE(S_ISCHR(mode_of(dir.file("null.png"))));
        ASSERT_EQ(unlink(dir.file("null.png").c_str()), 0);
    }
    EXPECT_EQ(testkit::read_file(victim), "precious");
    EXPECT_FALSE(fs::exists(dir.file("created_by_link")));
    EXPECT_TRUE(S_ISLNK(mode_of(dir.file("link.jpg"))));
    EXPECT_TRUE(S_ISFIFO(mode_of(dir.file("fifo.png"))));
    EXPECT_TRUE(platform_regular_or_absent(victim.c_str()));
    EXPECT_TRUE(platform_regular_or_absent(dir.file("absent").c_str()));
    EXPECT_EQ(names_in(dir.path()).size(), 5u);  // nothing added
}

TEST(PlatformOutput, AFailedWriteLeavesNeitherFileNorTemporary)
{
    testkit::TempDir dir("platform_full");
    const std::string path = dir.file("big.png");
    ASSERT_TRUE(write_text(dir.file("old.png"), "old"));
    std::fflush(nullptr);
    // A file-size limit stands in for a full disk: writes past it fail.
    const pid_t child = fork();
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string big(10000, 'b');
        const bool refused = platform_write_file_whole(path.c_str(), bytes_of(big)) == WriteStatus::cannot_write &&
                             platform_save_file_durably(dir.file("old.png").c_str(), bytes_of(big)) ==
                                 WriteStatus::cannot_write;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"old.png"});
    EXPECT_EQ(testkit::read_file(dir.file("old.png")), "old");
    EXPECT_NE(std::string(platform_write_status_text(WriteStatus::cannot_write)), "");
}

TEST(PlatformOutput, TemporariesAreNamedAfterTheFileAndLeftoversRemoved)
{
    testkit::TempDir dir("platform_stale");
    const std::string out = dir.file("out.swf");
    const std::string prefix = platform_temporary_prefix(out.c_str());
    EXPECT_EQ(prefix, out + ".pixsieve-tmp-");
    ASSERT_TRUE(write_text(prefix + "a1B2c3", "left by a killed save"));
    ASSERT_TRUE(write_text(prefix + "toolong", "not ours"));
    ASSERT_TRUE(write_text(dir.file("other.swf.pixsieve-tmp-a1B2c3"), "another file's"));
    ASSERT_EQ(symlink(dir.file("x").c_str(), (prefix + "link01").c_str()), 0);
    // One that some process holds locked is a save still running: it stays.
    const int held = open((prefix + "a1B2c3").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    EXPECT_EQ(platform_remove_stale_temporaries(out.c_str()), 0);
    close(held);
    EXPECT_EQ(platform_remove_stale_temporaries(out.c_str()), 1);
    EXPECT_FALSE(fs::exists(prefix + "a1B2c3"));
    EXPECT_EQ(names_in(dir.path()).size(), 3u);
    EXPECT_EQ(platform_remove_stale_temporaries(out.c_str()), 0);
    // In a folder, every leftover of any file.
    ASSERT_TRUE(write_text(prefix + "a1B2c3", "left by a killed save"));
    OutputFolder folder;
    ASSERT_EQ(platform_open_folder(dir.path().c_str(), &folder), FolderStatus::ok);
    EXPECT_EQ(platform_remove_stale_temporaries_in(folder, {}), 2);
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"out.swf.pixsieve-tmp-link01", "out.swf.pixsieve-tmp-toolong"}));

    // A name near the limit is cut so that the temporary's name still fits.
    const std::string long_name = dir.file(std::string(kMaxName - 4, 'n') + ".png");
    const std::string cut = platform_temporary_prefix(long_name.c_str());
    EXPECT_EQ(cut.size() - dir.path().size() - 1 + kTemporarySuffixLength, kMaxName);
    ASSERT_EQ(platform_write_file_whole(long_name.c_str(), bytes_of("long")), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file(long_name), "long");
    EXPECT_EQ(platform_temporary_prefix("plain.swf"), "plain.swf.pixsieve-tmp-");
}

// A save running while another cleans up: its temporary is never taken for a leftover.
TEST(PlatformOutput, ALiveSaveKeepsItsTemporary)
{
    testkit::TempDir dir("platform_live");
    const std::string out = dir.file("out.swf");
    const std::string movie(128 << 20, 'm');
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0)
        _exit(platform_save_file_durably(out.c_str(), bytes_of(movie)) == WriteStatus::ok ? 0 : 1);
    // Caught in the middle of its save, as a second run would find it.
    bool caught = false;
    for (int i = 0; i < 20000 && !caught; ++i) {
        for (const std::string& name : names_in(dir.path()))
            caught |= name.find(".pixsieve-tmp-") != std::string::npos;
        if (!caught)
            usleep(100);
    }
    kill(child, SIGSTOP);
    platform_remove_stale_temporaries(out.c_str());
    kill(child, SIGCONT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(caught);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fs::file_size(out), movie.size());
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"out.swf"});
}

TEST(PlatformInput, OnlyRegularFilesAreReadAndFifosDoNotBlock)
{
    testkit::TempDir dir("platform_read");
    ASSERT_TRUE(write_text(dir.file("a.png"), "content"));
    ASSERT_EQ(mkfifo(dir.file("fifo.png").c_str(), 0600), 0);
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(platform_read_regular_file(dir.file("a.png").c_str(), 100, &data, &size), ReadStatus::ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "content");
    std::free(data);
    data = nullptr;
    EXPECT_EQ(platform_read_regular_file(dir.file("a.png").c_str(), 7, &data, &size), ReadStatus::too_large);
    EXPECT_EQ(platform_read_regular_file(dir.file("fifo.png").c_str(), 100, &data, &size),
              ReadStatus::not_a_regular_file);
    EXPECT_EQ(platform_read_regular_file(dir.path().c_str(), 100, &data, &size), ReadStatus::not_a_regular_file);
    EXPECT_EQ(platform_read_regular_file("/dev/zero", 100, &data, &size), ReadStatus::not_a_regular_file);
    EXPECT_EQ(platform_read_regular_file(dir.file("none").c_str(), 100, &data, &size), ReadStatus::missing);
    EXPECT_EQ(data, nullptr);
}

}  // namespace
