// The two Monte Carlo pi programs: ten runs of growing size, one after another or all at once.
#include "demonstration.h"
#include "prose.h"
#include "reading.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <sched.h>
#include <unistd.h>

namespace tour {
namespace {

const std::regex estimate_line(R"(The estimated PI is [\d.]+ in (\d+) times)");

// The side of each run, in the order the runs printed.
std::vector<long> sides_printed(const procrun::Result &run) {
    std::vector<long> sides;
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        auto points = read_as(line.text, m, estimate_line) ? decimal(m[1]) : std::nullopt;
        if (points)
            sides.push_back(std::lround(std::sqrt(*points)));
    }
    return sides;
}

// The processor time the program reports in its last line, or -1 when it did not.
double total_seconds(const procrun::Result &run) {
    static const std::regex total(R"(The time taken in total: ([\d.]+) seconds)");
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (read_as(line.text, m, total))
            return decimal(m[1]).value_or(-1);
    }
    return -1;
}

// Main, then the run of each thread it creates, in the order it creates them.
std::string runs(int process, int thread) {
    return thread_row(process, thread, "side " + std::to_string(thread * 1000));
}

// A run's line says which run it is.
Printer run_of(const std::string &text) {
    std::smatch m;
    auto points = read_as(text, m, estimate_line) ? decimal(m[1]) : std::nullopt;
    if (!points)
        return {};
    return {Printer::By::row, 0, "side " + std::to_string(std::lround(std::sqrt(*points)))};
}

std::string one_after_another(const Activity &activity) {
    if (activity.rows.size() != 1)
        return "";
    Durations in = time_in(activity.rows[0], 0, activity.end);
    std::string caption = "one thread does all ten runs, one after another";
    if (in[State::running] >= 0.8 * total(in))
        caption += ", on a CPU (#) nearly all the time";
    return caption;
}

std::string all_at_once(const Activity &activity) {
    auto threads = std::count_if(activity.rows.begin(), activity.rows.end(), workers);
    if (threads < 2)
        return "";
    int running = running_at_once(activity, workers).most;
    int ready = most_at_once(activity, State::ready, workers);
    // At once: all seen starting within a few milliseconds, or a tenth of the run.
    double first = activity.end, last = 0;
    for (const Row &row : activity.rows) {
        if (workers(row) && !row.phases.empty()) {
            first = std::min(first, row.phases.front().from);
            last = std::max(last, row.phases.front().from);
        }
    }
    std::string start = last - first <= std::max(0.005, 0.1 * activity.end)
                            ? "start at once"
                            : "start one after another, over " + seconds(last - first);
    std::string caption = "the " + std::to_string(threads) + " threads " + start + "; at most " +
                          std::to_string(running) + " run (#) at a time on " +
                          counted(activity.cpus, "CPU");
    // No mark for the ready: a moment's wait is counted here, but no column may show it.
    if (ready == 0)
        return caption + ", and none ever waits for one";
    return caption +
           (ready == 1 ? ", while one at a time is ready"
                       : ", while up to " + std::to_string(ready) + " are ready") +
           ", waiting for one";
}

const Question in_order_of_size{
    "Will the ten estimate lines come strictly in order of size, smallest run first? (y/n)",
    Kind::yes_no,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        std::vector<long> sides = sides_printed(now.run);
        if (sides.empty())
            return std::nullopt;
        if (std::is_sorted(sides.begin(), sides.end()))
            return Shown{"y", "the runs printed in order of size: each one ended before the next "
                              "began, or the smaller ones finished first"};
        std::string order;
        for (long side : sides)
            order += (order.empty() ? "" : ", ") + std::to_string(side);
        return Shown{"n", "the sides printed as " + order +
                              ": runs going on at once end in whatever order they finish"};
    },
    false,
    "Lines in order of size"};

