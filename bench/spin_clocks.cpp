// Ten threads that spin for known processor times (8, 16, ... 80 ms) and then print what their
// own clocks counted: the kernel's own figures, to hold the tour's view of them against.
//   spin_clocks     "thread TID counted NS ns" for each thread as it ends, then "process counted
//                   NS ns", the processor time of the whole process
// The spinning never reads a clock (reading its own would bring the kernel's totals up to date),
// so the threads' totals lag behind as those of any program's threads do.
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

long long nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

double loops_per_ms = 0;

void spin(double loops) {
    volatile double x = 1;
    for (long i = 0; i < static_cast<long>(loops); i++)
        x = x * 1.0000001 + 1e-9;
}

void *spinner(void *arg) {
    long ms = *static_cast<long *>(arg);
    spin(loops_per_ms * static_cast<double>(ms));
    printf("thread %ld counted %lld ns\n", static_cast<long>(syscall(SYS_gettid)),
           nanoseconds(CLOCK_THREAD_CPUTIME_ID));
    return nullptr;
}

} // namespace

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    // How many loops a millisecond of processor time holds, whatever else the machine does.
    long long before = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    spin(2e6);
    loops_per_ms = 2e6 / (static_cast<double>(nanoseconds(CLOCK_THREAD_CPUTIME_ID) - before) / 1e6);

    pthread_t threads[10];
    long ms[10];
    int created = 0;
    for (int i = 0; i < 10; i++) {
        ms[i] = 8L * (i + 1);
        created += pthread_create(&threads[created], nullptr, spinner, &ms[i]) == 0;
    }
    for (int i = 0; i < created; i++)
        pthread_join(threads[i], nullptr);
    printf("process counted %lld ns\n", nanoseconds(CLOCK_PROCESS_CPUTIME_ID));
    return created == 10 ? 0 : 1;
}
