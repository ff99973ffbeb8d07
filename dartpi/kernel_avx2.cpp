// The kernel's lanes, eight to a vector, built for AVX2; used only where the processor has it.
#include "kernel_lanes.inc"

PathEntries avx2_path() {
    return {count_in_lanes, classify_in_lanes, kQuadPoints};
}
