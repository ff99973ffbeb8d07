// The tour's own prose (settings, what to watch, questions, judgements, legends): on a terminal it
// is wrapped at word boundaries to the terminal's width; through a pipe each line stays whole.
#pragma once

#include <cstddef>
#include <string>

namespace tour {

// The width to wrap to: the terminal's on standard output, or 0 (do not wrap).
std::size_t terminal_width();

// `text` broken at spaces so no line is wider than `width` where a word allows it, the lines after
// the first indented by `hanging` spaces. The spaces between words on one line are kept as they
// were (legends line up with them). A width of 0 leaves the text as it is.
std::string wrap(const std::string &text, std::size_t width, std::size_t hanging);

// `text` with its control characters shown, not obeyed: ^[ for an escape, ^@ for a NUL, ^M for a
// carriage return, and so on (a tab stays a tab). What a program printed or an answer file held
// can then neither move the cursor, retitle or clear the terminal, nor cut a line short.
std::string visible(const std::string &text);

// A count with the word it counts: "1 CPU", "2 CPUs"; `many` where the plural is not `one` + "s".
template <typename Count>
std::string counted(Count n, const std::string &one, const std::string &many = "") {
    return std::to_string(n) + " " + (n == 1 ? one : many.empty() ? one + "s" : many);
}

} // namespace tour
