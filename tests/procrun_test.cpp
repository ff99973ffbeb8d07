// The runner the tour and the tests are built on: it hears every line, ends whole process groups,
// and leaves nothing behind on any path, the failing ones included.
#include "programs.h"

#include <algorithm>
#include <dirent.h>
#include <gtest/gtest.h>
#include <set>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/time.h>

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
        EXPECT_NEAR(run.stopped_at, cancel ? 0 : 0.5, 0.4) << "when it was cut short";
        EXPECT_FALSE(procrun::group_alive(run.pid)) << "the background sleep is gone too";
    }
}

INSTANTIATE_TEST_SUITE_P(Outputs, Runner, testing::Values(Output::terminal, Output::pipe),
                         output_name);

TEST(Runner, KeepsTheFirstAndLastLinesAskedForAndCountsTheRestHandingOnEvery) {
    for (std::size_t keep : {0u, 1u, 4u}) {
        auto options = shell("seq 10");
        options.keep_lines = keep;
        int heard = 0;
        options.on_line = [&](const procrun::Line &, pid_t) { heard++; };
        auto run = procrun::run(options);
        EXPECT_EQ(heard, 10);
        auto expected =
            keep == 0 ? std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}
            : keep == 1 ? std::vector<std::string>{}
                        : std::vector<std::string>{"1", "2", "9", "10"};
        EXPECT_EQ(run.texts(), expected) << keep;
        EXPECT_EQ(run.lines_not_kept, 10 - expected.size()) << keep;
    }
}

TEST(Runner, SignalsArrivingAsAProgramStartsNeitherHideAFailedStartNorLeaveItRunning) {
    // A storm of signals whose handler does not restart calls, as the tour's Ctrl-C handler.
    struct sigaction storm {
    }, saved{};
    storm.sa_handler = [](int) {};
    sigaction(SIGALRM, &storm, &saved);
    itimerval every{{0, 50}, {0, 50}}, off{};
    setitimer(ITIMER_REAL, &every, nullptr);
    int refused = 0, ran = 0;
    for (int i = 0; i < 20; i++) {
        procrun::Options missing;
        missing.argv = {"/nonexistent/program"};
        try {
            procrun::run(missing);
        } catch (const std::runtime_error &e) {
            refused += std::string(e.what()).rfind("cannot start", 0) == 0;
        }
        auto run = procrun::run(shell("echo ran"));
        ran += run.exit_code == 0 && run.texts() == std::vector<std::string>{"ran"};
        EXPECT_FALSE(procrun::group_alive(run.pid));
    }
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &saved, nullptr);
    EXPECT_EQ(refused, 20) << "a failed start taken for a start";
    EXPECT_EQ(ran, 20);
}

TEST(Runner, GivesTheProgramItsInputAndThenItsEnd) {
    std::string input = "one\ntwo\n";
    auto options = shell("cat; echo end");
    options.input = &input;
    EXPECT_EQ(procrun::run(options).texts(), (std::vector<std::string>{"one", "two", "end"}));
}

TEST(Runner, ALineOfTensOfMegabytesKeepsItsStartAndSaysHowMuchWasCut) {
    // 32 MB without a newline, as a progress bar redrawn with \r makes: read once, kept bounded.
    auto run = procrun::run(shell("head -c 33554432 /dev/zero | tr '\\0' x; echo; echo end"));
    ASSERT_EQ(run.exit_code, 0);
    auto lines = run.texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find_first_not_of('x'), 1u << 20) << "its first megabyte";
    EXPECT_EQ(lines[0].substr(1u << 20), " [32505856 more bytes not kept]");
    EXPECT_EQ(lines[1], "end");
    rusage own{};
    getrusage(RUSAGE_SELF, &own);
    EXPECT_LT(own.ru_maxrss, 64 * 1024) << "kilobytes, the runner's";
}

TEST(Runner, SamplesLessWhileEverythingSleepsAndAtOnceWhenTheProgramPrints) {
    auto options = shell("sleep 0.5; echo woke");
    options.sample_every = 0.001;
    auto run = procrun::run(options);
    ASSERT_EQ(run.texts(), std::vector<std::string>{"woke"});
    const std::vector<double> &times = run.view.times;
    auto readings = [&](double from, double to) {
        return std::count_if(times.begin(), times.end(),
                             [&](double at) { return at >= from && at < to; });
    };
    EXPECT_LT(readings(0.1, 0.45), 120) << "not every millisecond while all sleep";
    double printed = run.lines.at(0).at;
    EXPECT_GE(readings(printed, printed + 0.005), 1) << "a reading as the line arrived";
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
    // Each limit lets the run get one descriptor further before pipe2, open or openpty fails; the
    // last ones leave enough for it to run. A limit leaves `spare` descriptors free, counting the
    // gaps below the highest one open.
    auto leaving = [&](int spare) {
        int fd = 0;
        for (int free = 0; before.count(fd) != 0 || free++ < spare; fd++) {
        }
        return static_cast<rlim_t>(fd);
    };
    for (Output output : {Output::terminal, Output::pipe}) {
        std::vector<std::string> failures;
        bool ran = false;
        for (int spare = 0; spare < 10; spare++) {
            rlimit tight = saved;
            tight.rlim_cur = leaving(spare);
            setrlimit(RLIMIT_NOFILE, &tight);
            try {
                ran = procrun::run(shell("true", output)).exit_code == 0;
            } catch (const std::runtime_error &e) {
                setrlimit(RLIMIT_NOFILE, &saved); // a sanitizer's checks need descriptors too
                failures.emplace_back(e.what());
            }
            setrlimit(RLIMIT_NOFILE, &saved);
            EXPECT_EQ(open_descriptors(), before) << spare << " spare, " << name_of(output);
        }
        EXPECT_GE(failures.size(), 3u) << "too few steps ran out: " << name_of(output);
        for (const auto &failure : failures)
            EXPECT_NE(failure.find(": Too many open files"), std::string::npos) << failure;
        EXPECT_TRUE(ran) << "never had enough to run: " << name_of(output);
    }
}

} // namespace
