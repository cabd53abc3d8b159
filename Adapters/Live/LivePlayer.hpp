#pragma once

#include "Adapters/Live/LiveVideo.hpp"
#include "Core/Timeline/TickTime.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace korvel {

namespace LiveTiming {
// The frame showing at a time: NaN and times before 0 give 0, times at or
// past the end (infinity included) the last frame. Nothing for a frame
// duration that is not positive.
std::optional<int64_t> frameIndex(double seconds, TickTime frameDuration, int64_t frameCount);
} // namespace LiveTiming

// What a player plays: a live composition's tracks with one drawing, which
// can be swapped while the item stays on screen.
class PlayerItem {
public:
    PlayerItem(std::shared_ptr<const LiveAsset> asset, std::shared_ptr<const LiveDrawing> drawing)
        : asset_(std::move(asset)), drawing_(std::move(drawing)) {}

    const std::shared_ptr<const LiveAsset>& asset() const { return asset_; }
    std::shared_ptr<const LiveDrawing> videoComposition() const {
        std::lock_guard g(lock_);
        return drawing_;
    }
    void setVideoComposition(std::shared_ptr<const LiveDrawing> drawing) {
        std::lock_guard g(lock_);
        drawing_ = std::move(drawing);
    }
    // The frame that starts at or before the time, drawn now.
    Picture frame(int64_t index) const;

private:
    std::shared_ptr<const LiveAsset> asset_;
    mutable std::mutex lock_;
    std::shared_ptr<const LiveDrawing> drawing_;
};

// The host's player. On-screen output, the audio device and keeping the two
// in step are the host's; the engine only asks for these operations.
class PlayerPort {
public:
    virtual ~PlayerPort() = default;
    virtual std::shared_ptr<PlayerItem> currentItem() const = 0;
    virtual double rate() const = 0;
    virtual double currentTimeSeconds() const = 0;
    virtual void replaceCurrentItem(std::shared_ptr<PlayerItem> item) = 0;
    // Zero tolerance either side; the completion runs once, finished or interrupted.
    virtual void seek(TickTime to, std::function<void(bool finished)> completion) = 0;
    virtual void setVideoComposition(PlayerItem& item, std::shared_ptr<const LiveDrawing> drawing) {
        item.setVideoComposition(std::move(drawing));
    }
    virtual void play() = 0;
    virtual void pause() = 0;
};

// Shows live videos in the host's player; keeps the item on screen when only
// the drawing changed. Used from the host's main thread.
class LivePlayer {
public:
    explicit LivePlayer(PlayerPort& player) : player_(player) {}

    // `done` runs once the player has sought and played or paused.
    void show(const LiveVideo& video, std::optional<double> at = std::nullopt, std::optional<bool> playing = std::nullopt,
              std::function<void()> done = {});

    const std::optional<std::pair<std::shared_ptr<PlayerItem>, LiveVideo>>& shown() const { return shown_; }

private:
    PlayerPort& player_;
    std::optional<std::pair<std::shared_ptr<PlayerItem>, LiveVideo>> shown_;
};

} // namespace korvel
