#include "toolkit/digest.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr size_t kFilePiece = 1024;

uint32_t rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }

uint32_t load_le32(const uint8_t* p)
{
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint32_t load_be32(const uint8_t* p)
{
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void store_le32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void store_be32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Adds `length` bytes to a 64-bit bit count kept as two 32-bit halves, low first.
void add_bits(uint32_t count[2], size_t length)
{
    uint64_t bits = (uint64_t{count[1]} << 32 | count[0]) + (uint64_t{length} << 3);
    count[0] = static_cast<uint32_t>(bits);
    count[1] = static_cast<uint32_t>(bits >> 32);
}

// The chaining step of both compression functions.
void add_words(uint32_t* state, const uint32_t* words, int n)
{
    for (int i = 0; i < n; ++i)
        state[i] += words[i];
}

// Memory the compiler may not drop as a dead store: contexts hold message bytes.
void wipe(void* p, size_t n)
{
    auto* volatile bytes = static_cast<volatile uint8_t*>(p);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = 0;
}

// Both digests buffer partial blocks the same way; only the compression differs.
template <class Compress>
void feed_blocks(uint8_t* buffer, uint32_t* pending, const uint8_t* data, size_t length, Compress compress)
{
    if (*pending > 0) {
        size_t take = kDigestBlockSize - *pending;
        if (take > length)
            take = length;
        std::memcpy(buffer + *pending, data, take);
        *pending += static_cast<uint32_t>(take);
        data += take;
        length -= take;
        if (*pending < kDigestBlockSize)
            return;
        compress(buffer);
        *pending = 0;
    }
    for (; length >= kDigestBlockSize; data += kDigestBlockSize, length -= kDigestBlockSize)
        compress(data);
    std::memcpy(buffer, data, length);
    *pending = static_cast<uint32_t>(length);
}

// ---- MD5 -----------------------------------------------------------------------------

constexpr uint32_t kMd5Sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};
constexpr int kMd5Shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

void md5_compress(uint32_t state[4], const uint8_t* block)
{
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
        m[i] = load_le32(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 64; ++i) {
        uint32_t f;
        int g;
        switch (i >> 4) {
        case 0:
            f = (b & c) | (~b & d);
            g = i;
            break;
        case 1:
            f = (d & b) | (~d & c);
            g = (5 * i + 1) & 15;
            break;
        case 2:
            f = b ^ c ^ d;
            g = (3 * i + 5) & 15;
            break;
        default:
            f = c ^ (b | ~d);
            g = (7 * i) & 15;
            break;
        }
        uint32_t next = b + rotl(a + f + kMd5Sine[i] + m[g], kMd5Shift[i >> 4][i & 3]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    const uint32_t words[] = {a, b, c, d};
    add_words(state, words, 4);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void to_hex(const uint8_t* bytes, size_t n, char* text)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < n; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 15];
    }
    text[2 * n] = '\0';
}

// ---- SHA-1 ---------------------------------------------------------------------------

void sha1_compress(uint32_t state[5], const uint8_t* block)
{
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = load_be32(block + 4 * i);
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    const uint32_t words[] = {a, b, c, d, e};
    add_words(state, words, 5);
}

// The shared tail of both digests: 0x80, zeros up to 56 mod 64, 8 length bytes.
template <class Update>
void pad_message(size_t pending, const uint8_t length_bytes[8], Update update)
{
    static constexpr uint8_t kPadding[kDigestBlockSize] = {0x80};
    size_t pad = pending < 56 ? 56 - pending : 120 - pending;
    update(kPadding, pad);
    update(length_bytes, 8);
}

}  // namespace

void md5_init(Md5Context* ctx) { *ctx = Md5Context{{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476}, {0, 0}, {}}; }

void md5_update(Md5Context* ctx, const void* data, size_t length)
{
    if (data == nullptr || length == 0)
        return;
    uint32_t pending = (ctx->count[0] >> 3) & 63;
    add_bits(ctx->count, length);
    feed_blocks(ctx->buffer, &pending, static_cast<const uint8_t*>(data), length,
                [ctx](const uint8_t* block) { md5_compress(ctx->state, block); });
}

void md5_update_string(Md5Context* ctx, const char* text)
{
    if (text != nullptr)
        md5_update(ctx, text, std::strlen(text));
}

int md5_update_file(Md5Context* ctx, const char* path)
{
    if (path == nullptr)
        return -1;
    std::unique_ptr<std::FILE, FileCloser> f(platform_open_file(path, "rb"));
    if (!f)
        return -1;
    uint8_t piece[kFilePiece];
    size_t got;
    while ((got = std::fread(piece, 1, sizeof piece, f.get())) > 0)
        md5_update(ctx, piece, got);
    // A failed read must not pass for the end of the file: the digest would be wrong.
    return std::ferror(f.get()) ? -1 : 0;
}

