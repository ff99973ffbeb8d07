// The kernel's choice of vector path, its exact decision for the points the band leaves open, and
// the start-up check that rand_r is the generator it reproduces.
#include "kernel.h"
#include "kernel_probes.h"

#include "kernel_paths.h"
#include "lcg.h"
#include "straightforward.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

bool everywhere() {
    return true;
}

#ifdef DARTPI_X86_PATHS
bool has_avx512() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
           __builtin_cpu_supports("popcnt") != 0;
}

bool has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}
#endif

struct Path {
    const char *name;
    PathEntries (*entries)();
    bool (*supported)();
};

// Widest first; the last runs on every processor.
constexpr Path kPaths[] = {
#ifdef DARTPI_X86_PATHS
    {"avx512", avx512_path, has_avx512},
    {"avx2", avx2_path, has_avx2},
#endif
    {"portable", portable_path, everywhere},
};

PathEntries widest() {
    for (const Path &path : kPaths)
        if (path.supported())
            return path.entries();
    abort(); // unreachable: the portable path runs everywhere
}

// The path called `name`; a test or benchmark that asks for one this processor cannot run ends
// here (it checks can_run first).
PathEntries find(const char *name) {
    for (const Path &path : kPaths)
        if (std::strcmp(path.name, name) == 0 && path.supported())
            return path.entries();
    abort();
}

// d^2 with d = 2^31 - 1, the largest draw: a point is inside exactly when rx^2 + ry^2 <= d^2.
constexpr std::uint64_t kArcSquared = 4611686014132420609u;
// The double test rounds rx/d, its square and the sum, each to within half an ulp of a value
// below 2, so it can stray from the exact answer only within about 5 * 2^-53 * d^2 < 2600 of the
// arc. Beyond this margin the exact sum decides as the double test would.
constexpr std::uint64_t kRoundingMargin = 16384;

} // namespace

bool inside_exactly(std::uint32_t rx, std::uint32_t ry) {
    std::uint64_t sum = std::uint64_t{rx} * rx + std::uint64_t{ry} * ry;
    // Which side the point is on is a coin toss here, so that is computed, not branched on; the
    // branch to the double test is all but never taken.
    if (sum > kArcSquared - kRoundingMargin && sum < kArcSquared + kRoundingMargin) [[unlikely]]
        return inside_by_double(rx, ry);
    return sum <= kArcSquared;
}

int inside_from_first_state(std::uint32_t first) {
    // Five independent products from the first state rather than a chain of five.
    constexpr Affine to_b = steps(1), to_c = steps(2), to_d = steps(3), to_e = steps(4),
                     to_f = steps(5);
    std::uint32_t rx = draw(first, to_b(first), to_c(first));
    std::uint32_t ry = draw(to_d(first), to_e(first), to_f(first));
    return inside_exactly(rx, ry) ? 1 : 0;
}

bool can_run(const char *name) {
    for (const Path &path : kPaths)
        if (std::strcmp(path.name, name) == 0)
            return path.supported();
    return false;
}

int count_hits_fast(unsigned seed, int points, const char *path, Band band) {
    return static_cast<int>(find(path).count(seed, points, band));
}

std::int64_t classify_cells(const char *path, const std::uint32_t *cells, std::size_t count,
                            std::uint8_t *open, Band band) {
    return find(path).classify(cells, count, open, band);
}

std::size_t quad_points(const char *path) {
    return find(path).quad_points;
}

bool rand_r_is_known_lcg() {
    for (unsigned seed : {0u, 1u, 12345u, 0x80000000u, 0xFFFFFFFFu, 0x9E3779B9u}) {
        unsigned state = seed;
        for (int call = 0; call < 4; call++) {
            std::uint32_t a = kStep(state), b = kStep(a), c = kStep(b);
            if (rand_r(&state) != static_cast<int>(draw(a, b, c)) || state != c)
                return false;
        }
    }
    return true;
}

// Decided once, as the program starts and before any thread exists: the widest path this
// processor runs, and whether rand_r is the generator the kernel reproduces at all (on another C
// library, or with another generator preloaded, the straightforward loop stays).
static const PathEntries fastest = widest();
static const bool rand_r_is_kernels_generator = rand_r_is_known_lcg();

int count_hits(unsigned seed, int points) {
    return rand_r_is_kernels_generator ? static_cast<int>(fastest.count(seed, points, kCertainBand))
                                       : count_hits_plain(seed, points);
}
