#include "output_check.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

std::atomic<int> first_error{0}; // errno of the first write that failed; 0 while none has
std::atomic<bool> reported{false};

void remember(int error) {
    int none = 0;
    first_error.compare_exchange_strong(none, error);
}

// The C library already serialises the stream's writers, with a lock the thread sanitizer does
// not see; this one it does, so it sees that a buffer is filled before it is written out.
pthread_mutex_t writing = PTHREAD_MUTEX_INITIALIZER;

ssize_t write_out(void *, const char *bytes, size_t size) {
    pthread_mutex_lock(&writing);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(STDOUT_FILENO, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            remember(errno);
            break;
        }
        done += static_cast<size_t>(n);
    }
    pthread_mutex_unlock(&writing);
    return done > 0 || size == 0 ? static_cast<ssize_t>(done) : -1;
}

int close_out(void *) {
    if (close(STDOUT_FILENO) == 0 || errno == EINTR)
        return 0;
    remember(errno);
    return -1;
}

// A descriptor closed at start stays failed: one opened later in its place is not ours to write.
ssize_t write_nowhere(void *, const char *, size_t) {
    remember(EBADF);
    return -1;
}

void watch_standard_output() {
    bool open = fcntl(STDOUT_FILENO, F_GETFL) != -1;
    cookie_io_functions_t io{};
    io.write = open ? write_out : write_nowhere;
    io.close = open ? close_out : nullptr;
    if (FILE *watched = fopencookie(nullptr, "w", io))
        stdout = watched;
    // What the parent failed to write is the parent's to report.
    pthread_atfork(nullptr, nullptr, [] {
        first_error = 0;
        reported = false;
    });
}

// Before main, and so before anything is written.
const bool watching = (watch_standard_output(), true);

bool report(const char *program) {
    int error = first_error.load();
    if (error == 0)
        return true;
    if (!reported.exchange(true))
        fprintf(stderr, "%s: write error: %s\n", program, strerror(error));
    return false;
}

} // namespace

bool output_written(const char *program) {
    fflush(stdout);
    return report(program);
}

int output_status(const char *program, int status) {
    fflush(stdout);
    fclose(stdout);
    stdout = nullptr;
    if (report(program))
        return status;
    return status != 0 ? status : 1;
}
