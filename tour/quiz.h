// The quiz: a question asked before a program runs, and judged after it by what the run printed.
// No answer is written down in advance: each judgement reads the lines of the run in front of the
// class, so it stays right for a program a student has changed.
#pragma once

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
// it showed, with why, in a few words.
struct Shown {
    std::string answer;
    std::string because;
};

// The run a question is judged by, and the earlier one it is compared with, when it has one.
using Judge = std::function<std::optional<Shown>(const procrun::Result &run,
                                                 const procrun::Result *compared)>;

struct Question {
    std::string text;
    Kind kind = Kind::count;
    std::string letters{}; // Kind::letter: those accepted, e.g. "abc"
    Judge judge{};         // nullopt when the run did not show it (it failed, say)
    // Asked only when the demonstration's compared_with program ran earlier in the same tour.
    bool needs_comparison = false;
};

// `typed` as an answer of `kind`, in its plain form ("007" is "7", "Yes" is "y"); nullopt when it
// is not of that kind.
std::optional<std::string> accept(const Question &question, const std::string &typed);

// What an answer of the question's kind looks like, for a student who typed something else.
std::string accepted(const Question &question);

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
