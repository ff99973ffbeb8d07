// The tour as a person at a terminal sees it.
#include "programs.h"
#include "spinning.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <unistd.h>

using namespace cdtest;

namespace {

procrun::Options tour(std::vector<std::string> args, Output output = Output::terminal) {
    auto options = program("concurrency-tour", output, 60);
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    options.env.emplace_back("NO_COLOR", "1");
    return options;
}

bool has_line(const std::vector<std::string> &lines, const std::string &pattern) {
    const std::regex format(pattern);
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &line) { return std::regex_match(line, format); });
}

namespace fs = std::filesystem;

// The lines of the run that start with `prefix` once their indentation is taken off.
std::vector<std::string> starting(const procrun::Result &run, const std::string &prefix) {
    std::vector<std::string> found;
    for (const auto &text : run.texts()) {
        std::string plain = text.substr(std::min(text.find_first_not_of(' '), text.size()));
        if (plain.rfind(prefix, 0) == 0)
            found.push_back(plain);
    }
    return found;
}

// A copy of the tour in a folder of its own, beside stand-ins for the programs it runs: scripts
// printing what a changed program might, or copies of the real ones.
class StandIns {
  public:
    explicit StandIns(const std::string &name) : dir_(fs::path(testing::TempDir()) / name) {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::copy_file(bin("concurrency-tour"), dir_ / "concurrency-tour");
    }
    StandIns(const StandIns &) = delete;
    StandIns &operator=(const StandIns &) = delete;
    ~StandIns() { fs::remove_all(dir_); }

    void script(const std::string &program, const std::string &body) {
        std::ofstream(dir_ / program) << "#!/bin/sh\n" << body << "\n";
        fs::permissions(dir_ / program, fs::perms::owner_all);
    }
    void real(const std::string &program) { fs::copy_file(bin(program), dir_ / program); }
    const fs::path &dir() const { return dir_; }
    procrun::Options tour_of(std::vector<std::string> args, Output output = Output::terminal) {
        auto options = tour(std::move(args), output);
        options.argv[0] = (dir_ / "concurrency-tour").string();
        return options;
    }

  private:
    fs::path dir_;
};

// The time stamps of the lines between two headings (or the end), in order.
std::vector<std::vector<double>> stamps_by_program(const std::vector<std::string> &lines) {
    static const std::regex stamped(R"( +\+(\d+\.\d\d)s  .*)");
    std::vector<std::vector<double>> programs;
    for (const auto &text : lines) {
        std::smatch m;
        if (text.rfind("== ", 0) == 0)
            programs.emplace_back();
        else if (!programs.empty() && std::regex_match(text, m, stamped))
            programs.back().push_back(std::stod(m[1]));
    }
    return programs;
}

