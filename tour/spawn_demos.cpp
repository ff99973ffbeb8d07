// The four fork programs: a process that splits in two, and the parent that waits for its child,
// or does not.
#include "demonstration.h"
#include "reading.h"
#include "timeline.h"

#include <algorithm>
#include <cstdio>
#include <regex>

namespace tour {
namespace {

const std::regex before_line(R"(Before fork Process id:(\d+))");
const std::regex after_line(R"(After fork Process id:(\d+))");
const std::regex parent_line(R"(Parent Process id: (\d+))");
const std::regex child_line(R"(Child process id \(my parent pid is (\d+)\):(\d+))");

// The program is the parent; the process it forks, the child.
std::string processes(int process, int thread) {
    std::string name = process == 0   ? "parent"
                       : process == 1 ? "child"
                                      : "process " + std::to_string(process + 1);
    return thread == 0 ? name : name + " thread " + std::to_string(thread);
}

// The lines that give the id of the process printing them.
Printer process_of(const std::string &text) {
    std::smatch m;
    std::optional<long long> pid;
    if (read_as(text, m, before_line) || read_as(text, m, after_line) ||
        read_as(text, m, parent_line))
        pid = whole_value(m[1]);
    else if (read_as(text, m, child_line))
        pid = whole_value(m[2]);
    if (!pid || *pid <= 0)
        return {};
    return {Printer::By::process, static_cast<std::uint64_t>(*pid), ""};
}

const Row *row_of(const Activity &activity, int process) {
    for (const Row &row : activity.rows)
        if (row.process == process && row.thread == 0)
            return &row;
    return nullptr;
}

double seconds_in(const Row *row, State state, double end) {
    return row == nullptr ? 0 : time_in(*row, 0, end)[state];
}

std::string both_pause(const Activity &activity) {
    if (seconds_in(row_of(activity, 0), State::paused, activity.end) <= 0 ||
        seconds_in(row_of(activity, 1), State::paused, activity.end) <= 0)
        return "";
    return "both processes run the same code after the fork, then wait in pause() (p) until the "
           "signal ends them";
}

std::string parent_waits(const Activity &activity) {
    if (seconds_in(row_of(activity, 0), State::waiting_for_child, activity.end) <= 0)
        return "";
    return "the parent waits (w) in wait() until its child has ended";
}

// What the parent did while its child slept: a) waited for it, b) slept too, c) had ended (a
// zombie, or gone). None when the child did not sleep, or the parent did something else.
struct WhileTheChildSleeps {
    char letter;
    double slept; // seconds
};

std::optional<WhileTheChildSleeps> while_the_child_sleeps(const Activity &activity) {
    const Row *parent = row_of(activity, 0), *child = row_of(activity, 1);
    if (!activity.kernel_view || parent == nullptr || child == nullptr)
        return std::nullopt;
    Phase longest{0, 0, State::sleeping};
    for (const Phase &phase : child->phases)
        if (phase.state == State::sleeping && phase.to - phase.from > longest.to - longest.from)
            longest = phase;
    double slept = longest.to - longest.from;
    if (slept < 0.5)
        return std::nullopt;
    Durations in = time_in(*parent, longest.from, longest.to);
    double ended = in[State::ended] + (slept - total(in)); // or gone
    const std::pair<char, double> doings[] = {
        {'a', in[State::waiting_for_child]}, {'b', in[State::sleeping]}, {'c', ended}};
    for (const auto &[letter, seconds] : doings)
        if (seconds > 0.5 * slept)
            return WhileTheChildSleeps{letter, slept};
    return std::nullopt;
}

std::string parent_gone(const Activity &activity) {
    auto seen = while_the_child_sleeps(activity);
    if (!seen || seen->letter != 'c')
        return "";
    return "the parent has ended while its child sleeps (z) on";
}

std::optional<std::string> first_match(const procrun::Result &run, const std::regex &format,
                                       std::size_t group) {
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (read_as(line.text, m, format))
            return m[group];
    }
    return std::nullopt;
}

// A moment as the time column shows it, without the column's padding.
std::string seconds(double at) {
    std::string stamped = stamp(at);
    return stamped.substr(stamped.find('+'));
}

const Question after_fork_lines{
    "How many \"After fork\" lines will appear?",
    Kind::count,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const procrun::Result &run = now.run;
        auto n = std::count_if(run.lines.begin(), run.lines.end(), [](const auto &line) {
            return line.text.rfind("After fork", 0) == 0;
        });
        std::string count = std::to_string(n);
        return Shown{count, count + " \"After fork\" lines: fork returns in two processes, and "
                                    "each runs the same code from there"};
    },
    false,
    "\"After fork\" lines"};

const Question parent_is_the_forker{
    "Will the parent id the child reports be the id printed before the fork? (y/n)",
    Kind::yes_no,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const procrun::Result &run = now.run;
        auto forker = first_match(run, before_line, 1);
        auto reported = first_match(run, child_line, 1);
        if (!forker || !reported)
            return std::nullopt;
        if (*forker == *reported)
            return Shown{"y", "the child reported parent " + *reported +
                                  ", the process that forked it: its parent was still there"};
        return Shown{"n", "the child reported parent " + *reported + ", not " + *forker +
                              ": its parent had ended, and another process adopted it"};
    },
    false,
    "The child's parent is the forker"};

