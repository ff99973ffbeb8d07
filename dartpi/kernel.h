// The estimator's fast kernel: every point drawn and decided exactly as the straightforward loop
// (straightforward.h) decides it, for a small share of the work.
//
// The top 11 bits xh, yh of a point's two draws come from the first state of each draw alone, and
// they nearly always settle the point: the draw rx lies in [xh 2^20, (xh + 1) 2^20), so with
// S = xh^2 + yh^2 the point is certainly inside when even the cell's far corner is, and certainly
// outside when even its near corner is. Only a point in a cell the arc crosses, about one in a
// thousand, needs its other four states and the straightforward test.
#pragma once

#include <cstdint>

// Points inside or on the quarter circle among the first `points` drawn from `seed`: the kernel
// when the C library's rand_r is the generator it reproduces, otherwise the straightforward loop.
int count_hits(unsigned seed, int points);

// How the kernel sorts a point by S: certainly inside when S < inside_below, certainly outside
// when S >= outside_from, and in between decided from its whole draws.
struct Band {
    std::uint32_t inside_below, outside_from;
};
// 4188531 is the largest S of a cell whose far corner still lies inside (xh + 1)^2 + (yh + 1)^2
// < 2^22; a cell with S >= 2^22 has its near corner outside. The double test's rounding (a few
// thousand in units of rx^2) is far smaller than the 2^40 between a corner and the next cell.
inline constexpr Band kCertainBand{4188532, 1u << 22};
// Sends every point through the exact decision, so tests can drive that path.
inline constexpr Band kEveryPointExact{0, 1u << 24};

enum class Cell { inside, outside, undecided };
Cell classify(std::uint32_t xh, std::uint32_t yh, Band band = kCertainBand);

// The vector paths this processor can run, widest first ("avx512", "avx2", "portable"), ending
// with a null pointer; the kernel uses the first, chosen once as the program starts.
const char *const *usable_paths();
bool can_run(const char *path);
int count_hits_fast(unsigned seed, int points);
int count_hits_fast(unsigned seed, int points, const char *path, Band band = kCertainBand);

// The decision for a point the band leaves open, on its two draws.
bool inside_exactly(std::uint32_t rx, std::uint32_t ry);

// True when the C library's rand_r yields exactly the sequence the kernel reproduces.
bool rand_r_is_known_lcg();
