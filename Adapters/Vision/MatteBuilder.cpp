#include "Adapters/Vision/MatteBuilder.hpp"

#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/FaceDetector.hpp"
#include "Adapters/Vision/MaskCompositing.hpp"
#include "Adapters/Vision/MaskWriter.hpp"
#include "Adapters/Vision/OpenedVideo.hpp"
#include "Adapters/Vision/PersonSegmenter.hpp"
#include "Adapters/Vision/UprightImage.hpp"
#include "Core/Analysis/ChromaDetector.hpp"
#include "Core/Analysis/FirstUseGate.hpp"
#include "Core/Analysis/SampleGate.hpp"
#include "Core/Picture/Orientation.hpp"

#include <opencv2/imgproc.hpp>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>

namespace korvel {

namespace {

constexpr size_t batchSize = 4;
constexpr int64_t classifyEveryUs = 500'000;
constexpr int64_t chromaEveryUs = 5'000'000;
constexpr int64_t chromaSamples = 12;
constexpr double peopleShare = 0.05;

FirstUseGate& firstUse() {
    static FirstUseGate gate;
    return gate;
}

struct Pending {
    cv::Mat upright; // owned copy of the decoded frame, turned upright
    int64_t atUs;
};

// People in the picture: the best face, or enough of the person mask.
float peopleConfidence(const cv::Mat& upright, const cv::Mat& person) {
    double best = 0;
    VideoFrame frame{upright.cols, upright.rows, upright.data, static_cast<int64_t>(upright.step)};
    for (const auto& face : FaceDetector::detect(frame, 1)) best = std::max(best, face.confidence);
    double share = person.empty() ? 0 : double(cv::countNonZero(person > 127)) / double(person.total());
    return static_cast<float>(std::max(best, std::min(1.0, share / peopleShare)));
}

// The border of the picture at 1080 wide (fitted into 1080 by 1920), for
// the green-screen detector.
void addChromaSample(const cv::Mat& guide, ChromaDetector& detector) {
    auto size = MaskCompositing::chromaSampleSize(guide.size());
    if (!size) return;
    cv::Mat scaled, rgba;
    cv::resize(guide, scaled, *size, 0, 0, cv::INTER_AREA);
    cv::cvtColor(scaled, rgba, cv::COLOR_BGRA2RGBA);
    detector.add(std::span<const uint8_t>(rgba.data, rgba.total() * 4), size->width, size->height);
}

} // namespace

std::optional<MatteBuilder::Method> MatteBuilder::methodNamed(std::string_view name) {
    if (name == "hybrid") return Method::hybrid;
    if (name == "foreground") return Method::foreground;
    return std::nullopt;
}

std::string_view MatteBuilder::name(Method method) { return method == Method::hybrid ? "hybrid" : "foreground"; }

MatteBuilder::Built MatteBuilder::build(const std::filesystem::path& source, Method method, int64_t longEdge,
                                        const std::filesystem::path& outPath,
                                        const std::optional<std::filesystem::path>& journal, const JobContext& job) const {
    return AnalysisGates::run([&] {
        OpenedVideo video = OpenedVideo::open(source);
        // The progress total: the frames the walk will deliver, one per shown
        // time, counted from the track's tables instead of a decoding pass.
        // Frames a microsecond holds more than one of are given as its first:
        // the mask movie's times are microseconds.
        int64_t total = 0;
        const auto& shown = video.table.pts;
        for (size_t i = 0; i < shown.size(); ++i) total += i == 0 || video.table.us(shown[i]) > video.table.us(shown[i - 1]);
        Task::checkCancellation();
        // A size the mask movie can't have is refused before any frame is decoded.
        const FrameSize decode = frameSize(video.naturalSize.width, video.naturalSize.height, longEdge);
        MaskWriter::requireWritable(decode.width, decode.height);

        TempOutput output(outPath, journal);
        std::optional<MaskWriter> writer;
        try {
            const bool turned = Orientation::swapsSides(video.orientation);
            // Masks at the even decode size, upright: the 4:2:0 encoder needs even sides.
            const cv::Size maskSize(static_cast<int>(turned ? decode.height : decode.width),
                                    static_cast<int>(turned ? decode.width : decode.height));
            const auto compositing = method == Method::hybrid ? MaskCompositing::Method::hybrid
                                                              : MaskCompositing::Method::foreground;
            const auto rate = video.table.measuredFrameRate();
            const double fps = rate && rate->den > 0 ? double(rate->num) / double(rate->den) : 30;
            MatteQualityMeter meter;
            ChromaDetector chroma;
            std::vector<Pending> pending;
            int64_t masksWritten = 0, lastAtUs = 0, nextClassifyUs = 0, nextChromaUs = 0, chromaTaken = 0;

            auto processBatch = [&] {
                if (pending.empty()) return;
                firstUse().once("person", [&] { PersonSegmenter::mask(pending.front().upright); });
                std::vector<MaskCompositing::FrameMasks> raw(pending.size());
                std::vector<cv::Mat> masks(pending.size());
                std::vector<std::exception_ptr> failures(pending.size());
                // One model stands in for the person and the foreground mask.
                tbb::parallel_for(size_t{0}, pending.size(), [&](size_t i) {
                    try {
                        cv::Mat person = PersonSegmenter::mask(pending[i].upright);
                        raw[i].foreground = person;
                        if (method == Method::hybrid) raw[i].accurate = person;
                        masks[i] = MaskCompositing::combine(raw[i], pending[i].upright, compositing, maskSize);
                    } catch (...) {
                        failures[i] = std::current_exception();
                    }
                });
                for (auto& f : failures)
                    if (f) std::rethrow_exception(f);
                for (size_t i = 0; i < pending.size(); ++i) {
                    const Pending& p = pending[i];
                    if (p.atUs >= nextClassifyUs) {
                        meter.notePeople(peopleConfidence(p.upright, raw[i].foreground));
                        nextClassifyUs = p.atUs + classifyEveryUs;
                    }
                    if (p.atUs >= nextChromaUs && chromaTaken < chromaSamples) {
                        addChromaSample(p.upright, chroma);
                        ++chromaTaken;
                        nextChromaUs = p.atUs + chromaEveryUs;
                    }
                    if (!writer) writer.emplace(output.url(), masks[i].cols, masks[i].rows, fps);
                    writer->append({masks[i].cols, masks[i].rows, {masks[i].data, masks[i].total()}}, p.atUs);
                    const int64_t w = masks[i].cols, h = masks[i].rows;
                    auto grid = MaskCompositing::sampled(masks[i], w, h);
                    if (method == Method::hybrid) {
                        auto person = MaskCompositing::sampled(raw[i].accurate, w, h);
                        meter.add(grid, w / 4, h / 4, std::span<const uint8_t>(person), p.atUs);
                    } else {
                        meter.add(grid, w / 4, h / 4, std::nullopt, p.atUs);
                    }
                    lastAtUs = p.atUs;
                    ++masksWritten;
                }
                pending.clear();
                job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::frames, masksWritten, total});
                Task::checkCancellation();
            };

            std::optional<int64_t> lastTakenUs;
            auto wanted = [&](int64_t t) {
                if (lastTakenUs && t <= *lastTakenUs) return false;
                lastTakenUs = t;
                return true;
            };
            video.forEachFrame(decode.width, decode.height, OpenedVideo::PixelFormat::bgra32,
                               OpenedVideo::Transfer::sRGB, JobContext::silent(), [&](const VideoFrame& frame, int64_t t) {
                                   pending.push_back({uprightImage(frame, video.orientation).clone(), t});
                                   if (pending.size() == batchSize) processBatch();
                               }, wanted);
            processBatch();
            // The tables list frames the decoder never gave.
            if (!writer) throw MediaFailure::damaged("This video");
            writer->finish();
            Built built;
            built.width = writer->width();
            built.height = writer->height();
            built.frameCount = masksWritten;
            built.durationUs = std::max(video.durationUs, lastAtUs);
            built.quality = meter.result();
            built.quality.greenScreen = chroma.isGreenScreen();
            output.commit();
            return built;
        } catch (...) {
            if (writer) writer->cancel();
            output.discard();
            throw;
        }
    });
}

} // namespace korvel
