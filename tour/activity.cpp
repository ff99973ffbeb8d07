#include "activity.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <regex>

namespace tour {
namespace {

// The index of the actor called `name`, added if it is new.
int actor(Activity &activity, const std::string &name) {
    for (size_t i = 0; i < activity.actors.size(); i++)
        if (activity.actors[i].name == name)
            return static_cast<int>(i);
    activity.actors.push_back({name, {}});
    return static_cast<int>(activity.actors.size()) - 1;
}

// A phase of no length is left out, unless it is a whole life (a run, a process running), which
// shows even when its lines arrived together.
void phase(Activity &activity, int who, double from, double to, char mark, const char *name,
           bool keep_empty = false) {
    if (who >= 0 && (to > from || (keep_empty && to == from)))
        activity.actors[static_cast<size_t>(who)].phases.push_back({from, to, mark, name});
}

void junction(Activity &activity) {
    static const std::regex format(R"(\((\d+)\) I (INTEND to pass|am AT|have PASSED) the fork)");
    struct Car {
        double intend = -1, at = -1, passed = -1;
    };
    std::map<std::string, int> car_of; // thread id -> actor, numbered as they announce
    std::vector<Car> cars;
    for (Printed &printed : activity.lines) {
        std::smatch m;
        if (!std::regex_match(printed.line.text, m, format))
            continue;
        auto [known, added] = car_of.try_emplace(m[1], static_cast<int>(cars.size()));
        if (added) {
            activity.actors.push_back({"car " + std::to_string(cars.size() + 1), {}});
            cars.emplace_back();
        }
        printed.actor = known->second;
        Car &car = cars[static_cast<size_t>(printed.actor)];
        (m[2] == "INTEND to pass" ? car.intend
         : m[2] == "am AT"        ? car.at
                                  : car.passed) = printed.line.at;
    }
    std::vector<std::pair<double, int>> changes; // +1 a permit given back, -1 one taken
    for (size_t i = 0; i < cars.size(); i++) {
        Car car = cars[i];
        car.intend = std::max(car.intend, 0.0);
        int who = static_cast<int>(i);
        double waits_from = std::min(car.intend + 1, car.at >= 0 ? car.at : activity.end);
        phase(activity, who, car.intend, waits_from, '-', "announced");
        if (car.at < 0) {
            phase(activity, who, waits_from, activity.end, '.', "waiting for the road");
            continue;
        }
        phase(activity, who, waits_from, car.at, '.', "waiting for the road");
        // The permit is given back a second after PASSED.
        double released = car.passed >= 0 ? std::min(car.passed + 1, activity.end) : activity.end;
        phase(activity, who, car.at, released, '#', "on the road");
        changes.emplace_back(car.at, -1);
        changes.emplace_back(released, +1);
    }
    std::sort(changes.begin(), changes.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first < b.first : a.second > b.second; // give back first
    });
    int free = 2;
    activity.free_permits.emplace_back(0, free);
    for (auto [at, change] : changes)
        activity.free_permits.emplace_back(at, free += change);
    activity.legend = "- announced   . waiting for the road   # on the road (holding a permit)";
    activity.watch = "never more than two # in a column: the others wait (.) for a permit";
}

void pi_runs(Activity &activity, bool threads) {
    static const std::regex format(R"(The estimated PI is [\d.]+ in (\d+) times)");
    double previous = 0;
    std::vector<std::pair<long, int>> sides; // side, actor: rows go in order of side
    for (Printed &printed : activity.lines) {
        std::smatch m;
        if (!std::regex_match(printed.line.text, m, format))
            continue;
        auto side = std::lround(std::sqrt(std::stod(m[1])));
        printed.actor = actor(activity, "side " + std::to_string(side));
        // A serial run starts when the one before it has printed; the threads' all at once.
        double started = threads ? 0 : previous;
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
    activity.watch = threads
                         ? "all ten runs start at once and share the cores; small ones end first"
                         : "one run at a time: each starts when the one before has printed";
}

void processes(Activity &activity, double interrupted_at, double closed_at) {
    static const std::regex before(R"(Before fork Process id:(\d+))");
    static const std::regex after(R"(After fork Process id:(\d+))");
    static const std::regex parent_line(R"(Parent Process id: (\d+))");
    static const std::regex child_line(R"(Child process id \(my parent pid is \d+\):(\d+))");
    std::string parent_id = "?", child_id = "?";
    double forked = 0, parent_last = 0, child_last = -1;
    int parent = -1, child = -1;
    auto as_parent = [&] { return parent >= 0 ? parent : parent = actor(activity, "parent"); };
    auto as_child = [&] { return child >= 0 ? child : child = actor(activity, "child"); };
    for (Printed &printed : activity.lines) {
        const std::string &text = printed.line.text;
        std::smatch m;
        if (std::regex_match(text, m, before)) {
            parent_id = m[1];
            forked = printed.line.at;
            printed.actor = as_parent();
        } else if (std::regex_match(text, m, after)) {
            printed.actor = m[1] == parent_id ? as_parent() : as_child();
            if (m[1] != parent_id)
                child_id = m[1];
        } else if (std::regex_match(text, m, child_line) || text.rfind("hello", 0) == 0) {
            if (!m.empty())
                child_id = m[1];
            printed.actor = as_child();
        } else if (std::regex_search(text, m, parent_line) || text.rfind("world", 0) == 0) {
            printed.actor = as_parent();
        }
        if (printed.actor == parent)
            parent_last = printed.line.at;
        else if (printed.actor == child)
            child_last = printed.line.at;
    }
    as_parent();
    as_child();
    activity.actors[static_cast<size_t>(parent)].name = "parent " + parent_id;
    activity.actors[static_cast<size_t>(child)].name = "child " + child_id;
    double exited = activity.end;
    if (activity.program == "spawn-pause") {
        phase(activity, parent, 0, parent_last, '=', "running", true);
        phase(activity, parent, parent_last, interrupted_at, '_', "in pause()");
        phase(activity, child, forked, child_last, '=', "running", true);
        phase(activity, child, child_last, interrupted_at, '_', "in pause()");
        activity.legend = "= running   _ in pause(), waiting for a signal";
        activity.watch = "both processes run the same code after the fork, then both pause";
        return;
    }
    phase(activity, child, forked, child_last, '=', "running", true);
    if (activity.program == "spawn-nowait") {
        exited = activity.end = std::max(activity.end, closed_at);
        phase(activity, parent, 0, parent_last, '=', "running", true);
        phase(activity, child, child_last, exited, 's', "sleeping, its parent gone");
        activity.legend = "= running   s sleeping";
        activity.watch = "the parent returns at once; its child sleeps on after it has gone";
        return;
    }
    phase(activity, parent, 0, parent_last, '=', "running", true);
    phase(activity, parent, parent_last, exited, 'w', "waiting for its child");
    activity.legend = "= running   w waiting for its child (wait)";
    activity.watch = "the parent waits (w) until its child has ended, so it ends last";
}

} // namespace

Activity observe(const std::string &program, const procrun::Result &run, double interrupted_at) {
    Activity activity;
    activity.program = program;
    activity.end = std::max(run.exited_at, 0.0);
    for (const procrun::Line &line : run.lines)
        activity.lines.push_back({line, -1});
    if (program == "junction")
        junction(activity);
    else if (program == "dartpi-serial" || program == "dartpi-threads")
        pi_runs(activity, program == "dartpi-threads");
    else if (program.rfind("spawn-", 0) == 0)
        processes(activity, interrupted_at >= 0 ? interrupted_at : activity.end, run.closed_at);
    return activity;
}

} // namespace tour
