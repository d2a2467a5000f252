// What the programs write, and what they report, when the file system is hostile: links,
// FIFOs, devices and folders where output goes, a full disk, kept permissions, leftovers
// of interrupted saves, and bitmaps far larger than the memory the tool may use.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "platform/platform.h"
#include "png_oracle.h"
#include "program_suite.h"
#include "seed_media.h"

namespace {

using namespace program_suite;
const std::string kEdit = testkit::edit_tool();

mode_t mode_of(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

std::vector<std::string> names_in(const std::string& folder)
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool write_text(const std::string& path, const std::string& text)
{
    return swfkit::write_file(path, Bytes(text.begin(), text.end()));
}

Bytes noise(size_t size, uint32_t seed)
{
    Bytes out(size);
    for (uint8_t& b : out) {
        seed = seed * 1103515245 + 12345;
        b = static_cast<uint8_t>(seed >> 16);
    }
    return out;
}

Bytes stored_jpeg(size_t size)
{
    Bytes jpeg = noise(size, 7);
    jpeg[0] = 0xFF, jpeg[1] = 0xD8;  // extraction writes the stored bytes as they are
    return jpeg;
}

// A zlib stream of `count` zero bytes, deflated a slice at a time (it may stand for a gibibyte).
Bytes zeros_zlib(uint64_t count)
{
    z_stream z{};
    EXPECT_EQ(deflateInit(&z, Z_BEST_SPEED), Z_OK);
    const Bytes slice(1 << 20, 0);
    Bytes out;
    uint8_t buffer[1 << 16];
    int rv = Z_OK;
    while (rv != Z_STREAM_END) {
        const uint64_t take = std::min<uint64_t>(count, slice.size());
        z.next_in = const_cast<uint8_t*>(slice.data());
        z.avail_in = static_cast<uInt>(take);
        count -= take;
        do {
            z.next_out = buffer;
            z.avail_out = sizeof buffer;
            rv = deflate(&z, count == 0 ? Z_FINISH : Z_NO_FLUSH);
            out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
        } while (z.avail_out == 0 && rv != Z_STREAM_END);
    }
    deflateEnd(&z);
    return out;
}

// A lossless body claiming width x height pixels whose zlib data inflates to all of them
// (transparent black), or, when `complete` is false, is cut after a few bytes.
Bytes tiny_lossless(uint16_t id, uint16_t width, uint16_t height, bool complete)
{
    Bytes body{static_cast<uint8_t>(id),         static_cast<uint8_t>(id >> 8),    5,
               static_cast<uint8_t>(width),      static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(height),
               static_cast<uint8_t>(height >> 8)};
    Bytes packed = zeros_zlib(complete ? uint64_t{width} * height * 4 : 4096);
    if (!complete)
        packed.resize(8);
    body.insert(body.end(), packed.begin(), packed.end());
    return body;
}

swfkit::Movie one_pixel_movie()
{
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 1, 1, Bytes{255, 1, 2, 3}));
    m.end();
    return m;
}

bool mentions(const testkit::RunResult& r, const std::string& text)
{
    return r.output.find(text) != std::string::npos || r.error.find(text) != std::string::npos;
}

