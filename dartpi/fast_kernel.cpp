// The fast kernel: the estimator's points, sixteen at a time, each decided exactly as the
// straightforward loop decides it.
//
// The C library's rand_r is a linear congruential generator over a 32-bit state: every call
// steps the state three times by s <- 1103515245 s + 12345 (mod 2^32) and takes 11, 10 and 10
// bits from bit 16 up of the three states. k steps compose into one affine map
// s <- A_k s + C_k, so the state at the start of any point is known without stepping through
// the points before it, and each vector lane can carry a point of its own.
#include "estimator.h"

#include <cstdlib>
#include <initializer_list>

namespace {

struct Affine {
    std::uint32_t mul, add;
    constexpr std::uint32_t operator()(std::uint32_t s) const { return mul * s + add; }
};

constexpr Affine kStep{1103515245u, 12345u};

// `first`, then `second`.
constexpr Affine then(Affine first, Affine second) {
    return {second.mul * first.mul, second.mul * first.add + second.add};
}

// k steps of the generator, by repeated squaring.
constexpr Affine steps(std::uint64_t k) {
    Affine result{1, 0}, power = kStep;
    for (; k != 0; k >>= 1, power = then(power, power))
        if (k & 1)
            result = then(result, power);
    return result;
}

// One rand_r result from the three states its call steps through: bits 16-26 of the first,
// then bits 16-25 of the second and of the third.
template <class U> [[gnu::always_inline]] inline U draw(U a, U b, U c) {
    // Shifted into place, then merged by bit selects (one instruction each where there is one).
    U high = a << 4, middle = b >> 6, low = c >> 16;
    U low_two = low ^ ((middle ^ low) & 0x000FFC00u);  // bits 10-19 from `middle`
    return low_two ^ ((high ^ low_two) & 0x7FF00000u); // bits 20-30 from `high`; 31 is 0
}

// A clone of each kernel per vector width, chosen by an ifunc resolver as the program is loaded.
// ThreadSanitizer's runtime is not up yet when resolvers run, so its builds keep one clone.
#ifdef __SANITIZE_THREAD__
#define VECTOR_CLONES
#else
#define VECTOR_CLONES [[gnu::target_clones("avx512f", "avx2", "default")]]
#endif

constexpr int kLanes = 16;
constexpr unsigned kStepsPerPoint = 6; // two draws of three steps

// Sixteen 32-bit lanes for the generator; the doubles go in two halves of eight, the widest
// that compare to masks in one instruction.
using u32v = std::uint32_t __attribute__((vector_size(4 * kLanes)));
using u64h = std::uint64_t __attribute__((vector_size(4 * kLanes)));
using f64h = double __attribute__((vector_size(4 * kLanes)));
using i64h = std::int64_t __attribute__((vector_size(4 * kLanes)));

// The point test without division. With d = 2^31 - 1, a point is inside when
// rx^2 + ry^2 <= d^2, and away from the arc the double arithmetic agrees: the sum below, rounded
// three times, is within 1536 of the exact one near d^2, and the straightforward test's answer
// can differ from the exact answer only within 2304 of d^2. Points within `margin` (well above
// both) of the arc are left to the straightforward test itself.
constexpr double kArcSquared = 4611686014132420609.0; // d^2, to the nearest double (512 away)
constexpr double kArcMargin = 16384.0;

struct Tally {
    i64h inside{};      // certainly inside
    i64h not_outside{}; // certainly inside, or near the arc
};

// A draw as a double, exactly, without a conversion instruction: a draw below 2^32 placed in the
// mantissa of 2^52 gives the double 2^52 + draw, and taking 2^52 away leaves the draw. Lanes go
// in even/odd pairs of the sixteen, which keeps it to two or three instructions per eight.
[[gnu::always_inline]] inline f64h as_double(u64h bits_below_32) {
    constexpr std::uint64_t two_52 = 0x4330000000000000u;
    return reinterpret_cast<f64h>(bits_below_32 | two_52) - 4503599627370496.0;
}
[[gnu::always_inline]] inline f64h even_lanes(u32v draws) {
    return as_double(reinterpret_cast<u64h>(draws) & 0xFFFFFFFFu);
}
[[gnu::always_inline]] inline f64h odd_lanes(u32v draws) {
    return as_double(reinterpret_cast<u64h>(draws) >> 32);
}

[[gnu::always_inline]] inline void test_half(f64h x, f64h y, double lo, double hi, Tally &tally) {
    f64h r2 = x * x + y * y;
    // A true comparison is -1 in every bit. Two counts rather than a band test: one compare
    // each, no mask arithmetic.
    tally.inside -= r2 < lo;
    tally.not_outside -= r2 <= hi;
}

// Tests sixteen points given by their draws; adds them to the tally.
[[gnu::always_inline]] inline void test_points(u32v rx, u32v ry, double lo, double hi,
                                               Tally &tally) {
    test_half(even_lanes(rx), even_lanes(ry), lo, hi, tally);
    test_half(odd_lanes(rx), odd_lanes(ry), lo, hi, tally);
}

inline long sum(i64h v) {
    long total = 0;
    for (int i = 0; i < kLanes / 2; i++)
        total += v[i];
    return total;
}

inline bool any_near_arc(const Tally &tally) {
    return sum(tally.not_outside - tally.inside) != 0;
}

// Points from `state` on, one at a time, by the straightforward test.
int count_one_by_one(std::uint32_t state, int points) {
    int hits = 0;
    for (int i = 0; i < points; i++) {
        std::uint32_t a = kStep(state), b = kStep(a), c = kStep(b);
        std::uint32_t d = kStep(c), e = kStep(d), f = kStep(e);
        hits += inside_by_double(draw(a, b, c), draw(d, e, f));
        state = f;
    }
    return hits;
}

// The maps from a point's first state to each of the six states its two draws step through.
constexpr Affine kPointSteps[kStepsPerPoint] = {steps(1), steps(2), steps(3),
                                                steps(4), steps(5), steps(6)};

// The maps arrive by pointer: as values GCC knows, it would rebuild each vector constant inside
// the loop.
VECTOR_CLONES int count_hits_vector(std::uint32_t seed, int points, double margin,
                                    const Affine *point_steps) {
    const u32v m1 = point_steps[0].mul + u32v{}, c1 = point_steps[0].add + u32v{};
    const u32v m2 = point_steps[1].mul + u32v{}, c2 = point_steps[1].add + u32v{};
    const u32v m3 = point_steps[2].mul + u32v{}, c3 = point_steps[2].add + u32v{};
    const u32v m4 = point_steps[3].mul + u32v{}, c4 = point_steps[3].add + u32v{};
    const u32v m5 = point_steps[4].mul + u32v{}, c5 = point_steps[4].add + u32v{};
    const u32v m6 = point_steps[5].mul + u32v{}, c6 = point_steps[5].add + u32v{};

    // Lane j takes the j-th sixteenth of the points, one after another, so the state at the end
    // of one point is the start of its next: no multiplication to move a lane on.
    int per_lane = points / kLanes;
    u32v lane_mul, lane_add;
    for (int j = 0; j < kLanes; j++) {
        Affine start = steps(std::uint64_t{kStepsPerPoint} * static_cast<unsigned>(j * per_lane));
        lane_mul[j] = start.mul;
        lane_add[j] = start.add;
    }
    u32v s = lane_mul * seed + lane_add;

    const double lo = kArcSquared - margin, hi = kArcSquared + margin;
    Tally tally;
    for (int i = 0; i < per_lane; i++) {
        // Six independent products from the point's first state rather than a chain of six.
        u32v a = m1 * s + c1, b = m2 * s + c2, c = m3 * s + c3;
        u32v d = m4 * s + c4, e = m5 * s + c5, f = m6 * s + c6;
        test_points(draw(a, b, c), draw(d, e, f), lo, hi, tally);
        s = f;
    }
    if (any_near_arc(tally))
        return -1; // some point lies too near the arc for this test
    // The last few points, past the sixteen equal shares, start where lane 15 ended.
    return static_cast<int>(sum(tally.inside)) + count_one_by_one(s[kLanes - 1], points % kLanes);
}

VECTOR_CLONES int count_inside_vector(const std::uint32_t *rx, const std::uint32_t *ry, int n) {
    int hits = 0;
    int i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        u32v x, y;
        for (int j = 0; j < kLanes; j++) {
            x[j] = rx[i + j];
            y[j] = ry[i + j];
        }
        Tally tally;
        test_points(x, y, kArcSquared - kArcMargin, kArcSquared + kArcMargin, tally);
        if (!any_near_arc(tally)) {
            hits += static_cast<int>(sum(tally.inside));
            continue;
        }
        for (int j = 0; j < kLanes; j++)
            hits += inside_by_double(rx[i + j], ry[i + j]);
    }
    for (; i < n; i++)
        hits += inside_by_double(rx[i], ry[i]);
    return hits;
}

} // namespace

int count_hits_fast(unsigned seed, int points, double margin) {
    int hits = count_hits_vector(seed, points, margin, kPointSteps);
    // Practically never: some point fell within the margin of the arc. Decide every point
    // again by the straightforward test.
    return hits >= 0 ? hits : count_one_by_one(seed, points);
}

int count_hits_fast(unsigned seed, int points) {
    return count_hits_fast(seed, points, kArcMargin);
}

int count_inside_pairs(const std::uint32_t *rx, const std::uint32_t *ry, int n) {
    return count_inside_vector(rx, ry, n);
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

// Decided once, as the program starts and before any thread exists. The check draws through
// rand_r itself, so on another C library (or with another generator preloaded) the
// straightforward loop stays.
static const bool rand_r_is_kernels_generator = rand_r_is_known_lcg();

int count_hits(unsigned seed, int points) {
    return rand_r_is_kernels_generator ? count_hits_fast(seed, points)
                                       : count_hits_plain(seed, points);
}
