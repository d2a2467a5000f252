// The Windows platform layer, and what rests on it (name sanitising, the path functions),
// run under wine by make test-windows.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "swf/naming.h"
#include "test_util.h"
#include "toolkit/paths.h"

namespace {

// Names no single code page spells: 한국 (Korean), 日本語 (Japanese), 😀 (an emoji).
const std::string kKorean = "\xED\x95\x9C\xEA\xB5\xAD";
const std::string kJapanese = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
const std::string kEmoji = "\xF0\x9F\x98\x80";

std::string join(const std::string& folder, const std::string& name) { return folder + kPathSeparator + name; }

bool write_text(const std::string& path, const std::string& text)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

std::string upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// These run on code page 936 (make test-windows sets a Chinese locale for wine).
TEST(WindowsText, ConsoleLinesInTheCodePageNamesInUnicode)
{
    ASSERT_EQ(GetACP(), 936u);
    EXPECT_EQ(platform_console_text("ab\xE4\xB8\xAD\xE6\x96\x87", '_'), "ab\xD6\xD0\xCE\xC4");  // 中文
    // Korean, and a Latin letter GBK has no look-alike for: one replacement each, never dropped
    // and never a "best fit" letter.
    EXPECT_EQ(platform_console_text("\xED\x95\x9C\xEA\xB5\xAD.x", '_'), "__.x");
    EXPECT_EQ(platform_console_text("\xC5\x81"
                                    "d\xC5\xBA",
                                    '?'),
              "?d?");                                        // Łdź
    EXPECT_EQ(platform_console_text("a\x80z", '_'), "a_z");  // malformed UTF-8
    EXPECT_EQ(platform_console_text("", '_'), "");

    // File names keep every character; only bytes that are not UTF-8 give way.
    EXPECT_EQ(platform_file_name_text(kKorean, '_'), kKorean);
    EXPECT_EQ(platform_file_name_text(kEmoji, '_'), kEmoji);
    EXPECT_EQ(platform_file_name_text("a\x80z\xE4\xB8", '_'), "a_z__");
    EXPECT_EQ(platform_file_name_text("\xED\xA0\x80", '_'), "___");                        // an encoded surrogate half
    EXPECT_EQ(platform_path_units(std::string("\xE4\xB8\xAD\xE6\x96\x87") + kEmoji), 4u);  // 中文😀: 2 + a pair
    EXPECT_EQ(platform_path_units("plain"), 5u);
}

TEST(WindowsText, FileNamesCompareWithoutCase)
{
    EXPECT_EQ(platform_file_name_key("Pic.PNG"), platform_file_name_key("pic.png"));
    EXPECT_EQ(platform_file_name_key("\xEF\xBC\xA1"), platform_file_name_key("\xEF\xBD\x81"));  // full-width A, a
    EXPECT_EQ(platform_file_name_key("\xC3\x84"), platform_file_name_key("\xC3\xA4"));          // Ä, ä
    EXPECT_NE(platform_file_name_key("\xE4\xB8\xAD"), platform_file_name_key("\xE6\x96\x87"));
    EXPECT_NE(platform_file_name_key(kKorean), platform_file_name_key(kJapanese));
    FileNameClaims claims;
    EXPECT_TRUE(claims.claim("Pic.png"));
    EXPECT_FALSE(claims.claim("PIC.png"));
}

TEST(WindowsNames, RefusedBytesBecomeUnderscores)
{
    for (char c : std::string("\\/:*?\"<>|\x01\x1F"))
        EXPECT_TRUE(platform_is_forbidden_name_byte(c)) << int(c);
    for (char c : std::string("aZ09 .-_#&%'()[]{}~\x7F\x81\xFE"))
        EXPECT_FALSE(platform_is_forbidden_name_byte(c)) << int(c);

    EXPECT_EQ(sanitize_file_name("a:b*c?d\"e<f>g|h\\i/j\tk"), "a_b_c_d_e_f_g_h_i_j_k");
    EXPECT_EQ(sanitize_file_name("..\\..\\x"), ".._.._x");
    EXPECT_EQ(sanitize_file_name(kJapanese + "|\\" + kEmoji), kJapanese + "__" + kEmoji);
}

TEST(WindowsNames, DeviceNamesGetAPrefix)
{
    for (const char* device : {"con", "CON", "Prn", "aux", "nul", "COM1", "com9", "LPT1", "lpt9", "nul ", "conin$",
                               "COM\xC2\xB9", "lpt\xC2\xB3"})  // COM¹, lpt³
        EXPECT_TRUE(platform_is_device_name(device)) << device;
    for (const char* plain : {"", "cons", "co", "COM0", "COM10", "LPT", "nul_", "xnul", "\xD6\xD0", "COM\xE2\x81\xB4"})
        EXPECT_FALSE(platform_is_device_name(plain)) << plain;
    // The system reads a device name up to the first dot.
    EXPECT_EQ(sanitize_file_name("con"), "_con");
    EXPECT_EQ(sanitize_file_name("NUL.x"), "_NUL.x");
    EXPECT_EQ(sanitize_file_name("com1.a.b"), "_com1.a.b");
    EXPECT_EQ(sanitize_file_name("a.con"), "a.con");
    EXPECT_EQ(sanitize_file_name("console"), "console");
}

std::string path_result(int (*function)(char*, size_t, const char*), const char* path)
{
    char out[kPathBufferSize] = "untouched";
    return function(out, sizeof out, path) == 0 ? out : "-1";
}

std::string strip_base(const char* base, const char* path)
{
    char out[kPathBufferSize] = "untouched";
    const int result = path_strip_base(base, path, out, sizeof out);
    return result == 0 ? out : std::to_string(result) + ":" + out;
}

TEST(WindowsPaths, BackslashIsTheSeparator)
{
    EXPECT_EQ(path_result(path_strip_ext, "dir\\movie.swf"), "dir\\movie");
    EXPECT_EQ(path_result(path_strip_ext, "ver1.2\\movie"), "ver1");
    EXPECT_EQ(path_result(path_file_name, "a\\b\\c.swf"), "c.swf");
    EXPECT_EQ(path_result(path_file_name, "a\\b\\"), "b\\");
    EXPECT_EQ(path_result(path_file_name, "a/b"), "a/b");  // only the backslash separates
    EXPECT_EQ(path_result(path_ext_or_name, "a\\b.png"), "png");
    EXPECT_EQ(path_result(path_ext_or_name, "a\\b"), "b");
    // A GBK character whose trail byte is 0x5C does not end a folder name.
    EXPECT_EQ(path_result(path_file_name, "d\\\x81\x5Cx.swf"), "\x81\x5Cx.swf");

    EXPECT_EQ(strip_base("C:\\data", "C:\\data\\x\\y.swf"), "x\\y.swf");
    EXPECT_EQ(strip_base("C:\\data", ".\\x.swf"), "x.swf");
    EXPECT_EQ(strip_base("C:\\data", "./x.swf"), "x.swf");
    EXPECT_EQ(strip_base("C:\\data", "C:\\dat"), "-1:untouched");
    EXPECT_EQ(strip_base("C:\\data", "D:\\data\\x"), "-1:untouched");
}

// A fresh folder made the current one for the test, the previous one restored after.
class WindowsFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        ASSERT_TRUE(platform_current_dir(saved_, sizeof saved_));
        char full[kMaxPath];
        ASSERT_TRUE(platform_full_path(dir_.path().c_str(), full, sizeof full));
        root_ = full;
        ASSERT_TRUE(platform_set_current_dir(root_.c_str()));
    }
    void TearDown() override { platform_set_current_dir(saved_); }

    std::string listed(int (*list)(const char*, char**, int, int), const std::string& pattern)
    {
        std::vector<char*> slots(16, nullptr);
        const int count = list(pattern.c_str(), slots.data(), 0, static_cast<int>(slots.size()));
        std::string joined;
        for (size_t i = 0; std::cmp_less(i, count); ++i) {
            if (!joined.empty())
                joined += ',';
            joined += slots[i];
            std::free(slots[i]);
        }
        return joined;
    }

    testkit::TempDir dir_{"win"};
    char saved_[kMaxPath] = {};
    std::string root_;
};

