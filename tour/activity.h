// What the tour saw a program do, read from the lines it printed and when: who took part (a car,
// a run, a process), what each was doing from when to when, and which of them printed each line.
// The timelines and the trace are both drawn from it.
#pragma once

#include "proc_run.h"

#include <string>
#include <vector>

namespace tour {

struct Phase {
    double from, to; // seconds since the program started
    char mark;       // how the timeline draws it
    std::string name;
};

struct Actor {
    std::string name; // "car 1", "side 1000", "parent"
    std::vector<Phase> phases;
};

struct Printed {
    procrun::Line line;
    int actor; // index into actors, or -1 for the program as a whole
};

struct Activity {
    std::string program;
    std::vector<Actor> actors;
    std::vector<Printed> lines;
    std::string legend; // the marks and what they mean
    std::string watch;  // one line saying what to see
    double end = 0;     // when the last process ended
    // junction only: the road's free permits, from each moment on.
    std::vector<std::pair<double, int>> free_permits;
};

// What a run of `program` showed; `interrupted_at` is when the tour sent spawn-pause its SIGINT.
// Programs with nothing to draw (the ticket agents) give an activity without actors.
Activity observe(const std::string &program, const procrun::Result &run,
                 double interrupted_at = -1);

} // namespace tour
