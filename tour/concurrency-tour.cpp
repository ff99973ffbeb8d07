// concurrency-tour: runs the ten demonstrations one after another and shows each at work.
//
// Every program runs on a pseudo-terminal of its own, so it behaves as it would on yours. Each
// line it prints is shown with the moment it arrived (+1.00s is one second after the start),
// and the tour adds what the bare output cannot show: the SIGINT that ends spawn-pause, the
// moment spawn-nowait's parent returns while its child lives on, a timeline of who did what
// when, the processor and wall time of the two pi programs side by side, and with --trace all of
// it as a trace file. With --quiz it first asks what the run will show, and afterwards judges
// each answer by what the run did show.
#include "demonstration.h"
#include "output_check.h"
#include "proc_run.h"
#include "prose.h"
#include "reading.h"
#include "timeline.h"
#include "trace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using tour::Demonstration;

// The signal that ends the tour (SIGINT, SIGTERM, SIGHUP), once one has come.
volatile std::sig_atomic_t interrupted = 0;
bool colour = false;
std::size_t width = 0; // of the terminal, to wrap the tour's own prose; 0 through a pipe

std::string paint(const char *code, const std::string &text) {
    return colour ? std::string("\033[") + code + "m" + text + "\033[0m" : text;
}

// A paragraph of the tour's own, indented by `indent` and wrapped under it.
void say(const std::string &text, const char *code = "0", std::size_t indent = 0) {
    puts(paint(code, tour::wrap(std::string(indent, ' ') + text, width, indent)).c_str());
}

// The stamp of the last line shown: lines are heard in order, and a stamp never goes back even
// when the moment something was noticed (a program's exit) precedes a line still on its way.
double last_stamp = 0;

// A line of the tour's own, or (stamp painted green) one the program printed.
void line(double at, const std::string &text, bool printed = false) {
    last_stamp = std::max(last_stamp, at);
    std::string when = tour::stamp(last_stamp);
    printf("  %s  %s\n", (printed ? paint("32", when) : when).c_str(), text.c_str());
}

void note(double at, const std::string &text) {
    line(at, paint("33", "[" + text + "]"));
}

struct Score {
    int judged = 0, right = 0, unanswered = 0, not_judged = 0;
};

// A question asked, and the answer given (none: not answered).
struct Asked {
    const tour::Question *question;
    std::optional<std::string> answer;
};

// How showing a program went: done, its program missing, failed, or cut short (Ctrl-C, a signal).
enum class ShowResult { done, missing, failed, cut_short };

// How often the threads of a running program are read from /proc: often enough for the pi runs,
// which last milliseconds; and ten times as often over the first milliseconds, when the programs
// create their threads and processes, some of which live less than one.
constexpr double kSampleEvery = 0.001, kSampleClosely = 0.02;

// Lines of one run kept for its timeline, trace and judgements: the first and last half of
// these (a program printing a million lines is shown whole, but not held whole).
constexpr std::size_t kLinesKept = 10000;

struct Tour {
    std::vector<const Demonstration *> chosen;
    // Every run of each program shown so far, the one shown in full first.
    std::map<std::string, std::vector<tour::Observed>> seen;
    bool said_unreadable = false; // what the kernel's view could not read is said once
    tour::Trace trace;
    tour::Answers *answers = nullptr; // the answers to the quiz, and the Enter of --step
    bool quiz = false, step = false;
    double timeout = 120; // seconds a program may run before the tour ends it
    int runs = 1;         // of each program
    Score score;
};

// A program silent this long is still being waited for, and the tour says so on a terminal.
constexpr double kSilence = 10;

using Clock = std::chrono::steady_clock;
const Clock::time_point tour_start = Clock::now();

// Asks the demonstration's questions; false on Ctrl-C.
bool ask(Tour &tour, const Demonstration &demo, std::vector<Asked> &asked) {
    for (const tour::Question &question : demo.questions) {
        if (question.needs_comparison && !tour.seen.count(demo.compared_with))
            continue;
        say("? " + question.text, "1", 2);
        auto reply = tour.answers->ask(question, width);
        if (reply.outcome == tour::Answers::Outcome::interrupted)
            return false;
        asked.push_back({&question, reply.outcome == tour::Answers::Outcome::answered
                                        ? std::optional<std::string>(reply.answer)
                                        : std::nullopt});
    }
    return true;
}