TEST_F(WindowsFolder, FoldersFilesAndTheirNames)
{
    EXPECT_FALSE(platform_exists("out_res"));
    EXPECT_TRUE(platform_make_dir("out_res"));
    EXPECT_FALSE(platform_make_dir("out_res"));  // already there
    EXPECT_TRUE(platform_exists("out_res"));
    EXPECT_TRUE(platform_make_dir("a&b %PATH%"));  // no shell: nothing in the name is a command
    EXPECT_TRUE(platform_exists(join(root_, "a&b %PATH%").c_str()));
    EXPECT_FALSE(platform_make_dir("missing\\inner"));

    ASSERT_TRUE(write_text("m.swf", "one"));
    EXPECT_TRUE(platform_readable("m.swf"));
    EXPECT_FALSE(platform_readable("none.swf"));

    char current[kMaxPath];
    ASSERT_TRUE(platform_current_dir(current, sizeof current));
    EXPECT_EQ(upper(current), upper(root_));
    EXPECT_FALSE(platform_current_dir(current, 3));  // "C:\..." does not fit

    char full[kMaxPath];
    ASSERT_TRUE(platform_full_path("x\\.\\y\\..\\z.swf", full, sizeof full));
    EXPECT_EQ(std::string(full), join(root_, "x\\z.swf"));
    ASSERT_TRUE(platform_full_path("C:\\a\\.\\b\\..\\c", full, sizeof full));
    EXPECT_STREQ(full, "C:\\a\\c");
    EXPECT_FALSE(platform_full_path("C:\\a\\c", full, 6));
    EXPECT_TRUE(platform_full_path("C:\\a\\c", full, 7));
    EXPECT_FALSE(platform_full_path("", full, sizeof full));
}

