#include "toolkit/random.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr double kTwo24 = 16777216.0;

double density(double x) { return std::exp(-x * x / 2.0); }

// P(X <= x) for the standard normal distribution.
double normal_cdf(double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); }

// Raw rand() values right after srand(seed): lets a test see how many draws a call made.
std::vector<int> raw_sequence(unsigned seed, size_t count)
{
    std::srand(seed);
    std::vector<int> values(count);
    for (int& v : values)
        v = std::rand();
    return values;
}

// Index of the rand() value that comes next, i.e. how many draws the calls before made.
int draws_made(const std::vector<int>& reference)
{
    int next = std::rand();
    for (size_t i = 0; i < reference.size(); ++i)
        if (reference[i] == next)
            return static_cast<int>(i);
    return -1;
}

double uniform_of(int raw) { return (raw & 0x7FFF) / 32767.0; }

// Checks a count of events against its binomial expectation within five standard deviations.
void expect_frequency(const char* what, long count, long n, double p)
{
    double expected = double(n) * p;
    double sigma = std::sqrt(double(n) * p * (1.0 - p));
    EXPECT_NEAR(static_cast<double>(count), expected, 5.0 * sigma + 1.0) << what;
}

struct Moments {
    double mean = 0.0;
    double variance = 0.0;
};

Moments moments_of(const std::vector<double>& values)
{
    Moments m;
    for (double v : values)
        m.mean += v;
    m.mean /= double(values.size());
    for (double v : values)
        m.variance += (v - m.mean) * (v - m.mean);
    m.variance /= double(values.size() - 1);
    return m;
}

template <class Draw>
std::vector<double> draw_many(unsigned seed, int n, Draw draw)
{
    rand_seed(seed);
    std::vector<double> values(static_cast<size_t>(n));
    for (double& v : values)
        v = draw();
    return values;
}

// Mean, variance, sign balance, tails and the CDF on a grid must all match N(0, 1).
void expect_standard_normal(const std::vector<double>& values)
{
    const long n = static_cast<long>(values.size());
    Moments m = moments_of(values);
    EXPECT_NEAR(m.mean, 0.0, 5.0 / std::sqrt(n));
    EXPECT_NEAR(m.variance, 1.0, 5.0 * std::sqrt(2.0 / double(n)));

    long positive = 0, beyond1 = 0, beyond2 = 0, beyond_tail = 0;
    for (double v : values) {
        positive += v > 0.0;
        beyond1 += std::fabs(v) > 1.0;
        beyond2 += std::fabs(v) > 2.0;
        beyond_tail += std::fabs(v) > kZigTailStart;
    }
    expect_frequency("x > 0", positive, n, 0.5);
    expect_frequency("|x| > 1", beyond1, n, std::erfc(1.0 / std::sqrt(2.0)));
    expect_frequency("|x| > 2", beyond2, n, std::erfc(2.0 / std::sqrt(2.0)));
    expect_frequency("|x| > R", beyond_tail, n, std::erfc(kZigTailStart / std::sqrt(2.0)));

    for (double x = -3.5; x <= 3.5; x += 0.25) {
        long below = 0;
        for (double v : values)
            below += v <= x;
        expect_frequency("CDF grid point", below, n, normal_cdf(x));
    }
}

TEST(RandomZigguratTables, EdgesMatchTheReferenceRows)
{
    EXPECT_EQ(zig_y[0], 1.0);
    EXPECT_DOUBLE_EQ(zig_y[1], 0.963598623011);
    EXPECT_DOUBLE_EQ(zig_y[127], 0.00265435214565);
    const uint32_t k_head[] = {0, 12590644, 14272653, 14988939};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(zig_k[i], k_head[i]) << i;
    EXPECT_EQ(zig_k[125], 16047994u);
    EXPECT_EQ(zig_k[126], 15704248u);
    EXPECT_EQ(zig_k[127], 15472926u);
    EXPECT_DOUBLE_EQ(zig_w[0], 1.62318314817e-08);
    EXPECT_DOUBLE_EQ(zig_w[1], 2.16291505214e-08);
    EXPECT_DOUBLE_EQ(zig_w[2], 2.54246305087e-08);
    EXPECT_DOUBLE_EQ(zig_w[125], 1.92166040885e-07);
    EXPECT_DOUBLE_EQ(zig_w[126], 2.05295471952e-07);
    EXPECT_DOUBLE_EQ(zig_w[127], 2.22600839893e-07);
}

