// The runner the tour and the tests are built on: it hears every line, ends whole process groups,
// and leaves nothing behind on any path, the failing ones included.
#include "programs.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>

using namespace cdtest;

namespace {

std::set<int> open_descriptors() {
    std::set<int> fds;
    DIR *dir = opendir("/proc/self/fd");
    while (dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            fds.insert(std::stoi(entry->d_name));
    fds.erase(dirfd(dir));
    closedir(dir);
    return fds;
}

procrun::Options shell(const std::string &script, Output output = Output::pipe) {
    procrun::Options options;
    options.argv = {"sh", "-c", script};
    options.output = output;
    options.timeout = 20;
    return options;
}

class Runner : public testing::TestWithParam<Output> {};

TEST_P(Runner, HearsALastLineWithoutItsNewlineAtTheEndOrOnATimeout) {
    for (const char *then : {"", "; sleep 30"}) {
        std::vector<std::string> heard;
        auto options = shell(std::string("printf 'first\\nlast'") + then, GetParam());
        options.timeout = 1;
        options.on_line = [&](const procrun::Line &line, pid_t) { heard.push_back(line.text); };
        procrun::run(options);
        EXPECT_EQ(heard, (std::vector<std::string>{"first", "last"})) << then;
    }
}

TEST_P(Runner, EndsTheWholeGroupOnATimeoutAndOnCancel) {
    for (bool cancel : {false, true}) {
        volatile std::sig_atomic_t cancelled = 0;
        auto options = shell("sleep 30 & echo started; sleep 30", GetParam());
        options.timeout = cancel ? 20 : 0.5;
        options.cancel = &cancelled;
        options.on_line = [&](const procrun::Line &, pid_t) { cancelled = cancel; };
        auto run = procrun::run(options);
        EXPECT_EQ(run.timed_out, !cancel);
        EXPECT_EQ(run.cancelled, cancel);
        EXPECT_LT(run.exited_at, 0) << "ended before it could exit";
        EXPECT_FALSE(procrun::group_alive(run.pid)) << "the background sleep is gone too";
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, Runner, testing::Values(Output::terminal, Output::pipe),
                         output_name);

TEST(Runner, GivesTheProgramItsInputAndThenItsEnd) {
    std::string input = "one\ntwo\n";
    auto options = shell("cat; echo end");
    options.input = &input;
    EXPECT_EQ(procrun::run(options).texts(), (std::vector<std::string>{"one", "two", "end"}));
}

TEST(Runner, AProgramThatCannotBeStartedThrowsAndLeavesNothingOpen) {
    auto before = open_descriptors();
    procrun::Options options;
    options.argv = {"/nonexistent/program"};
    EXPECT_THROW(
        {
            try {
                procrun::run(options);
            } catch (const std::runtime_error &e) {
                EXPECT_STREQ(e.what(),
                             "cannot start /nonexistent/program: No such file or directory");
                throw;
            }
        },
        std::runtime_error);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Runner, RunningOutOfDescriptorsAtAnyStepLeavesNoneOpen) {
    auto before = open_descriptors();
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    // Each limit lets the run get one descriptor further before pipe2, open or openpty fails.
    for (int spare = 0; spare < 10; spare++) {
        for (Output output : {Output::terminal, Output::pipe}) {
            rlimit tight = saved;
            tight.rlim_cur = static_cast<rlim_t>(*before.rbegin()) + 1 + static_cast<rlim_t>(spare);
            setrlimit(RLIMIT_NOFILE, &tight);
            try {
                procrun::run(shell("true", output));
            } catch (const std::runtime_error &) {
            }
            setrlimit(RLIMIT_NOFILE, &saved);
            EXPECT_EQ(open_descriptors(), before) << spare << " spare, " << name_of(output);
        }
    }
}

} // namespace
