// Preloaded into a program to make sem_init fail, as it does where process-private semaphores
// are not supported (ENOSYS).
#include <cerrno>
#include <semaphore.h>

extern "C" int sem_init(sem_t *, int, unsigned) {
    errno = ENOSYS;
    return -1;
}
