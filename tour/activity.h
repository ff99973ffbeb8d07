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
    // A shared resource counted down and up (the road's free permits), from each moment on.
    std::string counter;
    std::vector<std::pair<double, int>> counts;
};

// What a reader of a program's lines gets besides them.
struct Facts {
    const procrun::Result &run;
    double interrupted_at; // when the tour sent the program a signal, or when it exited
};

// The index of the actor called `name`, added if it is new.
int actor(Activity &activity, const std::string &name);

// A phase of no length is left out, unless it is a whole life (a run, a process running), which
// shows even when its lines arrived together.
void phase(Activity &activity, int who, double from, double to, char mark, const char *name,
           bool keep_empty = false);

} // namespace tour
