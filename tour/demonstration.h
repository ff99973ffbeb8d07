// One demonstration: everything the tour knows about one program, in one place — what it does,
// what to watch, the questions of the quiz and how the run answers them, what the tour does while
// it runs, how its threads are named and what its timeline points out. The tour itself knows no
// program by name.
#pragma once

#include "activity.h"
#include "quiz.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tour {

// A line of figures: its label, and what follows it.
struct Figures {
    std::string label, text;
};

// Who printed a line, where the line itself says: the process by its id, the thread by the
// descriptor pthread_self returned (its low 32 bits), or the row by its name (a run that states
// which run it is).
struct Printer {
    enum class By { nobody, process, descriptor, row } by = By::nobody;
    std::uint64_t id = 0;
    std::string row{};
};

// A counter drawn under the timeline and traced: how many of some rows are in one state.
struct Count {
    const char *label;
    State state;
    RowFilter counted = every_row;
};

struct Demonstration {
    const char *name;
    const char *setting; // what the program does, and nothing of what it will show
    const char *watch;   // what to watch in its output
    std::vector<Question> questions{};

    // What the tour does while it runs. Once `count` lines starting with `after` have arrived,
    // it says `note` and sends the program's process group a SIGINT, as Ctrl-C would.
    struct Interrupt {
        const char *after = nullptr;
        int count = 0;
        const char *note = nullptr;
    } interrupt{};
    const char *note_at_exit = nullptr;  // once the program itself has returned
    const char *note_at_close = nullptr; // once every process holding its output has ended

    // How its rows are named: thread `thread` (0: the main thread) of process `process` (0: the
    // program, then each process it forked, in order). Null for a program with nothing to draw.
    std::string (*row_name)(int process, int thread) = nullptr;
    // Which thread printed a line, where the line says; null: every line is the program's.
    Printer (*printer)(const std::string &text) = nullptr;
    std::vector<Count> counters{};
    // What to see on the timeline, from what this run showed.
    std::string (*what_to_see)(const Activity &activity) = nullptr;
    // Demonstrations that share a name here are drawn on one timeline, after the last of them
    // has run; without one, each is drawn right after its own run.
    const char *drawn_with = nullptr;
    // The program this one is measured against, when both ran: a line of figures after the
    // timeline, and the questions that need a comparison.
    const char *compared_with = nullptr;
    // The line of figures, from the two runs.
    Figures (*compare)(const procrun::Result &run, const procrun::Result &compared) = nullptr;
};

// Every demonstration, in the order the tour shows them.
const std::vector<Demonstration> &demonstrations();
const Demonstration *find_demonstration(const std::string &name);

// A row of a program's threads: "main" for the main thread, `worker` (its own name for the
// others, "car 2") for thread `thread`; in a process it forked, "process 2 car 2".
std::string thread_row(int process, int thread, const std::string &worker);

// A span of time as the figures give it: "31 ms", "2.4 ms", "1.25 s".
std::string seconds(double value);

// What a run of `demonstration` showed: its threads' states as the kernel saw them, named by the
// entry, and its lines on the rows of the threads that printed them.
Activity observe(const Demonstration &demonstration, const procrun::Result &run);

// What is wrong with the entries, a line for each fault ("" when nothing is): the tour checks
// them once as it starts, so that a fault in one shows at once, not when a class meets it.
std::string check(const std::vector<Demonstration> &entries);

// How a run ended: "exit status 0", "ended by signal INT" ("ended by signal 40" for a signal
// without a short name), "timed out".
std::string ending(const procrun::Result &run);

// Why a run counts as failed (it timed out, was ended by a signal other than `signal_sent`, or
// exited non-zero), as ending() says it, or "" when it ended as it should.
std::string failure(const procrun::Result &run, int signal_sent);

// When the last of the program's processes had ended: as the kernel told it, or, where the
// readings could not tell, when the last of them closed its standard output. -1: not known.
double all_ended_at(const procrun::Result &run);

// The demonstrations of each subsystem, in order.
std::vector<Demonstration> pi_demonstrations();
std::vector<Demonstration> sync_demonstrations();
std::vector<Demonstration> spawn_demonstrations();

} // namespace tour
