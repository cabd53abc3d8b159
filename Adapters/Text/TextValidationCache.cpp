#include "Adapters/Text/TextValidationCache.hpp"

namespace korvel {

bool TextValidationCache::contains(const std::string& key) const {
    std::lock_guard guard(lock_);
    return validated_.count(key) > 0;
}

void TextValidationCache::insert(const std::string& key) {
    std::lock_guard guard(lock_);
    if (validated_.size() >= capacity) validated_.clear();
    validated_.insert(key);
}

size_t TextValidationCache::count() const {
    std::lock_guard guard(lock_);
    return validated_.size();
}

} // namespace korvel
