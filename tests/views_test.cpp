// The tour's timelines, trace and judgements, drawn from runs made up here: what they show is a
// function of the lines a program printed and of what the kernel showed of its threads, so no
// program needs to run.
#include "demonstration.h"
#include "prose.h"
#include "quiz.h"
#include "timeline.h"
#include "trace.h"

#include <csignal>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

namespace {

using procview::State;

procrun::Result made_up(std::vector<procrun::Line> lines, double exited_at, double closed_at = -1) {
    procrun::Result run;
    run.pid = 100;
    run.lines = std::move(lines);
    run.exited_at = exited_at;
    run.closed_at = closed_at < 0 ? exited_at : closed_at;
    run.exit_code = 0;
    return run;
}

// A thread as the kernel might show it: from each moment on, a state, until it is gone.
struct Life {
    pid_t pid, tid;
    std::vector<std::pair<double, State>> states;
    double until;
    std::uint64_t stack_from = 0; // its stack mapping, 8 MB from here
};

// The kernel's view of those threads, read every millisecond: a runnable thread reads as
// running, its totals growing on a CPU or waiting for one.
procview::View made_up_view(const std::vector<Life> &lives, int cpus = 2) {
    procview::View view;
    view.cpus = cpus;
    double end = 0;
    for (const Life &life : lives)
        end = std::max(end, life.until);
    for (int k = 1; k * 0.001 <= end + 1e-9; k++)
        view.times.push_back(k * 0.001);
    for (const Life &life : lives) {
        procview::Thread thread{life.pid, life.tid, life.states.front().first, {}, 0, 0};
        if (life.stack_from != 0) {
            thread.stack_from = life.stack_from;
            thread.stack_to = life.stack_from + (8u << 20);
        }
        std::uint64_t run = 0, wait = 0;
        auto state_at = [&](double at) {
            State state = life.states.front().second;
            for (const auto &[from, s] : life.states)
                if (from <= at)
                    state = s;
            return state;
        };
        for (double at : view.times) {
            if (at <= life.states.front().first || at > life.until + 1e-9)
                continue;
            State was = state_at(at - 0.0005);
            run += was == State::running ? 1000000 : 0;
            wait += was == State::ready ? 1000000 : 0;
            State now = state_at(at);
            thread.samples.push_back({at, now == State::ready ? State::running : now, run, wait});
        }
        view.threads.push_back(thread);
    }
    return view;
}

tour::Observed observed(const char *program, procrun::Result run) {
    tour::Activity activity = tour::observe(*tour::find_demonstration(program), run);
    return {std::move(run), std::move(activity)};
}

// The rows of a drawn timeline: name -> what lies between the bars.
std::map<std::string, std::string> rows(const std::string &drawn) {
    static const std::regex row(R"(  (\S+(?: \S+)*?) +\|([^|]*)\|)");
    std::map<std::string, std::string> found;
    std::istringstream lines(drawn);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, row))
            found[m[1]] = m[2];
    }
    return found;
}

constexpr std::uint64_t kStack = 0x7f0000000000;

// Where car k's stack lies, and the descriptor pthread_self gives in it, as the car prints it.
std::uint64_t stack_of(int car) {
    return kStack + static_cast<std::uint64_t>(car) * (16u << 20);
}
std::string descriptor_of(int car) {
    std::string printed = "(";
    return printed.append(std::to_string((stack_of(car) + (8u << 20) - 0x940) & 0xFFFFFFFF))
        .append(")");
}

// junction, as the kernel shows it: cars 1 and 2 sleep a second and take the road, cars 3, 4
// and 5 wait for it `waiting` (blocked in the semaphore, spinning or polling) until second 3 or
// 5. Each car's lines give its descriptor, which lies in its stack mapping.
tour::Observed junction(State waiting) {
    std::vector<Life> lives{{100, 100, {{0, State::running}, {0.002, State::blocked}}, 7}};
    std::vector<procrun::Line> lines;
    for (int car = 1; car <= 5; car++) {
        std::uint64_t stack = stack_of(car);
        std::string id = descriptor_of(car) + " ";
        double at = car <= 2 ? 1 : car <= 4 ? 3 : 5;
        std::vector<std::pair<double, State>> states{{0.001, State::sleeping}};
        if (car == 1) // a moment blocked on standard output's lock as it prints its AT line
            states.insert(states.end(), {{1, State::blocked}, {1.002, State::sleeping}});
        if (car > 2)
            states.emplace_back(1, waiting);
        states.emplace_back(at, State::sleeping);
        lives.push_back({100, 100 + car, states, at + 2, stack});
        lines.push_back({id + "I INTEND to pass the fork", 0.001});
        lines.push_back({id + "I am AT the fork", at});
        lines.push_back({id + "I have PASSED the fork", at + 1});
    }
    std::sort(lines.begin(), lines.end(), [](const auto &a, const auto &b) { return a.at < b.at; });
    auto run = made_up(lines, 7);
    run.view = made_up_view(lives);
    return observed("junction", run);
}

