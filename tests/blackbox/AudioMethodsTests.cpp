// audio.mix and the audio track of render.segment through the real engine,
// on espeak-ng speech and synthesized beds, checked by libebur128 and by
// decoding with the ffmpeg tool.
#if __has_include(<ebur128.h>)

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"
#include "tests/support/WavHeader.hpp"

#include <ebur128.h>
#include <gtest/gtest.h>


#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

struct Media {
    fs::path folder, speech;
    std::string hash;
    Media() {
        folder = korvel::testing::freshFolder("audio-media");
        const fs::path wav = folder / "speech.wav";
        speech = folder / "speech.m4a";
        EXPECT_TRUE(runCommand("espeak-ng -w '" + wav.string() +
                               "' 'The quick brown fox jumps over the lazy dog. Every segment of this sound "
                               "is cut from one encoding of the whole mix, and it should line up exactly.'"));
        EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y -i '" + wav.string() +
                               "' -ar 48000 -ac 1 -c:a aac -b:a 128k '" + speech.string() + "'"));
        hash = sha256sum(speech);
    }
};

const Media& media() {
    static Media m;
    return m;
}

// Interleaved float samples of a file at 48 kHz, as the ffmpeg tool decodes it.
std::vector<float> decodeWithTool(const fs::path& file, int channels, const std::string& inputOptions = "") {
    auto out = runCommand("ffmpeg -nostdin -v error " + inputOptions + " -i '" + file.string() + "' -f f32le -ac " +
                          std::to_string(channels) + " -ar 48000 -");
    std::vector<float> samples(out ? out->size() / 4 : 0);
    if (out) std::memcpy(samples.data(), out->data(), samples.size() * 4);
    return samples;
}

struct Meter {
    double integrated = -70;
    double truePeakDb = -120;
};

Meter measure(const std::vector<float>& interleaved, int channels) {
    ebur128_state* st = ebur128_init(static_cast<unsigned>(channels), 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, interleaved.data(), interleaved.size() / static_cast<size_t>(channels));
    Meter m;
    ebur128_loudness_global(st, &m.integrated);
    double peak = 0;
    for (int c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_true_peak(st, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    m.truePeakDb = peak > 0 ? 20 * std::log10(peak) : -120;
    ebur128_destroy(&st);
    return m;
}

std::string track(const std::string& id, const std::string& role, const std::string& source, int64_t srcStart,
                  int64_t srcEnd, int64_t outStart, int64_t outEnd, const std::string& gain = "[]",
                  const std::string& extra = "") {
    return R"({"id":")" + id + R"(","role":")" + role + "\"," + source + R"(,"srcStartUs":)" + std::to_string(srcStart) +
           R"(,"srcEndUs":)" + std::to_string(srcEnd) + R"(,"outStartUs":)" + std::to_string(outStart) +
           R"(,"outEndUs":)" + std::to_string(outEnd) + R"(,"speed":1.0,"gain":)" + gain +
           (extra.empty() ? R"(,"isolation":null)" : extra) + "}";
}

std::string voiceSource() { return R"("assetId":"a","generated":null)"; }
std::string generated(const std::string& recipe, int seed) {
    return R"("assetId":null,"generated":{"recipe":")" + recipe + R"(","seed":)" + std::to_string(seed) + "}";
}

std::string sourcesJSON() {
    return R"({"a":{"path":")" + media().speech.string() + R"(","contentHash":")" + media().hash + R"("}})";
}

// A whole plan document; the audio side reads only its audio mix and length.
std::string planJSON(const std::string& tracks, const std::string& target, int64_t durationUs) {
    return R"({"version":1,"canvas":{"format":"vertical","width":1080,"height":1920,"fps":{"num":30,"den":1}},)"
           R"("segments":[],"videoOverlays":[],"textItems":[],"colorStack":[],"background":null,)"
           R"("timeMap":{"entries":[]},"textEntrances":{},"assetContent":{},"durationUs":)" +
           std::to_string(durationUs) + R"(,"audioMix":{"targetLufs":)" + target + R"(,"truePeakDb":-1,"tracks":[)" +
           tracks + "]}}";
}

std::string mixParams(const fs::path& out, const std::string& plan, const std::string& sources = sourcesJSON()) {
    return R"({"outPath":")" + out.string() + R"(","plan":)" + plan + R"(,"sources":)" + sources + "}";
}

const JSONValue& resultOf(const JSONValue& response) {
    static const JSONValue none;
    const JSONValue* r = response.member("result");
    EXPECT_TRUE(r) << response.canonical();
    return r ? *r : none;
}

constexpr int64_t speechUs = 4'000'000;

std::string mixedPlan(int64_t durationUs = 6'000'000) {
    return planJSON(track("v", "voice", voiceSource(), 0, speechUs, 500'000, 500'000 + speechUs) + "," +
                        track("bed", "music", generated("soft_bed", 7), 0, durationUs, 0, durationUs,
                              R"([{"outUs":0,"gainDb":-18}])") +
                        "," + track("fx", "sound_effect", generated("whoosh", 3), 0, 600'000, 4'000'000, 4'600'000,
                                    R"([{"outUs":0,"gainDb":-20}])"),
                    "-16", durationUs);
}

} // namespace

