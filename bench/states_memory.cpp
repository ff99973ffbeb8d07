// What drawing the kernel's view costs in memory for a long, large run: made-up readings of a
// pool of worker threads, each blocked 90 ms and then runnable 10 ms, read every millisecond (ten
// runnable at a time share two CPUs: each runs a fifth of every millisecond and waits the rest),
// and the peak memory of turning them into each thread's periods.
//   states_memory [THREADS [SECONDS]]   default 100 threads over 600 s
#include "proc_view.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

double peak_mb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024;
}

// As the sampler records them: every reading while a thread is runnable, and the reading that
// finds it blocked again; nothing while it stays blocked.
procview::View made_up(int threads, long readings) {
    procview::View view;
    view.cpus = 2;
    view.times.reserve(static_cast<std::size_t>(readings));
    for (long k = 1; k <= readings; k++)
        view.times.push_back(static_cast<double>(k) / 1000);
    for (int t = 0; t < threads; t++) {
        procview::Thread thread{100, 100 + t, 0, {}, -1, 0, 0};
        std::uint64_t run = 0, wait = 0;
        for (long k = 0; k < readings; k++) {
            long phase = (k + t) % 100;
            if (phase < 90 && phase != 0)
                continue;
            if (phase != 0) {
                run += 200000;
                wait += 800000;
            }
            procview::State state =
                phase == 0 ? procview::State::blocked : procview::State::running;
            thread.samples.push_back({view.times[static_cast<std::size_t>(k)], state, run, wait,
                                      static_cast<std::uint64_t>(k / 100)});
        }
        view.threads.push_back(std::move(thread));
    }
    return view;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int threads = argc > 1 ? atoi(argv[1]) : 100;
    double seconds = argc > 2 ? atof(argv[2]) : 600;
    if (threads < 1 || seconds <= 0) {
        fprintf(stderr, "usage: states_memory [THREADS [SECONDS]]\n");
        return 2;
    }
    double before = peak_mb();
    procview::View view = made_up(threads, static_cast<long>(seconds * 1000));
    double with_view = peak_mb();
    auto start = std::chrono::steady_clock::now();
    auto periods = procview::periods(view);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::size_t count = 0;
    for (const auto &thread : periods)
        count += thread.size();
    printf("%d threads over %.0f s of readings every 1 ms: the readings %.0f MB, their states "
           "%.0f MB more at their peak (%zu periods, %.1f s)\n",
           threads, seconds, with_view - before, peak_mb() - with_view, count, took);
    return 0;
}
