// Between the kernel's dispatch (kernel.cpp) and its vector paths, each a translation unit of its
// own built for one kind of processor. Only scalars and plain arrays cross this line, so the calls
// mean the same whatever each side was compiled for.
#pragma once

#include "kernel_probes.h"

#include <cstddef>
#include <cstdint>

// What each path offers: its count of hits, and its classifying of cells for the exhaustive test.
struct PathEntries {
    std::int64_t (*count)(std::uint32_t seed, std::int64_t points, Band band);
    std::int64_t (*classify)(const std::uint32_t *cells, std::size_t count, std::uint8_t *open,
                             Band band);
    std::size_t quad_points; // the points of a quad: cells are classified this many at once
};

PathEntries avx512_path();
PathEntries avx2_path();
PathEntries portable_path();

// 1 when the point whose x draw starts from `first` is inside, else 0.
int inside_from_first_state(std::uint32_t first);
