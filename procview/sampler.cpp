// The sampler: reads /proc for every thread of a session, cheaply enough to do it every
// millisecond. Each thread's files stay open and are read again from their start (pread), a
// thread whose totals have not moved since the last reading has not run, so its state and call
// are as they were and are not read again, and processes and threads are looked for only when
// the kernel has handed out a new process or thread id (/proc/sys/kernel/ns_last_pid). Each
// process's processor clock is read on both sides of its threads, for what its ended threads
// used.
#include "proc_view.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sched.h>
#include <set>
#include <sstream>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace procview {
namespace {

// A /proc file kept open and read again from its start.
class File {
  public:
    File() = default;
    explicit File(const std::string &path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    ~File() { close_it(); }
    void reopen(const std::string &path) {
        close_it();
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    void close_it() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    bool is_open() const { return fd_ >= 0; }
    // The contents now (a line or two); false when they cannot be read (the thread is gone).
    bool read(std::string &into) const {
        char buffer[512];
        ssize_t n = fd_ >= 0 ? pread(fd_, buffer, sizeof buffer - 1, 0) : -1;
        if (n <= 0)
            return false;
        into.assign(buffer, static_cast<std::size_t>(n));
        return true;
    }

  private:
    int fd_ = -1;
};

// A whole file, however long; "" when it cannot be read.
std::string slurp(const std::string &path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The fields of a stat line after "pid (comm)": the command may hold spaces and parentheses.
std::string after_command(const std::string &stat) {
    std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 > stat.size() ? "" : stat.substr(close + 2);
}

// The state a blocked call stands for, by its number.
State for_call(long number) {
    switch (number) {
    case SYS_futex:
#ifdef SYS_futex_waitv
    case SYS_futex_waitv:
#endif
        return State::blocked;
    case SYS_clock_nanosleep:
#ifdef SYS_nanosleep
    case SYS_nanosleep:
#endif
        return State::sleeping;
    case SYS_wait4:
    case SYS_waitid:
        return State::waiting_for_child;
#ifdef SYS_pause
    case SYS_pause:
#endif
    case SYS_rt_sigsuspend:
        return State::paused;
    default:
        return State::in_io;
    }
}

// A call that waits for descriptors but was given none, with a timeout: a sleep, as a program
// that polls with a short wait writes it. `args` are the call's first arguments; `watched` tells
// how many descriptors an epoll instance watches.
bool waits_on_nothing(long number, const std::vector<std::uint64_t> &args,
                      const std::function<long(std::uint64_t)> &watched) {
    if (args.size() < 5)
        return false;
    switch (number) {
#ifdef SYS_select
    case SYS_select:
#endif
    case SYS_pselect6: // nfds, readfds, writefds, exceptfds, timeout
        return (args[0] == 0 || (args[1] == 0 && args[2] == 0 && args[3] == 0)) && args[4] != 0;
#ifdef SYS_poll
    case SYS_poll: // fds, nfds, timeout in milliseconds (negative: none)
        return args[1] == 0 && static_cast<int>(args[2]) >= 0;
#endif
    case SYS_ppoll: // fds, nfds, timeout
        return args[1] == 0 && args[2] != 0;
#ifdef SYS_epoll_wait
    case SYS_epoll_wait:
#endif
    case SYS_epoll_pwait: // epfd, events, maxevents, timeout in milliseconds
        return static_cast<int>(args[3]) >= 0 && watched(args[0]) == 0;
    default:
        return false;
    }
}

// The state a blocked thread stands for, by the kernel function it waits in.
State for_wait_channel(const std::string &function) {
    auto has = [&](const char *part) { return function.find(part) != std::string::npos; };
    if (has("futex"))
        return State::blocked;
    if (has("nanosleep"))
        return State::sleeping;
    if (has("do_wait") || has("wait4") || has("waitid"))
        return State::waiting_for_child;
    if (has("pause") || has("sigsuspend"))
        return State::paused;
    return State::in_io;
}

} // namespace

const char *name(State state) {
    static const char *const names[kStates] = {
        "running", "ready",  "blocked", "sleeping", "waiting for a child",
        "paused",  "in I/O", "ended",   "waiting",  "not seen"};
    return names[static_cast<int>(state)];
}

struct Sampler::Impl {
    // A thread being followed: its files, and what they said last.
    struct Followed {
        std::size_t index;   // into view.threads
        std::size_t process; // into processes
        File stat, schedstat, call;
        enum class Call { untried, syscall, wchan, unknown } call_from = Call::untried;
        std::uint64_t run = 0, wait = 0, slices = 0;
        State state = State::running;
        double last_seen = 0;
        bool read_once = false, gone = false;
    };
    struct Process {
        pid_t pid;
        std::set<pid_t> tids;
        bool gone = false;
        std::vector<std::size_t> threads{}; // into followed
        clockid_t clock{};
        std::size_t clocks = SIZE_MAX; // into view.clocks, once its clock could be read
    };
    static constexpr std::size_t kMostThreads = 64;

    pid_t session;
    Sources sources;
    std::chrono::steady_clock::time_point start;
    View view;
    std::vector<Process> processes;
    std::vector<std::unique_ptr<Followed>> followed;
    File last_pid;
    std::string last_pid_seen;
    long last_id = 0, unplaced_from = 1, unplaced_to = 0;
    std::set<pid_t> placed; // every id followed or missed
    double previous = 0;    // the moment of the last sample
    bool started = false, taken = false;
    int waits_read = 0, calls_read = 0; // waiting threads looked at, and the calls told

    // The stamp of the reading under way, set once it has ended.
    static constexpr double kUnderWay = -2; // gone_at is -1 for a thread not gone

    Impl(pid_t session_id, Sources from, std::chrono::steady_clock::time_point run_start)
        : session(session_id), sources(std::move(from)), start(run_start),
          last_pid(sources.proc + "/sys/kernel/ns_last_pid") {
        view.cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)); // until the program's own
    }

