// Reading the lines of the two pi programs.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace cdtest {

struct ResultLine {
    double estimate;
    long points;
};

inline std::optional<ResultLine> parse_result(const std::string &line) {
    static const std::regex format(R"(The estimated PI is (\d+\.\d{6}) in (\d+) times)");
    std::smatch m;
    if (!std::regex_match(line, m, format))
        return std::nullopt;
    return ResultLine{std::stod(m[1]), std::stol(m[2])};
}

inline bool is_total_line(const std::string &line) {
    static const std::regex format(R"(The time taken in total: \d+\.\d{6} seconds)");
    return std::regex_match(line, format);
}

// The ten squares 1000^2 ... 10000^2, in order.
inline std::vector<long> all_squares() {
    std::vector<long> squares;
    for (long side = 1000; side <= 10000; side += 1000)
        squares.push_back(side * side);
    return squares;
}

} // namespace cdtest