TEST(Timeline, JunctionShowsEachCarAsTheKernelSawItWithTheCarsBlockedCounted) {
    auto seen = junction(State::blocked);
    auto drawn = tour::draw_timeline({&seen.activity});
    auto row = rows(drawn);
    ASSERT_EQ(row.size(), 7u) << drawn; // main, five cars, the counter
    EXPECT_EQ(row["car 1"].substr(0, 13), std::string(12, 'z') + " ") << "one column per 0.25 s";
    EXPECT_EQ(row["car 3"].substr(4, 8), "........") << "blocked from 1 s to 3 s";
    EXPECT_EQ(row["car 5"].substr(4, 16), std::string(16, '.'));
    EXPECT_EQ(row["cars blocked on the road"].substr(4, 8), "33333333")
        << "what each column mostly held: not car 1's moment on a lock";
    EXPECT_NE(drawn.find(". blocked   z sleeping"), std::string::npos) << "a legend of the marks";
    EXPECT_NE(drawn.find("car 3, car 4 and car 5 wait for the road blocked (.) in the semaphore"),
              std::string::npos);
    EXPECT_NE(drawn.find("6 threads on 2 CPUs: at most 1 running at once"), std::string::npos);
    // Each car's lines on its own row, by the descriptor its line gives.
    for (const tour::Printed &printed : seen.activity.lines) {
        int car = 0;
        for (int k = 1; k <= 5; k++)
            car = printed.line.text.rfind(descriptor_of(k), 0) == 0 ? k : car;
        EXPECT_EQ(seen.activity.rows.at(static_cast<std::size_t>(printed.row)).tid, 100 + car)
            << printed.line.text;
    }
    // A descriptor in no thread's stack: the program's row, never a guess.
    auto run = seen.run;
    run.lines = {{"(12345) I INTEND to pass the fork", 0.5}};
    EXPECT_EQ(observed("junction", run).activity.lines.at(0).row, 0);
}

TEST(Timeline, ACountTheCallsWouldTellIsLeftOutWhereTheyCouldNotBeRead) {
    auto seen = junction(State::waiting);
    seen.run.view.calls_known = false; // a blocked car is `waiting`: in what, unknown
    auto unknown = observed("junction", seen.run);
    EXPECT_EQ(rows(tour::draw_timeline({&unknown.activity})).count("cars blocked on the road"), 0u)
        << "not a row of zeros";
}

TEST(Timeline, NeverDrawsMoreThreadsRunningInAColumnThanTheProgramHadCpus) {
    // Ten threads runnable at once on two CPUs: the kernel ran two at a time.
    for (int cpus : {1, 2}) {
        std::vector<Life> lives{{7, 7, {{0, State::running}, {0.001, State::blocked}}, 0.03}};
        for (int k = 1; k <= 10; k++) {
            std::vector<std::pair<double, State>> states{{0, State::ready}};
            for (int turn = 0; turn < 6; turn++) {
                double at = 0.001 * k + 0.005 * turn;
                states.insert(states.end(), {{at, State::running}, {at + 0.001, State::ready}});
            }
            lives.push_back({7, 7 + k, states, 0.03});
        }
        auto run = made_up({{"The estimated PI is 3.1 in 4000000 times", 0.01}}, 0.03);
        run.view = made_up_view(lives, cpus);
        auto seen = observed("dartpi-threads", run);
        auto drawn = rows(tour::draw_timeline({&seen.activity}));
        std::string column_counts;
        for (std::size_t c = 0; c < drawn["main"].size(); c++) {
            int running = 0;
            for (const auto &[name, marks] : drawn)
                running += name.rfind("side ", 0) == 0 && marks[c] == '#';
            EXPECT_LE(running, cpus) << "column " << c;
        }
        EXPECT_EQ(tour::most_at_once(seen.activity, State::running, tour::workers), cpus);
        EXPECT_EQ(drawn.count("side 10000"), 1u) << "named in the order they were created";
        EXPECT_EQ(seen.activity.lines[0].row, 2) << "the line of the run of side 2000";
    }
}

TEST(Timeline, ThreadsAreSaidToStartAtOnceOnlyWhenTheyWereSeenStartingTogether) {
    for (auto [apart, says] : {std::pair{0.0005, "the 4 threads start at once;"},
                               {0.02, "the 4 threads start one after another, over 60 ms;"}}) {
        std::vector<Life> lives{{7, 7, {{0, State::blocked}}, 0.1}};
        for (int k = 0; k < 4; k++)
            lives.push_back({7, 8 + k, {{0.001 + apart * k, State::running}}, 0.1});
        auto run = made_up({}, 0.1);
        run.view = made_up_view(lives, 4);
        auto seen = observed("dartpi-threads", run);
        EXPECT_NE(seen.activity.to_see.find(says), std::string::npos) << seen.activity.to_see;
    }
    // A thread ready a millisecond, too brief for any column to show it: no mark is named.
    auto run = made_up({}, 1);
    run.view = made_up_view({{7, 7, {{0, State::blocked}}, 1},
                             {7, 8, {{0, State::running}}, 1},
                             {7, 9, {{0, State::ready}, {0.002, State::sleeping}}, 1}});
    auto seen = observed("dartpi-threads", run);
    auto drawn = tour::draw_timeline({&seen.activity});
    EXPECT_EQ(rows(drawn).at("side 2000").find('+'), std::string::npos) << drawn;
    EXPECT_NE(seen.activity.to_see.find(", while one at a time is ready, waiting for one"),
              std::string::npos)
        << seen.activity.to_see;
}

