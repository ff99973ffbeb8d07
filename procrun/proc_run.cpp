#include "proc_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace procrun {
namespace {

using Clock = std::chrono::steady_clock;

// While nothing moves, readings slow down to one every this many periods.
constexpr double kQuietest = 16;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A descriptor that is closed when it goes out of scope, so no failure path leaves one open.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

void make_pipe(Fd &read_end, Fd &write_end) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        fail("pipe2");
    read_end.reset(ends[0]);
    write_end.reset(ends[1]);
}

// The environment the program gets: ours, with the extra variables added or replaced.
std::vector<std::string> make_environment(const Options &options) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++) {
        std::string entry = *e;
        bool replaced = false;
        for (const auto &[name, value] : options.env)
            replaced = replaced || entry.rfind(name + "=", 0) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    for (const auto &[name, value] : options.env)
        env.push_back(name + "=" + value);
    // Marks everything the program starts, so a later check can find any it left behind.
    env.push_back(std::string(kStartedBy) + "=" + std::to_string(getpid()));
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    result.reserve(strings.size() + 1);
    for (auto &s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Collects the bytes of one stream and cuts them into lines as they arrive. Of a line longer
// than kLongest (a progress bar redrawn with "\r" is one line) the start is kept, and the line
// says how much was cut: memory stays bounded, and each byte is looked at once.
struct Stream {
    static constexpr size_t kLongest = 1 << 20;
    Fd fd;
    std::string partial;
    size_t cut = 0;   // bytes of the line under way beyond kLongest, not kept
    size_t bytes = 0; // read so far

    bool open() const { return fd.get() >= 0; }

    // Hands each whole line to `line` (or, with none, appends the bytes to `raw`). Returns false
    // at end of file (or, for a pseudo-terminal, once no one holds it open).
    template <typename Sink> bool read_into(const Sink &line, std::string *raw) {
        char buffer[4096];
        ssize_t n = read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (n <= 0) {
            flush(line);
            return false;
        }
        bytes += static_cast<size_t>(n);
        if (raw != nullptr) {
            raw->append(buffer, static_cast<size_t>(n));
            return true;
        }
        const char *at = buffer, *end = buffer + n;
        while (at < end) {
            const char *newline =
                static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
            const char *piece_end = newline != nullptr ? newline : end;
            auto piece = static_cast<size_t>(piece_end - at);
            size_t kept = std::min(piece, kLongest - std::min(partial.size(), kLongest));
            partial.append(at, kept);
            cut += piece - kept;
            if (newline == nullptr)
                break;
            line(finished());
            at = newline + 1;
        }
        return true;
    }

    template <typename Sink> void flush(const Sink &line) {
        if (!partial.empty() || cut > 0)
            line(finished()); // a last line without its newline
    }

    // The line under way, as it is handed on; the next one starts afresh.
    std::string finished() {
        std::string text = cut > 0 ? partial + " [" + std::to_string(cut) + " more bytes not kept]"
                                   : strip(std::move(partial));
        partial.clear();
        cut = 0;
        return text;
    }

    static std::string strip(std::string text) {
        while (!text.empty() && text.back() == '\r') // a terminal ends lines with "\r\n"
            text.pop_back();
        return text;
    }
};

// The lines a run keeps: all of them, or the first and the last so many, the rest counted.
class Kept {
  public:
    Kept(Result &result, std::size_t keep)
        : result_(result), half_(keep / 2), keep_all_(keep == 0) {}
    void add(Line line) {
        if (keep_all_ || result_.lines.size() < half_) {
            result_.lines.push_back(std::move(line));
            return;
        }
        if (half_ == 0) {
            result_.lines_not_kept++;
            return;
        }
        if (tail_.size() == half_) {
            tail_[next_] = std::move(line);
            next_ = (next_ + 1) % half_;
            result_.lines_not_kept++;
        } else {
            tail_.push_back(std::move(line));
        }
    }
    void finish() {
        for (size_t i = 0; i < tail_.size(); i++)
            result_.lines.push_back(std::move(tail_[(next_ + i) % tail_.size()]));
        tail_.clear();
    }

  private:
    Result &result_;
    std::size_t half_;
    bool keep_all_;
    std::vector<Line> tail_; // the last lines, a ring starting at next_
    std::size_t next_ = 0;
};

// While it samples, the runner asks for the shortest time slice the scheduler grants (0.1 ms),
// which anyone may ask for: a thread that wakes with a short slice is let on a CPU sooner, so the
// readings come on time even while the program's threads keep every CPU busy. How the program
// competes for the CPUs is left as it is. (Kernels before 6.12 ignore the request.)
class ShortSlice {
  public:
    ShortSlice() {
        if (syscall(SYS_sched_getattr, 0, &was_, sizeof was_, 0) != 0)
            return;
        Attributes shortest = was_;
        shortest.slice_ns = 100000;
        set_ = syscall(SYS_sched_setattr, 0, &shortest, 0) == 0;
    }
    ShortSlice(const ShortSlice &) = delete;
    ShortSlice &operator=(const ShortSlice &) = delete;
    ~ShortSlice() {
        if (set_)
            syscall(SYS_sched_setattr, 0, &was_, 0);
    }

  private:
    // struct sched_attr as the kernel first defined it, which every later kernel accepts; not
    // taken from <linux/sched/types.h>, which older C libraries cannot include beside <sched.h>.
    struct Attributes {
        std::uint32_t size = sizeof(Attributes), policy = 0;
        std::uint64_t flags = 0;
        std::int32_t nice = 0;
        std::uint32_t priority = 0;
        std::uint64_t slice_ns = 0, deadline_ns = 0, period_ns = 0;
    } was_;
    static_assert(sizeof(Attributes) == 48, "the first struct sched_attr is 48 bytes");
    bool set_ = false;
};

// Kills the program's whole process group and reaps it when it goes out of scope: at the end of
// a run, and as an error leaves it (a timed-out or cancelled program's status is not kept). Until
// the program itself has been reaped its pid cannot be reused, so it is ended by its pid too: it
// may not have made its group yet.
struct GroupEnder {
    pid_t pgid;
    bool reaped = false;
    explicit GroupEnder(pid_t group) : pgid(group) {}
    GroupEnder(const GroupEnder &) = delete;
    GroupEnder &operator=(const GroupEnder &) = delete;
    ~GroupEnder() {
        if (!reaped) {
            kill(pgid, SIGKILL);
            while (waitpid(pgid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
        for (int attempt = 0; attempt < 500 && group_alive(pgid); attempt++) {
            kill(-pgid, SIGKILL);
            // Orphans of the group are re-parented to us (we are a subreaper): we reap them.
            while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
            }
            if (group_alive(pgid))
                usleep(2000);
        }
    }
};

// Ends the processes the readings find still running as a run is cut short, wherever they are
// (outside the process group or the session too), and reaps those re-parented to us. A pidfd
// opened while the readings, through files opened long before, still find that process alive
// names it, never another given its id since. How many were ended, the program aside.
int end_the_rest(procview::Sampler &sampler, pid_t program) {
    sampler.sample();
    std::vector<std::pair<pid_t, Fd>> left;
    for (pid_t id : sampler.living().value_or(std::vector<pid_t>{}))
        left.emplace_back(id, Fd(static_cast<int>(syscall(SYS_pidfd_open, id, 0))));
    if (left.empty())
        return 0;
    sampler.sample();
    std::vector<pid_t> still = sampler.living().value_or(std::vector<pid_t>{});
    int ended = 0;
    for (auto &[id, fd] : left) {
        if (fd.get() < 0 || std::find(still.begin(), still.end(), id) == still.end())
            continue;
        if (syscall(SYS_pidfd_send_signal, fd.get(), SIGKILL, nullptr, 0) == 0)
            ended += id != program;
        pollfd dead{fd.get(), POLLIN, 0};
        while (poll(&dead, 1, 1000) < 0 && errno == EINTR) {
        }
    }
    // Once all have ended, the orphans among them are ours; the program is reaped as it is.
    for (auto &[id, fd] : left)
        if (id != program)
            waitpid(id, nullptr, WNOHANG);
    sampler.sample(); // seen ended
    return ended;
}

} // namespace

std::vector<std::string> Result::texts() const {
    std::vector<std::string> result;
    for (const auto &line : lines)
        result.push_back(line.text);
    return result;
}

std::vector<pid_t> started_by(pid_t runner) {
    std::vector<pid_t> found;
    std::string mark = std::string(kStartedBy) + "=";
    if (runner != 0)
        mark += std::to_string(runner);
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent *entry = readdir(proc)) {
        char *end;
        long pid = strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0)
            continue;
        std::ifstream environ_file(std::string("/proc/") + entry->d_name + "/environ");
        std::string variable;
        while (std::getline(environ_file, variable, '\0')) {
            bool match = runner != 0 ? variable == mark : variable.rfind(mark, 0) == 0;
            if (match) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
        }
    }
    closedir(proc);
    return found;
}

bool group_alive(pid_t pgid) {
    return kill(-pgid, 0) == 0 || errno == EPERM;
}

std::string self_dir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n < 0)
        fail("readlink /proc/self/exe");
    std::string exe(path, static_cast<size_t>(n));
    return exe.substr(0, exe.rfind('/'));
}

