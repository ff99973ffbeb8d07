// From samples to states: how long each thread ran and waited between two readings is what its
// totals grew by; here that is laid out in time, and nothing is drawn that they did not count.
#include "proc_view.h"

#include <algorithm>

namespace procview {
namespace {

// Samples record a runnable thread as running.
bool runnable(State state) {
    return state == State::running;
}

// One thread over one interval between readings.
struct Slot {
    double from, to;
    State before, after;                // at the reading that opens it, and that closes it
    double grew_run = 0, grew_wait = 0; // what its totals grew by at the reading that closes it
    bool moved = false;                 // it was put on a CPU, or its totals grew
    bool put_on = false;                // it was put on a CPU
    bool first = false, vanished = false;
    double run = 0, wait = 0; // what of its counted time is laid out here

    double span() const { return to - from; }
    // Whether it could have run or waited here at all: not while it stayed asleep, and not once
    // it was read ended (a zombie's last switch can still add to its totals: that came before).
    bool open() const {
        return before != State::ended && (runnable(before) || runnable(after) || moved || vanished);
    }
    double room() const { return open() ? std::max(span() - run - wait, 0.0) : 0; }
};

// What a thread's totals counted, laid out in the order the kernel counted it. Each update of a
// runnable thread's totals counts the time since the update before, so what they count follows
// on from where the last update left off, and never falls later than the reading that saw it.
class Layout {
  public:
    explicit Layout(std::vector<Slot> &slots) : slots_(slots) {}

    // Lays out what the reading closing slot `j` counted.
    void counted(std::size_t j) {
        Slot &slot = slots_[j];
        if (slot.first) {
            // It started somewhere in its first interval: what it counted lies at the end.
            slot.run = std::min(slot.grew_run, slot.span());
            slot.wait = std::min(slot.grew_wait, slot.span() - slot.run);
            next_ = j + 1;
            return;
        }
        // Read asleep or blocked, it had nothing left uncounted: all of this came after.
        if (!runnable(slot.before))
            next_ = std::max(next_, j);
        if (slot.put_on) {
            place(slot.grew_wait, &Slot::wait, j);
            place(slot.grew_run, &Slot::run, j);
        } else {
            place(slot.grew_run, &Slot::run, j);
            place(slot.grew_wait, &Slot::wait, j);
        }
    }

    // The room left from where the counting stands up to slot `j`, the one it vanished in.
    double room_until(std::size_t j) const {
        double room = 0;
        for (std::size_t k = next_; k <= j && k < slots_.size(); k++)
            room += slots_[k].room();
        return room;
    }

    void ran_at_the_end(double seconds, std::size_t j) { place(seconds, &Slot::run, j); }

  private:
    void place(double seconds, double Slot::*field, std::size_t until) {
        while (seconds > 1e-12 && next_ <= until) {
            Slot &slot = slots_[next_];
            double take = std::min(slot.room(), seconds);
            slot.*field += take;
            seconds -= take;
            if (seconds > 1e-12)
                next_++;
        }
        // More than fits before the reading that saw it: it began earlier than the counting was
        // thought to stand (a thread starts somewhere in its first interval, and one read asleep
        // may wake before that reading is over). It goes in the room before, the latest first.
        for (std::size_t k = std::min(until, slots_.size() - 1) + 1; seconds > 1e-12 && k-- > 0;) {
            double take = std::min(slots_[k].room(), seconds);
            slots_[k].*field += take;
            seconds -= take;
        }
    }

