#include "Adapters/Vision/OpenedVideo.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Render/Sources/FrameConverter.hpp"
#include "Adapters/Media/MediaAsset.hpp"
#include "Adapters/Render/Sources/VideoFrameWalk.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>
#include <utility>

namespace korvel {

namespace {

constexpr std::string_view subject = "This video";

// Times from the file saturate instead of overflowing.
int64_t saturatedUs(int64_t ticks, int32_t timescale) {
    if (timescale <= 0) return 0;
    double us = std::round(double(ticks) * 1'000'000.0 / double(timescale));
    if (!(us < 9.2e18)) return INT64_MAX;
    if (!(us > -9.2e18)) return INT64_MIN;
    return static_cast<int64_t>(us);
}

// The decoder was told to stop so that the job can give way.
struct GiveWay {};

} // namespace

struct DecoderShelf {
    std::mutex lock;
    VideoFrames::KeptDecoder kept;
};

OpenedVideo OpenedVideo::open(const std::filesystem::path& url) {
    // OpenCV's own warnings would reach standard error unprefixed.
    static std::once_flag quiet;
    std::call_once(quiet, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT); });
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0) throw EngineFailure::sourceUnavailable("The file is not there anymore.");
    std::shared_ptr<const MediaAsset> asset;
    try {
        asset = MediaAsset::open(url, MediaAsset::Containers::decodable);
    } catch (...) {
        throw MediaAsset::openFailure(std::current_exception(), url, subject);
    }
    if (asset->cutShort()) {
        throw MediaFailure::reading(
            std::make_exception_ptr(SystemError::ffmpeg(AVERROR_INVALIDDATA, "find the movie box of " + nameOf(url))),
            subject);
    }
    const auto tracks = asset->tracks(MediaAsset::MediaType::video);
    if (tracks.empty()) throw EngineFailure::invalidParams("This file has no video track.");
    OpenedVideo video;
    video.url = url;
    video.shelf = std::make_shared<DecoderShelf>();
    try {
        video.source = std::make_shared<const VideoSource>(VideoOpener::open(url, false));
    } catch (const EngineFailure& e) {
        // A damaged file, or one whose edits show nothing, is worded
        // alike on every road.
        if (e == MediaFailure::damaged(subject) ||
            e == EngineFailure::unsupportedFormat(nameOf(url) + " has no frames that can be shown.")) {
            throw;
        }
        if (e == MediaFailure::cutShort(url)) throw MediaFailure::damaged(subject);
        throw EngineFailure::unsupportedFormat("This video track cannot be read.");
    }
    video.naturalSize = video.source->naturalSize;
    video.orientation = video.source->orientation();
    video.table = video.source->table;
    video.durationUs = saturatedUs(video.table.endTicks, video.table.timescale);
    return video;
}

std::vector<int64_t> OpenedVideo::shownTimesUs() const {
    std::vector<int64_t> times;
    times.reserve(table.pts.size());
    for (int64_t ticks : table.pts) times.push_back(saturatedUs(ticks, table.timescale));
    std::sort(times.begin(), times.end());
    return times;
}

bool OpenedVideo::decodesRoughly(int64_t width, int64_t height) const {
    // Deblocking can't show in a picture shrunk six times or more on each side.
    return width * 6 <= int64_t(naturalSize.width) && height * 6 <= int64_t(naturalSize.height);
}

