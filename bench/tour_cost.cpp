// What the tour costs: the processor time of sampling every thread from /proc while junction
// runs, dartpi-serial's own printed processor time alone and under the tour, and the tour's
// memory while a program prints a million lines.
//   build/bench/tour_cost [runs]     (default 5; medians)
#include "proc_run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sys/resource.h>
#include <vector>

namespace {

std::string bin(const std::string &name) {
    return std::string(CD_BIN_DIR) + "/" + name;
}

double own_processor_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The runner's own processor time over one run of `program`, sampling as the tour does or not.
double runner_seconds(const std::string &program, bool sampling) {
    procrun::Options options;
    options.argv = {bin(program)};
    options.output = procrun::Output::terminal;
    if (sampling) {
        options.sample_every = 0.001;
        options.sample_closely = 0.02;
    }
    double before = own_processor_seconds();
    procrun::run(options);
    return own_processor_seconds() - before;
}

// The total dartpi-serial prints, among the lines of a run (of it, or of the tour showing it).
double printed_total(const procrun::Result &run) {
    static const std::regex total(R"(.*The time taken in total: ([\d.]+) seconds)");
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (std::regex_match(line.text, m, total))
            return std::stod(m[1]);
    }
    return -1;
}

double serial_printed(bool under_tour) {
    procrun::Options options;
    options.argv = {bin(under_tour ? "concurrency-tour" : "dartpi-serial")};
    if (under_tour)
        options.argv.push_back("dartpi-serial");
    options.output = procrun::Output::terminal;
    return printed_total(procrun::run(options));
}

// The tour's largest resident set while a stand-in prints a million short lines.
long tour_kilobytes_for_a_million_lines() {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("tour_cost." + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(bin("concurrency-tour"), dir / "concurrency-tour");
    std::ofstream(dir / "junction") << "#!/bin/sh\nexec seq 1000000\n";
    fs::permissions(dir / "junction", fs::perms::owner_all);
    procrun::Options options;
    options.argv = {(dir / "concurrency-tour").string(), "junction"};
    options.keep_lines = 2;
    long kilobytes = procrun::run(options).max_rss_kb;
    fs::remove_all(dir);
    return kilobytes;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;

    std::vector<double> sampled, plain;
    for (int i = 0; i < runs; i++) {
        sampled.push_back(runner_seconds("junction", true));
        plain.push_back(runner_seconds("junction", false));
    }
    double cost = median(sampled) - median(plain);
    printf("junction, 7 s: runner %.3f s of processor time sampling, %.3f s not sampling: "
           "sampling costs %.3f s, %.1f%% of one CPU (median of %d)\n",
           median(sampled), median(plain), cost, 100 * cost / 7, runs);

    std::vector<double> alone, toured;
    for (int i = 0; i < 3 * runs; i++) {
        alone.push_back(serial_printed(false));
        toured.push_back(serial_printed(true));
    }
    printf("dartpi-serial's printed processor time: %.4f s alone, %.4f s under the tour: %+.1f%% "
           "(median of %d)\n",
           median(alone), median(toured), 100 * (median(toured) / median(alone) - 1), 3 * runs);

    printf("the tour showing a million lines: %.1f MB at most\n",
           static_cast<double>(tour_kilobytes_for_a_million_lines()) / 1024);
    return 0;
}
