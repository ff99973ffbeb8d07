// The kernel's lanes, sixteen to a vector, built for AVX-512 (F and BW); used only where the
// processor has them.
#include "kernel_lanes.inc"

PathEntries avx512_path() {
    return {count_in_lanes, classify_in_lanes, kQuadPoints};
}
