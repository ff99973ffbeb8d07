#include "timeline.h"

#include "prose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace tour {
namespace {

// The finest step from this list that fits the whole run into the columns.
double step_for(double end) {
    for (double step : {0.0001, 0.0002, 0.0005, 0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25,
                        0.5, 1.0, 2.0, 5.0, 10.0, 30.0, 60.0})
        if (std::ceil(end / step - 1e-9) <= kTimelineColumns)
            return step;
    return 60.0;
}

std::string duration(double seconds) {
    char text[32];
    if (seconds >= 1 || seconds == 0)
        snprintf(text, sizeof text, "%gs", seconds);
    else
        snprintf(text, sizeof text, "%gms", seconds * 1000);
    return text;
}

// The mark of each row of one activity in one column [from, to): each row's state for most of
// the column, but no more rows drawn running than the CPUs that were busy in it (those that ran
// most), so that a column never shows more threads running than the machine can run.
std::vector<char> column_of(const Activity &activity, double from, double to) {
    std::vector<char> marks(activity.rows.size(), ' ');
    std::vector<Durations> in;
    double running = 0;
    for (const Row &row : activity.rows) {
        in.push_back(time_in(row, from, to));
        running += in.back()[State::running];
    }
    auto busy = std::min<long>(std::lround(running / (to - from)), activity.cpus);
    std::vector<std::size_t> by_running(activity.rows.size());
    for (std::size_t i = 0; i < by_running.size(); i++)
        by_running[i] = i;
    std::stable_sort(by_running.begin(), by_running.end(), [&](std::size_t a, std::size_t b) {
        return in[a][State::running] > in[b][State::running];
    });
    // Less than half a CPU busy in the column: a row that mostly ran may still show it, once.
    bool one_more = busy == 0;
    for (std::size_t i : by_running) {
        if (total(in[i]) <= 0)
            continue;
        if (busy > 0 && in[i][State::running] > 0) {
            marks[i] = mark(State::running);
            busy--;
            continue;
        }
        if (one_more && in[i][State::running] > total(in[i]) / 2) {
            marks[i] = mark(State::running);
            one_more = false;
            continue;
        }
        // Its longest state but running; a thread that only ran here, on a CPU busy with more
        // than it, was mostly waiting for it.
        State longest = State::ready;
        for (int s = 0; s < procview::kStates; s++) {
            auto state = static_cast<State>(s);
            if (state != State::running && in[i][state] > in[i][longest])
                longest = state;
        }
        marks[i] = mark(longest);
    }
    return marks;
}

// The count a counter held for most of [from, to), as one character: as a row's mark, what the
// column mostly was, not a moment in it (a car blocked for microseconds on a lock inside printf).
char count_in(const Counter &counter, double from, double to) {
    std::map<int, double> held;
    for (std::size_t i = 0; i < counter.counts.size(); i++) {
        double starts = counter.counts[i].first;
        double ends = i + 1 < counter.counts.size() ? counter.counts[i + 1].first : to;
        held[counter.counts[i].second] +=
            std::max(0.0, std::min(ends, to) - std::max(starts, from));
    }
    int longest = 0;
    for (const auto &[count, seconds] : held)
        longest = seconds > held[longest] ? count : longest;
    return longest > 9 ? '+' : static_cast<char>('0' + longest);
}

} // namespace

std::string stamp(double seconds) {
    char plain[32], aligned[40];
    snprintf(plain, sizeof plain, "+%.2fs", seconds);
    snprintf(aligned, sizeof aligned, "%8s", plain);
    return aligned;
}

char mark(State state) {
    static const char marks[procview::kStates] = {'#', '+', '.', 'z', 'w', 'p', 'i', 'x', '?', '~'};
    return marks[static_cast<int>(state)];
}

