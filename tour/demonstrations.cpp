#include "demonstration.h"
#include "prose.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

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

std::string seconds(double value) {
    char text[32];
    if (value >= 1)
        snprintf(text, sizeof text, "%.2f s", value);
    else
        snprintf(text, sizeof text, value >= 0.01 ? "%.0f ms" : "%.1f ms", value * 1000);
    return text;
}

namespace {

// Processor time the readings may miss of threads they did see: their moments after the last
// reading, before their process's clock could be read again.
constexpr double kUnseenAtLeast = 0.002;

// The row whose thread printed a line, where the line says; the program's own row otherwise.
int printed_by(const Printer &printer, const std::vector<Row> &rows,
               const std::vector<const procview::Thread *> &threads) {
    for (std::size_t i = 0; i < rows.size(); i++) {
        const Row &row = rows[i];
        bool found = false;
        switch (printer.by) {
        case Printer::By::process:
            found = row.thread == 0 && static_cast<std::uint64_t>(row.pid) == printer.id;
            break;
        case Printer::By::descriptor: {
            // pthread_self is the address of the thread's descriptor, which lies in the mapping
            // of its stack; the line gives its low 32 bits.
            const procview::Thread *thread = i < threads.size() ? threads[i] : nullptr;
            if (thread == nullptr || thread->stack_to == 0)
                break;
            std::uint64_t candidate =
                (thread->stack_from & ~std::uint64_t{0xFFFFFFFF}) | printer.id;
            for (std::uint64_t address : {candidate, candidate + (std::uint64_t{1} << 32)})
                found = found || (thread->stack_from <= address && address < thread->stack_to);
            break;
        }
        case Printer::By::row:
            found = row.name == printer.row;
            break;
        case Printer::By::nobody:
            break;
        }
        if (found)
            return static_cast<int>(i);
    }
    return 0;
}

// What the kernel counted, in one line: "11 threads on 2 CPUs: at most 2 running at once; 55 ms
// on a CPU, 112 ms waiting for one". `missed` of the rows ended before a reading saw them; where
// others may have gone unseen, the count is only the least there were.
std::string figures(const Activity &activity, int missed, double on_cpu, double waiting) {
    std::vector<pid_t> processes;
    for (const Row &row : activity.rows)
        if (std::find(processes.begin(), processes.end(), row.pid) == processes.end())
            processes.push_back(row.pid);
    bool one_thread_each =
        processes.size() > 1 && std::all_of(activity.rows.begin(), activity.rows.end(),
                                            [](const Row &row) { return row.thread == 0; });
    std::string who = one_thread_each ? counted(activity.rows.size(), "process", "processes")
                                      : counted(activity.rows.size(), "thread");
    if (!one_thread_each && processes.size() > 1)
        who += " in " + counted(processes.size(), "process", "processes");
    if (!activity.all_seen)
        who = "at least " + who;
    if (missed > 0)
        who += " (" + std::to_string(missed) + " of them ended before a reading saw it)";
    return who + " on " + counted(activity.cpus, "CPU") + ": at most " +
           std::to_string(running_at_once(activity, every_row).most) + " running at once; " +
           seconds(on_cpu) + " on a CPU, " + seconds(waiting) + " waiting for one";
}

} // namespace

std::string thread_row(int process, int thread, const std::string &worker) {
    std::string name = thread == 0 ? "main" : worker;
    return process == 0 ? name : "process " + std::to_string(process + 1) + " " + name;
}

