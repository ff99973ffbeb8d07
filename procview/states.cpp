// From samples to states: how long each thread ran and waited between two readings is exact (its
// totals grew by that much); where within the interval it did so is laid out here.
#include "proc_view.h"

#include <algorithm>

namespace procview {
namespace {

// One thread over one interval between readings: its time on a CPU and in the run queue, and
// its state at the reading before and at the reading that closes it.
struct Slot {
    double run = 0, wait = 0;
    State before = State::running, after = State::running;
};

void append(std::vector<Period> &periods, double from, double to, State state) {
    if (to <= from)
        return;
    if (!periods.empty() && periods.back().state == state && periods.back().to >= from) {
        periods.back().to = std::max(periods.back().to, to);
        return;
    }
    periods.push_back({from, to, state});
}

} // namespace

std::vector<std::vector<Period>> states(const View &view) {
    const std::vector<double> &times = view.times;
    const std::size_t threads = view.threads.size();
    // Thread i lives over the intervals first[i]..last[i]; interval k ends at times[k].
    std::vector<std::size_t> first(threads), last(threads);
    std::vector<std::vector<Slot>> slots(threads);
    auto index_of = [&](double at) {
        return static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), at) -
                                        times.begin());
    };
    auto start_of = [&](std::size_t i, std::size_t k) {
        return k == first[i] ? view.threads[i].since : times[k - 1];
    };

    for (std::size_t i = 0; i < threads; i++) {
        const Thread &thread = view.threads[i];
        if (thread.samples.empty())
            continue;
        first[i] = index_of(thread.samples.front().at);
        last[i] = index_of(thread.samples.back().at);
        std::vector<Slot> &own = slots[i];
        own.resize(last[i] - first[i] + 1);
        std::uint64_t run = 0, wait = 0;
        State state = thread.samples.front().state;
        auto next = thread.samples.begin();
        for (std::size_t k = first[i]; k <= last[i] && k < times.size(); k++) {
            Slot &slot = own[k - first[i]];
            slot.before = state;
            if (next != thread.samples.end() && next->at <= times[k]) {
                slot.run = static_cast<double>(next->run_ns - std::min(run, next->run_ns)) / 1e9;
                slot.wait =
                    static_cast<double>(next->wait_ns - std::min(wait, next->wait_ns)) / 1e9;
                run = next->run_ns;
                wait = next->wait_ns;
                state = next->state;
                ++next;
            }
            slot.after = state;
        }
        // A runnable thread's totals are brought up to date at a tick or a switch, so they may
        // grow by more than an interval holds: what does not fit was spent in the intervals
        // before, the latest first (it ran, or waited, up to the moment it was counted).
        double carry_run = 0, carry_wait = 0;
        for (std::size_t k = last[i] + 1; k-- > first[i];) {
            Slot &slot = own[k - first[i]];
            double span = times[k] - start_of(i, k);
            carry_run += slot.run;
            carry_wait += slot.wait;
            slot.run = std::clamp(carry_run, 0.0, std::max(span, 0.0));
            slot.wait = std::clamp(carry_wait, 0.0, std::max(span - slot.run, 0.0));
            carry_run -= slot.run;
            carry_wait -= slot.wait;
        }
    }

    std::vector<std::vector<Period>> periods(threads);
    for (std::size_t k = 0; k < times.size(); k++) {
        // The running time of every thread in this interval, packed onto the CPUs one after
        // another (McNaughton's rule): no CPU holds more than the interval, no thread runs on
        // two CPUs at once, so no more threads run at any moment than there are CPUs.
        double start = k == 0 ? 0 : times[k - 1], span = times[k] - start, total = 0;
        for (std::size_t i = 0; i < threads; i++)
            if (!slots[i].empty() && first[i] <= k && k <= last[i])
                total += slots[i][k - first[i]].run;
        // Readings taken one after another, not at one instant, can add up to a little more.
        double scale = total > view.cpus * span ? view.cpus * span / total : 1.0;
        // A thread runnable at both readings whose totals have not yet counted all of the time
        // between (one that ended before its next reading is never counted again): on a CPU
        // while one was free, in the run queue when none was.
        double spare = std::max(view.cpus * span - total * scale, 0.0);
        double cursor = 0;
        for (std::size_t i = 0; i < threads; i++) {
            if (slots[i].empty() || k < first[i] || k > last[i])
                continue;
            const Slot &slot = slots[i][k - first[i]];
            double from = k == first[i] ? view.threads[i].since : start, to = times[k];
            double own_span = to - from, run = std::min(slot.run * scale, own_span);
            if (slot.before == State::running && slot.after == State::running) {
                double uncounted = std::max(own_span - run - slot.wait, 0.0);
                double given = std::min(uncounted, spare);
                run += given;
                spare -= given;
            }
            // The pieces it ran, within [from, to], in time order.
            std::vector<std::pair<double, double>> ran;
            if (run > 0) {
                double offset = std::max(cursor - (from - start), 0.0);
                if (offset + run <= own_span) {
                    ran.emplace_back(from + offset, from + offset + run);
                    cursor = from - start + offset + run >= span ? 0 : from - start + offset + run;
                } else {
                    double spill = run - (own_span - offset);
                    ran.emplace_back(from, from + spill);
                    ran.emplace_back(from + offset, to);
                    cursor = (from - start) + spill;
                }
            }
            // The rest of the interval: waiting for a CPU, and off one in the state read at the
            // end (or, for a thread runnable at the end, in the state it was in before it woke).
            double wait = std::min(slot.wait, own_span - run), off = own_span - run - wait;
            bool runnable_at_end = slot.after == State::running;
            State off_state = !runnable_at_end                ? slot.after
                              : slot.before == State::running ? State::ready
                                                              : slot.before;
            std::pair<State, double> rest[2] = {{off_state, off}, {State::ready, wait}};
            if (!runnable_at_end)
                std::swap(rest[0], rest[1]);
            std::size_t part = 0;
            auto fill = [&](double gap_from, double gap_to) {
                for (double at = gap_from; at < gap_to && part < 2;) {
                    double take = std::min(rest[part].second, gap_to - at);
                    append(periods[i], at, at + take, rest[part].first);
                    at += take;
                    rest[part].second -= take;
                    if (rest[part].second <= 1e-12)
                        part++;
                }
            };
            double at = from;
            for (const auto &[ran_from, ran_to] : ran) {
                fill(at, ran_from);
                append(periods[i], ran_from, ran_to, State::running);
                at = ran_to;
            }
            fill(at, to);
        }
    }
    return periods;
}

} // namespace procview
