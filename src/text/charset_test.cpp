#include "text/charset.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture.h"
#include "charset_model.h"

namespace {

class Charset : public ::testing::Test {
protected:
    static void SetUpTestSuite() { charset_init(); }
};

// Runs a conversion into a heap buffer of exactly `capacity` bytes, so the sanitizer build
// catches any write past it; the input also sits in a buffer of exactly its own size.
struct Converted {
    Fault result;
    int length;
    std::string text;
};

using ConvertFn = Fault (*)(const char*, size_t, char*, size_t, int*);

Converted convert(ConvertFn fn, const std::string& input, size_t capacity)
{
    std::vector<char> src(input.begin(), input.end());
    std::vector<char> out(capacity, '\x5A');
    int length = -7;
    Fault result = fn(src.empty() ? nullptr : src.data(), src.size(), out.data(), out.size(), &length);
    Converted c{result, length, {}};
    if (result == Fault::none) {
        EXPECT_GE(length, 0);
        EXPECT_LT(size_t(length), capacity);
        EXPECT_EQ(out[size_t(length)], '\0');
        c.text.assign(out.data(), size_t(length));
    }
    return c;
}

// The buffers the symbol-name reader passes: 2 x length + 1 and 3 x length.
std::string to_gbk(const std::string& utf8)
{
    if (utf8.empty())
        return "";
    Converted c = convert(utf8_to_gbk, utf8, 2 * utf8.size() + 1);
    EXPECT_EQ(c.result, Fault::none);
    return c.text;
}

std::string to_utf8(const std::string& gbk)
{
    if (gbk.empty())
        return "";
    Converted c = convert(gbk_to_utf8, gbk, 3 * gbk.size());
    EXPECT_EQ(c.result, Fault::none);
    return c.text;
}

bool in_gb2312_area(unsigned code) { return (code >> 8) >= 0xA1 && (code >> 8) <= 0xF7 && (code & 0xFF) >= 0xA1; }

bool is_private_use_row(unsigned code)
{
    return code == 0xA8BC || code == 0xA8BF || (code >= 0xFE50 && code <= 0xFEA0);
}

// glibc's CP936 converter, the independent reference for every code it knows.
class Cp936Oracle {
public:
    Cp936Oracle() : cd_(iconv_open("UTF-8", "CP936")) {}
    ~Cp936Oracle()
    {
        if (ok())
            iconv_close(cd_);
    }
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

