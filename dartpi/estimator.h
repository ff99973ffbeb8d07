// The dart-throwing estimator shared by dartpi-serial and dartpi-threads.
//
// One run throws n x n points at the unit square, seeded from the calendar clock, and prints
// "The estimated PI is <estimate> in <n*n> times". Everything a run uses lives in its own frame,
// which is why ten runs can go on ten threads without a lock.
#pragma once

#include <cstdint>

// One run with side n: seeds from time(NULL), throws n*n points, prints the result line.
void calculate_pi(int n);

// Points inside or on the quarter circle among the first `points` points drawn from `seed`:
// the fast kernel when the C library's rand_r is the generator it reproduces, otherwise the
// straightforward loop.
int count_hits(unsigned seed, int points);

// The straightforward loop: two rand_r draws per point, the double arithmetic of the point test.
// `draw` is the generator, rand_r unless a test passes another one.
int count_hits_plain(unsigned seed, int points, int (*draw)(unsigned *) = nullptr);

// The fast kernel: sixteen points at a time in vector lanes, the same answer for every point.
// Points within `margin` of the arc (in units of the squared draws) are decided by the
// straightforward test; tests widen it to drive that path.
int count_hits_fast(unsigned seed, int points);
int count_hits_fast(unsigned seed, int points, double margin);

// The kernel's point test on given draws (each in [0, 2^31 - 1]), so tests can aim it at the
// arc; returns how many of the n pairs are inside.
int count_inside_pairs(const std::uint32_t *rx, const std::uint32_t *ry, int n);

// True when the C library's rand_r yields exactly the sequence the fast kernel reproduces.
bool rand_r_is_known_lcg();

// The point test exactly as the straightforward loop does it.
bool inside_by_double(std::uint32_t rx, std::uint32_t ry);