TEST(Timeline, AThreadOrAProcessThatEndedBetweenTwoReadingsKeepsItsPlace) {
    // side 1000 (tid 11) was never read; the child of spawn-words neither, but it said its id.
    std::vector<Life> lives{{10, 10, {{0, State::blocked}}, 0.01},
                            {10, 12, {{0, State::running}}, 0.01}};
    auto run = made_up({}, 0.01);
    run.view = made_up_view(lives);
    run.view.missed.push_back({10, 11});
    auto threads = observed("dartpi-threads", run);
    ASSERT_EQ(threads.activity.rows.size(), 3u);
    EXPECT_EQ(threads.activity.rows[1].name, "side 1000");
    EXPECT_TRUE(threads.activity.rows[1].phases.empty());
    EXPECT_EQ(threads.activity.rows[2].name, "side 2000");
    EXPECT_NE(threads.activity.figures.find("(1 of them ended before a reading saw it)"),
              std::string::npos);

    auto words =
        made_up({{"Child process id (my parent pid is 10):11", 0.001}, {"hello", 0.001}}, 0.01);
    words.view = made_up_view({{10, 10, {{0, State::waiting_for_child}}, 0.01}});
    auto seen = observed("spawn-words", words);
    ASSERT_EQ(seen.activity.rows.size(), 2u);
    EXPECT_EQ(seen.activity.rows[1].name, "child");
    EXPECT_EQ(seen.activity.rows[1].pid, 11);
    EXPECT_EQ(seen.activity.lines[0].row, 1) << "the line that names the child";
    EXPECT_EQ(seen.activity.lines[1].row, 0) << "a line that says nobody: the program's";

    // Processes none of whose threads was read: each a process of its own, not threads of one.
    words.lines.clear();
    words.view.missed = {{11, 11}, {12, 12}};
    auto unread = observed("spawn-words", words);
    ASSERT_EQ(unread.activity.rows.size(), 3u);
    EXPECT_EQ(unread.activity.rows[1].name, "child");
    EXPECT_EQ(unread.activity.rows[2].name, "process 3");
}

TEST(Timeline, WhatNoReadingTellsIsDrawnAsNotSeenInTheTimelineAndTheTrace) {
    // side 1000 ran to its last reading at 10 ms and was gone at 15 ms: its process's clock
    // counted 2 ms more of it; the rest of those 5 ms, no total counted.
    auto run = made_up({}, 0.02);
    run.view = made_up_view(
        {{10, 10, {{0, State::blocked}}, 0.02}, {10, 11, {{0, State::running}}, 0.01}});
    run.view.threads[1].gone_at = 0.015;
    run.view.clocks = {{10, {{0.015, 12'000'000}}}};
    auto seen = observed("dartpi-threads", run);
    auto drawn = tour::draw_timeline({&seen.activity});
    std::string row = rows(drawn)["side 1000"];
    ASSERT_NE(row.find('#'), std::string::npos) << drawn;
    EXPECT_GT(row.find('~'), row.rfind('#')) << "after its running, before it was gone";
    EXPECT_NE(drawn.find("~ not seen"), std::string::npos) << "in the legend";

    tour::Trace trace;
    trace.add(seen.activity, 0);
    double not_seen = 0;
    auto parsed = nlohmann::json::parse(trace.json());
    for (const auto &event : parsed.at("traceEvents")) {
        if (event.at("ph") == "X" && event.at("name") == "not seen" &&
            event.at("tid").get<int>() == 11)
            not_seen += event.at("dur").get<double>();
    }
    EXPECT_NEAR(not_seen, 3000, 1) << "microseconds";
    EXPECT_NE(seen.activity.figures.find("12 ms on a CPU"), std::string::npos)
        << seen.activity.figures;
}

TEST(Timeline, WithoutTheKernelsViewShowsThePrintedLinesOnTheProgramsRow) {
    auto seen = observed("junction", made_up({{"(1) I INTEND to pass the fork", 0.5}}, 2));
    EXPECT_FALSE(seen.activity.kernel_view);
    auto drawn = tour::draw_timeline({&seen.activity});
    EXPECT_EQ(rows(drawn)["main"].find('*'), 10u) << "at 0.5 s, one column per 50 ms";
    EXPECT_NE(drawn.find("* a line printed"), std::string::npos);
    EXPECT_EQ(drawn.find("what to see"), std::string::npos) << "no claim the run did not show";
    EXPECT_FALSE(tour::find_demonstration("junction")->questions.back().judge(seen, nullptr));
}

TEST(Timeline, SerialAndThreadsShareOneScale) {
    auto serial_run = made_up({}, 0.05);
    serial_run.view = made_up_view({{1, 1, {{0, State::running}}, 0.05}});
    auto threads_run = made_up({}, 0.02);
    threads_run.view =
        made_up_view({{2, 2, {{0, State::blocked}}, 0.02}, {2, 3, {{0, State::running}}, 0.02}});
    auto serial = observed("dartpi-serial", serial_run),
         threads = observed("dartpi-threads", threads_run);
    std::string drawn = tour::draw_timeline({&serial.activity, &threads.activity});
    std::istringstream lines(drawn);
    std::vector<std::string> bars;
    for (std::string line; std::getline(lines, line);) {
        if (line.find('|') != std::string::npos && line.find("  |") != std::string::npos &&
            line.find("threads") == std::string::npos)
            bars.push_back(line.substr(line.find('|')));
    }
    ASSERT_GE(bars.size(), 3u) << drawn;
    EXPECT_EQ(bars[0].size(), bars[2].size()) << "one scale for both";
    EXPECT_NE(drawn.find("dartpi-serial: one thread does all ten runs"), std::string::npos);
}

