#include "Adapters/Live/LivePlayer.hpp"

#include "Adapters/Live/LivePreviewService.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

namespace LiveTiming {

std::optional<int64_t> frameIndex(double seconds, TickTime frameDuration, int64_t frameCount) {
    if (frameDuration.value <= 0 || frameDuration.timescale <= 0) return std::nullopt;
    const int64_t last = std::max<int64_t>(frameCount - 1, 0);
    if (std::isnan(seconds) || seconds < 0) seconds = 0;
    double index = std::floor(seconds * frameDuration.timescale / static_cast<double>(frameDuration.value) + 0.000001);
    // Compared as doubles first, so no out-of-range value is ever converted.
    if (!(index < static_cast<double>(last))) return last;
    return static_cast<int64_t>(index);
}

} // namespace LiveTiming

Picture PlayerItem::frame(int64_t index) const { return videoComposition()->picture(index); }

void LivePlayer::show(const LiveVideo& video, std::optional<double> at, std::optional<bool> playing,
                      std::function<void()> done) {
    std::optional<std::pair<std::shared_ptr<PlayerItem>, LiveVideo>> current;
    if (shown_ && player_.currentItem() == shown_->first) current = shown_;
    const bool play = playing.value_or(current && player_.rate() != 0);
    const double time = at.value_or(current ? player_.currentTimeSeconds() : 0);
    const TickTime target = video.frameStart(time);
    auto finish = [this, play, done = std::move(done)](bool) {
        if (play) player_.play();
        else player_.pause();
        if (done) done();
    };
    if (current && current->second.structure == video.structure) {
        player_.setVideoComposition(*current->first, video.videoComposition);
        shown_ = std::make_pair(current->first, video);
        if (!at) {
            finish(true);
            return;
        }
        player_.seek(target, std::move(finish));
        return;
    }
    auto item = video.playerItem();
    player_.replaceCurrentItem(item);
    shown_ = std::make_pair(item, video);
    player_.seek(target, std::move(finish));
}

} // namespace korvel
