// The tour's timelines and trace, drawn from runs made up here: what they show is a function of
// the lines a program printed and when, so no program needs to run.
#include "demonstration.h"
#include "prose.h"
#include "quiz.h"
#include "timeline.h"
#include "trace.h"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

namespace {

procrun::Result made_up(std::vector<procrun::Line> lines, double exited_at, double closed_at = -1) {
    procrun::Result run;
    run.lines = std::move(lines);
    run.exited_at = exited_at;
    run.closed_at = closed_at < 0 ? exited_at : closed_at;
    run.exit_code = 0;
    return run;
}

// A junction run at its nominal pace: cars 11 and 22 first, then 33 and 44, then 55.
procrun::Result junction_run() {
    std::vector<procrun::Line> lines;
    for (const char *id : {"11", "22", "33", "44", "55"})
        lines.push_back({std::string("(") + id + ") I INTEND to pass the fork", 0.0});
    double at = 1.0;
    for (const auto &pair : {std::vector<std::string>{"11", "22"}, {"33", "44"}, {"55"}}) {
        for (const auto &id : pair)
            lines.push_back({"(" + id + ") I am AT the fork", at});
        for (const auto &id : pair)
            lines.push_back({"(" + id + ") I have PASSED the fork", at + 1});
        at += 2;
    }
    return made_up(lines, 7.0);
}

// The rows of a drawn timeline: name -> what lies between the bars.
std::map<std::string, std::string> rows(const std::string &drawn) {
    static const std::regex row(R"(  (\S+(?: \S+)?) +\|([^|]*)\|)");
    std::map<std::string, std::string> found;
    std::istringstream lines(drawn);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, row))
            found[m[1]] = m[2];
    }
    return found;
}

TEST(Timeline, JunctionShowsEachCarAnnouncedWaitingAndOnTheRoad) {
    auto activity = tour::observe(*tour::find_demonstration("junction"), junction_run());
    auto drawn = rows(tour::draw_timeline({&activity}));
    ASSERT_EQ(drawn.size(), 5u);
    EXPECT_EQ(drawn["car 1"], "----########                ");
    EXPECT_EQ(drawn["car 3"], "----........########        ");
    EXPECT_EQ(drawn["car 5"], "----................########");
}

TEST(Timeline, NowaitDrawsTheChildOnAfterItsParentHasReturned) {
    auto run = made_up({{"Before fork Process id:100", 0.001},
                        {"Parent Process id: 100", 0.001},
                        {"world(100)", 0.001},
                        {"Child process id (my parent pid is 100):101", 0.002},
                        {"hello(100)", 0.002}},
                       0.002, 3.002);
    auto activity = tour::observe(*tour::find_demonstration("spawn-nowait"), run);
    auto drawn = rows(tour::draw_timeline({&activity}));
    ASSERT_EQ(drawn.size(), 2u);
    EXPECT_EQ(drawn["parent 100"].find_first_not_of(' '), 0u);
    EXPECT_EQ(drawn["parent 100"].find_last_not_of(' '), 0u) << "the parent ends at once";
    EXPECT_EQ(drawn["child 101"].find_last_not_of(' ') + 1, 30u) << "the child sleeps 3 s";
    EXPECT_NE(drawn["child 101"].find('s'), std::string::npos);
}

TEST(Timeline, WaitingParentIsMarkedUntilItsChildHasEnded) {
    auto run = made_up({{"Before fork Process id:7", 0.0},
                        {"Parent Process id: 7", 0.0001},
                        {"world", 0.0002},
                        {"Child process id (my parent pid is 7):8", 0.002},
                        {"hello", 0.004}},
                       0.005);
    auto activity = tour::observe(*tour::find_demonstration("spawn-words"), run);
    auto drawn = rows(tour::draw_timeline({&activity}));
    EXPECT_EQ(drawn["parent 7"].substr(0, 2), "==");
    EXPECT_EQ(drawn["parent 7"].back(), 'w');
    EXPECT_NE(drawn["child 8"].find('='), std::string::npos);
}

TEST(Timeline, SerialAndThreadsShareOneScale) {
    std::vector<procrun::Line> serial_lines, thread_lines;
    for (int k = 1; k <= 10; k++) {
        std::string text =
            "The estimated PI is 3.141593 in " + std::to_string(k * k * 1000000) + " times";
        serial_lines.push_back({text, 0.001 * k * (k + 1) * (2 * k + 1) / 6}); // runs back to back
        thread_lines.push_back({text, 0.002 * k * k});
    }
    auto serial =
        tour::observe(*tour::find_demonstration("dartpi-serial"), made_up(serial_lines, 0.385));
    auto threads =
        tour::observe(*tour::find_demonstration("dartpi-threads"), made_up(thread_lines, 0.2));
    std::string drawn = tour::draw_timeline({&serial, &threads});
    std::istringstream lines(drawn);
    std::vector<std::string> bars;
    for (std::string line; std::getline(lines, line);)
        if (line.find("side ") != std::string::npos)
            bars.push_back(line.substr(line.find('|')));
    ASSERT_EQ(bars.size(), 20u);
    for (const auto &bar : bars)
        EXPECT_EQ(bar.size(), bars[0].size()) << "one scale for both";
    EXPECT_EQ(bars[19][1], '=') << "every thread starts at once";
    EXPECT_EQ(bars[9][1], ' ') << "the last serial run starts late";
}