TEST(Tour, ShowsEachProgramWithTimedLinesHowItEndedAndWhatTheKernelSawOfTheCars) {
    // With the quiz: the tickets left, the After fork lines, the cars at once, how a car waits.
    auto options = tour({"--quiz", "boxoffice-sem", "spawn-pause", "junction"});
    std::vector<std::string> answers = {"0\n", "2\n", "2\n", "b\n"};
    size_t next = 0;
    options.on_prompt = [&](const std::string &partial) -> std::string {
        return partial == "  > " && next < answers.size() ? answers[next++] : "";
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    auto lines = run.texts();
    for (const char *name : {"boxoffice-sem", "spawn-pause", "junction"})
        EXPECT_EQ(count(lines, std::string("== ") + name + " =="), 1) << name;
    EXPECT_EQ(count(lines, "== boxoffice-mutex =="), 0);

    const std::string stamp = R"(\s+\+\d+\.\d\ds  )";
    EXPECT_TRUE(has_line(lines, stamp + "One ticket sold"));
    EXPECT_TRUE(has_line(lines, R"(\s+\+[01]\.\d\ds  The left ticket is 0)"));
    EXPECT_TRUE(has_line(lines, stamp + R"(\(\d+\) I am AT the fork)"));
    EXPECT_TRUE(has_line(lines, R"(\s+\+[67]\.\d\ds  exit status 0)")) << "junction's end";
    EXPECT_TRUE(
        has_line(lines, stamp + R"(\[both processes have said "After fork": sending SIGINT.*)"));
    EXPECT_TRUE(has_line(lines, stamp + "ended by signal INT"));
    EXPECT_TRUE(has_line(lines, stamp + R"(\[both processes have ended\])"));

    // The timeline: main and a row per car as the kernel saw them, the cars that waited for the
    // road blocked in the semaphore, never more than three of them at once.
    std::map<std::string, std::string> rows;
    static const std::regex row(R"(  (main|car \d|cars blocked on the road) +\|([^|]+)\|)");
    std::smatch m;
    for (const auto &line : lines)
        if (std::regex_match(line, m, row))
            rows[m[1]] = m[2];
    ASSERT_GE(rows.size(), 7u) << "a sanitizer's runtime may add a thread";
    const std::string &blocked = rows["cars blocked on the road"];
    EXPECT_EQ(*std::max_element(blocked.begin(), blocked.end()), '3') << blocked;
    int waited = 0;
    for (const auto &[name, marks] : rows)
        waited += name.rfind("car ", 0) == 0 && marks.find("....") != std::string::npos;
    EXPECT_EQ(waited, 3) << "three cars waited for the road, blocked";
    EXPECT_TRUE(has_line(lines, R"(  what to see: car \d, car \d and car \d wait for the road )"
                                R"(blocked \(\.\) in the semaphore, .*)"));
    // (A sanitizer's runtime adds threads and processes of its own, some too brief to read.)
    EXPECT_TRUE(has_line(
        lines, R"(  (at least )?\d threads .*on \d CPUs: at most \d running at once; .*)"));
    EXPECT_EQ(starting(run, "right: the kernel saw car").size(), 1u) << "a waiting car is blocked";
    EXPECT_EQ(count(lines, "Predictions: 4 of 4 right, 0 not answered, 0 not judged"), 1);
}

TEST(Tour, NowaitShowsTheParentReturnBeforeTheChildEnds) {
    auto run = procrun::run(tour({"spawn-nowait"}));
    EXPECT_EQ(run.exit_code, 0);
    auto lines = run.texts();
    EXPECT_TRUE(has_line(lines, R"(\s+\+0\.\d\ds  \[the program \(the parent\) has returned.*)"));
    EXPECT_TRUE(has_line(lines, R"(\s+\+3\.\d\ds  \[the child has ended too\])"));
}

TEST(Tour, ComparesTheTwoPiProgramsAfterBoth) {
    auto run = procrun::run(tour({"dartpi-serial", "dartpi-threads"}));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(has_line(run.texts(),
                         R"(  serial vs threads: processor \d+\.\d{3} s vs \d+\.\d{3} s, as each )"
                         R"(printed it .*; )"
                         R"(wall \d+\.\d{3} s vs \d+\.\d{3} s .*)"));
}

TEST(Tour, BadOptionsAndUnknownProgramsExitWithStatus2) {
    for (const char *arg : {"--bogus", "no-such-program"}) {
        auto run = procrun::run(tour({arg}));
        EXPECT_EQ(run.exit_code, 2) << arg;
        EXPECT_NE(run.err.find(arg), std::string::npos) << run.err;
        EXPECT_TRUE(run.lines.empty() || run.texts() == std::vector<std::string>{});
    }
    auto list = procrun::run(tour({"--list"}));
    EXPECT_EQ(list.exit_code, 0);
    auto names = std::count_if(list.lines.begin(), list.lines.end(),
                               [](const auto &line) { return line.text.front() != ' '; });
    EXPECT_EQ(names, 10) << "one program a line, what it shows wrapped under it";
}

TEST(Tour, ColourOnlyOnATerminalAndOnlyWithoutNoColor) {
    auto coloured = program("concurrency-tour", Output::terminal);
    coloured.argv.push_back("boxoffice-mutex");
    EXPECT_NE(procrun::run(coloured).lines.at(1).text.find("\033["), std::string::npos);
    for (const auto &options : {tour({"boxoffice-mutex"}, Output::terminal), [] {
                                    auto piped = program("concurrency-tour", Output::pipe);
                                    piped.argv.push_back("boxoffice-mutex");
                                    return piped;
                                }()})
        for (const auto &line : procrun::run(options).lines)
            EXPECT_EQ(line.text.find('\033'), std::string::npos) << line.text;
}

TEST(Tour, WritesWhatItSawAsATraceFile) {
    std::string path = testing::TempDir() + "tour-trace.json";
    auto run = procrun::run(tour({"--trace", path, "spawn-count", "boxoffice-mutex"}));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::ifstream file(path);
    auto trace = nlohmann::json::parse(file); // throws, and fails the test, if not valid JSON
    std::vector<std::string> programs;
    int instants = 0;
    for (const auto &event : trace.at("traceEvents")) {
        if (event.at("ph") == "M" && event.at("name") == "process_name")
            programs.push_back(event.at("args").at("name"));
        if (event.at("ph") != "i")
            continue;
        instants++;
        // A line that gives its process's id is on that process's track: the real ids.
        static const std::regex gives(R"((?:Parent Process id: |Before fork Process id:)(\d+))");
        std::smatch m;
        std::string text = event.at("name");
        if (std::regex_match(text, m, gives)) {
            EXPECT_EQ(event.at("pid"), std::stoi(m[1])) << text;
        }
    }
    // In this order; a sanitizer's runtime may add processes of its own as a program exits.
    std::vector<std::string> expected{"spawn-count", "spawn-count (child)", "boxoffice-mutex"};
    auto next = programs.begin();
    for (const auto &name : expected)
        EXPECT_NE(next = std::find(next, programs.end(), name), programs.end()) << name;
    EXPECT_EQ(instants, 9 + 3) << "one instant per printed line";
    std::filesystem::remove(path);
}

// The kernel's own count: threads that spin for known processor times print their own clocks,
// run under the tour as dartpi-threads; what the trace draws running is held against them, on an
// idle machine and with processes spinning beside it (the tolerances are generous: the tests run
// side by side, and the tour may run under a sanitizer).
class BesideSpinning : public testing::TestWithParam<int> {};

TEST_P(BesideSpinning, EachThreadIsDrawnRunningAsLongAsItsOwnClockCounted) {
    StandIns own_clocks("tour-own-clocks-" + std::to_string(GetParam()));
    fs::copy_file(CD_BENCH_DIR "/spin_clocks", own_clocks.dir() / "dartpi-threads");
    std::string path = (own_clocks.dir() / "trace.json").string();
    procrun::Result run;
    {
        Spinning beside(GetParam());
        run = procrun::run(own_clocks.tour_of({"--trace", path, "dartpi-threads"}));
    }
    ASSERT_EQ(run.exit_code, 0) << run.err;
    std::map<long, double> counted_ms, drawn_ms;
    double process_ms = 0;
    static const std::regex thread_line(R"( +\+\d+\.\d\ds  thread (\d+) counted (\d+) ns)"),
        process_line(R"( +\+\d+\.\d\ds  process counted (\d+) ns)");
    for (const auto &text : run.texts()) {
        std::smatch m;
        if (std::regex_match(text, m, thread_line))
            counted_ms[std::stol(m[1])] = std::stod(m[2]) / 1e6;
        else if (std::regex_match(text, m, process_line))
            process_ms = std::stod(m[1]) / 1e6;
    }
    ASSERT_EQ(counted_ms.size(), 10u);
    std::ifstream file(path);
    auto trace = nlohmann::json::parse(file);
    double all_drawn_ms = 0;
    for (const auto &event : trace.at("traceEvents")) {
        if (event.at("ph") == "X" && event.at("name") == "running") {
            drawn_ms[event.at("tid").get<long>()] += event.at("dur").get<double>() / 1000;
            all_drawn_ms += event.at("dur").get<double>() / 1000;
        }
    }
    for (const auto &[tid, ms] : counted_ms)
        EXPECT_NEAR(drawn_ms[tid], ms, std::max(10.0, 0.25 * ms)) << "thread " << tid;
    EXPECT_NEAR(all_drawn_ms, process_ms, 0.1 * process_ms);
}

INSTANTIATE_TEST_SUITE_P(OwnClocks, BesideSpinning, testing::Values(0, 2),
                         [](const testing::TestParamInfo<int> &spinning) {
                             return spinning.param == 0
                                        ? std::string("idle")
                                        : std::to_string(spinning.param) + "_processes_spinning";
                         });

TEST(Tour, TheTimeColumnLinesUpWithColourOn) {
    auto options = program("concurrency-tour", Output::terminal);
    options.argv.push_back("spawn-pause");
    static const std::regex colour_code("\033\\[[0-9;]*m");
    std::set<size_t> text_columns; // where the text after the stamp starts
    for (const auto &line : procrun::run(options).lines) {
        std::string plain = std::regex_replace(line.text, colour_code, "");
        static const std::regex stamped(R"(( +\+\d+\.\d\ds  ).*)");
        std::smatch m;
        if (std::regex_match(plain, m, stamped))
            text_columns.insert(static_cast<size_t>(m[1].length()));
    }
    EXPECT_EQ(text_columns, std::set<size_t>{12}) << "programs' lines and the tour's notes";
}

TEST(Tour, VersionIsTheProjectVersion) {
    auto run = procrun::run(tour({"--version"}));
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.texts(), std::vector<std::string>{"concurrency-tour " CD_PROJECT_VERSION});
}

