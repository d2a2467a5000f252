#include "toolkit/text_coders.h"

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"

namespace {

const uint8_t* bytes(const char* s) { return reinterpret_cast<const uint8_t*>(s); }

std::string b64(const std::string& data)
{
    std::vector<char> out(data.size() * 2 + 8);
    int n = base64_encode(bytes(data.data()), static_cast<unsigned>(data.size()), out.data(), out.size());
    EXPECT_GE(n, 0);
    EXPECT_EQ(n >= 0 ? std::strlen(out.data()) : 0u, n >= 0 ? static_cast<size_t>(n) : 0u);
    return n < 0 ? "<fail>" : std::string(out.data(), static_cast<size_t>(n));
}

// Decodes into a roomy buffer; "<fail>" for -1. Also checks that counting agrees.
std::string unb64(const char* text)
{
    uint8_t out[256];
    int n = base64_decode(text, out, sizeof out);
    EXPECT_EQ(base64_decode(text, nullptr, 0), n) << text;
    return n < 0 ? "<fail>" : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

std::string b32(const std::string& data)
{
    char out[256];
    int n = base32_encode(bytes(data.data()), static_cast<int>(data.size()), out, sizeof out);
    EXPECT_GE(n, 0);
    return n < 0 ? "<fail>" : std::string(out, static_cast<size_t>(n));
}

std::string unb32(const char* text)
{
    uint8_t out[256];
    int n = base32_decode(text, out, sizeof out);
    return n < 0 ? "<fail>" : std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n));
}

// Reference coders that go through a string of '0'/'1' digits, one bit at a time.
std::string bit_string(const std::vector<uint8_t>& data)
{
    std::string bits;
    for (uint8_t b : data)
        for (int k = 7; k >= 0; --k)
            bits += static_cast<char>('0' + ((b >> k) & 1));
    return bits;
}

std::string reference_encode(const std::vector<uint8_t>& data, size_t width, const char* alphabet)
{
    std::string bits = bit_string(data);
    while (bits.size() % width != 0)
        bits += '0';
    std::string text;
    for (size_t i = 0; i < bits.size(); i += width)
        text += alphabet[std::stoi(bits.substr(i, width), nullptr, 2)];
    return text;
}

// RFC 4648 test vectors; base32 in lower case and without the padding this coder never writes.
struct Rfc4648Vector {
    const char* plain;
    const char* base64;
    const char* base32;
};
constexpr Rfc4648Vector kRfc4648[] = {
    {"", "", ""},
    {"f", "Zg==", "my"},
    {"fo", "Zm8=", "mzxq"},
    {"foo", "Zm9v", "mzxw6"},
    {"foob", "Zm9vYg==", "mzxw6yq"},
    {"fooba", "Zm9vYmE=", "mzxw6ytb"},
    {"foobar", "Zm9vYmFy", "mzxw6ytboi"},
};

TEST(TextCoders, Rfc4648Vectors)
{
    for (const Rfc4648Vector& v : kRfc4648) {
        EXPECT_EQ(b64(v.plain), v.base64);
        EXPECT_EQ(unb64(v.base64), v.plain);
        EXPECT_EQ(b32(v.plain), v.base32);
        EXPECT_EQ(unb32(v.base32), v.plain);
    }
    EXPECT_EQ(unb32("MZXW6YTBOI"), "foobar");
    EXPECT_EQ(b64(std::string("\xfb\xff\xbf", 3)), "+/+/");
    EXPECT_EQ(unb64("+/+/"), std::string("\xfb\xff\xbf", 3));
}

TEST(Base64, EncodeCapacityLeavesRoomForTheTerminator)
{
    char out[8];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(base64_encode(bytes("abc"), 3, out, 4), -1);
    EXPECT_EQ(base64_encode(bytes("abc"), 3, out, 5), 4);
    EXPECT_STREQ(out, "YWJj");
    EXPECT_EQ(base64_encode(bytes("a"), 1, out, 4), -1);
    EXPECT_EQ(base64_encode(bytes("abcd"), 4, out, 7), -1);  // second group does not fit
    EXPECT_EQ(base64_encode(bytes(""), 0, out, 0), -1);      // not even the NUL
    EXPECT_EQ(base64_encode(bytes(""), 0, out, 1), 0);
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(base64_encode(bytes("a"), 1, nullptr, 8), -1);
}

