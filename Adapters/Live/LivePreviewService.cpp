#include "Adapters/Live/LivePreviewService.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Live/LiveStructure.hpp"
#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/PreviewService.hpp"
#include "Core/Audio/UntouchedSound.hpp"
#include "Core/Timeline/WideMath.hpp"

#include <chrono>
#include <cmath>

namespace korvel {

namespace {

LiveSoundTrack soundOf(const AudioFeed::Source& source, TickTime videoDuration) {
    LiveSoundTrack track;
    track.asset = source.url;
    track.copied = source.copied;
    track.start = TickTime{0, videoDuration.timescale};
    double own = std::floor(source.durationSeconds * videoDuration.timescale);
    int64_t ownTicks = own >= static_cast<double>(videoDuration.value) ? videoDuration.value : static_cast<int64_t>(own);
    track.duration = TickTime{std::max<int64_t>(0, ownTicks), videoDuration.timescale};
    return track;
}

} // namespace

std::optional<LiveSoundTrack> LiveSoundTrack::of(const LiveParams& params, SourceLibrary& library,
                                                 TickTime videoDuration, double toleranceSeconds) {
    if (params.sound == false || params.plan.audioMix.tracks.empty()) return std::nullopt;
    const double videoSeconds = videoDuration.seconds();
    if (auto untouched = UntouchedSound::asset(params.plan.audioMix, params.plan.durationUs); untouched && params.sources) {
        auto source = params.sources->find(*untouched);
        if (source != params.sources->end()) {
            if (auto copied = library.copiedSound(source->second, params.plan.durationUs)) {
                return soundOf(AudioFeed::openCopy(copied->first, videoSeconds), videoDuration);
            }
        }
    }
    if (!params.audioPath) {
        throw EngineFailure::invalidParams("This plan has sound, so a live preview needs the mix file in audioPath.");
    }
    return soundOf(AudioFeed::open(*params.audioPath, videoSeconds, toleranceSeconds), videoDuration);
}

RGBAImage LiveDrawing::frame(int64_t index) const {
    StopFlag stop;
    auto began = std::chrono::steady_clock::now();
    RGBAImage image = GraphRunner::draw(*built, index, stop);
    std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - began;
    built->scene->noteFrame(ms.count());
    return image;
}

Picture LiveDrawing::picture(int64_t index) const { return gammaPicture(frame(index), size); }

LivePreviewService::LivePreviewService(std::shared_ptr<SourceLibrary> library, std::shared_ptr<TextCaches> text)
    : library(library), resolver{library, std::move(text)} {}

int64_t LivePreviewService::durationUs(const FrameGrid& grid, int64_t frameCount) {
    using namespace WideMath;
    Wide num = grid.fps.num;
    Wide twice = mul(mul(mul(2, frameCount), grid.fps.den), 1000000);
    return narrow(add(num, twice) / mul(2, num));
}

LiveComposition LivePreviewService::open(const LiveParams& params) const {
    const Canvas& canvas = params.plan.canvas;
    PreviewService::checkCanvas(canvas);
    int64_t longEdge = params.maxLongEdge.value_or(std::max(canvas.width, canvas.height));
    RenderSize size = RenderSize::fitting(canvas.width, canvas.height, longEdge);
    RenderInputs inputs = resolver.resolve(params.plan, params.sources, params.mattes, RenderVariant::after, size,
                                           ColorRecipe{DynamicRange::sdr});
    const int64_t frameCount = inputs.timeline.frameCount;
    if (frameCount < 1) throw EngineFailure::invalidParams("The plan has no frames.");
    const FrameGrid grid = inputs.timeline.grid;
    TickTime videoDuration{WideMath::narrow(WideMath::mul(frameCount, grid.ticksPerFrame)), grid.timescale};
    double tolerance = static_cast<double>(grid.ticksPerFrame) / grid.timescale;
    auto sound = LiveSoundTrack::of(params, *library, videoDuration, tolerance);

    return blockingWork([&](StopFlag&) {
        auto built = std::make_shared<BuiltComposition>(CompositionBuilder{std::move(inputs)}.build(std::nullopt));
        auto asset = std::make_shared<LiveAsset>(LiveAsset{built, std::move(sound), videoDuration});
        auto drawing = std::make_shared<LiveDrawing>(LiveDrawing{built, TickTime{grid.ticksPerFrame, grid.timescale}, size});
        LiveComposition live;
        live.frameCount = frameCount;
        live.durationUs = durationUs(grid, frameCount);
        live.width = size.width;
        live.height = size.height;
        live.structure = LiveStructure::of(*asset, size, grid);
        live.scene = built->scene;
        live.composition = std::move(asset);
        live.videoComposition = std::move(drawing);
        return live;
    });
}

} // namespace korvel