// Every row, not just the edges: equal layer areas, edges on the density curve,
// thresholds equal to the ratio of neighbouring widths.
TEST(RandomZigguratTables, EveryLayerFollowsTheConstruction)
{
    const double R = kZigTailStart;
    const double area = density(R) * (R + 1.0 / R);  // base rectangle plus exponential tail envelope
    EXPECT_NEAR(zig_w[126] * kTwo24, R, 1e-9);
    EXPECT_NEAR(zig_w[127] * kTwo24 * zig_y[127], area, 1e-12);
    EXPECT_NEAR(zig_y[127], density(R), 1e-12);
    for (int i = 0; i < kZigLayers - 1; ++i) {
        double width = zig_w[i] * kTwo24;
        EXPECT_NEAR(width * (zig_y[i] - zig_y[i + 1]), area, area * 1e-8) << "layer " << i;
        EXPECT_NEAR(zig_y[i + 1], density(width), 1e-10) << "layer " << i;
        EXPECT_LT(zig_w[i], zig_w[i + 1]) << "layer " << i;
    }
    for (int i = 1; i < kZigLayers; ++i) {
        double ratio = kTwo24 * zig_w[i - 1] / zig_w[i];
        if (i == kZigLayers - 1)
            ratio = kTwo24 * R / (zig_w[i] * kTwo24);
        EXPECT_NEAR(static_cast<double>(zig_k[i]), std::floor(ratio), 1.0) << "layer " << i;
    }
}

TEST(RandomUniform, FifteenBitsScaledToTheClosedUnitInterval)
{
    std::vector<int> raw = raw_sequence(7, 1000);
    rand_seed(7);
    for (int r : raw) {
        double u = rand_uniform();
        ASSERT_EQ(u, (r & 0x7FFF) / 32767.0);
        ASSERT_GE(u, 0.0);
        ASSERT_LE(u, 1.0);
    }
}

TEST(RandomPolar, SecondCallServesTheCachedValueWithoutDrawing)
{
    const unsigned seed = 2024;
    std::vector<int> raw = raw_sequence(seed, 64);

    rand_seed(seed);
    double first = rand_normal_polar();
    int after_first = draws_made(raw);
    ASSERT_GE(after_first, 2);
    EXPECT_EQ(after_first % 2, 0);  // draws come in (x, y) pairs

    rand_seed(seed);
    rand_normal_polar();
    double second = rand_normal_polar();
    EXPECT_EQ(draws_made(raw), after_first);

    // The accepted pair is the last one drawn: first = y*f, second = x*f.
    const auto drawn = static_cast<size_t>(after_first);
    double x = 2.0 * uniform_of(raw[drawn - 2]) - 1.0;
    double y = 2.0 * uniform_of(raw[drawn - 1]) - 1.0;
    double s = x * x + y * y;
    ASSERT_GT(s, 0.0);
    ASSERT_LT(s, 1.0);
    double f = std::sqrt(-2.0 * std::log(s) / s);
    EXPECT_DOUBLE_EQ(first, y * f);
    EXPECT_DOUBLE_EQ(second, x * f);

    // Earlier pairs were outside the unit disc.
    for (size_t i = 0; i + 2 < drawn; i += 2) {
        double rx = 2.0 * uniform_of(raw[i]) - 1.0, ry = 2.0 * uniform_of(raw[i + 1]) - 1.0;
        double rs = rx * rx + ry * ry;
        EXPECT_TRUE(rs <= 0.0 || rs >= 1.0) << "pair " << i / 2;
    }
}

TEST(RandomPolar, SeedingForgetsTheCachedValue)
{
    std::vector<double> a = draw_many(99, 5, rand_normal_polar);  // odd count: leaves a value cached
    std::vector<double> b = draw_many(99, 5, rand_normal_polar);
    EXPECT_EQ(a, b);
}

TEST(RandomPolar, DistributionIsStandardNormal)
{
    expect_standard_normal(draw_many(12345, 1000000, rand_normal_polar));
}

TEST(RandomZiggurat, FirstDrawFollowsLayerSignAndWidth)
{
    // Replays the first accepted draw by hand for several seeds where the first
    // (layer, j) pair lands inside its rectangle.
    int checked = 0;
    // Seeds far apart: msvcrt's first rand() after nearby seeds is nearly the same number.
    for (unsigned n = 0, seed = 1; n < 20; ++n, seed += 104729) {
        std::vector<int> raw = raw_sequence(seed, 2);
        int i = static_cast<int>(256.0 * uniform_of(raw[0]));
        auto j = static_cast<uint32_t>(kTwo24 * uniform_of(raw[1]));
        int layer = i & 127;
        if (j >= zig_k[layer])
            continue;
        double magnitude = j * zig_w[layer];
        double expected = (i & 0x80) ? magnitude : -magnitude;
        rand_seed(seed);
        EXPECT_EQ(rand_normal_ziggurat(), expected) << "seed " << seed;
        ++checked;
    }
    EXPECT_GE(checked, 10);
}