// What run i of `demo` showed of a question; it is compared with run i of the program it is
// measured against, or with that program's last run when it had fewer. Nothing when it failed.
std::optional<tour::Shown> shown_by(const Tour &tour, const Demonstration &demo,
                                    const tour::Question &question, std::size_t i) {
    const tour::Observed &run = tour.seen.at(demo.name).at(i);
    if (run.failed)
        return std::nullopt;
    if (run.kept)
        return run.kept->at(static_cast<std::size_t>(&question - demo.questions.data()));
    const tour::Observed *with = nullptr;
    if (demo.compared_with != nullptr && tour.seen.count(demo.compared_with)) {
        const std::vector<tour::Observed> &compared = tour.seen.at(demo.compared_with);
        with = &compared[std::min(i, compared.size() - 1)];
    }
    return question.judge(run, with != nullptr && with->failed ? nullptr : with);
}

// What each run of `demo` that did not fail showed of a question (the failed are counted apart).
tour::Showings showings(const Tour &tour, const Demonstration &demo,
                        const tour::Question &question) {
    const std::vector<tour::Observed> &runs = tour.seen.at(demo.name);
    tour::Showings shown;
    for (std::size_t i = 0; i < runs.size(); i++)
        if (!runs[i].failed)
            shown.push_back(shown_by(tour, demo, question, i));
    return shown;
}

// Once a run after the first is judged, what its questions showed is all that is kept of it,
// unless another program is compared with it: a program printing 10,000 lines shown a thousand
// times stays within tens of megabytes.
void keep_only_what_it_showed(Tour &tour, const Demonstration &demo) {
    for (const Demonstration *other : tour.chosen)
        if (other->compared_with != nullptr && std::string(other->compared_with) == demo.name)
            return;
    std::size_t last = tour.seen.at(demo.name).size() - 1;
    std::vector<std::optional<tour::Shown>> kept;
    for (const tour::Question &question : demo.questions)
        kept.push_back(shown_by(tour, demo, question, last));
    tour::Observed &run = tour.seen.at(demo.name)[last];
    run.kept = std::move(kept);
    // Moved from, not cleared: a cleared vector keeps its memory.
    run.run.lines = std::vector<procrun::Line>();
    run.run.view = procview::View();
    run.activity = tour::Activity();
}

// "2 of 6 runs failed": the runs of `demo` that show nothing; "" when none did.
std::string failed_runs(const Tour &tour, const Demonstration &demo) {
    const std::vector<tour::Observed> &runs = tour.seen.at(demo.name);
    auto failed = std::count_if(runs.begin(), runs.end(),
                                [](const tour::Observed &run) { return run.failed; });
    if (failed == 0)
        return "";
    if (runs.size() == 1)
        return "the run failed";
    return static_cast<std::size_t>(failed) == runs.size()
               ? "all " + std::to_string(runs.size()) + " runs failed"
               : std::to_string(failed) + " of " + std::to_string(runs.size()) + " runs failed";
}

void judge(Tour &tour, const Demonstration &demo, const std::vector<Asked> &asked) {
    if (!asked.empty())
        puts("");
    std::string failed = failed_runs(tour, demo);
    for (const Asked &a : asked) {
        tour::Showings shown = showings(tour, demo, *a.question);
        tour::Verdict verdict = shown.empty() ? tour::Verdict{"not judged: " + failed, false, false}
                                              : tour::judge_runs(*a.question, a.answer, shown);
        if (!shown.empty() && !failed.empty())
            verdict.line += " (" + failed + ": they show nothing)";
        // A question the runs did not show is no prediction gone wrong: it is not scored.
        tour.score.not_judged += !verdict.judged;
        tour.score.judged += verdict.judged;
        tour.score.right += verdict.right;
        tour.score.unanswered += verdict.judged && !a.answer;
        bool partly = verdict.line.rfind("right in", 0) == 0 && !verdict.right;
        say(verdict.line, verdict.right ? "32" : partly || !a.answer ? "33" : "31", 2);
    }
}

