// The one way input bytes are parsed: a bounds-checked cursor over a span. A read past the
// end never touches memory outside the span; it yields zero, leaves the cursor where it
// was and marks the reader failed, so a parser may read a whole record and check `ok()`
// once at the end. Movies, tags, bitmaps, PNG chunks and JPEG segments are all read so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

class ByteReader {
public:
    ByteReader() = default;
    explicit ByteReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool ok() const { return ok_; }
    size_t position() const { return pos_; }
    size_t size() const { return bytes_.size(); }
    size_t remaining() const { return bytes_.size() - pos_; }
    bool at_end() const { return pos_ == bytes_.size(); }
    bool has(size_t count) const { return ok_ && remaining() >= count; }
    // Bits of the current byte already read by ubits (0 when at a whole byte).
    unsigned bit_position() const { return bit_; }
    // Every byte of the span, whatever has been read.
    std::span<const uint8_t> all() const { return bytes_; }
    // The bytes not read yet.
    std::span<const uint8_t> rest() const { return bytes_.subspan(pos_); }

    uint8_t u8() { return take(1) ? bytes_[pos_ - 1] : 0; }
    uint16_t u16le() { return static_cast<uint16_t>(little(2)); }
    uint32_t u32le() { return static_cast<uint32_t>(little(4)); }
    uint16_t u16be() { return static_cast<uint16_t>(big(2)); }
    uint32_t u32be() { return static_cast<uint32_t>(big(4)); }

    // SWF's variable-length integer: 7 bits a byte, low first, while the high bit is set;
    // the fifth byte gives the top 4 bits.
    uint32_t encoded_u32()
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < 5; ++i) {
            const uint32_t byte = u8();
            if (i == 4)
                return value | (byte & 0x0Fu) << 28;
            value |= (byte & 0x7Fu) << (7 * i);
            if ((byte & 0x80u) == 0)
                break;
        }
        return value;
    }

    // The next `count` bytes as a view; empty (and failed) when fewer remain.
    std::span<const uint8_t> bytes(size_t count)
    {
        if (!take(count))
            return {};
        return bytes_.subspan(pos_ - count, count);
    }
    bool skip(size_t count) { return take(count); }
    // Moves to an absolute offset within the span.
    bool seek(size_t offset)
    {
        if (!ok_ || offset > bytes_.size())
            return fail();
        pos_ = offset;
        return true;
    }
    // A NUL-terminated string, without its NUL; failed when no NUL follows.
    std::string_view cstring()
    {
        if (!ok_)
            return {};
        const void* nul = std::memchr(bytes_.data() + pos_, 0, remaining());
        if (nul == nullptr) {
            fail();
            return {};
        }
        size_t length = static_cast<size_t>(static_cast<const uint8_t*>(nul) - (bytes_.data() + pos_));
        std::string_view text(reinterpret_cast<const char*>(bytes_.data() + pos_), length);
        pos_ += length + 1;
        return text;
    }

    // SWF bit fields, most significant bit first, starting at the current byte. A byte
    // read after bits starts at the next whole byte.
    uint32_t ubits(unsigned count)
    {
        uint32_t value = 0;
        for (unsigned i = 0; i < count; ++i) {
            if (!ok_ || (bit_ == 0 && remaining() == 0)) {
                fail();
                return 0;
            }
            uint8_t byte = bytes_[pos_];
            value = value << 1 | ((uint32_t{byte} >> (7 - bit_)) & 1u);
            if (++bit_ == 8) {
                bit_ = 0;
                ++pos_;
            }
        }
        return value;
    }
    int32_t sbits(unsigned count)
    {
        uint32_t value = ubits(count);
        if (count == 0 || count >= 32)
            return static_cast<int32_t>(value);
        uint32_t sign = uint32_t{1} << (count - 1);
        return static_cast<int32_t>((value ^ sign) - sign);
    }
    // Skips to the next whole byte after bit fields.
    void align()
    {
        if (bit_ != 0) {
            bit_ = 0;
            ++pos_;
        }
    }

private:
    bool fail()
    {
        ok_ = false;
        return false;
    }
    bool take(size_t count)
    {
        align();
        if (!has(count))
            return fail();
        pos_ += count;
        return true;
    }
    uint64_t little(size_t count)
    {
        if (!take(count))
            return 0;
        uint64_t value = 0;
        for (size_t i = count; i-- > 0;)
            value = value << 8 | bytes_[pos_ - count + i];
        return value;
    }
    uint64_t big(size_t count)
    {
        if (!take(count))
            return 0;
        uint64_t value = 0;
        for (size_t i = 0; i < count; ++i)
            value = value << 8 | bytes_[pos_ - count + i];
        return value;
    }

    std::span<const uint8_t> bytes_;
    size_t pos_ = 0;
    unsigned bit_ = 0;  // bits of bytes_[pos_] already read
    bool ok_ = true;
};
