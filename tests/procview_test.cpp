// The sampler against a program whose threads do known things: each classified as the kernel has
// it, from every source the kernel may leave readable, and never more running than CPUs.
#include "programs.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <tuple>

using namespace cdtest;
using procview::State;

namespace {

procrun::Result sampled(std::vector<std::string> args, procview::Sources sources = {},
                        double every = 0.001, std::vector<std::string> prefix = {}) {
    procrun::Options options;
    options.argv = {CD_HELPER_DIR "/thread_states"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.prefix = std::move(prefix);
    options.timeout = 20;
    options.sample_every = every;
    options.sources = std::move(sources);
    return procrun::run(options);
}

// The share of [from, to) each state takes in a thread's periods.
std::map<State, double> shares(const std::vector<procview::Period> &periods, double from,
                               double to) {
    std::map<State, double> share;
    for (const procview::Period &period : periods)
        share[period.state] +=
            std::max(0.0, std::min(to, period.to) - std::max(from, period.from)) / (to - from);
    return share;
}

// The most threads running at one moment.
int most_running(const std::vector<std::vector<procview::Period>> &states) {
    std::vector<std::pair<long long, int>> changes;
    for (const auto &periods : states) {
        for (const procview::Period &period : periods) {
            if (period.state == State::running) {
                changes.emplace_back(std::llround(period.from * 1e9), 1);
                changes.emplace_back(std::llround(period.to * 1e9), -1);
            }
        }
    }
    std::sort(changes.begin(), changes.end());
    int now = 0, most = 0;
    for (auto [at, change] : changes)
        most = std::max(most, now += change);
    return most;
}

struct Source {
    const char *name;
    procview::Sources sources;
};

class EachSource : public testing::TestWithParam<Source> {};

TEST_P(EachSource, ClassifiesSpinningSleepingBlockedAndWaitingForAChild) {
    auto run = sampled({"states"}, GetParam().sources);
    ASSERT_EQ(run.exit_code, 0);
    const procview::View &view = run.view;
    ASSERT_EQ(view.threads.size(), 5u) << "main, three threads, the child";
    auto states = procview::periods(view);
    bool calls = GetParam().sources.syscall || GetParam().sources.wchan;
    State off = State::waiting; // not runnable, in a call that could not be read
    // By creation: main, the spinner, the sleeper, the blocked one; then the child process.
    const std::pair<std::vector<State>, const char *> expected[] = {
        {{calls ? State::waiting_for_child : off}, "main"},
        {{State::running, State::ready}, "spinner"},
        {{calls ? State::sleeping : off}, "sleeper"},
        {{calls ? State::blocked : off}, "blocked"},
        {{calls ? State::sleeping : off}, "child"}};
    for (std::size_t i = 0; i < 5; i++) {
        auto share = shares(states[i], 0.15, 0.45);
        double seen = 0;
        for (State state : expected[i].first)
            seen += share[state];
        EXPECT_GT(seen, 0.8) << expected[i].second << " in "
                             << procview::name(expected[i].first[0]);
    }
    EXPECT_NE(view.threads[4].pid, view.threads[0].pid) << "the child is a process of its own";
    EXPECT_EQ(view.calls_known, calls);
    EXPECT_EQ(view.unreadable.empty(), calls) << view.unreadable;
    // The stack pointer of a blocked call, where the syscall file tells it, locates its stack.
    EXPECT_EQ(view.threads[2].stack_to != 0, GetParam().sources.syscall);
}

INSTANTIATE_TEST_SUITE_P(Sources, EachSource,
                         testing::Values(Source{"syscall", {}},
                                         Source{"wchan", {"/proc", false, true}},
                                         Source{"neither", {"/proc", false, false}}),
                         [](const testing::TestParamInfo<Source> &source) {
                             return std::string(source.param.name);
                         });

TEST(Sampler, AWaitForNoDescriptorsWithATimeoutIsASleep) {
    auto run = sampled({"timed"});
    ASSERT_EQ(run.exit_code, 0);
    ASSERT_EQ(run.view.threads.size(), 5u) << "main and four waiting threads";
    auto states = procview::periods(run.view);
    const std::pair<State, const char *> expected[] = {{State::sleeping, "select"},
                                                       {State::sleeping, "poll"},
                                                       {State::sleeping, "epoll_wait"},
                                                       {State::in_io, "select on a pipe"}};
    for (std::size_t i = 0; i < 4; i++)
        EXPECT_GT(shares(states[i + 1], 0.15, 0.45)[expected[i].first], 0.8) << expected[i].second;
}

TEST(Sampler, WithoutProcSaysSoAndTheRunGoesOn) {
    auto run = sampled({"spin", "1"}, {"/nonexistent/proc", true, true});
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(run.view.threads.empty());
    EXPECT_NE(run.view.unreadable.find("/nonexistent/proc"), std::string::npos);
}

TEST(Sampler, AThreadListedButGoneBeforeItsFilesOpenIsCountedAsMissedNotLost) {
    // A made-up /proc: thread 4243 is in its process's task list, but its files are gone.
    namespace fs = std::filesystem;
    fs::path proc = fs::path(testing::TempDir()) / "procview-gone";
    fs::remove_all(proc);
    fs::create_directories(proc / "4242/task/4242");
    fs::create_directories(proc / "4242/task/4243");
    std::ofstream(proc / "4242/task/4242/stat") << "4242 (x) S 1 4242 4242\n";
    std::ofstream(proc / "4242/task/4242/schedstat") << "1 2 3\n";
    procview::Sampler sampler(4242, {proc.string(), false, false});
    sampler.sample();
    procview::View view = sampler.take();
    ASSERT_EQ(view.threads.size(), 1u);
    ASSERT_EQ(view.missed.size(), 1u);
    EXPECT_EQ(view.missed[0].tid, 4243);
    fs::remove_all(proc);
}

TEST(Sampler, ThreadsBeyondThoseFollowedAreSaidNotToBeRead) {
    // A made-up /proc: a process of 70 threads.
    namespace fs = std::filesystem;
    fs::path proc = fs::path(testing::TempDir()) / "procview-many";
    fs::remove_all(proc);
    for (int tid = 4242; tid < 4242 + 70; tid++) {
        fs::path task = proc / "4242/task" / std::to_string(tid);
        fs::create_directories(task);
        std::ofstream(task / "stat") << tid << " (x) S 1 4242 4242\n";
        std::ofstream(task / "schedstat") << "1 2 3\n";
    }
    procview::Sampler sampler(4242, {proc.string(), false, false});
    sampler.sample();
    procview::View view = sampler.take();
    EXPECT_EQ(view.threads.size(), 64u);
    EXPECT_FALSE(view.all_followed) << "what is counted of them is only the least there were";
    EXPECT_EQ(view.unreadable.rfind("the threads beyond the first 64 (only those are followed)", 0),
              0u)
        << "as it reads after \"could not read\": " << view.unreadable;
    fs::remove_all(proc);
}

TEST(Sampler, AnIdHandedOutThatNoReadingPlacedAndThatIsGoneIsSaid) {
    // A made-up /proc: the program's one thread, the last id handed out, and other programs'.
    namespace fs = std::filesystem;
    fs::path proc = fs::path(testing::TempDir()) / "procview-ids";
    for (auto [last, others, placed] : {std::tuple{"4242", std::vector<int>{}, true},
                                        {"4244", {4243, 4244}, true}, // another's, still there
                                        {"4245", {4244}, false}}) {   // 4243, 4245 gone
        fs::remove_all(proc);
        fs::create_directories(proc / "4242/task/4242");
        fs::create_directories(proc / "sys/kernel");
        std::ofstream(proc / "4242/task/4242/stat") << "4242 (x) S 1 4242 4242\n";
        std::ofstream(proc / "4242/task/4242/schedstat") << "1 2 3\n";
        std::ofstream(proc / "sys/kernel/ns_last_pid") << last << "\n";
        for (int other : others)
            fs::create_directories(proc / std::to_string(other));
        procview::Sampler sampler(4242, {proc.string(), false, false});
        sampler.sample();
        EXPECT_EQ(sampler.take().all_placed, placed) << "ids up to " << last;
    }
    fs::remove_all(proc);
}

TEST(Sampler, ThreadsAndProcessesThatComeAndGoBetweenReadingsLeaveConsistentPeriods) {
    auto run = sampled({"churn"}, {}, 0.02);
    ASSERT_EQ(run.exit_code, 0);
    ASSERT_FALSE(run.view.threads.empty());
    EXPECT_EQ(run.view.threads[0].tid, run.pid);
    auto states = procview::periods(run.view);
    for (std::size_t i = 0; i < states.size(); i++) {
        const procview::Thread &thread = run.view.threads[i];
        for (std::size_t k = 0; k < states[i].size(); k++) {
            const procview::Period &period = states[i][k];
            EXPECT_LT(period.from, period.to);
            EXPECT_GE(period.from, thread.since - 1e-9);
            double end = thread.gone_at > 0 ? thread.gone_at : thread.samples.back().at;
            EXPECT_LE(period.to, end + 1e-9);
            if (k > 0) {
                EXPECT_GE(period.from, states[i][k - 1].to - 1e-9) << "overlapping periods";
            }
        }
    }
    EXPECT_LE(most_running(states), run.view.cpus);
}

class OnCpus : public testing::TestWithParam<bool> {};

TEST_P(OnCpus, NeverMoreThreadsRunningAtOnceThanCpusAndAllOfThemBusy) {
    bool pinned = GetParam();
    auto run = sampled({"spin", "6"}, {}, 0.001,
                       pinned ? std::vector<std::string>{"taskset", "-c", "0"}
                              : std::vector<std::string>{});
    ASSERT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.view.cpus, pinned ? 1 : static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    EXPECT_EQ(most_running(procview::periods(run.view)), std::min(run.view.cpus, 6));
    EXPECT_EQ(run.view.threads.size(), 7u) << "main and every spinner, however busy the CPUs";
}

INSTANTIATE_TEST_SUITE_P(PinnedOrNot, OnCpus, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &pinned) {
                             return std::string(pinned.param ? "pinned_to_one" : "all");
                         });

} // namespace
