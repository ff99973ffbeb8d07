// The kernel against the straightforward loop: a sound classification of every cell, the same hit
// count on every vector path for every seed and size, and the same answer for every point near the
// arc.
#include "kernel_probes.h"
#include "straightforward.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kMax = 2147483647; // the largest draw, d = 2^31 - 1

TEST(Generator, TheSystemRandRIsTheGeneratorTheKernelReproduces) {
    EXPECT_TRUE(rand_r_is_known_lcg());
}

class EveryPath : public testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        if (!can_run(GetParam().c_str()))
            GTEST_SKIP() << "this processor cannot run the " << GetParam() << " path";
    }
    int hits(unsigned seed, int points, Band band = kCertainBand) const {
        return count_hits_fast(seed, points, GetParam().c_str(), band);
    }
};

const unsigned kSeeds[] = {0u,          1u,          2u,         12345u,     0x7FFFFFFFu,
                           0x80000000u, 0xFFFFFFFFu, 1767225600, 0xDEADBEEF, 0x9E3779B9u};

TEST_P(EveryPath, CountsWhatTheStraightforwardLoopCountsForManySeedsAndSizes) {
    // Around the streams' equal shares (32, 64 or 192 streams) and their tails, small and large,
    // and around the points between two readings of the open ones (6144, 12288 or 24576).
    const int sizes[] = {0,     1,     31,    32,    33,    63,    64,    65,
                         191,   192,   193,   385,   1000,  4097,  6144,  6145,
                         12288, 12351, 24576, 24767, 49152, 65537, 99999, 1000003};
    for (unsigned seed : kSeeds) {
        for (int points : sizes) {
            ASSERT_EQ(hits(seed, points), count_hits_plain(seed, points))
                << "seed " << seed << ", " << points << " points";
        }
    }
}

TEST_P(EveryPath, DecidingManyPointsExactlyGivesTheSameCounts) {
    // Every point, about half of them, or a band wider than 16-bit lanes hold: quads full of open
    // points, more of them kept than the loop holds before it must decide them.
    for (Band band :
         {kEveryPointExact, Band{3000000, 6000000}, Band{(1u << 22) - 32768, 1u << 22}}) {
        for (unsigned seed : {0u, 7u, 0xFFFFFFFFu}) {
            for (int points : {17, 1000, 100003}) {
                EXPECT_EQ(hits(seed, points, band), count_hits_plain(seed, points))
                    << "band [" << band.inside_below << ", " << band.outside_from << ")";
            }
        }
    }
}

TEST_P(EveryPath, CountsAWholeSide10000RunLikeTheStraightforwardLoop) {
    constexpr int kPoints = 10000 * 10000;
    static const int expected = count_hits_plain(1767225600u, kPoints);
    EXPECT_EQ(hits(1767225600u, kPoints), expected);
}

