#pragma once

#include "Adapters/Vision/OpenedVideo.hpp"
#include "Core/Analysis/AutoAdjustments.hpp"
#include "Core/Analysis/BrightNeutrals.hpp"
#include "Core/Analysis/FaceTracker.hpp"
#include "Core/Analysis/SceneDetector.hpp"
#include "Core/Jobs.hpp"

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

class SceneScanMemo;

// The colour of a video take by take (takes: the scenes cut at colour steps),
// and its mean colour every 500 ms.
namespace ColorAnalyzer {
inline constexpr int64_t longEdge = 320;
inline constexpr int64_t samplesPerTake = 6;
inline constexpr int64_t sampleIntervalUs = 500'000;

struct RGB {
    double r = 0, g = 0, b = 0;
    bool operator==(const RGB&) const = default;
};

struct Take {
    int64_t startUs = 0;
    int64_t endUs = 0;
    RGB meanRgb;
    std::optional<RGB> brightRgb;
    double lumaP05 = 0, lumaP50 = 0, lumaP95 = 0;
    std::vector<double> lumaLayout;
    std::map<std::string, double> autoAdjustments;

    bool operator==(const Take&) const = default;
};

struct Sample {
    int64_t atUs = 0;
    RGB rgb;
    bool operator==(const Sample&) const = default;
};

struct Measured {
    std::vector<Take> takes;
    std::vector<Sample> samples;
    bool operator==(const Measured&) const = default;
};

// The faces of a frame, boxes normalised to the frame as stored.
using FacesOf = std::function<std::vector<NormalizedBox>(const VideoFrame& frame)>;

// The measures of one take, from about six frames spread over it.
class TakeAccumulator {
public:
    TakeAccumulator(const SceneSpan& span, int64_t samples);

    int64_t startUs() const { return startUs_; }
    int64_t endUs() const { return endUs_; }
    // `faces` is asked only for the frames the take considers; their skin
    // gives the face balance of the automatic adjustments.
    void consider(const VideoFrame& frame, int64_t atUs, const FacesOf& faces = {});
    // consider() in two halves: whether the frame shown then is one of the
    // take's (moving on to the next if so), and the measures of one that is.
    bool picks(int64_t atUs);
    void measure(const VideoFrame& frame, const FacesOf& faces = {});
    // Reads the bright colour now and frees its histogram.
    void settle();
    Take finished() const;

private:
    int64_t startUs_, endUs_, intervalUs_, nextUs_;
    double red_ = 0, green_ = 0, blue_ = 0, pixelCount_ = 0;
    std::vector<int64_t> histogram_;
    BrightNeutrals brightNeutrals_;
    std::optional<std::optional<RGB>> settledBright_;
    std::vector<double> layout_, layoutCount_;
    int64_t samplesSeen_ = 0;
    std::map<std::string, std::vector<double>> adjustments_;
    std::vector<double> lumaRow_;
    std::vector<int32_t> binRow_;
};

// One frame's proposed filter inputs as named values ("<filter>.<input>",
// a further ".<component>" for vectors). Values JSON can't carry are dropped:
// one would sink the whole result when it is written.
std::vector<std::pair<std::string, double>> adjustmentValues(const std::vector<AutoAdjustments::Filter>& filters);

// A box normalised to the upright picture, normalised to the picture as
// stored instead, for the orientation code that turns it upright.
NormalizedBox storedBox(const NormalizedBox& upright, int orientation);

// Under the analysis gates.
Measured measure(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo);
std::vector<Take> analyze(const std::filesystem::path& url, const JobContext& job, SceneScanMemo& memo);
} // namespace ColorAnalyzer

} // namespace korvel
