// junction and the two ticket programs: threads sharing a road, and a stock, under a semaphore or
// a mutex.
#include "demonstration.h"
#include "prose.h"
#include "reading.h"

#include <algorithm>
#include <cmath>
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

// A car waited for the road when its AT line came half a second or more after the second it
// waits of its own, from its INTEND line.
bool waited_for_the_road(double intend, double at) {
    return at >= intend + 1.5;
}

// The cars that waited for the road, as their lines tell.
int queued_cars(const procrun::Result &run) {
    std::map<std::string, double> intended;
    int queued = 0;
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (!read_as(line.text, m, car_line))
            continue;
        if (m[2] == "INTEND to pass")
            intended.emplace(m[1], line.at);
        else if (m[2] == "am AT" && intended.count(m[1]) != 0 &&
                 waited_for_the_road(intended[m[1]], line.at))
            queued++;
    }
    return queued;
}

std::string cars(int process, int thread) {
    return thread_row(process, thread, "car " + std::to_string(thread));
}

std::string agents(int process, int thread) {
    return thread_row(process, thread, "agent " + std::to_string(thread));
}

// A car's line names its thread by what pthread_self returned.
Printer car_of(const std::string &text) {
    std::smatch m;
    if (!read_as(text, m, car_line))
        return {};
    long long id = whole_value(m[1]).value_or(-1);
    if (id < 0)
        return {};
    return {Printer::By::descriptor, static_cast<std::uint64_t>(id), ""};
}

// What the cars that waited for the road did while they waited: each car from a second after
// its INTEND line (its own sleep) to its AT line, when that is half a second or more.
struct Waiting {
    std::vector<std::string> cars;
    Durations in{};
};

Waiting waiting_for_the_road(const Activity &activity) {
    Waiting waiting;
    if (!activity.kernel_view)
        return waiting;
    for (std::size_t r = 0; r < activity.rows.size(); r++) {
        double intend = -1, at = -1;
        for (const Printed &printed : activity.lines) {
            std::smatch m;
            if (printed.row != static_cast<int>(r) || !read_as(printed.line.text, m, car_line))
                continue;
            if (m[2] == "INTEND to pass" && intend < 0)
                intend = printed.line.at;
            else if (m[2] == "am AT" && at < 0)
                at = printed.line.at;
        }
        if (intend < 0 || !waited_for_the_road(intend, at))
            continue;
        waiting.cars.push_back(activity.rows[r].name);
        waiting.in += time_in(activity.rows[r], intend + 1, at);
    }
    return waiting;
}

// a: ran, checking again and again; b: blocked; c: slept and looked now and then; none when no
// car waited, or the waits were mostly something else.
std::optional<char> how_cars_wait(const Waiting &waiting) {
    const Durations &in = waiting.in;
    const std::pair<char, double> ways[] = {{'a', in[State::running] + in[State::ready]},
                                            {'b', in[State::blocked]},
                                            {'c', in[State::sleeping]}};
    for (const auto &[letter, seconds] : ways)
        if (seconds > 0.5 * total(waiting.in))
            return letter;
    return std::nullopt;
}

std::string names(const std::vector<std::string> &list) {
    std::string joined;
    for (std::size_t i = 0; i < list.size(); i++)
        joined += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + list[i];
    return joined;
}

std::string what_waiting_cars_did(const Activity &activity) {
    Waiting waiting = waiting_for_the_road(activity);
    auto how = how_cars_wait(waiting);
    if (!how)
        return "";
    std::string who = names(waiting.cars) + (waiting.cars.size() == 1 ? " waits" : " wait");
    if (*how == 'a')
        return who + " for the road running (#) or ready (+): checking it again and again";
    if (*how == 'c')
        return who + " for the road asleep (z), looking again now and then";
    return who + " for the road blocked (.) in the semaphore, using no processor time";
}

std::string main_sleeps_last(const Activity &activity) {
    if (!activity.kernel_view)
        return "";
    Durations main = time_in(activity.rows[0], 0, activity.end);
    if (main[State::sleeping] < 0.5)
        return "";
    return "main sleeps (z) its second after both agents have ended, then prints the stock";
}

const Question cars_at_once{
    "At most how many cars will be AT the fork at the same time?",
    Kind::count,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        int most = most_at_the_fork(now.run);
        if (most == 0)
            return std::nullopt;
        std::string n = std::to_string(most);
        std::string said =
            "at most " + n + (most == 1 ? " car was" : " cars were") + " AT the fork at once";
        if (queued_cars(now.run) == 0)
            return Shown{n, said + ", and no car had to wait for the road"};
        return Shown{n, said + ": the road has " + n + (most == 1 ? " permit" : " permits") +
                            ", the others queue"};
    },
    false,
    "Cars AT the fork at once, at most"};

const Question tickets_left{
    "How many tickets will be left at the end?",
    Kind::count,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        const procrun::Result &run = now.run;
        static const std::regex last(R"(The left ticket is (-?\d+))");
        std::smatch m;
        if (run.lines.empty() || !read_as(run.lines.back().text, m, last))
            return std::nullopt;
        auto sold = std::count_if(run.lines.begin(), run.lines.end(),
                                  [](const auto &line) { return line.text == "One ticket sold"; });
        std::string left = whole_number(m[1]);
        std::string sales = counted(sold, "sale");
        // The program starts with 2 tickets, which its lines do not say: left and sold
        // together tell that only as far as they add up to 2.
        auto stock = whole_value(left);
        std::string told = "the last line says " + left + " left, after " + sales;
        if (stock && *stock + sold == 2)
            return Shown{left, told + ": each agent read, sold and wrote back the stock while "
                                      "holding the lock"};
        // Both fit in far less than a long long: their sum does too.
        bool small = stock && std::llabs(*stock) < (1LL << 60);
        std::string together = small ? ": together " + std::to_string(*stock + sold) + ", " : ": ";
        return Shown{left, told + together +
                               "not the 2 tickets the program starts with, so a sale was "
                               "lost or the program was changed"};
    },
    false,
    "The left ticket is"};

