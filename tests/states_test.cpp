// States laid out from recorded readings: what a thread is drawn running and waiting for a CPU
// is what its totals counted, however busy the machine, however late the readings, and however
// a thread ended; never more running than counted, nor more at once than there are CPUs.
#include "proc_view.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <map>

using procview::State;

namespace {

// A reading of one thread: when, what it was doing, and its totals in milliseconds.
struct Reading {
    double ms;
    State state;
    double run_ms, wait_ms;
    std::uint64_t switches = 0;
};

std::uint64_t nanoseconds(double ms) {
    return static_cast<std::uint64_t>(std::llround(ms * 1e6));
}

procview::Thread thread(pid_t pid, pid_t tid, double since_ms, const std::vector<Reading> &readings,
                        double gone_ms = -1) {
    procview::Thread made{pid, tid, since_ms / 1000, {}, gone_ms < 0 ? -1 : gone_ms / 1000};
    for (const Reading &r : readings)
        made.samples.push_back(
            {r.ms / 1000, r.state, nanoseconds(r.run_ms), nanoseconds(r.wait_ms), r.switches});
    return made;
}

// A runnable thread read at each of `at`, its totals growing by what `grew` gives for each.
procview::Thread runnable(pid_t tid, const std::vector<double> &at,
                          const std::function<std::pair<double, double>(std::size_t)> &grew) {
    std::vector<Reading> readings;
    double run = 0, wait = 0;
    for (std::size_t k = 0; k < at.size(); k++) {
        auto [more_run, more_wait] = grew(k);
        run += more_run;
        wait += more_wait;
        readings.push_back({at[k], State::running, run, wait});
    }
    return thread(1, tid, 0, readings);
}

std::vector<double> every_ms(int from, int to) {
    std::vector<double> at;
    for (int ms = from; ms <= to; ms++)
        at.push_back(ms);
    return at;
}

struct Recorded {
    const char *name;
    procview::View view;
    std::map<pid_t, double> running_ms; // what each thread must be drawn running, where it is known
    std::map<pid_t, double> not_seen_ms;
};

procview::View view_of(int cpus, const std::vector<double> &times_ms,
                       std::vector<procview::Thread> threads,
                       std::vector<procview::ProcessClock> clocks = {}) {
    procview::View view;
    view.cpus = cpus;
    for (double ms : times_ms)
        view.times.push_back(ms / 1000);
    view.threads = std::move(threads);
    view.clocks = std::move(clocks);
    return view;
}

std::vector<Recorded> recorded() {
    std::vector<Recorded> all;
    {
        // Two threads runnable throughout while other processes held the CPUs: their totals,
        // brought up to date at each 4 ms tick, show a quarter of the time on a CPU. The last two
        // readings came after the last tick: what those 2 ms held no total told.
        auto ticks = [](std::size_t k) {
            if (k == 0)
                return std::pair{0.25, 0.75};
            return k % 4 == 0 ? std::pair{1.0, 3.0} : std::pair{0.0, 0.0};
        };
        all.push_back(
            {"other_processes_held_the_cpus",
             view_of(2, every_ms(1, 19),
                     {runnable(11, every_ms(1, 19), ticks), runnable(12, every_ms(1, 19), ticks)}),
             {{11, 4.25}, {12, 4.25}},
             {{11, 2}, {12, 2}}});
    }
    {
        // Thread 21 ran on after its last reading (4 ms) and was gone at the next (5 ms): its
        // process's clock counted 0.6 ms more of it than its totals had.
        std::vector<Reading> main, worker;
        for (int ms = 1; ms <= 10; ms++)
            main.push_back({static_cast<double>(ms), State::sleeping, 0, 0});
        for (int ms = 1; ms <= 4; ms++)
            worker.push_back({static_cast<double>(ms), State::running, static_cast<double>(ms), 0});
        all.push_back(
            {"a_thread_ended_between_readings",
             view_of(2, every_ms(1, 10), {thread(20, 20, 0, main), thread(20, 21, 0, worker, 5)},
                     {{20, {{0.005, nanoseconds(4.6)}}}}),
             {{20, 0}, {21, 4.6}},
             {{21, 0.4}}});
    }
    {
        // The readings came 20 ms late once: three threads on two CPUs ran all along.
        std::vector<double> at{1, 2, 3, 23, 24};
        auto shares = [](std::size_t k) {
            return k == 3 ? std::pair{13.2, 6.8} : std::pair{0.6, 0.4};
        };
        all.push_back({"readings_came_late",
                       view_of(2, at,
                               {runnable(31, at, shares), runnable(32, at, shares),
                                runnable(33, at, shares)}),
                       {{31, 15.6}, {32, 15.6}, {33, 15.6}},
                       {}});
    }
    {
        // Read one after the other, not at one instant, two threads' totals add up to more than
        // the one CPU held.
        std::vector<double> at{1, 2};
        auto more = [](std::size_t k) {
            return k == 0 ? std::pair{0.5, 0.5} : std::pair{0.6, 0.4};
        };
        all.push_back({"counted_more_than_the_cpus_held",
                       view_of(1, at, {runnable(41, at, more), runnable(42, at, more)}),
                       {},
                       {}});
    }
    {
        // Six threads started at different moments of one interval, each busy from its start.
        std::vector<procview::Thread> six;
        std::map<pid_t, double> expected;
        for (int i = 0; i < 6; i++) {
            double run = 0.05 * (i + 1);
            six.push_back(
                thread(1, 51 + i, 0,
                       {{1, State::running, run, 0.5}, {2, State::running, run + 0.3, 1.2}}));
            expected[51 + i] = run + 0.3;
        }
        all.push_back(
            {"threads_started_together", view_of(2, {1, 2}, std::move(six)), expected, {}});
    }
    {
        // Read ended at 2 ms, a zombie whose last switch still added 0.1 ms to its totals.
        all.push_back({"a_zombie_counted_after_it_ended",
                       view_of(2, {1, 2, 3},
                               {thread(1, 1, 0,
                                       {{1, State::running, 0.5, 0},
                                        {2, State::ended, 0.9, 0},
                                        {3, State::ended, 1.0, 0}})}),
                       {{1, 1.0}},
                       {}});
    }
    {
        // Nothing to read over the first readings: the thread came later.
        all.push_back({"a_thread_found_late",
                       view_of(2, {1, 2, 3}, {thread(1, 61, 2, {{3, State::running, 0.5, 0.2}})}),
                       {{61, 0.5}},
                       {}});
    }
    return all;
}

void PrintTo(const Recorded &recorded, std::ostream *out) {
    *out << recorded.name;
}

class Recordings : public testing::TestWithParam<Recorded> {};

TEST_P(Recordings, DrawNoMoreRunningThanCountedNorMoreAtOnceThanCpus) {
    const procview::View &view = GetParam().view;
    auto states = procview::periods(view);
    ASSERT_EQ(states.size(), view.threads.size());
    double drawn_in_all = 0, counted_in_all = 0;
    std::vector<std::pair<long long, int>> changes;
    for (std::size_t i = 0; i < states.size(); i++) {
        const procview::Thread &thread = view.threads[i];
        std::map<State, double> drawn_ms;
        for (std::size_t k = 0; k < states[i].size(); k++) {
            const procview::Period &period = states[i][k];
            EXPECT_LT(period.from, period.to);
            if (k > 0) {
                EXPECT_GE(period.from, states[i][k - 1].to - 1e-12) << "overlapping periods";
            }
            drawn_ms[period.state] += (period.to - period.from) * 1000;
            if (k > 0 && states[i][k - 1].state == State::ended) {
                EXPECT_EQ(period.state, State::ended) << "once ended, ended: " << thread.tid;
            }
            if (period.state == State::running) {
                changes.emplace_back(std::llround(period.from * 1e9), 1);
                changes.emplace_back(std::llround(period.to * 1e9), -1);
            }
        }
        double ended_ms = 0; // what the process clock counted of its ended threads
        for (const procview::ProcessClock &clock : view.clocks)
            if (clock.pid == thread.pid && !clock.ended_ns.empty())
                ended_ms = static_cast<double>(clock.ended_ns.back().second) / 1e6;
        double counted = static_cast<double>(thread.samples.back().run_ns) / 1e6;
        EXPECT_LE(drawn_ms[State::running], counted + ended_ms + 1e-6) << thread.tid;
        EXPECT_LE(drawn_ms[State::ready],
                  static_cast<double>(thread.samples.back().wait_ns) / 1e6 + 1e-6)
            << thread.tid;
        if (auto known = GetParam().running_ms.find(thread.tid);
            known != GetParam().running_ms.end()) {
            EXPECT_NEAR(drawn_ms[State::running], known->second, 1e-6) << thread.tid;
        }
        if (auto known = GetParam().not_seen_ms.find(thread.tid);
            known != GetParam().not_seen_ms.end()) {
            EXPECT_NEAR(drawn_ms[State::not_seen], known->second, 1e-6) << thread.tid;
        }
        drawn_in_all += drawn_ms[State::running];
        counted_in_all += counted + ended_ms;
    }
    EXPECT_LE(drawn_in_all, counted_in_all + 1e-6);
    std::sort(changes.begin(), changes.end());
    int now = 0, most = 0;
    for (auto [at, change] : changes)
        most = std::max(most, now += change);
    EXPECT_LE(most, view.cpus);
}

INSTANTIATE_TEST_SUITE_P(States, Recordings, testing::ValuesIn(recorded()),
                         [](const testing::TestParamInfo<Recorded> &recording) {
                             return std::string(recording.param.name);
                         });

} // namespace
