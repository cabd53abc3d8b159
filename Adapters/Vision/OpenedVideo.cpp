#include "Adapters/Vision/OpenedVideo.hpp"

#include "Adapters/MediaFailure.hpp"
#include "Adapters/Render/FFmpeg.hpp"
#include "Adapters/Render/MediaAsset.hpp"
#include "Adapters/Render/VideoFrameWalk.hpp"
#include "Adapters/Render/VideoOpener.hpp"
#include "Adapters/SystemError.hpp"
#include "Adapters/Vision/FrameConverter.hpp"

#include <opencv2/core/utils/logger.hpp>

#include <cmath>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unordered_map>

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

OpenedVideo OpenedVideo::open(const std::filesystem::path& url) {
    // OpenCV's own warnings would reach standard error unprefixed.
    static std::once_flag quiet;
    std::call_once(quiet, [] { cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT); });
    struct stat st {};
    if (::stat(url.c_str(), &st) != 0) throw EngineFailure::sourceUnavailable("The file is not there anymore.");
    std::shared_ptr<const MediaAsset> asset;
    try {
        asset = MediaAsset::open(url);
    } catch (...) {
        throw MediaFailure::reading(std::current_exception(), subject);
    }
    if (asset->tracks(MediaAsset::MediaType::video).empty()) {
        throw EngineFailure::invalidParams("This file has no video track.");
    }
    OpenedVideo video;
    try {
        video.source = std::make_shared<const VideoSource>(VideoOpener::open(url, false));
    } catch (const EngineFailure&) {
        throw EngineFailure::unsupportedFormat("This video track cannot be read.");
    }
    video.url = url;
    video.naturalSize = video.source->naturalSize;
    video.orientation = video.source->orientation();
    const PTSTable& table = video.source->table;
    video.durationUs = saturatedUs(table.endTicks, table.timescale);
    return video;
}

void OpenedVideo::forEachFrame(int64_t width, int64_t height, PixelFormat, Transfer transfer, const JobContext& job,
                               const Body& body, const Wanted& wanted) const {
    const VideoTrack& track = *source->track;
    const PTSTable& table = source->table;
    // Which shown entry each stored sample's own time is; edited-out samples
    // have none and are never delivered.
    std::unordered_map<int64_t, size_t> entryOf;
    entryOf.reserve(track.sampleOfEntry.size());
    for (size_t e = 0; e < track.sampleOfEntry.size(); ++e) {
        entryOf.emplace(track.samples[track.sampleOfEntry[e]].presentationTime(), e);
    }
    FrameConverter converter(width, height,
                             transfer == Transfer::sRGB ? FrameConverter::Transfer::sRGB : FrameConverter::Transfer::bt709);
    // Deblocking can't show in a picture shrunk six times or more on each side.
    const bool rough = width * 6 <= int64_t(naturalSize.width) && height * 6 <= int64_t(naturalSize.height);
    std::optional<int64_t> lastTicks; // shown time of the last delivered frame
    std::optional<size_t> lastEntry;
    bool anyFrame = false;
    for (;;) {
        std::exception_ptr bodyFailure;
        auto take = [&](const AVFrame& frame) {
            int64_t raw = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
            auto found = entryOf.find(raw);
            if (found == entryOf.end()) return true;
            int64_t ticks = table.pts[found->second];
            if (lastTicks && ticks <= *lastTicks) return true;
            lastTicks = ticks;
            lastEntry = found->second;
            anyFrame = true;
            int64_t atUs = saturatedUs(ticks, table.timescale);
            if (wanted && !wanted(atUs)) return true;
            try {
                const auto& pixels = converter.convert(frame);
                VideoFrame picture{converter.width(), converter.height(), pixels.data(), converter.width() * 4};
                body(picture, atUs);
            } catch (...) {
                bodyFailure = std::current_exception();
                return false;
            }
            return true;
        };
        auto checkpoint = [&] {
            Task::checkCancellation();
            if (job.mustGiveWay()) throw GiveWay{};
        };
        size_t from = lastEntry ? track.sampleOfEntry[*lastEntry] : 0;
        int decoderError = 0;
        try {
            decoderError = VideoFrames::walk(url, track, from, take, checkpoint, rough);
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
        if (decoderError && !anyFrame) {
            throw MediaFailure::reading(std::make_exception_ptr(SystemError::ffmpeg(decoderError, "decode " + url.filename().string())),
                                        subject);
        }
        return;
    }
}

} // namespace korvel
