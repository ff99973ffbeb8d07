// The kernel's lanes in plain vector arithmetic, four to a vector, for any processor the compiler
// targets (NEON on aarch64; SSE2 on baseline x86-64, which squares with its multiply-add of
// halves).
#define KERNEL_LANES_PORTABLE
#include "kernel_lanes.inc"

PathEntries portable_path() {
    return {count_in_lanes, classify_in_lanes, kQuadPoints};
}
