// Reading what a program printed. A changed program may print anything at all — digits past what
// any type holds, a lone ".", a line of a megabyte — so nothing here assumes a line has the shape
// or the size the original program gives it.
#pragma once

#include <optional>
#include <regex>
#include <string>

namespace tour {

// Whether `text` has the shape of `format` (whole), with what it matched in `m`, as
// std::regex_match. A line far longer than any a demonstration prints has no known shape (and the
// regex engine would recurse once per character over it).
bool read_as(const std::string &text, std::smatch &m, const std::regex &format);

// A whole number as its plainest digits: no leading zeros, no sign on zero. Any length.
std::string whole_number(const std::string &digits);

// A whole number's value, when it fits.
std::optional<long long> whole_value(const std::string &digits);

// A decimal number ("0.031250"), or none when `text` is not a finite one (".", "1e999").
std::optional<double> decimal(const std::string &text);

} // namespace tour
