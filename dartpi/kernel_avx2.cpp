// The kernel's lanes, eight to a vector, built for AVX2; used only where the processor has it.
#include "kernel_lanes.inc"

std::int64_t count_hits_avx2(std::uint32_t seed, std::int64_t points, Band band) {
    return count_in_lanes(seed, points, band);
}
