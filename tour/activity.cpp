#include "activity.h"

#include <algorithm>
#include <cmath>

namespace tour {

Durations time_in(const Row &row, double from, double to) {
    Durations in{};
    for (const Phase &phase : row.phases)
        in[phase.state] += std::max(0.0, std::min(to, phase.to) - std::max(from, phase.from));
    return in;
}

Durations &Durations::operator+=(const Durations &more) {
    for (std::size_t state = 0; state < seconds.size(); state++)
        seconds[state] += more.seconds[state];
    return *this;
}

double total(const Durations &durations) {
    double sum = 0;
    for (double seconds : durations.seconds)
        sum += seconds;
    return sum;
}

std::vector<std::pair<double, int>> count_over_time(const Activity &activity, State state,
                                                    RowFilter counted) {
    // +1 as a phase starts, -1 as it ends, at whole nanoseconds: one phase ending where another
    // begins is one moment, whatever the rounding of either.
    std::vector<std::pair<long long, int>> changes;
    for (const Row &row : activity.rows) {
        if (!counted(row))
            continue;
        for (const Phase &phase : row.phases) {
            if (phase.state == state) {
                changes.emplace_back(std::llround(phase.from * 1e9), +1);
                changes.emplace_back(std::llround(phase.to * 1e9), -1);
            }
        }
    }
    // Ends first at one moment: one thread handing a CPU to another is not two at once.
    std::sort(changes.begin(), changes.end());
    std::vector<std::pair<double, int>> counts{{0.0, 0}};
    int now = 0;
    for (auto [at, change] : changes) {
        now += change;
        double seconds = static_cast<double>(at) / 1e9;
        if (counts.back().first == seconds)
            counts.back().second = now;
        else if (counts.back().second != now)
            counts.emplace_back(seconds, now);
    }
    return counts;
}

int most_at_once(const Activity &activity, State state, RowFilter counted) {
    int most = 0;
    for (auto [at, count] : count_over_time(activity, state, counted))
        most = std::max(most, count);
    return most;
}

namespace {

// What a thread on a CPU ran since the last tick is counted only at the next: at most a tick,
// 10 ms where ticks are slowest. So what a reading counted may have run as long before the
// reading ahead of it.
constexpr double kTickAtMost = 0.010;
// A reading reads one thread after another before it is stamped: a thread may have been read
// this long before the stamp.
constexpr double kReadingTakes = 0.0005;

} // namespace

void read_runs(Row &row, const procview::Thread &thread, const std::vector<double> &readings) {
    auto index_of = [&](double at) {
        return static_cast<std::size_t>(std::lower_bound(readings.begin(), readings.end(), at) -
                                        readings.begin());
    };
    // A thread is sampled whenever it is runnable or anything of it changed: found changed after
    // a stretch unsampled, it ran only after the reading before.
    auto reading_before = [&](double at) {
        std::size_t k = index_of(at);
        return k == 0 ? thread.since : readings[k - 1];
    };
    auto may_run = [&](double from, double to) {
        if (!row.may_run.empty() && row.may_run.back().second >= from)
            row.may_run.back().second = std::max(row.may_run.back().second, to);
        else
            row.may_run.emplace_back(from, to);
    };
    const procview::Sample *last = nullptr;
    for (const procview::Sample &sample : thread.samples) {
        std::uint64_t before = last != nullptr ? last->run_ns : 0;
        std::uint64_t ran = sample.run_ns > before ? sample.run_ns - before : 0;
        bool moved = ran > 0 || sample.switches != (last != nullptr ? last->switches : 0);
        // A thread runs no longer than since the reading before the first that saw it, unless
        // it was found late, started who knows when: then what that reading counted proves
        // nothing of the moments it ran.
        bool late = last == nullptr && static_cast<double>(ran) / 1e9 > sample.at - thread.since;
        double from = last != nullptr ? reading_before(sample.at) : late ? 0 : thread.since;
        if (last != nullptr && last->state == State::running)
            may_run(last->at, sample.at); // runnable since, on a CPU or waiting for one
        else if (moved || sample.state == State::running)
            may_run(from, sample.at);
        if (ran > 0 && !late)
            row.counted.emplace_back(index_of(sample.at), static_cast<double>(ran) / 1e9);
        last = &sample;
    }
    if (last != nullptr && thread.gone_at > 0) // it ran to its end after its last reading
        may_run(last->state == State::running ? last->at : reading_before(thread.gone_at),
                thread.gone_at);
}

AtOnce running_at_once(const Activity &activity, RowFilter counted) {
    const std::vector<double> &readings = activity.readings;
    std::vector<double> ran(readings.size());
    std::vector<std::pair<long long, int>> changes;
    bool unseen = !activity.all_seen;
    for (const Row &row : activity.rows) {
        if (!counted(row))
            continue;
        unseen = unseen || row.phases.empty(); // it lived and ended between two readings
        for (auto [reading, seconds] : row.counted)
            if (reading < ran.size())
                ran[reading] += seconds;
        for (auto [from, to] : row.may_run) {
            changes.emplace_back(std::llround(from * 1e9), +1);
            changes.emplace_back(std::llround(to * 1e9), -1);
        }
    }
    // Stretches (from, to]: one ending where another begins is not two at once.
    std::sort(changes.begin(), changes.end());
    // Whether a row may have been on a CPU just as each reading was taken, with time not yet
    // counted.
    std::vector<bool> on_the_move(readings.size());
    int now = 0, peak = 0;
    std::size_t next = 0;
    for (std::size_t k = 0; k < readings.size(); k++) {
        for (; next < changes.size() && changes[next].first <= std::llround(readings[k] * 1e9);
             next++)
            peak = std::max(peak, now += changes[next].second);
        on_the_move[k] = now > 0;
    }
    for (; next < changes.size(); next++)
        peak = std::max(peak, now += changes[next].second);
    AtOnce at_once;
    at_once.most = unseen ? activity.cpus : std::min(peak, activity.cpus);

    // More than m CPUs could run counted over readings a+1..b: m + 1 at once at some moment in
    // there. It ran after t[a] (less the time a reading takes), or a tick before for a row on a
    // CPU then (at most m of them, or there were m + 1 at once already). Before the program's
    // first reading, from its start.
    auto more_than = [&](int m) {
        double sum = 0, lowest = 0; // of sum - m * (t less what came before) over the readings
        for (std::size_t b = 0; b < readings.size(); b++) {
            sum += ran[b];
            double here = sum - m * readings[b];
            if (here > lowest)
                return true;
            double before = kReadingTakes + (on_the_move[b] ? kTickAtMost : 0);
            lowest = std::min(lowest, here + m * before);
        }
        return false;
    };
    bool any = std::any_of(ran.begin(), ran.end(), [](double seconds) { return seconds > 0; });
    at_once.least = any ? 1 : 0;
    while (at_once.least < at_once.most && more_than(at_once.least))
        at_once.least++;
    return at_once;
}

bool workers(const Row &row) {
    return row.thread > 0;
}

bool every_row(const Row &) {
    return true;
}

} // namespace tour
