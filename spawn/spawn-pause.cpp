// spawn-pause: one process forks, and both copies run the same code from there on.
//
// Watch three lines: "Before fork" once, then "After fork" twice with two different ids, one of
// them the id printed before the fork (the parent's). Both processes then wait in pause() until
// a signal ends them: press Ctrl-C, which reaches both, since both are in the foreground group.
#include "output_check.h"

#include <cstdio>
#include <unistd.h>

int main() {
    // Line-buffered, so nothing is left in the buffer for the fork to copy, and the lines are
    // written even though both processes end by a signal.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("Before fork Process id:%d\n", getpid());
    if (fork() == -1) {
        perror("spawn-pause: fork");
        return 1;
    }
    printf("After fork Process id:%d\n", getpid()); // each process reads its own id
    output_written("spawn-pause"); // told now: neither process will return to tell it later
    pause();
    return output_status("spawn-pause", 0);
}
