// boxoffice-sem: two ticket agents sell from one stock, a semaphore guarding the sale.
//
// The semaphore starts at 1, so it works as a lock: reading the stock, selling and writing it
// back is one critical section. Watch for two "One ticket sold" lines and a stock of 0 a second
// later; without the lock both agents could read 2 and the stock would end at 1.
#include "output_check.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

static int ticketAmout = 2;
static sem_t mutex;

static void *ticketAgent(void *) {
    sem_wait(&mutex);
    int t = ticketAmout;
    if (t > 0) {
        puts("One ticket sold"); // printed inside: the lines show the order the lock was held
        t--;
    } else {
        puts("Ticket sold out");
    }
    ticketAmout = t;
    sem_post(&mutex);
    pthread_exit(nullptr);
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (sem_init(&mutex, 0, 1) != 0) {
        perror("boxoffice-sem: sem_init");
        return 1;
    }

    pthread_t threads[2];
    int started = 0;
    int status = 0;
    for (int i = 0; i < 2; i++) {
        int err = pthread_create(&threads[i], nullptr, ticketAgent, nullptr);
        if (err != 0) {
            fprintf(stderr, "boxoffice-sem: pthread_create: %s\n", strerror(err));
            status = 1;
            break;
        }
        started++;
    }
    for (int i = 0; i < started; i++)
        pthread_join(threads[i], nullptr);

    sleep(1);
    printf("The left ticket is %d\n", ticketAmout); // both agents are joined: nobody else writes
    sem_destroy(&mutex);
    return output_status("boxoffice-sem", status);
}
