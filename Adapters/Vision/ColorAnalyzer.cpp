#include "Adapters/Vision/ColorAnalyzer.hpp"

#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/FaceDetector.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Core/Analysis/AutoAdjustments.hpp"
#include "Core/Analysis/ColorSteps.hpp"
#include "Core/Analysis/SampleGate.hpp"
#include "Core/Picture/Kernels/StatsKernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace korvel::ColorAnalyzer {

namespace {
// Blue, green and red sums of a frame's pixels.
std::array<uint64_t, 3> channelSums(const VideoFrame& frame) {
    std::array<uint64_t, 3> sums{};
    for (int64_t y = 0; y < frame.height; ++y)
        StatsKernels::channelSums(frame.bgra + y * frame.bytesPerRow, int(frame.width), sums.data());
    return sums;
}

std::optional<RGB> rgbOf(const std::optional<BrightNeutrals::Color>& c) {
    if (!c) return std::nullopt;
    return RGB{c->r, c->g, c->b};
}

// About thirteen seconds of 30 fps pictures at 320 by 180.
constexpr size_t keptBytes = size_t{64} << 20;

// The scene scan's frames at the pass's size, kept as it walks so that a
// file whose pictures fit is decoded once: the first ones up to the budget,
// so that what is missing is a run to the end.
class KeptPictures {
public:
    KeptPictures(int64_t width, int64_t height) : width_(width), height_(height) {}

    bool wants(int64_t) {
        if (full_ || bytes_ + rowBytes() * size_t(height_) > keptBytes) full_ = true;
        return !full_;
    }
    void keep(const VideoFrame& frame, int64_t atUs) {
        const size_t size = rowBytes() * size_t(height_);
        // Written whole, so never cleared first.
        auto& out = pixels_.emplace_back(std::make_unique_for_overwrite<uint8_t[]>(size));
        for (int64_t y = 0; y < frame.height; ++y) {
            const uint8_t* in = frame.bgra + y * frame.bytesPerRow;
            uint8_t* o = out.get() + size_t(y) * rowBytes();
            for (int64_t x = 0; x < frame.width; ++x, in += 4, o += 3) {
                o[0] = in[0];
                o[1] = in[1];
                o[2] = in[2];
            }
        }
        times_.push_back(atUs);
        bytes_ += size;
    }

    const std::vector<int64_t>& times() const { return times_; }
    // Every frame of the walk is here.
    bool whole() const { return !full_ && !times_.empty(); }
    // Calls `use` with each kept picture in order, each freed once used.
    template <typename Use> void each(Use&& use) {
        std::vector<uint8_t> bgra(size_t(width_ * height_ * 4), 255);
        for (size_t i = 0; i < times_.size(); ++i) {
            const std::unique_ptr<uint8_t[]> bgr = std::move(pixels_[i]);
            const VideoFrame frame{width_, height_, bgra.data(), width_ * 4};
            use(times_[i], [&]() -> const VideoFrame& {
                for (size_t p = 0, n = size_t(width_ * height_); p < n; ++p) {
                    bgra[p * 4] = bgr[p * 3];
                    bgra[p * 4 + 1] = bgr[p * 3 + 1];
                    bgra[p * 4 + 2] = bgr[p * 3 + 2];
                }
                return frame;
            });
        }
    }

private:
    size_t rowBytes() const { return size_t(width_) * 3; }

    int64_t width_, height_;
    std::vector<int64_t> times_;
    std::vector<std::unique_ptr<uint8_t[]>> pixels_; // BGR, rows of width × 3
    size_t bytes_ = 0;
    bool full_ = false;
};
} // namespace

std::vector<std::pair<std::string, double>> adjustmentValues(const std::vector<AutoAdjustments::Filter>& filters) {
    std::vector<std::pair<std::string, double>> out;
    for (const auto& filter : filters) {
        for (const auto& input : filter.inputs) {
            std::string name = filter.name + "." + input.key;
            if (!input.isVector) {
                if (!input.values.empty() && std::isfinite(input.values[0])) out.emplace_back(name, input.values[0]);
                continue;
            }
            for (size_t j = 0; j < input.values.size(); ++j)
                if (std::isfinite(input.values[j])) out.emplace_back(name + "." + std::to_string(j), input.values[j]);
        }
    }
    return out;
}

