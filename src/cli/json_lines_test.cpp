#include "cli/json_lines.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonLines, StringsAreEscapedAndBadUtf8KeepsItsBytesInHex)
{
    JsonObject o;
    o.add("s", std::string_view("q\"b\\\n\x01\x7f\xC3\xA9"))
        .add("n", static_cast<const char*>(nullptr))
        .add_number("i", 65535)
        .add_bool("b", false);
    EXPECT_EQ(o.text(), "{\"s\":\"q\\\"b\\\\\\u000a\\u0001\x7f\xC3\xA9\",\"n\":null,\"i\":65535,\"b\":false}");
    EXPECT_EQ(JsonObject().add("x", std::string_view("a\xC3")).text(), "{\"x\":\"a\\ufffd\",\"x_hex\":\"61c3\"}");
    EXPECT_EQ(JsonObject().text(), "{}");
}

TEST(JsonLines, Utf8CheckRefusesWhatStrictDecodersRefuse)
{
    for (const char* good :
         {"", "abc", "\xC2\x80", "\xE2\x82\xAC", "\xED\x9F\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(is_valid_utf8(good)) << good;
    for (const char* bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                            "\xF5\x80\x80\x80", "\xE2\x82", "\xFF"})
        EXPECT_FALSE(is_valid_utf8(bad)) << bad;
}

}  // namespace
