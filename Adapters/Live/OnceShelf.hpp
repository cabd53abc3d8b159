#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvel {

// Hands values over by name, each once. Only the newest `limit` wait; names
// are never reused, so a stale name can't pick up a newer value.
template <class Value> class OnceShelf {
public:
    OnceShelf(std::string prefix, int64_t limit) : prefix_(std::move(prefix)), limit_(limit) {}

    std::string put(Value value) {
        std::lock_guard g(lock_);
        ++given_;
        std::string name = prefix_ + "_" + std::to_string(given_);
        waiting_.emplace_back(name, std::move(value));
        while (static_cast<int64_t>(waiting_.size()) > std::max<int64_t>(limit_, 0)) waiting_.pop_front();
        return name;
    }

    std::optional<Value> take(std::string_view name) {
        std::lock_guard g(lock_);
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            if (it->first == name) {
                std::optional<Value> value(std::move(it->second));
                waiting_.erase(it);
                return value;
            }
        }
        return std::nullopt;
    }

    const std::string& prefix() const { return prefix_; }
    int64_t limit() const { return limit_; }

private:
    std::mutex lock_;
    std::string prefix_;
    int64_t limit_;
    int64_t given_ = 0;
    std::deque<std::pair<std::string, Value>> waiting_;
};

} // namespace korvel
