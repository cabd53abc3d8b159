// analysis.run and analysis.known as the editor sees them: JSON-RPC lines to
// the real engine, sound and pictures made with the ffmpeg tool.

#include "EngineProcess.hpp"
#include "Core/Analysis/Fingerprint.hpp"
#include "tests/support/Shell.hpp"

#include <cstring>
#include <functional>
#include <sys/stat.h>
#include <ebur128.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

void make(const std::string& command) { ASSERT_TRUE(runCommand(command)) << command; }

struct Sounds {
    fs::path folder, gapped, speech, movie, silent;
    Sounds() {
        folder = korvel::testing::freshFolder("analysis-sounds");
        // 1 s of a 1 kHz tone at half scale, 1 s of digital silence, 1 s of tone:
        // float samples at 48 kHz, so the engine reads them exactly.
        gapped = folder / "gapped.wav";
        make("ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc='if(between(t,1,2),0,0.5*sin(2*PI*1000*t))':s=48000:d=3\" "
             "-c:a pcm_f32le '" + gapped.string() + "'");
        // Phrases of changing loudness with pauses.
        speech = folder / "phrases.wav";
        make("ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc='(0.05+0.3*mod(floor(t/1.5),3))*sin(2*PI*330*t)*"
             "gt(mod(t,1.5),0.4)':s=48000:d=9\" -c:a pcm_f32le '" + speech.string() + "'");
        movie = folder / "clip.mp4";
        make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25:duration=2 -f lavfi -i "
             "sine=f=440:d=2 -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest '" + movie.string() + "'");
        silent = folder / "silent.mp4";
        make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=160x120:rate=25:duration=1 -c:v libx264 "
             "-pix_fmt yuv420p '" + silent.string() + "'");
    }
};

const Sounds& sounds() {
    static Sounds s;
    return s;
}

std::string analysisParams(const std::string& assetId, const fs::path& file, const std::string& kind,
                           const std::string& extra = "", const std::string& hash = "") {
    return R"({"assetId":")" + assetId + R"(","source":{"path":")" + file.string() + R"(","contentHash":")" +
           (hash.empty() ? sha256sum(file) : hash) + R"("},"kind":")" + kind + "\"" + extra + "}";
}

JSONValue resultOf(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params,
                   std::vector<JSONValue>* progress = nullptr) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto response = engine.responseFor(id, progress);
    EXPECT_TRUE(response) << engine.stderrText();
    if (!response) return {};
    if (const JSONValue* r = response->member("result")) return *r;
    ADD_FAILURE() << response->canonical();
    return {};
}

JSONValue errorOf(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto response = engine.responseFor(id);
    EXPECT_TRUE(response);
    if (!response) return {};
    const JSONValue* e = response->member("error");
    return e ? *e : JSONValue();
}

