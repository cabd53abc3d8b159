#pragma once

// Busy threads at normal priority beside a benchmark, so its ratios can be
// read on a loaded machine: `--load N` anywhere on the command line.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

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
        for (int i = 0; i < threads_; ++i) {
            spinners_.emplace_back([this] {
                volatile unsigned long sink = 0;
                while (!stop_.load(std::memory_order_relaxed)) sink = sink + 1;
            });
        }
    }
    ~BackgroundLoad() {
        stop_ = true;
        for (auto& t : spinners_) t.join();
    }
    BackgroundLoad(const BackgroundLoad&) = delete;
    BackgroundLoad& operator=(const BackgroundLoad&) = delete;

    int threads() const { return threads_; }
    // How the run's printed line names the load.
    std::string described() const {
        return threads_ == 0 ? "no added load" : std::to_string(threads_) + " busy threads added";
    }

private:
    int threads_ = 0;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> spinners_;
};

} // namespace korvel::bench
