// boxoffice-race: two ticket agents sell from one stock with no lock, and sales are lost.
//
// Each sale reads the stock, takes one ticket and writes the stock back, as in boxoffice-sem and
// boxoffice-mutex, but nothing makes it a critical section. Each agent sells 1000 of the 2000
// tickets, so with no update lost the stock would end at 0. Watch the last line: tickets are
// left, one for every sale the other agent wrote over.
//
// The window between reading and writing back is made wide on purpose, as real work there (a
// payment check, a database round trip) would make it: the agents start together, past a
// barrier, and each sale pauses 20 microseconds before it writes back. A thousand sales then
// take longer than the scheduler lets one thread run, so the sales overlap whether the agents
// run on two CPUs at once or take turns on one; without the pause one agent may finish before
// the other has started, and the race rarely shows. The stock is read and written with separate
// relaxed atomic operations: a real lost update, not undefined behaviour, which every compiler
// keeps and ThreadSanitizer accepts.
#include "output_check.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

static std::atomic<int> ticketAmout{2000};
static std::atomic<int> arrived{0};
static std::atomic<int> agents{2}; // how many the start waits for: fewer if one cannot be made

// Busy for `microseconds`, without leaving the CPU.
static void pause_for(long microseconds) {
    timespec start{}, now{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        clock_gettime(CLOCK_MONOTONIC, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000000 + (now.tv_nsec - start.tv_nsec) / 1000 <
             microseconds);
}

static void *ticketAgent(void *) {
    arrived.fetch_add(1);
    while (arrived.load() < agents) {
    } // both agents start selling together
    int sold = 0;
    for (int i = 0; i < 1000; i++) {
        int t = ticketAmout.load(std::memory_order_relaxed);
        pause_for(20); // the other agent may read the same stock meanwhile
        ticketAmout.store(t - 1, std::memory_order_relaxed);
        sold++;
    }
    printf("One agent sold %d tickets\n", sold);
    pthread_exit(nullptr);
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    pthread_t threads[2];
    int started = 0;
    int status = 0;
    for (int i = 0; i < 2; i++) {
        int err = pthread_create(&threads[i], nullptr, ticketAgent, nullptr);
        if (err != 0) {
            fprintf(stderr, "boxoffice-race: pthread_create: %s\n", strerror(err));
            status = 1;
            agents = started; // the agent already started sells alone
            break;
        }
        started++;
    }
    for (int i = 0; i < started; i++)
        pthread_join(threads[i], nullptr);

    printf("The left ticket is %d\n", ticketAmout.load()); // both agents are joined
    return output_status("boxoffice-race", status);
}
