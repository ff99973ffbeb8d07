#include "proc_run.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
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

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void close_fd(int &fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
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

// Collects the bytes of one stream and cuts them into lines as they arrive.
struct Stream {
    int fd = -1;
    std::string partial;

    // Returns false at end of file (or, for a pseudo-terminal, once no one holds it open).
    bool read_into(std::vector<Line> *lines, std::string *raw, double now) {
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (n <= 0) {
            flush(lines, now);
            return false;
        }
        if (raw != nullptr) {
            raw->append(buffer, static_cast<size_t>(n));
            return true;
        }
        partial.append(buffer, static_cast<size_t>(n));
        size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            lines->push_back({strip(partial.substr(0, end)), now});
            partial.erase(0, end + 1);
        }
        return true;
    }

    void flush(std::vector<Line> *lines, double now) {
        if (lines != nullptr && !partial.empty())
            lines->push_back({strip(partial), now}); // a last line without its newline
        partial.clear();
    }

    static std::string strip(std::string text) {
        while (!text.empty() && text.back() == '\r') // a terminal ends lines with "\r\n"
            text.pop_back();
        return text;
    }
};

void kill_group_and_reap(pid_t pgid) {
    for (int attempt = 0; attempt < 500 && group_alive(pgid); attempt++) {
        kill(-pgid, SIGKILL);
        // Orphans of the group are re-parented to us (we are a subreaper), so we can reap them.
        while (waitpid(-pgid, nullptr, WNOHANG) > 0) {
        }
        if (group_alive(pgid))
            usleep(2000);
    }
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
    int out_read = -1, out_write = -1, err_pipe[2], exec_pipe[2];
    if (options.output == Output::terminal) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 100;
        if (openpty(&out_read, &out_write, nullptr, nullptr, &size) != 0)
            fail("openpty");
        fcntl(out_read, F_SETFD, FD_CLOEXEC);
        fcntl(out_write, F_SETFD, FD_CLOEXEC);
    } else if (options.output == Output::pipe) {
        int out_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0)
            fail("pipe");
        out_read = out_pipe[0];
        out_write = out_pipe[1];
    } else if (options.output == Output::full_device) {
        out_write = open("/dev/full", O_WRONLY | O_CLOEXEC);
        if (out_write < 0)
            fail("open /dev/full");
    }
    if (pipe2(err_pipe, O_CLOEXEC) != 0 || pipe2(exec_pipe, O_CLOEXEC) != 0)
        fail("pipe");
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);

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
        int in_fd = options.output == Output::terminal ? out_write : null_fd;
        dup2(in_fd, STDIN_FILENO);
        if (options.output == Output::closed)
            close(STDOUT_FILENO);
        else
            dup2(out_write, STDOUT_FILENO);
        dup2(err_pipe[1], STDERR_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGINT, SIGPIPE, SIGTERM, SIGQUIT, SIGCHLD})
            signal(sig, SIG_DFL);
        execvpe(argv[0], argv.data(), envp.data());
        int error = errno;
        ssize_t ignored = write(exec_pipe[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }

    close_fd(out_write);
    close(err_pipe[1]);
    close(exec_pipe[1]);
    close(null_fd);
    start_lock.unlock();
    int exec_error = 0;
    ssize_t got = read(exec_pipe[0], &exec_error, sizeof exec_error);
    close(exec_pipe[0]);
    if (got == sizeof exec_error) {
        waitpid(pid, nullptr, 0);
        close(out_read);
        close(err_pipe[0]);
        errno = exec_error;
        fail("cannot start " + args[0]);
    }

    Result result;
    result.pid = pid;
    Stream out{out_read, {}};
    Stream err{err_pipe[0], {}};
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    bool exited = false;

    auto reap = [&] {
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, WNOHANG, &usage) != pid)
            return;
        exited = true;
        result.exited_at = seconds_since(start);
        if (WIFEXITED(status))
            result.exit_code = WEXITSTATUS(status);
        else if (WIFSIGNALED(status))
            result.term_signal = WTERMSIG(status);
        result.cpu_seconds =
            static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        close_fd(pidfd);
        if (options.on_exit)
            options.on_exit(result.exited_at);
    };

    while (out.fd >= 0 || err.fd >= 0 || !exited) {
        if (options.cancel != nullptr && *options.cancel != 0) {
            result.cancelled = true;
            break;
        }
        double left = options.timeout - seconds_since(start);
        if (left <= 0) {
            result.timed_out = true;
            break;
        }
        pollfd fds[3] = {{out.fd, POLLIN, 0}, {err.fd, POLLIN, 0}, {pidfd, POLLIN, 0}};
        // Without a pidfd the exit is noticed by polling every few milliseconds.
        int wait_ms = pidfd >= 0 || exited ? static_cast<int>(left * 1000) + 1 : 5;
        int ready = poll(fds, 3, std::min(wait_ms, 250));
        if (ready < 0 && errno != EINTR)
            fail("poll");
        double now = seconds_since(start);
        size_t seen = result.lines.size();
        if (fds[0].revents != 0 && !out.read_into(&result.lines, nullptr, now)) {
            close_fd(out.fd);
            result.closed_at = now;
        }
        if (fds[1].revents != 0) {
            size_t had = result.err.size();
            if (!err.read_into(nullptr, &result.err, now))
                close_fd(err.fd);
            if (options.on_err && result.err.size() > had)
                options.on_err(result.err, pid);
        }
        if (options.on_line)
            for (size_t i = seen; i < result.lines.size(); i++)
                options.on_line(result.lines[i], pid);
        if (!exited)
            reap();
    }
    out.flush(&result.lines, seconds_since(start));

    kill_group_and_reap(pid); // a timed-out or cancelled program's status is not kept
    close_fd(out.fd);
    close_fd(err.fd);
    close_fd(pidfd);
    return result;
}

} // namespace procrun
