// The straightforward estimator loop: two rand_r draws per point and the double arithmetic of the
// point test, as plain as the run can be written. The kernel is measured, and decided, against it.
#pragma once

#include <cstdint>

// The point test on two draws (each in [0, 2^31 - 1]): (rx/d)^2 + (ry/d)^2 <= 1 in doubles, with
// d = 2^31 - 1, each product and the sum rounded separately.
bool inside_by_double(std::uint32_t rx, std::uint32_t ry);

// Points inside or on the quarter circle among the first `points` drawn from `seed`. `draw` is
// the generator: rand_r unless a test passes another one.
int count_hits_plain(unsigned seed, int points, int (*draw)(unsigned *) = nullptr);
