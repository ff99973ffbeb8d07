// A test subject whose threads and processes do known things, for the sampler's tests.
//   thread_states states   main forks a child that sleeps 0.6 s and waits for it; meanwhile one
//                          thread spins, one sleeps and one is blocked on a semaphore, all for
//                          0.6 s; the semaphore is posted once the child has ended
//   thread_states churn    for 0.3 s, threads and processes that live a few microseconds
//   thread_states spin N   N threads spinning for 0.4 s
//   thread_states timed    for 0.6 s, threads waiting in select, poll and epoll_wait given no
//                          descriptors (a sleep), and one in select on a pipe nobody writes
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <semaphore.h>
#include <sys/epoll.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
sem_t posted;
double spin_for = 0.6;

void *spin(void *) {
    auto until = Clock::now() + std::chrono::duration<double>(spin_for);
    std::atomic<unsigned> turns{0};
    while (Clock::now() < until)
        turns.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
}

void *nap(void *) {
    usleep(600000);
    return nullptr;
}

void *wait_for_post(void *) {
    sem_wait(&posted);
    return nullptr;
}

void *nothing(void *) {
    return nullptr;
}

int states() {
    sem_init(&posted, 0, 0);
    pthread_t threads[3];
    pthread_create(&threads[0], nullptr, spin, nullptr);
    pthread_create(&threads[1], nullptr, nap, nullptr);
    pthread_create(&threads[2], nullptr, wait_for_post, nullptr);
    pid_t child = fork();
    if (child == 0) {
        usleep(600000);
        _exit(0);
    }
    waitpid(child, nullptr, 0);
    sem_post(&posted);
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
    return 0;
}

int churn() {
    auto until = Clock::now() + std::chrono::milliseconds(300);
    while (Clock::now() < until) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, nothing, nullptr) == 0)
            pthread_join(thread, nullptr);
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        if (child > 0)
            waitpid(child, nullptr, 0);
    }
    return 0;
}

int spinners(int n) {
    spin_for = 0.4;
    pthread_t threads[64];
    n = n < 64 ? n : 64;
    for (int i = 0; i < n; i++)
        pthread_create(&threads[i], nullptr, spin, nullptr);
    for (int i = 0; i < n; i++)
        pthread_join(threads[i], nullptr);
    return 0;
}

void *select_nothing(void *) {
    timeval wait{0, 600000};
    select(0, nullptr, nullptr, nullptr, &wait);
    return nullptr;
}

void *poll_nothing(void *) {
    poll(nullptr, 0, 600);
    return nullptr;
}

void *epoll_nothing(void *) {
    int epoll = epoll_create1(0);
    epoll_event event{};
    epoll_wait(epoll, &event, 1, 600);
    close(epoll);
    return nullptr;
}

int silent[2];

void *select_pipe(void *) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(silent[0], &readable);
    timeval wait{0, 600000};
    select(silent[0] + 1, &readable, nullptr, nullptr, &wait);
    return nullptr;
}

int timed() {
    if (pipe(silent) != 0)
        return 1;
    void *(*waits[])(void *) = {select_nothing, poll_nothing, epoll_nothing, select_pipe};
    pthread_t threads[4];
    for (int i = 0; i < 4; i++)
        pthread_create(&threads[i], nullptr, waits[i], nullptr);
    for (pthread_t thread : threads)
        pthread_join(thread, nullptr);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "states") == 0)
        return states();
    if (strcmp(mode, "timed") == 0)
        return timed();
    if (strcmp(mode, "churn") == 0)
        return churn();
    if (strcmp(mode, "spin") == 0 && argc > 2)
        return spinners(atoi(argv[2]));
    return 2;
}