// spawn-words: which process printed first after the fork, in each run.
const Question first_after_fork{
    "Which process prints first after the fork? a) always the parent  b) always the child  "
    "c) it varies from run to run",
    Kind::letter,
    "abc",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        bool forked = false;
        for (const procrun::Line &line : now.run.lines) {
            std::smatch m;
            if (read_as(line.text, m, before_line)) {
                forked = true;
            } else if (forked &&
                       (read_as(line.text, m, parent_line) || line.text.rfind("world", 0) == 0)) {
                return Shown{"a", "in this run the parent printed first after the fork"};
            } else if (forked &&
                       (read_as(line.text, m, child_line) || line.text.rfind("hello", 0) == 0)) {
                return Shown{"b", "in this run the child printed first after the fork"};
            }
        }
        return std::nullopt;
    },
    false,
    "First to print after the fork",
    'c'};

const Question childs_last_number{
    "What is the last number the child prints?",
    Kind::number,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const procrun::Result &run = now.run;
        static const std::regex hello(R"(hello\((-?\d+)\))");
        std::optional<std::string> last;
        for (const procrun::Line &line : run.lines) {
            std::smatch m;
            if (read_as(line.text, m, hello))
                last = whole_number(m[1]);
        }
        if (!last)
            return std::nullopt;
        return Shown{*last, "the child's last line is hello(" + *last +
                                "): it counts down its own copy of the counter, whatever the "
                                "parent does to its copy"};
    },
    false,
    "The child's last number"};

const Question returns_first{
    "Will the program return before its child has ended? (y/n)",
    Kind::yes_no,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const procrun::Result &run = now.run;
        double child_ended = all_ended_at(run);
        if (run.exited_at < 0 || child_ended < 0)
            return std::nullopt;
        std::string when = "the program returned at " + seconds(run.exited_at) +
                           " and its child ended at " + seconds(child_ended);
        // Within a few milliseconds the two are one moment.
        if (run.exited_at < child_ended - 0.05)
            return Shown{"y", when + ": the parent does not wait for its child"};
        return Shown{"n", when + ": the parent was there until its child had ended"};
    },
    false,
    "Returns before its child has ended"};

const Question parent_while_child_sleeps{
    "While the child sleeps its three seconds, what is its parent doing? a) waiting for the "
    "child  b) sleeping too  c) it has already ended",
    Kind::letter,
    "abc",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        auto seen = while_the_child_sleeps(now.activity);
        if (!seen)
            return std::nullopt;
        char slept[64];
        snprintf(slept, sizeof slept, "while the child slept %.1f s, ", seen->slept);
        const char *because =
            seen->letter == 'a'   ? "the kernel saw the parent in wait(), waiting for it"
            : seen->letter == 'b' ? "the kernel saw the parent asleep too"
                                  : "the parent had already ended: the kernel had nothing left of "
                                    "it to show";
        return Shown{std::string(1, seen->letter), slept + std::string(because)};
    },
    false,
    "The parent while its child sleeps"};

} // namespace

std::vector<Demonstration> spawn_demonstrations() {
    return {
        {.name = "spawn-pause",
         .setting = "A process prints its id, calls fork() once, and from there prints \"After "
                    "fork\" with its id and waits in pause() until a signal ends it.",
         .watch = "\"After fork\" twice, with two different ids, one of them the id printed "
                  "before the fork: both processes run the same code, then both wait until a "
                  "signal ends them.",
         .questions = {after_fork_lines},
         .interrupt = {.after = "After fork",
                       .count = 2,
                       .note = "both processes have said \"After fork\": sending SIGINT to "
                               "the process group, as Ctrl-C would"},
         .note_at_close = "both processes have ended",
         .row_name = processes,
         .printer = process_of,
         .what_to_see = both_pause},
        {.name = "spawn-words",
         .setting = "A process forks; fork() returns 0 in the child, which reports its parent's "
                    "id and its own and says hello three times, while the parent says world "
                    "three times and waits for its child.",
         .watch = "The child says hello, the parent says world, and the parent waits for its "
                  "child: the child reports as its parent the process that forked it.",
         .questions = {parent_is_the_forker, first_after_fork},
         .row_name = processes,
         .printer = process_of,
         .what_to_see = parent_waits},
        {.name = "spawn-count",
         .setting = "A counter is set to 100, then the process forks; the child prints it three "
                    "times, counting down, and the parent three times, counting up, then waits.",
         .watch = "Each process has its own copy of memory: the child counts down from 100, the "
                  "parent counts up from 100.",
         .questions = {childs_last_number},
         .row_name = processes,
         .printer = process_of,
         .what_to_see = parent_waits},
        {.name = "spawn-nowait",
         .setting = "As spawn-count, but the parent does not wait for its child, and the child "
                    "sleeps three seconds after its last line.",
         .watch = "The parent returns at once while its child lingers three seconds, adopted by "
                  "another process.",
         .questions = {returns_first, parent_is_the_forker, parent_while_child_sleeps},
         .note_at_exit = "the program (the parent) has returned: a shell would show its prompt "
                         "now; the child lives on",
         .note_at_close = "the child has ended too",
         .row_name = processes,
         .printer = process_of,
         .what_to_see = parent_gone},
    };
}

} // namespace tour
