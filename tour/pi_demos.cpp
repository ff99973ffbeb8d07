// The two Monte Carlo pi programs: ten runs of growing size, one after another or all at once.
#include "demonstration.h"
#include "reading.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
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

void read_runs(Activity &activity, bool all_at_once) {
    double previous = 0;
    std::vector<std::pair<long, int>> sides; // side, actor: rows go in order of side
    for (Printed &printed : activity.lines) {
        std::smatch m;
        auto points = read_as(printed.line.text, m, estimate_line) ? decimal(m[1]) : std::nullopt;
        if (!points)
            continue;
        auto side = std::lround(std::sqrt(*points));
        printed.actor = actor(activity, "side " + std::to_string(side));
        // A serial run starts when the one before it has printed; the threads' all at once.
        double started = all_at_once ? 0 : previous;
        phase(activity, printed.actor, started, printed.line.at, '=', "run", true);
        previous = printed.line.at;
        sides.emplace_back(side, printed.actor);
    }
    std::sort(sides.begin(), sides.end());
    std::vector<Actor> ordered;
    std::vector<int> new_index(activity.actors.size());
    for (const auto &[side, who] : sides) {
        new_index[static_cast<size_t>(who)] = static_cast<int>(ordered.size());
        ordered.push_back(activity.actors[static_cast<size_t>(who)]);
    }
    activity.actors = ordered;
    for (Printed &printed : activity.lines)
        if (printed.actor >= 0)
            printed.actor = new_index[static_cast<size_t>(printed.actor)];
    activity.legend = "= a run throwing its points, until it prints its estimate";
    activity.watch = all_at_once
                         ? "all ten runs start at once and share the cores; small ones end first"
                         : "one run at a time: each starts when the one before has printed";
}

const Question in_order_of_size{
    "Will the ten estimate lines come strictly in order of size, smallest run first? (y/n)",
    Kind::yes_no, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        std::vector<long> sides = sides_printed(run);
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
    }};

const Question processor_time_compared{
    "Compared with dartpi-serial, its processor time will be: a) much less  b) about the same  "
    "c) much more",
    Kind::letter, "abc",
    [](const procrun::Result &run, const procrun::Result *serial) -> std::optional<Shown> {
        double threads_total = total_seconds(run);
        double serial_total = serial != nullptr ? total_seconds(*serial) : -1;
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
    true};

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
    snprintf(wall, sizeof wall, "wall %.3f s vs %.3f s (%ld cores)", serial.exited_at,
             threads.exited_at, sysconf(_SC_NPROCESSORS_ONLN));
    return {"serial vs threads:", std::string(processor) + wall};
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
         .read = [](Activity &activity, const Facts &) { read_runs(activity, false); },
         .drawn_with = "pi"},
        {.name = "dartpi-threads",
         .setting = "The same ten runs, one thread each, all started at once; the last line is "
                    "the processor time all ten took.",
         .watch = "Lines come in the order the runs finish, and the processor time stays the "
                  "same: the work is the same, only shared out over the cores.",
         .questions = {in_order_of_size, processor_time_compared},
         .read = [](Activity &activity, const Facts &) { read_runs(activity, true); },
         .drawn_with = "pi",
         .compared_with = "dartpi-serial",
         .compare = compare_times},
    };
}

} // namespace tour
