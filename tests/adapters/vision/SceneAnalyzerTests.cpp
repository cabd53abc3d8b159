#include "Adapters/Vision/AnalysisGates.hpp"
#include "Adapters/Vision/ColorAnalyzer.hpp"
#include "Adapters/Vision/SceneAnalyzer.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "tests/adapters/vision/VisionFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <future>
#include <thread>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

// The cut times that ffmpeg's own scene detector finds, in microseconds.
std::vector<int64_t> scdetCuts(const fs::path& file) {
    auto out = korvel::testing::runCommand("ffmpeg -nostdin -v error -i '" + file.string() +
                                           "' -vf scdet=threshold=10,metadata=print:file=- -f null -");
    std::vector<int64_t> cuts;
    if (!out) return cuts;
    std::istringstream lines(*out);
    std::string line;
    while (std::getline(lines, line)) {
        auto at = line.find("lavfi.scd.time=");
        if (at != std::string::npos) cuts.push_back(std::llround(std::stod(line.substr(at + 15)) * 1e6));
    }
    return cuts;
}

std::vector<EngineProgress> progressOf(const std::function<void(const JobContext&)>& run) {
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    run(job);
    return reports;
}

fs::path copyOf(const fs::path& file, const std::string& name) {
    fs::path folder = fs::path(KORVEL_TEST_TMP) / "scenes" / std::to_string(getpid());
    fs::create_directories(folder);
    fs::copy_file(file, folder / name, fs::copy_options::overwrite_existing);
    return folder / name;
}

} // namespace

TEST(SceneAnalyzer, CutsLandOnTheJoinsAsFfmpegFindsThem) {
    fs::path file = VisionFixtures::path("three-sources.mp4");
    SceneScanMemo memo;
    auto result = SceneAnalyzer::analyze(file, JobContext::silent(), memo);
    EXPECT_EQ(result.durationUs, 6'000'000);
    ASSERT_EQ(result.spans.size(), 3u);
    EXPECT_EQ(result.spans[0], (SceneSpan{0, 2'000'000, 1}));
    EXPECT_EQ(result.spans[1].startUs, 2'000'000);
    EXPECT_EQ(result.spans[2].startUs, 4'000'000);
    EXPECT_EQ(result.spans[2].endUs, 6'000'000);
    std::vector<int64_t> ours{result.spans[1].startUs, result.spans[2].startUs};
    EXPECT_EQ(ours, scdetCuts(file));
    // A cut is a picture change, not a colour step inside a scene.
    for (int64_t step : result.colorSteps) EXPECT_TRUE(step == 2'000'000 || step == 4'000'000) << step;
}

TEST(SceneAnalyzer, ProgressEveryThirtyFramesAndTheMemoSkipsThePass) {
    fs::path file = VisionFixtures::path("three-sources.mp4");
    SceneScanMemo memo;
    auto first = progressOf([&](const JobContext& job) { SceneAnalyzer::analyze(file, job, memo); });
    ASSERT_EQ(first.size(), 5u); // 150 frames
    EXPECT_EQ(first[0].done, 1'160'000);
    EXPECT_EQ(first[0].total, 6'000'000);
    EXPECT_EQ(first[0].unit, EngineProgress::Unit::microseconds);
    EXPECT_TRUE(progressOf([&](const JobContext& job) { SceneAnalyzer::analyze(file, job, memo); }).empty());
}

TEST(SceneAnalyzer, DistancesOfFrames) {
    std::vector<uint8_t> black(1728, 0), white(1728, 255), shorter(3, 0);
    EXPECT_EQ(SceneAnalyzer::distance(black, black), 0);
    EXPECT_EQ(SceneAnalyzer::distance(black, white), 1);
    EXPECT_EQ(SceneAnalyzer::distance(shorter, white), 0);
    EXPECT_EQ(SceneAnalyzer::distance({}, {}), 0);
}

