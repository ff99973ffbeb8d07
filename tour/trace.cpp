#include "trace.h"

#include <cmath>
#include <cstdio>

namespace tour {
namespace {

std::string microseconds(double seconds) {
    return std::to_string(std::llround(seconds * 1e6));
}

} // namespace

namespace {

// The length of the well-formed UTF-8 sequence at `at`, or 0 when there is none: a stray
// continuation byte, a sequence cut short, an overlong form, a surrogate or a code point past
// U+10FFFF.
std::size_t utf8_length(const std::string &text, std::size_t at) {
    auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    unsigned lead = byte(at);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    for (std::size_t i = 1; i < length; i++)
        if ((byte(at + i) & 0xC0) != 0x80)
            return 0;
    unsigned second = byte(at + 1);
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

} // namespace

std::string json_string(const std::string &text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        char c = text[at];
        std::size_t length = utf8_length(text, at);
        if (length == 0) {
            out += "\\ufffd"; // a byte that is not text: JSON must be UTF-8
            at++;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
    }
    return out + "\"";
}

void Trace::add(const Activity &activity, double started_at) {
    // Thread 0 is the program itself: lines that belong to no car, run or process.
    const std::string pid = std::to_string(++programs_);
    auto event = [&](const std::string &phase, const std::string &name, int tid,
                     const std::string &rest) {
        events_.push_back("{\"ph\":\"" + phase + "\",\"name\":" + json_string(name) +
                          ",\"pid\":" + pid + ",\"tid\":" + std::to_string(tid) + rest + "}");
    };
    auto ts = [&](double at) { return ",\"ts\":" + microseconds(started_at + at); };

    event("M", "process_name", 0, ",\"args\":{\"name\":" + json_string(activity.program) + "}");
    event("M", "thread_name", 0, ",\"args\":{\"name\":" + json_string(activity.program) + "}");
    for (size_t i = 0; i < activity.actors.size(); i++) {
        const Actor &actor = activity.actors[i];
        int tid = static_cast<int>(i) + 1;
        event("M", "thread_name", tid, ",\"args\":{\"name\":" + json_string(actor.name) + "}");
        for (const Phase &phase : actor.phases)
            event("X", phase.name, tid,
                  ts(phase.from) + ",\"dur\":" + microseconds(phase.to - phase.from));
    }
    for (const Printed &printed : activity.lines)
        event("i", printed.line.text, printed.actor + 1, ts(printed.line.at) + ",\"s\":\"t\"");
    const std::string counter = json_string(activity.counter);
    for (const auto &[at, count] : activity.counts) {
        event("C", activity.counter, 0,
              ts(at) + ",\"args\":{" + counter + ":" + std::to_string(count) + "}");
    }
}

std::string Trace::json() const {
    std::string out = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    for (size_t i = 0; i < events_.size(); i++)
        out += events_[i] + (i + 1 < events_.size() ? ",\n" : "\n");
    return out + "]}\n";
}

} // namespace tour
