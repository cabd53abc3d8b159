#include "Adapters/Audio/GrowingAudioStream.hpp"

#include <algorithm>

namespace korvel {

void GrowingAudioStream::begin(const Shape& shape) {
    std::lock_guard g(lock_);
    shape_ = shape;
}

void GrowingAudioStream::append(std::vector<std::vector<uint8_t>> packets) {
    {
        std::lock_guard g(lock_);
        for (auto& p : packets) packets_.push_back(std::move(p));
    }
    changed_.notify_all();
}

void GrowingAudioStream::finish() {
    {
        std::lock_guard g(lock_);
        finished_ = true;
    }
    changed_.notify_all();
}

void GrowingAudioStream::fail(std::exception_ptr error) {
    {
        std::lock_guard g(lock_);
        if (!failure_) failure_ = error;
    }
    changed_.notify_all();
}

void GrowingAudioStream::stop() {
    {
        std::lock_guard g(lock_);
        stopped_ = true;
    }
    stopper_.request_stop();
    changed_.notify_all();
}

bool GrowingAudioStream::stopped() const {
    std::lock_guard g(lock_);
    return stopped_;
}

bool GrowingAudioStream::ended() const {
    std::lock_guard g(lock_);
    return finished_ || failure_ != nullptr;
}

std::exception_ptr GrowingAudioStream::failure() const {
    std::lock_guard g(lock_);
    return failure_;
}

EncodedAudioStream GrowingAudioStream::snapshot() const {
    std::lock_guard g(lock_);
    EncodedAudioStream s;
    if (!shape_) return s;
    s.packets = packets_;
    s.encoderDelayFrames = shape_->encoderDelayFrames;
    s.frameCount = shape_->frameCount;
    s.channelCount = shape_->channelCount;
    s.bitRate = shape_->bitRate;
    s.isComplete = finished_;
    return s;
}

EncodedAudioStream GrowingAudioStream::shape() const {
    std::lock_guard g(lock_);
    EncodedAudioStream s;
    if (!shape_) return s;
    s.encoderDelayFrames = shape_->encoderDelayFrames;
    s.frameCount = shape_->frameCount;
    s.channelCount = shape_->channelCount;
    s.bitRate = shape_->bitRate;
    s.isComplete = finished_;
    return s;
}

int64_t GrowingAudioStream::packetCount() const {
    std::lock_guard g(lock_);
    return shape_ ? static_cast<int64_t>(packets_.size()) : 0;
}

std::vector<std::vector<uint8_t>> GrowingAudioStream::packets(int64_t first, int64_t end) const {
    std::lock_guard g(lock_);
    const auto n = static_cast<int64_t>(packets_.size());
    first = std::clamp<int64_t>(first, 0, n);
    end = std::clamp<int64_t>(end, first, n);
    return {packets_.begin() + first, packets_.begin() + end};
}

void GrowingAudioStream::waitForChange(std::chrono::milliseconds step) const {
    std::unique_lock g(lock_);
    changed_.wait_for(g, step);
}

} // namespace korvel
