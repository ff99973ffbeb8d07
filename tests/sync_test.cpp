// junction and the two ticket programs: what they print, and when.
#include "programs.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <map>
#include <regex>

using namespace cdtest;

namespace {

// Sleeps may overrun on a loaded machine; the pacing is seconds apart, so this is still sharp.
constexpr double kSlack = 0.6;

struct CarLine {
    std::string id;
    std::string kind; // INTEND, AT or PASSED
    double at;
};

std::vector<CarLine> car_lines(const procrun::Result &run) {
    static const std::regex format(
        R"(\((\d+)\) (?:I (INTEND) to pass|I am (AT)|I have (PASSED)) the fork)");
    std::vector<CarLine> cars;
    for (const auto &line : run.lines) {
        std::smatch m;
        EXPECT_TRUE(std::regex_match(line.text, m, format)) << "unexpected line: " << line.text;
        if (m.empty())
            continue;
        std::string kind = m[2].matched ? "INTEND" : m[3].matched ? "AT" : "PASSED";
        cars.push_back({m[1], kind, line.at});
    }
    return cars;
}

class Junction : public testing::TestWithParam<Output> {};

TEST_P(Junction, EveryCarIntendsThenIsAtThenHasPassed) {
    auto run = procrun::run(program("junction", GetParam()));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    auto cars = car_lines(run);
    ASSERT_EQ(cars.size(), 15u);
    std::map<std::string, std::string> seen; // id -> the kinds in the order printed
    for (const auto &car : cars)
        seen[car.id] += car.kind + " ";
    EXPECT_EQ(seen.size(), 5u);
    for (const auto &[id, kinds] : seen)
        EXPECT_EQ(kinds, "INTEND AT PASSED ") << "car " << id;
}

TEST_P(Junction, NeverMoreThanTwoCarsAtTheFork) {
    auto cars = car_lines(procrun::run(program("junction", GetParam())));
    int at_the_fork = 0;
    for (const auto &car : cars) {
        at_the_fork += car.kind == "AT" ? 1 : car.kind == "PASSED" ? -1 : 0;
        EXPECT_LE(at_the_fork, 2);
        EXPECT_GE(at_the_fork, 0);
    }
}

TEST_P(Junction, CarsAnnounceAtOnceThenCrossTwoAtATimeTwoSecondsApart) {
    auto run = procrun::run(program("junction", GetParam()));
    auto cars = car_lines(run);
    ASSERT_EQ(cars.size(), 15u);
    for (size_t i = 0; i < 5; i++) {
        EXPECT_EQ(cars[i].kind, "INTEND");
        EXPECT_NEAR(cars[i].at, 0.0, kSlack);
    }
    std::vector<double> at_times;
    for (const auto &car : cars)
        if (car.kind == "AT")
            at_times.push_back(car.at);
    ASSERT_EQ(at_times.size(), 5u);
    const double expected[] = {1, 1, 3, 3, 5};
    for (size_t i = 0; i < 5; i++)
        EXPECT_NEAR(at_times[i], expected[i], kSlack) << "AT line " << i;
    EXPECT_NEAR(run.exited_at, 7.0, kSlack);
}

INSTANTIATE_TEST_SUITE_P(Outputs, Junction, testing::Values(Output::terminal, Output::pipe),
                         output_name);

class Tickets : public testing::TestWithParam<std::tuple<std::string, Output>> {};

TEST_P(Tickets, BothAgentsSellAndTheStockEndsAtZeroASecondLater) {
    auto [name, output] = GetParam();
    auto run = procrun::run(program(name, output));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.texts(), (std::vector<std::string>{"One ticket sold", "One ticket sold",
                                                     "The left ticket is 0"}));
    ASSERT_EQ(run.lines.size(), 3u);
    EXPECT_LT(run.lines[1].at, kSlack);
    EXPECT_NEAR(run.lines[2].at - run.lines[1].at, 1.0, kSlack);
}

INSTANTIATE_TEST_SUITE_P(BothLocks, Tickets,
                         testing::Combine(testing::Values("boxoffice-sem", "boxoffice-mutex"),
                                          testing::Values(Output::terminal, Output::pipe)),
                         program_output_name);

// Without the lock: updates are lost for real, on two CPUs and taking turns on one, run after run
// (a sanitizer build of it reports nothing: the stock is read and written atomically, apart).
class Race : public testing::TestWithParam<bool> {};

TEST_P(Race, TwoAgentsSellingWithNoLockLoseSalesRunAfterRun) {
    int lost = 0;
    for (int i = 0; i < 10; i++) {
        auto options = program("boxoffice-race", i % 2 == 0 ? Output::terminal : Output::pipe);
        if (GetParam())
            options.prefix = {"taskset", "-c", "0"};
        auto run = procrun::run(options);
        EXPECT_EQ(run.exit_code, 0);
        EXPECT_EQ(run.err, "");
        auto lines = run.texts();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(count(lines, "One agent sold 1000 tickets"), 2);
        static const std::regex last(R"(The left ticket is (\d+))");
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[2], m, last)) << lines[2];
        lost += std::stoi(m[1]) > 0;
        EXPECT_LT(run.exited_at, 1.0);
    }
    EXPECT_GE(lost, 8) << "runs of 10 that lost a sale";
}

INSTANTIATE_TEST_SUITE_P(OnTwoCpusAndOnOne, Race, testing::Bool(),
                         [](const testing::TestParamInfo<bool> &pinned) {
                             return std::string(pinned.param ? "pinned_to_one" : "all");
                         });

} // namespace