TEST(Tour, RunsOnlyTheProgramsBesideItself) {
    // A copy of the tour alone in a folder, started from a folder that holds build/bin/junction.
    StandIns alone("tour-alone");
    fs::create_directories(alone.dir() / "elsewhere/build/bin");
    fs::copy_file(bin("boxoffice-mutex"), alone.dir() / "elsewhere/build/bin/junction");
    auto options = alone.tour_of({"junction"});
    options.prefix = {"sh", "-c", "cd \"$0\" && exec \"$@\"", (alone.dir() / "elsewhere").string()};
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "concurrency-tour: junction: not found (looked for " +
                           (alone.dir() / "junction").string() + ")\n");
    EXPECT_EQ(count(run.texts(), "One ticket sold"), 0) << "ran a program from the current folder";
}

TEST(Tour, OptionsEndAtDoubleDashAndAreCheckedBeforeAnythingRuns) {
    auto named = procrun::run(tour({"--", "boxoffice-mutex"}));
    EXPECT_EQ(named.exit_code, 0) << named.err;
    EXPECT_EQ(count(named.texts(), "== boxoffice-mutex =="), 1);
    auto dashed = procrun::run(tour({"--", "--quiz"}));
    EXPECT_EQ(dashed.exit_code, 2);
    EXPECT_NE(dashed.err.find("no such program '--quiz'"), std::string::npos) << dashed.err;
    for (auto args : {std::vector<std::string>{"--trace", "-", "junction"},
                      {"--timeout", "0", "junction"},
                      {"--timeout=x", "junction"},
                      {"--runs", "0", "junction"},
                      {"--runs=1001", "junction"}}) {
        auto run = procrun::run(tour(args));
        EXPECT_EQ(run.exit_code, 2) << args[0];
        EXPECT_LT(run.exited_at, 1.0) << "junction would have taken seven seconds";
    }
    // Help fits the terminal (100 columns here); no colour where TERM says the terminal has none.
    auto help = procrun::run(tour({"--help"}));
    EXPECT_GT(help.lines.size(), 10u);
    for (const auto &line : help.lines)
        EXPECT_LE(line.text.size(), 100u) << line.text;
    auto dumb = program("concurrency-tour", Output::terminal);
    dumb.argv.push_back("boxoffice-mutex");
    dumb.env.emplace_back("TERM", "dumb");
    for (const auto &line : procrun::run(dumb).lines)
        EXPECT_EQ(line.text.find('\033'), std::string::npos) << line.text;
}