TEST(Timeline, TheTimeColumnHasOneWidthUpTo999Seconds) {
    for (double t : {0.0, 9.99, 10.0, 99.99, 100.0, 999.99})
        EXPECT_EQ(tour::stamp(t).size(), 8u) << tour::stamp(t);
    EXPECT_EQ(tour::stamp(1.25), "  +1.25s");
}

TEST(Trace, HasTheRealIdsATrackPerThreadSlicesThatNeverOverlapAndTheLinesOnTheirThreads) {
    auto seen = junction(State::blocked);
    tour::Trace trace;
    trace.add(seen.activity, 10.0);
    auto parsed = nlohmann::json::parse(trace.json());
    std::map<long, std::string> names;
    std::map<long, std::vector<std::pair<long, long>>> slices;
    int instants = 0, counters = 0;
    for (const auto &event : parsed.at("traceEvents")) {
        std::string ph = event.at("ph");
        EXPECT_EQ(event.at("pid"), 100) << "the program's real process id";
        long tid = event.at("tid");
        if (ph == "M" && event.at("name") == "thread_name")
            names[tid] = event.at("args").at("name");
        if (ph == "X") {
            EXPECT_GE(event.at("ts").get<long>(), 10'000'000) << "microseconds, from the tour";
            slices[tid].emplace_back(event.at("ts"),
                                     event.at("ts").get<long>() + event.at("dur").get<long>());
        }
        if (ph == "i") {
            instants++;
            std::string text = event.at("name");
            if (text.rfind('(', 0) == 0) {
                EXPECT_NE(tid, 100) << "a car's line on the car's track: " << text;
            }
        }
        counters += ph == "C";
    }
    EXPECT_EQ(names, (std::map<long, std::string>{{100, "main"},
                                                  {101, "car 1"},
                                                  {102, "car 2"},
                                                  {103, "car 3"},
                                                  {104, "car 4"},
                                                  {105, "car 5"}}));
    for (auto &[tid, spans] : slices) {
        std::sort(spans.begin(), spans.end());
        for (std::size_t i = 1; i < spans.size(); i++)
            EXPECT_LE(spans[i - 1].second, spans[i].first) << "thread " << tid;
    }
    EXPECT_EQ(instants, 15);
    EXPECT_GT(counters, 2) << "the cars blocked, as they change";
}

TEST(Trace, StringsSurviveTheRoundTripAndWhatIsNotUtf8BecomesReplacementCharacters) {
    const std::string texts[] = {
        "plain",           "a \"quoted\" word",         "back\\slash",
        "tab\there",       std::string("nul\0byte", 8), "\x1b[32mcolour\x1b[0m",
        "π ≈ 3.14 🥧"};
    for (const std::string &text : texts)
        EXPECT_EQ(nlohmann::json::parse(tour::json_string(text)).get<std::string>(), text);
    // A stray byte, a sequence cut short, an overlong form, a surrogate, past U+10FFFF.
    const std::pair<std::string, std::string> not_text[] = {
        {"\xff", "\uFFFD"},
        {"a\xe2\x82", "a\uFFFD\uFFFD"},
        {"\xc0\xaf", "\uFFFD\uFFFD"},
        {"\xed\xa0\x80", "\uFFFD\uFFFD\uFFFD"},
        {"\xf4\x90\x80\x80!", "\uFFFD\uFFFD\uFFFD\uFFFD!"}};
    for (const auto &[text, shown] : not_text)
        EXPECT_EQ(nlohmann::json::parse(tour::json_string(text)).get<std::string>(), shown);
}

// A question of a demonstration judged by a made-up run, as a changed program might print it.
struct Judged {
    const char *program;
    size_t question;
    std::vector<procrun::Line> lines;
    double exited_at, closed_at;
    std::string answer;  // what the run shows
    std::string because; // a piece of the explanation
};

class Judgement : public testing::TestWithParam<Judged> {};

TEST_P(Judgement, ComesFromWhatTheRunPrinted) {
    const Judged &c = GetParam();
    auto run = made_up(c.lines, c.exited_at, c.closed_at);
    const auto &question = tour::find_demonstration(c.program)->questions.at(c.question);
    auto shown = question.judge(observed(c.program, run), nullptr);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->answer, c.answer);
    EXPECT_NE(shown->because.find(c.because), std::string::npos) << shown->because;
    EXPECT_EQ(tour::judgement(c.answer, shown).rfind("right: ", 0), 0u);
    EXPECT_EQ(tour::judgement("-42", shown), "wrong: you said -42; " + shown->because);
}

