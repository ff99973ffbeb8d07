// The pi programs under a frozen calendar clock: every run draws from the same seed, so what
// they print is fixed and can be checked against the straightforward loop.
#include "dartpi_lines.h"
#include "programs.h"
#include "straightforward.h"

#include <algorithm>
#include <cstdio>
#include <dlfcn.h>
#include <gtest/gtest.h>

using namespace cdtest;

namespace {

// The result line the straightforward loop implies for a run of side n from `seed`, drawing
// with rand_r or with `draw`.
std::string expected_result_line(unsigned seed, int n, int (*draw)(unsigned *)) {
    int hits = count_hits_plain(seed, n * n, draw);
    char line[100];
    snprintf(line, sizeof line, "The estimated PI is %lf in %d times", hits * 4.0 / (n * n), n * n);
    return line;
}

constexpr const char *kNewYear = "2026-01-01 00:00:00";
constexpr unsigned kNewYearSeconds = 1767225600;

// The ten result lines of a run, sorted (the threads print them in the order they finish).
std::vector<std::string> result_lines(const procrun::Result &run) {
    EXPECT_EQ(run.exit_code, 0) << run.err;
    auto lines = run.texts();
    EXPECT_EQ(lines.size(), 11u);
    if (!lines.empty())
        lines.pop_back(); // the total: processor time, which differs from run to run
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> expected_lines(unsigned seed, int (*draw)(unsigned *) = nullptr) {
    std::vector<std::string> lines;
    for (int side = 1000; side <= 10000; side += 1000)
        lines.push_back(expected_result_line(seed, side, draw));
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(FrozenClock, TwoInvocationsOfTheThreadsPrintTheSameEstimates) {
    auto first = procrun::run(frozen_at(program("dartpi-threads", Output::pipe), kNewYear));
    auto second = procrun::run(frozen_at(program("dartpi-threads", Output::terminal), kNewYear));
    EXPECT_EQ(result_lines(first), result_lines(second));
}

TEST(FrozenClock, SerialAndThreadsPrintTheSameTenEstimates) {
    auto serial = procrun::run(frozen_at(program("dartpi-serial", Output::pipe), kNewYear));
    auto threads = procrun::run(frozen_at(program("dartpi-threads", Output::pipe), kNewYear));
    EXPECT_EQ(result_lines(serial), result_lines(threads));
}

TEST(FrozenClock, EstimatesAreThoseOfTheStraightforwardLoopSeededWithTheTime) {
    auto serial = procrun::run(frozen_at(program("dartpi-serial", Output::pipe), kNewYear));
    EXPECT_EQ(result_lines(serial), expected_lines(kNewYearSeconds));
}

TEST(FrozenClock, ATimeBeyond32BitsSeedsWithItsLow32Bits) {
    // 2106-02-08 00:00:00 is 2^32 + 63104 seconds; 63104 seconds is 1970-01-01 17:31:44.
    auto late =
        procrun::run(frozen_at(program("dartpi-threads", Output::pipe), "2106-02-08 00:00:00"));
    auto early =
        procrun::run(frozen_at(program("dartpi-threads", Output::pipe), "1970-01-01 17:31:44"));
    auto late_lines = result_lines(late);
    EXPECT_EQ(late_lines, result_lines(early));
    EXPECT_EQ(late_lines, expected_lines(63104));
}

} // namespace

namespace {

TEST(OtherGenerator, WithAnotherRandRTheEstimatesAreThoseItImplies) {
    // The start-up check must see that rand_r is not the generator the fast kernel reproduces.
    std::string library = interposer("other_rand_r");
    void *handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto draw = reinterpret_cast<int (*)(unsigned *)>(dlsym(handle, "rand_r"));
    ASSERT_NE(draw, nullptr);

    auto options = frozen_at(program("dartpi-serial", Output::pipe), kNewYear);
    options.env.emplace_back("LD_PRELOAD", library);
    auto run = procrun::run(options);
    auto expected = expected_lines(kNewYearSeconds, draw);
    EXPECT_EQ(result_lines(run), expected);
    EXPECT_NE(expected, expected_lines(kNewYearSeconds)) << "the two generators must differ";
    dlclose(handle);
}

} // namespace
