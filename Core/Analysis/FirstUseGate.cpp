#include "Core/Analysis/FirstUseGate.hpp"

namespace korvel {

void FirstUseGate::once(const std::string& key, const std::function<void()>& body) {
    std::lock_guard guard(lock_);
    // The key is recorded before the work runs: a body that throws is not retried.
    if (done_.insert(key).second && body) body();
}

} // namespace korvel