TEST_P(EveryPath, ClassifiesEveryCellAsTheStraightforwardTestDecidesItsCorners) {
    // Each path's own squaring and classifying, over all 2^22 cells (yh | xh << 16).
    const char *path = GetParam().c_str();
    const std::size_t quad = quad_points(path);
    enum Verdict : std::int8_t { unclassified = -1, outside, inside, open };
    auto cell = [](std::uint32_t xh, std::uint32_t yh) { return yh | xh << 16; };

    // Each S classified on its own: a quad of one cell that gives it, so every lane says the same.
    std::vector<Verdict> of_sum(2 * 2047 * 2047 + 1, unclassified);
    std::vector<std::uint32_t> cells(2048);
    std::vector<std::uint8_t> opened(2048);
    for (std::uint32_t xh = 0; xh < 2048; xh++) {
        for (std::uint32_t yh = 0; yh < 2048; yh++) {
            Verdict &verdict = of_sum[xh * xh + yh * yh];
            if (verdict != unclassified)
                continue;
            std::fill_n(cells.begin(), quad, cell(xh, yh));
            auto in =
                static_cast<std::size_t>(classify_cells(path, cells.data(), quad, opened.data()));
            auto open_lanes = static_cast<std::size_t>(
                std::count(opened.begin(), opened.begin() + static_cast<std::ptrdiff_t>(quad), 1));
            ASSERT_TRUE((in == 0 || in == quad) && (open_lanes == 0 || open_lanes == quad) &&
                        in + open_lanes <= quad)
                << xh << ", " << yh << ": lanes of one cell classified apart";
            verdict = in != 0 ? inside : open_lanes != 0 ? open : outside;
        }
    }

    // Cells side by side, as the loop meets them: each lane classified as its S alone was.
    for (std::uint32_t xh = 0; xh < 2048; xh++) {
        std::int64_t expected_inside = 0;
        for (std::uint32_t yh = 0; yh < 2048; yh++) {
            cells[yh] = cell(xh, yh);
            expected_inside += of_sum[xh * xh + yh * yh] == inside;
        }
        ASSERT_EQ(classify_cells(path, cells.data(), cells.size(), opened.data()), expected_inside)
            << "row " << xh;
        for (std::uint32_t yh = 0; yh < 2048; yh++)
            ASSERT_EQ(opened[yh] == 1, of_sum[xh * xh + yh * yh] == open) << xh << ", " << yh;
    }

    // The straightforward test grows with rx and with ry (each rounding is monotonic), so a cell
    // is inside when its far corner is and outside when its near corner is.
    constexpr std::uint32_t kCell = 1u << 20;
    // The tightest sound band: from the least S of a cell not wholly inside to past the largest S
    // of a cell not wholly outside. Every cell in it, and none beyond it, must be left open.
    std::uint32_t least_not_inside = 1u << 23, most_not_outside = 0;
    for (std::uint32_t xh = 0; xh < 2048; xh++) {
        for (std::uint32_t yh = 0; yh < 2048; yh++) {
            const std::uint32_t sum = xh * xh + yh * yh;
            const Verdict verdict = of_sum[sum];
            const bool far_inside =
                inside_by_double(xh * kCell + kCell - 1, yh * kCell + kCell - 1);
            const bool near_inside = inside_by_double(xh * kCell, yh * kCell);
            if (verdict == inside) {
                ASSERT_TRUE(far_inside) << xh << ", " << yh;
            } else if (verdict == outside) {
                ASSERT_FALSE(near_inside) << xh << ", " << yh;
            }
            if (!far_inside)
                least_not_inside = std::min(least_not_inside, sum);
            if (near_inside)
                most_not_outside = std::max(most_not_outside, sum);
        }
    }
    // (No two squares sum to the S between the largest not wholly outside and 2^22.)
    EXPECT_EQ(kCertainBand.inside_below, least_not_inside);
    EXPECT_GT(kCertainBand.outside_from, most_not_outside);
    int in_band = 0, undecided = 0;
    for (std::uint32_t xh = 0; xh < 2048; xh++) {
        for (std::uint32_t yh = 0; yh < 2048; yh++) {
            const std::uint32_t sum = xh * xh + yh * yh;
            in_band += sum >= least_not_inside && sum <= most_not_outside;
            undecided += of_sum[sum] == open;
        }
    }
    EXPECT_EQ(undecided, in_band) << "each open cell costs the slow path a point";
}

TEST_P(EveryPath, ClassifiesAllCellsInOneRunByTheirSumForBandsAroundWhat16BitLanesHold) {
    // All 2^22 cells in one call, across many readings of the open ones, for bands as wide as
    // the narrowed lanes hold exactly and wider: each cell classified by its S alone.
    std::vector<std::uint32_t> cells, sums;
    for (std::uint32_t xh = 0; xh < 2048; xh++) {
        for (std::uint32_t yh = 0; yh < 2048; yh++) {
            cells.push_back(yh | xh << 16);
            sums.push_back(xh * xh + yh * yh);
        }
    }
    std::vector<std::uint8_t> opened(cells.size());
    for (std::uint32_t width : {5772u, 32766u, 32767u, 32768u, 32769u, 1u << 21}) {
        const Band band{(1u << 22) - width, 1u << 22};
        const auto inside = std::count_if(sums.begin(), sums.end(),
                                          [&](std::uint32_t s) { return s < band.inside_below; });
        ASSERT_EQ(
            classify_cells(GetParam().c_str(), cells.data(), cells.size(), opened.data(), band),
            inside)
            << "band width " << width;
        for (std::size_t i = 0; i < cells.size(); i++) {
            ASSERT_EQ(opened[i] == 1, sums[i] >= band.inside_below && sums[i] < band.outside_from)
                << "band width " << width << ", cell " << std::hex << cells[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryPath, testing::Values("avx512", "avx2", "portable"),
                         [](const auto &p) { return p.param; });

bool exactly_inside(std::uint64_t rx, std::uint64_t ry) {
    return rx * rx + ry * ry <= std::uint64_t{kMax} * kMax;
}

TEST(PointsOnTheArc, DoubleArithmeticAndExactArithmeticDisagreeAtThisPair) {
    EXPECT_FALSE(exactly_inside(65536, 2147483646));
    EXPECT_TRUE(inside_by_double(65536, 2147483646));
    EXPECT_TRUE(inside_exactly(65536, 2147483646));
}

TEST(PointsOnTheArc, AreDecidedAsTheDoubleArithmeticDecidesThem) {
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
        for (std::int64_t ry = edge - 40; ry <= edge + 40; ry++) {
            if (ry < 0 || ry > kMax)
                continue;
            auto y = static_cast<std::uint32_t>(ry);
            ASSERT_EQ(inside_exactly(rx, y), inside_by_double(rx, y)) << rx << ", " << y;
            disagreements += exactly_inside(rx, y) != inside_by_double(rx, y);
            checked++;
        }
    }
    EXPECT_GT(checked, 4000000);
    EXPECT_GT(disagreements, 0) << "the band should hold pairs where rounding decides";
}

} // namespace
