// concurrency-tour: runs the nine demonstrations one after another and shows each at work.
//
// Every program runs on a pseudo-terminal of its own, so it behaves as it would on yours. Each
// line it prints is shown with the moment it arrived (+1.00s is one second after the start),
// and the tour adds what the bare output cannot show: the SIGINT that ends spawn-pause, the
// moment spawn-nowait's parent returns while its child lives on, a timeline of the cars at the
// junction, and the processor and wall time of the two pi programs side by side.
#include "output_check.h"
#include "proc_run.h"

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <regex>
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

std::string seconds(double t) {
    char text[32];
    snprintf(text, sizeof text, "+%.2fs", t);
    return text;
}

void note(double at, const std::string &text) {
    printf("  %7s  %s\n", seconds(at).c_str(), paint("33", "[" + text + "]").c_str());
}

std::string ending(const procrun::Result &run) {
    if (run.term_signal != 0)
        return std::string("ended by signal ") + sigabbrev_np(run.term_signal);
    return "exit status " + std::to_string(run.exit_code);
}

// Rows of the junction timeline: for each car, what it was doing in each quarter second.
void draw_timeline(const procrun::Result &run) {
    static const std::regex format(R"(\((\d+)\) I (INTEND to pass|am AT|have PASSED) the fork)");
    struct Car {
        double intend = -1, at = -1, passed = -1;
    };
    std::vector<std::string> order;
    std::map<std::string, Car> cars;
    for (const auto &line : run.lines) {
        std::smatch m;
        if (!std::regex_match(line.text, m, format))
            continue;
        Car &car = cars[m[1]];
        if (m[2] == "INTEND to pass") {
            car.intend = line.at;
            order.push_back(m[1]);
        } else if (m[2] == "am AT") {
            car.at = line.at;
        } else {
            car.passed = line.at;
        }
    }
    const double step = 0.25;
    int columns = static_cast<int>(std::ceil(run.exited_at / step));
    printf("\n  timeline, one column per %.2f s:  - announced   . waiting for the road   # on the "
           "road (holding a permit)\n",
           step);
    for (size_t i = 0; i < order.size(); i++) {
        const Car &car = cars[order[i]];
        std::string row;
        for (int c = 0; c < columns; c++) {
            double t = (c + 0.5) * step;
            // The permit is given back one second after PASSED.
            bool holding = car.at >= 0 && t >= car.at && (car.passed < 0 || t < car.passed + 1);
            char mark = ' ';
            if (holding)
                mark = '#';
            else if (car.intend >= 0 && t >= car.intend && t < car.intend + 1)
                mark = '-';
            else if (car.intend >= 0 && t >= car.intend && (car.at < 0 || t < car.at))
                mark = '.';
            row += mark;
        }
        printf("  car %zu  |%s|\n", i + 1, row.c_str());
    }
    std::string axis;
    for (int c = 0; c < columns; c++)
        axis += c % 4 == 0 ? '|' : ' ';
    printf("         %s\n", axis.c_str());
    std::string labels;
    for (int s = 0; s * 4 < columns; s++) {
        std::string label = std::to_string(s) + "s";
        labels += label + std::string(4 - std::min<size_t>(4, label.size()), ' ');
    }
    printf("         %s\n", labels.c_str());
}

std::string find_program(const std::string &name) {
    struct stat info {};
    for (const std::string &dir : {procrun::self_dir(), std::string("build/bin")}) {
        std::string path = dir + "/" + name;
        if (stat(path.c_str(), &info) == 0)
            return path;
    }
    return "";
}

struct Timing {
    double cpu, wall;
};

// Runs one demonstration; returns false when the tour was interrupted.
bool show(const Demo &demo, std::map<std::string, Timing> &timings) {
    printf("\n%s\n%s\n\n", paint("1;36", "== " + std::string(demo.name) + " ==").c_str(),
           paint("2", demo.watch).c_str());
    std::string path = find_program(demo.name);
    if (path.empty()) {
        fprintf(stderr, "concurrency-tour: %s: not found next to the tour or in build/bin\n",
                demo.name);
        return true;
    }

    procrun::Options options;
    options.argv = {path};
    options.output = procrun::Output::terminal;
    options.timeout = 120;
    options.cancel = &interrupted;
    std::string name = demo.name;
    int after_fork = 0;
    options.on_line = [&](const procrun::Line &line, pid_t pgid) {
        printf("  %7s  %s\n", paint("32", seconds(line.at)).c_str(), line.text.c_str());
        if (name == "spawn-pause" && line.text.rfind("After fork", 0) == 0 && ++after_fork == 2) {
            note(line.at, "both processes are in pause(): sending SIGINT to the process group, "
                          "as Ctrl-C would");
            kill(-pgid, SIGINT);
        }
    };
    options.on_exit = [&](double at) {
        if (name == "spawn-nowait")
            note(at, "the program (the parent) has returned: a shell would show its prompt "
                     "now; the child lives on");
    };

    procrun::Result run = procrun::run(options);
    if (run.cancelled)
        return false;
    fputs(run.err.c_str(), stderr); // what the program itself reported
    printf("  %7s  %s\n", seconds(run.exited_at).c_str(),
           paint(run.timed_out ? "31" : "2", run.timed_out ? "timed out" : ending(run)).c_str());
    // Standard output closes when the last process holding it has ended.
    if (name == "spawn-pause" && run.closed_at >= 0)
        note(run.closed_at, "both processes have ended");
    if (name == "spawn-nowait" && run.closed_at >= 0)
        note(run.closed_at, "the child has ended too");
    if (name == "junction")
        draw_timeline(run);
    timings[name] = {run.cpu_seconds, run.exited_at};
    if (timings.count("dartpi-serial") != 0 && timings.count("dartpi-threads") != 0 &&
        name.rfind("dartpi", 0) == 0) {
        const Timing &s = timings["dartpi-serial"], &t = timings["dartpi-threads"];
        printf("\n  %s processor %.3f s vs %.3f s (the same work); wall %.3f s vs %.3f s "
               "(%ld cores)\n",
               paint("1", "serial vs threads:").c_str(), s.cpu, t.cpu, s.wall, t.wall,
               sysconf(_SC_NPROCESSORS_ONLN));
    }
    return true;
}

void usage(FILE *to) {
    fprintf(to, "usage: concurrency-tour [--list] [--help] [PROGRAM...]\n"
                "Runs the demonstrations (all nine, or those named) and shows each at work.\n"
                "  --list   list the programs and what each shows\n"
                "  --help   show this help\n"
                "Colour is used when standard output is a terminal and NO_COLOR is unset.\n");
}

int tour(int argc, char **argv) {
    colour = isatty(STDOUT_FILENO) != 0 && getenv("NO_COLOR") == nullptr;

    std::vector<const Demo *> chosen;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--list") {
            for (const Demo &demo : kDemos)
                printf("%-16s %s\n", demo.name, demo.watch);
            return 0;
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

    std::map<std::string, Timing> timings;
    for (const Demo *demo : chosen) {
        try {
            if (!show(*demo, timings)) {
                printf("\n%s\n", paint("31", "interrupted: the program was ended").c_str());
                return 130;
            }
        } catch (const std::exception &e) {
            fprintf(stderr, "concurrency-tour: %s\n", e.what());
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return output_status("concurrency-tour", tour(argc, argv));
}
