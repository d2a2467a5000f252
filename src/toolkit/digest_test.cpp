#include "toolkit/digest.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::string hex_lower(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[bytes[i] >> 4];
        s += digits[bytes[i] & 15];
    }
    return s;
}

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string md5_hex_of(const std::string& message)
{
    char text[kMd5HexSize];
    md5_buffer_hex(message.data(), message.size(), text);
    return text;
}

std::string sha1_hex_of(const std::string& message)
{
    Sha1Context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, message.data(), message.size());
    uint8_t digest[kSha1DigestSize];
    sha1_final(&ctx, digest);
    return hex_lower(digest, sizeof digest);
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> bytes(n);
    uint32_t x = 0x12345678;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 23);
    }
    return bytes;
}

std::string temp_path(const char* name) { return testing::TempDir() + "pixsieve_digest_" + name; }

void write_file(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    ASSERT_EQ(std::fclose(f), 0);
}

TEST(DigestMd5, Rfc1321TestSuiteInUpperCaseHex)
{
    const struct {
        const char* message;
        const char* digest;
    } cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890123456789"
         "0",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(md5_hex_of(c.message), c.digest) << '"' << c.message << '"';
    EXPECT_EQ(md5_hex_of(std::string(1000000, 'a')), "7707D6AE4E027C70EEA2A935C2296F21");
}

TEST(DigestMd5, PiecewiseUpdatesMatchOneCall)
{
    std::vector<uint8_t> data = pattern(200);
    uint8_t whole[kMd5DigestSize];
    md5_buffer(data.data(), data.size(), whole);
    for (size_t split = 0; split <= data.size(); ++split) {
        Md5Context ctx;
        md5_init(&ctx);
        md5_update(&ctx, data.data(), split);
        md5_update(&ctx, data.data() + split, data.size() - split);
        uint8_t digest[kMd5DigestSize];
        md5_final(digest, &ctx);
        ASSERT_EQ(hex_lower(digest, 16), hex_lower(whole, 16)) << "split at " << split;
    }

    Md5Context ctx;
    md5_init(&ctx);
    md5_update_string(&ctx, "message ");
    md5_update_string(&ctx, "digest");
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &ctx);
    EXPECT_EQ(upper(hex_lower(digest, 16)), "F96B697D7CB7938D525A2F31AAF161D0");
}

TEST(DigestMd5, FinalWipesTheContextAndBitCountCarries)
{
    Md5Context ctx;
    md5_init(&ctx);
    EXPECT_EQ(ctx.state[0], 0x67452301u);
    EXPECT_EQ(ctx.state[3], 0x10325476u);
    ctx.count[0] = 0xFFFFFFF8u;  // one byte short of 2^32 bits
    md5_update(&ctx, "x", 1);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
    uint8_t digest[kMd5DigestSize];
    md5_final(digest, &ctx);
    Md5Context zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
}

// The file is read in 1,024-byte pieces; sizes around that and the 64-byte block must agree.
TEST(DigestMd5, FileMatchesBufferAroundPieceSizes)
{
    std::string path = temp_path("sizes");
    for (size_t size :
         std::initializer_list<size_t>{0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2047, 2048, 2049, 3072, 5000}) {
        std::vector<uint8_t> data = pattern(size);
        write_file(path, data);
        char from_buffer[kMd5HexSize], from_file[kMd5HexSize];
        md5_buffer_hex(data.data(), data.size(), from_buffer);
        ASSERT_EQ(md5_file_hex(path.c_str(), from_file), 0) << size;
        EXPECT_STREQ(from_file, from_buffer) << size;

        uint8_t d1[kMd5DigestSize], d2[kMd5DigestSize];
        md5_buffer(data.data(), data.size(), d1);
        ASSERT_EQ(md5_file(path.c_str(), d2), 0);
        EXPECT_EQ(std::memcmp(d1, d2, sizeof d1), 0) << size;
    }
    std::remove(path.c_str());
}

TEST(DigestMd5, UnreadableFilesLeaveTheOutputUntouched)
{
    char text[kMd5HexSize] = "untouched";
    EXPECT_EQ(md5_file_hex("/nonexistent/dir/file", text), -1);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(md5_file_hex(nullptr, text), -1);
    // A folder opens on POSIX but every read fails; that must not pass for an empty file.
    EXPECT_EQ(md5_file_hex(testing::TempDir().c_str(), text), -1);
    EXPECT_STREQ(text, "untouched");

    uint8_t digest[kMd5DigestSize];
    std::memset(digest, 0xEE, sizeof digest);
    EXPECT_EQ(md5_file("/nonexistent/dir/file", digest), -1);
    for (uint8_t b : digest)
        EXPECT_EQ(b, 0xEE);
    Md5Context ctx;
    md5_init(&ctx);
    EXPECT_EQ(md5_update_file(&ctx, "/nonexistent/dir/file"), -1);
}

