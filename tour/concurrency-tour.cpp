// concurrency-tour: runs the nine demonstrations one after another and shows each at work.
//
// Every program runs on a pseudo-terminal of its own, so it behaves as it would on yours. Each
// line it prints is shown with the moment it arrived (+1.00s is one second after the start),
// and the tour adds what the bare output cannot show: the SIGINT that ends spawn-pause, the
// moment spawn-nowait's parent returns while its child lives on, a timeline of who did what
// when (the cars at the junction, the pi runs, the processes of each fork), the processor and
// wall time of the two pi programs side by side, and with --trace all of it as a trace file.
#include "activity.h"
#include "output_check.h"
#include "proc_run.h"
#include "timeline.h"
#include "trace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Demo {
    const char *name;
    const char *watch; // what to watch, in a sentence or two
};

const Demo kDemos[] = {
    {"dartpi-serial", "Ten Monte Carlo runs of pi, one after another: each line appears as its "
                      "run ends, strictly in order of size."},
    {"dartpi-threads", "The same ten runs, one thread each, all at once: lines come in the order "
                       "the runs finish, and the processor time stays the same."},
    {"junction", "Five cars, a road with room for two (a counting semaphore): the AT lines come "
                 "in pairs, two seconds apart."},
    {"boxoffice-sem", "Two agents sell from a stock of 2 under a semaphore used as a lock: two "
                      "sales, then the stock of 0 a second later."},
    {"boxoffice-mutex", "The same sale under a mutex: nothing to set up, nothing to tear down."},
    {"spawn-pause", "One fork, and both processes run the same code: two \"After fork\" lines "
                    "with different ids, then both wait until a signal ends them."},
    {"spawn-words", "fork() returns 0 in the child: the child says hello, the parent says "
                    "world, and the parent waits for its child."},
    {"spawn-count", "Each process has its own copy of memory: the child counts down from 100, "
                    "the parent counts up from 100."},
    {"spawn-nowait", "The parent does not wait: it returns at once while its child lingers "
                     "three seconds, adopted by another process."},
};

volatile std::sig_atomic_t interrupted = 0;
bool colour = false;

std::string paint(const char *code, const std::string &text) {
    return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
}

// A line of the tour's own, or (stamp painted green) one the program printed.
void line(double at, const std::string &text, bool printed = false) {
    std::string when = tour::stamp(at);
    printf("  %s  %s\n", (printed ? paint("32", when) : when).c_str(), text.c_str());
}

void note(double at, const std::string &text) {
    line(at, paint("33", "[" + text + "]"));
}

std::string ending(const procrun::Result &run) {
    if (run.term_signal != 0)
        return std::string("ended by signal ") + sigabbrev_np(run.term_signal);
    return "exit status " + std::to_string(run.exit_code);
}

// Only the programs beside the tour's own executable, wherever it was started from.
std::string program_path(const std::string &name) {
    return procrun::self_dir() + "/" + name;
}

struct Seen {
    tour::Activity activity;
    double cpu, wall;
};

using Clock = std::chrono::steady_clock;
const Clock::time_point tour_start = Clock::now();

double since_tour_start() {
    return std::chrono::duration<double>(Clock::now() - tour_start).count();
}

enum class Shown { done, missing, cut_short };

// Runs one demonstration and shows it; what it saw goes into `seen` and the trace.
Shown show(const Demo &demo, std::map<std::string, Seen> &seen, tour::Trace &trace) {
    printf("\n%s\n%s\n\n", paint("1;36", "== " + std::string(demo.name) + " ==").c_str(),
           paint("2", demo.watch).c_str());
    std::string path = program_path(demo.name);
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        fprintf(stderr, "concurrency-tour: %s: not found (looked for %s)\n", demo.name,
                path.c_str());
        return Shown::missing;
    }

    procrun::Options options;
    options.argv = {path};
    options.output = procrun::Output::terminal;
    options.timeout = 120;
    options.cancel = &interrupted;
    std::string name = demo.name;
    int after_fork = 0;
    double interrupted_at = -1;
    options.on_line = [&](const procrun::Line &printed, pid_t pgid) {
        line(printed.at, printed.text, true);
        if (name == "spawn-pause" && printed.text.rfind("After fork", 0) == 0 &&
            ++after_fork == 2) {
            note(printed.at, "both processes are in pause(): sending SIGINT to the process "
                             "group, as Ctrl-C would");
            interrupted_at = printed.at;
            kill(-pgid, SIGINT);
        }
    };
    options.on_exit = [&](double at) {
        if (name == "spawn-nowait")
            note(at, "the program (the parent) has returned: a shell would show its prompt "
                     "now; the child lives on");
    };

    double started_at = since_tour_start();
    procrun::Result run = procrun::run(options);
    if (run.cancelled)
        return Shown::cut_short;
    fputs(run.err.c_str(), stderr); // what the program itself reported
    line(run.exited_at,
         paint(run.timed_out ? "31" : "2", run.timed_out ? "timed out" : ending(run)));
    // Standard output closes when the last process holding it has ended.
    if (name == "spawn-pause" && run.closed_at >= 0)
        note(run.closed_at, "both processes have ended");
    if (name == "spawn-nowait" && run.closed_at >= 0)
        note(run.closed_at, "the child has ended too");

    Seen &now =
        seen[name] = {tour::observe(name, run, interrupted_at), run.cpu_seconds, run.exited_at};
    trace.add(now.activity, started_at);
    if (name == "junction" || name.rfind("spawn-", 0) == 0)
        fputs(tour::draw_timeline({&now.activity}).c_str(), stdout);
    return Shown::done;
}

