// The four fork programs: which lines, from which process, in which order, and when each
// process ends.
#include "programs.h"

#include <csignal>
#include <gtest/gtest.h>
#include <regex>
#include <unistd.h>

using namespace cdtest;

namespace {

// The ids a fork program printed, and each process's own lines in the order it printed them.
struct Forked {
    int before = -1;       // "Before fork Process id:%d"
    int parent = -1;       // "Parent Process id: %d"
    int child_parent = -1; // the first value of the child line
    int child = -1;        // the second
    std::vector<std::string> parent_lines, child_lines;
};

Forked split(const std::vector<std::string> &lines) {
    static const std::regex before(R"(Before fork Process id:(\d+))");
    static const std::regex parent(R"(Parent Process id: (\d+))");
    static const std::regex child(R"(Child process id \(my parent pid is (\d+)\):(\d+))");
    Forked f;
    std::smatch m;
    for (const auto &line : lines) {
        if (std::regex_match(line, m, before))
            f.before = std::stoi(m[1]);
        else if (std::regex_match(line, m, parent))
            f.parent = std::stoi(m[1]);
        else if (std::regex_match(line, m, child)) {
            f.child_parent = std::stoi(m[1]);
            f.child = std::stoi(m[2]);
        } else if (line.rfind("hello", 0) == 0)
            f.child_lines.push_back(line);
        else if (line.rfind("world", 0) == 0)
            f.parent_lines.push_back(line);
        else
            ADD_FAILURE() << "unexpected line: " << line;
    }
    return f;
}

// Each process's own lines keep their order: its id line comes before its three lines.
void expect_own_order(const std::vector<std::string> &lines) {
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().rfind("Before fork", 0), 0u);
    auto first = [&](const std::string &prefix) {
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i].rfind(prefix, 0) == 0)
                return i;
        return lines.size();
    };
    EXPECT_LT(first("Parent Process id"), first("world"));
    EXPECT_LT(first("Child process id"), first("hello"));
}

// A parent that does not wait may be gone before its child asks for its parent; the child then
// reports the process that adopted it, which for these runs is the test itself.
void expect_ids(const Forked &f, bool parent_may_be_gone = false) {
    EXPECT_GT(f.before, 0);
    EXPECT_EQ(f.parent, f.before);
    if (parent_may_be_gone && f.child_parent == getpid())
        EXPECT_NE(f.child_parent, f.before);
    else
        EXPECT_EQ(f.child_parent, f.before);
    EXPECT_GT(f.child, 0);
    EXPECT_NE(f.child, f.before);
}

// Runs one of the three programs whose processes take their own paths, checks what they have in
// common (nine lines, "Before fork" once, the ids, each process's own order) and returns them.
Forked checked_run(const std::string &name, Output output) {
    auto run = procrun::run(program(name, output, 20));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "");
    auto lines = run.texts();
    EXPECT_EQ(lines.size(), 9u);
    EXPECT_EQ(count(lines, lines.empty() ? "" : lines[0]), 1) << "Before fork printed twice";
    auto f = split(lines);
    expect_ids(f, name == "spawn-nowait");
    expect_own_order(lines);
    return f;
}

class Spawn : public testing::TestWithParam<Output> {};

TEST_P(Spawn, WordsChildSaysHelloParentSaysWorldThreeTimesEach) {
    auto f = checked_run("spawn-words", GetParam());
    EXPECT_EQ(f.child_lines, std::vector<std::string>(3, "hello"));
    EXPECT_EQ(f.parent_lines, std::vector<std::string>(3, "world"));
}

class Counting : public testing::TestWithParam<std::tuple<std::string, Output>> {};

TEST_P(Counting, EachProcessCountsItsOwnCopyOfTheCounter) {
    auto [name, output] = GetParam();
    auto f = checked_run(name, output);
    EXPECT_EQ(f.child_lines, (std::vector<std::string>{"hello(100)", "hello(99)", "hello(98)"}));
    EXPECT_EQ(f.parent_lines, (std::vector<std::string>{"world(100)", "world(101)", "world(102)"}));
}

INSTANTIATE_TEST_SUITE_P(BothCounters, Counting,
                         testing::Combine(testing::Values("spawn-count", "spawn-nowait"),
                                          testing::Values(Output::terminal, Output::pipe)),
                         program_output_name);

TEST_P(Spawn, NowaitParentReturnsWhileTheChildLingersThreeSeconds) {
    auto run = procrun::run(program("spawn-nowait", GetParam(), 20));
    EXPECT_EQ(run.exit_code, 0);
    ASSERT_EQ(run.lines.size(), 9u);
    EXPECT_LT(run.exited_at, 1.0); // the program, as the shell sees it, is over
    // The child's stdout stays open until it ends, about three seconds after its last line.
    double last_hello = 0;
    for (const auto &line : run.lines)
        if (line.text.rfind("hello", 0) == 0)
            last_hello = line.at;
    EXPECT_GT(run.closed_at, run.exited_at + 2.0);
    EXPECT_NEAR(run.closed_at - last_hello, 3.0, 0.6);
    EXPECT_FALSE(procrun::group_alive(run.pid));
}

TEST_P(Spawn, PauseShowsThreeLinesAtOnceAndBothProcessesEndOnSigint) {
    auto options = program("spawn-pause", GetParam(), 20);
    int after = 0;
    double interrupted_at = -1;
    options.on_line = [&](const procrun::Line &line, pid_t pgid) {
        if (line.text.rfind("After fork", 0) == 0 && ++after == 2) {
            interrupted_at = line.at;
            kill(-pgid, SIGINT); // as Ctrl-C does to the foreground process group
        }
    };
    auto run = procrun::run(options);
    EXPECT_FALSE(run.timed_out) << "spawn-pause did not end on SIGINT";
    EXPECT_EQ(run.term_signal, SIGINT);
    auto lines = run.texts();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_LT(interrupted_at, 1.0); // line-buffered: written at once, pipe or not
    static const std::regex before(R"(Before fork Process id:(\d+))");
    static const std::regex after_line(R"(After fork Process id:(\d+))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, before));
    std::string parent = m[1];
    std::vector<std::string> ids;
    for (size_t i = 1; i < 3; i++) {
        ASSERT_TRUE(std::regex_match(lines[i], m, after_line)) << lines[i];
        ids.push_back(m[1]);
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_TRUE(ids[0] == parent || ids[1] == parent);
    // Both ended: no process holds the output open any more.
    EXPECT_GE(run.closed_at, 0);
    EXPECT_FALSE(procrun::group_alive(run.pid));
}

INSTANTIATE_TEST_SUITE_P(Outputs, Spawn, testing::Values(Output::terminal, Output::pipe),
                         output_name);

} // namespace