Activity observe(const Demonstration &demonstration, const procrun::Result &run) {
    Activity activity;
    activity.program = demonstration.name;
    activity.pid = run.pid;
    activity.end = std::max({run.exited_at, run.closed_at, run.ended_at, run.stopped_at, 0.0});
    const procview::View &view = run.view;
    activity.cpus = view.cpus;
    activity.readings = view.times;
    activity.kernel_view = !view.threads.empty();
    auto name = [&](int process, int thread) {
        return demonstration.row_name != nullptr
                   ? demonstration.row_name(process, thread)
                   : thread_row(process, thread, "thread " + std::to_string(thread));
    };

    // Rows in creation order: processes as they were found, each one's main thread first, then
    // its threads by id. Every thread seen, and every one that lived and ended between two
    // readings (a row without states, in its place).
    struct Known {
        pid_t pid, tid;
        const procview::Thread *seen;
        std::size_t periods;
    };
    std::vector<Known> known;
    std::vector<pid_t> processes;
    for (std::size_t i = 0; i < view.threads.size(); i++) {
        const procview::Thread &thread = view.threads[i];
        if (std::find(processes.begin(), processes.end(), thread.pid) == processes.end())
            processes.push_back(thread.pid);
        known.push_back({thread.pid, thread.tid, &thread, i});
    }
    for (const procview::Missed &missed : view.missed) {
        // A process none of whose threads was read still has a place of its own.
        if (std::find(processes.begin(), processes.end(), missed.pid) == processes.end())
            processes.push_back(missed.pid);
        known.push_back({missed.pid, missed.tid, nullptr, 0});
    }
    auto process_of = [&](const Known &k) {
        return std::find(processes.begin(), processes.end(), k.pid) - processes.begin();
    };
    std::sort(known.begin(), known.end(), [&](const Known &a, const Known &b) {
        return std::make_tuple(process_of(a), a.tid != a.pid, a.tid) <
               std::make_tuple(process_of(b), b.tid != b.pid, b.tid);
    });
    std::vector<std::vector<procview::Period>> periods = procview::periods(view);
    std::vector<const procview::Thread *> threads;
    double on_cpu = 0, waiting = 0;
    int missed = 0;
    for (const Known &k : known) {
        int process = static_cast<int>(process_of(k));
        int index = 0;
        for (const Row &row : activity.rows)
            index += row.process == process;
        Row row{name(process, index), k.pid, k.tid, process, index, {}};
        threads.push_back(k.seen);
        if (k.seen == nullptr) {
            missed++;
            activity.rows.push_back(std::move(row));
            continue;
        }
        for (const procview::Period &period : periods[k.periods]) {
            row.phases.push_back({period.from, period.to, period.state});
            activity.end = std::max(activity.end, period.to);
        }
        read_runs(row, *k.seen, view.times);
        activity.rows.push_back(std::move(row));
        if (!k.seen->samples.empty()) {
            on_cpu += static_cast<double>(k.seen->samples.back().run_ns) / 1e9;
            waiting += static_cast<double>(k.seen->samples.back().wait_ns) / 1e9;
        }
    }
    // A thread that ended is counted in full by its process's clock, its last stretch after its
    // last reading too (and so is one that lived and ended between two readings).
    for (const procview::ProcessClock &clock : view.clocks) {
        if (clock.ended_ns.empty())
            continue;
        const auto &[at, ended_ns] = clock.ended_ns.back();
        on_cpu += static_cast<double>(ended_ns) / 1e9;
        for (const procview::Thread &thread : view.threads) {
            if (thread.pid == clock.pid && thread.gone_at > 0 && thread.gone_at <= at &&
                !thread.samples.empty())
                on_cpu -= static_cast<double>(thread.samples.back().run_ns) / 1e9;
        }
    }
    if (activity.rows.empty())
        activity.rows.push_back({name(0, 0), run.pid, run.pid, 0, 0, {}});

    for (const procrun::Line &line : run.lines) {
        Printer printer =
            demonstration.printer != nullptr ? demonstration.printer(line.text) : Printer{};
        int row = printed_by(printer, activity.rows, threads);
        // A process that says its id, but lived and ended between two readings: its own row.
        if (activity.kernel_view && printer.by == Printer::By::process && row == 0 &&
            static_cast<std::uint64_t>(activity.rows[0].pid) != printer.id) {
            int process = activity.rows.back().process + 1;
            auto pid = static_cast<pid_t>(printer.id);
            activity.rows.push_back({name(process, 0), pid, pid, process, 0, {}});
            threads.push_back(nullptr);
            missed++;
            row = static_cast<int>(activity.rows.size()) - 1;
        }
        activity.lines.push_back({line, row});
    }
    if (!activity.kernel_view)
        return activity;

    for (const Count &count : demonstration.counters) {
        // Blocked, asleep, ... is told by the call a thread waits in: where the calls could not
        // be read, such a count is unknown, and is left out rather than drawn as none.
        bool told_by_the_call = count.state != State::running && count.state != State::ready;
        if (told_by_the_call && !view.calls_known)
            continue;
        activity.counters.push_back(
            {count.label, count_over_time(activity, count.state, count.counted)});
    }
    // What the readings could not see makes the count the least there were: threads beyond
    // those followed, ids handed out that no reading placed, or more of the program's own usage
    // (exact for it and the children it reaped, told as it was reaped) than the readings found.
    activity.all_seen = view.all_followed && view.all_placed &&
                        run.cpu_seconds - on_cpu <= std::max(kUnseenAtLeast, 0.1 * run.cpu_seconds);
    activity.figures = figures(activity, missed, std::max(on_cpu, run.cpu_seconds), waiting);
    if (demonstration.what_to_see != nullptr)
        activity.to_see = demonstration.what_to_see(activity);
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
            if (question.topic.empty())
                fault(entry.name, "no topic to tally \"" + question.text + "\" by");
            if (question.varies != 0 && question.letters.find(question.varies) == std::string::npos)
                fault(entry.name,
                      "\"it varies\" is not a letter offered by \"" + question.text + "\"");
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

double all_ended_at(const procrun::Result &run) {
    return run.ended_at >= 0 ? run.ended_at : run.closed_at;
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
