// boxoffice-mutex: two ticket agents sell from one stock, a mutex guarding the sale.
//
// The same sale as boxoffice-sem, with a statically initialised mutex in place of the semaphore:
// nothing to set up, nothing to tear down. Watch for two "One ticket sold" lines and a stock of
// 0 a second later.
#include "output_check.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

static int ticketAmout = 2;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void *ticketAgent(void *) {
    pthread_mutex_lock(&lock);
    int t = ticketAmout;
    if (t > 0) {
        puts("One ticket sold"); // printed inside: the lines show the order the lock was held
        t--;
    } else {
        puts("Ticket sold out");
    }
    ticketAmout = t;
    pthread_mutex_unlock(&lock);
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
            fprintf(stderr, "boxoffice-mutex: pthread_create: %s\n", strerror(err));
            status = 1;
            break;
        }
        started++;
    }
    for (int i = 0; i < started; i++)
        pthread_join(threads[i], nullptr);

    sleep(1);
    printf("The left ticket is %d\n", ticketAmout); // both agents are joined: nobody else writes
    return output_status("boxoffice-mutex", status);
}