    // Whether a process or thread of this id is there in /proc (a zombie too).
    bool there(pid_t id) const {
        std::string path = sources.proc + "/" + std::to_string(id);
        return access(path.c_str(), F_OK) == 0;
    }

    std::string task_path(pid_t pid, pid_t tid) const {
        return sources.proc + "/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/";
    }

    void note(const std::string &what) {
        if (view.unreadable.find(what) == std::string::npos)
            view.unreadable += (view.unreadable.empty() ? "" : "; ") + what;
    }

    pid_t session_of(pid_t pid) const {
        std::istringstream fields(
            after_command(slurp(sources.proc + "/" + std::to_string(pid) + "/stat")));
        std::string state;
        long parent = 0, group = 0, its_session = -1;
        fields >> state >> parent >> group >> its_session;
        return static_cast<pid_t>(its_session);
    }

    void follow(pid_t pid, pid_t tid) {
        if (followed.size() == kMostThreads) {
            view.all_followed = false;
            // Told after "could not read": what it could not read.
            note("the threads beyond the first " + std::to_string(kMostThreads) +
                 " (only those are followed)");
            return;
        }
        auto thread = std::make_unique<Followed>();
        std::string path = task_path(pid, tid);
        thread->stat.reopen(path + "stat");
        thread->schedstat.reopen(path + "schedstat");
        if (!thread->stat.is_open() || !thread->schedstat.is_open()) {
            // Listed, then gone before it could be read: it lived and ended between readings.
            view.missed.push_back({pid, tid});
            placed.insert(tid);
            return;
        }
        thread->index = view.threads.size();
        thread->process = process_index(pid);
        processes[thread->process].threads.push_back(followed.size());
        view.threads.push_back({pid, tid, previous, {}, -1, 0, 0});
        followed.push_back(std::move(thread));
        placed.insert(tid);
    }

    std::size_t process_index(pid_t pid) const {
        std::size_t i = 0;
        while (i < processes.size() && processes[i].pid != pid)
            i++;
        return i;
    }

    // New threads of a process; false when the process is gone.
    bool find_threads(Process &process) {
        std::string path = sources.proc + "/" + std::to_string(process.pid) + "/task";
        DIR *tasks = opendir(path.c_str());
        if (tasks == nullptr)
            return false;
        std::set<pid_t> found;
        while (dirent *entry = readdir(tasks)) {
            char *end;
            long tid = strtol(entry->d_name, &end, 10);
            if (*end == '\0' && tid > 0)
                found.insert(static_cast<pid_t>(tid));
        }
        closedir(tasks);
        for (pid_t tid : found) {
            if (!process.tids.insert(tid).second)
                continue;
            // Ids between the thread created before it and this one, gone already: threads
            // that lived and ended between two readings.
            auto before = process.tids.find(tid);
            if (before != process.tids.begin()) {
                pid_t from = *std::prev(before);
                for (pid_t id = from + 1; id < tid && id - from <= 64; id++) {
                    if (!there(id)) {
                        view.missed.push_back({process.pid, id});
                        placed.insert(id);
                    }
                }
            }
            follow(process.pid, tid);
        }
        return true;
    }

