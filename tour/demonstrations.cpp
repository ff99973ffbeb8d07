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

std::string check(const std::vector<Demonstration> &entries) {
    std::string faults;
    auto fault = [&](const char *name, const std::string &what) {
        faults +=
            std::string(name != nullptr ? name : "an entry without a name") + ": " + what + "\n";
    };
    auto known = [&](const char *name) {
        return std::any_of(entries.begin(), entries.end(), [&](const Demonstration &other) {
            return other.name != nullptr && std::strcmp(other.name, name) == 0;
        });
    };
    for (std::size_t i = 0; i < entries.size(); i++) {
        const Demonstration &entry = entries[i];
        if (entry.name == nullptr || entry.setting == nullptr || entry.watch == nullptr) {
            fault(entry.name, "a name, a setting and what to watch are needed");
            continue;
        }
        for (std::size_t j = 0; j < i; j++)
            if (entries[j].name != nullptr && std::strcmp(entries[j].name, entry.name) == 0)
                fault(entry.name, "two entries have this name");
        bool compares = entry.compare != nullptr;
        for (const Question &question : entry.questions) {
            compares = compares || question.needs_comparison;
            if (!question.judge)
                fault(entry.name, "no way to judge \"" + question.text + "\"");
            if (question.kind == Kind::letter && question.letters.empty())
                fault(entry.name, "no letters offered for \"" + question.text + "\"");
        }
        if (compares && (entry.compared_with == nullptr || !known(entry.compared_with)))
            fault(entry.name, "compared, but with no program of the tour");
        if (entry.interrupt.after != nullptr &&
            (entry.interrupt.count <= 0 || entry.interrupt.note == nullptr))
            fault(entry.name, "an interrupt needs a count of lines and a note");
    }
    return faults;
}

std::string ending(const procrun::Result &run) {
    if (run.timed_out)
        return "timed out";
    if (run.term_signal != 0) {
        const char *name = sigabbrev_np(run.term_signal); // none for SIGRTMIN..SIGRTMAX
        return "ended by signal " + (name != nullptr ? name : std::to_string(run.term_signal));
    }
    return "exit status " + std::to_string(run.exit_code);
}

std::string failure(const procrun::Result &run, int signal_sent) {
    bool failed = run.timed_out || (run.term_signal != 0 && run.term_signal != signal_sent) ||
                  (run.term_signal == 0 && run.exit_code != 0);
    if (!failed)
        return "";
    if (run.term_signal == 0 && !run.timed_out)
        return "exited with status " + std::to_string(run.exit_code);
    return ending(run);
}

} // namespace tour
