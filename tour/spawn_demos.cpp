// The four fork programs: a process that splits in two, and the parent that waits for its child,
// or does not.
#include "demonstration.h"
#include "reading.h"
#include "timeline.h"

#include <algorithm>
#include <regex>

namespace tour {
namespace {

const std::regex before_line(R"(Before fork Process id:(\d+))");
const std::regex after_line(R"(After fork Process id:(\d+))");
const std::regex parent_line(R"(Parent Process id: (\d+))");
const std::regex child_line(R"(Child process id \(my parent pid is (\d+)\):(\d+))");

// Who printed what: the lines of the parent and of the child, told apart by what they say.
struct Processes {
    int parent = -1, child = -1;
    double forked = 0, parent_last = 0, child_last = -1;
};

Processes read_processes(Activity &activity) {
    Processes p;
    std::string parent_id = "?", child_id = "?";
    auto as_parent = [&] {
        return p.parent >= 0 ? p.parent : p.parent = actor(activity, "parent");
    };
    auto as_child = [&] { return p.child >= 0 ? p.child : p.child = actor(activity, "child"); };
    for (Printed &printed : activity.lines) {
        const std::string &text = printed.line.text;
        std::smatch m;
        if (read_as(text, m, before_line)) {
            parent_id = m[1];
            p.forked = printed.line.at;
            printed.actor = as_parent();
        } else if (read_as(text, m, after_line)) {
            printed.actor = m[1] == parent_id ? as_parent() : as_child();
            if (m[1] != parent_id)
                child_id = m[1];
        } else if (read_as(text, m, child_line) || text.rfind("hello", 0) == 0) {
            if (!m.empty())
                child_id = m[2];
            printed.actor = as_child();
        } else if (read_as(text, m, parent_line) || text.rfind("world", 0) == 0) {
            printed.actor = as_parent();
        }
        if (printed.actor == p.parent)
            p.parent_last = printed.line.at;
        else if (printed.actor == p.child)
            p.child_last = printed.line.at;
    }
    as_parent();
    as_child();
    activity.actors[static_cast<size_t>(p.parent)].name = "parent " + parent_id;
    activity.actors[static_cast<size_t>(p.child)].name = "child " + child_id;
    return p;
}

void read_paused(Activity &activity, const Facts &facts) {
    Processes p = read_processes(activity);
    phase(activity, p.parent, 0, p.parent_last, '=', "running", true);
    phase(activity, p.parent, p.parent_last, facts.interrupted_at, '_', "in pause()");
    phase(activity, p.child, p.forked, p.child_last, '=', "running", true);
    phase(activity, p.child, p.child_last, facts.interrupted_at, '_', "in pause()");
    activity.legend = "= running   _ in pause(), waiting for a signal";
    activity.watch = "both processes run the same code after the fork, then both pause";
}

void read_waiting(Activity &activity, const Facts &) {
    Processes p = read_processes(activity);
    phase(activity, p.child, p.forked, p.child_last, '=', "running", true);
    phase(activity, p.parent, 0, p.parent_last, '=', "running", true);
    phase(activity, p.parent, p.parent_last, activity.end, 'w', "waiting for its child");
    activity.legend = "= running   w waiting for its child (wait)";
    activity.watch = "the parent waits (w) until its child has ended, so it ends last";
}

void read_not_waiting(Activity &activity, const Facts &facts) {
    Processes p = read_processes(activity);
    activity.end = std::max(activity.end, facts.run.closed_at);
    phase(activity, p.child, p.forked, p.child_last, '=', "running", true);
    phase(activity, p.parent, 0, p.parent_last, '=', "running", true);
    phase(activity, p.child, p.child_last, activity.end, 's', "sleeping, its parent gone");
    activity.legend = "= running   s sleeping";
    activity.watch = "the parent returns at once; its child sleeps on after it has gone";
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
    "How many \"After fork\" lines will appear?", Kind::count, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        auto n = std::count_if(run.lines.begin(), run.lines.end(), [](const auto &line) {
            return line.text.rfind("After fork", 0) == 0;
        });
        std::string count = std::to_string(n);
        return Shown{count, count + " \"After fork\" lines: fork returns in two processes, and "
                                    "each runs the same code from there"};
    }};

const Question parent_is_the_forker{
    "Will the parent id the child reports be the id printed before the fork? (y/n)", Kind::yes_no,
    "", [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        auto forker = first_match(run, before_line, 1);
        auto reported = first_match(run, child_line, 1);
        if (!forker || !reported)
            return std::nullopt;
        if (*forker == *reported)
            return Shown{"y", "the child reported parent " + *reported +
                                  ", the process that forked it: its parent was still there"};
        return Shown{"n", "the child reported parent " + *reported + ", not " + *forker +
                              ": its parent had ended, and another process adopted it"};
    }};

const Question childs_last_number{
    "What is the last number the child prints?", Kind::number, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
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
    }};

const Question returns_first{
    "Will the program return before its child has ended? (y/n)", Kind::yes_no, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        if (run.exited_at < 0 || run.closed_at < 0)
            return std::nullopt;
        std::string when = "the program returned at " + seconds(run.exited_at) +
                           " and its child ended at " + seconds(run.closed_at);
        // Within a few milliseconds the two are one moment: the child's end closes the output.
        if (run.exited_at < run.closed_at - 0.05)
            return Shown{"y", when + ": the parent does not wait for its child"};
        return Shown{"n", when + ": the parent was there until its child had ended"};
    }};

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
                       .note = "both processes are in pause(): sending SIGINT to the process "
                               "group, as Ctrl-C would"},
         .note_at_close = "both processes have ended",
         .read = read_paused},
        {.name = "spawn-words",
         .setting = "A process forks; fork() returns 0 in the child, which reports its parent's "
                    "id and its own and says hello three times, while the parent says world "
                    "three times and waits for its child.",
         .watch = "The child says hello, the parent says world, and the parent waits for its "
                  "child: the child reports as its parent the process that forked it.",
         .questions = {parent_is_the_forker},
         .read = read_waiting},
        {.name = "spawn-count",
         .setting = "A counter is set to 100, then the process forks; the child prints it three "
                    "times, counting down, and the parent three times, counting up, then waits.",
         .watch = "Each process has its own copy of memory: the child counts down from 100, the "
                  "parent counts up from 100.",
         .questions = {childs_last_number},
         .read = read_waiting},
        {.name = "spawn-nowait",
         .setting = "As spawn-count, but the parent does not wait for its child, and the child "
                    "sleeps three seconds after its last line.",
         .watch = "The parent returns at once while its child lingers three seconds, adopted by "
                  "another process.",
         .questions = {returns_first, parent_is_the_forker},
         .note_at_exit = "the program (the parent) has returned: a shell would show its prompt "
                         "now; the child lives on",
         .note_at_close = "the child has ended too",
         .read = read_not_waiting},
    };
}

} // namespace tour