TEST(Runs, ShowTheFirstThenTallyEveryRunWithProgressOnlyOnATerminal) {
    auto piped = procrun::run(tour({"--runs", "3", "boxoffice-race"}, Output::pipe));
    EXPECT_EQ(piped.exit_code, 0) << piped.err;
    auto sold = [](const procrun::Result &run) {
        return std::count_if(run.lines.begin(), run.lines.end(), [](const auto &line) {
            return line.text.ends_with("One agent sold 1000 tickets");
        });
    };
    EXPECT_EQ(sold(piped), 2) << "the first run shown, the others not";
    EXPECT_EQ(starting(piped, "over 3 runs:").size(), 1u);
    EXPECT_EQ(starting(piped, "Tickets left over: ").size(), 1u);
    EXPECT_EQ(starting(piped, "run 2 of 3").size(), 0u) << "no progress through a pipe";

    // On a terminal, Ctrl-C during the runs: what the completed runs showed, then status 130.
    auto options = tour({"--runs", "1000", "boxoffice-race"});
    pid_t tour_pid = 0;
    bool progress = false;
    options.on_line = [&](const procrun::Line &, pid_t pgid) { tour_pid = pgid; };
    options.on_prompt = [&](const std::string &partial) -> std::string {
        // The progress line is written over in place: "\r  run 4 of 1000".
        std::size_t at = partial.rfind("run ");
        if (at != std::string::npos && partial.find(" of 1000", at) != std::string::npos &&
            std::atoi(partial.c_str() + at + 4) >= 4 && !progress) {
            progress = true;
            kill(tour_pid, SIGINT);
        }
        return "";
    };
    auto cut = procrun::run(options);
    EXPECT_EQ(cut.exit_code, 130);
    EXPECT_TRUE(progress) << "a line of progress on a terminal";
    auto tallied = starting(cut, "over ");
    static const std::regex over(R"(over (\d+) runs:)");
    std::smatch m;
    ASSERT_EQ(tallied.size(), 1u);
    ASSERT_TRUE(std::regex_match(tallied[0], m, over)) << tallied[0];
    EXPECT_GE(std::stoi(m[1]), 3);
    EXPECT_LT(std::stoi(m[1]), 1000);
    EXPECT_EQ(starting(cut, "interrupted: the tour was ended").size(), 1u);
    EXPECT_TRUE(procrun::started_by(tour_pid).empty());
}

class EndingSignal : public testing::TestWithParam<int> {};

TEST_P(EndingSignal, EndsTheProgramShownAndThenTheTourWith128PlusIt) {
    auto options = tour({"junction", "boxoffice-sem"});
    bool sent = false;
    options.on_line = [&](const procrun::Line &line, pid_t pgid) {
        if (line.text.find("INTEND") != std::string::npos && !sent)
            sent = kill(pgid, GetParam()) == 0; // Ctrl-C, a kill, or the terminal closing
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 128 + GetParam());
    EXPECT_LT(run.exited_at, 3.0) << "junction would have taken seven seconds";
    EXPECT_EQ(count(run.texts(), "== boxoffice-sem =="), 0);
    EXPECT_TRUE(procrun::started_by(run.pid).empty()) << "a program the tour started is alive";
}

