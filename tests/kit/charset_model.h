// Straightforward one-character-at-a-time readings of the GBK conversion rules, to hold
// the word-wide and block paths of the real conversions against (tests and fuzzing).
#pragma once

#include <string>

#include "text/charset.h"

namespace charset_model {

inline std::string encode_utf8(unsigned u)
{
    if (u < 0x80)
        return std::string(1, char(u));
    if (u < 0x800)
        return {char(0xC0 | (u >> 6)), char(0x80 | (u & 0x3F))};
    return {char(0xE0 | (u >> 12)), char(0x80 | ((u >> 6) & 0x3F)), char(0x80 | (u & 0x3F))};
}

inline std::string gbk_to_utf8(const std::string& in)
{
    std::string out;
    for (size_t i = 0; i < in.size();) {
        unsigned lead = (unsigned char)in[i];
        if (lead < 0x80) {
            out += char(lead);
            ++i;
            continue;
        }
        if (i + 1 >= in.size())
            break;
        unsigned trail = (unsigned char)in[i + 1];
        unsigned u = gbk_to_unicode[((lead << 8) | trail) & 0x7FFF];
        if (u != 0)
            out += encode_utf8(u);
        i += (u == 0 && trail < 0x80) ? 1 : 2;
    }
    return out;
}

inline std::string utf8_to_gbk(const std::string& in)
{
    std::string out;
    auto cont = [&](size_t k) { return k < in.size() && ((unsigned char)in[k] & 0xC0) == 0x80; };
    for (size_t i = 0; i < in.size();) {
        unsigned b = (unsigned char)in[i];
        size_t extra = b < 0x80                   ? 0
                       : (b >= 0xC2 && b <= 0xDF) ? 1
                       : (b >= 0xE0 && b <= 0xEF) ? 2
                       : (b >= 0xF0 && b <= 0xF7) ? 3
                                                  : 9;
        if (extra == 0) {
            out += char(b);
            ++i;
            continue;
        }
        if (extra == 9) {
            ++i;
            continue;
        }
        size_t good = 0;
        while (good < extra && cont(i + 1 + good))
            ++good;
        if (good < extra && i + 1 + good >= in.size())
            break;  // cut off by the end
        if (good < extra) {
            ++i;
            continue;
        }
        unsigned u = 0;
        if (extra == 1)
            u = ((b & 0x1Fu) << 6) | ((unsigned char)in[i + 1] & 0x3Fu);
        if (extra == 2)
            u = ((b & 0x0Fu) << 12) | (((unsigned char)in[i + 1] & 0x3Fu) << 6) | ((unsigned char)in[i + 2] & 0x3Fu);
        if (extra == 2 && u < 0x800)
            u = 0;
        unsigned code = extra == 3 ? 0 : unicode_to_gbk[u];
        if (code != 0)
            out += {char(code >> 8), char(code & 0xFF)};
        i += 1 + extra;
    }
    return out;
}

}  // namespace charset_model
