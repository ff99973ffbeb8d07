// What the tour saw, in the Trace Event Format (the JSON that Perfetto UI and chrome://tracing
// open): a process track per program, a thread track per car, run or process, a complete event
// for each phase the timelines draw, an instant event for each line printed, and a counter of
// the junction's free permits. Times are in microseconds since the tour started.
#pragma once

#include "activity.h"

#include <string>
#include <vector>

namespace tour {

class Trace {
  public:
    // A program's activity; `started_at` is when the program started, in seconds of the tour.
    void add(const Activity &activity, double started_at);
    std::string json() const;

  private:
    std::vector<std::string> events_;
    int programs_ = 0;
};

// `text` as a JSON string, quotes included.
std::string json_string(const std::string &text);

} // namespace tour
