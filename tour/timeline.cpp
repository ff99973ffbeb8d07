#include "timeline.h"

#include "prose.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

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

// One row: each phase over the columns it covers, and at least one, so that a short life shows.
std::string row_of(const Actor &actor, double step, size_t columns) {
    std::string row(columns, ' ');
    for (const Phase &phase : actor.phases) {
        auto first = static_cast<size_t>(std::lround(phase.from / step));
        auto last = std::max(first + 1, static_cast<size_t>(std::lround(phase.to / step)));
        for (size_t c = first; c < std::min(last, columns); c++)
            row[c] = phase.mark;
    }
    return row;
}

} // namespace

std::string stamp(double seconds) {
    char plain[32], aligned[40];
    snprintf(plain, sizeof plain, "+%.2fs", seconds);
    snprintf(aligned, sizeof aligned, "%8s", plain);
    return aligned;
}

std::string draw_timeline(const std::vector<const Activity *> &activities, std::size_t width) {
    double end = 0;
    size_t name_width = 0;
    for (const Activity *activity : activities) {
        end = std::max(end, activity->end);
        for (const Actor &actor : activity->actors)
            name_width = std::max(name_width, actor.name.size());
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

    const std::string indent(name_width + 4, ' ');
    std::string legends;
    for (const Activity *activity : activities)
        if (legends.find(activity->legend) == std::string::npos)
            legends += (legends.empty() ? "" : "   ") + activity->legend;
    std::string out = "\n";
    out += wrap("  timeline, one column per " + duration(step) + ":  " + legends, width, 4);
    out += "\n";
    for (const Activity *activity : activities) {
        if (activities.size() > 1)
            out += "  " + activity->program + "\n";
        for (const Actor &actor : activity->actors)
            out += "  " + actor.name + std::string(name_width - actor.name.size(), ' ') + "  |" +
                   row_of(actor, step, columns) + "|\n";
    }
    std::string axis, labels;
    for (size_t c = 0; c <= columns; c++)
        axis += c % tick == 0 ? '|' : ' ';
    for (size_t c = 0; c <= columns; c += tick) {
        std::string label = duration(static_cast<double>(c) * step);
        labels += label + std::string(tick - std::min(tick, label.size()), ' ');
    }
    out += indent + axis + "\n" + indent + labels + "\n";
    for (const Activity *activity : activities)
        out += wrap("  what to see: " + activity->watch, width, 4) + "\n";
    return out;
}

} // namespace tour
