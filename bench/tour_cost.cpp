// What the tour's view of a program is worth and what it costs, on an idle machine and on one
// where two other processes spin on the CPUs:
// - how exact it is: a program whose threads print their own processor clocks, each thread drawn
//   running against what its clock counted; dartpi-threads drawn running against the processor
//   time it prints; how late the readings came;
// - what it costs: the processor time of sampling while junction runs, dartpi-serial's printed
//   processor time alone and under the tour, and the tour's memory for a million lines.
//   build/bench/tour_cost [runs]     (default 5; medians)
#include "proc_run.h"
#include "spinning.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
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
    return values.empty() ? 0 : values[values.size() / 2];
}

// A program run and sampled as the tour runs and samples it.
procrun::Result sampled(const std::vector<std::string> &argv) {
    procrun::Options options;
    options.argv = argv;
    options.output = procrun::Output::terminal;
    options.timeout = 60;
    options.sample_every = 0.001;
    options.sample_closely = 0.02;
    return procrun::run(options);
}

// Seconds each thread is drawn running, by thread id.
std::map<pid_t, double> drawn_running(const procview::View &view) {
    std::map<pid_t, double> drawn;
    auto periods = procview::periods(view);
    for (std::size_t i = 0; i < view.threads.size(); i++) {
        for (const procview::Period &period : periods[i])
            if (period.state == procview::State::running)
                drawn[view.threads[i].tid] += period.to - period.from;
    }
    return drawn;
}

double all_of(const std::map<pid_t, double> &drawn) {
    double sum = 0;
    for (const auto &[tid, seconds] : drawn)
        sum += seconds;
    return sum;
}

// The longest gap between readings after the first 20 ms, and the 99th percentile, in ms.
std::pair<double, double> gaps(const procview::View &view) {
    std::vector<double> gap;
    for (std::size_t k = 1; k < view.times.size(); k++)
        if (view.times[k - 1] >= 0.02)
            gap.push_back((view.times[k] - view.times[k - 1]) * 1000);
    std::sort(gap.begin(), gap.end());
    if (gap.empty())
        return {0, 0};
    return {gap.back(), gap[gap.size() * 99 / 100]};
}

struct Exactness {
    std::vector<double> worst_ms, worst_share, process_ratio, pi_ratio, gap_max, gap_p99;
    int threads = 0, within = 0;
};

// spin_clocks: each thread drawn running against its own clock, within max(3 ms, 10%); the
// process within 5%. dartpi-threads: its threads drawn running against the time it prints.
void measure(Exactness &e) {
    static const std::regex thread_line(R"(thread (\d+) counted (\d+) ns)");
    static const std::regex process_line(R"(process counted (\d+) ns)");
    procrun::Result run = sampled({CD_BENCH_DIR "/spin_clocks"});
    std::map<pid_t, double> drawn = drawn_running(run.view);
    double worst = 0, worst_share = 0, process = 0;
    for (const procrun::Line &line : run.lines) {
        std::smatch m;
        if (std::regex_match(line.text, m, thread_line)) {
            double counted = std::stod(m[2]) / 1e9;
            double off = std::abs(drawn[static_cast<pid_t>(std::stol(m[1]))] - counted);
            double allowed = std::max(0.003, 0.1 * counted);
            worst = std::max(worst, off);
            worst_share = std::max(worst_share, off / allowed);
            e.threads++;
            e.within += off <= allowed;
        } else if (std::regex_match(line.text, m, process_line)) {
            process = std::stod(m[1]) / 1e9;
        }
    }
    e.worst_ms.push_back(worst * 1000);
    e.worst_share.push_back(worst_share);
    e.process_ratio.push_back(process > 0 ? all_of(drawn) / process : 0);
    auto [longest, p99] = gaps(run.view);
    e.gap_max.push_back(longest);
    e.gap_p99.push_back(p99);

    static const std::regex total(R"(The time taken in total: ([\d.]+) seconds)");
    procrun::Result pi = sampled({bin("dartpi-threads")});
    for (const procrun::Line &line : pi.lines) {
        std::smatch m;
        if (std::regex_match(line.text, m, total))
            e.pi_ratio.push_back(all_of(drawn_running(pi.view)) / std::stod(m[1]));
    }
}

void report(const char *machine, const Exactness &e) {
    auto range = [](const std::vector<double> &values) {
        auto [low, high] = std::minmax_element(values.begin(), values.end());
        char text[64];
        snprintf(text, sizeof text, "%.3f (%.3f to %.3f)", median(values), *low, *high);
        return std::string(text);
    };
    printf("%s: spin_clocks: %d of %d threads drawn running within max(3 ms, 10%%) of their own "
           "clocks; worst thread off by %s ms, %s of what is allowed; the process drawn %s of "
           "what it counted\n",
           machine, e.within, e.threads, range(e.worst_ms).c_str(), range(e.worst_share).c_str(),
           range(e.process_ratio).c_str());
    printf("%s: dartpi-threads drawn running %s of the processor time it prints\n", machine,
           range(e.pi_ratio).c_str());
    printf("%s: gaps between readings after 20 ms: longest %s ms, 99th percentile %s ms\n", machine,
           range(e.gap_max).c_str(), range(e.gap_p99).c_str());
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

void measure_all(int runs) {
    Exactness idle, busy;
    for (int i = 0; i < runs; i++)
        measure(idle);
    report("idle", idle);
    {
        Spinning beside(2);
        for (int i = 0; i < runs; i++)
            measure(busy);
    }
    report("busy (2 processes spinning)", busy);

    std::vector<double> sampling, plain;
    for (int i = 0; i < runs; i++) {
        sampling.push_back(runner_seconds("junction", true));
        plain.push_back(runner_seconds("junction", false));
    }
    double cost = median(sampling) - median(plain);
    printf("junction, 7 s: runner %.3f s of processor time sampling, %.3f s not sampling: "
           "sampling costs %.3f s, %.1f%% of one CPU (median of %d)\n",
           median(sampling), median(plain), cost, 100 * cost / 7, runs);

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
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    try {
        measure_all(argc > 1 ? std::max(1, atoi(argv[1])) : 5);
    } catch (const std::exception &e) {
        fprintf(stderr, "tour_cost: %s\n", e.what());
        return 1;
    }
    return 0;
}