// Three permits: three cars AT at once, one of them PASSED only after the third arrived; the
// fourth queues.
std::vector<procrun::Line> three_permits() {
    return {{"(1) I INTEND to pass the fork", 0}, {"(4) I INTEND to pass the fork", 0},
            {"(1) I am AT the fork", 1},          {"(2) I am AT the fork", 1},
            {"(1) I have PASSED the fork", 1.5},  {"(3) I am AT the fork", 1.6},
            {"(4) I am AT the fork", 1.7},        {"(2) I have PASSED the fork", 2},
            {"(3) I have PASSED the fork", 2.6},  {"(4) I have PASSED the fork", 2.7}};
}

INSTANTIATE_TEST_SUITE_P(
    ChangedPrograms, Judgement,
    testing::Values(
        Judged{"junction", 0, three_permits(), 3, 3, "3", "the road has 3 permits"},
        Judged{"junction",
               0,
               {{"(1) I am AT the fork", 1},
                {"(1) I have PASSED the fork", 2},
                {"(2) I am AT the fork", 2}},
               3,
               3,
               "1",
               "1 car was AT"},
        // Every car at once: none queues.
        Judged{"junction",
               0,
               {{"(1) I INTEND to pass the fork", 0},
                {"(2) I INTEND to pass the fork", 0},
                {"(1) I am AT the fork", 1},
                {"(2) I am AT the fork", 1}},
               2,
               2,
               "2",
               "at once, and no car had to wait for the road"},
        // Numbers past any type: judged as the numbers they are.
        Judged{"boxoffice-sem",
               0,
               {{"The left ticket is 0099999999999999999999", 1}},
               1,
               1,
               "99999999999999999999",
               ": not the 2 tickets the program starts with"},
        // Three sales from a stock of 3: nothing lost, and not said to be.
        Judged{"boxoffice-sem",
               0,
               {{"One ticket sold", 0},
                {"One ticket sold", 0},
                {"One ticket sold", 0},
                {"The left ticket is 0", 1}},
               1,
               1,
               "0",
               "together 3, not the 2 tickets the program starts with, so a sale was lost or the "
               "program was changed"},
        Judged{"boxoffice-race",
               0,
               {{"The left ticket is -3", 1}},
               1,
               1,
               "n",
               "-3 left: more were sold than the stock held"},
        Judged{"spawn-count", 0, {{"hello(-000)", 0}}, 0, 0, "0", "hello(0)"},
        // Without the lock: both agents read 2, and one sale is lost.
        Judged{"boxoffice-mutex",
               0,
               {{"One ticket sold", 0}, {"One ticket sold", 0}, {"The left ticket is 1", 1}},
               1,
               1,
               "1",
               "together 3, not the 2 tickets"},
        Judged{"spawn-pause", 0, {{"After fork Process id:5", 0}}, 0, 0, "1", "1 \"After fork\""},
        Judged{"spawn-count",
               0,
               {{"hello(100)", 0}, {"world(100)", 0}, {"hello(99)", 0}},
               0,
               0,
               "99",
               "hello(99)"},
        // A parent that waited after all: it returned when its child's output closed.
        Judged{"spawn-nowait", 0, {{"world(100)", 0}}, 3.001, 3.002, "n", "was there until"},
        Judged{"spawn-nowait", 0, {{"world(100)", 0}}, 0.01, 3.01, "y", "does not wait"},
        Judged{"spawn-nowait",
               1,
               {{"Before fork Process id:40", 0}, {"Child process id (my parent pid is 1):41", 0}},
               0,
               0,
               "n",
               "another process adopted it"},
        Judged{"dartpi-serial",
               0,
               {{"The estimated PI is 3.1 in 4000000 times", 0.1},
                {"The estimated PI is 3.1 in 1000000 times", 0.2}},
               0.2,
               0.2,
               "n",
               "2000, 1000"}));

TEST(Judgement, TheProcessorTimesOfTwoRunsAreAboutTheSameWithinOneAndAHalfTimes) {
    const auto &question = tour::find_demonstration("dartpi-threads")->questions.at(1);
    auto total = [](const char *seconds) {
        return observed(
            "dartpi-threads",
            made_up({{std::string("The time taken in total: ") + seconds + " seconds", 1}}, 1));
    };
    auto serial = total("1.000000");
    for (auto [threads, expected] :
         {std::pair{"1.400000", "b"}, {"0.700000", "b"}, {"1.600000", "c"}, {"0.600000", "a"}})
        EXPECT_EQ(question.judge(total(threads), &serial)->answer, expected) << threads;
    EXPECT_FALSE(question.judge(total("1.0"), nullptr).has_value()) << "nothing to compare with";
}

TEST(Judgement, ARunThatDidNotShowItIsNotJudged) {
    for (const char *program : {"junction", "boxoffice-sem", "spawn-count"}) {
        EXPECT_FALSE(tour::find_demonstration(program)->questions.at(0).judge(
            observed(program, made_up({}, 0.1)), nullptr))
            << program;
    }
    EXPECT_EQ(tour::judgement("2", std::nullopt), "not judged: this run did not show it");
}

