// junction and the two ticket programs: threads sharing a road, and a stock, under a semaphore or
// a mutex.
#include "demonstration.h"
#include "reading.h"

#include <algorithm>
#include <map>
#include <regex>

namespace tour {
namespace {

const std::regex car_line(R"(\((\d+)\) I (INTEND to pass|am AT|have PASSED) the fork)");

// The most cars that had printed AT and not yet PASSED at any one point of the run.
int most_at_the_fork(const procrun::Result &run) {
    std::map<std::string, bool> at; // thread id -> AT and not yet PASSED
    int now = 0, most = 0;
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (!read_as(line.text, m, car_line) || m[2] == "INTEND to pass")
            continue;
        bool arrives = m[2] == "am AT";
        bool &here = at[m[1]];
        if (here != arrives) {
            now += arrives ? 1 : -1;
            here = arrives;
        }
        most = std::max(most, now);
    }
    return most;
}

void read_cars(Activity &activity, const Facts &facts) {
    struct Car {
        double intend = -1, at = -1, passed = -1;
    };
    std::map<std::string, int> car_of; // thread id -> actor, numbered as they announce
    std::vector<Car> cars;
    for (Printed &printed : activity.lines) {
        std::smatch m;
        if (!read_as(printed.line.text, m, car_line))
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
    // As many permits as the run ever had cars at the fork at once: two, unless changed.
    int free = std::max(most_at_the_fork(facts.run), 1);
    activity.counter = "free permits";
    activity.counts.emplace_back(0, free);
    for (auto [at, change] : changes)
        activity.counts.emplace_back(at, free += change);
    activity.legend = "- announced   . waiting for the road   # on the road (holding a permit)";
    activity.watch = "never more than two # in a column: the others wait (.) for a permit";
}

const Question cars_at_once{
    "At most how many cars will be AT the fork at the same time?", Kind::count, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        int most = most_at_the_fork(run);
        if (most == 0)
            return std::nullopt;
        std::string n = std::to_string(most);
        return Shown{n, "at most " + n + (most == 1 ? " car was" : " cars were") +
                            " AT the fork at once: the road has " + n +
                            (most == 1 ? " permit" : " permits") + ", the others queue"};
    }};

const Question tickets_left{
    "How many tickets will be left at the end?", Kind::count, "",
    [](const procrun::Result &run, const procrun::Result *) -> std::optional<Shown> {
        static const std::regex last(R"(The left ticket is (-?\d+))");
        std::smatch m;
        if (run.lines.empty() || !read_as(run.lines.back().text, m, last))
            return std::nullopt;
        auto sold = std::count_if(run.lines.begin(), run.lines.end(),
                                  [](const auto &line) { return line.text == "One ticket sold"; });
        std::string left = whole_number(m[1]);
        std::string sales = std::to_string(sold) + (sold == 1 ? " sale" : " sales");
        // The stock starts at 2: sales and stock agree only if no sale was lost.
        auto stock = whole_value(left);
        bool whole = stock && *stock + sold == 2;
        return Shown{left, "the last line says " + left + " left, after " + sales +
                               (whole ? ": each agent read, sold and wrote back the stock "
                                        "while holding the lock"
                                      : ": the stock and the sales disagree, so an agent "
                                        "worked on a stock the other was changing")};
    }};

} // namespace

std::vector<Demonstration> sync_demonstrations() {
    return {
        {.name = "junction",
         .setting = "Five cars, one thread each, pass a fork in the road; a counting semaphore "
                    "with two permits is the road. Each car announces itself, waits a second, "
                    "takes a permit, is AT the fork for a second, has PASSED it, and gives the "
                    "permit back a second later.",
         .watch = "The AT lines come in pairs about two seconds apart, and at no point are more "
                  "than two cars AT the fork without having PASSED it.",
         .questions = {cars_at_once},
         .read = read_cars},
        {.name = "boxoffice-sem",
         .setting = "Two ticket agents, one thread each, sell from a stock of 2; reading the "
                    "stock, selling one and writing it back is guarded by a semaphore used as a "
                    "lock. A second after both agents have ended, the program prints the stock.",
         .watch = "Two sales, then the stock of 0 a second later. Without the lock both agents "
                  "could read 2 and the stock would end at 1.",
         .questions = {tickets_left}},
        {.name = "boxoffice-mutex",
         .setting = "The same two agents and stock of 2, the sale guarded by a mutex instead.",
         .watch = "The same sale under a mutex: nothing to set up, nothing to tear down.",
         .questions = {tickets_left}},
    };
}

} // namespace tour
