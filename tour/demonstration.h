// One demonstration: everything the tour knows about one program, in one place — what it does,
// what to watch, the questions of the quiz and how the run answers them, what the tour does while
// it runs, and how its lines are read into a timeline. The tour itself knows no program by name.
#pragma once

#include "activity.h"
#include "quiz.h"

#include <string>
#include <vector>

namespace tour {

// A line of figures: its label, and what follows it.
struct Figures {
    std::string label, text;
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

    // Reads who did what when from its lines; null for a program with nothing to draw.
    void (*read)(Activity &activity, const Facts &facts) = nullptr;
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

// What a run of `demonstration` showed, read into an activity; `interrupted_at` is when the tour
// sent it a signal (-1: it did not).
Activity observe(const Demonstration &demonstration, const procrun::Result &run,
                 double interrupted_at = -1);

// What is wrong with the entries, a line for each fault ("" when nothing is): the tour checks
// them once as it starts, so that a fault in one shows at once, not when a class meets it.
std::string check(const std::vector<Demonstration> &entries);

// How a run ended: "exit status 0", "ended by signal INT" ("ended by signal 40" for a signal
// without a short name), "timed out".
std::string ending(const procrun::Result &run);

// Why a run counts as failed (it timed out, was ended by a signal other than `signal_sent`, or
// exited non-zero), as ending() says it, or "" when it ended as it should.
std::string failure(const procrun::Result &run, int signal_sent);

// The demonstrations of each subsystem, in order.
std::vector<Demonstration> pi_demonstrations();
std::vector<Demonstration> sync_demonstrations();
std::vector<Demonstration> spawn_demonstrations();

} // namespace tour
