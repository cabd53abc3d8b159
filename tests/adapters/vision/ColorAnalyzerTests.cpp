#include "Adapters/Vision/ColorAnalyzer.hpp"

#include "Adapters/Render/Sources/VideoDecoder.hpp"
#include "Adapters/Vision/FaceDetector.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Core/Analysis/ColorSteps.hpp"
#include "Core/Analysis/SampleGate.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

using namespace korvel;
namespace fs = std::filesystem;

// Faces are found on the upright picture; the adjustments read the frame as
// stored, so each box is turned back the way the frame was turned up.
TEST(ColorAnalyzer, FaceBoxesAreTurnedBackToTheStoredFrame) {
    const NormalizedBox upright{0.1, 0.2, 0.3, 0.4};
    struct Case {
        int orientation;
        NormalizedBox stored;
    } cases[] = {
        {1, {0.1, 0.2, 0.3, 0.4}},
        {6, {0.2, 0.6, 0.4, 0.3}}, // stood up by a quarter turn clockwise
        {8, {0.4, 0.1, 0.4, 0.3}}, // by a quarter turn counterclockwise
        {3, {0.6, 0.4, 0.3, 0.4}},
        {2, {0.6, 0.2, 0.3, 0.4}}, // mirrored left to right
        {4, {0.1, 0.4, 0.3, 0.4}}, // top to bottom
        {5, {0.2, 0.1, 0.4, 0.3}}, // transposed
        {7, {0.4, 0.6, 0.4, 0.3}}, // transversed
    };
    for (const auto& c : cases) {
        const NormalizedBox got = ColorAnalyzer::storedBox(upright, c.orientation);
        EXPECT_NEAR(got.x, c.stored.x, 1e-12) << c.orientation;
        EXPECT_NEAR(got.y, c.stored.y, 1e-12) << c.orientation;
        EXPECT_NEAR(got.w, c.stored.w, 1e-12) << c.orientation;
        EXPECT_NEAR(got.h, c.stored.h, 1e-12) << c.orientation;
    }
}

// The pass picks its frames from their times ahead of decoding and converts
// only those; every number is the one its accumulators give when offered
// every frame of a full walk, as they pick for themselves.
TEST(ColorAnalyzer, MeasuresAsWhenOfferedEveryFrame) {
    for (const char* name : {"three-sources.mp4", "astronaut.mp4", "copy.mp4", "hd-cut.mp4"}) {
        const fs::path file = std::string(name) == "copy.mp4" ? MediaFixtures::path(name) : VisionFixtures::path(name);
        SceneScanMemo memo;
        const auto scenes = SceneAnalyzer::analyze(file, JobContext::silent(), memo);
        const OpenedVideo video = OpenedVideo::open(file);
        std::vector<ColorAnalyzer::TakeAccumulator> takes;
        for (const auto& span : ColorStepDetector::takes(scenes.spans, scenes.colorSteps))
            takes.emplace_back(span, ColorAnalyzer::samplesPerTake);
        const auto faces = [&](const VideoFrame& frame) {
            std::vector<NormalizedBox> boxes;
            for (const auto& face : FaceDetector::detect(frame, video.orientation))
                boxes.push_back(ColorAnalyzer::storedBox(face.box, video.orientation));
            return boxes;
        };
        const FrameSize size = frameSize(video.naturalSize.width, video.naturalSize.height, ColorAnalyzer::longEdge);
        ColorAnalyzer::Measured want;
        SampleGate gate{ColorAnalyzer::sampleIntervalUs, 0};
        size_t current = 0;
        video.forEachFrame(size.width, size.height, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::bt709,
                           JobContext::silent(), [&](const VideoFrame& frame, int64_t t) {
                               while (current + 1 < takes.size() && t >= takes[current].endUs()) takes[current++].settle();
                               takes[current].consider(frame, t, faces);
                               if (!gate.shouldTake(t)) return;
                               double sums[3] = {0, 0, 0};
                               for (int64_t y = 0; y < frame.height; ++y)
                                   for (int64_t x = 0; x < frame.width; ++x)
                                       for (int c = 0; c < 3; ++c) sums[c] += frame.bgra[y * frame.bytesPerRow + x * 4 + c];
                               const double n = double(frame.width * frame.height) * 255;
                               want.samples.push_back({t, {sums[2] / n, sums[1] / n, sums[0] / n}});
                           });
        for (const auto& take : takes) want.takes.push_back(take.finished());
        const auto got = ColorAnalyzer::measure(file, JobContext::silent(), memo);
        ASSERT_EQ(got.takes.size(), want.takes.size()) << name;
        for (size_t i = 0; i < got.takes.size(); ++i) EXPECT_TRUE(got.takes[i] == want.takes[i]) << name << ", take " << i;
        EXPECT_EQ(got.samples, want.samples) << name;
    }
}

// The scene scan keeps its frames at the pass's size when both decode alike,
// so a file whose pictures fit is decoded once, with the numbers of a pass
// whose scenes were known and which walked the file for itself.
TEST(ColorAnalyzer, AFileWhosePicturesFitIsDecodedOnce) {
    const fs::path file = VisionFixtures::path("hd-cut.mp4");
    // Opening the file reads its first frame's tags.
    uint64_t before = VideoDecoder::decodedCount();
    const size_t frames = OpenedVideo::open(file).shownTimesUs().size();
    const uint64_t opening = VideoDecoder::decodedCount() - before;
    ASSERT_EQ(frames, 50u);
    SceneScanMemo cold;
    before = VideoDecoder::decodedCount();
    const auto once = ColorAnalyzer::measure(file, JobContext::silent(), cold);
    EXPECT_EQ(VideoDecoder::decodedCount() - before, opening + frames);
    ASSERT_TRUE(cold.known(file));
    ASSERT_GE(once.takes.size(), 2u);
    const auto walked = ColorAnalyzer::measure(file, JobContext::silent(), cold);
    EXPECT_TRUE(once == walked);
}