TEST_F(WindowsFolder, SavingReplacesAndSpellingsMeetInOneFile)
{
    ASSERT_TRUE(write_text("m.swf", "old"));
    ASSERT_TRUE(write_text("n.swf", "other"));
    EXPECT_TRUE(platform_same_file("m.swf", ".\\m.swf"));
    EXPECT_TRUE(platform_same_file("m.swf", "M.SWF"));  // names are not case sensitive
    EXPECT_TRUE(platform_same_file("m.swf", join(root_, "m.swf").c_str()));
    EXPECT_FALSE(platform_same_file("m.swf", "n.swf"));
    EXPECT_FALSE(platform_same_file("m.swf", "none.swf"));

    const std::string temp = platform_temporary_prefix("m.swf") + "abc123";
    EXPECT_EQ(temp, "m.swf.pixsieve-tmp-abc123");
    ASSERT_TRUE(write_text(temp, "new"));
    EXPECT_TRUE(platform_rename(temp.c_str(), "m.swf"));  // over an existing file
    EXPECT_EQ(testkit::read_file("m.swf"), "new");
    EXPECT_FALSE(platform_exists(temp.c_str()));
    EXPECT_FALSE(platform_rename("none.swf", "m.swf"));
    EXPECT_EQ(testkit::read_file("m.swf"), "new");
    EXPECT_TRUE(platform_remove("n.swf"));
    EXPECT_FALSE(platform_remove("n.swf"));
}