TakeAccumulator::TakeAccumulator(const SceneSpan& span, int64_t samples)
    : startUs_(span.startUs), endUs_(span.endUs),
      intervalUs_(std::max<int64_t>((span.endUs - span.startUs) / std::max<int64_t>(samples, 1), 1)),
      nextUs_(span.startUs), histogram_(256, 0), layout_(ColorLayout::cells, 0.0), layoutCount_(ColorLayout::cells, 0.0) {}

NormalizedBox storedBox(const NormalizedBox& b, int orientation) {
    switch (orientation) {
    case 6: return {b.y, 1 - b.x - b.w, b.h, b.w};     // turned a quarter clockwise to stand up
    case 8: return {1 - b.y - b.h, b.x, b.h, b.w};     // a quarter counterclockwise
    case 3: return {1 - b.x - b.w, 1 - b.y - b.h, b.w, b.h};
    case 2: return {1 - b.x - b.w, b.y, b.w, b.h};
    case 4: return {b.x, 1 - b.y - b.h, b.w, b.h};
    case 5: return {b.y, b.x, b.h, b.w};
    case 7: return {1 - b.y - b.h, 1 - b.x - b.w, b.h, b.w};
    default: return b;
    }
}

void TakeAccumulator::consider(const VideoFrame& frame, int64_t atUs, const FacesOf& faces) {
    if (picks(atUs)) measure(frame, faces);
}

bool TakeAccumulator::picks(int64_t atUs) {
    if (atUs < nextUs_) return false;
    nextUs_ = atUs > INT64_MAX - intervalUs_ ? INT64_MAX : atUs + intervalUs_;
    return true;
}

void TakeAccumulator::measure(const VideoFrame& frame, const FacesOf& faces) {
    samplesSeen_ += 1;
    const int64_t w = frame.width, h = frame.height;
    const auto sums = channelSums(frame);
    blue_ += double(sums[0]);
    green_ += double(sums[1]);
    red_ += double(sums[2]);
    lumaRow_.resize(size_t(std::max<int64_t>(w, 0)));
    binRow_.resize(lumaRow_.size());
    for (int64_t y = 0; y < h; ++y) {
        const uint8_t* row = frame.bgra + y * frame.bytesPerRow;
        StatsKernels::luma(row, int(w), lumaRow_.data(), binRow_.data());
        const int64_t cellRow = y * ColorLayout::rows / h * ColorLayout::columns;
        for (int64_t x = 0; x < w; ++x) {
            histogram_[size_t(binRow_[size_t(x)])] += 1;
            size_t cell = size_t(cellRow + x * ColorLayout::columns / std::max<int64_t>(w, 1));
            layout_[cell] += lumaRow_[size_t(x)];
            layoutCount_[cell] += 1;
            const uint8_t* p = row + x * 4;
            brightNeutrals_.add(p[2], p[1], p[0]);
        }
    }
    pixelCount_ += double(w * h);
    const std::vector<NormalizedBox> boxes = faces ? faces(frame) : std::vector<NormalizedBox>{};
    for (auto& [name, value] : adjustmentValues(AutoAdjustments::propose(frame.bytes(), w, h, frame.bytesPerRow, boxes)))
        adjustments_[name].push_back(value);
}

void TakeAccumulator::settle() {
    if (settledBright_) return;
    settledBright_ = rgbOf(brightNeutrals_.reading());
    brightNeutrals_ = BrightNeutrals();
}

Take TakeAccumulator::finished() const {
    Take take;
    take.startUs = startUs_;
    take.endUs = endUs_;
    const double n = std::max(pixelCount_, 1.0);
    take.meanRgb = {red_ / n / 255, green_ / n / 255, blue_ / n / 255};
    take.brightRgb = settledBright_ ? *settledBright_ : rgbOf(brightNeutrals_.reading());
    auto percentile = [&](double p) {
        double running = 0;
        for (size_t b = 0; b < histogram_.size(); ++b) {
            running += double(histogram_[b]);
            if (running / n >= p) return double(b) / 255;
        }
        return 1.0;
    };
    take.lumaP05 = percentile(0.05);
    take.lumaP50 = percentile(0.5);
    take.lumaP95 = percentile(0.95);
    take.lumaLayout.resize(ColorLayout::cells);
    for (size_t k = 0; k < take.lumaLayout.size(); ++k)
        take.lumaLayout[k] = layoutCount_[k] > 0 ? layout_[k] / layoutCount_[k] / 255 : 0;
    take.autoAdjustments = ColorTakeSummary::medians(adjustments_, samplesSeen_);
    return take;
}

