// concurrency-tour: runs the nine demonstrations one after another and shows each at work.
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
#include "timeline.h"
#include "trace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using tour::Demonstration;

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

// A line of the tour's own, or (stamp painted green) one the program printed.
void line(double at, const std::string &text, bool printed = false) {
    std::string when = tour::stamp(at);
    printf("  %s  %s\n", (printed ? paint("32", when) : when).c_str(), text.c_str());
}

void note(double at, const std::string &text) {
    line(at, paint("33", "[" + text + "]"));
}

std::string ending(const procrun::Result &run) {
    if (run.timed_out)
        return "timed out";
    if (run.term_signal != 0)
        return std::string("ended by signal ") + sigabbrev_np(run.term_signal);
    return "exit status " + std::to_string(run.exit_code);
}

struct Seen {
    procrun::Result run;
    tour::Activity activity;
};

struct Score {
    int asked = 0, right = 0, unanswered = 0;
};

// A question asked, and the answer given (none: not answered).
struct Asked {
    const tour::Question *question;
    std::optional<std::string> answer;
};

enum class Shown { done, missing, failed, cut_short };

struct Tour {
    std::vector<const Demonstration *> chosen;
    std::map<std::string, Seen> seen;
    tour::Trace trace;
    tour::Answers *answers = nullptr; // the answers to the quiz, and the Enter of --step
    bool quiz = false, step = false;
    Score score;
};

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

void judge(Tour &tour, const Demonstration &demo, const std::vector<Asked> &asked) {
    const Seen &now = tour.seen.at(demo.name);
    const procrun::Result *compared = nullptr;
    if (demo.compared_with != nullptr && tour.seen.count(demo.compared_with))
        compared = &tour.seen.at(demo.compared_with).run;
    if (!asked.empty())
        puts("");
    for (const Asked &a : asked) {
        auto shown = a.question->judge(now.run, compared);
        bool right = shown && a.answer && *a.answer == shown->answer;
        tour.score.asked++;
        tour.score.right += right;
        tour.score.unanswered += !a.answer;
        say(tour::judgement(a.answer, shown), right ? "32" : a.answer ? "31" : "33", 2);
    }
}

// Runs one demonstration and shows it; what it saw goes into tour.seen and the trace.
Shown show(Tour &tour, const Demonstration &demo) {
    if (tour.step && tour.answers->terminal()) {
        printf("\nPress Enter to run %s", demo.name);
        fflush(stdout);
        if (!tour.answers->wait_for_enter())
            return Shown::cut_short;
    }
    printf("\n%s\n", paint("1;36", "== " + std::string(demo.name) + " ==").c_str());
    say(tour.quiz ? demo.setting : demo.watch, "2");
    puts("");
    std::vector<Asked> asked;
    if (tour.quiz) {
        if (!ask(tour, demo, asked))
            return Shown::cut_short;
        puts("");
    }
    // Only the programs beside the tour's own executable, wherever it was started from.
    std::string path = procrun::self_dir() + "/" + demo.name;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        fprintf(stderr, "concurrency-tour: %s: not found (looked for %s)\n", demo.name,
                path.c_str());
        return Shown::missing;
    }

    procrun::Options options;
    options.argv = {path};
    options.output = procrun::Output::terminal;
    options.timeout = 120;
    options.cancel = &interrupted;
    int interrupting_lines = 0, signal_sent = 0;
    double interrupted_at = -1;
    options.on_line = [&](const procrun::Line &printed, pid_t pgid) {
        line(printed.at, printed.text, true);
        const auto &interrupt = demo.interrupt;
        if (interrupt.after != nullptr && printed.text.rfind(interrupt.after, 0) == 0 &&
            ++interrupting_lines == interrupt.count) {
            note(printed.at, interrupt.note);
            interrupted_at = printed.at;
            signal_sent = SIGINT;
            kill(-pgid, SIGINT);
        }
    };
    options.on_exit = [&](double at) {
        if (demo.note_at_exit != nullptr)
            note(at, demo.note_at_exit);
    };

    double started_at = std::chrono::duration<double>(Clock::now() - tour_start).count();
    procrun::Result run = procrun::run(options);
    if (run.cancelled)
        return Shown::cut_short;
    fputs(run.err.c_str(), stderr); // what the program itself reported
    std::string failed = tour::failure(run, signal_sent);
    line(run.exited_at, paint(failed.empty() ? "2" : "31", ending(run)));
    // Standard output closes when the last process holding it has ended.
    if (demo.note_at_close != nullptr && run.closed_at >= 0)
        note(run.closed_at, demo.note_at_close);
    if (!failed.empty())
        fprintf(stderr, "concurrency-tour: %s: %s\n", demo.name, failed.c_str());

    tour::Activity activity = tour::observe(demo, run, interrupted_at);
    Seen &now = tour.seen[demo.name] = {std::move(run), std::move(activity)};
    tour.trace.add(now.activity, started_at);
    if (tour.quiz) {
        judge(tour, demo, asked);
        puts("");
        say("What to watch: " + std::string(demo.watch), "2");
    }
    if (demo.read != nullptr && demo.drawn_with == nullptr)
        fputs(tour::draw_timeline({&now.activity}, width).c_str(), stdout);
    return failed.empty() ? Shown::done : Shown::failed;
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
            drawn.push_back(&found->second.activity);
            members.push_back(&demo);
        }
    }
    fputs(tour::draw_timeline(drawn, width).c_str(), stdout);
    for (const Demonstration *demo : members) {
        if (demo->compare == nullptr || !tour.seen.count(demo->compared_with))
            continue;
        std::string figures =
            demo->compare(tour.seen.at(demo->name).run, tour.seen.at(demo->compared_with).run);
        std::string label = figures.substr(0, figures.find(':') + 1);
        printf("\n  %s%s\n", paint("1", label).c_str(), figures.substr(label.size()).c_str());
    }
}