TEST(Timeline, TheTimeColumnHasOneWidthUpTo999Seconds) {
    for (double t : {0.0, 9.99, 10.0, 99.99, 100.0, 999.99})
        EXPECT_EQ(tour::stamp(t).size(), 8u) << tour::stamp(t);
    EXPECT_EQ(tour::stamp(1.25), "  +1.25s");
}

TEST(Trace, IsTraceEventJsonWithATrackPerCarAndThePermitsWithinZeroToTwo) {
    auto activity = tour::observe(*tour::find_demonstration("junction"), junction_run());
    tour::Trace trace;
    trace.add(activity, 10.0);
    auto parsed = nlohmann::json::parse(trace.json());
    std::set<std::string> threads;
    int complete = 0, instants = 0, counters = 0;
    for (const auto &event : parsed.at("traceEvents")) {
        std::string ph = event.at("ph");
        if (ph == "M" && event.at("name") == "process_name") {
            EXPECT_EQ(event.at("args").at("name"), "junction");
        }
        if (ph == "M" && event.at("name") == "thread_name")
            threads.insert(event.at("args").at("name"));
        if (ph == "X") {
            complete++;
            EXPECT_TRUE(event.at("ts").is_number_integer());
            EXPECT_GE(event.at("ts").get<long>(), 10'000'000) << "microseconds, from the tour";
            EXPECT_GT(event.at("dur").get<long>(), 0);
        }
        if (ph == "i") {
            instants++;
            EXPECT_NE(event.at("name").get<std::string>().find("the fork"), std::string::npos);
        }
        if (ph == "C") {
            counters++;
            int free = event.at("args").at("free permits");
            EXPECT_GE(free, 0);
            EXPECT_LE(free, 2);
        }
    }
    EXPECT_EQ(threads,
              (std::set<std::string>{"junction", "car 1", "car 2", "car 3", "car 4", "car 5"}));
    // Announced and on the road for each car, and waiting for the three that queued.
    EXPECT_EQ(complete, 13);
    EXPECT_EQ(instants, 15);
    EXPECT_EQ(counters, 11) << "the start, and a take and a give-back per car";
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
    auto shown = question.judge(run, nullptr);
    ASSERT_TRUE(shown.has_value());
    EXPECT_EQ(shown->answer, c.answer);
    EXPECT_NE(shown->because.find(c.because), std::string::npos) << shown->because;
    EXPECT_EQ(tour::judgement(c.answer, shown).rfind("right: ", 0), 0u);
    EXPECT_EQ(tour::judgement("-42", shown), "wrong: you said -42; " + shown->because);
}

// Three permits: three cars AT at once, one of them PASSED only after the third arrived.
std::vector<procrun::Line> three_permits() {
    return {{"(1) I am AT the fork", 1},         {"(2) I am AT the fork", 1},
            {"(1) I have PASSED the fork", 1.5}, {"(3) I am AT the fork", 1.6},
            {"(4) I am AT the fork", 1.7},       {"(2) I have PASSED the fork", 2},
            {"(3) I have PASSED the fork", 2.6}, {"(4) I have PASSED the fork", 2.7}};
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
        // Numbers past any type: judged as the numbers they are.
        Judged{"boxoffice-sem",
               0,
               {{"The left ticket is 0099999999999999999999", 1}},
               1,
               1,
               "99999999999999999999",
               "the stock and the sales disagree"},
        Judged{"spawn-count", 0, {{"hello(-000)", 0}}, 0, 0, "0", "hello(0)"},
        // Without the lock: both agents read 2, and one sale is lost.
        Judged{"boxoffice-mutex",
               0,
               {{"One ticket sold", 0}, {"One ticket sold", 0}, {"The left ticket is 1", 1}},
               1,
               1,
               "1",
               "the stock and the sales disagree"},
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
        return made_up({{std::string("The time taken in total: ") + seconds + " seconds", 1}}, 1);
    };
    auto serial = total("1.000000");
    for (auto [threads, expected] :
         {std::pair{"1.400000", "b"}, {"0.700000", "b"}, {"1.600000", "c"}, {"0.600000", "a"}})
        EXPECT_EQ(question.judge(total(threads), &serial)->answer, expected) << threads;
    EXPECT_FALSE(question.judge(total("1.0"), nullptr).has_value()) << "nothing to compare with";
}

TEST(Judgement, ARunThatDidNotShowItIsNotJudged) {
    auto empty = made_up({}, 0.1);
    for (const char *program : {"junction", "boxoffice-sem", "spawn-count"})
        EXPECT_FALSE(tour::find_demonstration(program)->questions.at(0).judge(empty, nullptr))
            << program;
    EXPECT_EQ(tour::judgement("2", std::nullopt), "not judged: this run did not show it");
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
        {"?", tour::Kind::letter, "", entries[2].questions[0].judge});
    EXPECT_EQ(tour::check(entries),
              "dartpi-threads: compared, but with no program of the tour\n"
              "junction: no way to judge \"At most how many cars will be AT the fork at the same "
              "time?\"\n"
              "boxoffice-sem: two entries have this name\n"
              "x: no way to judge \"?\"\n"
              "x: no letters offered for \"?\"\n");
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
