// The estimator's run. How the points are counted is the kernel's business (kernel.h).
#include "estimator.h"

#include "kernel.h"

#include <cstdio>
#include <ctime>

void calculate_pi(int n) {
    // Runs that read the same calendar second share a seed, so they throw the same points.
    auto seed = static_cast<unsigned>(time(nullptr));
    int total = n * n;
    int hits = count_hits(seed, total);
    double estimate = hits * 4.0 / total;
    printf("The estimated PI is %lf in %d times\n", estimate, n * n);
}
