// The kernel's lanes, sixteen to a vector, built for AVX-512 (F and BW); used only where the
// processor has them.
#include "kernel_lanes.inc"

std::int64_t count_hits_avx512(std::uint32_t seed, std::int64_t points, Band band) {
    return count_in_lanes(seed, points, band);
}
