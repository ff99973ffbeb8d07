// The dart-throwing estimator shared by dartpi-serial and dartpi-threads.
//
// One run throws n x n points at the unit square, seeded from the calendar clock, and prints
// "The estimated PI is <estimate> in <n*n> times". Everything a run uses lives in its own frame,
// which is why ten runs can go on ten threads without a lock.
#pragma once

// One run with side n: seeds from time(NULL), throws n*n points, prints the result line.
void calculate_pi(int n);