INSTANTIATE_TEST_SUITE_P(CtrlCTermAndHangUp, EndingSignal,
                         testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST(ChangedPrograms, OddNumbersRealTimeSignalsAndSilenceAreJudgedAndTheQuizGoesOn) {
    StandIns changed("tour-odd-numbers");
    changed.script("boxoffice-sem", "echo 'The left ticket is 99999999999999999999'");
    changed.script("dartpi-serial", "echo 'The estimated PI is 3.1 in 1000000 times'\n"
                                    "echo 'The estimated PI is 3.1 in 4000000 times'\n"
                                    "echo 'The time taken in total: . seconds'");
    changed.script("dartpi-threads", "echo 'The estimated PI is 3.1 in 4000000 times'\n"
                                     "echo 'The estimated PI is 3.1 in 1000000 times'\n"
                                     "echo 'The time taken in total: 0.5 seconds'");
    changed.script("boxoffice-mutex", "kill -s RTMIN+3 $$"); // shows nothing, and no short name
    std::string answers = "0\ny\nn\nb\n3\n3\n";
    auto options = changed.tour_of(
        {"--quiz", "boxoffice-sem", "dartpi-serial", "dartpi-threads", "boxoffice-mutex"},
        Output::pipe);
    options.input = &answers;
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 1) << "boxoffice-mutex failed";
    EXPECT_NE(run.err.find("boxoffice-mutex: ended by signal " + std::to_string(SIGRTMIN + 3)),
              std::string::npos)
        << run.err;
    auto lines = run.texts();
    EXPECT_TRUE(has_line(lines, "  wrong: you said 0; the last line says 99999999999999999999 .*"));
    // Judged: the tickets, the serial order, the threads' order; not: a total of ". seconds"
    // to compare with, threads running where a script ran none, a program that printed nothing.
    EXPECT_EQ(count(lines, "Predictions: 2 of 3 right, 0 not answered, 3 not judged"), 1);
}

TEST(ChangedPrograms, WhatTheyPrintIsShownNotObeyedAndTheTraceHoldsItAllWhenCutShort) {
    StandIns changed("tour-odd-lines");
    changed.script("boxoffice-sem",
                   "printf 'nul\\000byte\\n\\033]0;retitled\\007\\n\\377\\376 not text\\n'");
    changed.script("boxoffice-mutex", "echo 'One ticket sold'; sleep 30");
    std::string path = (changed.dir() / "trace.json").string();
    auto options = changed.tour_of({"--trace", path, "boxoffice-sem", "boxoffice-mutex"});
    options.on_line = [&](const procrun::Line &line, pid_t pgid) {
        if (line.text.find("One ticket sold") != std::string::npos)
            kill(pgid, SIGINT);
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 130);
    auto lines = run.texts();
    EXPECT_TRUE(has_line(lines, R"( +\+\d\.\d\ds  nul\^@byte)"));
    EXPECT_TRUE(has_line(lines, R"( +\+\d\.\d\ds  \^\[\]0;retitled\^G)"));
    std::ifstream file(path);
    auto trace = nlohmann::json::parse(file); // throws, and fails the test, if not valid JSON
    std::vector<std::string> printed;
    for (const auto &event : trace.at("traceEvents"))
        if (event.at("ph") == "i")
            printed.push_back(event.at("name"));
    EXPECT_EQ(printed, (std::vector<std::string>{std::string("nul\0byte", 8), "\033]0;retitled\a",
                                                 "\uFFFD\uFFFD not text", "One ticket sold"}))
        << "the line of the program cut short too";
}

TEST(ChangedPrograms, StampsNeverGoBackAndASilentProgramIsWaitedForThenTimedOut) {
    StandIns changed("tour-slow");
    changed.script("boxoffice-sem", "(sleep 0.3; echo late) & echo early"); // returns at once
    changed.script("boxoffice-mutex", "echo started; exec sleep 100");
    auto run =
        procrun::run(changed.tour_of({"--timeout", "11", "boxoffice-sem", "boxoffice-mutex"}));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "concurrency-tour: boxoffice-mutex: timed out\n");
    for (const auto &stamps : stamps_by_program(run.texts()))
        EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
    auto lines = run.texts();
    EXPECT_TRUE(has_line(lines, R"( +\+0\.[34]\ds  exit status 0)")) << "after the late line";
    EXPECT_TRUE(has_line(lines, R"( +\+10\.\d\ds  \[still waiting: boxoffice-mutex has printed )"
                                R"(nothing for 10 s; the tour ends it at 11 s\])"));
    EXPECT_TRUE(has_line(lines, R"( +\+11\.\d\ds  timed out after 11 s)"));
}

TEST(ChangedPrograms, AMillionLinesAreShownWithoutHoldingThemAll) {
    StandIns changed("tour-many-lines");
    changed.script("boxoffice-sem", "exec seq 1000000");
    auto options = changed.tour_of({"boxoffice-sem"}, Output::pipe);
    options.keep_lines = 4;
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_GT(run.lines.size() + run.lines_not_kept, 1000000u) << "every line shown";
    EXPECT_LT(run.max_rss_kb, 64 * 1024) << "kilobytes at most";
}

