// The tour as a person at a terminal sees it.
#include "programs.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
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

TEST(Tour, ShowsEachProgramWithTimedLinesHowItEndedAndTheJunctionTimeline) {
    auto run = procrun::run(tour({"boxoffice-sem", "spawn-pause", "junction"}));
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
    EXPECT_TRUE(has_line(lines, stamp + R"(\[both processes are in pause\(\): sending SIGINT.*)"));
    EXPECT_TRUE(has_line(lines, stamp + "ended by signal INT"));
    EXPECT_TRUE(has_line(lines, stamp + R"(\[both processes have ended\])"));

    // The timeline: a row per car, and never more than two cars on the road in a column.
    std::vector<std::string> rows;
    static const std::regex row(R"(  car \d  \|([-.# ]+)\|)");
    std::smatch m;
    for (const auto &line : lines)
        if (std::regex_match(line, m, row))
            rows.push_back(m[1]);
    ASSERT_EQ(rows.size(), 5u);
    for (size_t column = 0; column < rows[0].size(); column++) {
        int on_road = 0;
        for (const auto &r : rows)
            on_road += column < r.size() && r[column] == '#';
        EXPECT_LE(on_road, 2) << "column " << column;
    }
    for (const auto &r : rows)
        EXPECT_NEAR(static_cast<double>(std::count(r.begin(), r.end(), '#')), 8, 1) << r;
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
                         R"(  serial vs threads: processor \d+\.\d{3} s vs \d+\.\d{3} s .*; )"
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
    EXPECT_EQ(list.lines.size(), 9u);
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

TEST(Tour, CtrlCEndsTheProgramShownAndTheTourLeavingNothingBehind) {
    auto options = tour({"junction", "boxoffice-sem"});
    pid_t tour_pid = 0;
    options.on_line = [&](const procrun::Line &line, pid_t pgid) {
        if (line.text.find("INTEND") != std::string::npos && tour_pid == 0) {
            tour_pid = pgid;
            kill(pgid, SIGINT); // what Ctrl-C sends the tour
        }
    };
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 130);
    EXPECT_LT(run.exited_at, 3.0) << "junction would have taken seven seconds";
    EXPECT_EQ(count(run.texts(), "== boxoffice-sem =="), 0);
    ASSERT_NE(tour_pid, 0);
    EXPECT_TRUE(procrun::started_by(tour_pid).empty()) << "a program the tour started is alive";
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
        instants += event.at("ph") == "i";
    }
    EXPECT_EQ(programs, (std::vector<std::string>{"spawn-count", "boxoffice-mutex"}));
    EXPECT_EQ(instants, 9 + 3) << "one instant per printed line";
    std::filesystem::remove(path);
}

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
    namespace fs = std::filesystem;
    fs::path alone = fs::path(testing::TempDir()) / "tour-alone";
    fs::remove_all(alone);
    fs::create_directories(alone / "elsewhere/build/bin");
    fs::copy_file(bin("concurrency-tour"), alone / "concurrency-tour");
    fs::copy_file(bin("boxoffice-mutex"), alone / "elsewhere/build/bin/junction");
    auto options = tour({"junction"});
    options.argv[0] = (alone / "concurrency-tour").string();
    options.prefix = {"sh", "-c", "cd \"$0\" && exec \"$@\"", (alone / "elsewhere").string()};
    auto run = procrun::run(options);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "concurrency-tour: junction: not found (looked for " +
                           (alone / "junction").string() + ")\n");
    EXPECT_EQ(count(run.texts(), "One ticket sold"), 0) << "ran a program from the current folder";
    fs::remove_all(alone);
}

} // namespace