TEST(AudioMix, ReachesItsTargetUnderTheCeilingByAnIndependentMeter) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix");
    const fs::path out = folder / "mix.m4a";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()}, {"KORVEL_ENGINE_TEMP_DIR=" + folder.string()});
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(out, mixedPlan())));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    const JSONValue& r = resultOf(*response);
    ASSERT_TRUE(r.isObject());
    EXPECT_EQ(r.member("path")->stringValue(), out.string());
    EXPECT_EQ(r.member("byteLength")->intValue(), static_cast<int64_t>(fs::file_size(out)));
    EXPECT_EQ(r.member("durationUs")->intValue(), 6'000'000);
    EXPECT_EQ(r.member("reachedTarget")->boolValue(), true);
    const double answered = *r.member("integratedLufs")->doubleValue();

    const auto decoded = decodeWithTool(out, 2);
    EXPECT_EQ(decoded.size(), 2u * 288'000);
    const Meter written = measure(decoded, 2);
    EXPECT_NEAR(written.integrated, answered, 0.1);
    if (*r.member("reachedTarget")->boolValue()) {
        EXPECT_NEAR(written.integrated, -16, 0.1);
    }

    // The ceiling holds for the sound after AAC coding.
    const fs::path aac = folder / "roundtrip.m4a";
    ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -i '" + out.string() + "' -c:a aac -b:a 256k '" + aac.string() + "'"));
    EXPECT_LE(measure(decodeWithTool(aac, 2), 2).truePeakDb, -1 + 0.1);
    const JSONValue* peak = r.member("truePeakDb");
    ASSERT_TRUE(peak);
    EXPECT_LE(*peak->doubleValue() , -1 + 0.02 + 0.005);

    // Nothing of the work is left behind: no scratch file, no partial folder, no journal entry.
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find("korvel-"), std::string::npos) << entry.path();
    }
    EXPECT_TRUE(!fs::exists(folder / "cache" / "journal") || fs::is_empty(folder / "cache" / "journal"));
}

TEST(AudioMix, VoiceOnlyWithoutTargetIsWrittenAsMixedAsFloatWav) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-wav");
    const fs::path out = folder / "MIX.WAV";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string plan = planJSON(track("v", "voice", voiceSource(), 0, speechUs, 0, speechUs), "null", speechUs);
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(out, plan)));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    const JSONValue& r = resultOf(*response);
    EXPECT_EQ(r.member("reachedTarget")->boolValue(), true);
    auto header = runCommand("ffprobe -v error -show_entries stream=codec_name,channels,sample_rate -of csv=p=0 '" +
                             out.string() + "'");
    ASSERT_TRUE(header);
    EXPECT_EQ(*header, "pcm_f32le,48000,2\n");
    const auto decoded = decodeWithTool(out, 2);
    EXPECT_EQ(decoded.size(), 2u * 192'000);
    EXPECT_NEAR(measure(decoded, 2).integrated, *r.member("integratedLufs")->doubleValue(), 0.1);
}

