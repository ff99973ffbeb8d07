// The estimator's fast kernel: every point drawn and decided exactly as the straightforward loop
// (straightforward.h) decides it, for a small share of the work.
//
// The top 11 bits xh, yh of a point's two draws come from the first state of each draw alone, and
// they nearly always settle the point: the draw rx lies in [xh 2^20, (xh + 1) 2^20), so with
// S = xh^2 + yh^2 the point is certainly inside when even the cell's far corner is, and certainly
// outside when even its near corner is. Only a point in a cell the arc crosses, about one in a
// thousand, needs its other four states and the straightforward test.
#pragma once

// Points inside or on the quarter circle among the first `points` drawn from `seed`: the kernel
// when the C library's rand_r is the generator it reproduces, otherwise the straightforward loop.
int count_hits(unsigned seed, int points);
