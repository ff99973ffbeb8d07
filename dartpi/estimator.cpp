// The estimator's run and its straightforward point loop. count_hits, which chooses between that
// loop and the fast kernel, is in fast_kernel.cpp.
#include "estimator.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

void calculate_pi(int n) {
    // Runs that read the same calendar second share a seed, so they throw the same points.
    auto seed = static_cast<unsigned>(time(nullptr));
    int total = n * n;
    int hits = count_hits(seed, total);
    double estimate = hits * 4.0 / total;
    printf("The estimated PI is %lf in %d times\n", estimate, n * n);
}

bool inside_by_double(std::uint32_t rx, std::uint32_t ry) {
    double x = rx / 2147483647.0;
    double y = ry / 2147483647.0;
    return x * x + y * y <= 1.0; // two rounded products and a rounded sum: never fused
}

int count_hits_plain(unsigned seed, int points, int (*draw)(unsigned *)) {
    if (draw == nullptr)
        draw = rand_r;
    int hits = 0;
    for (int i = 0; i < points; i++) {
        auto rx = static_cast<std::uint32_t>(draw(&seed)); // x is always drawn before y
        auto ry = static_cast<std::uint32_t>(draw(&seed));
        if (inside_by_double(rx, ry))
            hits++;
    }
    return hits;
}