// boxoffice-race: whether any ticket is left, by its last line.
const Question any_left{
    "Will any tickets be left at the end? (y/n)",
    Kind::yes_no,
    "",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        static const std::regex last(R"(The left ticket is (-?\d+))");
        std::smatch m;
        if (now.run.lines.empty() || !read_as(now.run.lines.back().text, m, last))
            return std::nullopt;
        std::string left = whole_number(m[1]);
        if (left.front() == '-') {
            return Shown{"n",
                         "the last line says " + left + " left: more were sold than the stock held",
                         left};
        }
        if (left == "0") {
            // No sale was written over only if the agents sold the 2000 the program starts
            // with, as their lines say.
            static const std::regex agent_sold(R"(One agent sold (\d+) tickets)");
            constexpr long long kMany = 1LL << 60;
            long long sold = 0;
            for (const procrun::Line &line : now.run.lines) {
                std::smatch sale;
                if (read_as(line.text, sale, agent_sold)) // a count past any type: "many"
                    sold = std::min(sold + std::min(whole_value(sale[1]).value_or(kMany), kMany),
                                    kMany);
            }
            return Shown{"n",
                         "the last line says 0 left" +
                             (sold == 2000 ? std::string(": this time no sale was written over, "
                                                         "the agents' sales did not overlap")
                              : sold > 0   ? ", after " + std::to_string(sold) + " sales"
                                           : std::string()),
                         left};
        }
        return Shown{"y",
                     "the last line says " + left +
                         " left: each is a sale one agent wrote over, having read the stock "
                         "before the other wrote it back",
                     left};
    },
    false,
    "Tickets left over",
    0,
    "Tickets left"};

std::string agents_race(const Activity &activity) {
    if (!activity.kernel_view ||
        std::count_if(activity.rows.begin(), activity.rows.end(), workers) < 2)
        return "";
    AtOnce running = running_at_once(activity, workers);
    if (running.least >= 2)
        return "both agents run (#) at the same time, each writing back a stock the other has "
               "already changed";
    if (running.most >= 2)
        return "the agents run (#) close together: whether at the same moment or by turns, the "
               "readings cannot tell";
    return "the agents take turns on the CPU (# and +): one is stopped between its read and its "
           "write, and the other sells meanwhile";
}

const Question how_a_car_waits{
    "While a car waits for the road, what does its thread do? a) runs, checking the road again "
    "and again  b) is blocked, using no processor time  c) sleeps and looks again now and then",
    Kind::letter,
    "abc",
    [](const Observed &now, const Observed *) -> std::optional<Shown> {
        Waiting waiting = waiting_for_the_road(now.activity);
        auto how = how_cars_wait(waiting);
        if (!how)
            return std::nullopt;
        auto share = [&](std::initializer_list<State> states) {
            double seconds = 0;
            for (State state : states)
                seconds += waiting.in[state];
            return std::to_string(std::lround(100 * seconds / total(waiting.in))) + "%";
        };
        std::string who = "the kernel saw " + names(waiting.cars) + ", waiting for the road, ";
        if (*how == 'a')
            return Shown{"a", who + "running or ready " + share({State::running, State::ready}) +
                                  " of the time: a thread that spins uses a CPU to wait"};
        if (*how == 'c')
            return Shown{"c", who + "asleep " + share({State::sleeping}) +
                                  " of the time: a thread that polls wakes now and then to look"};
        return Shown{"b", who + "blocked in the semaphore " + share({State::blocked}) +
                              " of the time: sem_wait puts the thread to sleep until a permit "
                              "is posted"};
    },
    false,
    "A waiting car's thread"};

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
         .questions = {cars_at_once, how_a_car_waits},
         .row_name = cars,
         .printer = car_of,
         .counters = {{"cars blocked on the road", State::blocked, workers}},
         .what_to_see = what_waiting_cars_did},
        {.name = "boxoffice-sem",
         .setting = "Two ticket agents, one thread each, sell from a stock of 2; reading the "
                    "stock, selling one and writing it back is guarded by a semaphore used as a "
                    "lock. A second after both agents have ended, the program prints the stock.",
         .watch = "Two sales, then the stock of 0 a second later. Without the lock both agents "
                  "could read 2 and the stock would end at 1.",
         .questions = {tickets_left},
         .row_name = agents,
         .what_to_see = main_sleeps_last},
        {.name = "boxoffice-mutex",
         .setting = "The same two agents and stock of 2, the sale guarded by a mutex instead.",
         .watch = "The same sale under a mutex: nothing to set up, nothing to tear down.",
         .questions = {tickets_left},
         .row_name = agents,
         .what_to_see = main_sleeps_last},
        {.name = "boxoffice-race",
         .setting = "The same two agents with no lock at all, each selling 1000 tickets from a "
                    "stock of 2000: each sale reads the stock, pauses 20 microseconds, and writes "
                    "it back one less. The agents start together, so their sales overlap.",
         .watch = "Each agent sold 1000, yet tickets are left: each one is a sale the other "
                  "agent wrote over. How many depends on how the agents' sales overlapped: in "
                  "step on two idle CPUs, every sale of one; taking turns on a busy CPU, or on "
                  "one (taskset -c 0), it varies from run to run.",
         .questions = {any_left},
         .row_name = agents,
         .what_to_see = agents_race},
    };
}

} // namespace tour
