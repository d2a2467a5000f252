// Message digests: MD5 (RFC 1321), SHA-1 (FIPS 180-4) and HMAC-SHA1 (RFC 2104).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t kMd5DigestSize = 16;
inline constexpr size_t kMd5HexSize = 33;  // 32 upper-case hex digits and a NUL
inline constexpr size_t kSha1DigestSize = 20;
inline constexpr size_t kDigestBlockSize = 64;

struct Md5Context {
    uint32_t state[4];
    uint32_t count[2];  // message length in bits, low half first
    uint8_t buffer[kDigestBlockSize];
};

struct Sha1Context {
    uint32_t state[5];
    uint32_t count[2];  // message length in bits, low half first
    uint8_t buffer[kDigestBlockSize];
    uint32_t pending;  // bytes waiting in `buffer`
};

void md5_init(Md5Context* ctx);
void md5_update(Md5Context* ctx, const void* data, size_t length);
void md5_update_string(Md5Context* ctx, const char* text);
// Feeds the whole file. 0, or -1 when it cannot be opened or a read fails (the
// context then holds part of the file and should be discarded).
int md5_update_file(Md5Context* ctx, const char* path);
// Pads, writes the digest and wipes the context.
void md5_final(uint8_t digest[kMd5DigestSize], Md5Context* ctx);

void md5_buffer(const void* data, size_t length, uint8_t digest[kMd5DigestSize]);
void md5_buffer_hex(const void* data, size_t length, char text[kMd5HexSize]);
// 0 and the digest, or -1 with `digest`/`text` untouched.
int md5_file(const char* path, uint8_t digest[kMd5DigestSize]);
int md5_file_hex(const char* path, char text[kMd5HexSize]);

void sha1_init(Sha1Context* ctx);
void sha1_update(Sha1Context* ctx, const void* data, size_t length);
// Pads, writes the digest (big-endian words) and wipes the context.
void sha1_final(Sha1Context* ctx, uint8_t digest[kSha1DigestSize]);

// Writes min(output_length, 20) bytes of the code and zeros after them.
void hmac_sha1(const void* key, size_t key_length, const void* message, size_t message_length, uint8_t* output,
               size_t output_length);
