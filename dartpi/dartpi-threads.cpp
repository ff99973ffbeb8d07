// dartpi-threads: the ten runs of dartpi-serial, each on a thread of its own, all at once.
//
// Watch the order of the result lines: it is the order in which the runs finish, usually (not
// always) smallest first. The total is processor time summed over every thread, so it stays
// close to dartpi-serial's, while the wall-clock time shrinks with the number of cores.
#include "estimator.h"
#include "output_check.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

// The thread form of the run: the side arrives by address and the thread ends itself.
static void *calculate_pi(void *side) {
    calculate_pi(*static_cast<const int *>(side)); // read once, before the first point
    pthread_exit(nullptr);
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    pthread_t threads[10];
    int sides[10]; // each slot stays put until its thread is joined
    int started = 0;
    int status = 0;

    clock_t start = clock();
    for (int i = 0; i < 10; i++) {
        sides[i] = (i + 1) * 1000;
        int err = pthread_create(&threads[i], nullptr, calculate_pi, &sides[i]);
        if (err != 0) {
            fprintf(stderr, "dartpi-threads: pthread_create: %s\n", strerror(err));
            status = 1;
            break; // the runs already going still finish and are counted below
        }
        started++;
    }
    for (int i = 0; i < started; i++)
        pthread_join(threads[i], nullptr);
    clock_t elapsed = clock() - start;

    printf("The time taken in total: %lf seconds\n", static_cast<double>(elapsed) / 1000000.0);
    return output_status("dartpi-threads", status);
}
