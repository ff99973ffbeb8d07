// Where the built programs are, and the usual ways the tests run them.
#pragma once

#include "proc_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace cdtest {

using procrun::Output;

inline std::string bin(const std::string &name) {
    return std::string(CD_BIN_DIR) + "/" + name;
}

inline std::string interposer(const std::string &name) {
    return std::string(CD_INTERPOSER_DIR) + "/lib" + name + ".so";
}

inline procrun::Options program(const std::string &name, Output output, double timeout = 60) {
    procrun::Options options;
    options.argv = {bin(name)};
    options.output = output;
    options.timeout = timeout;
    return options;
}

// The calendar clock frozen at `when` (UTC, "YYYY-MM-DD hh:mm:ss"): every time() reads it.
inline procrun::Options frozen_at(procrun::Options options, const std::string &when) {
    options.prefix = {"faketime", "-f", when};
    options.env.emplace_back("TZ", "UTC");
    return options;
}

// The k-th pthread_create of the program fails with EAGAIN.
inline procrun::Options thread_creation_fails_at(procrun::Options options, int k) {
    options.env.emplace_back("LD_PRELOAD", interposer("fail_pthread_create"));
    options.env.emplace_back("FAIL_PTHREAD_CREATE_AT", std::to_string(k));
    return options;
}

// The program's sem_init fails with ENOSYS.
inline procrun::Options semaphores_fail(procrun::Options options) {
    options.env.emplace_back("LD_PRELOAD", interposer("fail_sem_init"));
    return options;
}

// Every fork of the program fails.
inline procrun::Options fork_fails(procrun::Options options) {
    options.prefix = {"fiu-run", "-x", "-c", "enable name=posix/proc/fork"};
    return options;
}

inline std::string name_of(Output output) {
    return output == Output::terminal ? "terminal" : "pipe";
}

inline std::string output_name(const testing::TestParamInfo<Output> &info) {
    return name_of(info.param);
}

// A program's name as it may stand in a test's name.
inline std::string test_name(std::string program) {
    std::replace(program.begin(), program.end(), '-', '_');
    return program;
}

inline std::string
program_output_name(const testing::TestParamInfo<std::tuple<std::string, Output>> &info) {
    return test_name(std::get<0>(info.param)) + "_" + name_of(std::get<1>(info.param));
}

inline int count(const std::vector<std::string> &lines, const std::string &text) {
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

} // namespace cdtest