// The kernel's questions, judged by what the threads did: as the programs are, and changed.
TEST(KernelQuestions, AWaitingCarIsJudgedByWhatItsThreadDid) {
    const auto &question = tour::find_demonstration("junction")->questions.at(1);
    for (auto [waiting, expected] : {std::pair{State::blocked, "b"},
                                     {State::running, "a"}, // spinning on the permit
                                     {State::ready, "a"},
                                     {State::sleeping, "c"}}) { // polling with a short sleep
        auto shown = question.judge(junction(waiting), nullptr);
        ASSERT_TRUE(shown.has_value()) << procview::name(waiting);
        EXPECT_EQ(shown->answer, expected) << procview::name(waiting);
        EXPECT_NE(shown->because.find("car 3, car 4 and car 5"), std::string::npos);
    }
    // No car waited half a second: nothing to judge by.
    auto quick = junction(State::blocked);
    for (auto &line : quick.run.lines)
        line.at = std::min(line.at, 1.2);
    EXPECT_FALSE(question.judge(observed("junction", quick.run), nullptr));
}

TEST(KernelQuestions, TheMostThreadsRunningAtOnceAndWhatTheParentDidWhileItsChildSlept) {
    auto run = made_up({}, 0.02);
    std::vector<Life> lives{{5, 5, {{0, State::blocked}}, 0.02}};
    for (int k = 1; k <= 3; k++) { // each waits one millisecond in three: two CPUs, three threads
        Life life{5, 5 + k, {}, 0.02};
        for (int step = 0; step < 20; step++)
            life.states.emplace_back(step * 0.001,
                                     (step + k) % 3 == 0 ? State::ready : State::running);
        lives.push_back(life);
    }
    run.view = made_up_view(lives, 2);
    auto shown = tour::find_demonstration("dartpi-threads")
                     ->questions.at(2)
                     .judge(observed("dartpi-threads", run), nullptr);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->answer, "2");
    EXPECT_NE(shown->because.find("up to 1 other was ready, waiting for one"), std::string::npos)
        << shown->because;

    // Two threads that spin 0.3 ms together every 3 ms: the totals cannot tell that from taking
    // turns, so the most at once is not judged, and not said to be 1 (nor 2).
    auto brief = made_up({}, 0.03);
    brief.view = made_up_view({{5, 5, {{0, State::blocked}}, 0.03}});
    for (pid_t tid : {6, 7}) {
        procview::Thread thread{5, tid, 0, {}, 0, 0};
        for (std::size_t k = 0; k < brief.view.times.size(); k++) {
            std::uint64_t ran = (k + 2) / 3 * 300000;
            thread.samples.push_back(
                {brief.view.times[k], k % 3 == 0 ? State::running : State::sleeping, ran, 0});
        }
        brief.view.threads.push_back(thread);
    }
    // A third, found late: its first reading counts 50 ms from before anyone saw it.
    procview::Thread late{5, 8, brief.view.times[20], {}, 0, 0};
    late.samples.push_back({brief.view.times[21], State::sleeping, 50000000, 0});
    brief.view.threads.push_back(late);
    auto undecided = tour::find_demonstration("dartpi-threads")
                         ->questions.at(2)
                         .judge(observed("dartpi-threads", brief), nullptr);
    ASSERT_TRUE(undecided.has_value());
    EXPECT_EQ(tour::judgement("1", undecided),
              "not judged: the readings show 1 to 2 of them on a CPU at once, not how many at "
              "the most");

    const auto &parent_question = tour::find_demonstration("spawn-nowait")->questions.at(2);
    for (auto [parent, expected] :
         {std::pair{State::waiting_for_child, "a"}, {State::sleeping, "b"}, {State::ended, "c"}}) {
        auto nowait = made_up({}, 0.01, 3.01);
        nowait.view = made_up_view({{20, 20, {{0, State::running}, {0.001, parent}}, 3},
                                    {21, 21, {{0.001, State::sleeping}}, 3}});
        EXPECT_EQ(parent_question.judge(observed("spawn-nowait", nowait), nullptr)->answer,
                  expected);
    }
    auto gone = made_up({}, 0.01, 3.01); // the parent reaped at once: gone, as ended
    gone.view = made_up_view(
        {{20, 20, {{0, State::running}}, 0.002}, {21, 21, {{0.001, State::sleeping}}, 3}});
    auto seen = observed("spawn-nowait", gone);
    EXPECT_EQ(parent_question.judge(seen, nullptr)->answer, "c");
    EXPECT_EQ(seen.activity.to_see, "the parent has ended while its child sleeps (z) on");
}

// Several runs of one program: what never varied is certain in them, what did varies.
std::optional<tour::Shown> showed(const char *answer) {
    return tour::Shown{answer, "because"};
}