Result run(const Options &options) {
    static std::once_flag subreaper;
    std::call_once(subreaper, [] { prctl(PR_SET_CHILD_SUBREAPER, 1); });

    std::vector<std::string> args = options.prefix;
    args.insert(args.end(), options.argv.begin(), options.argv.end());
    std::vector<std::string> env = make_environment(options);
    std::vector<char *> argv = pointers(args);
    std::vector<char *> envp = pointers(env);

    // Runs may be started from several threads at once: each child must inherit only its own
    // descriptors, and openpty gives none that close on exec.
    static std::mutex starting;
    std::unique_lock<std::mutex> start_lock(starting);
    Stream out, err;
    Fd out_write, err_write, exec_read, exec_write, in_read;
    if (options.output == Output::terminal) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 100;
        int master = -1, slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
            fail("openpty");
        out.fd.reset(master);
        out_write.reset(slave);
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
    } else if (options.output == Output::pipe) {
        make_pipe(out.fd, out_write);
    } else if (options.output == Output::full_device) {
        out_write.reset(open("/dev/full", O_WRONLY | O_CLOEXEC));
        if (out_write.get() < 0)
            fail("open /dev/full");
    }
    make_pipe(err.fd, err_write);
    make_pipe(exec_read, exec_write);
    if (options.input != nullptr) {
        // Written whole before the program starts, so it can neither block nor meet a closed end.
        Fd in_write;
        make_pipe(in_read, in_write);
        if (options.input->size() > 65536)
            throw std::invalid_argument("procrun: input larger than a pipe holds");
        if (write(in_write.get(), options.input->data(), options.input->size()) !=
            static_cast<ssize_t>(options.input->size()))
            fail("write to the program's input");
    } else if (options.output != Output::terminal) {
        in_read.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (in_read.get() < 0)
            fail("open /dev/null");
    }

    auto start = Clock::now();
    pid_t pid = fork();
    if (pid < 0)
        fail("fork");
    if (pid == 0) {
        // Own session, so the program and everything it starts share one process group we can
        // signal as a whole. The pseudo-terminal is not made the controlling terminal: there is
        // no shell to keep it, and the program's exit would hang up its children.
        setsid();
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(in_read.get() >= 0 ? in_read.get() : out_write.get(), STDIN_FILENO);
        if (options.output == Output::closed)
            close(STDOUT_FILENO);
        else
            dup2(out_write.get(), STDOUT_FILENO);
        dup2(err_write.get(), STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGPIPE, SIGTERM, SIGQUIT, SIGCHLD})
            signal(sig, SIG_DFL);
        execvpe(argv[0], argv.data(), envp.data());
        int error = errno;
        ssize_t ignored = write(exec_write.get(), &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    GroupEnder ender(pid);

    out_write.reset();
    err_write.reset();
    exec_write.reset();
    in_read.reset();
    start_lock.unlock();
    // The pipe closes on a successful exec; a signal landing meanwhile is no verdict either way.
    int exec_error = 0;
    ssize_t got;
    while ((got = read(exec_read.get(), &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
    }
    if (got < 0)
        fail("read the start of " + args[0]);
    if (got == sizeof exec_error) {
        errno = exec_error;
        fail("cannot start " + args[0]);
    }

    Result result;
    result.pid = pid;
    Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    bool exited = false;

    auto reap = [&] {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, WNOHANG, &usage) != pid)
            return;
        exited = ender.reaped = true;
        result.exited_at = seconds_since(start);
        if (WIFEXITED(status))
            result.exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.term_signal = WTERMSIG(status);
        result.cpu_seconds =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        result.max_rss_kb = usage.ru_maxrss;
        pidfd.reset();
        if (options.on_exit)
            options.on_exit(result.exited_at);
    };
    Kept kept(result, options.keep_lines);
    double now = 0;
    auto heard = [&](std::string text) {
        Line line{std::move(text), now};
        if (options.on_line)
            options.on_line(line, pid);
        if (options.type_after_line && options.output == Output::terminal && out.open()) {
            std::string typed = options.type_after_line(line);
            if (!typed.empty() && write(out.fd.get(), typed.data(), typed.size()) < 0)
                fail("type into the terminal");
        }
        kept.add(std::move(line));
    };

    // The program's session is sampled from its start, and once more as it exits, before it is
    // reaped and its last totals vanish with it: every period while anything is on the move,
    // less and less often while every thread stays asleep or blocked where it was, and at once
    // when the program prints, as a thread that prints has woken.
    std::optional<procview::Sampler> sampler;
    double next_sample = 0, quiet = 0;
    std::optional<ShortSlice> on_time;
    if (options.sample_every > 0) {
        sampler.emplace(pid, options.sources, start);
        on_time.emplace();
    }
    auto period_now = [&] {
        return options.sample_every / (now < options.sample_closely ? 10 : 1);
    };
    auto sample_if_due = [&](bool at_once) {
        if (!sampler || (!at_once && now < next_sample))
            return;
        double period = period_now();
        if (sampler->sample()) {
            quiet = period;
            next_sample = std::max(std::min(next_sample, now) + period, now + period / 2);
        } else {
            quiet = std::min(std::max(quiet, period) * 2, options.sample_every * kQuietest);
            next_sample = now + quiet;
        }
    };

    // Ended as the kernel tells it, not as the output closes: a child may close its output and
    // live on.
    auto all_ended = [&] {
        if (!exited || !sampler)
            return exited;
        auto living = sampler->living();
        if (living && living->empty() && result.ended_at < 0)
            result.ended_at = now;
        return !living || living->empty();
    };
    while (out.open() || err.open() || !all_ended()) {
        now = seconds_since(start);
        sample_if_due(false);
        if (options.cancel != nullptr && *options.cancel != 0) {
            result.cancelled = true;
            break;
        }
        double left = options.timeout - now;
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[3] = {
            {out.fd.get(), POLLIN, 0}, {err.fd.get(), POLLIN, 0}, {pidfd.get(), POLLIN, 0}};
        // Without a pidfd the exit is noticed by polling every few milliseconds.
        double wait = std::min(left, pidfd.get() >= 0 || exited ? 0.25 : 0.005);
        if (sampler)
            wait = std::clamp(next_sample - now, 0.0, wait);
        timespec wait_for{static_cast<time_t>(wait),
                          static_cast<long>((wait - std::floor(wait)) * 1e9)};
        if (ppoll(fds, 3, &wait_for, nullptr) < 0 && errno != EINTR)
            fail("poll");
        now = seconds_since(start);
        size_t bytes_before = out.bytes;
        if (fds[0].revents != 0 && !out.read_into(heard, nullptr)) {
            out.fd.reset();
            result.closed_at = now;
        }
        if (fds[1].revents != 0) {
            size_t had = result.err.size();
            if (!err.read_into(heard, &result.err))
                err.fd.reset();
            if (options.on_err && result.err.size() > had)
                options.on_err(result.err, pid);
        }
        if (out.bytes != bytes_before && next_sample > now + period_now())
            sample_if_due(true);
        if (options.on_prompt && out.open() && !out.partial.empty() && out.bytes != bytes_before) {
            std::string typed = options.on_prompt(out.partial);
            if (!typed.empty() && write(out.fd.get(), typed.data(), typed.size()) < 0)
                fail("type into the terminal");
        }
        if (!exited) {
            sample_if_due(fds[2].revents != 0);
            reap();
            if (exited)
                sample_if_due(true); // seen reaped: whether anything else lives on is up to date
        }
        if (options.on_tick)
            options.on_tick(now);
    }
    if (result.timed_out || result.cancelled)
        result.stopped_at = now;
    now = seconds_since(start);
    out.flush(heard); // a last line without its newline, cut short by a timeout or cancel
    kept.finish();
    if (sampler) {
        result.left_running = end_the_rest(*sampler, pid);
        result.view = sampler->take();
    }
    return result;
}

} // namespace procrun