TEST(AudioMix, FailuresAnswerTheirSentencesAndWriteNothing) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-failures");
    const fs::path out = folder / "mix.m4a";
    const std::string voice = track("v", "voice", voiceSource(), 0, speechUs, 0, speechUs);
    const std::string ok = planJSON(voice, "-16", speechUs);
    korvel::testing::writeWideWav(folder / "wide.wav", 65535, 5);
    const std::string wideHash = sha256sum(folder / "wide.wav");
    struct Case {
        std::string params;
        int64_t code;
        std::string message;
    } cases[] = {
        {R"({"outPath":")" + out.string() + R"(","sources":{}})", -32602, "audio.mix needs a plan."},
        {R"({"outPath":")" + out.string() + R"(","plan":)" + ok + R"(,"sources":[]})", -32602,
         "An audio render needs its sources."},
        {mixParams(out, planJSON(track("t9", "voice", R"("assetId":null,"generated":null)", 0, 1, 0, 1), "null", speechUs)),
         -32602, "Audio track t9 names no source."},
        {mixParams(out, ok, "{}"), -32602, "The plan uses a, and it is not among the sources."},
        {mixParams(out, ok, R"({"a":{"path":")" + media().speech.string() + R"(","contentHash":"00"}})"), -32001,
         "speech.m4a changed since it was imported."},
        {mixParams(out, planJSON(track("v", "voice", voiceSource(), 0, speechUs, 0, speechUs,
                                       R"([{"outUs":0,"gainDb":1e300}])"), "null", speechUs)),
         -32602, "Audio track v has a gain out of range."},
        {mixParams(out, planJSON(voice, "1e300", speechUs)), -32602, "The audio mix has a loudness target out of range."},
        {mixParams(folder / "mix.ogg", ok), -32602,
         "outPath must end in .wav, .m4a, .mp4, .mov or .caf, got .ogg."},
        {mixParams(media().speech, ok), -32602, "outPath must not be one of the plan's sources."},
        // A writer error reaches the client in the media-failure wording.
        {mixParams(folder / "notes.txt" / "mix.m4a", ok), -32003, "mix.m4a could not be written."},
        // Tracks that play past the end of the plan are checked all the same.
        {mixParams(out, planJSON(voice + "," + track("late", "music", R"("assetId":"nope","generated":null)", 0,
                                                     1'000'000, 5'000'000, 6'000'000), "null", 2'000'000)),
         -32602, "The plan uses nope, and it is not among the sources."},
        {mixParams(out, planJSON(voice + "," + track("late", "sound_effect", generated("nope", 1), 0, 1'000'000,
                                                     5'000'000, 6'000'000), "null", 2'000'000)),
         -32602, "Unknown sound recipe: nope."},
        {mixParams(out, planJSON(track("w", "music", R"("assetId":"w","generated":null)", 0, 1'000'000, 0, 1'000'000),
                                 "null", 1'000'000),
                   R"({"w":{"path":")" + (folder / "wide.wav").string() + R"(","contentHash":")" + wideHash + R"("}})"),
         -32002, "This audio track cannot be read."},
    };
    std::ofstream(folder / "notes.txt") << "a file, not a folder";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 1;
    for (const auto& c : cases) {
        engine.sendLine(EngineProcess::request(id, "audio.mix", c.params));
        auto response = engine.responseFor(id++);
        ASSERT_TRUE(response);
        const JSONValue* error = response->member("error");
        ASSERT_TRUE(error) << c.message;
        EXPECT_EQ(error->member("code")->intValue(), c.code) << c.message;
        EXPECT_EQ(error->member("message")->stringValue(), c.message);
    }
    engine.sendLine(EngineProcess::request(id, "audio.mix", R"({"plan":{},"sources":{}})"));
    auto response = engine.responseFor(id);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->member("error")->member("message")->stringValue()->rfind("Params do not match the contract: ", 0), 0u);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(sha256sum(media().speech), media().hash);
}

TEST(AudioMix, AnEmptyMixIsAReadableFileInEveryFormat) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-empty");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 1;
    for (const std::string name : {"mix.wav", "mix.m4a", "mix.mp4", "mix.mov", "mix.caf"}) {
        const fs::path out = folder / name;
        engine.sendLine(EngineProcess::request(id, "audio.mix", mixParams(out, planJSON("", "null", 0))));
        auto response = engine.responseFor(id++);
        ASSERT_TRUE(response);
        EXPECT_EQ(resultOf(*response).member("durationUs")->intValue(), 0) << name;
        auto probed = runCommand("ffprobe -v error -show_entries stream=sample_rate,channels -of csv=p=0 '" +
                                 out.string() + "'");
        ASSERT_TRUE(probed) << name;
        EXPECT_EQ(*probed, "48000,2\n") << name;
        EXPECT_TRUE(decodeWithTool(out, 2).empty()) << name;
    }
}

