#include "Adapters/Render/PreviewService.hpp"

#include "Adapters/Concurrency/BlockingWork.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/WholeFile.hpp"
#include "Adapters/Render/Drawing/CompositionBuilder.hpp"
#include "Adapters/Render/Sources/CopySource.hpp"
#include "Adapters/Render/Outputs/EncodingStage.hpp"
#include "Adapters/Render/Outputs/FragmentWriter.hpp"
#include "Adapters/Render/Drawing/GraphRunner.hpp"
#include "Adapters/Render/Outputs/ImageFiles.hpp"
#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Render/Outputs/SegmentCache.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/Engine.hpp"
#include "Core/Picture/Color/ColorMath.hpp"
#include "Core/Windows/SegmentWindows.hpp"
#include "Core/Timeline/WideMath.hpp"
#include "Core/Time.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <limits>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

namespace korvel {

namespace {

std::string engineVersion() { return Engine::renderId(1); }

template <class M> M orEmpty(const std::optional<M>& m) { return m ? *m : M{}; }

// Instants and rates whose products leave 64 bits can't name a frame.
template <class F> auto inRange(const char* what, F&& f) {
    try {
        return f();
    } catch (const TimeOverflow&) {
        throw EngineFailure::invalidParams(std::string(what) + " is out of range.");
    }
}

template <class F> auto windowErrors(F&& f) {
    try {
        return f();
    } catch (const TimelineError& e) {
        if (e.kind == TimelineError::Kind::missingSource) throw InputResolver::failure(e);
        throw;
    }
}

SegmentWindows::Copyables copyable(const std::map<std::string, std::shared_ptr<const CopySource>>& copies) {
    SegmentWindows::Copyables out;
    for (const auto& [id, c] : copies) out[id] = c->offered;
    return out;
}

} // namespace

namespace {
// The exact code of a linear value: the curve in full, rounded.
uint8_t exactCode(float v) {
    double l = std::clamp(static_cast<double>(std::isnan(v) ? 0.0f : v), 0.0, 1.0);
    double e = ColorMath::encode709(static_cast<float>(l));
    return static_cast<uint8_t>(std::lround(std::clamp(e, 0.0, 1.0) * 255.0));
}

// The least linear value of each code (the curve rises, so the code of a
// value is the number of these at or below it); infinity for a code that
// nothing in [0, 1] reaches.
const std::array<float, 256>& codeStarts() {
    static const std::array<float, 256> starts = [] {
        std::array<float, 256> t{};
        const uint32_t top = std::bit_cast<uint32_t>(1.0f);
        for (int k = 1; k < 256; ++k) {
            if (exactCode(1.0f) < k) {
                t[static_cast<size_t>(k)] = std::numeric_limits<float>::infinity();
                continue;
            }
            // Non-negative floats sort as their bits.
            uint32_t lo = 0, hi = top;
            while (lo < hi) {
                uint32_t mid = lo + (hi - lo) / 2;
                if (exactCode(std::bit_cast<float>(mid)) >= k) hi = mid;
                else lo = mid + 1;
            }
            t[static_cast<size_t>(k)] = std::bit_cast<float>(lo);
        }
        return t;
    }();
    return starts;
}

inline uint8_t code(const std::array<float, 256>& starts, float v) {
    float l = v > 0 ? v : 0.0f; // not a number is 0
    int c = 0;
    for (int step = 128; step > 0; step >>= 1)
        if (starts[static_cast<size_t>(c + step)] <= l) c += step;
    return static_cast<uint8_t>(c);
}
} // namespace

uint8_t gammaCode(float linear) { return code(codeStarts(), linear); }
uint8_t exactGammaCode(float linear) { return exactCode(linear); }

Picture gammaPicture(const RGBAImage& image, RenderSize size) {
    const auto& starts = codeStarts();
    Picture p;
    p.width = size.width;
    p.height = size.height;
    p.bands = 3;
    p.pixels.assign(static_cast<size_t>(size.width * size.height * 3), 0);
    Tiles::rows(0, image.height, [&](int from, int to) {
        for (int y = from; y < to; ++y) {
            int py = y + image.y;
            if (py < 0 || py >= size.height) continue;
            const float* row = image.row(y);
            for (int x = 0; x < image.width; ++x) {
                int px = x + image.x;
                if (px < 0 || px >= size.width) continue;
                uint8_t* out = &p.pixels[static_cast<size_t>((py * size.width + px) * 3)];
                for (int c = 0; c < 3; ++c) out[c] = code(starts, row[x * 4 + c]);
            }
        }
    });
    return p;
}

namespace {

struct Offers {
    std::map<std::string, std::shared_ptr<const CopySource>> sources;
    SegmentWindows::Copyables view;
};

Offers copies(const PreviewService& service, const RenderInputs& inputs) {
    Offers out;
    if (!service.offersCopies) return out;
    for (const auto& segment : inputs.plan.segments) {
        if (out.sources.count(segment.assetId)) continue;
        auto video = inputs.videos.find(segment.assetId);
        if (video == inputs.videos.end()) continue;
        std::shared_ptr<const CopySource> copy;
        try {
            copy = service.library->copySource(video->second);
        } catch (...) {
            continue;
        }
        if (!copy || copy->displayWidth != inputs.plan.canvas.width || copy->displayHeight != inputs.plan.canvas.height) {
            continue;
        }
        out.sources[segment.assetId] = copy;
    }
    out.view = copyable(out.sources);
    return out;
}

// A window drawn and encoded into one fragment; nothing partial leaves.
std::vector<uint8_t> drawnWindow(const BuiltComposition& built, FrameRange frames, RenderSize size, StopFlag& stop,
                                 const GraphRunner::Progress& progress) {
    VideoEncoding e = FragmentWriter::encoding(size, built.grid());
    FragmentWriter writer;
    // The rate over the window and a quarter more, as the rate's buffer lets a window run over.
    const FrameGrid& grid = built.grid();
    const double seconds = static_cast<double>(frames.count()) * static_cast<double>(grid.ticksPerFrame) / grid.timescale;
    writer.reserve(static_cast<size_t>(static_cast<double>(e.bitrate) / 8 * seconds * 1.25),
                   static_cast<size_t>(frames.count()));
    OpeningStage stage(e, writer);
    GraphRunner::run(built, frames, e, stage, stop, progress);
    if (stop.stopped()) throw Cancelled();
    stage.stage().finish();
    return writer.fragment(stage.stage().encoder());
}

} // namespace

void PreviewService::checkCanvas(const Canvas& canvas) {
    if (canvas.width < minSide || canvas.width > maxSide || canvas.height < minSide || canvas.height > maxSide) {
        throw EngineFailure::invalidParams("The canvas must be 2 to 8192 pixels on each side.");
    }
}

RenderSize PreviewService::segmentSize(const Canvas& canvas) {
    RenderSize s = RenderSize::fitting(canvas.width, canvas.height, segmentLongEdge);
    // 4:2:0 pictures need even sides.
    s.width = std::max<int64_t>(2, s.width - s.width % 2);
    s.height = std::max<int64_t>(2, s.height - s.height % 2);
    return s;
}

RenderSize PreviewService::frameSize(const Canvas& canvas, int64_t maxLongEdge) {
    RenderSize s = RenderSize::fitting(canvas.width, canvas.height, maxLongEdge);
    s.width = std::max<int64_t>(1, s.width);
    s.height = std::max<int64_t>(1, s.height);
    return s;
}

SegmentListResult PreviewService::segments(const SegmentListParams& params) const {
    checkCanvas(params.plan.canvas);
    RenderInputs inputs = resolver.resolve(params.plan, params.sources, params.mattes, params.variant,
                                           segmentSize(params.plan.canvas), ColorRecipe{DynamicRange::sdr});
    Offers offers = copies(*this, inputs);
    auto windows = windowErrors([&] {
        return SegmentWindows::list(inputs.plan, inputs.timeline, params.sources, orEmpty(params.mattes), params.variant,
                                    engineVersion(), offers.view);
    });
    SegmentCache cache(params.variant == RenderVariant::before ? caches.before() : caches.after());
    SegmentListResult result;
    for (const auto& w : windows) {
        SegmentListEntry e;
        e.key = w.key;
        e.outStartUs = w.outStartUs;
        e.outEndUs = w.outEndUs;
        e.frameCount = w.endFrame - w.firstFrame;
        if (w.copy) {
            e.cached = false;
            e.copied = true;
        } else {
            e.cached = cache.entry(w.key, w.fingerprint).has_value();
        }
        result.segments.push_back(std::move(e));
    }
    return result;
}

SegmentResult PreviewService::segment(const SegmentParams& params, const JobContext& context) const {
    if (params.track == SegmentTrack::audio) {
        throw EngineFailure::invalidParams("This renders video segments. Audio goes to the audio side.");
    }
    checkCanvas(params.plan.canvas);
    RenderInputs inputs = resolver.resolve(params.plan, params.sources, params.mattes, params.variant,
                                           segmentSize(params.plan.canvas), ColorRecipe{DynamicRange::sdr});
    const FrameGrid& grid = inputs.timeline.grid;
    int64_t first = inRange("outStartUs", [&] { return grid.frame(std::max<int64_t>(0, params.outStartUs)); });
    int64_t end = inRange("outEndUs", [&] {
        return std::min(inputs.timeline.frameCount, grid.frame(std::max<int64_t>(0, params.outEndUs)));
    });
    if (end <= first) throw EngineFailure::invalidParams("The segment holds no frames.");
    int64_t n = end - first;
    int64_t durationUs = inRange("outEndUs", [&] { return grid.us(n); });
    FrameRange window{first, end};
    Offers offers = copies(*this, inputs);
    auto sources = orEmpty(params.sources);
    std::filesystem::path out(params.outPath);

    if (auto range = SegmentWindows::copyRange(window, params.key, inputs.timeline, sources, offers.view, engineVersion())) {
        auto copy = offers.sources.find(range->assetId);
        if (copy != offers.sources.end()) {
            int64_t bytes = blockingWork([&](StopFlag&) {
                auto fragment = copy->second->fragment({range->srcStartTicks, range->srcEndTicks}, grid,
                                                       inRange("outEndUs", [&] { return WideMath::narrow(WideMath::mul(n, grid.ticksPerFrame)); }));
                TempOutput output(out, std::nullopt);
                try {
                    WholeFile::write(output.url(), fragment);
                } catch (...) {
                    output.discard();
                    throw MediaFailure::writing(std::current_exception(), MediaFailure::Phrase{"The preview"});
                }
                output.commit();
                return static_cast<int64_t>(fragment.size());
            });
            context.report({EngineProgress::Phase::render, EngineProgress::Unit::frames, n, n});
            return SegmentResult{params.key, params.outPath, bytes, 0, durationUs, n, false, true};
        }
    }

    // The key names files in the cache folder: refuse a bad one before any work.
    if (!SegmentCache::isKey(params.key)) throw SegmentCache::notAKey();
    std::string fingerprint = windowErrors([&] {
        return SegmentWindows::fingerprint(window, inputs.plan, inputs.timeline, sources, orEmpty(params.mattes),
                                           params.variant, engineVersion());
    });
    SegmentCache cache(params.variant == RenderVariant::before ? caches.before() : caches.after());
    if (auto entry = cache.entry(params.key, fingerprint)) {
        cache.deliver(params.key, out);
        context.report({EngineProgress::Phase::render, EngineProgress::Unit::frames, entry->frameCount, entry->frameCount});
        return SegmentResult{params.key,        params.outPath,   entry->byteLength, entry->firstPtsUs,
                             entry->durationUs, entry->frameCount, true,              std::nullopt};
    }

    std::vector<uint8_t> bytes;
    {
        AsyncGate::Slot slot(RenderGates::renders());
        bytes = blockingWork([&](StopFlag& stop) {
            BuiltComposition built = CompositionBuilder{inputs}.build(window);
            return drawnWindow(built, window, inputs.size, stop, [&](int64_t done, int64_t total) {
                context.report({EngineProgress::Phase::render, EngineProgress::Unit::frames, done, total});
            });
        });
    }
    Task::checkCancellation();
    auto length = static_cast<int64_t>(bytes.size());
    cache.store(bytes, params.key, SegmentCache::Entry{fingerprint, length, n, durationUs, 0});
    cache.deliver(params.key, out);
    return SegmentResult{params.key, params.outPath, length, 0, durationUs, n, false, std::nullopt};
}

FrameResult PreviewService::frame(const FrameParams& params) const {
    checkCanvas(params.plan.canvas);
    RenderSize size = frameSize(params.plan.canvas, params.maxLongEdge);
    RenderInputs inputs = resolver.resolve(params.plan, params.sources, params.mattes, params.variant, size,
                                           ColorRecipe{DynamicRange::sdr});
    if (inputs.timeline.frameCount < 1) throw EngineFailure::invalidParams("The plan has no frames.");
    const FrameGrid& grid = inputs.timeline.grid;
    int64_t i = inRange("atUs", [&] {
        return std::min(inputs.timeline.frameCount - 1, grid.frameContaining(std::max<int64_t>(0, params.atUs)));
    });
    RGBAImage image;
    {
        AsyncGate::Slot slot(RenderGates::frames());
        image = blockingWork([&](StopFlag& stop) {
            BuiltComposition built = CompositionBuilder{inputs}.build(FrameRange{i, i + 1});
            return GraphRunner::draw(built, i, stop);
        });
    }
    // Everything that can fail comes before the picture is put in place.
    const int64_t atUs = inRange("atUs", [&] { return grid.us(i); });
    ImageFiles::write(gammaPicture(image, size), params.outPath);
    return FrameResult{params.outPath, size.width, size.height, atUs};
}

} // namespace korvel