std::string draw_timeline(const std::vector<const Activity *> &activities, std::size_t width) {
    double end = 0;
    size_t name_width = 0;
    for (const Activity *activity : activities) {
        end = std::max(end, activity->end);
        for (const Row &row : activity->rows)
            name_width = std::max(name_width, row.name.size());
        for (const Counter &counter : activity->counters)
            name_width = std::max(name_width, counter.label.size());
    }
    const double step = step_for(end);
    const size_t columns = std::max<size_t>(1, static_cast<size_t>(std::ceil(end / step - 1e-9)));
    // A tick every few columns, far enough apart for the widest label.
    size_t tick = 4;
    auto widest_label = [&] {
        size_t widest = 0;
        for (size_t c = 0; c <= columns; c += tick)
            widest = std::max(widest, duration(static_cast<double>(c) * step).size());
        return widest;
    };
    while (widest_label() + 1 > tick)
        tick *= 2;

    // Each activity's rows, drawn first: the legend lists the marks they show.
    std::vector<std::vector<std::string>> drawn;
    std::string marks_shown;
    for (const Activity *activity : activities) {
        std::vector<std::string> rows(activity->rows.size(), std::string(columns, ' '));
        for (size_t c = 0; c < columns; c++) {
            double from = static_cast<double>(c) * step, to = from + step;
            std::vector<char> marks = column_of(*activity, from, to);
            for (size_t r = 0; r < rows.size(); r++)
                rows[r][c] = marks[r];
        }
        for (const Printed &printed : activity->lines) {
            auto c = static_cast<size_t>(printed.line.at / step);
            if (!activity->kernel_view && printed.row >= 0 && c < columns)
                rows[static_cast<size_t>(printed.row)][c] = '*';
        }
        for (const std::string &row : rows)
            marks_shown += row;
        drawn.push_back(std::move(rows));
    }
    std::string legend;
    for (int state = 0; state < procview::kStates; state++) {
        auto named = static_cast<State>(state);
        if (marks_shown.find(mark(named)) != std::string::npos)
            legend +=
                (legend.empty() ? "" : "   ") + std::string(1, mark(named)) + " " + name(named);
    }
    if (marks_shown.find('*') != std::string::npos)
        legend += (legend.empty() ? "" : "   ") + std::string("* a line printed");
    std::string out = "\n";
    out += wrap("  timeline, one column per " + duration(step) + ":  " + legend, width, 4);
    out += "\n";
    auto line = [&](const std::string &name, const std::string &columns_drawn) {
        out += "  " + name + std::string(name_width - name.size(), ' ') + "  |" + columns_drawn +
               "|\n";
    };
    for (std::size_t a = 0; a < activities.size(); a++) {
        const Activity *activity = activities[a];
        if (activities.size() > 1)
            out += "  " + activity->program + "\n";
        for (size_t r = 0; r < drawn[a].size(); r++)
            line(activity->rows[r].name, drawn[a][r]);
        for (const Counter &counter : activity->counters) {
            std::string counts(columns, ' ');
            for (size_t c = 0; c < columns; c++)
                counts[c] = count_in(counter, static_cast<double>(c) * step,
                                     static_cast<double>(c + 1) * step);
            line(counter.label, counts);
        }
    }
    const std::string indent(name_width + 4, ' ');
    std::string axis, labels;
    for (size_t c = 0; c <= columns; c++)
        axis += c % tick == 0 ? '|' : ' ';
    for (size_t c = 0; c <= columns; c += tick) {
        std::string label = duration(static_cast<double>(c) * step);
        labels += label + std::string(tick - std::min(tick, label.size()), ' ');
    }
    out += indent + axis + "\n" + indent + labels + "\n";
    for (const Activity *activity : activities) {
        std::string whose = activities.size() > 1 ? activity->program + ": " : "";
        if (!activity->to_see.empty())
            out += wrap("  what to see: " + whose + activity->to_see, width, 4) + "\n";
        if (!activity->figures.empty())
            out += wrap("  " + whose + activity->figures, width, 4) + "\n";
    }
    return out;
}

} // namespace tour
