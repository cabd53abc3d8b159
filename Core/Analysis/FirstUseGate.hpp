#pragma once

#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace korvel {

// Runs a piece of work at most once per key. Every call waits while any first
// run is under way, so a model loaded by the first run is loaded once, alone.
// The work must not call once() on the same gate.
class FirstUseGate {
public:
    FirstUseGate() = default;
    FirstUseGate(const FirstUseGate&) = delete;
    FirstUseGate& operator=(const FirstUseGate&) = delete;

    void once(const std::string& key, const std::function<void()>& body);

private:
    std::mutex lock_;
    std::set<std::string> done_;
};

} // namespace korvel