TEST(Base64, DecodeSkipsWhiteSpaceEverywhere)
{
    EXPECT_EQ(unb64(" Zm9v\nYmE\t=\r\n"), "fooba");
    EXPECT_EQ(unb64("Zg\v=\f= "), "f");  // also between the two padding characters
    EXPECT_EQ(unb64("  \n"), "");
}

TEST(Base64, DecodeRefusesMalformedText)
{
    EXPECT_EQ(unb64("Zm9"), "<fail>");    // ends inside a group
    EXPECT_EQ(unb64("Zg="), "<fail>");    // two characters and a single '='
    EXPECT_EQ(unb64("Z==="), "<fail>");   // padding after one character
    EXPECT_EQ(unb64("===="), "<fail>");   // padding at the start of a group
    EXPECT_EQ(unb64("Zh=="), "<fail>");   // 'h' leaves non-zero unused bits
    EXPECT_EQ(unb64("Zm9="), "<fail>");   // '9' leaves non-zero unused bits
    EXPECT_EQ(unb64("Zg==x"), "<fail>");  // data after the padding
    EXPECT_EQ(unb64("Zg== ="), "<fail>");
    EXPECT_EQ(unb64("Zm8=Zm8="), "<fail>");
    EXPECT_EQ(unb64("Zm-v"), "<fail>");  // not in the alphabet
    EXPECT_EQ(unb64("Zm9v\xc4\xe3"), "<fail>");
    EXPECT_EQ(base64_decode(nullptr, nullptr, 0), -1);
}

TEST(Base64, DecodeRespectsCapacity)
{
    uint8_t out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(base64_decode("Zm9v", out, 3), 3);  // a full group fits exactly
    EXPECT_EQ(std::memcmp(out, "foo", 3), 0);
    EXPECT_EQ(out[3], 0xAA);
    EXPECT_EQ(base64_decode("Zm9v", out, 2), -1);
    // A partial group is built in place and needs the byte after its last one.
    EXPECT_EQ(base64_decode("Zg==", out, 1), -1);
    EXPECT_EQ(base64_decode("Zg==", out, 2), 1);
    EXPECT_EQ(base64_decode("Zm8=", out, 2), -1);
    EXPECT_EQ(base64_decode("Zm8=", out, 3), 2);
    EXPECT_EQ(base64_decode("Zm9vYmFy", out, 5), -1);
    EXPECT_EQ(base64_decode("", out, 0), 0);
    // Counting ignores the capacity and writes nothing.
    EXPECT_EQ(base64_decode("Zm9vYmFy", nullptr, 0), 6);
}

TEST(Base64, MatchesBitwiseReferenceAndRoundTrips)
{
    constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::mt19937 rng(1234);
    for (unsigned length = 0; length < 70; ++length) {
        std::vector<uint8_t> data(length);
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        std::string expected = reference_encode(data, 6, kAlphabet);
        while (expected.size() % 4 != 0)
            expected += '=';
        std::vector<char> text(expected.size() + 1);
        ASSERT_EQ(base64_encode(data.data(), length, text.data(), text.size()), static_cast<int>(expected.size()));
        ASSERT_EQ(std::string(text.data()), expected);
        std::vector<uint8_t> back(length + 1);
        ASSERT_EQ(base64_decode(text.data(), back.data(), back.size()), static_cast<int>(length));
        back.resize(length);
        EXPECT_EQ(back, data);
    }
}

TEST(Base32, EncodeAndDecodeExamples)
{
    EXPECT_EQ(b32("abc"), "mfrgg");
    EXPECT_EQ(unb32("mfrgg"), "abc");
    EXPECT_EQ(unb32("MFRGG"), "abc");
    EXPECT_EQ(unb32("mfr-gg"), "abc");
    EXPECT_EQ(unb32("mf\trg\r\n g"), "abc");
    EXPECT_EQ(unb32("MZXW6YQ"), "foob");  // leftover bits are dropped
}

