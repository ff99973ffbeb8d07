// The kernel's loop over vector lanes. kernel_avx512.cpp, kernel_avx2.cpp and kernel_portable.cpp
// each include this file once, built with their own processor flags; it has internal linkage
// throughout, so each translation unit keeps its own copy and no vector ever crosses into code
// built for another processor.
//
// Each lane follows its own stream of points: the first state of a point's x draw. From it, one
// multiply-add gives the first state of its y draw (times 32, which puts yh in the top 11 bits)
// and another the first state of the stream's next point. yh and xh packed as 16-bit halves give
// S = xh^2 + yh^2 in one multiply-add of halves. Only the rare lanes the band leaves open go to
// the exact decision.
#pragma once

#include "kernel_paths.h"
#include "lcg.h"

#if !defined(KERNEL_LANES_PORTABLE) && (defined(__AVX512BW__) || defined(__AVX2__))
#define KERNEL_LANES_X86
#include <immintrin.h>
#endif

namespace {

#if defined(KERNEL_LANES_X86) && defined(__AVX512BW__)
constexpr int kLanes = 16;
#elif defined(KERNEL_LANES_X86)
constexpr int kLanes = 8;
#else
constexpr int kLanes = 4;
#endif
// Vectors in flight, so that one's multiply latency hides behind the others' work: two quads of
// four, each vector of a quad a named member (an array of vectors would live in memory).
constexpr int kQuads = 2;
constexpr int kStreams = kLanes * 4 * kQuads;

using u32v = std::uint32_t __attribute__((vector_size(4 * kLanes)));
using i32v = std::int32_t __attribute__((vector_size(4 * kLanes)));

// Vectors go by reference, never by value: nothing here depends on how a vector is passed.

// Four vectors, each a named member so that it can live in a register.
struct Quad {
    u32v v0, v1, v2, v3;
};

// S for each lane of yh | xh << 16.
[[gnu::always_inline]] inline void square_sums_of_halves(const u32v &packed, u32v &sums) {
#if defined(KERNEL_LANES_X86) && defined(__AVX512BW__)
    auto halves = reinterpret_cast<__m512i>(packed);
    sums = reinterpret_cast<u32v>(_mm512_madd_epi16(halves, halves));
#elif defined(KERNEL_LANES_X86)
    auto halves = reinterpret_cast<__m256i>(packed);
    sums = reinterpret_cast<u32v>(_mm256_madd_epi16(halves, halves));
#else
    u32v low = packed & 0xFFFFu, high = packed >> 16;
    sums = low * low + high * high;
#endif
}

// Sorts the points of four vectors by S: counts those certainly inside, and returns the bits of
// those the band leaves open (bit v * kLanes + j for lane j of vector v).
class Sorter {
#if defined(KERNEL_LANES_X86) && defined(__AVX512BW__)
    // Two compares to masks; the masks are counted and combined on the scalar side.
    __m512i inside_below_, outside_from_;
    std::int64_t inside_ = 0;

    std::uint64_t bits(const u32v &sums) {
        auto s = reinterpret_cast<__m512i>(sums);
        __mmask16 inside = _mm512_cmplt_epu32_mask(s, inside_below_);
        __mmask16 not_outside = _mm512_cmplt_epu32_mask(s, outside_from_);
        inside_ += __builtin_popcount(inside);
        return _kandn_mask16(inside, not_outside);
    }

  public:
    explicit Sorter(Band band)
        : inside_below_(_mm512_set1_epi32(static_cast<int>(band.inside_below))),
          outside_from_(_mm512_set1_epi32(static_cast<int>(band.outside_from))) {}
    std::int64_t inside() const {
        return inside_;
    }
#else
    // S - inside_below, as unsigned: its top bit is set exactly when the point is certainly
    // inside (S and the bounds are below 2^24), and it is below the band's width exactly when
    // the point is in the band.
    u32v inside_below_, inside_ = {};
    std::uint32_t width_;

    u32v offset(const u32v &sums) {
        u32v offset = sums - inside_below_;
        inside_ += offset >> 31;
        return offset;
    }
    std::uint64_t bits(const u32v &offset) const {
#if defined(KERNEL_LANES_X86)
        i32v open = offset < width_;
        return static_cast<std::uint32_t>(_mm256_movemask_ps(reinterpret_cast<__m256>(open)));
#else
        std::uint64_t bits = 0;
        for (int j = 0; j < kLanes; j++)
            bits |= std::uint64_t{offset[j] < width_} << j;
        return bits;
#endif
    }

  public:
    explicit Sorter(Band band)
        : inside_below_(band.inside_below + u32v{}), width_(band.outside_from - band.inside_below) {
    }
    std::int64_t inside() const {
        std::int64_t sum = 0;
        for (int j = 0; j < kLanes; j++)
            sum += inside_[j];
        return sum;
    }
#endif

