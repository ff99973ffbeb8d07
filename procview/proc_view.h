// What the kernel saw of a running program: every thread of every process in its session,
// sampled from /proc, and each thread's states over time.
//
// A sample reads a thread's state (/proc/PID/task/TID/stat), its exact totals of time on a CPU
// and waiting in the run queue (.../schedstat), and, when it is not runnable, the call it waits
// in (.../syscall, or .../wchan where that cannot be read). Nothing needs privileges or tracing:
// the processes are the reader's own descendants.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace procview {

enum class State : std::uint8_t {
    running,           // on a CPU
    ready,             // runnable, waiting for a CPU
    blocked,           // in futex: a lock, a semaphore, a join
    sleeping,          // in nanosleep or clock_nanosleep
    waiting_for_child, // in wait4 or waitid
    paused,            // in pause or sigsuspend (or stopped by a signal)
    in_io,             // in any other blocking call
    ended,             // a zombie: ended, not yet reaped
    waiting,           // not runnable, in a call that could not be read
    // Not a state at all: a stretch the readings cannot tell, such as a thread's last moments
    // after its last reading, which the kernel never counted where anyone could read it.
    not_seen,
};
inline constexpr int kStates = 10;

// "running", "ready", "blocked", "sleeping", "waiting for a child", "paused", "in I/O", "ended",
// "waiting", "not seen".
const char *name(State state);

// One reading of a thread. A runnable thread is recorded as running: how its time between two
// readings splits into running and ready is told by the totals (see periods()).
struct Sample {
    double at; // seconds since the run started
    State state;
    std::uint64_t run_ns, wait_ns; // totals on a CPU, and runnable but waiting for one
    std::uint64_t switches = 0;    // times it was put on a CPU
};

struct Thread {
    pid_t pid = 0, tid = 0;
    double since = 0; // the reading before the first that saw it: it started after this
    // Samples when something changed, and always while it is runnable; the last is its last
    // reading (it vanished, or the run ended, after it).
    std::vector<Sample> samples;
    double gone_at = -1; // the first reading that found it gone: it ended before this one
    // The mapping that holds its stack, found from the stack pointer of a blocked call: the C
    // library keeps a thread's descriptor (what pthread_self returns) there too. 0, 0: unknown.
    std::uint64_t stack_from = 0, stack_to = 0;
};

// An id handed out between two threads of a process that was gone when they were found: most
// likely a thread of that process that lived and ended between two readings (though on a busy
// machine another program's short-lived process can take such an id too).
struct Missed {
    pid_t pid, tid;
};

// What the ended threads of a process used on a CPU, all of it: the process's processor clock
// less its live threads' totals, at the readings where that changed. It tells what a thread that
// ended between two readings ran after the first of them, which its own totals never showed.
struct ProcessClock {
    pid_t pid;
    std::vector<std::pair<double, std::uint64_t>> ended_ns; // (reading, nanoseconds)
};

struct View {
    std::vector<Thread> threads; // in the order they were found: by process, then thread id
    std::vector<Missed> missed;
    std::vector<ProcessClock> clocks; // one per process whose clock could be read
    std::vector<double> times;        // every moment a sample was taken
    int cpus = 1;                     // the CPUs the program may run on
    bool calls_known = true;          // the call a blocked thread waits in could be read
    bool all_followed = true;         // no thread was left unfollowed, there being too many
    // Every id handed out while the program ran was placed: a thread or process followed or
    // missed, or another program's still there. One gone unplaced may have been the program's.
    bool all_placed = true;
    std::string unreadable; // what could not be read, for a reader; "" when nothing
};

// Where the readings come from. Either source of the call can be left out, as a hardened kernel
// hides them.
struct Sources {
    std::string proc = "/proc";
    bool syscall = true;
    bool wchan = true;
};

// Follows every thread of every process in one session, from the moment it is found until it is
// gone: a thread that ends keeps what was sampled. New threads and processes (also the children
// of a process that has ended, re-parented to the reader) are picked up as they appear.
class Sampler {
  public:
    // Readings are stamped in seconds since `start`, the moment the program was started.
    explicit Sampler(
        pid_t session, Sources sources = {},
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now());
    ~Sampler();
    Sampler(const Sampler &) = delete;
    Sampler &operator=(const Sampler &) = delete;

    // Reads every thread followed, and finds new ones. The reading is stamped with the moment it
    // ended, so that everything it read had happened by then. False when nothing is on the move:
    // every thread was found asleep or blocked where the reading before left it, and no thread
    // or process was started.
    bool sample();
    // The processes found that had not ended at the last reading: neither gone nor a zombie
    // (one whose threads were not followed counts as living). nullopt when no thread could be
    // followed at all, and so nothing can be told.
    std::optional<std::vector<pid_t>> living() const;
    // What was seen; no more is sampled after.
    View take();

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

struct Period {
    double from, to;
    State state;
};

// Each thread's states over time, from its samples, in the order of view.threads. Between two
// readings a thread ran and waited exactly as long as its totals grew, and nothing is drawn that
// they did not count. A runnable thread's totals are brought up to date only at a tick or a
// switch, and each update counts the time since the one before it: so what they count is laid
// out in order from where the last update left off, never later than the reading that saw it,
// and from the moment a thread is read asleep or blocked everything before is counted. What a
// thread ran after its last reading, when it ended before the next, comes from its process's
// clock. Each interval's running is laid out as the CPUs could have run it, so that no more
// threads run at one moment than view.cpus. What no total counted (the last moments of a thread
// the readings did not follow to its end) is not_seen. The periods of one thread never overlap,
// and run from its `since` (or, for one found runnable, from where its totals began counting)
// to its last reading, or to the reading that found it gone.
std::vector<std::vector<Period>> periods(const View &view);

} // namespace procview
