// The arithmetic of the C library's rand_r, which the kernel reproduces.
//
// rand_r is a linear congruential generator over a 32-bit state: every call steps the state three
// times by s <- 1103515245 s + 12345 (mod 2^32) and takes 11, 10 and 10 bits from bit 16 up of
// the three states, most significant first. k steps compose into one affine map
// s <- A_k s + C_k, so the state at any point of the sequence is known without stepping there.
//
// Everything here has internal linkage: the kernel's vector paths include it in translation units
// built for different processors, and no copy built for one may stand in for another's.
#pragma once

#include <cstdint>

namespace {

struct Affine {
    std::uint32_t mul, add;
    constexpr std::uint32_t operator()(std::uint32_t s) const { return mul * s + add; }
};

inline constexpr Affine kStep{1103515245u, 12345u};

// `first`, then `second`.
constexpr Affine then(Affine first, Affine second) {
    return {second.mul * first.mul, second.mul * first.add + second.add};
}

// k steps of the generator, by repeated squaring.
constexpr Affine steps(std::uint64_t k) {
    Affine result{1, 0}, power = kStep;
    for (; k != 0; k >>= 1, power = then(power, power))
        if ((k & 1) != 0)
            result = then(result, power);
    return result;
}

// A point takes two draws of three steps each. Its "first state" is the state its x draw starts
// from, one step past the state before the point; its y draw starts three steps later.
inline constexpr unsigned kStepsPerPoint = 6;

constexpr std::uint32_t first_state(std::uint32_t seed, std::uint64_t point) {
    return steps(kStepsPerPoint * point + 1)(seed);
}

// One rand_r result from the three states its call steps through.
constexpr std::uint32_t draw(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    return (a >> 16 & 0x7FFu) << 20 | (b >> 16 & 0x3FFu) << 10 | (c >> 16 & 0x3FFu);
}

} // namespace
