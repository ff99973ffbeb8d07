// What the tour saw a program do: one row per real thread or process with its states over time as
// the kernel saw them, the lines printed (each on the row of the thread that printed it, where
// that can be told), and counters measured from the states. The timelines and the trace are both
// drawn from it, and the kernel's questions of the quiz judged by it.
#pragma once

#include "proc_run.h"

#include <array>
#include <string>
#include <vector>

namespace tour {

using procview::State;

struct Phase {
    double from, to; // seconds since the program started
    State state;
};

struct Row {
    std::string name;       // "main", "car 1", "side 1000", "parent"
    pid_t pid = 0, tid = 0; // the real ids
    int process = 0;        // 0 for the program, then each process it forked, in order
    int thread = 0;         // 0 for a process's main thread, then each it created, in order
    std::vector<Phase> phases;
    // What the readings prove of its time on a CPU, as laid out phases cannot: the stretches
    // (from, to] they cannot rule out that it ran in, and what its totals counted it ran at each
    // reading where they grew (the reading's index in Activity::readings, seconds).
    std::vector<std::pair<double, double>> may_run{};
    std::vector<std::pair<std::size_t, double>> counted{};
};

struct Printed {
    procrun::Line line;
    int row; // index into rows: the thread that printed it, or else the program's own (0)
};

// How many rows were in one state, from each moment on.
struct Counter {
    std::string label; // "cars blocked on the road"
    std::vector<std::pair<double, int>> counts;
};

struct Activity {
    std::string program;
    pid_t pid = 0; // the program's process id
    std::vector<Row> rows;
    std::vector<Printed> lines;
    std::vector<Counter> counters;
    int cpus = 1;
    std::vector<double> readings; // the moments the kernel's view was read
    double end = 0;               // when the last process ended
    bool kernel_view = false; // rows and states from /proc; else the program's row and its lines
    // Every thread the program had has its row; else some may have gone unseen (unfollowed, or
    // lived and ended between two readings where no id told of them).
    bool all_seen = true;
    std::string figures; // one line of what the kernel counted (time on a CPU, waiting)
    std::string to_see;  // what to see: only what this run showed
};

// Seconds spent in each state.
struct Durations {
    std::array<double, procview::kStates> seconds{};
    double &operator[](State state) { return seconds[static_cast<std::size_t>(state)]; }
    double operator[](State state) const { return seconds[static_cast<std::size_t>(state)]; }
    Durations &operator+=(const Durations &more);
};
// What a row spent in each state between two moments (a row not yet started or already gone
// spends none).
Durations time_in(const Row &row, double from, double to);
double total(const Durations &durations);

// The most rows (of those `counted`) in `state` at any one moment, and the counts over time.
using RowFilter = bool (*)(const Row &row);
std::vector<std::pair<double, int>> count_over_time(const Activity &activity, State state,
                                                    RowFilter counted);
int most_at_once(const Activity &activity, State state, RowFilter counted);

// How many rows (of those `counted`) were on a CPU at once at the most, as far as the readings
// prove it: `least` at some moment, since their totals grew by more than fewer CPUs could have
// run, and never more than `most`, since no more of them could have run at one moment.
struct AtOnce {
    int least = 0, most = 0;
};
AtOnce running_at_once(const Activity &activity, RowFilter counted);

// Fills a row's may_run and counted from its thread's readings.
void read_runs(Row &row, const procview::Thread &thread, const std::vector<double> &readings);

// Rows of threads a program created (workers), not a process's main thread.
bool workers(const Row &row);
bool every_row(const Row &row);

} // namespace tour
