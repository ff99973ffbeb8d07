// Faults the system rarely produces, injected: a thread that cannot be created, a semaphore that
// cannot be initialised, a fork that fails. Each program says what failed on standard error,
// finishes what it started, and exits 1.
#include "dartpi_lines.h"
#include "programs.h"

#include <gtest/gtest.h>
#include <regex>

using namespace cdtest;

namespace {

void expect_reported(const procrun::Result &run, const std::string &program,
                     const std::string &call) {
    EXPECT_FALSE(run.timed_out);
    EXPECT_EQ(run.term_signal, 0);
    EXPECT_EQ(run.exit_code, 1);
    const std::regex message(program + ": " + call + ": [A-Z][^\n]*\n");
    EXPECT_TRUE(std::regex_match(run.err, message)) << "stderr: " << run.err;
    EXPECT_FALSE(procrun::group_alive(run.pid));
}

struct ThreadFailure {
    std::string program;
    int k; // the failing pthread_create, counting from 1
};

// Every index of every threaded program.
std::vector<ThreadFailure> every_index() {
    std::vector<ThreadFailure> cases;
    for (auto [name, threads] :
         {std::pair{"dartpi-threads", 10}, std::pair{"junction", 5}, std::pair{"boxoffice-sem", 2},
          std::pair{"boxoffice-mutex", 2}, std::pair{"boxoffice-race", 2}})
        for (int k = 1; k <= threads; k++)
            cases.push_back({name, k});
    return cases;
}

class ThreadCreationFails : public testing::TestWithParam<ThreadFailure> {};

TEST_P(ThreadCreationFails, ReportsJoinsWhatStartedAndExitsOne) {
    auto subject = GetParam();
    auto run =
        procrun::run(thread_creation_fails_at(program(subject.program, Output::pipe), subject.k));
    expect_reported(run, subject.program, "pthread_create");
    auto lines = run.texts();
    int started = subject.k - 1; // creation stops at the first failure

    if (subject.program == "dartpi-threads") {
        ASSERT_EQ(lines.size(), static_cast<size_t>(started + 1));
        EXPECT_TRUE(is_total_line(lines.back()));
        for (int i = 0; i < started; i++)
            EXPECT_TRUE(parse_result(lines[static_cast<size_t>(i)]))
                << lines[static_cast<size_t>(i)];
    } else if (subject.program == "junction") {
        // Every car that started crossed completely.
        EXPECT_EQ(lines.size(), static_cast<size_t>(3 * started));
        for (const char *kind : {"INTEND", "AT", "PASSED"}) {
            int n = 0;
            for (const auto &line : lines)
                n += line.find(kind) != std::string::npos;
            EXPECT_EQ(n, started) << kind;
        }
    } else if (subject.program == "boxoffice-race") {
        // An agent that started alone sells its 1000 with no one to overwrite them.
        std::vector<std::string> expected(static_cast<size_t>(started),
                                          "One agent sold 1000 tickets");
        expected.push_back("The left ticket is " + std::to_string(2000 - 1000 * started));
        EXPECT_EQ(lines, expected);
    } else {
        // The agents that started sold their tickets; the final line tells what is left.
        std::vector<std::string> expected(static_cast<size_t>(started), "One ticket sold");
        expected.push_back("The left ticket is " + std::to_string(2 - started));
        EXPECT_EQ(lines, expected);
    }
}

INSTANTIATE_TEST_SUITE_P(EveryIndex, ThreadCreationFails, testing::ValuesIn(every_index()),
                         [](const auto &p) {
                             return test_name(p.param.program) + "_at_" + std::to_string(p.param.k);
                         });

class SemaphoreInitFails : public testing::TestWithParam<std::string> {};

TEST_P(SemaphoreInitFails, ReportsAndExitsOneBeforeAnyThreadStarts) {
    auto run = procrun::run(semaphores_fail(program(GetParam(), Output::pipe, 20)));
    expect_reported(run, GetParam(), "sem_init");
    EXPECT_EQ(run.err, GetParam() + ": sem_init: Function not implemented\n");
    EXPECT_TRUE(run.lines.empty()) << run.lines.front().text;
    EXPECT_LT(run.exited_at, 0.5) << "no car or agent may have started";
}

INSTANTIATE_TEST_SUITE_P(BothSemaphorePrograms, SemaphoreInitFails,
                         testing::Values("junction", "boxoffice-sem"),
                         [](const auto &p) { return test_name(p.param); });

class ForkFails : public testing::TestWithParam<std::string> {};

TEST_P(ForkFails, ReportsAfterTheFirstLineAndPrintsNoParentOrChildLines) {
    auto run = procrun::run(fork_fails(program(GetParam(), Output::pipe, 20)));
    expect_reported(run, GetParam(), "fork");
    auto lines = run.texts();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Before fork Process id:", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(EveryForkProgram, ForkFails,
                         testing::Values("spawn-pause", "spawn-words", "spawn-count",
                                         "spawn-nowait"),
                         [](const auto &p) { return test_name(p.param); });

} // namespace