std::span<const uint8_t> bytes_of(const std::string& text)
{
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST_F(WindowsFolder, OutputGoesOnlyIntoRealFoldersAndOverPlainFiles)
{
    OutputFolder here, out, again, refused;
    ASSERT_EQ(platform_open_folder("", &here), FolderStatus::ok);
    EXPECT_EQ(platform_enter_folder(here, "out_res", &out), FolderStatus::ok);
    EXPECT_EQ(platform_enter_folder(here, "out_res", &again), FolderStatus::ok);  // there already
    ASSERT_TRUE(write_text("file_res", "x"));
    EXPECT_EQ(platform_enter_folder(here, "file_res", &refused), FolderStatus::not_a_folder);
    EXPECT_EQ(platform_open_folder("missing", &refused), FolderStatus::cannot_open);
    EXPECT_EQ(platform_write_in_folder(out, "b.png", bytes_of("in"), false), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file("out_res\\b.png"), "in");
    ASSERT_TRUE(platform_remove("out_res\\b.png"));

    EXPECT_EQ(platform_write_file_whole("out_res\\a.png", bytes_of("first")), WriteStatus::ok);
    EXPECT_EQ(platform_save_file_durably("out_res\\a.png", bytes_of("second")), WriteStatus::ok);
    EXPECT_EQ(testkit::read_file("out_res\\a.png"), "second");
    ASSERT_TRUE(platform_make_dir("out_res\\folder.png"));
    EXPECT_EQ(platform_write_file_whole("out_res\\folder.png", bytes_of("x")), WriteStatus::occupied);
    EXPECT_FALSE(platform_regular_or_absent("out_res\\folder.png"));
    EXPECT_TRUE(platform_regular_or_absent("out_res\\a.png"));
    EXPECT_TRUE(platform_regular_or_absent("out_res\\none.png"));
    std::vector<PlatformDirEntry> entries;
    ASSERT_TRUE(platform_list_folder("out_res", &entries));
    EXPECT_EQ(entries.size(), 2u);  // a.png and folder.png: no temporaries left

    ASSERT_TRUE(write_text("o.swf.pixsieve-tmp-zz99zz", "left behind"));
    // Held without sharing, as a running save holds its temporary: it stays.
    HANDLE held = CreateFileA("o.swf.pixsieve-tmp-zz99zz", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform_remove_stale_temporaries("o.swf"), 0);
    CloseHandle(held);
    EXPECT_EQ(platform_remove_stale_temporaries("o.swf"), 1);
    EXPECT_FALSE(platform_exists("o.swf.pixsieve-tmp-zz99zz"));
}

TEST_F(WindowsFolder, OnlyDiskFilesAreRead)
{
    ASSERT_TRUE(write_text("a.png", "content"));
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(platform_read_regular_file("a.png", 100, &data, &size), ReadStatus::ok);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data), size), "content");
    std::free(data);
    data = nullptr;
    EXPECT_EQ(platform_read_regular_file("a.png", 7, &data, &size), ReadStatus::too_large);
    EXPECT_EQ(platform_read_regular_file("NUL", 100, &data, &size), ReadStatus::not_a_regular_file);
    EXPECT_EQ(platform_read_regular_file("none.png", 100, &data, &size), ReadStatus::missing);
    EXPECT_EQ(data, nullptr);
}