const Question processor_time_compared{
    "Compared with dartpi-serial, its processor time will be: a) much less  b) about the same  "
    "c) much more",
    Kind::letter,
    "abc",
    [](const Observed &now, const Observed *serial) -> std::optional<Shown> {
        double threads_total = total_seconds(now.run);
        double serial_total = serial != nullptr ? total_seconds(serial->run) : -1;
        if (serial_total <= 0 || threads_total <= 0)
            return std::nullopt;
        char figures[96];
        snprintf(figures, sizeof figures, "processor time %.3f s against dartpi-serial's %.3f s",
                 threads_total, serial_total);
        double ratio = threads_total / serial_total;
        if (ratio < 1 / 1.5)
            return Shown{"a", figures + std::string(": much less, so less work was done")};
        if (ratio > 1.5)
            return Shown{"c", figures + std::string(": much more, the threads cost extra work")};
        return Shown{"b", figures + std::string(": the same points thrown, only spread over the "
                                                "cores, so about the same")};
    },
    true,
    "Processor time against dartpi-serial's"};

const Question most_running{
    "At most how many of the ten threads will be running at the same moment?",
    Kind::count,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const Activity &seen = now.activity;
        if (!seen.kernel_view || std::none_of(seen.rows.begin(), seen.rows.end(), workers))
            return std::nullopt;
        AtOnce running = running_at_once(seen, workers);
        std::string n = std::to_string(running.most);
        // Readings are moments apart: the totals may tell only that some ran together, and
        // then how many at the most is not known.
        if (running.least < running.most)
            return Shown{"", "the readings show " + std::to_string(running.least) + " to " + n +
                                 " of them on a CPU at once, not how many at the most"};
        int ready = most_at_once(seen, State::ready, workers);
        std::string waited = ready > 0
                                 ? ", and up to " + counted(ready, "other was", "others were") +
                                       " ready, waiting for one"
                                 : "";
        return Shown{n, "the kernel had at most " + n +
                            " of them on a CPU at once: the program may use " +
                            counted(seen.cpus, "CPU") + waited};
    },
    false,
    "Threads running at once, at most"};

// The cores the program may run on: its affinity, as the kernel's view read it, or else the
// tour's own, which the program inherits (under taskset, fewer than the machine has).
int cpus_of(const procrun::Result &run) {
    if (!run.view.threads.empty())
        return run.view.cpus;
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0)
        return CPU_COUNT(&allowed);
    return static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
}

// Processor time as each program printed it (its clock() over the ten runs), wall time as the
// tour saw it: one figure for each quantity.
Figures compare_times(const procrun::Result &threads, const procrun::Result &serial) {
    double serial_cpu = total_seconds(serial), threads_cpu = total_seconds(threads);
    char processor[120] = "processor time not printed by both; ";
    if (serial_cpu >= 0 && threads_cpu >= 0) {
        snprintf(processor, sizeof processor,
                 "processor %.3f s vs %.3f s, as each printed it (the same work); ", serial_cpu,
                 threads_cpu);
    }
    char wall[120];
    snprintf(wall, sizeof wall, "wall %.3f s vs %.3f s (", serial.exited_at, threads.exited_at);
    return {"serial vs threads:",
            std::string(processor) + wall + counted(cpus_of(threads), "core") + ")"};
}

} // namespace

std::vector<Demonstration> pi_demonstrations() {
    return {
        {.name = "dartpi-serial",
         .setting = "Ten Monte Carlo estimates of pi, throwing 1000x1000 up to 10000x10000 random "
                    "points, run one after another in one thread; the last line is the processor "
                    "time all ten took.",
         .watch = "Each line appears as its run ends, strictly in order of size.",
         .questions = {in_order_of_size},
         .row_name = runs,
         .printer = run_of,
         .what_to_see = one_after_another,
         .drawn_with = "pi"},
        {.name = "dartpi-threads",
         .setting = "The same ten runs, one thread each, all started at once; the last line is "
                    "the processor time all ten took.",
         .watch = "Lines come in the order the runs finish, and the processor time stays the "
                  "same: the work is the same, only shared out over the cores.",
         .questions = {in_order_of_size, processor_time_compared, most_running},
         .row_name = runs,
         .printer = run_of,
         .counters = {{"threads running", State::running, workers},
                      {"threads ready", State::ready, workers}},
         .what_to_see = all_at_once,
         .drawn_with = "pi",
         .compared_with = "dartpi-serial",
         .compare = compare_times},
    };
}

} // namespace tour