TEST(ChangedPrograms, ManyRunsOfAProgramPrintingManyLinesKeepWhatTheyShowedNotTheirLines) {
    StandIns changed("tour-many-runs");
    changed.script("boxoffice-sem", "seq 10000; echo 'The left ticket is 0'");
    auto options = changed.tour_of({"--runs", "200", "boxoffice-sem"}, Output::pipe);
    // AddressSanitizer holds freed memory back; what is measured is what the tour keeps.
    const char *asan = getenv("ASAN_OPTIONS");
    options.env.emplace_back("ASAN_OPTIONS",
                             std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0");
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(has_line(run.texts(), R"(    .*: 0 in 200 of 200 runs, certain in these runs)"));
    EXPECT_LT(run.max_rss_kb, 64 * 1024) << "kilobytes at most; every run's lines took 190 MB";
}

} // namespace

namespace {} // namespace

namespace {

TEST(Quiz, AStudentAtATerminalIsAskedAgainJudgedAndScored) {
    // Enter for --step before each program; for the tickets a wrong kind of answer, then the right
    // one; a wrong prediction for spawn-nowait's return, and its second question left empty.
    std::vector<std::string> typed = {"\n", "x\n", "0\n", "\n", "n\n", "\n", "c\n"};
    size_t next = 0;
    auto options = tour({"--quiz", "--step", "boxoffice-mutex", "spawn-nowait"});
    options.on_prompt = [&](const std::string &partial) -> std::string {
        // A prompt may arrive in pieces: answer only the whole of it.
        bool asks = partial == "  > " || partial == "Press Enter to run boxoffice-mutex" ||
                    partial == "Press Enter to run spawn-nowait";
        return asks && next < typed.size() ? typed[next++] : "";
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(next, typed.size());
    auto lines = run.texts();
    EXPECT_EQ(count(lines, "Press Enter to run boxoffice-mutex"), 1);
    EXPECT_EQ(count(lines, "  ? How many tickets will be left at the end?"), 1);
    EXPECT_EQ(count(lines, "  ? Will the program return before its child has ended? (y/n)"), 1);
    EXPECT_EQ(count(lines, "  > x"), 1);
    EXPECT_EQ(starting(run, "please answer with a whole number").size(), 1u);
    auto right = starting(run, "right: "), wrong = starting(run, "wrong: "),
         unanswered = starting(run, "not answered: ");
    ASSERT_EQ(right.size(), 2u);
    EXPECT_EQ(right[0].rfind("right: the last line says 0 left, after 2 sales", 0), 0u);
    ASSERT_EQ(wrong.size(), 1u);
    EXPECT_TRUE(has_line(wrong, R"(wrong: you said n; the program returned at \+0\.\d\ds and its )"
                                R"(child ended at \+3\.\d\ds: .*)"))
        << wrong[0];
    EXPECT_EQ(unanswered.size(), 1u);
    EXPECT_TRUE(has_line(right, "right: while the child slept 3.0 s, the parent had already "
                                "ended: .*"))
        << "the kernel's view of spawn-nowait";
    EXPECT_EQ(count(lines, "Predictions: 2 of 4 right, 1 not answered, 0 not judged"), 1);
}

TEST(Quiz, AnswersPipedInAreShownAsTypedAndTheEndOfInputLeavesTheRestUnanswered) {
    std::string answers = "0\nmaybe\n"; // then nothing: the third question meets the end
    auto options = tour({"--quiz", "boxoffice-sem", "spawn-nowait"}, Output::pipe);
    options.input = &answers;
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    auto lines = run.texts();
    EXPECT_EQ(count(lines, "  > 0"), 1);
    EXPECT_EQ(count(lines, "  > maybe"), 1) << "a line of the wrong kind, shown as typed";
    EXPECT_EQ(starting(run, "please answer").size(), 0u) << "nobody is there to answer again";
    EXPECT_EQ(starting(run, "not answered: ").size(), 3u);
    EXPECT_EQ(count(lines, "Predictions: 1 of 4 right, 3 not answered, 0 not judged"), 1);
}

TEST(Quiz, ThreadsAreComparedWithSerialOnlyWhenItRanFirst) {
    for (bool serial_first : {true, false}) {
        std::string answers = serial_first ? "y\ny\nb\n2\n" : "y\n2\n";
        auto options = tour({"--quiz", "dartpi-threads"}, Output::pipe);
        if (serial_first)
            options.argv.insert(options.argv.end() - 1, "dartpi-serial");
        options.input = &answers;
        auto run = procrun::run(options);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        static const std::regex compared(R"((right:|wrong: you said b;) processor time \d+\.\d{3} )"
                                         R"(s against dartpi-serial's \d+\.\d{3} s: .*)");
        auto judgements = starting(run, "");
        EXPECT_EQ(std::count_if(judgements.begin(), judgements.end(),
                                [](const auto &text) { return std::regex_match(text, compared); }),
                  serial_first ? 1 : 0);
        // Every question asked, judged or not (how many ran at once may not be).
        std::smatch score;
        std::string predictions = starting(run, "Predictions: ").at(0);
        ASSERT_TRUE(std::regex_match(predictions, score,
                                     std::regex(R"(.* of (\d) right, .*, (\d) not judged)")));
        EXPECT_EQ(std::stoi(score[1]) + std::stoi(score[2]), serial_first ? 4 : 2) << predictions;
        // Judged by the kernel's view: how many of the threads were on a CPU at once, where
        // the readings tell.
        EXPECT_TRUE(has_line(starting(run, ""),
                             R"((right:|wrong: you said 2;) the kernel had at most [12] of them )"
                             R"(on a CPU at once: .*|not judged: the readings show 1 to 2 .*)"));
    }
}

TEST(Quiz, CtrlCAtAQuestionEndsTheTourThereWithoutAScore) {
    // The first program runs and is judged; Ctrl-C comes at the second one's question.
    auto options = tour({"--quiz", "boxoffice-mutex", "boxoffice-sem"});
    pid_t tour_pid = 0;
    int prompts = 0;
    options.on_line = [&](const procrun::Line &, pid_t pgid) { tour_pid = pgid; };
    options.on_prompt = [&](const std::string &partial) -> std::string {
        if (partial != "  > ")
            return "";
        if (++prompts == 1)
            return "0\n";
        kill(tour_pid, SIGINT);
        return "";
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 130);
    EXPECT_EQ(prompts, 2);
    auto lines = run.texts();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto &text) { return text.ends_with("s  One ticket sold"); }),
              2)
        << "boxoffice-mutex ran, boxoffice-sem never did";
    EXPECT_EQ(starting(run, "right: ").size(), 1u);
    EXPECT_EQ(starting(run, "interrupted: the tour was ended").size(), 1u);
    EXPECT_EQ(starting(run, "Predictions:").size(), 0u);
    EXPECT_LT(run.exited_at, 5.0);
}

