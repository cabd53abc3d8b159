#pragma once

#include <mutex>
#include <string>
#include <unordered_set>

namespace korvel {

// Validation keys of text items that passed a render's preflight; emptied
// whole once it holds 20,000 keys.
class TextValidationCache {
public:
    bool contains(const std::string& key) const;
    void insert(const std::string& key);
    size_t count() const;

    static constexpr size_t capacity = 20000;

private:
    mutable std::mutex lock_;
    std::unordered_set<std::string> validated_;
};

} // namespace korvel