TEST(Base32, DecodeLookalikesAndBadCharacters)
{
    EXPECT_EQ(unb32("0"), unb32("O"));
    EXPECT_EQ(unb32("01810"), unb32("OLBLO"));
    // O=14 L=11 B=1 L=11 O=14: 01110 01011 00001 01011 01110 -> 01110010 11000010 10110111
    EXPECT_EQ(unb32("01810"), "\x72\xc2\xb7");
    EXPECT_EQ(unb32("9"), "<fail>");
    EXPECT_EQ(unb32("mfrgg9"), "<fail>");
    EXPECT_EQ(unb32("mf=="), "<fail>");
    EXPECT_EQ(unb32("mf\xb0"), "<fail>");
}

TEST(Base32, CapacityCutsWithoutOverrunning)
{
    uint8_t out[8];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(base32_decode("mfrgg", out, 3), 3);  // fits, no room for the NUL
    EXPECT_EQ(std::memcmp(out, "abc", 3), 0);
    EXPECT_EQ(out[3], 0xAA);
    EXPECT_EQ(base32_decode("mfrgg", out, 4), 3);
    EXPECT_EQ(out[3], 0);
    // Reading stops once the output is full, so a bad character beyond is never seen.
    EXPECT_EQ(base32_decode("mzxw9", out, 2), 2);
    EXPECT_EQ(std::memcmp(out, "fo", 2), 0);

    char text[8];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(base32_encode(bytes("foobar"), 6, text, 4), 4);
    EXPECT_EQ(std::string(text, 5), "mzxwx");
    EXPECT_EQ(base32_encode(bytes("abc"), 3, text, 6), 5);
    EXPECT_STREQ(text, "mfrgg");
    EXPECT_EQ(base32_encode(bytes(""), 0, text, 8), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(base32_encode(bytes("a"), -1, text, 8), -1);
    EXPECT_EQ(base32_encode(bytes("a"), (1 << 28) + 1, text, 8), -1);
}

TEST(Base32, MatchesBitwiseReferenceAndRoundTrips)
{
    std::mt19937 rng(99);
    for (int length = 1; length < 60; ++length) {
        std::vector<uint8_t> data(static_cast<size_t>(length));
        for (auto& b : data)
            b = static_cast<uint8_t>(rng());
        std::string expected = reference_encode(data, 5, "abcdefghijklmnopqrstuvwxyz234567");
        char text[128];
        ASSERT_EQ(base32_encode(data.data(), length, text, sizeof text), static_cast<int>(expected.size()));
        ASSERT_EQ(std::string(text), expected);
        uint8_t back[128];
        ASSERT_EQ(base32_decode(text, back, sizeof back), length);
        EXPECT_EQ(std::vector<uint8_t>(back, back + length), data);
    }
}

TEST(HexDump, PrintsAtMostFiftyBytesInGroupsOfEight)
{
    uint8_t data[60];
    for (int i = 0; i < 60; ++i)
        data[i] = static_cast<uint8_t>(i * 5);
    std::string expected;
    char cell[4];
    for (int i = 0; i < 50; ++i) {
        if (i % 8 == 0)
            expected += ' ';
        std::snprintf(cell, sizeof cell, "%02X ", data[i]);
        expected += cell;
    }
    expected += '\n';
    EXPECT_EQ(testkit::capture_stdout([&] { hex_dump(data, 60); }), expected);
    EXPECT_EQ(testkit::capture_stdout([&] {
                  hex_dump(bytes("\x01\xab\xff"), 3);
                  hex_dump(data, 0);
              }),
              " 01 AB FF \n\n");
    EXPECT_EQ(testkit::capture_stdout([&] { hex_dump(data, 9); }), " 00 05 0A 0F 14 19 1E 23  28 \n");
}

}  // namespace
