#include "trace.h"

#include <cmath>
#include <cstdio>

namespace tour {
namespace {

std::string microseconds(double seconds) {
    return std::to_string(std::llround(seconds * 1e6));
}

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
    auto event = [&](const std::string &phase, const std::string &name, pid_t pid, pid_t tid,
                     const std::string &rest) {
        events_.push_back("{\"ph\":\"" + phase + "\",\"name\":" + json_string(name) + ",\"pid\":" +
                          std::to_string(pid) + ",\"tid\":" + std::to_string(tid) + rest + "}");
    };
    auto ts = [&](double at) { return ",\"ts\":" + microseconds(started_at + at); };
    auto named = [](const std::string &name) {
        return ",\"args\":{\"name\":" + json_string(name) + "}";
    };

    for (std::size_t i = 0; i < activity.rows.size(); i++) {
        const Row &row = activity.rows[i];
        if (row.thread == 0)
            event("M", "process_name", row.pid, row.tid,
                  named(activity.program + (row.process == 0 ? "" : " (" + row.name + ")")));
        event("M", "thread_name", row.pid, row.tid, named(row.name));
        event("M", "thread_sort_index", row.pid, row.tid,
              ",\"args\":{\"sort_index\":" + std::to_string(i) + "}");
        for (const Phase &phase : row.phases) {
            // Both ends rounded, not the length: each slice ends where the next one starts.
            long long from = std::llround((started_at + phase.from) * 1e6),
                      to = std::llround((started_at + phase.to) * 1e6);
            if (to > from)
                event("X", procview::name(phase.state), row.pid, row.tid,
                      ",\"ts\":" + std::to_string(from) + ",\"dur\":" + std::to_string(to - from));
        }
    }
    for (const Printed &printed : activity.lines) {
        const Row &row = activity.rows.at(static_cast<std::size_t>(printed.row));
        event("i", printed.line.text, row.pid, row.tid, ts(printed.line.at) + ",\"s\":\"t\"");
    }
    for (const Counter &counter : activity.counters) {
        for (const auto &[at, count] : counter.counts) {
            event("C", counter.label, activity.pid, activity.pid,
                  ts(at) + ",\"args\":{" + json_string(counter.label) + ":" +
                      std::to_string(count) + "}");
        }
    }
}

std::string Trace::json() const {
    std::string out = "{\"displayTimeUnit\":\"ms\",\"traceEvents\":[\n";
    for (size_t i = 0; i < events_.size(); i++)
        out += events_[i] + (i + 1 < events_.size() ? ",\n" : "\n");
    return out + "]}\n";
}

} // namespace tour