std::vector<float> wavSamples(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        uint32_t size;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (id == "data") {
            std::vector<float> out(size / 4);
            std::memcpy(out.data(), bytes.data() + at + 8, out.size() * 4);
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

} // namespace

TEST(AnalysisMethods, SilencesAndWaveformOfAToneWithAGap) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("analysis-gap")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue silences = resultOf(engine, 1, "analysis.run", analysisParams("a1", sounds().gapped, "silences"));
    // Voiced windows all read 10·log10(0.125); the gap is digital silence.
    EXPECT_EQ(silences.member("measurement")->canonical(),
              R"({"floorDb":-9.03,"lowSeparation":true,"thresholdDb":-15.03,"voiceDb":-9.03,"windowUs":10000})");
    EXPECT_EQ(silences.member("runs")->canonical(), R"([{"endUs":2000000,"meanDb":-120,"startUs":1000000}])");
    EXPECT_EQ(*silences.member("assetId"), JSONValue("a1"));
    EXPECT_EQ(*silences.member("engineVersion"), JSONValue("0.1.0"));

    const JSONValue waveform = resultOf(engine, 2, "analysis.run", analysisParams("a2", sounds().gapped, "waveform"));
    EXPECT_EQ(*waveform.member("bucketUs"), JSONValue(10000));
    const auto& peaks = *waveform.member("peaks")->arrayPtr();
    ASSERT_EQ(peaks.size(), 300u);
    for (size_t i = 0; i < peaks.size(); ++i)
        EXPECT_EQ(peaks[i], (i >= 100 && i < 200) ? JSONValue(0) : JSONValue(0.5)) << i;
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AnalysisMethods, LoudnessAgreesWithLibebur128) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("analysis-loudness")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue loudness = resultOf(engine, 1, "analysis.run", analysisParams("a", sounds().speech, "loudness"));
    const auto samples = wavSamples(sounds().speech);
    ASSERT_FALSE(samples.empty());
    // A file without a picture is heard with its channels as they are: mono in both.
    ebur128_state* state = ebur128_init(2, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> stereo;
    for (float s : samples) {
        stereo.push_back(s);
        stereo.push_back(s);
    }
    ebur128_add_frames_float(state, stereo.data(), samples.size());
    double reference = 0;
    ebur128_loudness_global(state, &reference);
    ebur128_destroy(&state);
    EXPECT_NEAR(loudness.member("integratedLufs")->doubleValue().value_or(0), reference, 0.1);
    EXPECT_GE(loudness.member("phrases")->arrayPtr()->size(), 3u);
    for (const JSONValue& phrase : *loudness.member("phrases")->arrayPtr()) EXPECT_TRUE(phrase.member("gainDb"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AnalysisMethods, TheCacheAnswersRepeatsAndSurvivesItsSource) {
    const fs::path folder = korvel::testing::freshFolder("analysis-cache");
    const fs::path cache = folder / "cache";
    const fs::path movie = folder / "clip.mp4";
    fs::copy_file(sounds().movie, movie);
    const std::string hash = sha256sum(movie);
    {
        EngineProcess engine({"--cache-dir", cache.string()});
        // Unknown until measured; a waveform run of a movie leaves all three sound records.
        EXPECT_TRUE(resultOf(engine, 1, "analysis.known", analysisParams("a", movie, "silences")).member("analysis")->isNull());
        std::vector<JSONValue> progress;
        resultOf(engine, 2, "analysis.run", analysisParams("a", movie, "waveform"), &progress);
        EXPECT_FALSE(progress.empty());
        // Three records beside the stamp of the one-time sound sweep.
        EXPECT_EQ(std::distance(fs::directory_iterator(cache / "analysis"), fs::directory_iterator()), 4);
        EXPECT_TRUE(fs::is_regular_file(cache / "analysis" / "sound-records-swept"));
        engine.closeInput();
        EXPECT_EQ(engine.wait(), 0);
    }
    fs::remove(movie);
    EngineProcess engine({"--cache-dir", cache.string()});
    std::vector<JSONValue> progress;
    const JSONValue loudness =
        resultOf(engine, 3, "analysis.run", analysisParams("b", movie, "loudness", "", hash), &progress);
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(*loudness.member("assetId"), JSONValue("b"));
    const JSONValue known = resultOf(engine, 4, "analysis.known", analysisParams("c", movie, "silences", "", hash));
    EXPECT_EQ(*known.member("analysis")->member("assetId"), JSONValue("c"));
    // Loudness as music is another record, and the source is gone.
    EXPECT_EQ(*errorOf(engine, 5, "analysis.run", analysisParams("b", movie, "loudness", R"(,"heardAs":"music")", hash))
                   .member("code"),
              JSONValue(-32001));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AnalysisMethods, RefusalsAndTheirOrder) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("analysis-refusals")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const std::string other(64, '0');
    struct Case {
        std::string params;
        int64_t code;
        std::string message;
    };
    const Case cases[] = {
        {R"({"assetId":"a","kind":"silences"})", -32602, "Params do not match the contract: "},
        {analysisParams("a", sounds().gapped, "matte"), -32602, "The matte has its own method: matte.build."},
        {analysisParams("a", sounds().gapped, "sparkles"), -32602, "Unknown analysis: sparkles."},
        {analysisParams("a", sounds().gapped, "sparkles", "", other), -32001, "gapped.wav changed since it was imported."},
        {analysisParams("a", sounds().silent, "silences"), -32602, "This file has no audio track."},
    };
    int64_t id = 1;
    for (const Case& c : cases) {
        const JSONValue error = errorOf(engine, id++, "analysis.run", c.params);
        EXPECT_EQ(*error.member("code"), JSONValue(c.code)) << c.params;
        EXPECT_EQ(error.member("message")->stringPtr()->substr(0, c.message.size()), c.message);
    }
    EXPECT_TRUE(resultOf(engine, id++, "analysis.known", analysisParams("a", sounds().gapped, "matte"))
                    .member("analysis")->isNull());
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AnalysisMethods, IsolationPeaksOfTheVoiceAndItsKeptSound) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("analysis-isolation")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue voice = resultOf(engine, 1, "analysis.run", analysisParams("a", sounds().speech, "isolation"));
    EXPECT_EQ(*voice.member("kind"), JSONValue("isolation"));
    EXPECT_EQ(*voice.member("bucketUs"), JSONValue(10000));
    EXPECT_EQ(voice.member("peaks")->arrayPtr()->size(), 900u);
    for (const JSONValue& p : *voice.member("peaks")->arrayPtr()) {
        const double v = p.doubleValue().value_or(static_cast<double>(p.intValue().value_or(-1)));
        EXPECT_GE(v, 0);
        EXPECT_LE(v, 1);
    }
    size_t kept = 0;
    for (const auto& item : fs::directory_iterator(cache / "analysis" / "isolation")) kept += item.path().extension() == ".wav";
    EXPECT_EQ(kept, 1u);
    const JSONValue known = resultOf(engine, 2, "analysis.known", analysisParams("b", sounds().speech, "isolation"));
    EXPECT_EQ(*known.member("analysis")->member("peaks"), *voice.member("peaks"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// Whatever stands where a record goes is read only when it is a regular file
// of a record's size: anything else is a miss that is answered at once,
// measured again and, where a file can be replaced, replaced.
TEST(AnalysisMethods, HostileRecordsAreMissesAndAreReplaced) {
    const fs::path folder = korvel::testing::freshFolder("analysis-hostile");
    const std::string params = analysisParams("a", sounds().gapped, "silences");
    std::string fingerprint, good;
    {
        EngineProcess engine({"--cache-dir", (folder / "first").string()});
        fingerprint = *resultOf(engine, 1, "analysis.run", params).member("fingerprint")->stringValue();
        std::ifstream in(folder / "first" / "analysis" / (fingerprint + ".json"));
        good.assign(std::istreambuf_iterator<char>(in), {});
        engine.closeInput();
        ASSERT_EQ(engine.wait(), 0);
    }
    ASSERT_FALSE(good.empty());
    const fs::path elsewhere = folder / "elsewhere.json";
    std::ofstream(elsewhere) << good;
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> place;
        bool replaced;
    };
    const Case cases[] = {
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, false},
        {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, true},
        {"a link to a good record", [&](const fs::path& p) { fs::create_symlink(elsewhere, p); }, true},
        {"a good record padded past 64 MiB",
         [&](const fs::path& p) { std::ofstream(p) << good << std::string((64 << 20) + 1, ' '); }, true},
        {"a damaged record", [&](const fs::path& p) { std::ofstream(p) << good.substr(0, good.size() / 2); }, true},
    };
    int64_t id = 1;
    for (const Case& c : cases) {
        const fs::path cache = folder / ("cache-" + std::to_string(id));
        const fs::path record = cache / "analysis" / (fingerprint + ".json");
        fs::create_directories(record.parent_path());
        c.place(record);
        EngineProcess engine({"--cache-dir", cache.string()});
        EXPECT_TRUE(resultOf(engine, ++id, "analysis.known", params).member("analysis")->isNull()) << c.what;
        EXPECT_EQ(*resultOf(engine, ++id, "analysis.run", params).member("fingerprint"), JSONValue(fingerprint)) << c.what;
        const JSONValue known = resultOf(engine, ++id, "analysis.known", params);
        EXPECT_EQ(known.member("analysis")->isNull(), !c.replaced) << c.what;
        if (c.replaced) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(record))) << c.what;
            EXPECT_LT(fs::file_size(record), 1u << 20) << c.what;
        }
        engine.closeInput();
        EXPECT_EQ(engine.wait(), 0) << c.what;
        fs::remove_all(cache);
    }
    EXPECT_EQ(fs::file_size(elsewhere), good.size());
}

