// Output that cannot be written: every program says so on stderr, naming itself, once for each
// process that lost a line, finishes what it started and exits 1.
#include "programs.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>

using namespace cdtest;

namespace {

struct Subject {
    std::string program;
    int processes;   // each reports its own lost lines
    double runs_for; // seconds its paced work takes, if it is paced
};

const Subject kSubjects[] = {
    {"dartpi-serial", 1, 0}, {"dartpi-threads", 1, 0},   {"junction", 1, 7},
    {"boxoffice-sem", 1, 1}, {"boxoffice-mutex", 1, 1},  {"boxoffice-race", 1, 0},
    {"spawn-words", 2, 0},   {"spawn-count", 2, 0},      {"spawn-nowait", 2, 0},
    {"spawn-pause", 2, 0},   {"concurrency-tour", 1, 1},
};

std::string reason(Output output) {
    return output == Output::full_device ? "No space left on device" : "Bad file descriptor";
}

class LostOutput : public testing::TestWithParam<std::tuple<Subject, Output>> {};

TEST_P(LostOutput, IsReportedOnStderrAndTheExitStatusIsOne) {
    auto [subject, output] = GetParam();
    auto options = program(subject.program, output, 30);
    if (subject.program == "concurrency-tour")
        options.argv.push_back("boxoffice-mutex");
    if (subject.program == "spawn-pause") {
        // It never ends by itself: once both processes have told of their lost lines, end both.
        options.on_err = [processes = subject.processes](const std::string &err, pid_t pgid) {
            if (std::count(err.begin(), err.end(), '\n') == processes)
                kill(-pgid, SIGINT);
        };
    }
    auto run = procrun::run(options);

    EXPECT_FALSE(run.timed_out);
    if (subject.program == "spawn-pause") {
        EXPECT_EQ(run.term_signal, SIGINT) << "it still pauses, until a signal ends it";
    } else {
        EXPECT_EQ(run.exit_code, 1);
    }
    std::string message = subject.program + ": write error: " + reason(output) + "\n";
    std::string expected;
    for (int i = 0; i < subject.processes; i++)
        expected += message;
    EXPECT_EQ(run.err, expected);
    if (subject.runs_for > 0) {
        EXPECT_GT(run.exited_at, subject.runs_for - 0.5) << "its work was cut short";
    }
    EXPECT_FALSE(procrun::group_alive(run.pid));
}

std::string subject_name(const testing::TestParamInfo<std::tuple<Subject, Output>> &info) {
    auto [subject, output] = info.param;
    return test_name(subject.program) + (output == Output::full_device ? "_full" : "_closed");
}

INSTANTIATE_TEST_SUITE_P(EveryProgram, LostOutput,
                         testing::Combine(testing::ValuesIn(kSubjects),
                                          testing::Values(Output::full_device, Output::closed)),
                         subject_name);

TEST(LostOutput, ThePiWorkIsStillDoneWhenNoLineCanBeWritten) {
    for (const char *name : {"dartpi-serial", "dartpi-threads"}) {
        auto normal = procrun::run(program(name, Output::pipe));
        auto lost = procrun::run(program(name, Output::full_device));
        EXPECT_EQ(lost.exit_code, 1) << name;
        EXPECT_GT(lost.cpu_seconds, normal.cpu_seconds / 2) << name << ": the runs were cut short";
    }
}

} // namespace
