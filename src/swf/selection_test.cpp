#include "swf/selection.h"

#include <gtest/gtest.h>

namespace {

TEST(Selection, IdListsAcceptIdsAndRangesOnly)
{
    BitmapSelection s;
    EXPECT_TRUE(selection_add_ids(&s, "12,40-45"));
    EXPECT_TRUE(selection_add_ids(&s, "0,65535,7-7"));
    for (const char* bad : {"", ",", "12,", "a", "5-3", "65536", "1-", "-4", "1 2", "+3", "0x10"})
        EXPECT_FALSE(selection_add_ids(&s, bad)) << bad;
    ASSERT_EQ(s.selectors.size(), 2u);
    EXPECT_EQ(s.selectors[0].shown, "--id 12,40-45");
    EXPECT_FALSE(selection_add_name(&s, ""));

    std::vector<bool> matched(2, false);
    EXPECT_TRUE(s.take(45, nullptr, &matched));
    EXPECT_FALSE(s.take(46, nullptr, &matched));
    EXPECT_EQ(matched, (std::vector<bool>{true, false}));
    EXPECT_TRUE(s.take(65535, nullptr, &matched));
    EXPECT_EQ(matched, (std::vector<bool>{true, true}));
}

TEST(Selection, NamePatternsAreShellPatternsOnClassNamesOnly)
{
    BitmapSelection s;
    ASSERT_TRUE(selection_add_name(&s, "ui.*"));
    std::vector<bool> matched(1, false);
    const std::string logo = "ui.Logo", other = "bg";
    EXPECT_TRUE(s.take(1, &logo, &matched));
    EXPECT_FALSE(s.take(2, &other, &matched));
    EXPECT_FALSE(s.take(3, nullptr, &matched));  // no class name: only ids can take it

    struct Case {
        const char* pattern;
        const char* text;
        bool match;
    };
    for (const Case& c :
         {Case{"*", "", true}, Case{"a*b*c", "aXbYbc", true}, Case{"a*b", "ab", true}, Case{"a*b", "abc", false},
          Case{"?", "\xE8\x83\x8C", true}, Case{"??", "\xE8\x83\x8C", false}, Case{"[a-c]x", "bx", true},
          Case{"[!a-c]x", "bx", false}, Case{"[^a]x", "dx", true}, Case{"[]]", "]", true}, Case{"[ab", "[ab", true},
          Case{"\\*", "*", true}, Case{"\\*", "a", false}, Case{"*.png*", "a.png", true}, Case{"ui.*", "uiXa", false}})
        EXPECT_EQ(glob_match(c.pattern, c.text), c.match) << c.pattern << " / " << c.text;
}

}  // namespace