void OpenedVideo::forEachFrame(int64_t width, int64_t height, PixelFormat, Transfer transfer, const JobContext& job,
                               const Body& body, const Wanted& wanted, const Foreseen& foreseen, const Beside* beside,
                               std::optional<int64_t> afterUs) const {
    auto converterTransfer = [](Transfer t) {
        return t == Transfer::sRGB ? FrameConverter::Transfer::sRGB : FrameConverter::Transfer::bt709;
    };
    FrameConverter converter(width, height, converterTransfer(transfer));
    const bool rough = decodesRoughly(width, height);
    // Pictures decoded otherwise would not be those a walk at their own size gives.
    if (beside && decodesRoughly(beside->width, beside->height) != rough) beside = nullptr;
    std::optional<FrameConverter> besideConverter;
    if (beside) besideConverter.emplace(beside->width, beside->height, converterTransfer(beside->transfer));
    std::optional<int64_t> lastTicks; // shown time of the last delivered frame
    bool anyFrame = false;
    std::exception_ptr bodyFailure, convertFailure;
    // Converts a frame for one body, from the sums `finer` just took of it
    // where it can; false stops the walk.
    auto show = [&](const AVFrame& frame, int64_t atUs, FrameConverter& conversion, const Body& use,
                    const FrameConverter* finer) {
        const std::vector<uint8_t>* pixels = nullptr;
        try {
            if (finer) pixels = conversion.convertFrom(*finer, frame);
            if (!pixels) pixels = &conversion.convert(frame);
        } catch (...) {
            convertFailure = std::current_exception();
            return false;
        }
        try {
            use(VideoFrame{conversion.width(), conversion.height(), pixels->data(), conversion.width() * 4}, atUs);
        } catch (...) {
            bodyFailure = std::current_exception();
            return false;
        }
        return true;
    };
    // Hands a frame shown at `ticks` to the bodies; false stops the walk.
    auto deliver = [&](const AVFrame& frame, int64_t ticks) {
        if (lastTicks && ticks <= *lastTicks) return true;
        lastTicks = ticks;
        anyFrame = true;
        const int64_t atUs = saturatedUs(ticks, table.timescale);
        if (afterUs && atUs <= *afterUs) return true;
        const bool aside = beside && beside->wanted(atUs);
        if (aside && !show(frame, atUs, *besideConverter, beside->body, nullptr)) return false;
        if (wanted && !wanted(atUs)) return true;
        return show(frame, atUs, converter, body, aside ? &*besideConverter : nullptr);
    };
    auto checkpoint = [&] {
        Task::checkCancellation();
        if (job.mustGiveWay()) throw GiveWay{};
    };

    // Which shown entry each stored sample's own time is; edited-out
    // samples have none and are never delivered.
    const VideoTrack& track = *source->track;
    std::unordered_map<int64_t, size_t> entryOf;
    std::optional<size_t> lastEntry;
    entryOf.reserve(track.sampleOfEntry.size());
    for (size_t e = 0; e < track.sampleOfEntry.size(); ++e) {
        entryOf.emplace(track.samples[track.sampleOfEntry[e]].presentationTime(), e);
    }
    // Started as if the last frame shown by then had been delivered.
    if (afterUs) {
        bool later = false;
        for (size_t e = 0; e < table.pts.size() && e < track.sampleOfEntry.size(); ++e) {
            const int64_t ticks = table.pts[e];
            if (saturatedUs(ticks, table.timescale) > *afterUs) later = true;
            if (saturatedUs(ticks, table.timescale) > *afterUs || (lastTicks && ticks <= *lastTicks)) continue;
            lastTicks = ticks;
            lastEntry = e;
        }
        if (!later) return;
    }
    for (;;) {
        int decoderError = 0;
        try {
            auto take = [&](const AVFrame& frame) {
                int64_t raw = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
                auto found = entryOf.find(raw);
                if (found == entryOf.end()) return true;
                const int64_t ticks = table.pts[found->second];
                if (!(lastTicks && ticks <= *lastTicks)) lastEntry = found->second;
                return deliver(frame, ticks);
            };
            // Edited-out samples are never delivered.
            auto skippable = [&](const MovieSample& sample) {
                auto found = entryOf.find(sample.presentationTime());
                return found == entryOf.end() || !foreseen(saturatedUs(table.pts[found->second], table.timescale));
            };
            size_t from = lastEntry ? track.sampleOfEntry[*lastEntry] : 0;
            // Walks one after another share a decoder; side by side, each has its own.
            VideoFrames::KeptDecoder kept;
            if (shelf) {
                std::lock_guard g(shelf->lock);
                kept = std::exchange(shelf->kept, {});
            }
            decoderError = VideoFrames::walk(url, track, from, take, checkpoint, rough,
                                             foreseen ? std::function<bool(const MovieSample&)>(skippable) : nullptr,
                                             &kept);
            if (shelf) {
                std::lock_guard g(shelf->lock);
                shelf->kept = std::move(kept);
            }
        } catch (const GiveWay&) {
            job.giveWay();
            // A cancelled job's wait returns at once; stop instead of reopening.
            Task::checkCancellation();
            continue;
        } catch (const Cancelled&) {
            throw;
        } catch (const EngineFailure& e) {
            // The stored-sample reader words failures for renders; here they
            // are this video's.
            if (e.code == -32001) throw EngineFailure::sourceUnavailable(std::string(subject) + " is not there anymore.");
            throw EngineFailure::unsupportedFormat("Part of this video can't be read. The file may be damaged.");
        } catch (...) {
            throw MediaFailure::reading(std::current_exception(), subject);
        }
        if (bodyFailure) std::rethrow_exception(bodyFailure);
        if (convertFailure) throw MediaFailure::reading(convertFailure, subject);
        if (decoderError && !anyFrame) {
            throw MediaFailure::reading(std::make_exception_ptr(SystemError::ffmpeg(decoderError, "decode " + nameOf(url))),
                                        subject);
        }
        return;
    }
}

} // namespace korvel