TEST_F(WindowsFolder, ListingsUseTheAttributesAndCaseInsensitiveOrder)
{
    for (const char* name : {"B.txt", "a.txt", "hidden.txt"})
        ASSERT_TRUE(write_text(name, "x"));
    ASSERT_TRUE(SetFileAttributesA("hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    for (const char* folder : {"Sub", "a.b", ".dot", "Sub\\Deep"})
        ASSERT_TRUE(platform_make_dir(folder));
    ASSERT_TRUE(write_text("Sub\\Deep\\y.txt", "y"));

    std::vector<PlatformDirEntry> entries;
    ASSERT_TRUE(platform_list_folder(".", &entries));
    EXPECT_EQ(entries.size(), 6u);  // no "." or ".."
    for (const PlatformDirEntry& entry : entries) {
        if (entry.name != ".dot") {  // wine, unlike Windows, also hides names that start with a dot
            EXPECT_EQ(entry.is_hidden, entry.name == "hidden.txt") << entry.name;
        }
        EXPECT_EQ(entry.is_dir, entry.name == "Sub" || entry.name == "a.b" || entry.name == ".dot") << entry.name;
        EXPECT_FALSE(entry.is_link) << entry.name;
    }
    EXPECT_FALSE(platform_list_folder("missing", &entries));

    EXPECT_EQ(listed(list_files, "*.*"), join(root_, "a.txt") + "," + join(root_, "B.txt"));
    EXPECT_EQ(listed(list_dirs, "*.*"), join(root_, "Sub"));
    EXPECT_EQ(listed(list_files, "none*.*"), "");
    EXPECT_EQ(listed(list_files_tree, root_),
              join(root_, "a.txt") + "," + join(root_, "B.txt") + "," + join(root_, "Sub\\Deep\\y.txt"));
}

// Names no code page spells are created, found, read, renamed and removed under their own names.
TEST_F(WindowsFolder, EveryCharacterOfANameSurvives)
{
    const std::string folder = kKorean + "_res";
    OutputFolder current, made;
    ASSERT_EQ(platform_open_folder("", &current), FolderStatus::ok);
    ASSERT_EQ(platform_enter_folder(current, folder, &made), FolderStatus::ok);
    const std::string file = join(folder, kJapanese + kEmoji + ".png");
    ASSERT_EQ(platform_write_in_folder(made, kJapanese + kEmoji + ".png", bytes_of("picture"), false), WriteStatus::ok);
    EXPECT_NE(GetFileAttributesW(L"\uD55C\uAD6D_res\\\u65E5\u672C\u8A9E\U0001F600.png"), INVALID_FILE_ATTRIBUTES);
    std::vector<PlatformDirEntry> entries;
    ASSERT_TRUE(platform_list_folder(folder.c_str(), &entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, kJapanese + kEmoji + ".png");
    EXPECT_TRUE(platform_is_dir(folder.c_str()));
    EXPECT_TRUE(platform_regular_or_absent(file.c_str()));
    uint8_t* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(platform_read_regular_file(file.c_str(), 100, &data, &size), ReadStatus::ok);
    std::free(data);

    const std::string moved = join(folder, kEmoji + ".png");
    ASSERT_TRUE(platform_rename(file.c_str(), moved.c_str()));
    EXPECT_FALSE(platform_exists(file.c_str()));
    EXPECT_TRUE(platform_same_file(moved.c_str(), join(root_, moved).c_str()));
    std::FILE* opened = platform_open_file((moved + ".pixsieve-tmp-zz99zz").c_str(), "wb");
    ASSERT_NE(opened, nullptr);
    std::fclose(opened);

    ASSERT_TRUE(platform_set_current_dir(folder.c_str()));
    char here[kMaxPath * 4];
    ASSERT_TRUE(platform_current_dir(here, sizeof here));
    EXPECT_EQ(std::string(here), join(root_, folder));
    ASSERT_TRUE(platform_full_path((kEmoji + ".png").c_str(), here, sizeof here));
    EXPECT_EQ(std::string(here), join(join(root_, folder), kEmoji + ".png"));
    EXPECT_EQ(platform_remove_stale_temporaries((kEmoji + ".png").c_str()), 1);
    EXPECT_TRUE(platform_remove((kEmoji + ".png").c_str()));
}

TEST(WindowsProgram, ArgumentsArriveAsUtf8)
{
    static std::vector<std::string> seen;
    wchar_t program[] = L"pixsieve.exe", korean[] = L"\uD55C\uAD6D.swf", emoji[] = L"\U0001F600";
    wchar_t* argv[] = {program, korean, emoji, nullptr};
    const auto main = [](int argc, char** args) {
        seen.assign(args, args + argc);
        return args[argc] == nullptr ? 7 : 0;
    };
    EXPECT_EQ(platform_run_utf8_main(3, argv, main), 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"pixsieve.exe", kKorean + ".swf", kEmoji}));
}

TEST(WindowsProgram, OwnPathAndFolder)
{
    char exe[kMaxPath];
    ASSERT_TRUE(platform_exe_path(exe, sizeof exe));
    const std::string path = exe;
    ASSERT_GT(path.size(), 4u);
    EXPECT_EQ(upper(path.substr(path.size() - 4)), ".EXE");
    EXPECT_FALSE(platform_exe_path(exe, 4));  // cut names are refused, not returned
    const std::string folder = exe_dir();
    EXPECT_EQ(path.substr(0, folder.size() + 1), folder + kPathSeparator);
    EXPECT_EQ(path.find(kPathSeparator, folder.size() + 1), std::string::npos);
}

}  // namespace