// What every question of `demo` showed over its runs, for a tour without the quiz.
void tally(const Tour &tour, const Demonstration &demo) {
    std::size_t runs = tour.seen.at(demo.name).size();
    printf("\n  %s\n", paint("1", "over " + std::to_string(runs) + " runs:").c_str());
    if (std::string failed = failed_runs(tour, demo); !failed.empty())
        say(failed + ": they show nothing, and are not counted below", "33", 4);
    for (const tour::Question &question : demo.questions) {
        tour::Showings shown = showings(tour, demo, question);
        if (!shown.empty() && (!question.needs_comparison || tour.seen.count(demo.compared_with)))
            say(tour::tally(question, shown), "0", 4);
    }
}

// One run of a demonstration. Shown, its lines and the tour's notes are printed as they come;
// otherwise it runs unseen, but the tour still does what it does while it runs (a SIGINT).
struct Run {
    procrun::Result result;
    int signal_sent = 0;
};

Run run_once(const Tour &tour, const Demonstration &demo, const std::string &path, bool shown) {
    procrun::Options options;
    options.argv = {path};
    options.output = procrun::Output::terminal;
    options.timeout = tour.timeout;
    options.cancel = &interrupted;
    options.keep_lines = kLinesKept;
    options.sample_every = kSampleEvery;
    options.sample_closely = kSampleClosely;
    Run run;
    int interrupting_lines = 0;
    double heard_at = 0;
    bool said_waiting = false;
    last_stamp = 0;
    options.on_line = [&](const procrun::Line &printed, pid_t pgid) {
        if (shown)
            line(printed.at, tour::visible(printed.text), true);
        heard_at = printed.at;
        said_waiting = false;
        const auto &interrupt = demo.interrupt;
        if (interrupt.after != nullptr && printed.text.rfind(interrupt.after, 0) == 0 &&
            ++interrupting_lines == interrupt.count) {
            if (shown)
                note(printed.at, interrupt.note);
            run.signal_sent = SIGINT;
            kill(-pgid, SIGINT);
        }
    };
    options.on_exit = [&](double at) {
        if (shown && demo.note_at_exit != nullptr)
            note(at, demo.note_at_exit);
    };
    options.on_tick = [&](double now) {
        if (shown && tour.answers->terminal() && !said_waiting && now - heard_at >= kSilence) {
            char waiting[160];
            snprintf(waiting, sizeof waiting,
                     "still waiting: %s has printed nothing for %.0f s; the tour ends it at %.0f s",
                     demo.name, kSilence, tour.timeout);
            note(now, waiting);
            said_waiting = true;
        }
    };
    run.result = procrun::run(options);
    return run;
}

// Runs a demonstration the other times --runs asks for, unseen, with a line of progress on a
// terminal; false when Ctrl-C ended one (that run is left out).
bool run_again(Tour &tour, const Demonstration &demo, const std::string &path, bool &failed) {
    std::vector<tour::Observed> &runs = tour.seen.at(demo.name);
    bool terminal = isatty(STDOUT_FILENO) != 0;
    for (int k = 2; k <= tour.runs; k++) {
        if (terminal) {
            printf("\r  run %d of %d", k, tour.runs);
            fflush(stdout);
        }
        Run again = run_once(tour, demo, path, false);
        if (again.result.cancelled)
            break;
        std::string failure = tour::failure(again.result, again.signal_sent);
        if (!failure.empty()) {
            fprintf(stderr, "concurrency-tour: %s: run %d of %d: %s\n", demo.name, k, tour.runs,
                    failure.c_str());
            failed = true;
        }
        tour::Activity activity = tour::observe(demo, again.result);
        runs.push_back({std::move(again.result), std::move(activity), !failure.empty(), {}});
        keep_only_what_it_showed(tour, demo);
    }
    if (terminal)
        printf("\r%*s\r", 24, "");
    tour.answers->discard_typed();
    return interrupted == 0;
}

