// What the tour saw, in the Trace Event Format (the JSON that Perfetto UI and chrome://tracing
// open): the real process and thread ids, a track per thread named as its row, one complete event
// per state period (named by the state; those of one thread never overlap), an instant event for
// each line printed on the track of the thread that printed it, and the counters. Times are in
// microseconds since the tour started.
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
};

// `text` as a JSON string, quotes included.
std::string json_string(const std::string &text);

} // namespace tour
