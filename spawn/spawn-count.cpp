// spawn-count: after a fork, each process has its own copy of memory.
//
// The counter is 100 before the fork. The child counts it down and the parent counts it up;
// watch hello(100), hello(99), hello(98) and world(100), world(101), world(102): neither process
// sees the other's changes. The parent waits for its child.
#include "output_check.h"

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

int main() {
    // Line-buffered, so nothing is left in the buffer for the fork to copy and print twice.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("Before fork Process id:%d\n", getpid());
    int counter = 100;
    pid_t r = fork();
    if (r == -1) {
        perror("spawn-count: fork");
        return 1;
    }
    if (r == 0) {
        pid_t me = getpid();
        pid_t parent = getppid();
        printf("Child process id (my parent pid is %d):%d\n", parent, me);
        for (int i = 0; i < 3; i++)
            printf("hello(%d)\n", counter--);   // the child's own copy
        return output_status("spawn-count", 0); // the child checks its own output
    }
    printf("Parent Process id: %d\n", getpid());
    for (int i = 0; i < 3; i++)
        printf("world(%d)\n", counter++); // the parent's own copy
    wait(nullptr);
    return output_status("spawn-count", 0);
}