TEST(Quiz, KeysPressedDuringARunAnswerNothing) {
    // A 7 and Enter typed while boxoffice-mutex runs; then 0 and 98 at the questions.
    auto options = tour({"--quiz", "boxoffice-mutex", "spawn-count"});
    std::vector<std::string> answers = {"0\n", "98\n"};
    size_t next = 0;
    options.type_after_line = [](const procrun::Line &line) {
        return line.text.find("One ticket sold") != std::string::npos ? "7\n" : "";
    };
    options.on_prompt = [&](const std::string &partial) -> std::string {
        return partial == "  > " && next < answers.size() ? answers[next++] : "";
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_EQ(count(run.texts(), "Predictions: 2 of 2 right, 0 not answered, 0 not judged"), 1);
}

TEST(Quiz, ProseIsWrappedAtWordsToTheTerminalAndKeptWholeThroughAPipe) {
    // The setting, as the lines from its first word to the blank line after it.
    std::string none;
    std::map<Output, std::vector<std::string>> setting;
    for (Output output : {Output::terminal, Output::pipe}) {
        auto options = tour({"--quiz", "boxoffice-sem"}, output);
        options.input = &none;
        auto lines = procrun::run(options).texts();
        auto first = std::find(lines.begin(), lines.end(), "== boxoffice-sem ==") + 1;
        setting[output].assign(first, std::find(first, lines.end(), ""));
        for (const auto &text : lines)
            EXPECT_TRUE(output == Output::pipe || text.size() <= 100u) << "too wide: " << text;
    }
    ASSERT_EQ(setting[Output::pipe].size(), 1u) << "one whole line through a pipe";
    EXPECT_GT(setting[Output::pipe][0].size(), 100u);
    ASSERT_GT(setting[Output::terminal].size(), 1u);
    std::string joined;
    for (const auto &text : setting[Output::terminal])
        joined += (joined.empty() ? "" : " ") + text;
    EXPECT_EQ(joined, setting[Output::pipe][0]) << "broken only where a space was";
}

TEST(Tour, AProgramThatFailsMakesTheStatus1AndIsNamed) {
    StandIns failing("tour-failing");
    failing.script("boxoffice-sem", "echo One ticket sold\nexit 3");
    failing.script("boxoffice-mutex", "kill -SEGV $$");
    auto run = procrun::run(failing.tour_of({"boxoffice-sem", "boxoffice-mutex"}));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "concurrency-tour: boxoffice-sem: exited with status 3\n"
                       "concurrency-tour: boxoffice-mutex: ended by signal SEGV\n");
}