TEST(DigestSha1, Fips180Examples)
{
    EXPECT_EQ(sha1_hex_of(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex_of("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex_of(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(DigestSha1, PiecewiseUpdatesMatchOneCallAndFinalWipes)
{
    std::vector<uint8_t> data = pattern(150);
    std::string whole = sha1_hex_of(std::string(data.begin(), data.end()));
    for (size_t split = 0; split <= data.size(); ++split) {
        Sha1Context ctx;
        sha1_init(&ctx);
        for (size_t i = 0; i < split; ++i)  // byte by byte, then the rest at once
            sha1_update(&ctx, &data[i], 1);
        sha1_update(&ctx, data.data() + split, data.size() - split);
        uint8_t digest[kSha1DigestSize];
        sha1_final(&ctx, digest);
        ASSERT_EQ(hex_lower(digest, sizeof digest), whole) << "split at " << split;
        Sha1Context zero;
        std::memset(&zero, 0, sizeof zero);
        ASSERT_EQ(std::memcmp(&ctx, &zero, sizeof ctx), 0);
    }
}

std::string hmac_hex(const std::string& key, const std::string& message)
{
    uint8_t out[kSha1DigestSize];
    hmac_sha1(key.data(), key.size(), message.data(), message.size(), out, sizeof out);
    return hex_lower(out, sizeof out);
}

TEST(DigestHmacSha1, Rfc2202TestCases)
{
    std::string key4;
    for (char c = 1; c <= 25; ++c)
        key4 += c;
    const std::string big_key(80, '\xaa');
    EXPECT_EQ(hmac_hex(std::string(20, '\x0b'), "Hi There"), "b617318655057264e28bc0b6fb378c8ef146be00");
    EXPECT_EQ(hmac_hex("Jefe", "what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    EXPECT_EQ(hmac_hex(std::string(20, '\xaa'), std::string(50, '\xdd')), "125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    EXPECT_EQ(hmac_hex(key4, std::string(50, '\xcd')), "4c9007f4026250c6bc8414f9bf50c86c2d7235da");
    EXPECT_EQ(hmac_hex(std::string(20, '\x0c'), "Test With Truncation"), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    EXPECT_EQ(hmac_hex(big_key, "Test Using Larger Than Block-Size Key - Hash Key First"),
              "aa4ae5e15272d00e95705637ce8a3b55ed402112");
    EXPECT_EQ(hmac_hex(big_key, "Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data"),
              "e8e99d0f45237d786d6bbaa7965c7808bbff1a91");
}

TEST(DigestHmacSha1, OutputLengthTruncatesOrZeroFills)
{
    const std::string key(20, '\x0c');
    const std::string message = "Test With Truncation";
    uint8_t out[32];
    std::memset(out, 0xEE, sizeof out);
    hmac_sha1(key.data(), key.size(), message.data(), message.size(), out, 10);
    EXPECT_EQ(hex_lower(out, 10), "4c1a03424b55e07fe7f2");  // RFC 2202 case 5, first 80 bits
    for (int i = 10; i < 32; ++i)
        EXPECT_EQ(out[i], 0xEE) << "byte " << i << " is past the output length";

    std::memset(out, 0xEE, sizeof out);
    hmac_sha1(key.data(), key.size(), message.data(), message.size(), out, 32);
    EXPECT_EQ(hex_lower(out, 20), "4c1a03424b55e07fe7f27be1d58bb9324a9a5a04");
    for (int i = 20; i < 32; ++i)
        EXPECT_EQ(out[i], 0) << "byte " << i;
}

TEST(DigestHmacSha1, KeyOfExactlyOneBlockIsUsedUnhashed)
{
    // 64 bytes: still padded, not hashed. Distinguishable from the hashed form.
    const std::string key(64, 'k');
    Sha1Context ctx;
    sha1_init(&ctx);
    sha1_update(&ctx, key.data(), key.size());
    uint8_t key_digest[kSha1DigestSize];
    sha1_final(&ctx, key_digest);
    std::string hashed(reinterpret_cast<char*>(key_digest), sizeof key_digest);
    EXPECT_NE(hmac_hex(key, "m"), hmac_hex(hashed, "m"));
    // A 65-byte key is hashed first, so it equals HMAC with its digest as key.
    const std::string long_key(65, 'k');
    sha1_init(&ctx);
    sha1_update(&ctx, long_key.data(), long_key.size());
    sha1_final(&ctx, key_digest);
    EXPECT_EQ(hmac_hex(long_key, "m"),
              hmac_hex(std::string(reinterpret_cast<char*>(key_digest), sizeof key_digest), "m"));
}

}  // namespace
