#include "quiz.h"

#include "prose.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace tour {
namespace {

std::string trimmed(const std::string &text) {
    std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Whole numbers of up to nine digits: any of them fits in an int.
constexpr std::size_t kMostDigits = 9;

// 1 when the answer starts with the minus sign a number may take.
std::size_t signed_by(const Question &question, const std::string &answer) {
    return answer.rfind('-', 0) == 0 && question.kind == Kind::number ? 1 : 0;
}

} // namespace

std::optional<std::string> accept(const Question &question, const std::string &typed) {
    std::string answer = lower(trimmed(typed));
    switch (question.kind) {
    case Kind::count:
    case Kind::number: {
        std::size_t sign = signed_by(question, answer);
        if (answer.size() == sign || answer.size() > sign + kMostDigits ||
            answer.find_first_not_of("0123456789", sign) != std::string::npos)
            return std::nullopt;
        return std::to_string(std::stol(answer));
    }
    case Kind::letter:
        // "b", and "b)", "(b)" or "b." as a letter offered or written down may look
        if (answer.size() == 3 && answer.front() == '(' && answer.back() == ')')
            answer = answer.substr(1, 1);
        if (answer.size() == 2 && (answer[1] == ')' || answer[1] == '.'))
            answer.pop_back();
        if (answer.size() == 1 && question.letters.find(answer) != std::string::npos)
            return answer;
        return std::nullopt;
    case Kind::yes_no:
        if (answer == "y" || answer == "yes")
            return "y";
        if (answer == "n" || answer == "no")
            return "n";
        return std::nullopt;
    }
    return std::nullopt;
}

std::string refusal(const Question &question, const std::string &typed) {
    std::string answer = trimmed(typed);
    std::size_t sign = signed_by(question, answer);
    if ((question.kind == Kind::count || question.kind == Kind::number) &&
        answer.size() > sign + kMostDigits &&
        answer.find_first_not_of("0123456789", sign) == std::string::npos)
        return visible(answer) + " is too large: please answer with at most " +
               std::to_string(kMostDigits) + " digits, or leave the line empty to skip it";
    return "please answer with " + accepted(question) + ", or leave the line empty to skip it";
}

std::string accepted(const Question &question) {
    switch (question.kind) {
    case Kind::count:
        return "a whole number of 0 or more, such as 3";
    case Kind::number:
        return "a whole number, such as 3";
    case Kind::letter: {
        std::string letters;
        for (size_t i = 0; i < question.letters.size(); i++) {
            const char *separator = i == 0 ? "" : i + 1 == question.letters.size() ? " or " : ", ";
            letters += separator + std::string(1, question.letters[i]);
        }
        return "one of the letters " + letters;
    }
    case Kind::yes_no:
        return "y or n";
    }
    return "";
}

std::string judgement(const std::optional<std::string> &answer, const std::optional<Shown> &shown) {
    if (!shown)
        return "not judged: this run did not show it";
    if (shown->answer.empty())
        return "not judged: " + shown->because;
    if (!answer)
        return "not answered: " + shown->because;
    if (*answer == shown->answer)
        return "right: " + shown->because;
    return "wrong: you said " + *answer + "; " + shown->because;
}

namespace {

// Whole numbers in their plain form, in order of value.
bool smaller(const std::string &a, const std::string &b) {
    bool a_negative = a.front() == '-', b_negative = b.front() == '-';
    if (a_negative != b_negative)
        return a_negative;
    bool shorter = a.size() != b.size() ? a.size() < b.size() : a < b;
    return a_negative ? (a.size() != b.size() ? a.size() > b.size() : a > b) : shorter;
}

// The answers `runs` gave, each as `field` has it, told under `topic`.
std::string tallied(const std::string &topic, const Showings &runs, std::string Shown::*field,
                    bool numbers) {
    std::vector<std::string> answers;
    for (const auto &shown : runs)
        if (shown && !((*shown).*field).empty())
            answers.push_back((*shown).*field);
    std::string told = topic + ": ";
    std::size_t unshown = runs.size() - answers.size();
    std::string missing = unshown == 0 ? "" : " (" + counted(unshown, "run") + " did not show it)";
    if (answers.empty())
        return told + "not shown by any of the " + counted(runs.size(), "run");
    if (std::all_of(answers.begin(), answers.end(), [&](const auto &a) { return a == answers[0]; }))
        return told + answers[0] + " in " + std::to_string(answers.size()) + " of " +
               counted(runs.size(), "run") + missing + ", certain in these runs";
    if (numbers) {
        std::sort(answers.begin(), answers.end(), smaller);
        // Of an even count the median lies between the middle two, which may differ.
        const std::string &low = answers[(answers.size() - 1) / 2],
                          &high = answers[answers.size() / 2];
        std::string median =
            low == high ? "median " + low : "median between " + low + " and " + high;
        return told + "from " + answers.front() + " to " + answers.back() + ", " + median +
               ", over " + counted(answers.size(), "run") + missing + "; it varies";
    }
    // Each answer given, the most frequent first.
    std::vector<std::pair<std::size_t, std::string>> given;
    for (const std::string &answer : answers) {
        auto found = std::find_if(given.begin(), given.end(),
                                  [&](const auto &c) { return c.second == answer; });
        if (found == given.end())
            given.emplace_back(1, answer);
        else
            found->first++;
    }
    std::stable_sort(given.begin(), given.end(),
                     [](const auto &a, const auto &b) { return a.first > b.first; });
    for (std::size_t i = 0; i < given.size(); i++)
        told += (i == 0 ? "" : ", ") + given[i].second + " in " +
                (i == 0 ? counted(given[i].first, "run") : std::to_string(given[i].first));
    return told + missing + "; it varies";
}

} // namespace

std::string tally(const Question &question, const Showings &runs) {
    bool numbers = question.kind == Kind::count || question.kind == Kind::number;
    std::string told = tallied(question.topic, runs, &Shown::answer, numbers);
    if (!question.measure.empty())
        told += ". " + tallied(question.measure, runs, &Shown::measured, true);
    return told;
}

std::optional<Shown> over_runs(const Question &question, const Showings &runs) {
    std::optional<Shown> first;
    bool differ = false;
    for (const auto &shown : runs) {
        if (!shown || shown->answer.empty())
            continue;
        if (!first)
            first = shown;
        differ = differ || shown->answer != first->answer;
    }
    if (first && differ && question.varies != 0)
        return Shown{std::string(1, question.varies),
                     "the runs differed: which comes first is up to the scheduler, run by run"};
    return first;
}

Verdict judge_runs(const Question &question, const std::optional<std::string> &answer,
                   const Showings &runs) {
    if (runs.size() == 1) {
        const std::optional<Shown> &shown = runs[0];
        bool judged = shown && !shown->answer.empty();
        return {judgement(answer, shown), judged, judged && answer && *answer == shown->answer};
    }
    std::optional<Shown> together = over_runs(question, runs);
    if (!together)
        return {"not judged: none of the " + counted(runs.size(), "run") + " showed it", false,
                false};
    std::string why = tally(question, runs) + "; the first run: " + together->because;
    if (!answer)
        return {"not answered: " + why, true, false};
    std::size_t shown = 0, right = 0;
    for (const auto &run : runs) {
        shown += run && !run->answer.empty();
        right += run && run->answer == *answer;
    }
    if (question.varies != 0) // an answer about every run: right in all of them, or in none
        right = *answer == together->answer ? shown : 0;
    if (right == 0)
        return {"wrong in all " + counted(shown, "run") + ": you said " + *answer + "; " + why,
                true, false};
    return {"right in " + std::to_string(right) + " of " + counted(shown, "run") + ": " + why, true,
            right == shown};
}

Answers::Answers(int fd, volatile std::sig_atomic_t *interrupted)
    : fd_(fd), terminal_(isatty(fd) != 0), interrupted_(interrupted) {}

// One byte at a time, so that nothing past the line is taken from whoever reads next.
Answers::Read Answers::read_line(std::string &line) {
    line.clear();
    if (ended_)
        return Read::end;
    for (;;) {
        // Waits in short steps: a Ctrl-C that lands just before the read is not missed.
        pollfd ready{fd_, POLLIN, 0};
        while (*interrupted_ == 0 && poll(&ready, 1, 100) == 0) {
        }
        if (*interrupted_ != 0)
            return Read::interrupted;
        char c;
        ssize_t n = read(fd_, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ended_ = true;
            return line.empty() ? Read::end : Read::line;
        }
        if (c == '\n')
            return Read::line;
        line += c;
    }
}

Answers::Reply Answers::ask(const Question &question, std::size_t width) {
    for (;;) {
        fputs("  > ", stdout);
        fflush(stdout);
        std::string line;
        Read read = read_line(line);
        if (read == Read::interrupted) {
            fputs("\n", stdout);
            return {Outcome::interrupted, ""};
        }
        if (!line.empty() && line.back() == '\r') // a line of a file written with CRLF
            line.pop_back();
        if (!terminal_)
            puts(visible(line).c_str()); // as if typed, but nothing in it acts on the terminal
        else if (read == Read::end)
            fputs("\n", stdout); // Ctrl-D leaves the line open
        if (read == Read::end || trimmed(line).empty())
            return {Outcome::unanswered, ""};
        if (auto answer = accept(question, line))
            return {Outcome::answered, *answer};
        if (!terminal_)
            return {Outcome::unanswered, ""};
        puts(wrap("    " + refusal(question, line), width, 6).c_str());
    }
}

void Answers::discard_typed() const {
    if (terminal_)
        tcflush(fd_, TCIFLUSH);
}

bool Answers::wait_for_enter() {
    std::string line;
    return read_line(line) != Read::interrupted;
}

} // namespace tour
