#include "Adapters/Render/ExportService.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Render/Outputs/AudioFeed.hpp"
#include "Adapters/Render/Outputs/EncodingStage.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/Outputs/MovieWriter.hpp"
#include "Adapters/Render/Outputs/PictureCopyFeed.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Core/Audio/UntouchedSound.hpp"
#include "Core/Windows/PictureCopy.hpp"
#include "Core/Timeline/WideMath.hpp"


namespace korvel {

namespace {

VideoEncoding encodingOf(const ExportParams& params, const ResolvedTimeline& timeline, DynamicRange range) {
    VideoEncoding e;
    bool hevc = params.codec == ExportCodec::hevc;
    e.codec = hevc ? VideoEncoding::Codec::hevc : VideoEncoding::Codec::h264;
    e.profile = !hevc ? "high" : range == DynamicRange::keepHdr ? "main10" : "main";
    e.bitrate = params.videoBitrate;
    e.allowsReordering = true;
    e.size = {params.plan.canvas.width, params.plan.canvas.height};
    e.grid = timeline.grid;
    e.dynamicRange = range;
    e.preset = "medium";
    return e;
}

// Runs the body with the writer and, when there is sound, its feed. On any
// failure the stop flag goes up and the pump is joined before the writer is
// cancelled: the pump must never outlive the writer it appends to.
template <class Body>
int64_t withWriter(MovieWriter& writer, const std::optional<AudioFeed::Source>& sound, StopFlag& stop, Body&& body) {
    std::unique_ptr<AudioFeed> feed;
    try {
        if (sound) feed = std::make_unique<AudioFeed>(*sound, writer, ExportService::audioBitrate);
        return body(feed.get());
    } catch (...) {
        stop.stop();
        if (feed) feed->join();
        writer.cancelWriting();
        throw;
    }
}

} // namespace

ExportResult ExportService::export_(const ExportParams& params, const JobContext& context) const {
    DynamicRange range = params.dynamicRange.value_or(DynamicRange::sdr);
    if (range == DynamicRange::keepHdr && params.codec == ExportCodec::h264) {
        throw EngineFailure::invalidParams("Keeping HDR needs HEVC.");
    }
    if (!params.plan.audioMix.tracks.empty() && !params.audioPath) {
        throw EngineFailure::invalidParams("This plan has sound, so the export needs the mix file in audioPath.");
    }
    const Canvas& canvas = params.plan.canvas;
    PreviewService::checkCanvas(canvas);
    if (canvas.width % 2 || canvas.height % 2) {
        throw EngineFailure::invalidParams("An export needs an even canvas width and height.");
    }
    InputResolver resolver{library, text};
    // Hashing a long source takes as long as copying it, so the two overlap;
    // nothing is committed, and no other failure is reported, before the
    // hashes are settled.
    ContentChecks checks;
    RenderInputs inputs = resolver.resolve(params.plan, params.sources, params.mattes, RenderVariant::after,
                                           {canvas.width, canvas.height}, ColorRecipe{range}, &checks);
    try {
        return exported(params, context, inputs, checks);
    } catch (...) {
        checks.settle();
        throw;
    }
}

ExportResult ExportService::exported(const ExportParams& params, const JobContext& context, const RenderInputs& inputs,
                                     ContentChecks& checks) const {
    DynamicRange range = params.dynamicRange.value_or(DynamicRange::sdr);
    const Canvas& canvas = params.plan.canvas;
    if (range == DynamicRange::keepHdr) {
        bool any = false;
        for (const auto& [id, video] : inputs.videos) any = any || (video.color && video.color->hdr);
        if (!any) throw EngineFailure::invalidParams("Keeping HDR needs an HDR source, and this plan has none.");
    }
    const ResolvedTimeline& timeline = inputs.timeline;
    int64_t frameCount = timeline.frameCount;
    if (frameCount <= 0) throw EngineFailure::invalidParams("The plan has no frames.");
    const FrameGrid& grid = timeline.grid;
    double videoSeconds = static_cast<double>(WideMath::narrow(WideMath::mul(frameCount, grid.ticksPerFrame))) / grid.timescale;
    double tolerance = static_cast<double>(grid.ticksPerFrame) / grid.timescale;

    std::optional<AudioFeed::Source> sound;
    if (auto untouched = UntouchedSound::asset(params.plan.audioMix, params.plan.durationUs); untouched && params.sources) {
        auto source = params.sources->find(*untouched);
        if (source != params.sources->end()) {
            checks.add(library, source->second);
            if (auto copied = library->copiedSound(source->second, params.plan.durationUs)) {
                sound = AudioFeed::openCopy(copied->first, videoSeconds);
            }
        }
    }
    if (!sound && params.audioPath) sound = AudioFeed::open(*params.audioPath, videoSeconds, tolerance);

    std::filesystem::path final(params.outPath);
    TempOutput output(final, journal);
    VideoEncoding encoding = encodingOf(params, timeline, range);

    const VideoSource* candidate = nullptr;
    if (range != DynamicRange::keepHdr && !timeline.segments.empty() && !inputs.videos.empty()) {
        auto v = inputs.videos.find(timeline.segments.front().assetId);
        if (v != inputs.videos.end()) candidate = &v->second;
    }
    bool copy = false;
    if (candidate) {
        std::optional<int64_t> asked;
        if (params.qualityAsked.value_or(false)) asked = params.videoBitrate;
        copy = PictureCopy::allowed(params.plan, timeline, PictureCopyFeed::facts(*candidate), asked);
    }
    // Only the copy road is short enough for the hashes to matter. The last
    // frames may take a GOP's decoding each: they are checked while the
    // encoder starts, and a failed one stops the export at its next report.
    if (!copy) checks.settleHashes();
    auto report = [&](int64_t done, int64_t total) {
        checks.throwIfFailed();
        context.report({EngineProgress::Phase::export_, EngineProgress::Unit::frames, done, total});
    };
    int64_t written = 0;
    try {
        AsyncGate::Slot slot(RenderGates::renders());
        if (copy) {
            const MovieSampleEntry* format = candidate->track->firstDescription();
            written = blockingWork([&](StopFlag& stop) {
                MovieWriter writer(output.url());
                writer.movieTimescale = candidate->table.timescale;
                std::optional<PictureCopyFeed> feed;
                feed.emplace(*candidate, format, writer);
                return withWriter(writer, sound, stop, [&](AudioFeed* audio) {
                    writer.startWriting();
                    std::function<void()> wait;
                    if (audio) wait = audio->start(writer, stop);
                    int64_t n = feed->run(writer, stop, frameCount, report);
                    if (wait) wait();
                    if (stop.stopped()) throw Cancelled();
                    writer.finishWriting();
                    return n;
                });
            });
        } else {
            written = blockingWork([&](StopFlag& stop) {
                BuiltComposition built = CompositionBuilder{inputs}.build(std::nullopt);
                MovieWriter writer(output.url());
                writer.movieTimescale = grid.timescale;
                std::unique_ptr<AudioFeed> feed;
                std::function<void()> wait;
                // The writer starts at the first picture, once the encoder is open.
                OpeningStage sink(encoding, writer, [&](EncodingStage& stage) {
                    writer.add(stage.encoder());
                    if (sound) feed = std::make_unique<AudioFeed>(*sound, writer, ExportService::audioBitrate);
                    writer.startWriting();
                    if (feed) wait = feed->start(writer, stop);
                });
                try {
                    int64_t n = GraphRunner::run(built, {0, frameCount}, encoding, sink, stop, report);
                    if (wait) wait();
                    if (stop.stopped()) throw Cancelled();
                    sink.stage().finish(); // started at the first picture: the plan has frames
                    writer.finishWriting();
                    return n;
                } catch (...) {
                    // The pump must never outlive the writer it appends to.
                    stop.stop();
                    if (feed) feed->join();
                    writer.cancelWriting();
                    throw;
                }
            });
        }
        checks.settle();
        // Cancelled before the rename, nothing is left; after it, the movie is the answer.
        Task::checkCancellation();
        output.commit();
    } catch (...) {
        output.discard();
        throw;
    }

    std::error_code ec;
    auto size = std::filesystem::file_size(final, ec);
    ExportResult result;
    result.path = params.outPath;
    result.byteLength = ec ? 0 : static_cast<int64_t>(size);
    // What the file holds: a copy lasts as long as the copied pictures,
    // which the copy rules keep within half a frame of the plan.
    result.durationUs = copy ? candidate->table.us(candidate->table.endTicks) : grid.us(frameCount);
    result.frameCount = written;
    result.width = canvas.width;
    result.height = canvas.height;
    if (copy) result.videoCopied = true;
    if (sound && sound->copied) result.audioCopied = true;
    return result;
}

} // namespace korvel