// 200 tracks of 20 ms cut one after another from one source mix to the same
// samples as one track of the whole stretch.
TEST(AudioMix, ManyShortTracksOfOneSourceMixLikeOneTrack) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-many");
    const fs::path source = folder / "tone.flac";
    ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=220:sample_rate=48000:duration=5' "
                           "-f lavfi -i 'sine=frequency=330:sample_rate=48000:duration=5' -filter_complex amerge "
                           "-c:a flac '" + source.string() + "'"));
    const std::string sources =
        R"({"m":{"path":")" + source.string() + R"(","contentHash":")" + sha256sum(source) + R"("}})";
    const std::string music = R"("assetId":"m","generated":null)";
    constexpr int64_t piece = 20'000, count = 200, length = piece * count;
    std::string many;
    for (int64_t i = 0; i < count; ++i) {
        if (i > 0) many += ",";
        many += track("t" + std::to_string(i), "music", music, 500'000 + i * piece, 500'000 + (i + 1) * piece,
                      i * piece, (i + 1) * piece, R"([{"outUs":0,"gainDb":-6}])");
    }
    const std::string one = track("all", "music", music, 500'000, 500'000 + length, 0, length, R"([{"outUs":0,"gainDb":-6}])");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(folder / "many.wav", planJSON(many, "null", length), sources)));
    engine.sendLine(EngineProcess::request(2, "audio.mix", mixParams(folder / "one.wav", planJSON(one, "null", length), sources)));
    // The two mixes run side by side; either may answer first.
    std::set<int64_t> answered;
    while (answered.size() < 2) {
        auto response = engine.readJSON();
        ASSERT_TRUE(response);
        ASSERT_TRUE(response->member("id"));
        ASSERT_TRUE(resultOf(*response).isObject());
        answered.insert(response->member("id")->intValue().value_or(0));
    }
    const auto manySamples = decodeWithTool(folder / "many.wav", 2), oneSamples = decodeWithTool(folder / "one.wav", 2);
    ASSERT_EQ(oneSamples.size(), 2u * 192'000);
    EXPECT_GT(measure(oneSamples, 2).integrated, -30);
    EXPECT_TRUE(manySamples == oneSamples);
    EXPECT_EQ(sha256sum(folder / "many.wav"), sha256sum(folder / "one.wav"));
}

TEST(AudioMix, CancellationLeavesNothingBehind) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-cancel");
    const fs::path out = folder / "mix.m4a";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()}, {"KORVEL_ENGINE_TEMP_DIR=" + folder.string()});
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(out, mixedPlan(120'000'000))));
    engine.sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":1}})");
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    ASSERT_TRUE(response->member("error"));
    EXPECT_EQ(response->member("error")->member("code")->intValue(), -32800);
    EXPECT_FALSE(fs::exists(out));
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find("korvel-"), std::string::npos) << entry.path();
    }
    EXPECT_TRUE(!fs::exists(folder / "cache" / "journal") || fs::is_empty(folder / "cache" / "journal"));
}

TEST(AudioMix, AScratchFolderThatCantBeWrittenIsNamedAndNothingIsWritten) {
    const fs::path folder = korvel::testing::freshFolder("audio-mix-scratch");
    const fs::path out = folder / "mix.m4a";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()},
                         {"KORVEL_ENGINE_TEMP_DIR=" + (folder / "missing").string()});
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(out, mixedPlan(2'000'000))));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    ASSERT_TRUE(response->member("error"));
    EXPECT_EQ(response->member("error")->member("code")->intValue(), -32003);
    EXPECT_EQ(*response->member("error")->member("message")->stringPtr(), "The mix's scratch files could not be written.");
    EXPECT_FALSE(fs::exists(out));
}