void usage(FILE *to) {
    fprintf(to, "usage: concurrency-tour [--quiz] [--step] [--trace FILE] [--list] [--help] "
                "[--version] [PROGRAM...]\n"
                "Runs the demonstrations (all nine, or those named) and shows each at work.\n"
                "  --quiz        ask what each run will show before it runs, then judge each\n"
                "                answer by what it showed (answers typed, or one a line on input)\n"
                "  --step        wait for Enter before each program (on a terminal)\n"
                "  --trace FILE  also write what was seen as a trace (Perfetto, chrome://tracing)\n"
                "  --list        list the programs and what each shows\n"
                "  --help        show this help\n"
                "  --version     show the version\n"
                "Colour is used when standard output is a terminal and NO_COLOR is unset.\n");
}

int tour_main(int argc, char **argv) {
    colour = isatty(STDOUT_FILENO) != 0 && getenv("NO_COLOR") == nullptr;
    width = tour::terminal_width();

    tour::Answers answers(STDIN_FILENO, &interrupted);
    Tour tour;
    tour.answers = &answers;
    std::string trace_path;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            printf("concurrency-tour %s\n", CD_VERSION);
            return 0;
        }
        if (arg == "--list") {
            for (const Demonstration &demo : tour::demonstrations())
                printf("%-16s %s\n", demo.name, demo.watch);
            return 0;
        }
        if (arg == "--quiz" || arg == "--step") {
            (arg == "--quiz" ? tour.quiz : tour.step) = true;
            continue;
        }
        if (arg == "--trace" || arg.rfind("--trace=", 0) == 0) {
            if (arg == "--trace" && i + 1 == argc) {
                fprintf(stderr, "concurrency-tour: --trace needs a file name\n");
                usage(stderr);
                return 2;
            }
            trace_path = arg == "--trace" ? argv[++i] : arg.substr(strlen("--trace="));
            continue;
        }
        const Demonstration *found = tour::find_demonstration(arg);
        if (found == nullptr) {
            fprintf(stderr, "concurrency-tour: %s '%s'\n",
                    arg.rfind('-', 0) == 0 ? "unknown option" : "no such program", arg.c_str());
            usage(stderr);
            return 2;
        }
        tour.chosen.push_back(found);
    }
    if (tour.chosen.empty())
        for (const Demonstration &demo : tour::demonstrations())
            tour.chosen.push_back(&demo);

    // Opened now, so that a trace that cannot be written stops the tour before it starts.
    FILE *trace_file = nullptr;
    if (!trace_path.empty() && (trace_file = fopen(trace_path.c_str(), "w")) == nullptr) {
        fprintf(stderr, "concurrency-tour: %s: %s\n", trace_path.c_str(), strerror(errno));
        return 1;
    }

    // Ctrl-C ends the program being shown (its whole process group), or the question being
    // asked, and then the tour. No SA_RESTART: a read of an answer returns at once.
    struct sigaction on_interrupt {};
    on_interrupt.sa_handler = [](int) { interrupted = 1; };
    sigaction(SIGINT, &on_interrupt, nullptr);
    sigaction(SIGTERM, &on_interrupt, nullptr);

    int status = 0;
    for (size_t i = 0; i < tour.chosen.size(); i++) {
        Shown shown = Shown::done;
        try {
            shown = show(tour, *tour.chosen[i]);
        } catch (const std::exception &e) {
            fprintf(stderr, "concurrency-tour: %s\n", e.what());
            status = 1;
            break;
        }
        if (shown == Shown::cut_short) {
            printf("\n%s\n", paint("31", "interrupted: the tour was ended").c_str());
            status = 130;
            break;
        }
        if (shown != Shown::done)
            status = 1;
        if (tour.chosen[i]->drawn_with != nullptr)
            draw_together(tour, i);
    }
    if (tour.quiz && status != 130) {
        const Score &s = tour.score;
        printf("\n");
        say("Predictions: " + std::to_string(s.right) + " of " + std::to_string(s.asked) +
                " right, " + std::to_string(s.unanswered) + " not answered",
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
