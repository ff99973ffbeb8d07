// The kernel's parts, opened for its tests and its benchmark: each vector path by name, the band
// it classifies points by, the exact decision, and the start-up check of rand_r. The run needs none
// of this (kernel.h).
#pragma once

#include <cstddef>
#include <cstdint>

// How the kernel classifies a point by S = xh^2 + yh^2: certainly inside when S < inside_below,
// certainly outside when S >= outside_from, and in between (open) decided from its whole draws.
struct Band {
    std::uint32_t inside_below, outside_from;
};
// 4188532 is the least S of any cell whose far corner lies outside the arc: every cell with a
// smaller S lies wholly inside. (Some cells with S up to 4189960 lie wholly inside too, but
// others with those sums do not, so a bound on S alone must leave them open.) A cell with
// S >= 2^22 has its near corner, and so all of it, outside. The double test's rounding (a few
// thousand in units of rx^2) is far smaller than the 2^40 between a corner and the next cell.
inline constexpr Band kCertainBand{4188532, 1u << 22};
// Sends every point through the exact decision, so tests can drive that path.
inline constexpr Band kEveryPointExact{0, 1u << 24};

// Whether this processor runs the vector path called `path` ("avx512", "avx2", "portable").
bool can_run(const char *path);
int count_hits_fast(unsigned seed, int points, const char *path, Band band = kCertainBand);

// Classifies cells, each given as yh | xh << 16, with the path's own code, as its loop classifies
// points: returns how many it finds certainly inside, and sets open[i] to 1 for each cell the
// band leaves open (else 0). `count` is a multiple of quad_points(path).
std::int64_t classify_cells(const char *path, const std::uint32_t *cells, std::size_t count,
                            std::uint8_t *open, Band band = kCertainBand);
// The points of one of the path's quads (four vectors).
std::size_t quad_points(const char *path);

// The decision for a point the band leaves open, on its two draws.
bool inside_exactly(std::uint32_t rx, std::uint32_t ry);

// True when the C library's rand_r yields exactly the sequence the kernel reproduces.
bool rand_r_is_known_lcg();
