#include "demonstration.h"

#include <algorithm>
#include <cstring>

namespace tour {

const std::vector<Demonstration> &demonstrations() {
    static const std::vector<Demonstration> all = [] {
        std::vector<Demonstration> list;
        for (auto part : {pi_demonstrations, sync_demonstrations, spawn_demonstrations}) {
            auto more = part();
            list.insert(list.end(), more.begin(), more.end());
        }
        return list;
    }();
    return all;
}

const Demonstration *find_demonstration(const std::string &name) {
    for (const Demonstration &demonstration : demonstrations())
        if (name == demonstration.name)
            return &demonstration;
    return nullptr;
}

Activity observe(const Demonstration &demonstration, const procrun::Result &run,
                 double interrupted_at) {
    Activity activity;
    activity.program = demonstration.name;
    activity.end = std::max(run.exited_at, 0.0);
    for (const procrun::Line &line : run.lines)
        activity.lines.push_back({line, -1});
    if (demonstration.read != nullptr)
        demonstration.read(activity, {run, interrupted_at >= 0 ? interrupted_at : activity.end});
    return activity;
}

std::string failure(const procrun::Result &run, int signal_sent) {
    if (run.timed_out)
        return "timed out";
    if (run.term_signal != 0 && run.term_signal != signal_sent)
        return std::string("ended by signal ") + sigabbrev_np(run.term_signal);
    if (run.term_signal == 0 && run.exit_code != 0)
        return "exited with status " + std::to_string(run.exit_code);
    return "";
}

} // namespace tour
