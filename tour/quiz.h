// The quiz: a question asked before a program runs, and judged after it by what the run showed:
// the lines it printed, or what the kernel saw its threads do. No answer is written down in
// advance: each judgement reads the run in front of the class, so it stays right for a program
// a student has changed.
#pragma once

#include "activity.h"
#include "proc_run.h"

#include <csignal>
#include <functional>
#include <optional>
#include <string>

namespace tour {

// What kind of answer a question takes.
enum class Kind {
    count,  // a whole number, 0 or more: how many of something
    number, // a whole number
    letter, // one of the letters offered (Question::letters)
    yes_no  // y or n
};

// What a run showed: the answer it gives, in the form an answer takes ("2", "b", "y"), and what
// it showed, with why, in a few words. No answer: the run showed something, but not enough to
// judge by, and `because` says what.
struct Shown {
    std::string answer;
    std::string because;
    std::string measured{}; // the whole number the answer rests on, when the question has one
};

// A run, and what the tour saw of it.
struct Observed {
    procrun::Result run;
    Activity activity;
    bool failed = false; // it failed: it shows nothing, and nothing is judged by it
    // A run after the first keeps only what each of its program's questions showed, in their
    // order, when no other program is compared with it: not its lines, nor the kernel's view.
    std::optional<std::vector<std::optional<Shown>>> kept{};
};

// The run a question is judged by, and the earlier one it is compared with, when it has one.
using Judge = std::function<std::optional<Shown>(const Observed &now, const Observed *compared)>;

struct Question {
    std::string text;
    Kind kind = Kind::count;
    std::string letters{}; // Kind::letter: those accepted, e.g. "abc"
    Judge judge{};         // nullopt when the run did not show it (it failed, say)
    // Asked only when the demonstration's compared_with program ran earlier in the same tour.
    bool needs_comparison = false;
    // What the runs showed, in a few words, for a tally over several runs ("The left ticket is").
    std::string topic{};
    // For a question about every run, the letter that says "it varies from run to run": the
    // answer of several runs that showed different things. 0: each run answers on its own.
    char varies = 0;
    // What Shown::measured counts, when a run's answer rests on a number ("Tickets left"): the
    // tally tells that number over the runs too, so a "y" every time can still vary in how much.
    std::string measure{};
};

// What each of several runs showed of a question (none where a run did not show it).
using Showings = std::vector<std::optional<Shown>>;

// What the runs showed, told with what never varied and what did: "The left ticket is: 0 in 20
// of 20 runs, certain in these runs"; "Lines in order of size: y in 3 runs, n in 17; it
// varies"; a number that varies by its range and median; then the measure, told the same way.
std::string tally(const Question &question, const Showings &runs);

// The answer of all the runs together: for a question about every run, that of each when they
// agree, else its `varies` letter; for another, that of the first run that showed it.
std::optional<Shown> over_runs(const Question &question, const Showings &runs);

// A prediction judged by every run: "right in K of N runs: …", "wrong in all N runs: you said
// …; …", "not answered: …", or "not judged: …", each with the tally and why. `right` only when
// it was right in every run that showed it.
struct Verdict {
    std::string line;
    bool judged, right;
};
Verdict judge_runs(const Question &question, const std::optional<std::string> &answer,
                   const Showings &runs);

// `typed` as an answer of `kind`, in its plain form ("007" is "7", "Yes" is "y"); nullopt when it
// is not of that kind.
std::optional<std::string> accept(const Question &question, const std::string &typed);

// What an answer of the question's kind looks like, for a student who typed something else.
std::string accepted(const Question &question);

// What the student is told when `typed` is refused: what the question takes, or, for a whole
// number with too many digits, that it is too large.
std::string refusal(const Question &question, const std::string &typed);

// The judgement line: "right: …", "wrong: you said …; …", "not answered: …".
std::string judgement(const std::optional<std::string> &answer, const std::optional<Shown> &shown);

// Reads the answers: typed on a terminal, or prepared in a file or a pipe.
class Answers {
  public:
    // `interrupted` becomes non-zero on Ctrl-C (a signal handler without SA_RESTART sets it).
    Answers(int fd, volatile std::sig_atomic_t *interrupted);
    bool terminal() const { return terminal_; }

    enum class Outcome { answered, unanswered, interrupted };
    struct Reply {
        Outcome outcome;
        std::string answer;
    };
    // Prompts with "  > " and reads until the answer is of the right kind (on a terminal) or one
    // line has been read (otherwise, where a line of the wrong kind leaves it unanswered).
    Reply ask(const Question &question, std::size_t width);
    // Waits for Enter on a terminal; false when interrupted.
    bool wait_for_enter();
    // Forgets what was typed on the terminal since the last question (during a run, say), so
    // that a key pressed then does not answer the next one.
    void discard_typed() const;

  private:
    enum class Read { line, end, interrupted };
    Read read_line(std::string &line);

    int fd_;
    bool terminal_;
    bool ended_ = false;
    volatile std::sig_atomic_t *interrupted_;
};

} // namespace tour
