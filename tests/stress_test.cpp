// Under load: many runs at once, and readers that stop reading early.
#include "programs.h"

#include <csignal>
#include <future>
#include <gtest/gtest.h>

using namespace cdtest;

namespace {

// Starts `runs` runs of the program at once and hands each result to `check`.
template <class Check> void all_at_once(const std::string &name, int runs, Check check) {
    std::vector<std::future<procrun::Result>> started;
    started.reserve(static_cast<size_t>(runs));
    for (int i = 0; i < runs; i++)
        started.push_back(std::async(
            std::launch::async, [&] { return procrun::run(program(name, Output::pipe, 120)); }));
    for (auto &run : started)
        check(run.get());
}

class TicketsAtOnce : public testing::TestWithParam<std::string> {};

TEST_P(TicketsAtOnce, TwoHundredRunsNeverLoseAnUpdate) {
    all_at_once(GetParam(), 200, [](const procrun::Result &run) {
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.texts(), (std::vector<std::string>{"One ticket sold", "One ticket sold",
                                                         "The left ticket is 0"}));
    });
}

INSTANTIATE_TEST_SUITE_P(BothLocks, TicketsAtOnce,
                         testing::Values("boxoffice-sem", "boxoffice-mutex"),
                         [](const auto &p) { return test_name(p.param); });

TEST(JunctionAtOnce, TwentyRunsNeverHaveMoreThanTwoCarsAtTheFork) {
    all_at_once("junction", 20, [](const procrun::Result &run) {
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.lines.size(), 15u);
        int at_the_fork = 0, most = 0;
        for (const auto &line : run.lines) {
            if (line.text.find(" I am AT ") != std::string::npos)
                at_the_fork++;
            if (line.text.find(" I have PASSED ") != std::string::npos)
                at_the_fork--;
            most = std::max(most, at_the_fork);
        }
        EXPECT_LE(most, 2);
    });
}

TEST(SpawnCountAtOnce, FiftyRunsAlwaysShowPrivateCounters) {
    const std::vector<std::string> child = {"hello(100)", "hello(99)", "hello(98)"};
    const std::vector<std::string> parent = {"world(100)", "world(101)", "world(102)"};
    all_at_once("spawn-count", 50, [&](const procrun::Result &run) {
        EXPECT_EQ(run.exit_code, 0);
        std::vector<std::string> hello, world;
        for (const auto &line : run.texts()) {
            if (line.rfind("hello", 0) == 0)
                hello.push_back(line);
            if (line.rfind("world", 0) == 0)
                world.push_back(line);
        }
        EXPECT_EQ(hello, child);
        EXPECT_EQ(world, parent);
    });
}

// `program | head -n 1` in bash: returns the program's exit status (128 + signal when a signal
// ended it) and the run.
std::pair<int, procrun::Result> read_one_line_of(const std::string &name) {
    procrun::Options options;
    options.argv = {"bash", "-c", "\"$0\" | head -n 1; echo \"status ${PIPESTATUS[0]}\" >&2",
                    bin(name)};
    options.timeout = 30;
    auto run = procrun::run(options);
    int status = -1;
    sscanf(run.err.c_str(), "status %d", &status);
    return {status, run};
}

class EarlyClose : public testing::TestWithParam<std::string> {};

TEST_P(EarlyClose, TheProgramEndsPromptlyWhenItsReaderIsGone) {
    auto [status, run] = read_one_line_of(GetParam());
    EXPECT_EQ(run.lines.size(), 1u);
    // The next line written to the closed pipe raises SIGPIPE.
    EXPECT_EQ(status, 128 + SIGPIPE) << run.err;
    EXPECT_FALSE(run.timed_out);
    EXPECT_LT(run.exited_at, 2.0);
}

// The programs that go on writing after their first lines. (spawn-pause writes its three lines
// at once and then waits for a signal, so with a reader gone it waits as it would anyway.)
INSTANTIATE_TEST_SUITE_P(GoOnWriting, EarlyClose,
                         testing::Values("dartpi-serial", "dartpi-threads", "junction"),
                         [](const auto &p) { return test_name(p.param); });

} // namespace
