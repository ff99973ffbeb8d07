#include "reading.h"

#include <charconv>
#include <cmath>

namespace tour {

bool read_as(const std::string &text, std::smatch &m, const std::regex &format) {
    constexpr std::size_t kLongest = 1000;
    return text.size() <= kLongest && std::regex_match(text, m, format);
}

std::string whole_number(const std::string &digits) {
    bool negative = digits.rfind('-', 0) == 0;
    std::size_t first = digits.find_first_not_of('0', negative ? 1 : 0);
    if (first == std::string::npos)
        return "0";
    std::string plain = negative ? "-" : "";
    return plain.append(digits, first);
}

std::optional<long long> whole_value(const std::string &digits) {
    long long value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size())
        return std::nullopt;
    return value;
}

std::optional<double> decimal(const std::string &text) {
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace tour
