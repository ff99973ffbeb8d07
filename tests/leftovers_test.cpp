// Runs after every other test: nothing the suite started may still be alive.
#include "proc_run.h"

#include <fstream>
#include <gtest/gtest.h>

TEST(Suite, LeavesNoProcessBehind) {
    for (pid_t pid : procrun::started_by(0)) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string command;
        std::getline(cmdline, command, '\0');
        ADD_FAILURE() << "still alive: pid " << pid << " " << command;
    }
}
