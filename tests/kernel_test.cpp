// The fast kernel against the straightforward loop: the same hit count for every seed and size,
// the same answer for every point near the arc.
#include "estimator.h"

#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <vector>

namespace {

constexpr std::uint32_t kMax = 2147483647; // the largest draw, d = 2^31 - 1

TEST(FastKernel, TheSystemRandRIsTheGeneratorItReproduces) {
    EXPECT_TRUE(rand_r_is_known_lcg());
}

TEST(FastKernel, CountsWhatTheStraightforwardLoopCountsForManySeedsAndSizes) {
    // Sizes around the sixteen lanes and their shares, small and large.
    const int sizes[] = {0, 1, 2, 15, 16, 17, 31, 32, 33, 255, 1000, 4097, 65537, 1000003};
    const unsigned seeds[] = {0u,          1u,          2u,         12345u,     0x7FFFFFFFu,
                              0x80000000u, 0xFFFFFFFFu, 1767225600, 0xDEADBEEF, 0x9E3779B9u};
    for (unsigned seed : seeds) {
        for (int points : sizes) {
            ASSERT_EQ(count_hits_fast(seed, points), count_hits_plain(seed, points))
                << "seed " << seed << ", " << points << " points";
        }
    }
}

TEST(FastKernel, CountsAWholeSide10000RunLikeTheStraightforwardLoop) {
    const int points = 10000 * 10000;
    EXPECT_EQ(count_hits_fast(1767225600u, points), count_hits_plain(1767225600u, points));
}

TEST(FastKernel, PointsNearTheArcFallBackToTheStraightforwardTest) {
    // A margin so wide that every run has points within it drives the fallback.
    for (unsigned seed : {0u, 7u, 0xFFFFFFFFu})
        for (int points : {17, 1000, 100003})
            EXPECT_EQ(count_hits_fast(seed, points, 1e18), count_hits_plain(seed, points));
}

// The kernel's test of one pair, in every lane at once.
bool kernel_says_inside(std::uint32_t rx, std::uint32_t ry) {
    std::vector<std::uint32_t> xs(16, rx), ys(16, ry);
    int inside = count_inside_pairs(xs.data(), ys.data(), 16);
    EXPECT_TRUE(inside == 0 || inside == 16) << rx << ", " << ry;
    return inside == 16;
}

bool exactly_inside(std::uint64_t rx, std::uint64_t ry) {
    return rx * rx + ry * ry <= std::uint64_t{kMax} * kMax;
}

TEST(PointTest, DoubleArithmeticAndExactArithmeticDisagreeAtThisPair) {
    EXPECT_FALSE(exactly_inside(65536, 2147483646));
    EXPECT_TRUE(inside_by_double(65536, 2147483646));
    EXPECT_TRUE(kernel_says_inside(65536, 2147483646));
}

TEST(PointTest, AgreesWithTheDoubleArithmeticWithinAFewUnitsOfTheArc) {
    int disagreements = 0; // pairs where exact and double answers differ
    int checked = 0;
    std::vector<std::uint32_t> xs;
    for (std::uint32_t rx = 0; rx < kMax - 40000; rx += 40009)
        xs.push_back(rx);
    for (std::uint32_t rx = kMax - 2000; rx <= kMax && rx >= kMax - 2000; rx++)
        xs.push_back(rx); // near the x axis the arc is steep in y
    xs.push_back(65536);
    for (std::uint32_t rx : xs) {
        double r2 = static_cast<double>(kMax) * kMax - static_cast<double>(rx) * rx;
        auto edge = static_cast<std::int64_t>(std::sqrt(std::max(r2, 0.0)));
        for (std::int64_t ry = edge - 4; ry <= edge + 4; ry++) {
            if (ry < 0 || ry > kMax)
                continue;
            auto y = static_cast<std::uint32_t>(ry);
            ASSERT_EQ(kernel_says_inside(rx, y), inside_by_double(rx, y)) << rx << ", " << y;
            disagreements += exactly_inside(rx, y) != inside_by_double(rx, y);
            checked++;
        }
    }
    EXPECT_GT(checked, 400000);
    EXPECT_GT(disagreements, 0) << "the band should hold pairs where rounding decides";
}

TEST(PointTest, BatchesOfAnyLengthCountEveryPair) {
    std::vector<std::uint32_t> xs, ys;
    int expected = 0;
    for (std::uint32_t i = 0; i < 37; i++) {
        xs.push_back(i * 58039711u % (kMax + 1u));
        ys.push_back(i * 2654435761u % (kMax + 1u));
        expected += inside_by_double(xs.back(), ys.back());
        ASSERT_EQ(count_inside_pairs(xs.data(), ys.data(), static_cast<int>(i + 1)), expected);
    }
}

} // namespace