// Whatever stands where the isolated voice is kept, the isolation is
// answered; a cache that can't take the voice costs a later request another
// isolation, not this one its answer.
TEST(AnalysisMethods, IsolationIsAnsweredWhateverStandsWhereItsVoiceGoes) {
    const fs::path folder = korvel::testing::freshFolder("analysis-isolation-hostile");
    const std::string voiceName = Fingerprint::of({"isolation", sha256sum(sounds().speech), "0.1.0"}) + ".wav";
    struct Case {
        const char* what;
        std::function<void(const fs::path& isolation)> place;
        bool kept;
    };
    const Case cases[] = {
        {"a file where the voices go", [](const fs::path& f) { std::ofstream(f) << "not a folder"; }, false},
        {"a FIFO for the voice",
         [&](const fs::path& f) {
             fs::create_directories(f);
             ASSERT_EQ(::mkfifo((f / voiceName).c_str(), 0644), 0);
         },
         false},
        {"a link to /dev/zero for the voice",
         [&](const fs::path& f) {
             fs::create_directories(f);
             fs::create_symlink("/dev/zero", f / voiceName);
         },
         true},
        {"a damaged voice",
         [&](const fs::path& f) {
             fs::create_directories(f);
             std::ofstream(f / voiceName) << "RIFF and nothing more";
         },
         true},
    };
    int64_t id = 0;
    for (const Case& c : cases) {
        const fs::path cache = folder / ("cache-" + std::to_string(id));
        fs::create_directories(cache / "analysis");
        c.place(cache / "analysis" / "isolation");
        EngineProcess engine({"--cache-dir", cache.string()});
        const JSONValue voice = resultOf(engine, ++id, "analysis.run", analysisParams("a", sounds().speech, "isolation"));
        ASSERT_TRUE(voice.member("peaks")) << c.what;
        EXPECT_EQ(voice.member("peaks")->arrayPtr()->size(), 900u) << c.what;
        const fs::path kept = cache / "analysis" / "isolation" / voiceName;
        EXPECT_EQ(fs::is_regular_file(fs::symlink_status(kept)), c.kept) << c.what;
        engine.closeInput();
        EXPECT_EQ(engine.wait(), 0) << c.what;
    }
}
