// spawn-nowait: a parent that does not wait for its child.
//
// As spawn-count, but the parent returns as soon as its lines are out while the child lingers
// three seconds. Watch the shell's prompt come back before the child has ended: the shell waits
// for the parent only. The child is adopted by another process and ends on its own.
#include "output_check.h"

#include <cstdio>
#include <unistd.h>

int main() {
    // Line-buffered, so nothing is left in the buffer for the fork to copy and print twice.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("Before fork Process id:%d\n", getpid());
    int counter = 100;
    pid_t r = fork();
    if (r == -1) {
        perror("spawn-nowait: fork");
        return 1;
    }
    if (r == 0) {
        pid_t me = getpid();
        pid_t parent = getppid(); // read before the sleep, while the parent is normally alive
        printf("Child process id (my parent pid is %d):%d\n", parent, me);
        for (int i = 0; i < 3; i++)
            printf("hello(%d)\n", counter--);
        sleep(3);
        return output_status("spawn-nowait", 0); // the child checks its own output
    }
    printf("Parent Process id: %d\n", getpid());
    for (int i = 0; i < 3; i++)
        printf("world(%d)\n", counter++);
    // No wait: the child outlives the program as the shell sees it.
    return output_status("spawn-nowait", 0);
}
