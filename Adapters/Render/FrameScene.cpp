#include "Adapters/Render/FrameScene.hpp"

namespace korvel {

void FrameScene::noteFailure(std::exception_ptr error) {
    std::lock_guard g(lock_);
    if (!firstFailure_) firstFailure_ = std::move(error);
}

std::exception_ptr FrameScene::firstFailure() const {
    std::lock_guard g(lock_);
    return firstFailure_;
}

void FrameScene::noteTime(double milliseconds) {
    std::lock_guard g(lock_);
    timings_.note(milliseconds);
}

FrameTimings FrameScene::timings() const {
    std::lock_guard g(lock_);
    return timings_;
}

} // namespace korvel
