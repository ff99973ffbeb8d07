// Between the kernel's dispatch (kernel.cpp) and its vector paths, each a translation unit of its
// own built for one kind of processor. Only scalars cross this line, so the calls mean the same
// whatever each side was compiled for.
#pragma once

#include "kernel.h"

#include <cstdint>

using VectorPath = std::int64_t (*)(std::uint32_t seed, std::int64_t points, Band band);
std::int64_t count_hits_avx512(std::uint32_t seed, std::int64_t points, Band band);
std::int64_t count_hits_avx2(std::uint32_t seed, std::int64_t points, Band band);
std::int64_t count_hits_portable(std::uint32_t seed, std::int64_t points, Band band);

// 1 when the point whose x draw starts from `first` is inside, else 0.
int inside_from_first_state(std::uint32_t first);