size_t count_of(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(Safety, LinksAndFifosInTheOutputFolderAreNeverWrittenThrough)
{
    testkit::TempDir dir("safety_links");
    swfkit::Movie m;
    m.tag(21, swfkit::jpeg_body(1, stored_jpeg(100)));
    m.tag(36, swfkit::lossless_body(2, 5, 1, 1, Bytes{255, 1, 2, 3}));
    m.tag(21, swfkit::jpeg_body(3, stored_jpeg(100)));
    m.tag(36, swfkit::lossless_body(4, 5, 1, 1, Bytes{255, 1, 2, 3}));
    m.tag(76, swfkit::symbol_class_body({{1, "evil"}, {2, "dangle"}, {3, "fifo"}}));
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    ASSERT_TRUE(write_text(dir.file("victim"), "precious"));
    // What an archive shipped beside the movie could hold.
    ASSERT_TRUE(fs::create_directory(dir.file("m.swf_res")));
    ASSERT_EQ(symlink("../victim", dir.file("m.swf_res/evil.jpg").c_str()), 0);
    ASSERT_EQ(symlink("../created", dir.file("m.swf_res/dangle.png").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("m.swf_res/fifo.jpg").c_str(), 0600), 0);
    testkit::RunLimits no_hang;
    no_hang.seconds = 20;  // opening the FIFO to write would wait for a reader forever
    auto r = run_program(kTool, {"m.swf"}, dir.path(), no_hang);
    EXPECT_EQ(r.status, 3) << r.output;  // read, but not every bitmap written
    EXPECT_EQ(testkit::read_file(dir.file("victim")), "precious");
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("created"))));
    EXPECT_TRUE(S_ISLNK(mode_of(dir.file("m.swf_res/evil.jpg"))));
    EXPECT_TRUE(S_ISFIFO(mode_of(dir.file("m.swf_res/fifo.jpg"))));
    EXPECT_TRUE(oracle::read_png_file(dir.file("m.swf_res/4.png")).ok);  // the others still written
    for (const char* name : {"evil.jpg", "dangle.png", "fifo.jpg"})
        EXPECT_TRUE(mentions(r, "cannot write m.swf_res/" + std::string(name) +
                                    " (something other than a regular file is in the way)"))
            << name << "\n"
            << r.output;
    EXPECT_EQ(names_in(dir.file("m.swf_res")).size(), 4u);  // no temporaries left

    // A linked output folder is refused: nothing lands where it points.
    ASSERT_TRUE(swfkit::write_file(dir.file("n.swf"), m.build()));
    ASSERT_TRUE(fs::create_directory(dir.file("elsewhere")));
    ASSERT_EQ(symlink("elsewhere", dir.file("n.swf_res").c_str()), 0);
    auto linked = run_program(kTool, {"n.swf"}, dir.path());
    EXPECT_EQ(linked.status, 3);
    EXPECT_EQ(count_of(linked.output, "cannot use n.swf_res as output folder: n.swf_res is a link"), 1u)
        << linked.output;  // once for the movie, not again for each bitmap
    EXPECT_TRUE(mentions(linked, "0 bitmaps written, 0 skipped; 4 files could not be written"));
    EXPECT_TRUE(names_in(dir.file("elsewhere")).empty());

    // pixsieve-edit reads no FIFO as a replacement picture: it fails at once.
    ASSERT_EQ(mkfifo(dir.file("m.swf_res/2.png").c_str(), 0600), 0);
    auto edit = run_program(kEdit, {"m.swf", "out.swf", "--replace"}, dir.path(), no_hang);
    EXPECT_EQ(edit.status, 1);
    EXPECT_TRUE(mentions(edit, "cannot use m.swf_res/2.png"));
    EXPECT_FALSE(fs::exists(dir.file("out.swf")));
}