TEST(OverRuns, TalliesSayWhatNeverVariedAndWhatDid) {
    const auto &tickets = tour::find_demonstration("boxoffice-sem")->questions.at(0);
    const auto &in_order = tour::find_demonstration("dartpi-serial")->questions.at(0);
    EXPECT_EQ(tour::tally(tickets, {showed("0"), showed("0"), showed("0")}),
              "The left ticket is: 0 in 3 of 3 runs, certain in these runs");
    EXPECT_EQ(tour::tally(tickets, {showed("3"), showed("-1"), showed("12"), showed("3"),
                                    std::nullopt, showed("99999999999999999999")}),
              "The left ticket is: from -1 to 99999999999999999999, median 3, over 5 runs (1 run "
              "did not show it); it varies");
    EXPECT_EQ(tour::tally(tickets, {showed("0"), showed("7"), showed("0"), showed("7"), showed("0"),
                                    showed("7")}),
              "The left ticket is: from 0 to 7, median between 0 and 7, over 6 runs; it varies")
        << "not 0: half the runs left 7";
    EXPECT_EQ(tour::tally(in_order, {showed("y"), showed("n"), showed("n"), showed("n")}),
              "Lines in order of size: n in 3 runs, y in 1; it varies");
    EXPECT_EQ(tour::tally(in_order, {std::nullopt, std::nullopt}),
              "Lines in order of size: not shown by any of the 2 runs");
    // A yes every time can still vary in how much: the race's tickets left are told too.
    const auto &any_left = tour::find_demonstration("boxoffice-race")->questions.at(0);
    auto race = [&](const char *last) {
        procrun::Result run;
        run.lines.push_back({last, 0.01});
        return any_left.judge({run, {}}, nullptr);
    };
    EXPECT_EQ(
        tour::tally(any_left, {race("The left ticket is 1000"), race("The left ticket is 803"),
                               race("The left ticket is 0"), race("no last line")}),
        "Tickets left over: y in 2 runs, n in 1 (1 run did not show it); it varies. Tickets "
        "left: from 0 to 1000, median 803, over 3 runs (1 run did not show it); it varies");
}

TEST(OverRuns, EachPredictionIsJudgedByEveryRunAndScoredOnlyWhenRightInAll) {
    const auto &tickets = tour::find_demonstration("boxoffice-sem")->questions.at(0);
    struct Case {
        std::optional<std::string> answer;
        tour::Showings runs;
        std::string begins;
        bool right;
    };
    const Case cases[] = {
        {"0",
         {showed("0"), showed("0"), showed("0")},
         "right in 3 of 3 runs: The left ticket",
         true},
        {"0", {showed("0"), showed("1"), showed("0")}, "right in 2 of 3 runs: ", false},
        {"5", {showed("0"), showed("1")}, "wrong in all 2 runs: you said 5; The left", false},
        {std::nullopt, {showed("0"), showed("0")}, "not answered: The left ticket is: 0", false},
        {"0", {std::nullopt, std::nullopt}, "not judged: none of the 2 runs showed it", false},
        // A run that failed shows nothing: the others judge.
        {"0", {showed("0"), std::nullopt, showed("0")}, "right in 2 of 2 runs: ", true},
        {"0", {showed("0")}, "right: because", true}, // one run: as without --runs
    };
    for (const Case &c : cases) {
        tour::Verdict verdict = tour::judge_runs(tickets, c.answer, c.runs);
        EXPECT_EQ(verdict.line.rfind(c.begins, 0), 0u) << verdict.line;
        EXPECT_EQ(verdict.right, c.right) << verdict.line;
    }
    EXPECT_NE(tour::judge_runs(tickets, "0", {showed("0"), showed("0")})
                  .line.find("certain in these runs; the first run: because"),
              std::string::npos);
}

TEST(OverRuns, WhichProcessPrintsFirstIsJudgedOverAllTheRuns) {
    const auto &first = tour::find_demonstration("spawn-words")->questions.at(1);
    auto run = [](const std::vector<std::string> &texts) {
        std::vector<procrun::Line> lines{{"Before fork Process id:5", 0}};
        for (const auto &text : texts)
            lines.push_back({text, 0});
        return observed("spawn-words", made_up(lines, 0.01));
    };
    auto parent = run({"Parent Process id: 5", "Child process id (my parent pid is 5):6"});
    auto child = run({"hello", "world"});
    tour::Showings varied{first.judge(parent, nullptr), first.judge(child, nullptr),
                          first.judge(parent, nullptr)};
    EXPECT_EQ(varied[1]->answer, "b");
    EXPECT_TRUE(tour::judge_runs(first, "c", varied).right);
    EXPECT_EQ(tour::judge_runs(first, "a", varied).line.rfind("wrong in all 3 runs", 0), 0u);
    tour::Showings same{first.judge(parent, nullptr), first.judge(parent, nullptr)};
    EXPECT_EQ(tour::judge_runs(first, "a", same).line.rfind("right in 2 of 2 runs", 0), 0u);
    EXPECT_TRUE(tour::judge_runs(first, "a", {first.judge(parent, nullptr)}).right)
        << "one run: judged by what it showed";
}

TEST(Answers, AreAcceptedOnlyInTheFormTheQuestionTakes) {
    tour::Question number{"?", tour::Kind::number}, letter{"?", tour::Kind::letter, "abc"},
        yes_no{"?", tour::Kind::yes_no}, count{"?", tour::Kind::count};
    const std::vector<std::tuple<const tour::Question *, std::string, std::optional<std::string>>>
        cases = {{&number, " 007 ", "7"},
                 {&number, "-1", "-1"},
                 {&number, "two", std::nullopt},
                 {&number, "1.5", std::nullopt},
                 {&number, "12345678901", std::nullopt},
                 {&number, "-", std::nullopt},
                 {&letter, "B", "b"},
                 {&letter, "b)", "b"},
                 {&letter, "(b)", "b"},
                 {&letter, "b.", "b"},
                 {&letter, "(b", std::nullopt},
                 {&count, "3", "3"},
                 {&count, "-1", std::nullopt},
                 {&letter, "d", std::nullopt},
                 {&letter, "ab", std::nullopt},
                 {&yes_no, "Yes", "y"},
                 {&yes_no, "n", "n"},
                 {&yes_no, "maybe", std::nullopt}};
    for (const auto &[question, typed, expected] : cases)
        EXPECT_EQ(tour::accept(*question, typed), expected) << "'" << typed << "'";
    EXPECT_EQ(tour::accepted(letter), "one of the letters a, b or c");
    EXPECT_EQ(tour::accepted(count), "a whole number of 0 or more, such as 3");
    EXPECT_EQ(tour::refusal(count, "12345678901").rfind("12345678901 is too large", 0), 0u)
        << "not 'not a whole number'";
    EXPECT_EQ(tour::refusal(number, "-1234567890").rfind("-1234567890 is too large", 0), 0u);
    EXPECT_NE(tour::refusal(count, "-12345678901").find("of 0 or more"), std::string::npos);
}