TEST(AudioSegments, DecodeToTheMixWithNoLagAfterTheSkip) {
    const fs::path folder = korvel::testing::freshFolder("audio-segments");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    // No target and only a voice: the mix file is the mix the segments are cut from.
    const int64_t duration = 5'000'000;
    const std::string plan = planJSON(track("v", "voice", voiceSource(), 0, speechUs, 300'000, 300'000 + speechUs,
                                            R"([{"outUs":0,"gainDb":-3}])"),
                                      "null", duration);
    engine.sendLine(EngineProcess::request(1, "audio.mix", mixParams(folder / "mix.wav", plan)));
    ASSERT_TRUE(engine.responseFor(1));
    const auto mix = decodeWithTool(folder / "mix.wav", 1);
    ASSERT_EQ(mix.size(), 240'000u);

    struct Window {
        int64_t startUs, endUs;
    } windows[] = {{0, 1'000'000}, {1'000'000, 2'000'000}, {2'500'000, 3'500'000}, {4'000'000, 5'000'000}};
    int64_t id = 2;
    for (const auto& w : windows) {
        const fs::path seg = folder / ("seg-" + std::to_string(w.startUs) + ".m4s");
        engine.sendLine(EngineProcess::request(
            id, "render.segment",
            R"({"key":"k)" + std::to_string(id) + R"(","variant":"after","track":"audio","outStartUs":)" +
                std::to_string(w.startUs) + R"(,"outEndUs":)" + std::to_string(w.endUs) + R"(,"outPath":")" +
                seg.string() + R"(","plan":)" + plan + R"(,"sources":)" + sourcesJSON() + "}"));
        auto response = engine.responseFor(id);
        ASSERT_TRUE(response);
        const JSONValue& r = resultOf(*response);
        EXPECT_EQ(r.member("key")->stringValue(), "k" + std::to_string(id));
        EXPECT_EQ(r.member("firstPtsUs")->intValue(), 0);
        EXPECT_EQ(r.member("durationUs")->intValue(), w.endUs - w.startUs);
        EXPECT_EQ(r.member("cached")->boolValue(), false);
        EXPECT_EQ(r.member("copied"), nullptr);
        EXPECT_EQ(r.member("byteLength")->intValue(), static_cast<int64_t>(fs::file_size(seg)));
        ++id;

        // Every packet decoded as stored, then the edit list's skip dropped by hand.
        const int64_t start = w.startUs * 48 / 1000, end = w.endUs * 48 / 1000;
        const int64_t ds = start + 2112;
        const int64_t first = ds < 2048 ? 0 : ds / 1024 - 1;
        const int64_t skip = ds - first * 1024;
        const auto decoded = decodeWithTool(seg, 1, "-ignore_editlist 1");
        ASSERT_GE(static_cast<int64_t>(decoded.size()), skip + (end - start)) << w.startUs;
        auto correlation = [&](int64_t lag) {
            double xy = 0, xx = 0, yy = 0;
            for (int64_t i = 2000; i < end - start - 2000; ++i) {
                const double x = mix[static_cast<size_t>(start + i)];
                const double y = decoded[static_cast<size_t>(skip + i + lag)];
                xy += x * y;
                xx += x * x;
                yy += y * y;
            }
            return xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
        };
        int64_t best = 0;
        for (int64_t lag = -64; lag <= 64; ++lag)
            if (correlation(lag) > correlation(best)) best = lag;
        EXPECT_EQ(best, 0) << w.startUs;
        EXPECT_GT(correlation(0), 0.95) << w.startUs;
    }

    engine.sendLine(EngineProcess::request(
        id, "render.segment",
        R"({"key":"late","variant":"after","track":"audio","outStartUs":9000000,"outEndUs":10000000,"outPath":")" +
            (folder / "late.m4s").string() + R"(","plan":)" + plan + R"(,"sources":)" + sourcesJSON() + "}"));
    auto late = engine.responseFor(id);
    ASSERT_TRUE(late && late->member("error"));
    EXPECT_EQ(late->member("error")->member("message")->stringValue(), "This audio segment lies past the end of the plan.");
    EXPECT_FALSE(fs::exists(folder / "late.m4s"));
}

TEST(AudioSegments, AnUntouchedVoiceIsCopiedForBothVariants) {
    const fs::path folder = korvel::testing::freshFolder("audio-copied");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const int64_t duration = 3'000'000;
    const std::string plan = planJSON(track("v", "voice", voiceSource(), 0, duration, 0, duration), "null", duration);
    int64_t id = 1;
    for (const char* variant : {"after", "before"}) {
        const fs::path seg = folder / (std::string(variant) + ".m4s");
        engine.sendLine(EngineProcess::request(
            id, "render.segment",
            R"({"key":"c","variant":")" + std::string(variant) +
                R"(","track":"audio","outStartUs":1000000,"outEndUs":2000000,"outPath":")" + seg.string() +
                R"(","plan":)" + plan + R"(,"sources":)" + sourcesJSON() + "}"));
        auto response = engine.responseFor(id++);
        ASSERT_TRUE(response);
        const JSONValue& r = resultOf(*response);
        EXPECT_EQ(r.member("copied")->boolValue(), true) << variant;
        EXPECT_EQ(r.member("cached")->boolValue(), false);
        EXPECT_EQ(r.member("byteLength")->intValue(), static_cast<int64_t>(fs::file_size(seg)));
        EXPECT_GE(decodeWithTool(seg, 1).size(), 48'000u) << variant;
        EXPECT_EQ(r.member("frameCount")->intValue(), 50);
    }
}

#endif
