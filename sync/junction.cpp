// junction: five cars share a fork in the road that has room for two.
//
// A counting semaphore with two permits is the road. Every car announces itself at once, then
// queues for a permit. Watch the AT lines: they come two at a time, about two seconds apart,
// and at no point are more than two cars AT the fork without having PASSED it.
#include "output_check.h"

#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

static sem_t road;

static void *cars(void *) {
    printf("(%u) I INTEND to pass the fork\n", static_cast<unsigned>(pthread_self()));
    sleep(1);
    sem_wait(&road); // queue here while two cars hold the road
    printf("(%u) I am AT the fork\n", static_cast<unsigned>(pthread_self()));
    sleep(1);
    printf("(%u) I have PASSED the fork\n", static_cast<unsigned>(pthread_self()));
    sleep(1); // still holding the permit
    sem_post(&road);
    pthread_exit(nullptr);
}

int main() {
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (sem_init(&road, 0, 2) != 0) {
        perror("junction: sem_init");
        return 1;
    }

    pthread_t threads[5];
    int started = 0;
    int status = 0;
    for (int i = 0; i < 5; i++) {
        int err = pthread_create(&threads[i], nullptr, cars, nullptr);
        if (err != 0) {
            fprintf(stderr, "junction: pthread_create: %s\n", strerror(err));
            status = 1;
            break; // the cars already on the road still cross
        }
        started++;
    }
    for (int i = 0; i < started; i++)
        pthread_join(threads[i], nullptr);

    sem_destroy(&road); // no car can be waiting on it any more
    return output_status("junction", status);
}