// The slow paths by hand: a wedge point of a middle layer and a tail point, each
// accepted or rejected by the density test. Seeds are searched for each case.
TEST(RandomZiggurat, WedgeAndTailPathsReplayByHand)
{
    const double R = kZigTailStart;
    bool seen[2][2] = {};  // [tail][accepted]
    for (unsigned seed = 1; seed < 200000; ++seed) {
        std::vector<int> raw = raw_sequence(seed, 4);
        int i = static_cast<int>(256.0 * uniform_of(raw[0]));
        auto j = static_cast<uint32_t>(kTwo24 * uniform_of(raw[1]));
        int layer = i & 127;
        if (j < zig_k[layer])
            continue;
        bool tail = layer == 127;
        double x, y;
        if (tail) {
            x = R - std::log(1.0 - uniform_of(raw[2])) / R;
            y = std::exp(-R * (x - R / 2.0)) * uniform_of(raw[3]);
        } else {
            x = j * zig_w[layer];
            y = zig_y[layer + 1] + (zig_y[layer] - zig_y[layer + 1]) * uniform_of(raw[2]);
        }
        bool accepted = y < density(x);
        if (seen[tail][accepted])
            continue;
        seen[tail][accepted] = true;
        int draws = tail ? 4 : 3;
        std::vector<int> reference = raw_sequence(seed, 64);
        rand_seed(seed);
        double value = rand_normal_ziggurat();
        int made = draws_made(reference);
        if (accepted) {
            EXPECT_EQ(value, (i & 0x80) ? x : -x) << "seed " << seed;
            EXPECT_EQ(made, draws) << "seed " << seed;
        } else {
            EXPECT_GT(made, draws) << "seed " << seed << " should have started again";
        }
        if (seen[0][0] && seen[0][1] && seen[1][0] && seen[1][1])
            break;
    }
    EXPECT_TRUE(seen[0][0] && seen[0][1] && seen[1][0] && seen[1][1]);
}

TEST(RandomZiggurat, DistributionIsStandardNormalWithBothTails)
{
    std::vector<double> values = draw_many(777, 1000000, rand_normal_ziggurat);
    expect_standard_normal(values);
    double lowest = 0.0, highest = 0.0;
    for (double v : values) {
        ASSERT_TRUE(std::isfinite(v));
        lowest = std::fmin(lowest, v);
        highest = std::fmax(highest, v);
    }
    EXPECT_GT(highest, kZigTailStart);
    EXPECT_LT(lowest, -kZigTailStart);
}

TEST(RandomZiggurat, SameSeedSameSequence)
{
    EXPECT_EQ(draw_many(5, 1000, rand_normal_ziggurat), draw_many(5, 1000, rand_normal_ziggurat));
    EXPECT_NE(draw_many(5, 1000, rand_normal_ziggurat), draw_many(6, 1000, rand_normal_ziggurat));
}

void expect_gamma(double a, double b, unsigned seed)
{
    const int n = 200000;
    std::vector<double> values = draw_many(seed, n, [a, b] { return rand_gamma(a, b); });
    for (double v : values)
        ASSERT_GT(v, 0.0) << "a=" << a;
    Moments m = moments_of(values);
    double mean = a * b, variance = a * b * b;
    EXPECT_NEAR(m.mean, mean, 5.0 * std::sqrt(variance / n)) << "a=" << a;
    // Sample variance's spread: sqrt((mu4 - sigma^4) / n), mu4 = 3 a (a + 2) b^4 for the gamma law.
    double mu4 = 3.0 * a * (a + 2.0) * b * b * b * b;
    EXPECT_NEAR(m.variance, variance, 5.0 * std::sqrt((mu4 - variance * variance) / n)) << "a=" << a;
}

TEST(RandomGamma, MomentsMatchShapeAndScale)
{
    expect_gamma(0.5, 1.0, 11);
    expect_gamma(1.0, 2.0, 12);
    expect_gamma(3.0, 2.0, 13);
    expect_gamma(9.0, 0.5, 14);
}

TEST(RandomGamma, ShapeOneIsExponential)
{
    const int n = 200000;
    const double b = 2.0;
    std::vector<double> values = draw_many(21, n, [b] { return rand_gamma(1.0, b); });
    for (double t : {0.5, 2.0, 6.0, 10.0}) {
        long above = 0;
        for (double v : values)
            above += v > t;
        expect_frequency("P(X > t) = exp(-t/b)", above, n, std::exp(-t / b));
    }
}

TEST(RandomGamma, SmallShapeRecursesOnceWithShapePlusOne)
{
    const unsigned seed = 31;
    std::vector<int> raw = raw_sequence(seed, 1);
    double u = uniform_of(raw[0]);
    ASSERT_GT(u, 0.0);  // the seed is chosen so that the first draw is kept

    rand_seed(seed);
    std::rand();  // the u drawn before recursing
    double boosted = rand_gamma(1.5, 2.0);

    rand_seed(seed);
    EXPECT_DOUBLE_EQ(rand_gamma(0.5, 2.0), boosted * u * u);
}

TEST(RandomGamma, InvalidParametersGiveNanWithoutDrawing)
{
    const double nan = std::nan("");
    const double inf = INFINITY;
    const double cases[][2] = {{0.0, 1.0}, {-0.5, 1.0}, {-1e300, 1.0}, {nan, 1.0}, {inf, 1.0},
                               {1.0, 0.0}, {1.0, -2.0}, {1.0, nan},    {2.0, inf}};
    std::vector<int> raw = raw_sequence(41, 4);
    for (const auto& c : cases) {
        rand_seed(41);
        EXPECT_TRUE(std::isnan(rand_gamma(c[0], c[1]))) << c[0] << ", " << c[1];
        EXPECT_EQ(draws_made(raw), 0) << c[0] << ", " << c[1];
    }
}

}  // namespace
