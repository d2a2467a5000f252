#include "toolkit/random.h"

#include <cmath>
#include <cstdlib>
#include <limits>

#include "toolkit/random_ziggurat.inc"

namespace {

// The polar method makes two numbers per round; the second waits here.
bool g_polar_cached = false;
double g_polar_value = 0.0;

// The generators were designed around a 15-bit rand() (0..32767). Runtimes with a
// wider RAND_MAX keep only the low 15 bits so every runtime gives the same grid.
constexpr int kRandBits = 15;
constexpr int kRandMask = (1 << kRandBits) - 1;

double nonzero_uniform()
{
    double u;
    do
        u = rand_uniform();
    while (u == 0.0);
    return u;
}

}  // namespace

void rand_seed(unsigned seed)
{
    std::srand(seed);
    g_polar_cached = false;
}

double rand_uniform() { return (std::rand() & kRandMask) / static_cast<double>(kRandMask); }

double rand_normal_polar()
{
    if (g_polar_cached) {
        g_polar_cached = false;
        return g_polar_value;
    }
    double x, y, s;
    do {
        x = 2.0 * rand_uniform() - 1.0;
        y = 2.0 * rand_uniform() - 1.0;
        s = x * x + y * y;
    } while (s <= 0.0 || s >= 1.0);
    double f = std::sqrt(-2.0 * std::log(s) / s);
    g_polar_value = x * f;
    g_polar_cached = true;
    return y * f;
}

double rand_normal_ziggurat()
{
    constexpr double kScale = 16777216.0;  // 2^24
    constexpr int kTailLayer = kZigLayers - 1;
    constexpr double R = kZigTailStart;
    for (;;) {
        int i = static_cast<int>(256.0 * rand_uniform());  // 0..256
        int layer = i & (kZigLayers - 1);
        bool positive = (i & 0x80) != 0;
        auto j = static_cast<uint32_t>(kScale * rand_uniform());
        double x = j * zig_w[layer];
        if (j < zig_k[layer])
            return positive ? x : -x;
        double y;
        if (layer == kTailLayer) {
            // Exponential envelope over the tail; u1 = 1 gives x = inf, which the test below rejects.
            double u1 = rand_uniform();
            double u2 = rand_uniform();
            x = R - std::log(1.0 - u1) / R;
            y = std::exp(-R * (x - R / 2.0)) * u2;
        } else {
            y = zig_y[layer + 1] + (zig_y[layer] - zig_y[layer + 1]) * rand_uniform();
        }
        if (y < std::exp(-x * x / 2.0))
            return positive ? x : -x;
    }
}

double rand_gamma(double a, double b)
{
    // Shapes at or below 0 would recurse without end (or return nonsense), and a
    // negative or infinite scale is no gamma distribution.
    if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a) || !std::isfinite(b))
        return std::numeric_limits<double>::quiet_NaN();
    if (a < 1.0) {
        // Boost the shape above 1 and scale back down: G(a) = G(1 + a) * U^(1/a).
        double u = nonzero_uniform();
        return rand_gamma(1.0 + a, b) * std::pow(u, 1.0 / a);
    }
    double d = a - 1.0 / 3.0;
    double c = (1.0 / 3.0) / std::sqrt(d);
    double v;
    for (;;) {
        double x = rand_normal_polar();
        v = 1.0 + c * x;
        if (v <= 0.0)
            continue;
        v = v * v * v;
        double u = nonzero_uniform();
        double x2 = x * x;
        if (u < 1.0 - 0.0331 * x2 * x2)
            break;
        if (std::log(u) < x2 / 2.0 + d * (1.0 - v + std::log(v)))
            break;
    }
    return b * d * v;
}