    void add_process(pid_t pid) {
        Process process{pid, {}};
        if (clock_getcpuclockid(pid, &process.clock) == 0) {
            process.clocks = view.clocks.size();
            view.clocks.push_back({pid, {}});
        }
        processes.push_back(std::move(process));
    }

    bool known(pid_t pid) const { return process_index(pid) < processes.size(); }

    // Children listed in a children file of /proc.
    static void children_in(const std::string &path, std::set<pid_t> &into) {
        std::istringstream list(slurp(path));
        for (long pid; list >> pid;)
            into.insert(static_cast<pid_t>(pid));
    }

    // Finds new threads of the processes followed, and new processes of the session: children
    // of any thread followed, or orphans re-parented to us.
    void discover() {
        for (std::size_t round = 0; round < 8; round++) {
            for (Process &process : processes)
                process.gone = process.gone || !find_threads(process);
            // A child of a thread followed is the program's, even once it has left the session;
            // an orphan re-parented to us is the program's only in its session, as another run
            // of ours may have left it.
            std::set<pid_t> children, orphans;
            for (const auto &thread : followed) {
                const Thread &seen = view.threads[thread->index];
                if (!thread->gone)
                    children_in(task_path(seen.pid, seen.tid) + "children", children);
            }
            std::string self = sources.proc + "/self/task";
            if (DIR *tasks = opendir(self.c_str())) {
                while (dirent *entry = readdir(tasks))
                    if (entry->d_name[0] != '.')
                        children_in(self + "/" + entry->d_name + "/children", orphans);
                closedir(tasks);
            }
            for (pid_t pid : orphans)
                if (session_of(pid) == session)
                    children.insert(pid);
            bool more = false;
            for (pid_t pid : children) {
                if (!known(pid)) {
                    add_process(pid);
                    more = true;
                }
            }
            if (!more)
                return;
        }
    }

    // Whether any process or thread was started anywhere since the last look; the ids handed
    // out since are left in [unplaced_from, unplaced_to] for place_ids().
    bool ids_handed_out() {
        std::string now;
        if (!last_pid.read(now)) {
            view.all_placed = false;
            return true; // no way to tell: look every time
        }
        bool changed = now != last_pid_seen;
        last_pid_seen = now;
        long last = strtol(now.c_str(), nullptr, 10);
        if (changed && last > last_id)
            unplaced_from = last_id + 1;
        else if (changed) // handed out from the start again, past the most ids there may be
            view.all_placed = false;
        unplaced_to = last;
        last_id = last;
        return changed;
    }

    // Each id handed out that no reading placed (a thread or process followed, or missed) and
    // that is gone: the program's, lived and ended between two readings, or another's. One still
    // there is another program's.
    void place_ids() {
        static constexpr long kMostLookedAt = 4096;
        if (unplaced_to - unplaced_from >= kMostLookedAt)
            view.all_placed = false;
        for (long id = std::max(unplaced_from, unplaced_to - kMostLookedAt); id <= unplaced_to;
             id++) {
            if (placed.count(static_cast<pid_t>(id)) == 0 && !there(static_cast<pid_t>(id)))
                view.all_placed = false;
        }
        unplaced_from = unplaced_to + 1;
    }

    // What a thread that is not runnable waits in.
    State waiting_in(Followed &thread, char letter) {
        Thread &seen = view.threads[thread.index];
        std::string path = task_path(seen.pid, seen.tid), text;
        using Call = Followed::Call;
        if (thread.call_from == Call::untried) {
            thread.call_from = Call::unknown;
            if (sources.syscall) {
                thread.call.reopen(path + "syscall");
                if (thread.call.read(text))
                    thread.call_from = Call::syscall;
            }
            if (thread.call_from == Call::unknown && sources.wchan) {
                thread.call.reopen(path + "wchan");
                if (thread.call.read(text))
                    thread.call_from = Call::wchan;
            }
            if (thread.call_from == Call::unknown)
                thread.call.close_it();
        }
        waits_read++;
        if (thread.call_from == Call::unknown || !thread.call.read(text))
            return letter == 'D' ? State::in_io : State::waiting;
        // wchan says 0 both for a thread no longer waiting and where the kernel hides it.
        if (thread.call_from == Call::wchan && text.rfind('0', 0) == 0)
            return State::waiting;
        calls_read++;
        if (thread.call_from == Call::wchan)
            return for_wait_channel(text);
        if (text.rfind("running", 0) == 0)
            return State::running; // runnable again already
        std::istringstream fields(text);
        std::vector<std::string> words;
        for (std::string word; fields >> word;)
            words.push_back(word);
        long number = words.empty() ? -1 : strtol(words[0].c_str(), nullptr, 10);
        if (seen.stack_from == 0 && words.size() >= 3)
            find_stack(seen, strtoull(words[words.size() - 2].c_str(), nullptr, 16));
        std::vector<std::uint64_t> args;
        for (std::size_t k = 1; k + 2 < words.size(); k++)
            args.push_back(strtoull(words[k].c_str(), nullptr, 16));
        if (waits_on_nothing(number, args, [&](std::uint64_t fd) { return watched(seen, fd); }))
            return State::sleeping;
        return number < 0 ? State::in_io : for_call(number);
    }

