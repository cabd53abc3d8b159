#pragma once

// Busy threads at normal priority beside a benchmark, so its ratios can be
// read on a loaded machine: `--load N` anywhere on the command line. They
// spin in a child process of their own, so the benchmark's processor
// seconds (its own and its waited-for children's) never count them.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace korvel::bench {

class BackgroundLoad {
public:
    // Takes `--load N` out of argv (the other arguments keep their order).
    BackgroundLoad(int& argc, char** argv) {
        int kept = 1;
        for (int i = 1; i < argc; ++i) {
            if (std::string(argv[i]) == "--load" && i + 1 < argc) {
                threads_ = std::max(0, std::atoi(argv[++i]));
                continue;
            }
            argv[kept++] = argv[i];
        }
        argc = kept;
        argv[argc] = nullptr;
        if (threads_ == 0) return;
        child_ = fork();
        if (child_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            std::vector<std::thread> spinners;
            for (int i = 1; i < threads_; ++i) spinners.emplace_back(spin);
            spin();
        }
    }
    ~BackgroundLoad() {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
    }
    BackgroundLoad(const BackgroundLoad&) = delete;
    BackgroundLoad& operator=(const BackgroundLoad&) = delete;

    int threads() const { return threads_; }
    // How the run's printed line names the load.
    std::string described() const {
        return threads_ == 0 ? "no added load" : std::to_string(threads_) + " busy threads added";
    }

private:
    [[noreturn]] static void spin() {
        volatile unsigned long sink = 0;
        for (;;) sink = sink + 1;
    }

    int threads_ = 0;
    pid_t child_ = -1;
};

} // namespace korvel::bench