TEST(Prose, WrapsAtSpacesUnderAHangingIndentAndNotWithoutAWidth) {
    std::string text = "  ? At most how many cars will be AT the fork at the same time?";
    EXPECT_EQ(tour::wrap(text, 0, 4), text);
    EXPECT_EQ(tour::wrap(text, 30, 4), "  ? At most how many cars will\n"
                                       "    be AT the fork at the same\n"
                                       "    time?");
    EXPECT_EQ(tour::wrap("a-very-long-word and more", 8, 2), "a-very-long-word\n  and\n  more");
    EXPECT_EQ(tour::wrap("- one   . two", 9, 0), "- one   .\ntwo") << "spaces kept within a line";
}

TEST(Prose, ControlCharactersAreShownNotObeyed) {
    EXPECT_EQ(tour::visible(std::string("a\0b\x1b]0;t\x07\tc\x7f\r", 13)), "a^@b^[]0;t^G\tc^?^M");
    EXPECT_EQ(tour::visible("π, plain"), "π, plain");
}

TEST(Demonstrations, AreSoundAndAnEntryThatCannotBeRunIsFoundAtOnce) {
    EXPECT_EQ(tour::check(tour::demonstrations()), "");
    auto entries = tour::demonstrations();
    entries[1].compared_with = nullptr; // dartpi-threads: a comparison with nothing
    entries[2].questions.at(0).judge = nullptr;
    entries.push_back(entries[3]);
    entries.push_back({.name = "x", .setting = "s", .watch = "w", .compared_with = "nowhere"});
    entries.back().questions.push_back(
        {"?", tour::Kind::letter, "", entries[2].questions[0].judge, false, "", 'c'});
    EXPECT_EQ(tour::check(entries),
              "dartpi-threads: compared, but with no program of the tour\n"
              "junction: no way to judge \"At most how many cars will be AT the fork at the same "
              "time?\"\n"
              "boxoffice-sem: two entries have this name\n"
              "x: no way to judge \"?\"\n"
              "x: no letters offered for \"?\"\n"
              "x: no topic to tally \"?\" by\n"
              "x: \"it varies\" is not a letter offered by \"?\"\n");
}

TEST(Figures, ProcessorTimesAreTheOnesThePiProgramsPrinted) {
    const auto &threads = *tour::find_demonstration("dartpi-threads");
    auto total = [](const char *printed, double cpu) {
        auto run =
            made_up({{std::string("The time taken in total: ") + printed + " seconds", 1}}, 1);
        run.cpu_seconds = cpu; // the tour's own accounting, start-up included: never stated
        return run;
    };
    auto figures = threads.compare(total("0.027000", 0.5), total("0.023000", 0.6));
    EXPECT_EQ(figures.label, "serial vs threads:");
    EXPECT_EQ(figures.text.rfind("processor 0.023 s vs 0.027 s, as each printed it", 0), 0u)
        << figures.text;
    EXPECT_EQ(threads.compare(total(".", 0.5), total("0.023000", 0.6))
                  .text.rfind("processor time not printed by both", 0),
              0u);
    auto pinned = total("0.027000", 0.5); // under taskset -c 0: one core, whatever the machine
    pinned.view = made_up_view({{100, 100, {{0, State::running}}, 0.01}}, 1);
    EXPECT_NE(threads.compare(pinned, total("0.023000", 0.6)).text.find("(1 core)"),
              std::string::npos);
}

TEST(Failure, ATimeoutASignalNotSentOrANonZeroExit) {
    procrun::Result run;
    run.exit_code = 0;
    EXPECT_EQ(tour::failure(run, 0), "");
    run.exit_code = 2;
    EXPECT_EQ(tour::failure(run, 0), "exited with status 2");
    run.term_signal = SIGINT;
    EXPECT_EQ(tour::failure(run, SIGINT), "") << "the tour's own SIGINT";
    EXPECT_EQ(tour::failure(run, 0), "ended by signal INT");
    run.term_signal = SIGRTMIN + 2; // no short name
    EXPECT_EQ(tour::failure(run, 0), "ended by signal " + std::to_string(SIGRTMIN + 2));
    EXPECT_EQ(tour::ending(run), "ended by signal " + std::to_string(SIGRTMIN + 2));
    run.timed_out = true;
    EXPECT_EQ(tour::failure(run, SIGINT), "timed out");
}

} // namespace