    // How many descriptors the epoll instance `fd` of the thread's process watches; -1 unknown.
    long watched(const Thread &seen, std::uint64_t fd) const {
        std::istringstream info(
            slurp(sources.proc + "/" + std::to_string(seen.pid) + "/fdinfo/" + std::to_string(fd)));
        long count = 0;
        bool read = false;
        for (std::string line; std::getline(info, line); read = true)
            count += line.rfind("tfd:", 0) == 0;
        return read ? count : -1;
    }

    // The mapping that holds the stack pointer `sp`.
    void find_stack(Thread &seen, std::uint64_t sp) const {
        std::istringstream maps(slurp(sources.proc + "/" + std::to_string(seen.pid) + "/maps"));
        for (std::string line; std::getline(maps, line);) {
            char *end;
            std::uint64_t from = strtoull(line.c_str(), &end, 16);
            std::uint64_t to = *end == '-' ? strtoull(end + 1, nullptr, 16) : 0;
            if (from <= sp && sp < to) {
                seen.stack_from = from;
                seen.stack_to = to;
                return;
            }
        }
    }

    // The totals of a thread now: on a CPU, waiting for one, and times put on one.
    static bool totals(const Followed &thread, unsigned long long &run, unsigned long long &wait,
                       unsigned long long &slices) {
        std::string text;
        return thread.schedstat.read(text) &&
               sscanf(text.c_str(), "%llu %llu %llu", &run, &wait, &slices) == 3;
    }

    // Reads a thread; true when it is on the move (runnable, or it ran or woke since).
    bool read(Followed &thread, double at) {
        std::string text;
        if (thread.gone)
            return false;
        unsigned long long run = 0, wait = 0, slices = 0;
        if (!totals(thread, run, wait, slices)) {
            gone(thread, at);
            return true;
        }
        bool moved = !thread.read_once || run != thread.run || wait != thread.wait ||
                     slices != thread.slices;
        State state = thread.state;
        // A thread that has not been on a CPU or in the run queue since is where it was; one whose
        // call could not be told is looked at again.
        if (moved || thread.state == State::running || thread.state == State::waiting) {
            if (!thread.stat.read(text)) {
                gone(thread, at);
                return true;
            }
            std::string fields = after_command(text);
            char letter = fields.empty() ? '?' : fields[0];
            state = letter == 'R'                    ? State::running
                    : letter == 'Z' || letter == 'X' ? State::ended
                    : letter == 'T' || letter == 't' ? State::paused
                                                     : waiting_in(thread, letter);
        }
        Thread &seen = view.threads[thread.index];
        if (moved || state != thread.state || state == State::running)
            seen.samples.push_back({at, state, run, wait, slices});
        thread.run = run;
        thread.wait = wait;
        thread.slices = slices;
        thread.state = state;
        thread.last_seen = at;
        thread.read_once = true;
        return moved || state == State::running;
    }

    // No more is read of a thread; its last reading stands as its end.
    void finish(Followed &thread) {
        thread.gone = true;
        thread.stat.close_it();
        thread.schedstat.close_it();
        thread.call.close_it();
        Thread &seen = view.threads[thread.index];
        if (thread.read_once && seen.samples.back().at < thread.last_seen)
            seen.samples.push_back(
                {thread.last_seen, thread.state, thread.run, thread.wait, thread.slices});
    }

    // A thread found gone at the reading `at`: it ended after its last reading.
    void gone(Followed &thread, double at) {
        finish(thread);
        if (thread.read_once)
            view.threads[thread.index].gone_at = at;
    }

    // The process's clock in nanoseconds; false once the process is gone.
    bool clock_now(const Process &process, std::uint64_t &ns) const {
        timespec now{};
        if (clock_gettime(process.clock, &now) != 0)
            return false;
        ns = static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
             static_cast<std::uint64_t>(now.tv_nsec);
        return true;
    }

