// Runs one program the way a person would: on a pseudo-terminal, or with its standard output
// going into a pipe. Every line is recorded with the moment it arrived, and the program's whole
// process group is killed when the run ends or times out, so nothing it started outlives it.
//
// The tour is built on it, and so are the tests.
#pragma once

#include "proc_view.h"

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace procrun {

// Where the program's standard output goes: a pseudo-terminal or a pipe, read line by line; or,
// to see how it copes, a device that is always full, or nowhere (the descriptor closed).
enum class Output { terminal, pipe, full_device, closed };

struct Line {
    std::string text; // without the line end
    double at;        // seconds since the program was started
};

struct Options {
    std::vector<std::string> argv;   // the program and its arguments
    std::vector<std::string> prefix; // a command to run it under, e.g. {"faketime", "-f", "..."}
    std::vector<std::pair<std::string, std::string>> env; // added to (or replacing in) ours
    Output output = Output::pipe;
    double timeout = 60.0; // seconds; then the whole group is killed
    // Called for each line as it arrives; `pgid` is the program's process group.
    std::function<void(const Line &line, pid_t pgid)> on_line;
    // Called for each line as it arrives, on a terminal; what it returns is typed in, as from a
    // keyboard at that moment.
    std::function<std::string(const Line &line)> type_after_line;
    // Called as standard error grows, with all of it so far.
    std::function<void(const std::string &err, pid_t pgid)> on_err;
    // Called once the program itself has ended (its children may live on), with the moment.
    std::function<void(double at)> on_exit;
    // Called when output stops in the middle of a line (a prompt), with the line so far, which
    // may be only the first piece of it; what it returns is typed in (on a terminal, which
    // echoes it) as the program's standard input.
    std::function<std::string(const std::string &partial)> on_prompt;
    // When set, the program's standard input (a pipe, not the terminal) holds this, then ends.
    const std::string *input = nullptr;
    // When set and it becomes non-zero (from a signal handler), the run is cut short.
    volatile std::sig_atomic_t *cancel = nullptr;
    // Called at least every quarter of a second while the run goes on, with the moment.
    std::function<void(double now)> on_tick;
    // When above 0, every thread of the program's session is sampled from /proc this often
    // (seconds), from its start until the run ends (Result::view), reading `sources`; ten times
    // as often for its first `sample_closely` seconds, while it creates its threads and
    // processes; up to 16 times less often while every thread stays asleep or blocked; and at
    // once when the program prints after such a lull.
    double sample_every = 0, sample_closely = 0;
    procview::Sources sources{};
    // At most this many lines are kept in the result, the first half and the last half of them;
    // those in between are only counted (each is still handed to on_line). 0 keeps them all.
    std::size_t keep_lines = 0;
};

struct Result {
    std::vector<Line> lines;
    std::string err;        // everything written to standard error
    pid_t pid = -1;         // the program's process id, also its process group id
    int exit_code = -1;     // when it exited
    int term_signal = 0;    // when a signal ended it
    double exited_at = -1;  // seconds from start until the program itself ended
    double closed_at = -1;  // seconds until its standard output was closed by everyone
    double stopped_at = -1; // seconds until a timeout or cancel cut the run short
    // Seconds until every process the readings found had ended, as the kernel told it (reaped,
    // or a zombie): -1 when the run was not sampled, or nothing could be followed.
    double ended_at = -1;
    int left_running = 0;   // processes found still running when the run was cut short, ended then
    double cpu_seconds = 0; // user + system time of the program and the children it reaped
    long max_rss_kb = 0;    // the largest resident set of the program or a child it reaped
    std::size_t lines_not_kept = 0; // lines between the kept halves (Options::keep_lines)
    procview::View view;            // what the kernel saw, when it was sampled
    bool timed_out = false;
    bool cancelled = false;

    std::vector<std::string> texts() const;
};

// Runs the program to its end, and on until every process it left behind has closed its
// standard output: a child that outlives its parent still gets heard. When sampled, on until
// every process the readings found has ended too, wherever it went (a child that closed its
// output, or left the process group or the session), and what is left when the run is cut
// short is ended then.
// Throws std::runtime_error when the program cannot be started at all, or the run cannot be
// followed; either way nothing it started is left running and no descriptor is left open.
Result run(const Options &options);

// Every program started here gets this variable, set to the starting process's id, and passes it
// on to whatever it starts.
inline constexpr const char *kStartedBy = "PROCRUN_STARTED_BY";

// Processes alive (zombies included) that were started through run() by `runner`, or by anyone
// when runner is 0.
std::vector<pid_t> started_by(pid_t runner);

// True while any process of the given group is alive.
bool group_alive(pid_t pgid);

// Directory of the running executable.
std::string self_dir();

} // namespace procrun
