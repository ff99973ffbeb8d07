// dartpi-serial: estimate pi by Monte Carlo in ten runs, one after another.
//
// The runs throw 1000^2, 2000^2, ..., 10000^2 points; each prints its estimate as it finishes, so
// the lines come strictly in order of side. The last line is the processor time all ten took,
// the figure to compare with dartpi-threads: the same work, spread over threads.
#include "estimator.h"
#include "output_check.h"

#include <cstdio>
#include <ctime>

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    clock_t start = clock();
    for (int k = 0; k < 10; k++)
        calculate_pi((k + 1) * 1000);
    clock_t elapsed = clock() - start;

    printf("The time taken in total: %lf seconds\n", static_cast<double>(elapsed) / 1000000.0);
    return output_status("dartpi-serial", 0);
}