    // Reads a process's threads, and what its ended threads used: its clock less its live
    // threads' totals. The clock and the totals move together at a tick or a switch, so the two
    // are taken between readings of the clock that agree, or as near to that as three tries come.
    bool read_process(Process &process, double at) {
        if (process.threads.empty()) {
            // None of its threads followed: it lives as long as its entry in /proc.
            process.gone = process.gone || !there(process.pid);
            return false;
        }
        bool moving = false, someone_gone = false;
        std::uint64_t before = 0, after = 0;
        bool clocked = process.clocks != SIZE_MAX && clock_now(process, before);
        std::uint64_t live = 0;
        for (std::size_t i : process.threads) {
            Followed &thread = *followed[i];
            bool was_gone = thread.gone;
            moving = read(thread, at) || moving;
            someone_gone = someone_gone || (thread.gone && !was_gone);
            live += thread.gone ? 0 : thread.run;
        }
        if (!clocked)
            return moving;
        bool still = true;
        for (int attempt = 0; attempt < 3; attempt++) {
            still = clock_now(process, after);
            if (!still || after == before)
                break;
            // A tick or a switch came in between: the totals again, between two more readings.
            before = after;
            live = 0;
            for (std::size_t i : process.threads) {
                unsigned long long run = 0, wait = 0, slices = 0;
                const Followed &thread = *followed[i];
                if (!thread.gone && totals(thread, run, wait, slices))
                    live += run;
                else if (!thread.gone)
                    live += thread.run;
            }
        }
        if (!still) {
            process.clocks = SIZE_MAX; // the process is gone
            return moving;
        }
        std::uint64_t clock = before / 2 + after / 2 + (before % 2 + after % 2) / 2;
        std::uint64_t ended = clock > live ? clock - live : 0;
        auto &series = view.clocks[process.clocks].ended_ns;
        if (series.empty() || series.back().second != ended || someone_gone)
            series.emplace_back(at, ended);
        return moving;
    }

    bool sample() {
        if (taken)
            return false;
        const double at = kUnderWay;
        // The CPUs the program may run on, as it is now: a program started through taskset
        // has them set only once it runs.
        cpu_set_t allowed;
        CPU_ZERO(&allowed);
        if (sched_getaffinity(session, sizeof allowed, &allowed) == 0)
            view.cpus = CPU_COUNT(&allowed);
        bool moving = false;
        if (!started) {
            started = moving = true;
            add_process(session);
            last_id = session - 1; // ids from the program's own on
            ids_handed_out();
            discover();
            place_ids();
            if (followed.empty())
                note(sources.proc + "/" + std::to_string(session) + "/task");
        } else if (ids_handed_out()) {
            moving = true;
            discover();
            place_ids();
        }
        for (Process &process : processes)
            moving = read_process(process, at) || moving;
        stamp(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        return moving;
    }

    // Stamps what the reading just ended recorded.
    void stamp(double ended) {
        for (const auto &thread : followed) {
            Thread &seen = view.threads[thread->index];
            if (!seen.samples.empty() && seen.samples.back().at == kUnderWay)
                seen.samples.back().at = ended;
            if (seen.gone_at == kUnderWay)
                seen.gone_at = ended;
            if (thread->last_seen == kUnderWay)
                thread->last_seen = ended;
        }
        for (ProcessClock &clock : view.clocks)
            if (!clock.ended_ns.empty() && clock.ended_ns.back().first == kUnderWay)
                clock.ended_ns.back().first = ended;
        view.times.push_back(ended);
        previous = ended;
    }
};

Sampler::Sampler(pid_t session, Sources sources, std::chrono::steady_clock::time_point start)
    : impl_(std::make_unique<Impl>(session, std::move(sources), start)) {}

Sampler::~Sampler() = default;

bool Sampler::sample() {
    return impl_->sample();
}

std::optional<std::vector<pid_t>> Sampler::living() const {
    if (impl_->followed.empty())
        return std::nullopt;
    std::vector<pid_t> found;
    for (const Impl::Process &process : impl_->processes) {
        bool ended = !process.threads.empty();
        for (std::size_t i : process.threads) {
            const Impl::Followed &thread = *impl_->followed[i];
            ended = ended && (thread.gone || thread.state == State::ended);
        }
        if (!ended && !process.gone)
            found.push_back(process.pid);
    }
    return found;
}

View Sampler::take() {
    for (const auto &thread : impl_->followed)
        if (!thread->gone)
            impl_->finish(*thread);
    if (impl_->waits_read > 0 && impl_->calls_read == 0) {
        impl_->view.calls_known = false;
        impl_->note("the call a waiting thread is in (" + impl_->sources.proc +
                    "/PID/task/TID/syscall and wchan)");
    }
    impl_->taken = true;
    return std::move(impl_->view);
}

} // namespace procview