  public:
    [[gnu::always_inline]] std::uint64_t sort(const Quad &sums) {
#if defined(KERNEL_LANES_X86) && defined(__AVX512BW__)
        const u32v &offset0 = sums.v0, &offset1 = sums.v1, &offset2 = sums.v2, &offset3 = sums.v3;
#else
        u32v offset0 = offset(sums.v0), offset1 = offset(sums.v1);
        u32v offset2 = offset(sums.v2), offset3 = offset(sums.v3);
#endif
#if !defined(KERNEL_LANES_X86)
        // Without a compare to a bit mask, first ask whether any lane at all is open.
        i32v open =
            (offset0 < width_) | (offset1 < width_) | (offset2 < width_) | (offset3 < width_);
        std::int32_t any = 0;
        for (int j = 0; j < kLanes; j++)
            any |= open[j];
        if (any == 0)
            return 0;
#endif
        return bits(offset0) | bits(offset1) << kLanes | bits(offset2) << 2 * kLanes |
               bits(offset3) << 3 * kLanes;
    }
};

// The lanes the band left open (bit v * kLanes + j for lane j of vector v), decided one by one;
// returns how many are inside.
[[gnu::noinline]] std::int64_t settle(const Quad &first, std::uint64_t open) {
    const u32v vectors[] = {first.v0, first.v1, first.v2, first.v3};
    std::int64_t inside = 0;
    for (; open != 0; open &= open - 1) {
        int lane = __builtin_ctzll(open);
        inside += inside_from_first_state(vectors[lane / kLanes][lane % kLanes]);
    }
    return inside;
}

// The first states of all the streams; stream k takes the k-th share of the points, one after
// another, and lies in lane k % kLanes of vector k / kLanes.
void start(u32v (&first)[kStreams / kLanes], std::uint32_t seed, std::int64_t per_stream) {
    for (int k = 0; k < kStreams; k++)
        first[k / kLanes][k % kLanes] = first_state(
            seed, static_cast<std::uint64_t>(k) * static_cast<std::uint64_t>(per_stream));
}

constexpr Affine kToNext = steps(kStepsPerPoint), kToY = steps(3);

// The loop's steps are forced inline: as calls, the quads they work on would need an address and
// leave the registers.
#define LOOP_STEP [[gnu::always_inline]] inline

// S of each lane, from the first state of its x draw.
LOOP_STEP void square_sums(const u32v &x_first, u32v &sums) {
    // The y draw's first state times 32, which leaves its bits 16-26 (yh) on top.
    u32v y_high = (x_first * (32 * kToY.mul) + 32 * kToY.add) >> 21;
    square_sums_of_halves(y_high | (x_first & 0x07FF0000u), sums); // yh | xh << 16
}

LOOP_STEP void square_sums(const Quad &first, Quad &sums) {
    square_sums(first.v0, sums.v0);
    square_sums(first.v1, sums.v1);
    square_sums(first.v2, sums.v2);
    square_sums(first.v3, sums.v3);
}

LOOP_STEP void advance(Quad &first) {
    first.v0 = first.v0 * kToNext.mul + kToNext.add;
    first.v1 = first.v1 * kToNext.mul + kToNext.add;
    first.v2 = first.v2 * kToNext.mul + kToNext.add;
    first.v3 = first.v3 * kToNext.mul + kToNext.add;
}

std::int64_t count_in_lanes(std::uint32_t seed, std::int64_t points, Band band) {
    const std::int64_t per_stream = points / kStreams;
    static_assert(kQuads == 2);
    u32v first[kStreams / kLanes];
    start(first, seed, per_stream);
    // No address of these is ever taken, so that they stay in registers.
    Quad low{first[0], first[1], first[2], first[3]}, high{first[4], first[5], first[6], first[7]};

    Sorter sorter(band);
    std::int64_t settled_inside = 0;
    for (std::int64_t i = 0; i < per_stream; i++) {
        Quad low_sums, high_sums;
        square_sums(low, low_sums);
        square_sums(high, high_sums);
        std::uint64_t open_low = sorter.sort(low_sums), open_high = sorter.sort(high_sums);
        if ((open_low | open_high) != 0) [[unlikely]] {
            const Quad low_copy = low, high_copy = high;
            settled_inside += settle(low_copy, open_low) + settle(high_copy, open_high);
        }
        advance(low);
        advance(high);
    }

    std::int64_t hits = sorter.inside() + settled_inside;
    // The last few points, past the equal shares.
    std::uint32_t state = first_state(seed, static_cast<std::uint64_t>(kStreams * per_stream));
    for (std::int64_t i = kStreams * per_stream; i < points; i++) {
        hits += inside_from_first_state(state);
        state = kToNext(state);
    }
    return hits;
}

} // namespace