TEST(SceneScanMemo, KeepsTheFirstResultAndTheLastEight) {
    SceneScanMemo memo;
    std::vector<fs::path> files;
    for (int i = 0; i < 9; ++i) files.push_back(copyOf(MediaFixtures::path("plain.mp4"), "memo-" + std::to_string(i) + ".mp4"));
    SceneAnalyzer::Result a{{{0, 1, 1}}, 1, {}}, b{{{0, 2, 1}}, 2, {}};
    memo.remember(a, files[0]);
    memo.remember(b, files[0]);
    EXPECT_EQ(memo.known(files[0]), a);
    for (int i = 1; i < 9; ++i) memo.remember(b, files[size_t(i)]);
    EXPECT_FALSE(memo.known(files[0]));
    EXPECT_EQ(memo.known(files[8]), b);
    // A touched file is another file.
    fs::last_write_time(files[8], fs::last_write_time(files[8]) + std::chrono::seconds(5));
    EXPECT_FALSE(memo.known(files[8]));
    int scans = 0;
    auto scan = [&] {
        ++scans;
        return a;
    };
    EXPECT_EQ(memo.result(files[8], scan), a);
    EXPECT_EQ(memo.result(files[8], scan), a);
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(memo.result(MediaFixtures::folder() / "gone.mp4", scan), a);
    EXPECT_EQ(memo.result(MediaFixtures::folder() / "gone.mp4", scan), a);
    EXPECT_EQ(scans, 3);
    EXPECT_FALSE(memo.known(MediaFixtures::folder() / "gone.mp4"));
}

TEST(SceneScanModel, RoundTripsAndRefusesDamagedRecords) {
    SceneAnalyzer::Result result{{{0, 3'000'000, 1}, {3'000'000, 8'000'000, 0.625}}, 8'000'000, {1'000'000, 5'000'000}};
    SceneScanModel model("aa", "bb", result);
    JSONValue encoded = model.encoded();
    EXPECT_EQ(encoded.member("kind")->stringValue(), "scene_scan");
    auto back = SceneScanModel::decoded(JSONValue::parsing(encoded.canonical()));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->result(), result);

    auto withExtra = JSONValue::parsing(encoded.canonical());
    (*withExtra.objectPtr())["extra"] = JSONValue(true);
    EXPECT_TRUE(SceneScanModel::decoded(withExtra));

    const char* damaged[] = {
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[],"durationUs":0})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":0,"endUs":5,"score":1}],"durationUs":9,"colorSteps":[]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":1,"endUs":9,"score":1}],"durationUs":9,"colorSteps":[]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":0,"endUs":6,"score":1},{"startUs":5,"endUs":9,"score":1}],"durationUs":9,"colorSteps":[]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":0,"endUs":9,"score":1}],"durationUs":9,"colorSteps":[7,3]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":0,"endUs":9,"score":1}],"durationUs":9,"colorSteps":[12]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[{"startUs":0,"endUs":9,"score":"1"}],"durationUs":9,"colorSteps":[]})",
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[],"durationUs":-4,"colorSteps":[]})",
    };
    for (const char* text : damaged) EXPECT_FALSE(SceneScanModel::decoded(JSONValue::parsing(text))) << text;
    EXPECT_TRUE(SceneScanModel::decoded(JSONValue::parsing(
        R"({"kind":"scene_scan","contentHash":"a","fingerprint":"b","spans":[],"durationUs":0,"colorSteps":[]})")));
}

TEST(ColorAnalyzer, TakesOfTheThreeSourcesAndTheirSamples) {
    fs::path file = VisionFixtures::path("three-sources.mp4");
    SceneScanMemo memo;
    auto cold = progressOf([&](const JobContext& job) { ColorAnalyzer::measure(file, job, memo); });
    ASSERT_FALSE(cold.empty());
    EXPECT_EQ(cold.front().unit, EngineProgress::Unit::items);
    EXPECT_LE(cold.front().done, 500);
    EXPECT_GE(cold.back().done, 990);
    std::vector<EngineProgress> warm;
    ColorAnalyzer::Measured measured;
    warm = progressOf([&](const JobContext& job) { measured = ColorAnalyzer::measure(file, job, memo); });
    EXPECT_EQ(warm.front().unit, EngineProgress::Unit::microseconds);

    ASSERT_GE(measured.takes.size(), 3u);
    EXPECT_EQ(measured.takes.front().startUs, 0);
    EXPECT_EQ(measured.takes.back().endUs, 6'000'000);
    for (const auto& take : measured.takes) {
        EXPECT_EQ(take.lumaLayout.size(), 144u);
        EXPECT_LE(take.lumaP05, take.lumaP50);
        EXPECT_LE(take.lumaP50, take.lumaP95);
        for (const auto& [name, value] : take.autoAdjustments) EXPECT_TRUE(std::isfinite(value)) << name;
    }
    ASSERT_EQ(measured.samples.size(), 12u);
    // The first frame (every 40 ms) at or after each half second.
    for (size_t i = 0; i < measured.samples.size(); ++i)
        EXPECT_EQ(measured.samples[i].atUs, (int64_t(i) * 500'000 + 39'999) / 40'000 * 40'000);
}