TEST(Safety, NoFolderBelowTheOutputRootIsEnteredThroughALink)
{
    testkit::TempDir dir("safety_below");
    ASSERT_TRUE(fs::create_directories(dir.file("game/level1")));
    ASSERT_TRUE(swfkit::write_file(dir.file("game/level1/intro.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("game/top.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(fs::create_directory(dir.file("outside")));
    ASSERT_TRUE(fs::create_directory(dir.file("out")));
    ASSERT_EQ(symlink("../outside", dir.file("out/level1").c_str()), 0);
    auto r = run_program(kTool, {"-o", "out", "game"}, dir.path());
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(names_in(dir.file("outside")).empty());
    EXPECT_EQ(count_of(r.output, "cannot use out/level1/intro.swf_res as output folder: out/level1 is a link"), 1u)
        << r.output;
    EXPECT_TRUE(testkit::file_exists(dir.file("out/top.swf_res/1.png")));

    // Below a movie's own folder too: the folder of a movie inside it.
    swfkit::Movie holder;
    holder.tag(36, swfkit::lossless_body(1, 5, 1, 1, Bytes{255, 1, 2, 3}));
    holder.tag(87, swfkit::binary_data_body(9, one_pixel_movie().build()));
    holder.tag(76, swfkit::symbol_class_body({{9, "level"}}));
    holder.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("h.swf"), holder.build()));
    ASSERT_TRUE(fs::create_directory(dir.file("h.swf_res")));
    ASSERT_EQ(symlink("../outside", dir.file("h.swf_res/level.swf_res").c_str()), 0);
    auto nested = run_program(kTool, {"h.swf"}, dir.path());
    EXPECT_EQ(nested.status, 3) << nested.output;
    EXPECT_TRUE(names_in(dir.file("outside")).empty());
    EXPECT_EQ(count_of(nested.output, "cannot use h.swf_res/level.swf_res as output folder"), 1u) << nested.output;
    EXPECT_TRUE(testkit::file_exists(dir.file("h.swf_res/1.png")));

    // The -o folder itself may be a link: the user named it.
    ASSERT_EQ(symlink("outside", dir.file("alias").c_str()), 0);
    auto named = run_program(kTool, {"-o", "alias", "game/top.swf"}, dir.path());
    EXPECT_EQ(named.status, 0) << named.output;
    EXPECT_TRUE(testkit::file_exists(dir.file("outside/top.swf_res/1.png")));
}

// A movie the system still opens, whose output folder's path passes the platform's limit.
TEST(Safety, AnOutputFolderPathTooLongWritesNothingAndSaysSo)
{
    testkit::TempDir dir("safety_long");
    std::string movie;
    while (movie.size() + 250 < kMaxPath - 8)
        movie += std::string(240, 'd') + "/";
    movie += std::string(kMaxPath - 3 - movie.size() - 4, 'm') + ".swf";  // the folder's path passes kMaxPath
    const fs::path back = fs::current_path();
    fs::current_path(dir.path());  // the whole path would not fit the system's limit
    fs::create_directories(fs::path(movie).parent_path());
    const bool written = swfkit::write_file(movie, one_pixel_movie().build());
    fs::current_path(back);
    ASSERT_TRUE(written);
    auto r = run_program(kTool, {movie}, dir.path());
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_TRUE(mentions(r, "path too long for an output folder"));
    EXPECT_TRUE(mentions(r, "1 file could not be written"));
}

TEST(Safety, EditRefusesAnOutThatIsNotARegularFile)
{
    testkit::TempDir dir("safety_out");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(write_text(dir.file("victim"), "precious"));
    ASSERT_EQ(symlink("victim", dir.file("link.swf").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("fifo.swf").c_str(), 0600), 0);
    ASSERT_TRUE(fs::create_directory(dir.file("folder.swf")));
    std::vector<std::string> outs = {"link.swf", "fifo.swf", "folder.swf"};
    const bool have_device = mknod(dir.file("null.swf").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;  // root only
    if (have_device)
        outs.push_back("null.swf");
    for (const std::string& out : outs) {
        const mode_t before = mode_of(dir.file(out));
        testkit::RunLimits no_hang;
        no_hang.seconds = 20;
        auto r = run_program(kEdit, {"m.swf", out}, dir.path(), no_hang);
        EXPECT_EQ(r.status, 1) << out;
        EXPECT_TRUE(mentions(r, "is not a regular file")) << out << r.error;
        EXPECT_EQ(mode_of(dir.file(out)), before) << out;
    }
    EXPECT_EQ(testkit::read_file(dir.file("victim")), "precious");
}

TEST(Safety, AFullDiskLeavesNoPartialFilesAndExitsThree)
{
    testkit::TempDir dir("safety_full");
    swfkit::Movie m;
    m.tag(36, swfkit::lossless_body(1, 5, 64, 64, noise(64 * 64 * 4, 1)));  // a PNG of some 16 KB
    m.tag(21, swfkit::jpeg_body(2, stored_jpeg(6000)));
    m.tag(36, swfkit::lossless_body(3, 5, 1, 1, Bytes{255, 1, 2, 3}));  // small enough
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    ASSERT_TRUE(swfkit::write_file(dir.file("later.swf"), one_pixel_movie().build()));
    testkit::RunLimits full;
    full.file_size = 4096;  // every write past 4 KiB fails, as on a full disk (and raises SIGXFSZ)
    auto r = run_program(kTool, {"m.swf", "later.swf"}, dir.path(), full);
    EXPECT_EQ(r.status, 3) << r.output;
    EXPECT_EQ(names_in(dir.file("m.swf_res")), std::vector<std::string>{"3.png"});
    EXPECT_TRUE(mentions(r, "cannot write m.swf_res/1.png (writing failed"));
    EXPECT_TRUE(mentions(r, "cannot write m.swf_res/2.jpg (writing failed"));
    EXPECT_TRUE(testkit::file_exists(dir.file("later.swf_res/1.png")));  // the run goes on
    EXPECT_TRUE(mentions(r, "pixsieve: 2 movies read, 0 refused; 2 bitmaps written"));

    // pixsieve-edit on a full disk: exit 1, the old OUT as it was, no temporary.
    ASSERT_TRUE(write_text(dir.file("out.swf"), "old"));
    auto edit = run_program(kEdit, {"m.swf", "out.swf"}, dir.path(), full);
    EXPECT_EQ(edit.status, 1);
    EXPECT_EQ(testkit::read_file(dir.file("out.swf")), "old");
    EXPECT_EQ(names_in(dir.path()),
              (std::vector<std::string>{"later.swf", "later.swf_res", "m.swf", "m.swf_res", "out.swf"}));
}

// Gives the file to another owner and group where this process may (root may); false otherwise.
bool give_away(const std::string& path, uid_t* owner, gid_t* group)
{
    *owner = 4321, *group = 4322;
    return chown(path.c_str(), *owner, *group) == 0;
}

bool owned_by(const std::string& path, uid_t owner, gid_t group)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && st.st_uid == owner && st.st_gid == group;
}

TEST(Safety, ReplacedFilesKeepTheirOwnerAndGroup)
{
    testkit::TempDir dir("safety_owner");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(write_text(dir.file("out.swf"), "old"));
    ASSERT_TRUE(fs::create_directory(dir.file("m.swf_res")));
    ASSERT_TRUE(write_text(dir.file("m.swf_res/1.png"), "old"));
    uid_t owner = 0;
    gid_t group = 0;
    if (!give_away(dir.file("out.swf"), &owner, &group) || !give_away(dir.file("m.swf_res/1.png"), &owner, &group))
        GTEST_SKIP() << "files cannot be given to another owner here";
    ASSERT_EQ(run_program(kEdit, {"m.swf", "out.swf"}, dir.path()).status, 0);
    ASSERT_EQ(run_program(kTool, {"m.swf"}, dir.path()).status, 0);
    EXPECT_TRUE(owned_by(dir.file("out.swf"), owner, group));
    EXPECT_TRUE(owned_by(dir.file("m.swf_res/1.png"), owner, group));
    EXPECT_EQ(testkit::read_file(dir.file("out.swf")).substr(0, 3), "FWS");
}

TEST(Safety, EditKeepsOutsModeAndRemovesLeftoverTemporaries)
{
    testkit::TempDir dir("safety_mode");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(write_text(dir.file("out.swf"), "old"));
    ASSERT_EQ(chmod(dir.file("out.swf").c_str(), 0600), 0);
    // What a save killed midway leaves: a temporary named after OUT.
    ASSERT_TRUE(write_text(dir.file("out.swf.pixsieve-tmp-Xy12ab"), "half a movie"));
    auto r = run_program(kEdit, {"m.swf", "out.swf", "--cws"}, dir.path());
    ASSERT_EQ(r.status, 0) << r.error;
    EXPECT_TRUE(mentions(r, "removed 1 temporary file(s) an interrupted save of out.swf left behind"));
    EXPECT_EQ(testkit::read_file(dir.file("out.swf")).substr(0, 3), "CWS");
    EXPECT_EQ(mode_of(dir.file("out.swf")) & 0777, 0600u);
    EXPECT_EQ(names_in(dir.path()), (std::vector<std::string>{"m.swf", "out.swf"}));

    const mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(run_program(kEdit, {"m.swf", "new.swf"}, dir.path()).status, 0);
    EXPECT_EQ(mode_of(dir.file("new.swf")) & 0777, 0666 & ~mask);
}

TEST(Safety, ARerunRemovesTheTemporariesAKilledRunLeft)
{
    testkit::TempDir dir("safety_rerun");
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), one_pixel_movie().build()));
    ASSERT_TRUE(fs::create_directory(dir.file("m.swf_res")));
    for (const char* name : {"1.png.pixsieve-tmp-a1B2c3", "x.jpg.pixsieve-tmp-Zz9Yy8", "notes.pixsieve-tmp-toolong"})
        ASSERT_TRUE(write_text(dir.file("m.swf_res/") + name, "half a picture"));
    auto r = run_program(kTool, {"m.swf"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(mentions(r, "removed 2 temporary file(s) an interrupted run left in m.swf_res"));
    EXPECT_EQ(names_in(dir.file("m.swf_res")), (std::vector<std::string>{"1.png", "notes.pixsieve-tmp-toolong"}));
}

// Lossless bitmaps of 1 M to 300 M pixels whose data is tiny: whatever they claim, the
// tool stays within a fixed address space, never crashes, and writes what fits.
TEST(Safety, HugeLosslessBitmapsWithTinyDataUnderAMemoryCap)
{
    if (testkit::under_address_sanitizer())
        GTEST_SKIP() << "address-space limits do not work under AddressSanitizer";
    testkit::TempDir dir("safety_band");
    swfkit::Movie m;
    m.tag(36, tiny_lossless(1, 1000, 1000, true));     // 1 M pixels
    m.tag(36, tiny_lossless(2, 4096, 4096, true));     // 16 M pixels
    m.tag(36, tiny_lossless(3, 10000, 10000, false));  // 100 M pixels, cut data
    m.tag(36, tiny_lossless(4, 16384, 16383, true));   // legal, but its PNG could pass 1 GiB
    m.tag(36, tiny_lossless(5, 17321, 17321, false));  // 300 M pixels
    m.tag(20, tiny_lossless(6, 65535, 65535, false));  // the largest a tag can claim
    m.end();
    ASSERT_TRUE(swfkit::write_file(dir.file("m.swf"), m.build()));
    testkit::RunLimits cap;
    cap.address_space = 1536ull << 20;
    auto r = run_program(kTool, {"m.swf"}, dir.path(), cap);
    EXPECT_EQ(r.status, 3) << r.output;  // bitmap 4 could not be written
    EXPECT_TRUE(mentions(r, "bitmap 4 of 16384x16383 pixels cannot be encoded within the buffer limit"));
    for (const char* name : {"1.png", "2.png"}) {
        oracle::Rgba png = oracle::read_png_file(dir.file(std::string("m.swf_res/") + name));
        EXPECT_TRUE(png.ok) << name;
    }
    const std::vector<std::string> written = names_in(dir.file("m.swf_res"));
    for (const char* absent : {"3.png", "4.png", "5.png", "6.png"})
        EXPECT_EQ(std::count(written.begin(), written.end(), absent), 0) << absent;
    for (const std::string& name : written)
        EXPECT_EQ(name.find("pixsieve-tmp"), std::string::npos) << name;
}

}  // namespace