// Runs one demonstration and shows it; what it saw goes into tour.seen and the trace.
ShowResult show(Tour &tour, const Demonstration &demo) {
    if (tour.step && tour.answers->terminal()) {
        printf("\nPress Enter to run %s", demo.name);
        fflush(stdout);
        if (!tour.answers->wait_for_enter())
            return ShowResult::cut_short;
    }
    printf("\n%s\n", paint("1;36", "== " + std::string(demo.name) + " ==").c_str());
    say(tour.quiz ? demo.setting : demo.watch, "2");
    puts("");
    std::vector<Asked> asked;
    if (tour.quiz) {
        if (!ask(tour, demo, asked))
            return ShowResult::cut_short;
        puts("");
    }
    // Only the programs beside the tour's own executable, wherever it was started from.
    std::string path = procrun::self_dir() + "/" + demo.name;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        fprintf(stderr, "concurrency-tour: %s: not found (looked for %s)\n", demo.name,
                path.c_str());
        return ShowResult::missing;
    }

    double started_at = std::chrono::duration<double>(Clock::now() - tour_start).count();
    Run first = run_once(tour, demo, path, true);
    procrun::Result &run = first.result;
    tour.answers->discard_typed(); // keys pressed during the run answer nothing
    if (run.cancelled) {
        // What was shown goes into the trace all the same.
        tour.trace.add(tour::observe(demo, run), started_at);
        return ShowResult::cut_short;
    }
    fputs(run.err.c_str(), stderr); // what the program itself reported
    std::string failed = tour::failure(run, first.signal_sent);
    if (run.timed_out) {
        char after[64];
        snprintf(after, sizeof after, "timed out after %.0f s", tour.timeout);
        line(run.stopped_at, paint("31", after));
    } else {
        line(run.exited_at, paint(failed.empty() ? "2" : "31", tour::ending(run)));
    }
    if (run.left_running > 0) {
        std::string left = tour::counted(run.left_running, "process", "processes");
        note(run.stopped_at, "the tour ended " + left + " the program left running");
    }
    if (demo.note_at_close != nullptr && tour::all_ended_at(run) >= 0)
        note(tour::all_ended_at(run), demo.note_at_close);
    if (!failed.empty())
        fprintf(stderr, "concurrency-tour: %s: %s\n", demo.name, failed.c_str());

    if (!run.view.unreadable.empty() && !tour.said_unreadable) {
        say("[the kernel's view: could not read " + run.view.unreadable +
                "; the timelines show what could be read]",
            "33", 2);
        tour.said_unreadable = true;
    }
    tour::Activity activity = tour::observe(demo, run);
    std::vector<tour::Observed> &runs = tour.seen[demo.name];
    runs = {};
    runs.push_back({std::move(run), std::move(activity), !failed.empty(), {}});
    tour.trace.add(runs.front().activity, started_at);

    bool again_failed = false;
    bool completed = tour.runs == 1 || run_again(tour, demo, path, again_failed);
    if (tour.quiz) {
        judge(tour, demo, asked);
        puts("");
        say("What to watch: " + std::string(demo.watch), "2");
    }
    if (demo.row_name != nullptr && demo.drawn_with == nullptr)
        fputs(tour::draw_timeline({&runs.front().activity}, width).c_str(), stdout);
    if (!tour.quiz && runs.size() > 1)
        tally(tour, demo);
    if (!completed)
        return ShowResult::cut_short;
    return failed.empty() && !again_failed ? ShowResult::done : ShowResult::failed;
}

// The demonstrations drawn together with chosen[i], once it is the last of them to run: one
// timeline on one scale, then the figures of those compared with another.
void draw_together(Tour &tour, size_t i) {
    const char *group = tour.chosen[i]->drawn_with;
    for (size_t j = i + 1; j < tour.chosen.size(); j++) {
        if (tour.chosen[j]->drawn_with != nullptr &&
            std::strcmp(tour.chosen[j]->drawn_with, group) == 0)
            return;
    }
    std::vector<const tour::Activity *> drawn;
    std::vector<const Demonstration *> members;
    for (const Demonstration &demo : tour::demonstrations()) {
        auto found = tour.seen.find(demo.name);
        if (demo.drawn_with != nullptr && std::strcmp(demo.drawn_with, group) == 0 &&
            found != tour.seen.end()) {
            drawn.push_back(&found->second.front().activity);
            members.push_back(&demo);
        }
    }
    fputs(tour::draw_timeline(drawn, width).c_str(), stdout);
    for (const Demonstration *demo : members) {
        if (demo->compare == nullptr || !tour.seen.count(demo->compared_with))
            continue;
        tour::Figures figures = demo->compare(tour.seen.at(demo->name).front().run,
                                              tour.seen.at(demo->compared_with).front().run);
        printf("\n  %s %s\n", paint("1", figures.label).c_str(), figures.text.c_str());
    }
}