TEST(ColorAnalyzer, AGreenFrameMeasuresGreen) {
    SceneScanMemo memo;
    auto measured = ColorAnalyzer::measure(VisionFixtures::path("green.mp4"), JobContext::silent(), memo);
    ASSERT_EQ(measured.takes.size(), 1u);
    const auto& take = measured.takes[0];
    EXPECT_GT(take.meanRgb.g, 0.95);
    EXPECT_LT(take.meanRgb.r, 0.05);
    EXPECT_FALSE(take.brightRgb); // a zero channel is never neutral
    for (double v : take.lumaLayout) EXPECT_NEAR(v, take.lumaLayout[0], 0.01);
}

TEST(AnalysisGates, ForegroundNarrowsRendersAndPassesErrors) {
    int videoUsed = -1;
    EXPECT_EQ(AnalysisGates::run([&] {
                  videoUsed = AnalysisGates::video().used();
                  return 7;
              }),
              7);
    EXPECT_EQ(videoUsed, 1);
    EXPECT_EQ(AnalysisGates::video().used(), 0);
    // With one render running, a second waits while a foreground analysis is
    // in flight and is admitted once it ends.
    AnalysisGates::renders().acquire();
    std::atomic<bool> admitted{false};
    std::thread render;
    AnalysisGates::run([&] {
        render = std::thread([&] {
            AnalysisGates::renders().acquire();
            admitted = true;
            AnalysisGates::renders().release();
        });
        while (AnalysisGates::renders().waiting() == 0) std::this_thread::yield();
        EXPECT_FALSE(admitted);
        return 0;
    });
    render.join();
    EXPECT_TRUE(admitted);
    AnalysisGates::renders().release();
    EXPECT_THROW(AnalysisGates::run([]() -> int { throw EngineFailure(-32001, "The file is not there anymore."); }),
                 EngineFailure);
    EXPECT_EQ(AnalysisGates::video().used(), 0);
    EXPECT_EQ(AnalysisGates::renders().used(), 0);
}

TEST(AnalysisGates, BackgroundRunsOneAtATimeThroughAhead) {
    std::promise<std::pair<int, int>> seen;
    BlockingExecutor::shared().enqueue(TaskPriority::background, [&] {
        seen.set_value(AnalysisGates::run([] { return std::pair{AnalysisGates::ahead().used(), AnalysisGates::video().used()}; }));
    });
    EXPECT_EQ(seen.get_future().get(), (std::pair{1, 0}));
    EXPECT_EQ(AnalysisGates::ahead().used(), 0);
}

TEST(ColorAnalyzer, AdjustmentValuesAreNamedAndFinite) {
    std::vector<AutoAdjustments::Filter> filters{
        {"CIVibrance", {{"inputAmount", {0.4}, false}}},
        {"CIToneCurve", {{"inputPoint1", {0.25, NAN}, true}, {"inputPoint2", {0.5, 0.6}, true}}},
        {"CIHighlightShadowAdjust", {{"inputShadowAmount", {INFINITY}, false}}},
    };
    auto values = ColorAnalyzer::adjustmentValues(filters);
    EXPECT_EQ(values, (std::vector<std::pair<std::string, double>>{{"CIVibrance.inputAmount", 0.4},
                                                                   {"CIToneCurve.inputPoint1.0", 0.25},
                                                                   {"CIToneCurve.inputPoint2.0", 0.5},
                                                                   {"CIToneCurve.inputPoint2.1", 0.6}}));
}