    // UTF-8 of the two bytes, or "" when iconv refuses them or they are not one character.
    std::string convert_pair(unsigned code)
    {
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        char in[2] = {char(code >> 8), char(code & 0xFF)};
        char out[16];
        char* in_ptr = in;
        char* out_ptr = out;
        size_t in_left = 2, out_left = sizeof out;
        if (iconv(cd_, &in_ptr, &in_left, &out_ptr, &out_left) == size_t(-1) || in_left != 0)
            return "";
        std::string result(out, sizeof out - out_left);
        // A lead followed by a byte that is no trail comes back as two characters.
        unsigned char first = result.empty() ? 0 : (unsigned char)result[0];
        size_t one_character = first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 0;
        return result.size() == one_character ? result : "";
    }

private:
    iconv_t cd_;
};

TEST_F(Charset, StoredListsHaveTheDocumentedShape)
{
    EXPECT_EQ(gbk_single_pairs_words, 15512u);
    EXPECT_EQ(gbk_runs_words, 7797u);
    EXPECT_EQ(trad_simp_pairs_words % 2, 0u);
    EXPECT_GT(trad_simp_pairs_words, 4000u);

    unsigned previous = 0;
    for (unsigned i = 0; i < gbk_runs_words; i += 3) {
        EXPECT_LT(gbk_runs[i], gbk_runs[i + 1]) << "run " << i / 3;
        EXPECT_GT(gbk_runs[i], previous) << "runs overlap or are unsorted at " << i / 3;
        previous = gbk_runs[i + 1];
    }
    previous = 0;
    for (unsigned i = 0; i < gbk_single_pairs_words; i += 2) {
        EXPECT_GT(gbk_single_pairs[i], previous);
        previous = gbk_single_pairs[i];
    }

    // The first rows and the last row of the traditional-to-simplified list.
    const uint16_t* t = trad_simp_pairs;
    EXPECT_EQ(t[0], 0x8147);
    EXPECT_EQ(t[1], 0xB6AA);
    EXPECT_EQ(t[2], 0x814B);
    EXPECT_EQ(t[3], 0xB2A2);
    EXPECT_EQ(t[4], 0x8179);
    EXPECT_EQ(t[5], 0xC2D2);
    EXPECT_EQ(t[trad_simp_pairs_words - 2], 0xFD94);
    EXPECT_EQ(t[trad_simp_pairs_words - 1], 0xB9EA);
    previous = 0;
    for (unsigned i = 0; i < trad_simp_pairs_words; i += 2) {
        EXPECT_GT(t[i], previous);
        previous = t[i];
        EXPECT_NE(gbk_to_unicode[t[i] & 0x7FFF], 0) << std::hex << t[i];
        EXPECT_NE(gbk_to_unicode[t[i + 1] & 0x7FFF], 0) << std::hex << t[i + 1];
    }
}

TEST_F(Charset, MappingIsOneToOneWithPrivateUseRows)
{
    unsigned mapped = 0;
    for (unsigned i = 0; i < kGbkTableSize; ++i) {
        unsigned u = gbk_to_unicode[i];
        if (u == 0)
            continue;
        ++mapped;
        EXPECT_GE(u, 0x80u);
        EXPECT_EQ(unicode_to_gbk[u], i | 0x8000) << std::hex << (i | 0x8000);
    }
    EXPECT_EQ(mapped, 21874u);
    unsigned reverse = 0;
    for (unsigned u = 0; u < kUnicodeTableSize; ++u)
        reverse += unicode_to_gbk[u] != 0;
    EXPECT_EQ(reverse, 21874u);
    for (unsigned u = 0; u < 0x80; ++u)
        EXPECT_EQ(unicode_to_gbk[u], 0) << u;

    EXPECT_EQ(gbk_to_unicode[0xA8BC - 0x8000], 0xE7C7);
    EXPECT_EQ(gbk_to_unicode[0xA8BF - 0x8000], 0xE7C8);
    EXPECT_EQ(gbk_to_unicode[0xFE50 - 0x8000], 0xE815);
    EXPECT_EQ(gbk_to_unicode[0xFE7F - 0x8000], 0xE844);
    EXPECT_EQ(gbk_to_unicode[0xFEA0 - 0x8000], 0xE865);
    for (unsigned code = 0xFE50; code <= 0xFEA0; ++code)
        EXPECT_EQ(gbk_to_unicode[code - 0x8000], 0xE815 + (code - 0xFE50));

    // The single byte 0x80 as a lead and the user-defined areas stay unmapped.
    for (unsigned trail = 0; trail < 256; ++trail)
        EXPECT_EQ(gbk_to_unicode[trail], 0);
    for (unsigned lead = 0xAA; lead <= 0xFE; ++lead) {
        if (lead > 0xAF && lead < 0xF8)
            continue;
        for (unsigned trail = 0xA1; trail <= 0xFE; ++trail)
            EXPECT_EQ(gbk_to_unicode[((lead << 8) | trail) - 0x8000], 0) << std::hex << lead << trail;
    }
    for (unsigned lead = 0xA1; lead <= 0xA7; ++lead)
        for (unsigned trail = 0x40; trail <= 0xA0; ++trail)
            EXPECT_EQ(gbk_to_unicode[((lead << 8) | trail) - 0x8000], 0) << std::hex << lead << trail;
}

TEST_F(Charset, AgreesWithIconvOnEveryOtherCode)
{
    Cp936Oracle oracle;
    ASSERT_TRUE(oracle.ok());
    unsigned agreed = 0;
    for (unsigned code = 0x8000; code <= 0xFFFF; ++code) {
        if (is_private_use_row(code))
            continue;
        std::string expected = oracle.convert_pair(code);
        bool mapped = gbk_to_unicode[code - 0x8000] != 0;
        ASSERT_EQ(mapped, !expected.empty()) << std::hex << code;
        if (!mapped)
            continue;
        std::string pair{char(code >> 8), char(code & 0xFF)};
        ASSERT_EQ(to_utf8(pair), expected) << std::hex << code;
        ASSERT_EQ(to_gbk(expected), pair) << std::hex << code;
        ++agreed;
    }
    EXPECT_EQ(agreed, 21874u - 83u);
}

TEST_F(Charset, Utf8ToGbkExamples)
{
    EXPECT_EQ(to_gbk("\xE4\xB8\xAD"), "\xD6\xD0");  // U+4E2D "middle"
    EXPECT_EQ(to_gbk("\xEF\xBC\x81"), "\xA3\xA1");  // U+FF01 full-width '!'
    EXPECT_EQ(to_gbk("\xC2\xB7"), "\xA1\xA4");      // U+00B7 middle dot
    EXPECT_EQ(to_gbk("a\xE2\x82\xAC"
                     "b"),
              "ab");  // U+20AC has no GBK code
    EXPECT_EQ(to_gbk("\xF0\x9F\x98\x80"
                     "z"),
              "z");  // outside the BMP, all four bytes skipped
    EXPECT_EQ(to_gbk("\x80"
                     "a"),
              "a");
    EXPECT_EQ(to_gbk("\xC0"
                     "a"),
              "a");
    EXPECT_EQ(to_gbk("plain ASCII text, longer than one word"), "plain ASCII text, longer than one word");
    EXPECT_EQ(to_gbk("\xEE\x9F\x87"), "\xA8\xBC");  // private-use U+E7C7

    Converted cut = convert(utf8_to_gbk, "ab\xE4\xB8", 9);
    EXPECT_EQ(cut.result, Fault::none);
    EXPECT_EQ(cut.text, "ab");
    EXPECT_EQ(cut.length, 2);
    cut = convert(utf8_to_gbk, "a\xC3", 5);
    EXPECT_EQ(cut.text, "a");
    EXPECT_EQ(cut.length, 1);
}

TEST_F(Charset, Utf8ToGbkNeverSwallowsBytesAfterBrokenSequence)
{
    EXPECT_EQ(to_gbk("\xE4"
                     "AB"),
              "AB");
    EXPECT_EQ(to_gbk("\xE4\xB8"
                     "/x"),
              "/x");
    EXPECT_EQ(to_gbk("\xC3"
                     "b"),
              "b");
    EXPECT_EQ(to_gbk("\xF0"
                     "abc"),
              "abc");
    EXPECT_EQ(to_gbk("a\xE4"
                     "b"),
              "ab");  // not a cut-off sequence: 'b' is no continuation
    // Overlong forms decode to nothing, in particular not to '/' or '.'.
    EXPECT_EQ(to_gbk("\xE0\x80\xAF"
                     "a"),
              "a");
    EXPECT_EQ(to_gbk("\xC0\xAF"
                     "a"),
              "a");
    EXPECT_EQ(to_gbk("\xE0\x82\xB7"), "");  // overlong U+00B7
    EXPECT_EQ(to_gbk("\xED\xA0\x80"
                     "a"),
              "a");  // surrogate
}

TEST_F(Charset, GbkToUtf8Examples)
{
    EXPECT_EQ(to_utf8("\xD6\xD0"), "\xE4\xB8\xAD");
    EXPECT_EQ(to_utf8("\xA1\xA1"), "\xE3\x80\x80");  // ideographic space
    EXPECT_EQ(to_utf8("\xA1\xA4"), "\xC2\xB7");      // two-byte UTF-8 result
    EXPECT_EQ(to_utf8("a\xB0"), "a");                // lone lead at the end
    EXPECT_EQ(to_utf8("\xAA\xA1"
                      "b"),
              "b");  // user-defined area: the pair vanishes
    EXPECT_EQ(to_utf8("\x80\x80"
                      "c"),
              "c");
    EXPECT_EQ(to_utf8("\xFE\x7F"), "\xEE\xA1\x84");  // U+E844
    EXPECT_EQ(to_utf8("\x81\x40"), "\xE4\xB8\x82");  // trail below 0x80 that is a real trail
}

TEST_F(Charset, GbkToUtf8KeepsAsciiAfterStrayLead)
{
    EXPECT_EQ(to_utf8("\x81\n"), "\n");
    EXPECT_EQ(to_utf8("\xA2"
                      "A"
                      "\xD6\xD0"),
              "A\xE4\xB8\xAD");  // A241 is unmapped
    EXPECT_EQ(to_utf8("\xFF\\x"), "\\x");
}

TEST_F(Charset, ConversionsRefuseBadArgumentsWithoutTouchingOutput)
{
    for (ConvertFn fn : {utf8_to_gbk, gbk_to_utf8}) {
        char out[8] = "keep";
        int len = 42;
        EXPECT_EQ(fn("abc", 0, out, sizeof out, &len), Fault::malformed);
        EXPECT_EQ(fn(nullptr, 3, out, sizeof out, &len), Fault::malformed);
        EXPECT_EQ(fn("abc", 3, nullptr, sizeof out, &len), Fault::malformed);
        EXPECT_EQ(fn("abc", 3, out, sizeof out, nullptr), Fault::malformed);
        EXPECT_EQ(fn("abc", size_t(1) << 30, out, sizeof out, &len), Fault::too_large);
        EXPECT_STREQ(out, "keep");
        EXPECT_EQ(len, 42);
    }
    // Capacities below the worst case are refused even where the text would fit.
    char out[8] = "keep";
    int len = 42;
    EXPECT_EQ(utf8_to_gbk("abc", 3, out, 3, &len), Fault::malformed);
    EXPECT_EQ(utf8_to_gbk("abc", 3, out, 4, &len), Fault::none);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(gbk_to_utf8("abcd", 4, out, 6, &len), Fault::malformed);
    EXPECT_EQ(gbk_to_utf8("abcd", 4, out, 7, &len), Fault::none);
    EXPECT_STREQ(out, "abcd");
    EXPECT_EQ(utf8_to_gbk_capacity(5), 6u);
    EXPECT_EQ(gbk_to_utf8_capacity(5), 8u);
}

TEST_F(Charset, WorstCaseOutputsFitTheSmallestCapacity)
{
    // Every GBK byte pair growing to three bytes, and an odd length ending in a lead.
    std::string gbk;
    for (int i = 0; i < 33; ++i)
        gbk += "\xD6\xD0";
    gbk += "\xB0";
    Converted c = convert(gbk_to_utf8, gbk, size_t(gbk_to_utf8_capacity(gbk.size())));
    EXPECT_EQ(c.result, Fault::none);
    EXPECT_EQ(c.length, 99);
    std::string two_byte;
    for (int i = 0; i < 20; ++i)
        two_byte += "\xC2\xB7";
    c = convert(utf8_to_gbk, two_byte, size_t(utf8_to_gbk_capacity(two_byte.size())));
    EXPECT_EQ(c.length, 40);
}

TEST_F(Charset, RandomBytesStayInsideBuffers)
{
    std::mt19937 rng(1234);
    const char alphabet[] = "\x00\x0A"
                            "aZ/\x7F\x80\xA1\xB0\xBF\xC2\xC3\xD6\xD0\xE0\xE4\xED\xEF\xF0\xF4\xFE\xFF";
    for (int round = 0; round < 3000; ++round) {
        std::string input(1 + rng() % 40, '\0');
        for (char& ch : input)
            ch = (rng() % 4 == 0) ? char(rng()) : alphabet[rng() % (sizeof alphabet - 1)];
        Converted a = convert(utf8_to_gbk, input, size_t(utf8_to_gbk_capacity(input.size())));
        Converted b = convert(gbk_to_utf8, input, size_t(gbk_to_utf8_capacity(input.size())));
        ASSERT_EQ(a.result, Fault::none);
        ASSERT_EQ(b.result, Fault::none);
        // Whatever comes out converts back to the same thing: only whole characters are written.
        EXPECT_EQ(to_gbk(to_utf8(a.text)), a.text);
        EXPECT_EQ(to_utf8(to_gbk(b.text)), b.text);
    }
}

TEST_F(Charset, LongMixedTextMatchesCharacterByCharacterReading)
{
    std::mt19937 rng(99);
    std::vector<unsigned> codes;
    for (unsigned code = 0x8140; code <= 0xFEFE; ++code)
        if (gbk_to_unicode[code - 0x8000] != 0)
            codes.push_back(code);
    for (int round = 0; round < 400; ++round) {
        std::string gbk, utf8;
        while (gbk.size() < 300) {
            unsigned kind = unsigned(rng() % 8), run = unsigned(1 + rng() % 12);
            for (unsigned k = 0; k < run; ++k) {
                if (kind < 3) {
                    gbk += char('!' + rng() % 90);
                    utf8 += gbk.back();
                } else if (kind < 7) {
                    unsigned code = codes[rng() % codes.size()];
                    gbk += {char(code >> 8), char(code & 0xFF)};
                    utf8 += charset_model::encode_utf8(gbk_to_unicode[code - 0x8000]);
                } else {  // garbage: stray leads, continuation bytes, four-byte forms, NULs
                    char junk = char(rng() % 4 == 0 ? 0 : 0x80 + rng() % 128);
                    gbk += junk;
                    utf8 += junk;
                }
            }
        }
        EXPECT_EQ(to_utf8(gbk), charset_model::gbk_to_utf8(gbk)) << "round " << round;
        EXPECT_EQ(to_gbk(utf8), charset_model::utf8_to_gbk(utf8)) << "round " << round;
    }
}

// The block-wide paths take up to four (UTF-8) or eight (GBK) characters at once and must
// stop exactly at the first one they cannot take. Every troublesome character is put at
// every offset of a long Chinese run, with ASCII around it, and checked against the
// one-character reading; the conversions run on buffers of exactly the smallest capacity.
TEST_F(Charset, BlockPathsStopAtEveryOddCharacter)
{
    const std::string chinese = "\xE4\xB8\xAD";  // U+4E2D, GBK D6D0
    const std::vector<std::string> odd_utf8 = {
        "\xC2\xB7",          // two-byte form with a GBK code
        "\xE0\x81\x81",      // overlong three-byte form of 'A': dropped, never 'A'
        "\xEF\xBF\xBF",      // U+FFFF: well formed, no GBK code
        "\xED\xA0\x80",      // a surrogate: no GBK code
        "\xE4\xB8",          // cut short by the next character
        "\x80",              // stray continuation
        "a",                 // ASCII
        "\xF0\x9F\x98\x80",  // outside the BMP
    };
    const std::vector<std::string> odd_gbk = {
        "\x81\x40",  // GBK extension pair, ASCII-range trail
        "\xA2\xA0",  // unmapped pair of high bytes: vanishes
        "\xA1\xA4",  // maps to U+00B7, two UTF-8 bytes
        "\xD6",      // a lone lead: pairs everything after it differently
        "x",
    };
    for (int tail = 0; tail < 2; ++tail) {
        for (size_t at = 0; at <= 14; ++at) {
            for (const std::string& odd : odd_utf8) {
                std::string utf8 = tail ? "ab" : "";
                for (size_t k = 0; k < 16; ++k)
                    utf8 += k == at ? odd : chinese;
                utf8 += "tail text";
                Converted c = convert(utf8_to_gbk, utf8, size_t(utf8_to_gbk_capacity(utf8.size())));
                ASSERT_EQ(c.result, Fault::none);
                EXPECT_EQ(c.text, charset_model::utf8_to_gbk(utf8)) << "offset " << at << " odd " << odd;
            }
            for (const std::string& odd : odd_gbk) {
                std::string gbk = tail ? "a" : "";
                for (size_t k = 0; k < 20; ++k)
                    gbk += k == at ? odd : "\xD6\xD0";
                gbk += "tail text";
                Converted c = convert(gbk_to_utf8, gbk, size_t(gbk_to_utf8_capacity(gbk.size())));
                ASSERT_EQ(c.result, Fault::none);
                EXPECT_EQ(c.text, charset_model::gbk_to_utf8(gbk)) << "offset " << at << " odd " << odd;
            }
        }
    }
}

TEST_F(Charset, LongWellFormedTextAgreesWithIconv)
{
    Cp936Oracle oracle;
    ASSERT_TRUE(oracle.ok());
    std::mt19937 rng(7);
    std::string gbk, utf8;
    for (int i = 0; i < 20000; ++i) {
        if (rng() % 10 == 0) {
            gbk += char('a' + rng() % 26);
            utf8 += gbk.back();
            continue;
        }
        unsigned code = unsigned(0x8140 + rng() % (0xFEA0 - 0x8140));
        if (is_private_use_row(code))
            continue;
        std::string expected = oracle.convert_pair(code);
        if (expected.empty())
            continue;
        gbk += {char(code >> 8), char(code & 0xFF)};
        utf8 += expected;
    }
    EXPECT_EQ(to_utf8(gbk), utf8);
    EXPECT_EQ(to_gbk(utf8), gbk);
}

TEST_F(Charset, PutsUtf8PrintsGbkLine)
{
    testkit::CapturedStdout capture;
    puts_utf8("a\xE4\xB8\xAD"
              "b",
              5);
    puts_utf8("ignored", 0);
    puts_utf8("x\xE4", 2);
    EXPECT_EQ(capture.take(), "a\xD6\xD0"
                              "b\n\nx\n");
}

std::string gbk_normalized(std::string text, unsigned flags)
{
    gbk_normalize(text.data(), flags);
    return std::string(text.c_str());
}

std::string utf8_normalized(std::string text, unsigned flags)
{
    utf8_normalize(text.data(), flags);
    return std::string(text.c_str());
}

TEST_F(Charset, GbkNormalize)
{
    EXPECT_EQ(gbk_normalized("\xA3\xC1", kCharsetHalfwidth | kCharsetLower), "a");  // full-width 'A'
    EXPECT_EQ(gbk_normalized("\xA1\xA1", kCharsetHalfwidth | kCharsetLower), " ");
    EXPECT_EQ(gbk_normalized("\xA3\xC1"
                             "Ab",
                             kCharsetUpper),
              "\xA3\xC1"
              "AB");
    EXPECT_EQ(gbk_normalized("Ab", kCharsetUpper | kCharsetLower), "ab");
    EXPECT_EQ(gbk_normalized("\x81\x47\xC7\xAC", kCharsetSimplified), "\xB6\xAA\xC7\xAC");  // GB2312 kept
    EXPECT_EQ(gbk_normalized("\x81\x47", 0), "\x81\x47");
    EXPECT_EQ(gbk_normalized("A\xD6", kCharsetLower), "a\xD6");  // pending lead kept at the end
    EXPECT_EQ(gbk_normalized("\xA3\xFF", kCharsetHalfwidth), "\xA3\xFF");
    EXPECT_EQ(gbk_normalized("", kCharsetLower), "");
}

TEST_F(Charset, Utf8Normalize)
{
    EXPECT_EQ(utf8_normalized("\xEF\xBC\xA1\xE3\x80\x80Q", kCharsetHalfwidth | kCharsetLower), "a q");
    EXPECT_EQ(utf8_normalized("\xEF\xBD\x9E", kCharsetHalfwidth), "~");             // U+FF5E
    EXPECT_EQ(utf8_normalized("\xEF\xBD\x9F", kCharsetHalfwidth), "\xEF\xBD\x9F");  // U+FF5F is no ASCII form
    EXPECT_EQ(utf8_normalized("\xEF\xBC\xA1", kCharsetLower), "\xEF\xBC\xA1");
    // U+4E1F -> U+4E22 (GBK 8147 -> B6AA); U+4E7E stays: its GBK code is in the GB2312 area.
    EXPECT_EQ(utf8_normalized("\xE4\xB8\x9F\xE4\xB9\xBE", kCharsetSimplified), "\xE4\xB8\xA2\xE4\xB9\xBE");
    EXPECT_EQ(utf8_normalized("\xC3\xA9Z\xF0\x9F\x98\x80\x80", kCharsetLower), "\xC3\xA9z\xF0\x9F\x98\x80\x80");
    EXPECT_EQ(utf8_normalized("\xE0\x80\xAF"
                              "A",
                              kCharsetHalfwidth | kCharsetLower),
              "\xE0\x80\xAF"
              "a");
    EXPECT_EQ(utf8_normalized("x\xE4\xB8", kCharsetUpper), "X\xE4\xB8");  // broken sequence at the NUL
}

TEST_F(Charset, SimplifyTablesSkipGb2312Sources)
{
    unsigned changed = 0, skipped = 0;
    for (unsigned i = 0; i < trad_simp_pairs_words; i += 2) {
        unsigned source = trad_simp_pairs[i], target = trad_simp_pairs[i + 1];
        uint16_t stored = gbk_simplify[source - 0x8000];
        unsigned from = gbk_to_unicode[source - 0x8000];
        if (in_gb2312_area(source)) {
            ++skipped;
            EXPECT_EQ(stored, gbk_same[source - 0x8000]);
            EXPECT_EQ(unicode_simplify[from], from);
        } else {
            ++changed;
            EXPECT_EQ(stored, uint16_t((target >> 8) | ((target & 0xFF) << 8)));
            EXPECT_EQ(unicode_simplify[from], gbk_to_unicode[target - 0x8000]);
        }
    }
    EXPECT_GT(changed, 2000u);
    EXPECT_GT(skipped, 0u);
    EXPECT_EQ(gbk_same[0xD6D0 - 0x8000], 0xD0D6);
    EXPECT_EQ(unicode_same[0x1234], 0x1234);
    EXPECT_EQ(ascii_lower['Q'], 'q');
    EXPECT_EQ(ascii_upper['q'], 'Q');
    EXPECT_EQ(ascii_same['q'], 'q');
}

TEST_F(Charset, InitRebuildsTheSameTables)
{
    std::vector<uint16_t> before(gbk_to_unicode, gbk_to_unicode + kGbkTableSize);
    std::vector<uint16_t> simplify(unicode_simplify, unicode_simplify + kUnicodeTableSize);
    charset_init();
    EXPECT_TRUE(std::equal(before.begin(), before.end(), gbk_to_unicode));
    EXPECT_TRUE(std::equal(simplify.begin(), simplify.end(), unicode_simplify));
}

TEST_F(Charset, Utf8LengthAndLines)
{
    const char text[] = "a\xC3\xA9\xE4\xB8\xAD"
                        "b";
    EXPECT_EQ(utf8_strlen(text, 7), 4u);
    EXPECT_EQ(utf8_strlen(text, 5), 3u);  // the cut third character still counts
    EXPECT_EQ(utf8_strlen(text, 0), 0u);
    EXPECT_EQ(utf8_count_lines("a\nb\n\xE4\xB8\xAD\n", 9), 3u);
    EXPECT_EQ(utf8_count_lines("a\nb\n", 2), 1u);
    EXPECT_EQ(utf8_count_lines("\xE4\n\n", 3), 2u);  // a broken lead does not hide line feeds
}

TEST_F(Charset, Utf8Substr)
{
    const char text[] = "a\xC3\xA9\xE4\xB8\xAD"
                        "b";
    auto substr = [](const char* t, size_t first, size_t end) -> std::string {
        char* s = utf8_substr(t, first, end);
        if (s == nullptr)
            return "<null>";
        std::string result(s);
        std::free(s);
        return result;
    };
    EXPECT_EQ(substr(text, 1, 3), "\xC3\xA9\xE4\xB8\xAD");
    EXPECT_EQ(substr(text, 4, 9), "<null>");
    EXPECT_EQ(substr(text, 2, 1), "");
    EXPECT_EQ(substr(text, 1, 9), "\xC3\xA9\xE4\xB8\xAD"
                                  "b");
    EXPECT_EQ(substr(text, 0, 1), "a");
    // A lead whose sequence runs into the NUL: the copy stops at the terminator.
    std::vector<char> cut{'a', '\xE4', '\0'};
    EXPECT_EQ(substr(cut.data(), 1, 5), "\xE4");
    EXPECT_EQ(substr("", 0, 1), "<null>");
}

}  // namespace
