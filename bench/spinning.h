// Processes spinning beside a program, as a busy laptop's would, for as long as this lives: the
// benchmark measures the tour's view under load with them, and the tests check it. Each ends
// itself within two minutes should whoever started it die first.
#pragma once

#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

class Spinning {
  public:
    explicit Spinning(int processes) {
        for (int i = 0; i < processes; i++) {
            pid_t pid = fork();
            if (pid == 0) {
                alarm(120);
                volatile unsigned long turns = 0;
                for (;;)
                    turns = turns + 1;
            }
            if (pid > 0)
                pids_.push_back(pid);
        }
    }
    Spinning(const Spinning &) = delete;
    Spinning &operator=(const Spinning &) = delete;
    ~Spinning() {
        for (pid_t pid : pids_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

  private:
    std::vector<pid_t> pids_;
};
