// Timelines in the terminal: one row per thread or process, one column per step of time, a mark
// per state with its legend, the counters under the rows, an axis, a line saying what to see and
// one of what the kernel counted. Several programs drawn together share one scale.
#pragma once

#include "activity.h"

#include <string>
#include <vector>

namespace tour {

// At most this many columns of time.
inline constexpr int kTimelineColumns = 60;

// The mark a state is drawn with.
char mark(State state);

// The legend and what to see are wrapped to `width` (0: not wrapped).
std::string draw_timeline(const std::vector<const Activity *> &activities, std::size_t width = 0);

// The tour's time column: "+1.25s", right-aligned to the width of "+999.99s" (before any colour
// is added), so that the column lines up.
std::string stamp(double seconds);

} // namespace tour
