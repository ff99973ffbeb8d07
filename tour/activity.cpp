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

bool workers(const Row &row) {
    return row.thread > 0;
}

bool every_row(const Row &) {
    return true;
}

} // namespace tour