TEST(Tour, FailedRunsAreCountedApartAndJudgeNothing) {
    StandIns failing("tour-failed-runs");
    // Every other run fails, and what it printed would say otherwise.
    failing.script("boxoffice-sem",
                   "n=$(cat '" + (failing.dir() / "count").string() +
                       "' 2>/dev/null || echo 0); n=$((n + 1))\n"
                       "echo $n > '" +
                       (failing.dir() / "count").string() +
                       "'\n"
                       "[ $((n % 2)) = 0 ] && { echo 'The left ticket is 1'; exit 1; }\n"
                       "echo 'The left ticket is 0'");
    failing.script("boxoffice-mutex", "echo 'The left ticket is 1'; exit 1");
    std::string answers = "0\n1\n";
    auto options = failing.tour_of({"--quiz", "--runs", "4", "boxoffice-sem"}, Output::pipe);
    options.input = &answers;
    auto quiz = procrun::run(options);
    EXPECT_EQ(quiz.exit_code, 1);
    EXPECT_TRUE(has_line(quiz.texts(), R"(  right in 2 of 2 runs: .* \(2 of 4 runs failed: they )"
                                       R"(show nothing\))"));
    auto tallied = procrun::run(failing.tour_of({"--runs", "4", "boxoffice-sem"}, Output::pipe));
    EXPECT_TRUE(has_line(tallied.texts(),
                         "    2 of 4 runs failed: they show nothing, and are not counted below"));
    EXPECT_TRUE(has_line(tallied.texts(), R"(    .*: 0 in 2 of 2 runs, certain in these runs)"));

    options = failing.tour_of({"--quiz", "boxoffice-mutex"}, Output::pipe);
    options.input = &answers;
    auto alone = procrun::run(options);
    EXPECT_TRUE(has_line(alone.texts(), "  not judged: the run failed"));
    EXPECT_TRUE(has_line(alone.texts(), "Predictions: 0 of 0 right, 0 not answered, 1 not judged"));
}

TEST(ChangedPrograms, WhatTheReadingsMissedMakesTheirCountTheLeastThereWere) {
    StandIns changed("tour-short-children");
    // Forty children that each end in a moment: some end between two readings, unseen, but the
    // program's own usage, reaped, counts them all.
    changed.script("spawn-count", "for i in $(seq 40); do /bin/true; done");
    auto run = procrun::run(changed.tour_of({"spawn-count"}, Output::pipe));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(has_line(run.texts(), R"(  at least \d+ processes.* on \d+ CPUs?: .*)"));
}

TEST(ChangedPrograms, AChildEndsWhenTheKernelSaysSoAndWhatIsLeftAtTheEndIsEndedAndSaid) {
    StandIns changed("tour-quiet-children");
    // The child closes its output at once, then lives on a second.
    changed.script("spawn-nowait", "echo parent; (exec 0<&- 1>&- 2>&-; sleep 1) &");
    std::string answers = "y\n";
    auto options = changed.tour_of({"--quiz", "spawn-nowait"}, Output::pipe);
    options.input = &answers;
    auto quiet = procrun::run(options);
    auto noted = starting(quiet, "+");
    auto ended = std::find_if(noted.begin(), noted.end(), [](const std::string &text) {
        return text.find("[the child has ended too]") != std::string::npos;
    });
    ASSERT_NE(ended, noted.end()) << quiet.err;
    EXPECT_GE(std::stod(ended->substr(1)), 0.9) << *ended;
    EXPECT_TRUE(has_line(quiet.texts(), "  right: the program returned at .*"));

    // One that leaves the session lives on past the run's time: ended then, and said so. (Its
    // parent stays a moment, for the readings to find it as its child: an orphan is known as the
    // program's only while it stays in the session.)
    changed.script("spawn-nowait", "setsid sleep 25 </dev/null >/dev/null 2>&1 & sleep 0.3");
    auto leaving = changed.tour_of({"--timeout", "1", "spawn-nowait"}, Output::pipe);
    pid_t tour_pid = 0;
    leaving.on_line = [&](const procrun::Line &, pid_t pgid) { tour_pid = pgid; };
    auto left = procrun::run(leaving);
    EXPECT_TRUE(has_line(starting(left, "+"),
                         R"(\+1\.\d\ds  \[the tour ended 1 process the program left running\])"))
        << left.err;
    EXPECT_TRUE(procrun::started_by(tour_pid).empty()) << "the sleep outlived the tour";
}

TEST(Tour, ATraceThatCannotBeWrittenStopsTheTourBeforeItStarts) {
    auto run = procrun::run(tour({"--trace", "/nonexistent/trace.json", "junction"}));
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "concurrency-tour: /nonexistent/trace.json: No such file or directory\n");
    EXPECT_LT(run.exited_at, 1.0) << "junction would have taken seven seconds";
}

} // namespace
