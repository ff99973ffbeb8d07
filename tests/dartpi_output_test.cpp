// What the two pi programs print, on a terminal and through a pipe, with the real clock.
#include "dartpi_lines.h"
#include "programs.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace cdtest;

namespace {

class DartpiOutput : public testing::TestWithParam<Output> {};

// Checks the eleven lines every run of either program prints and returns the points of the ten
// result lines, in the order printed.
std::vector<long> checked_points(const procrun::Result &run) {
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    std::vector<long> points;
    auto lines = run.texts();
    EXPECT_EQ(lines.size(), 11u);
    for (size_t i = 0; i + 1 < lines.size(); i++) {
        auto result = parse_result(lines[i]);
        EXPECT_TRUE(result) << "not a result line: " << lines[i];
        if (!result)
            continue;
        EXPECT_GE(result->estimate, 0.0);
        EXPECT_LE(result->estimate, 4.0);
        points.push_back(result->points);
    }
    if (!lines.empty()) {
        EXPECT_TRUE(is_total_line(lines.back())) << "last line: " << lines.back();
    }
    return points;
}

TEST_P(DartpiOutput, SerialRunsComeStrictlyInOrderOfSideThenTheTotal) {
    auto run = procrun::run(program("dartpi-serial", GetParam()));
    EXPECT_EQ(checked_points(run), all_squares());
}

TEST_P(DartpiOutput, ThreadsPrintEachSquareExactlyOnceThenTheTotal) {
    auto run = procrun::run(program("dartpi-threads", GetParam()));
    auto points = checked_points(run);
    std::sort(points.begin(), points.end());
    EXPECT_EQ(points, all_squares());
}

TEST_P(DartpiOutput, SerialLinesArriveAsEachRunFinishes) {
    // Line-buffered output: the first, small run is reported long before the total.
    auto run = procrun::run(program("dartpi-serial", GetParam()));
    ASSERT_EQ(run.lines.size(), 11u);
    EXPECT_LT(run.lines.front().at, run.lines.back().at);
    EXPECT_LT(run.lines.front().at, run.exited_at);
}

INSTANTIATE_TEST_SUITE_P(Outputs, DartpiOutput, testing::Values(Output::terminal, Output::pipe),
                         output_name);

} // namespace