Measured measure(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo) {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(url);
        const bool known = memo.known(url).has_value();
        JobContext scenePart = known ? job : job.part(0, 0.5);
        JobContext ownPart = known ? job : job.part(0.5, 1);
        const FrameSize size = frameSize(video.naturalSize.width, video.naturalSize.height, longEdge);
        KeptPictures kept(size.width, size.height);
        const OpenedVideo::Beside beside{size.width, size.height, OpenedVideo::Transfer::bt709,
                                         [&](int64_t t) { return kept.wants(t); },
                                         [&](const VideoFrame& frame, int64_t t) { kept.keep(frame, t); }};
        SceneAnalyzer::Result scenes = SceneAnalyzer::scan(video, scenePart, memo, &beside);
        std::vector<TakeAccumulator> takes;
        for (const auto& span : ColorStepDetector::takes(scenes.spans, scenes.colorSteps))
            takes.emplace_back(span, samplesPerTake);
        const FacesOf faces = [orientation = video.orientation](const VideoFrame& frame) {
            std::vector<NormalizedBox> boxes;
            for (const auto& face : FaceDetector::detect(frame, orientation)) boxes.push_back(storedBox(face.box, orientation));
            return boxes;
        };
        // Which frames are measured, from their shown times alone: every
        // frame delivered is asked in order, and only those picked are converted.
        struct Picker {
            std::vector<TakeAccumulator>& takes;
            size_t current = 0;
            SampleGate gate{sampleIntervalUs, 0};
            bool spread = false, sampled = false;

            bool picks(int64_t t) {
                if (takes.empty()) return spread = sampled = false;
                while (current + 1 < takes.size() && t >= takes[current].endUs()) {
                    takes[current].settle();
                    ++current;
                }
                spread = takes[current].picks(t);
                sampled = gate.shouldTake(t);
                return spread || sampled;
            }
        };
        Picker picker{takes};
        std::vector<Sample> samples;
        auto measureFrame = [&](const VideoFrame& frame, int64_t t) {
            if (picker.spread) takes[picker.current].measure(frame, faces);
            if (picker.sampled) {
                const auto sums = channelSums(frame);
                double d = double(std::max<int64_t>(frame.width * frame.height, 1)) * 255;
                samples.push_back({t, {double(sums[2]) / d, double(sums[1]) / d, double(sums[0]) / d}});
            }
        };
        auto wanted = [&](int64_t t) {
            if (takes.empty()) return false;
            ownPart.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                            std::min(t, scenes.durationUs), scenes.durationUs});
            return picker.picks(t);
        };
        kept.each([&](int64_t t, const auto& picture) {
            Task::checkCancellation();
            if (ownPart.mustGiveWay()) ownPart.giveWay();
            if (wanted(t)) measureFrame(picture(), t);
        });
        if (!kept.whole()) {
            const std::optional<int64_t> after =
                kept.times().empty() ? std::nullopt : std::optional<int64_t>(kept.times().back());
            // The same picks on copies over the track's shown times, ahead of
            // decoding: frames that no other refers to are left undecoded.
            std::vector<int64_t> foreseen;
            {
                std::vector<TakeAccumulator> copies = takes;
                Picker ahead{copies, picker.current, picker.gate};
                for (int64_t t : video.shownTimesUs())
                    if ((!after || t > *after) && ahead.picks(t)) foreseen.push_back(t);
            }
            video.forEachFrame(size.width, size.height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::bt709,
                               ownPart, measureFrame, wanted,
                               [&](int64_t t) { return std::binary_search(foreseen.begin(), foreseen.end(), t); },
                               nullptr, after);
        }
        Task::checkCancellation();
        Measured measured;
        for (const auto& take : takes) measured.takes.push_back(take.finished());
        measured.samples = std::move(samples);
        return measured;
    });
}

std::vector<Take> analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo) {
    return measure(url, job, memo).takes;
}

} // namespace korvel::ColorAnalyzer
