#include "Core/Wire/ColorStatsWire.hpp"
#include "Core/Wire/FacesWire.hpp"
#include "Core/Wire/FrameScoresWire.hpp"
#include "Core/Wire/LoudnessWire.hpp"
#include "Core/Wire/MatteWire.hpp"
#include "Core/Wire/ScenesWire.hpp"
#include "Core/Wire/SilencesWire.hpp"
#include "Core/Wire/TextRegionsWire.hpp"
#include "Core/Wire/TranscriptWire.hpp"
#include "Core/Wire/WaveformWire.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace korvel;

namespace {
std::set<std::string> keys(const JSONValue& v) {
    std::set<std::string> out;
    if (const auto* o = v.objectPtr())
        for (const auto& [k, _] : *o) out.insert(k);
    return out;
}

std::set<std::string> withHeader(std::set<std::string> own) {
    own.insert({"kind", "assetId", "contentHash", "engineVersion", "fingerprint"});
    return own;
}

const JSONValue& at(const JSONValue& v, std::string_view key) {
    static const JSONValue none;
    const JSONValue* m = v.member(key);
    return m ? *m : none;
}
} // namespace

TEST(ResultModels, EveryKindWritesItsHeaderAndOwnKeys) {
    struct Case {
        JSONValue encoded;
        std::string kind;
        std::set<std::string> own;
    };
    const Case cases[] = {
        {encoding(SilencesAnalysisModel("a", "h", "f", {})), "silences", {"measurement", "runs"}},
        {encoding(LoudnessAnalysisModel("a", "h", "f", {})), "loudness", {"integratedLufs", "truePeakDb", "phrases"}},
        {encoding(WaveformAnalysisModel("a", "h", "f", {})), "waveform", {"bucketUs", "peaks"}},
        {encoding(IsolationAnalysisModel("a", "h", "f", {})), "isolation", {"bucketUs", "peaks"}},
        {encoding(ScenesAnalysisModel("a", "h", "f", {})), "scenes", {"scenes"}},
        {encoding(FacesAnalysisModel("a", "h", "f", {}, {})), "faces", {"samples", "tracks"}},
        {encoding(FrameScoresAnalysisModel("a", "h", "f", {})), "frame_scores", {"samples"}},
        {encoding(ColorStatsAnalysisModel("a", "h", "f", {}, {})), "color_stats", {"takes", "samples"}},
        {encoding(TextRegionsAnalysisModel("a", "h", "f", {})), "text_regions", {"samples"}},
        {encoding(TranscriptAnalysisModel("a", "h", "f", "en", "whisper_large_v3", false, {}, {},
                                          std::vector<FillerCandidateModel>{}, false)),
         "transcript", {"language", "transcriber", "provisional", "words", "sentences", "fillerCandidates"}},
        {encoding(MatteAnalysisModel("a", "h", "f", "/m.mov", "foreground", 2, 2, 1, 40000, {})), "matte",
         {"path", "method", "width", "height", "frameCount", "durationUs", "quality"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keys(c.encoded), withHeader(c.own)) << c.kind;
        EXPECT_EQ(at(c.encoded, "kind"), JSONValue(c.kind));
        EXPECT_EQ(at(c.encoded, "engineVersion"), JSONValue("0.1.0"));
        EXPECT_EQ(at(c.encoded, "assetId"), JSONValue("a"));
    }
}

TEST(ResultModels, SilencesOfNoSoundAndRoundedRuns) {
    SilenceDetector::Result result;
    result.runs = {{0, 100000, -47.125}, {100000, 200000, -120}};
    const JSONValue v = encoding(SilencesAnalysisModel("a", "h", "f", result));
    EXPECT_EQ(at(v, "measurement").canonical(),
              R"({"floorDb":-120,"lowSeparation":true,"thresholdDb":-90,"voiceDb":-120,"windowUs":10000})");
    EXPECT_EQ(at(v, "runs").canonical(),
              R"([{"endUs":100000,"meanDb":-47.13,"startUs":0},{"endUs":200000,"meanDb":-120,"startUs":100000}])");
}

TEST(ResultModels, LoudnessPhrasesKeepOrderAndAlwaysCarryGain) {
    LoudnessReading reading{-14.125, -1, {{500, 500, -70, 2.345}, {0, 400, -20.004, -4}}};
    const JSONValue v = encoding(LoudnessAnalysisModel("a", "h", "f", reading));
    EXPECT_EQ(at(v, "integratedLufs"), JSONValue(-14.13));
    EXPECT_EQ(at(v, "truePeakDb"), JSONValue(-1));
    EXPECT_EQ(at(v, "phrases").canonical(),
              R"([{"gainDb":2.35,"lufs":-70,"span":{"endUs":500,"startUs":500}},)"
              R"({"gainDb":-4,"lufs":-20,"span":{"endUs":400,"startUs":0}}])");
    JSONValue stored = JSONValue::parsing(R"({"span":{"startUs":0,"endUs":1},"lufs":-3})");
    EXPECT_FALSE(decoded<LoudnessPhraseModel>(stored).gainDb);
}

TEST(ResultModels, NullableKeysAreWrittenAsNull) {
    const JSONValue score = encoding(FrameScoreModel(500000, std::nullopt, -3));
    EXPECT_EQ(score.canonical(), R"({"atUs":500000,"faceQuality":null,"sharpness":0})");
    EXPECT_EQ(encoding(FrameScoreModel(0, 1.2, 1234.5678)).canonical(),
              R"({"atUs":0,"faceQuality":1,"sharpness":1234.57})");
    EXPECT_EQ(encoding(FrameScoreModel(0, 0.0, 0)).canonical(), R"({"atUs":0,"faceQuality":0,"sharpness":0})");
    EXPECT_THROW(decoded<FrameScoreModel>(JSONValue::parsing(R"({"atUs":0,"sharpness":1})")), EngineFailure);

    const ColorTakeModel take({0, 10}, MeanRgbModel(2.0 / 3, 1.0 / 3, 1), std::nullopt, -1, 0.5, 2, {0.25, 1.5},
                              {{"vibrance.inputAmount", -1.234567891}});
    const JSONValue t = encoding(take);
    EXPECT_TRUE(at(t, "brightRgb").isNull());
    EXPECT_EQ(at(t, "meanRgb").canonical(), R"({"b":1,"g":0.33333,"r":0.66667})");
    EXPECT_EQ(at(t, "lumaLayout").canonical(), "[0.25,1]");
    EXPECT_EQ(at(t, "autoAdjustments").canonical(), R"({"vibrance.inputAmount":-1.234567891})");

    TranscriptWordModel word{"hi", 0, 10, std::nullopt, false};
    EXPECT_EQ(encoding(word).canonical(), R"({"confidence":null,"endUs":10,"filler":false,"startUs":0,"text":"hi"})");
    FillerFinding gap{FillerFinding::Kind::voicedGap, 1, 2, 3, 4, std::nullopt, true};
    EXPECT_EQ(encoding(FillerCandidateModel(gap)).canonical(),
              R"({"auditionOnly":true,"cutEndUs":4,"cutStartUs":3,"endUs":2,"kind":"voiced_gap","startUs":1,"wordIndex":null})");
}

TEST(ResultModels, OptionalKeysOfTranscriptFacesAndMatte) {
    const auto transcript = [](bool rough) {
        return encoding(TranscriptAnalysisModel("a", "h", "f", "de", "whisper_large_v3", false, {}, {},
                                                std::vector<FillerCandidateModel>{}, rough));
    };
    EXPECT_FALSE(transcript(false).member("roughTimes"));
    EXPECT_EQ(at(transcript(true), "roughTimes"), JSONValue(true));
    EXPECT_EQ(at(transcript(false), "fillerCandidates").canonical(), "[]");
    const JSONValue noFillers = JSONValue::parsing(
        R"({"kind":"transcript","assetId":"a","contentHash":"h","engineVersion":"0.1.0","fingerprint":"f",)"
        R"("language":"en","transcriber":"whisper_large_v3","provisional":false,"words":[],"sentences":[]})");
    EXPECT_FALSE(decoded<TranscriptAnalysisModel>(noFillers).fillerCandidates);

    const JSONValue faces = JSONValue::parsing(
        R"({"kind":"faces","assetId":"a","contentHash":"h","engineVersion":"0.1.0","fingerprint":"f","samples":[],"tracks":null})");
    const FacesAnalysisModel read = decoded<FacesAnalysisModel>(faces);
    EXPECT_FALSE(read.tracks);
    EXPECT_FALSE(encoding(read).member("tracks"));

    MatteQualityValues foreground{0.5, 1.0000049, -0.2, std::nullopt, {{0, 600000}}, std::nullopt, false};
    EXPECT_EQ(encoding(MatteQualityModel(foreground)).canonical(),
              R"({"greenScreen":false,"largestAreaDrop":0,"meanCoverage":0.5,"outerRingOpaque":1})");
    MatteQualityValues person{0.123456, 0, 0, 0.9, {}, 0.3, true};
    EXPECT_EQ(encoding(MatteQualityModel(person)).canonical(),
              R"({"greenScreen":true,"largestAreaDrop":0,"meanCoverage":0.12346,"outerRingOpaque":0,)"
              R"("peopleSeen":0.3,"personCoverage":0.9,"withoutPerson":[]})");
}

TEST(ResultModels, ScoresAndWaveformPeaks) {
    std::vector<SceneModel> scenes{{0, 40000, 1}, {40000, 80000, 0.7312345}, {80000, 90000, 0.999996}};
    const JSONValue v = encoding(ScenesAnalysisModel("a", "h", "f", scenes));
    EXPECT_EQ(at(v, "scenes").canonical(),
              R"([{"score":1,"span":{"endUs":40000,"startUs":0}},{"score":0.73123,"span":{"endUs":80000,"startUs":40000}},)"
              R"({"score":1,"span":{"endUs":90000,"startUs":80000}}])");
    EXPECT_TRUE(at(v, "scenes").arrayPtr()->front().member("score")->isInteger());

    Waveform::Result peaks{10000, {0.5f, 1.0f, 0.99996f}};
    EXPECT_EQ(at(encoding(WaveformAnalysisModel("a", "h", "f", peaks)), "peaks").canonical(), "[0.5,1,1]");
    EXPECT_EQ(encoding(WaveformAnalysisModel("a", "h", "f", {})).member("bucketUs")->intValue(), 10000);
}

TEST(ResultModels, TextRegionsRoundEachSide) {
    const TextRegionModel region(-0.1, 0.2, 0.3, 0.1, 2.0 / 3);
    EXPECT_EQ(encoding(region).canonical(), R"({"box":{"h":0.1,"w":0.3,"x":0,"y":0.2},"confidence":0.66667})");
}

TEST(ResultModels, NonFiniteValuesFailTheEncoding) {
    LoudnessReading reading{std::nan(""), -1, {}};
    EXPECT_THROW(encoding(LoudnessAnalysisModel("a", "h", "f", reading)), JSONEncodingError);
}
