// The kernel's lanes in plain vector arithmetic, four to a vector, for any processor the compiler
// targets (NEON on aarch64, SSE2 on baseline x86-64).
#define KERNEL_LANES_PORTABLE
#include "kernel_lanes.inc"

std::int64_t count_hits_portable(std::uint32_t seed, std::int64_t points, Band band) {
    return count_in_lanes(seed, points, band);
}
