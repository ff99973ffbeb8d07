// spawn-words: after a fork, the child and the parent take different paths.
//
// fork() returns 0 in the child and the child's id in the parent. Watch the child print "hello"
// three times and the parent "world" three times; how their lines interleave is up to the
// scheduler, but each process's own lines keep their order. The parent waits for its child.
#include "output_check.h"

#include <cstdio>
#include <sys/wait.h>
#include <unistd.h>

int main() {
    // Line-buffered, so nothing is left in the buffer for the fork to copy and print twice.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    printf("Before fork Process id:%d\n", getpid());
    pid_t r = fork();
    if (r == -1) {
        perror("spawn-words: fork");
        return 1;
    }
    if (r == 0) {
        pid_t me = getpid();
        pid_t parent = getppid();
        printf("Child process id (my parent pid is %d):%d\n", parent, me);
        for (int i = 0; i < 3; i++)
            puts("hello");
        return output_status("spawn-words", 0); // the child checks its own output
    }
    printf("Parent Process id: %d\n", getpid());
    for (int i = 0; i < 3; i++)
        puts("world");
    wait(nullptr); // the shell sees the program end only once the child has ended too
    return output_status("spawn-words", 0);
}