    std::vector<Slot> &slots_;
    std::size_t next_ = 0;
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

// The process clock's record of its ended threads, at the last reading up to `at`.
std::uint64_t ended_by(const ProcessClock &clock, double at) {
    std::uint64_t ended = 0;
    for (const auto &[when, ns] : clock.ended_ns)
        if (when <= at)
            ended = ns;
    return ended;
}

// A thread's running in one interval: `run` seconds somewhere in [from, the interval's end].
struct Runner {
    std::size_t thread;
    double from, run;
};

// Lays the interval's running out on the CPUs: no CPU holds more than the interval, no thread
// runs on two CPUs at once, so no more threads run at any moment than there are CPUs. The
// interval is cut where threads begin; in each piece the CPUs go first to the threads with the
// most left to run (were they kept for later, a thread could not run it all before the interval
// ends), and then the threads are packed onto the CPUs one after another (McNaughton's rule).
// Readings taken one after another, not at one instant, can add up to a little more than the
// CPUs hold: that is not drawn.
std::vector<std::vector<std::pair<double, double>>> on_cpus(const std::vector<Runner> &runners,
                                                            double start, double end, int cpus) {
    std::vector<double> cuts{start, end};
    for (const Runner &runner : runners)
        if (runner.run > 0)
            cuts.push_back(std::clamp(runner.from, start, end));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

    std::vector<double> left(runners.size());
    for (std::size_t r = 0; r < runners.size(); r++)
        left[r] = std::max(runners[r].run, 0.0);
    std::vector<std::vector<double>> share(cuts.size() - 1, std::vector<double>(runners.size()));
    for (std::size_t c = 0; c + 1 < cuts.size(); c++) {
        double span = cuts[c + 1] - cuts[c];
        auto begun = [&](std::size_t r) { return runners[r].from <= cuts[c] + 1e-12; };
        // What each would run here were the threads with more left than `level` brought down to it.
        auto wanted = [&](double level) {
            double sum = 0;
            for (std::size_t r = 0; r < runners.size(); r++)
                if (begun(r))
                    sum += std::clamp(left[r] - level, 0.0, span);
            return sum;
        };
        double low = 0;
        if (wanted(0) > cpus * span) {
            double high = *std::max_element(left.begin(), left.end());
            for (int step = 0; step < 60; step++)
                (wanted((low + high) / 2) > cpus * span ? low : high) = (low + high) / 2;
            low = high;
        }
        for (std::size_t r = 0; r < runners.size(); r++) {
            if (begun(r)) {
                share[c][r] = std::clamp(left[r] - low, 0.0, span);
                left[r] -= share[c][r];
            }
        }
    }

    std::vector<std::vector<std::pair<double, double>>> ran(runners.size());
    for (std::size_t c = 0; c + 1 < cuts.size(); c++) {
        double from = cuts[c], span = cuts[c + 1] - from, cursor = 0;
        for (std::size_t r = 0; r < runners.size(); r++) {
            double take = share[c][r];
            if (take <= 1e-12)
                continue;
            if (cursor + take <= span + 1e-12) {
                ran[r].emplace_back(from + cursor, from + std::min(cursor + take, span));
                cursor = cursor + take >= span - 1e-12 ? 0 : cursor + take;
            } else {
                // Onto the next CPU: what does not fit ends this one and begins that one.
                double spill = take - (span - cursor);
                ran[r].emplace_back(from, from + spill);
                ran[r].emplace_back(from + cursor, from + span);
                cursor = spill;
            }
        }
    }
    return ran;
}

} // namespace

std::vector<std::vector<Period>> periods(const View &view) {
    const std::vector<double> &times = view.times;
    const std::size_t threads = view.threads.size();
    auto index_of = [&](double at) {
        return static_cast<std::size_t>(std::lower_bound(times.begin(), times.end(), at) -
                                        times.begin());
    };

    // Thread i lives over the intervals first[i]..first[i] + slots[i].size() - 1; interval k ends
    // at times[k].
    std::vector<std::size_t> first(threads);
    std::vector<std::vector<Slot>> slots(threads);
    std::vector<Layout> layouts;
    layouts.reserve(threads);
    for (std::size_t i = 0; i < threads; i++) {
        const Thread &thread = view.threads[i];
        layouts.emplace_back(slots[i]);
        if (thread.samples.empty())
            continue;
        first[i] = index_of(thread.samples.front().at);
        std::size_t last = index_of(thread.samples.back().at);
        bool vanished = thread.gone_at > thread.samples.back().at;
        std::size_t end = vanished ? index_of(thread.gone_at) : last;
        std::vector<Slot> &own = slots[i];
        std::uint64_t run = 0, wait = 0, switches = 0;
        State state = thread.samples.front().state;
        auto next = thread.samples.begin();
        for (std::size_t k = first[i]; k <= end && k < times.size(); k++) {
            Slot slot{k == first[i] ? thread.since : times[k - 1], times[k], state, state};
            slot.first = k == first[i];
            slot.vanished = k > last;
            if (next != thread.samples.end() && next->at <= times[k]) {
                slot.grew_run =
                    static_cast<double>(next->run_ns - std::min(run, next->run_ns)) / 1e9;
                slot.grew_wait =
                    static_cast<double>(next->wait_ns - std::min(wait, next->wait_ns)) / 1e9;
                slot.put_on = next->switches != switches;
                slot.moved =
                    next->run_ns != run || next->wait_ns != wait || slot.put_on || slot.first;
                run = next->run_ns;
                wait = next->wait_ns;
                switches = next->switches;
                state = slot.after = next->state;
                ++next;
            }
            own.push_back(slot);
        }
        for (std::size_t j = 0; j < own.size(); j++)
            if (!own[j].vanished)
                layouts[i].counted(j);
    }

    // What threads that ended between two readings ran after the first: what their process's
    // clock counted of its ended threads over that interval, beyond the totals last read. Those
    // that vanished together share it, each as far as it had room to have run.
    for (const ProcessClock &clock : view.clocks) {
        std::vector<bool> done(threads);
        for (std::size_t i = 0; i < threads; i++) {
            const Thread &thread = view.threads[i];
            if (thread.pid != clock.pid || thread.samples.empty() || slots[i].empty() ||
                !slots[i].back().vanished || done[i])
                continue;
            double from = thread.samples.back().at, to = thread.gone_at;
            std::vector<std::size_t> together;
            double last_totals = 0, room = 0;
            for (std::size_t j = i; j < threads; j++) {
                const Thread &other = view.threads[j];
                if (other.pid == clock.pid && !other.samples.empty() && other.gone_at == to &&
                    other.samples.back().at == from && !slots[j].empty() &&
                    slots[j].back().vanished) {
                    together.push_back(j);
                    last_totals += static_cast<double>(other.samples.back().run_ns) / 1e9;
                    room += layouts[j].room_until(slots[j].size() - 1);
                }
            }
            std::uint64_t ended_then = ended_by(clock, from), ended_now = ended_by(clock, to);
            double grew = static_cast<double>(ended_now - std::min(ended_now, ended_then)) / 1e9;
            double after = std::min(std::max(grew - last_totals, 0.0), room);
            for (std::size_t j : together) {
                double share =
                    room > 0 ? after * layouts[j].room_until(slots[j].size() - 1) / room : 0;
                layouts[j].ran_at_the_end(share, slots[j].size() - 1);
                done[j] = true;
            }
        }
    }

    std::vector<std::vector<Period>> drawn(threads);
    for (std::size_t k = 0; k < times.size(); k++) {
        double start = k == 0 ? 0 : times[k - 1];
        auto slot_of = [&](std::size_t i) -> const Slot * {
            if (slots[i].empty() || k < first[i] || k - first[i] >= slots[i].size())
                return nullptr;
            return &slots[i][k - first[i]];
        };
        std::vector<Runner> runners;
        std::vector<const Slot *> slots_here;
        for (std::size_t i = 0; i < threads; i++) {
            if (const Slot *slot = slot_of(i)) {
                double from = slot->from;
                // Found runnable, its totals hold its whole life so far: it began where they
                // begin.
                if (slot->first && runnable(slot->after))
                    from = std::max(from, slot->to - slot->run - slot->wait);
                runners.push_back({i, from, std::min(slot->run, slot->to - from)});
                slots_here.push_back(slot);
            }
        }
        std::vector<std::vector<std::pair<double, double>>> ran =
            on_cpus(runners, start, times[k], view.cpus);
        for (std::size_t r = 0; r < runners.size(); r++) {
            std::size_t i = runners[r].thread;
            const Slot &slot = *slots_here[r];
            double from = runners[r].from, to = slot.to, own_span = to - from, run = 0;
            for (const auto &[ran_from, ran_to] : ran[r])
                run += ran_to - ran_from;
            // The rest of the interval: waiting for a CPU; off one, in the state read at the end
            // (or, woken here, in the state it was in before); and what no total counted.
            double wait = std::min(slot.wait, own_span - run), rest = own_span - run - wait;
            std::pair<State, double> pieces[2] = {{State::ready, wait}, {slot.after, rest}};
            if (!slot.open()) {
                pieces[1].first = slot.before; // a zombie is ended until it is reaped
            } else if (slot.vanished ||
                       (runnable(slot.after) && (slot.first || runnable(slot.before)))) {
                pieces[1].first = State::not_seen;
            } else if (runnable(slot.after)) {
                pieces[1].first = slot.before;
                std::swap(pieces[0], pieces[1]);
            }
            std::size_t part = 0;
            auto fill = [&](double gap_from, double gap_to) {
                for (double at = gap_from; at < gap_to && part < 2;) {
                    double take = std::min(pieces[part].second, gap_to - at);
                    append(drawn[i], at, at + take, pieces[part].first);
                    at += take;
                    pieces[part].second -= take;
                    if (pieces[part].second <= 1e-12)
                        part++;
                }
            };
            double at = from;
            for (const auto &[ran_from, ran_to] : ran[r]) {
                fill(at, ran_from);
                append(drawn[i], ran_from, ran_to, State::running);
                at = ran_to;
            }
            fill(at, to);
        }
    }
    return drawn;
}

} // namespace procview
