#include "swf/naming.h"

#include <string>

#include <gtest/gtest.h>

#include "capture.h"

#include "load_util.h"
#include "platform/platform.h"
#include "swf/swf.h"

namespace {

TEST(FileNameClaims, EachNameOnceUntilCleared)
{
    FileNameClaims claims;
    EXPECT_TRUE(claims.claim("a.png"));
    EXPECT_TRUE(claims.claim("a.jpg"));
    EXPECT_TRUE(claims.claim("b.png"));
    EXPECT_FALSE(claims.claim("a.png"));
    claims.clear();
    EXPECT_TRUE(claims.claim("a.png"));
}

TEST(FileNameClaims, PosixNamesDifferByCaseAndByEveryByte)
{
#ifdef _WIN32
    GTEST_SKIP() << "Windows compares names without case";
#endif
    FileNameClaims claims;
    for (const char* name : {"Pic.png", "pic.png", "\xC3\xA9.png", "e\xCC\x81.png", "\xC3.png", "\xC3\xA9\x80.png"})
        EXPECT_TRUE(claims.claim(name)) << name;
}

TEST(BitmapFilePath, SeparatorsGoEvenAfterBytesThatLookLikeLeadBytes)
{
    // A separator is never part of a character: names are UTF-8 inside on every system, and
    // no byte of a multi-byte UTF-8 character is ASCII.
    EXPECT_EQ(sanitize_file_name("\xC3/x"), "\xC3_x");
    EXPECT_EQ(sanitize_file_name("\xFE/\x81/"), "\xFE_\x81_");
    EXPECT_EQ(sanitize_file_name("a/b"), "a_b");
}

TEST(BitmapFilePath, TakenNamesGiveWayToTheIdThenToNumberedIds)
{
    swfkit::Movie m;
    m.tag(76, swfkit::symbol_class_body({{1, "same"}, {2, "same"}, {3, "9"}, {4, "4"}}));
    m.end();
    testkit::Loaded loaded = testkit::load_movie(m.build());
    ASSERT_TRUE(loaded.swf);
    Swf* swf = loaded.swf.get();
    const std::string folder = "out";
    auto file = [&](uint16_t id, uint8_t by_name, const char* extension) {
        std::string path = bitmap_file_path(swf, folder, id, by_name, extension);
        return path.substr(folder.size() + 1);
    };
    testkit::CapturedStdout capture;
    EXPECT_EQ(file(1, 1, ".png"), "same.png");
    EXPECT_EQ(file(1, 1, ".jpg"), "same.jpg");
    EXPECT_EQ(file(2, 1, ".png"), "2.png");
    EXPECT_EQ(file(3, 1, ".png"), "9.png");
    EXPECT_EQ(file(9, 1, ".png"), "9_2.png");  // id 9 has no name; "9.png" is bitmap 3's
    EXPECT_EQ(file(9, 0, ".png"), "9_3.png");  // the same bitmap again
    EXPECT_EQ(file(4, 1, ".png"), "4.png");    // a name that is its own id
    EXPECT_EQ(file(4, 1, ".png"), "4_2.png");
    std::string lines = capture.take();
    EXPECT_NE(lines.find("<bitmap_file_path>: same.png is taken by another bitmap; bitmap 2 is written as 2.png\n"),
              std::string::npos);
    EXPECT_NE(lines.find("9.png is taken by another bitmap; bitmap 9 is written as 9_2.png\n"), std::string::npos);
}

}  // namespace
