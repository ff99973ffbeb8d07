#include "straightforward.h"

#include <cstdlib>

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