void usage(FILE *to) {
    std::size_t wrap_at = to == stdout ? width : 0;
    auto put = [&](const std::string &text, std::size_t hanging) {
        fprintf(to, "%s\n", tour::wrap(text, wrap_at, hanging).c_str());
    };
    put("usage: concurrency-tour [--quiz] [--runs N] [--step] [--trace FILE] [--timeout SECONDS] "
        "[--list] [--help] [--version] [--] [PROGRAM...]",
        7);
    put("Runs the demonstrations (all ten, or those named) and shows each at work.", 0);
    const char *options[][2] = {
        {"--quiz", "ask what each run will show before it runs, then judge each answer by what "
                   "it showed (answers typed, or one a line on input)"},
        {"--runs N", "run each program N times (1 to 1000): the first is shown, then for every "
                     "question what the runs showed, what never varied and what did; with "
                     "--quiz each answer is judged by every run"},
        {"--step", "wait for Enter before each program (on a terminal)"},
        {"--trace FILE", "also write what was seen as a trace (Perfetto, chrome://tracing)"},
        {"--timeout SECONDS", "end a program still running after this long (default 120); on a "
                              "terminal the tour says when one has been silent for 10 s"},
        {"--list", "list the programs and what each shows"},
        {"--help", "show this help"},
        {"--version", "show the version"},
        {"--", "what follows is a program name, even if it starts with -"}};
    for (const auto &[option, what] : options) {
        char head[32];
        snprintf(head, sizeof head, "  %-18s", option);
        put(head + std::string(what), 20);
    }
    put("Colour is used when standard output is a terminal, TERM is not dumb and NO_COLOR is "
        "unset.",
        0);
}

// The tour's options; -1 when it should go on to run the demonstrations, else the exit status.
int options(Tour &tour, std::string &trace_path, int argc, char **argv) {
    auto bad = [](const std::string &what) {
        fprintf(stderr, "concurrency-tour: %s\n", what.c_str());
        usage(stderr);
        return 2;
    };
    bool names_only = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!names_only && arg.rfind('-', 0) == 0) {
            // An option's value: after "=", or the next argument.
            auto value = [&](const std::string &option) -> std::optional<std::string> {
                if (arg.rfind(option + "=", 0) == 0)
                    return arg.substr(option.size() + 1);
                if (arg == option && i + 1 < argc)
                    return std::string(argv[++i]);
                return std::nullopt;
            };
            auto named = [&](const std::string &option) {
                return arg == option || arg.rfind(option + "=", 0) == 0;
            };
            // An option's whole number, from `least` to `most`.
            auto number = [&](const std::string &option, long long least, long long most) {
                auto given = value(option);
                auto n = given ? tour::whole_value(*given) : std::nullopt;
                return n && *n >= least && *n <= most ? n : std::nullopt;
            };
            if (arg == "--") {
                names_only = true;
            } else if (arg == "--help" || arg == "-h") {
                usage(stdout);
                return 0;
            } else if (arg == "--version") {
                printf("concurrency-tour %s\n", CD_VERSION);
                return 0;
            } else if (arg == "--list") {
                for (const Demonstration &demo : tour::demonstrations()) {
                    std::string name = demo.name + std::string(17 - std::strlen(demo.name), ' ');
                    puts(tour::wrap(name + demo.watch, width, 17).c_str());
                }
                return 0;
            } else if (arg == "--quiz" || arg == "--step") {
                (arg == "--quiz" ? tour.quiz : tour.step) = true;
            } else if (named("--trace")) {
                auto path = value("--trace");
                if (!path || path->empty())
                    return bad("--trace needs a file name");
                if (*path == "-")
                    return bad("--trace -: the trace cannot go to standard output, where the "
                               "tour itself writes; name a file");
                trace_path = *path;
            } else if (named("--runs")) {
                auto runs = number("--runs", 1, 1000);
                if (!runs)
                    return bad("--runs needs a whole number of runs from 1 to 1000");
                tour.runs = static_cast<int>(*runs);
            } else if (named("--timeout")) {
                auto limit = number("--timeout", 1, 3600);
                if (!limit)
                    return bad("--timeout needs a whole number of seconds from 1 to 3600");
                tour.timeout = static_cast<double>(*limit);
            } else {
                return bad("unknown option '" + arg + "'");
            }
            continue;
        }
        const Demonstration *found = tour::find_demonstration(arg);
        if (found == nullptr)
            return bad("no such program '" + arg + "'");
        tour.chosen.push_back(found);
    }
    if (tour.chosen.empty())
        for (const Demonstration &demo : tour::demonstrations())
            tour.chosen.push_back(&demo);
    return -1;
}