// The two pi programs, once both have run (or the one that ran alone), on one scale.
void compare_pi(const std::map<std::string, Seen> &seen, bool other_still_to_come) {
    auto serial = seen.find("dartpi-serial"), threads = seen.find("dartpi-threads");
    std::vector<const tour::Activity *> drawn;
    for (auto found : {serial, threads})
        if (found != seen.end())
            drawn.push_back(&found->second.activity);
    if (drawn.empty() || other_still_to_come)
        return;
    fputs(tour::draw_timeline(drawn).c_str(), stdout);
    if (drawn.size() == 2) {
        const Seen &s = serial->second, &t = threads->second;
        printf("\n  %s processor %.3f s vs %.3f s (the same work); wall %.3f s vs %.3f s "
               "(%ld cores)\n",
               paint("1", "serial vs threads:").c_str(), s.cpu, t.cpu, s.wall, t.wall,
               sysconf(_SC_NPROCESSORS_ONLN));
    }
}

bool write_trace(const tour::Trace &trace, const std::string &path) {
    FILE *file = fopen(path.c_str(), "w");
    if (file == nullptr) {
        fprintf(stderr, "concurrency-tour: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string json = trace.json();
    bool written = fwrite(json.data(), 1, json.size(), file) == json.size();
    written = fclose(file) == 0 && written;
    if (!written)
        fprintf(stderr, "concurrency-tour: %s: write error: %s\n", path.c_str(), strerror(errno));
    return written;
}

void usage(FILE *to) {
    fprintf(to, "usage: concurrency-tour [--trace FILE] [--list] [--help] [--version] "
                "[PROGRAM...]\n"
                "Runs the demonstrations (all nine, or those named) and shows each at work.\n"
                "  --trace FILE  also write what was seen as a trace (Perfetto, chrome://tracing)\n"
                "  --list        list the programs and what each shows\n"
                "  --help        show this help\n"
                "  --version     show the version\n"
                "Colour is used when standard output is a terminal and NO_COLOR is unset.\n");
}

int tour_main(int argc, char **argv) {
    colour = isatty(STDOUT_FILENO) != 0 && getenv("NO_COLOR") == nullptr;

    std::vector<const Demo *> chosen;
    std::string trace_path;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            printf("concurrency-tour %s\n", CD_VERSION);
            return 0;
        }
        if (arg == "--list") {
            for (const Demo &demo : kDemos)
                printf("%-16s %s\n", demo.name, demo.watch);
            return 0;
        }
        if (arg == "--trace" || arg.rfind("--trace=", 0) == 0) {
            if (arg == "--trace" && i + 1 == argc) {
                fprintf(stderr, "concurrency-tour: --trace needs a file name\n");
                usage(stderr);
                return 2;
            }
            trace_path = arg == "--trace" ? argv[++i] : arg.substr(strlen("--trace="));
            continue;
        }
        const Demo *found = nullptr;
        for (const Demo &demo : kDemos)
            if (arg == demo.name)
                found = &demo;
        if (found == nullptr) {
            fprintf(stderr, "concurrency-tour: %s '%s'\n",
                    arg.rfind('-', 0) == 0 ? "unknown option" : "no such program", arg.c_str());
            usage(stderr);
            return 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (const Demo &demo : kDemos)
            chosen.push_back(&demo);

    // Ctrl-C ends the program being shown (its whole process group) and then the tour.
    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = [](int) { interrupted = 1; };
    sigaction(SIGINT, &on_interrupt, nullptr);
    sigaction(SIGTERM, &on_interrupt, nullptr);

    std::map<std::string, Seen> seen;
    tour::Trace trace;
    int status = 0;
    for (size_t i = 0; i < chosen.size(); i++) {
        Shown shown = Shown::done;
        try {
            shown = show(*chosen[i], seen, trace);
        } catch (const std::exception &e) {
            fprintf(stderr, "concurrency-tour: %s\n", e.what());
            return 1;
        }
        if (shown == Shown::cut_short) {
            printf("\n%s\n", paint("31", "interrupted: the program was ended").c_str());
            status = 130;
            break;
        }
        if (shown == Shown::missing)
            status = 1;
        std::string name = chosen[i]->name;
        if (name.rfind("dartpi-", 0) == 0) {
            bool other_to_come = false;
            for (size_t j = i + 1; j < chosen.size(); j++)
                other_to_come =
                    other_to_come || std::string(chosen[j]->name).rfind("dartpi-", 0) == 0;
            compare_pi(seen, other_to_come);
        }
    }
    if (!trace_path.empty() && !write_trace(trace, trace_path) && status == 0)
        status = 1;
    return status;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return output_status("concurrency-tour", tour_main(argc, argv));
}
