// Synthetic pictures for the benchmarks: "photographic" (smooth shading, texture and grain,
// which deflate and JPEG find hard) and "flat" artwork (a few colours in large shapes with
// hard edges and transparent surroundings, which compresses well).
#pragma once

#include <cstdint>
#include <vector>

namespace bench {

enum class Look { photo, flat };

inline const char* look_name(Look look) { return look == Look::photo ? "photo" : "flat"; }

// Cheap deterministic per-pixel hash: grain without a random-number generator in the loop.
inline uint32_t grain(uint32_t x, uint32_t y, uint32_t seed)
{
    uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u ^ seed * 0xC2B2AE3Du;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

// Fills R, G, B, A pixels (channel order as given by the caller through `argb`).
inline std::vector<uint8_t> make_pixels(Look look, uint32_t width, uint32_t height, uint32_t seed, bool argb = false)
{
    std::vector<uint8_t> px(size_t{width} * height * 4);
    uint8_t* p = px.data();
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x, p += 4) {
            int r, g, b, a;
            if (look == Look::photo) {
                // Two crossing gradients, a coarse texture and a few levels of grain.
                int tex = int((x * 7 + y * 3 + seed) / 5 % 23) - 11;
                int noise = int(grain(x, y, seed) & 15) - 8;
                r = int(x * 200 / width) + tex + noise + 20;
                g = int(y * 180 / height) + tex / 2 + noise + 40;
                b = int((x + y) * 120 / (width + height)) - tex + noise + 90;
                a = 255;
            } else {
                // Discs and bands of solid colour on a transparent ground.
                uint32_t cx = width / 2, cy = height / 2, rr = (width < height ? width : height) / 3;
                int64_t dx = int64_t(x) - cx, dy = int64_t(y) - cy;
                bool disc = dx * dx + dy * dy < int64_t(rr) * rr;
                bool band = (y / (height / 8 + 1) + seed) % 3 == 0;
                r = disc ? 230 : band ? 40 : 0;
                g = disc ? 180 : band ? 120 : 0;
                b = disc ? 30 : band ? 200 : 0;
                a = disc || band ? 255 : 0;
            }
            auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            if (argb) {
                p[0] = clamp(a), p[1] = clamp(r), p[2] = clamp(g), p[3] = clamp(b);
            } else {
                p[0] = clamp(r), p[1] = clamp(g), p[2] = clamp(b), p[3] = clamp(a);
            }
        }
    }
    return px;
}

inline std::vector<uint8_t> drop_alpha(const std::vector<uint8_t>& rgba)
{
    std::vector<uint8_t> rgb(rgba.size() / 4 * 3);
    for (size_t i = 0, n = rgba.size() / 4; i < n; ++i)
        for (size_t c = 0; c < 3; ++c)
            rgb[3 * i + c] = rgba[4 * i + c];
    return rgb;
}

}  // namespace bench