void md5_final(uint8_t digest[kMd5DigestSize], Md5Context* ctx)
{
    uint8_t length_bytes[8];
    store_le32(length_bytes, ctx->count[0]);
    store_le32(length_bytes + 4, ctx->count[1]);
    pad_message((ctx->count[0] >> 3) & 63, length_bytes, [ctx](const uint8_t* p, size_t n) { md5_update(ctx, p, n); });
    for (int i = 0; i < 4; ++i)
        store_le32(digest + 4 * i, ctx->state[i]);
    wipe(ctx, sizeof *ctx);
}

void md5_buffer(const void* data, size_t length, uint8_t digest[kMd5DigestSize])
{
    Md5Context ctx;
    md5_init(&ctx);
    md5_update(&ctx, data, length);
    md5_final(digest, &ctx);
}

void md5_buffer_hex(const void* data, size_t length, char text[kMd5HexSize])
{
    uint8_t digest[kMd5DigestSize];
    md5_buffer(data, length, digest);
    to_hex(digest, kMd5DigestSize, text);
}

int md5_file(const char* path, uint8_t digest[kMd5DigestSize])
{
    Md5Context ctx;
    md5_init(&ctx);
    if (md5_update_file(&ctx, path) != 0) {
        wipe(&ctx, sizeof ctx);
        return -1;
    }
    md5_final(digest, &ctx);
    return 0;
}

int md5_file_hex(const char* path, char text[kMd5HexSize])
{
    uint8_t digest[kMd5DigestSize];
    if (md5_file(path, digest) != 0)
        return -1;
    to_hex(digest, kMd5DigestSize, text);
    return 0;
}

void sha1_init(Sha1Context* ctx)
{
    *ctx = Sha1Context{{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0}, {0, 0}, {}, 0};
}

void sha1_update(Sha1Context* ctx, const void* data, size_t length)
{
    if (data == nullptr || length == 0)
        return;
    add_bits(ctx->count, length);
    feed_blocks(ctx->buffer, &ctx->pending, static_cast<const uint8_t*>(data), length,
                [ctx](const uint8_t* block) { sha1_compress(ctx->state, block); });
}

void sha1_final(Sha1Context* ctx, uint8_t digest[kSha1DigestSize])
{
    uint8_t length_bytes[8];
    store_be32(length_bytes, ctx->count[1]);
    store_be32(length_bytes + 4, ctx->count[0]);
    pad_message(ctx->pending, length_bytes, [ctx](const uint8_t* p, size_t n) { sha1_update(ctx, p, n); });
    for (int i = 0; i < 5; ++i)
        store_be32(digest + 4 * i, ctx->state[i]);
    wipe(ctx, sizeof *ctx);
}

void hmac_sha1(const void* key, size_t key_length, const void* message, size_t message_length, uint8_t* output,
               size_t output_length)
{
    if (output == nullptr)
        return;
    uint8_t key_digest[kSha1DigestSize];
    if (key_length > kDigestBlockSize) {
        Sha1Context ctx;
        sha1_init(&ctx);
        sha1_update(&ctx, key, key_length);
        sha1_final(&ctx, key_digest);
        key = key_digest;
        key_length = kSha1DigestSize;
    }
    if (key == nullptr)
        key_length = 0;
    uint8_t pad[kDigestBlockSize];
    auto keyed_pad = [&](uint8_t fill) {
        std::memset(pad, fill, sizeof pad);
        for (size_t i = 0; i < key_length; ++i)
            pad[i] ^= static_cast<const uint8_t*>(key)[i];
    };

    uint8_t inner[kSha1DigestSize];
    Sha1Context ctx;
    sha1_init(&ctx);
    keyed_pad(0x36);
    sha1_update(&ctx, pad, sizeof pad);
    sha1_update(&ctx, message, message_length);
    sha1_final(&ctx, inner);

    uint8_t outer[kSha1DigestSize];
    sha1_init(&ctx);
    keyed_pad(0x5C);
    sha1_update(&ctx, pad, sizeof pad);
    sha1_update(&ctx, inner, sizeof inner);
    sha1_final(&ctx, outer);

    std::memset(output, 0, output_length);
    std::memcpy(output, outer, output_length < kSha1DigestSize ? output_length : kSha1DigestSize);
    wipe(key_digest, sizeof key_digest);
    wipe(inner, sizeof inner);
    wipe(outer, sizeof outer);
    wipe(pad, sizeof pad);
}
