#include "Core/Analysis/SilenceDetector.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

using namespace korvel;

namespace {
std::vector<double> levels(std::initializer_list<std::pair<int, double>> stretches) {
    std::vector<double> out;
    for (auto [count, level] : stretches) out.insert(out.end(), static_cast<size_t>(count), level);
    return out;
}

double powerMean(std::initializer_list<std::pair<int, double>> stretches) {
    double sum = 0;
    int n = 0;
    for (auto [count, level] : stretches) sum += count * std::pow(10.0, level / 10), n += count;
    return 10 * std::log10(sum / n);
}
} // namespace

TEST(SilenceDetector, WindowLevels) {
    EXPECT_TRUE(SilenceDetector::windowLevels({}, 480).empty());

    // 481 samples: a full window of 0.5 and a second window of its one sample.
    std::vector<float> samples(481, 0.5f);
    samples[480] = -1.0f;
    const std::vector<double> l = SilenceDetector::windowLevels(samples, 480);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_NEAR(l[0], 10 * std::log10(0.25), 1e-9);
    EXPECT_DOUBLE_EQ(l[1], 0);

    std::vector<float> square(960);
    for (size_t i = 0; i < square.size(); ++i) square[i] = i % 2 ? 1.0f : -1.0f;
    EXPECT_EQ(SilenceDetector::windowLevels(square, 480), (std::vector<double>{0, 0}));

    std::vector<float> faint(160, 1e-7f);
    EXPECT_EQ(SilenceDetector::windowLevels(faint, 160), std::vector<double>{-120});
}

TEST(SilenceDetector, Percentile) {
    const std::vector<double> one{-30};
    for (double p : {0.0, 0.1, 0.5, 1.0}) EXPECT_EQ(SilenceDetector::percentile(one, p), -30);
    const std::vector<double> two{-40, -20};
    EXPECT_EQ(SilenceDetector::percentile(two, 0.5), -30);
    const std::vector<double> many{0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    EXPECT_NEAR(SilenceDetector::percentile(many, 0.1), 10, 1e-12);
    EXPECT_NEAR(SilenceDetector::percentile(many, 0.95), 95, 1e-12);
    EXPECT_EQ(SilenceDetector::percentile({}, 0.5), -120);
}

TEST(SilenceDetector, NothingAndDigitalSilence) {
    const auto empty = SilenceDetector::analyze(std::vector<float>{});
    EXPECT_EQ(empty.measurement, (SilenceMeasurementValues{10'000, -120, -120, -90, true}));
    EXPECT_TRUE(empty.runs.empty());

    const auto zeros = SilenceDetector::analyze(std::vector<float>(48'000, 0.0f));
    EXPECT_TRUE(zeros.measurement.lowSeparation);
    EXPECT_EQ(zeros.runs, (std::vector<SilenceRun>{{0, 1'000'000, -120}}));
}

// A room at -80 dB and a voice at -20 dB put the threshold at -44 dB and the
// bridge level at -36 dB. Every case starts with 30 windows of room.
TEST(SilenceDetector, RunsAreMergedAndShortOnesDropped) {
    struct Case {
        const char* name;
        std::vector<double> middle;
        std::vector<SilenceRun> expected;  // after the opening run of room
    };
    const Case cases[] = {
        {"nine windows stand alone", levels({{9, -80}}), {}},
        {"ten windows are reported", levels({{10, -80}}), {{1'300'000, 1'400'000, -80}}},
        {"a 30 ms gap always merges", levels({{6, -80}, {3, -20}, {6, -80}}),
         {{1'300'000, 1'450'000, powerMean({{12, -80}, {3, -20}})}}},
        {"a loud 40 ms gap splits, both halves too short", levels({{6, -80}, {4, -20}, {6, -80}}), {}},
        {"a 40 ms gap under the bridge level merges", levels({{6, -80}, {4, -40}, {6, -80}}),
         {{1'300'000, 1'460'000, powerMean({{12, -80}, {4, -40}})}}},
    };
    for (const Case& c : cases) {
        std::vector<double> l = levels({{30, -80}, {100, -20}});
        l.insert(l.end(), c.middle.begin(), c.middle.end());
        const std::vector<double> tail = levels({{100, -20}});
        l.insert(l.end(), tail.begin(), tail.end());
        const auto result = SilenceDetector::analyze(l, int64_t(l.size()) * 10'000);
        EXPECT_EQ(result.measurement, (SilenceMeasurementValues{10'000, -80, -20, -44, false})) << c.name;
        ASSERT_FALSE(result.runs.empty()) << c.name;
        EXPECT_EQ(result.runs.front(), (SilenceRun{0, 300'000, -80})) << c.name;
        std::vector<SilenceRun> rest(result.runs.begin() + 1, result.runs.end());
        ASSERT_EQ(rest.size(), c.expected.size()) << c.name;
        for (size_t i = 0; i < rest.size(); ++i) {
            EXPECT_EQ(rest[i].startUs, c.expected[i].startUs) << c.name;
            EXPECT_EQ(rest[i].endUs, c.expected[i].endUs) << c.name;
            EXPECT_NEAR(rest[i].meanDb, c.expected[i].meanDb, 1e-9) << c.name;
        }
    }
}

TEST(SilenceDetector, RunReachingAPartialWindowEndsAtTheDuration) {
    const std::vector<double> l = levels({{30, -20}, {20, -80}});
    const auto result = SilenceDetector::analyze(l, 495'000);
    EXPECT_FALSE(result.measurement.lowSeparation);
    EXPECT_EQ(result.runs, (std::vector<SilenceRun>{{300'000, 495'000, -80}}));
}

TEST(SilenceDetector, SamplesAreTimedAt48kHz) {
    // 0.5 s of tone, 0.3 s of silence, 0.2 s of tone plus one sample.
    std::vector<float> samples;
    auto tone = [&](int n) {
        for (int i = 0; i < n; ++i) samples.push_back(0.3f * float(std::sin(i * 0.07)));
    };
    tone(24'000);
    samples.insert(samples.end(), 14'400, 0.0f);
    tone(9'601);
    const auto result = SilenceDetector::analyze(samples);
    ASSERT_EQ(result.runs.size(), 1u);
    EXPECT_EQ(result.runs[0].startUs, 500'000);
    EXPECT_EQ(result.runs[0].endUs, 800'000);
    EXPECT_EQ(result.runs[0].meanDb, -120);
}

TEST(SilenceDetector, SpeechRegions) {
    const std::vector<SilenceRun> runs{{0, 400'000, -80}, {1'000'000, 1'200'000, -80}, {2'000'000, 2'500'000, -80},
                                       {3'000'000, 4'000'000, -80}};
    EXPECT_EQ(SilenceDetector::speechRegions(runs, 4'000'000, 300'000),
              (std::vector<SpeechRegion>{{400'000, 2'000'000}, {2'500'000, 3'000'000}}));
    EXPECT_EQ(SilenceDetector::speechRegions(runs, 5'000'000, 0),
              (std::vector<SpeechRegion>{{400'000, 1'000'000}, {1'200'000, 2'000'000}, {2'500'000, 3'000'000},
                                         {4'000'000, 5'000'000}}));
    EXPECT_EQ(SilenceDetector::speechRegions({}, 700, 300'000), (std::vector<SpeechRegion>{{0, 700}}));
    EXPECT_TRUE(SilenceDetector::speechRegions({}, 0, 300'000).empty());
}