int tour_main(int argc, char **argv) {
    const char *term = getenv("TERM");
    colour = isatty(STDOUT_FILENO) != 0 && getenv("NO_COLOR") == nullptr &&
             (term == nullptr || std::strcmp(term, "dumb") != 0);
    width = tour::terminal_width();
    if (std::string faults = tour::check(tour::demonstrations()); !faults.empty()) {
        fprintf(stderr, "concurrency-tour: the demonstrations are not sound:\n%s", faults.c_str());
        return 1;
    }

    tour::Answers answers(STDIN_FILENO, &interrupted);
    Tour tour;
    tour.answers = &answers;
    std::string trace_path;
    if (int status = options(tour, trace_path, argc, argv); status >= 0)
        return status;

    // Opened now, so that a trace that cannot be written stops the tour before it starts.
    FILE *trace_file = nullptr;
    if (!trace_path.empty() && (trace_file = fopen(trace_path.c_str(), "w")) == nullptr) {
        fprintf(stderr, "concurrency-tour: %s: %s\n", trace_path.c_str(), strerror(errno));
        return 1;
    }

    // Ctrl-C ends the program being shown (its whole process group), or the question being
    // asked, and then the tour; so do a SIGTERM and a hang-up. No SA_RESTART: a read of an
    // answer returns at once.
    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = [](int signal) { interrupted = signal; };
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &on_interrupt, nullptr);

    int status = 0;
    for (size_t i = 0; i < tour.chosen.size(); i++) {
        ShowResult shown = ShowResult::done;
        try {
            shown = show(tour, *tour.chosen[i]);
        } catch (const std::exception &e) {
            fprintf(stderr, "concurrency-tour: %s\n", e.what());
            status = 1;
            break;
        }
        if (shown == ShowResult::cut_short) {
            printf("\n%s\n", paint("31", "interrupted: the tour was ended").c_str());
            status = 128 + (interrupted != 0 ? interrupted : SIGINT);
            break;
        }
        if (shown != ShowResult::done)
            status = 1;
        if (tour.chosen[i]->drawn_with != nullptr)
            draw_together(tour, i);
    }
    if (tour.quiz && status < 128) {
        const Score &s = tour.score;
        printf("\n");
        say("Predictions: " + std::to_string(s.right) + " of " + std::to_string(s.judged) +
                " right, " + std::to_string(s.unanswered) + " not answered, " +
                std::to_string(s.not_judged) + " not judged",
            "1");
    }
    if (trace_file != nullptr) {
        std::string json = tour.trace.json();
        bool written = fwrite(json.data(), 1, json.size(), trace_file) == json.size();
        if (fclose(trace_file) != 0 || !written) {
            fprintf(stderr, "concurrency-tour: %s: write error: %s\n", trace_path.c_str(),
                    strerror(errno));
            status = status == 0 ? 1 : status;
        }
    }
    return status;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return output_status("concurrency-tour", tour_main(argc, argv));
}
