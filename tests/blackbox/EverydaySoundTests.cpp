// The sound kinds of everyday sources through the real engine, each held
// against an independent meter on ffmpeg's own decode of the same file:
// loudness by libebur128, silence where the sound has it, the waveform's
// peaks, and no lag (the engine's decode taken from an audio.mix of the
// source). Also what earlier builds left in the cache, and a source with a
// sample that is not a number.

#include "EngineProcess.hpp"
#include "tests/support/EverydayMedia.hpp"
#include "tests/support/Shell.hpp"
#include "tests/support/WavHeader.hpp"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

using namespace korvel;
using namespace korvel::testing;
namespace fs = std::filesystem;

namespace {

const fs::path& mediaFolder() {
    static const fs::path folder = freshFolder("everyday-media");
    return folder;
}

std::string sourceJSON(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) + R"("})";
}

std::string analysisParams(const fs::path& file, const std::string& kind) {
    return R"({"assetId":"a","source":)" + sourceJSON(file) + R"(,"kind":")" + kind + R"("})";
}

// One voice track playing the whole source from its start.
std::string planOf(int64_t durationUs, const std::string& gain = "[]", const std::string& targetLufs = "null") {
    const std::string d = std::to_string(durationUs);
    return R"({"version":1,"canvas":{"format":"vertical","width":1080,"height":1920,"fps":{"num":30,"den":1}},)"
           R"("segments":[],"videoOverlays":[],"textItems":[],"colorStack":[],"background":null,)"
           R"("timeMap":{"entries":[]},"textEntrances":{},"assetContent":{},"durationUs":)" + d +
           R"(,"audioMix":{"targetLufs":)" + targetLufs + R"(,"truePeakDb":-1,"tracks":[{"id":"v","role":"voice","assetId":"a",)"
           R"("generated":null,"srcStartUs":0,"srcEndUs":)" + d + R"(,"outStartUs":0,"outEndUs":)" + d +
           R"(,"speed":1.0,"gain":)" + gain + R"(,"isolation":null}]}})";
}

JSONValue answerOf(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto response = engine.responseFor(id);
    EXPECT_TRUE(response) << engine.stderrText();
    return response ? *response : JSONValue();
}

// A wire number, whole or not; NaN for anything else.
double number(const JSONValue* value) {
    if (!value) return std::numeric_limits<double>::quiet_NaN();
    if (auto d = value->doubleValue()) return *d;
    if (auto i = value->intValue()) return static_cast<double>(*i);
    return std::numeric_limits<double>::quiet_NaN();
}

std::string errorText(const JSONValue& answer) {
    const JSONValue* e = answer.member("error");
    return e ? e->canonical() : std::string();
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
            std::vector<float> out(std::min<size_t>(size, bytes.size() - at - 8) / 4);
            std::memcpy(out.data(), bytes.data() + at + 8, out.size() * 4);
            return out;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

double integratedLufs(const std::vector<float>& stereo) {
    ebur128_state* state = ebur128_init(2, 48000, EBUR128_MODE_I);
    ebur128_add_frames_float(state, stereo.data(), stereo.size() / 2);
    double lufs = 0;
    ebur128_loudness_global(state, &lufs);
    ebur128_destroy(&state);
    return lufs;
}

class EverydaySounds : public ::testing::TestWithParam<EverydaySource> {};

} // namespace

TEST_P(EverydaySounds, EveryKindAgreesWithAnIndependentMeterAndTheSoundHasNoLag) {
    const EverydaySource& source = GetParam();
    const auto file = everydayFile(source, mediaFolder());
    ASSERT_TRUE(file) << source.name;
    const ToolDecode tool = decodedByFFmpeg(*file);
    ASSERT_GT(tool.frames(), 0);
    const fs::path folder = freshFolder("everyday-" + source.name);
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});

    const JSONValue silences = answerOf(engine, 1, "analysis.run", analysisParams(*file, "silences"));
    const JSONValue* s = silences.member("result");
    ASSERT_TRUE(s) << errorText(silences);
    const auto& runs = *s->member("runs")->arrayPtr();
    bool found = false;
    for (const JSONValue& run : runs) {
        const int64_t start = *run.member("startUs")->intValue(), end = *run.member("endUs")->intValue();
        if (start < EverydaySound::silentToUs && end > EverydaySound::silentFromUs) {
            found = true;
            EXPECT_NEAR(static_cast<double>(start), EverydaySound::silentFromUs, 60'000) << s->canonical();
            EXPECT_NEAR(static_cast<double>(end), EverydaySound::silentToUs, 60'000) << s->canonical();
        } else {
            // No other stretch of the chirp is silent.
            EXPECT_GE(start, EverydaySound::durationUs - 60'000) << s->canonical();
        }
    }
    EXPECT_TRUE(found) << s->canonical();

    const JSONValue waveform = answerOf(engine, 2, "analysis.run", analysisParams(*file, "waveform"));
    const JSONValue* w = waveform.member("result");
    ASSERT_TRUE(w) << errorText(waveform);
    EXPECT_EQ(*w->member("bucketUs"), JSONValue(10000));
    const auto& peaks = *w->member("peaks")->arrayPtr();
    EXPECT_NEAR(static_cast<double>(peaks.size()), 400, 6);
    // The chirp's peak is 0.3 on the left and 0.24 on the right: 0.27 folded.
    const double sounding = source.channels == 2 ? 0.27 : 0.3;
    for (size_t i = 10; i < peaks.size() && i < 390; ++i) {
        const double peak = number(&peaks[i]);
        if (i >= 155 && i < 245) {
            EXPECT_LT(peak, 0.01) << i;
        } else if (i < 145 || i >= 255) {
            EXPECT_NEAR(peak, sounding, 0.06) << i;
        }
    }

    // A movie's voice is heard in both ears; a sound file's channels as they are.
    std::vector<float> heard;
    if (source.picture) {
        for (float x : tool.mono()) heard.insert(heard.end(), {x, x});
    } else {
        heard = tool.stereo();
    }
    const JSONValue loudness = answerOf(engine, 3, "analysis.run", analysisParams(*file, "loudness"));
    const JSONValue* l = loudness.member("result");
    ASSERT_TRUE(l) << errorText(loudness);
    EXPECT_NEAR(number(l->member("integratedLufs")), integratedLufs(heard), 0.3);

    // The engine's own decode, as the mix plays it, starts where ffmpeg's does.
    const fs::path mix = folder / "mix.wav";
    const JSONValue mixed = answerOf(engine, 4, "audio.mix",
                                     R"({"outPath":")" + mix.string() + R"(","plan":)" +
                                         planOf(EverydaySound::durationUs) + R"(,"sources":{"a":)" + sourceJSON(*file) +
                                         "}}");
    ASSERT_TRUE(mixed.member("result")) << errorText(mixed);
    // The mix is stereo; its left channel is the voice.
    const std::vector<float> both = wavSamples(mix);
    ASSERT_EQ(both.size(), 2 * 192'000u);
    std::vector<float> ours;
    for (size_t i = 0; i < both.size(); i += 2) ours.push_back(both[i]);
    EXPECT_EQ(bestLag(ours, tool.mono(), 4800, 4800 + 48000, 2048), 0);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sources, EverydaySounds, ::testing::ValuesIn(everydaySources()),
                         [](const auto& info) { return info.param.name; });

TEST(EverydaySoundCache, RecordsOfEarlierBuildsAreMeasuredAgainOnceAndNewOnesKept) {
    const EverydaySource& movie = everydaySources().front();
    const auto file = everydayFile(movie, mediaFolder());
    ASSERT_TRUE(file);
    const fs::path cache = fs::path(freshFolder("everyday-stale")) / "cache";
    // What the faulty build answered for a 48 kHz AAC movie, stored under the
    // fingerprints this build asks for.
    std::map<std::string, std::string> fingerprints;
    {
        EngineProcess engine({"--cache-dir", cache.string()});
        for (const char* kind : {"silences", "waveform", "loudness"}) {
            const JSONValue r = answerOf(engine, 1, "analysis.run", analysisParams(*file, kind));
            ASSERT_TRUE(r.member("result")) << errorText(r);
            fingerprints[kind] = *r.member("result")->member("fingerprint")->stringValue();
        }
        engine.closeInput();
        ASSERT_EQ(engine.wait(), 0);
    }
    const std::string hash = sha256sum(*file);
    auto stale = [&](const std::string& kind) {
        const std::string& fp = fingerprints[kind];
        std::string body = R"({"kind":")" + kind + R"(","assetId":"a","contentHash":")" + hash +
                           R"(","fingerprint":")" + fp + R"(","engineVersion":"0.1.0",)";
        if (kind == "silences")
            body += R"("measurement":{"windowUs":10000,"floorDb":-120,"voiceDb":-120,"thresholdDb":-90,)"
                    R"("lowSeparation":true},"runs":[]})";
        else if (kind == "waveform") body += R"("bucketUs":10000,"peaks":[]})";
        else body += R"("integratedLufs":-70,"truePeakDb":-120,"phrases":[]})";
        std::ofstream(cache / "analysis" / (fp + ".json")) << body;
    };
    for (const auto& [kind, fp] : fingerprints) stale(kind);
    fs::remove(cache / "analysis" / "sound-records-swept");

    {
        // The first start over that cache sweeps them; known answers null, run measures.
        EngineProcess engine({"--cache-dir", cache.string()});
        const JSONValue known = answerOf(engine, 1, "analysis.known", analysisParams(*file, "waveform"));
        ASSERT_TRUE(known.member("result")) << errorText(known);
        EXPECT_TRUE(known.member("result")->member("analysis")->isNull());
        const JSONValue loudness = answerOf(engine, 2, "analysis.run", analysisParams(*file, "loudness"));
        ASSERT_TRUE(loudness.member("result")) << errorText(loudness);
        EXPECT_GT(number(loudness.member("result")->member("integratedLufs")), -40);
        engine.closeInput();
        ASSERT_EQ(engine.wait(), 0);
    }
    EXPECT_TRUE(fs::is_regular_file(cache / "analysis" / "sound-records-swept"));
    // Later starts keep what this build stored.
    const auto stored = fs::last_write_time(cache / "analysis" / (fingerprints["waveform"] + ".json"));
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue known = answerOf(engine, 1, "analysis.known", analysisParams(*file, "waveform"));
    ASSERT_TRUE(known.member("result")) << errorText(known);
    const JSONValue* analysis = known.member("result")->member("analysis");
    ASSERT_TRUE(analysis->isObject());
    EXPECT_GT(analysis->member("peaks")->arrayPtr()->size(), 300u);
    EXPECT_EQ(fs::last_write_time(cache / "analysis" / (fingerprints["waveform"] + ".json")), stored);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(EverydaySoundCache, ASampleThatIsNotANumberIsSilenceInMixesSegmentsAndAnalyses) {
    const fs::path folder = freshFolder("everyday-nan");
    // A float WAV written by hand: one NaN and one infinity in a 440 Hz tone.
    std::vector<float> samples(96'000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(2 * 3.14159265f * 440 * float(i) / 48000);
    samples[30'000] = std::numeric_limits<float>::quiet_NaN();
    samples[60'000] = std::numeric_limits<float>::infinity();
    const fs::path wav = folder / "tone.wav";
    {
        std::ofstream out(wav, std::ios::binary);
        auto u32 = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
        auto u16 = [&](uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
        out.write("RIFF", 4);
        u32(36 + 4 * static_cast<uint32_t>(samples.size()));
        out.write("WAVEfmt ", 8);
        u32(16);
        for (uint16_t v : {3, 1}) u16(v);
        u32(48000);
        u32(192000);
        for (uint16_t v : {4, 32}) u16(v);
        out.write("data", 4);
        u32(4 * static_cast<uint32_t>(samples.size()));
        out.write(reinterpret_cast<const char*>(samples.data()), static_cast<std::streamsize>(samples.size() * 4));
    }
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string plan = planOf(2'000'000, R"([{"outUs":0,"gainDb":-3}])");
    const std::string sources = R"({"a":)" + sourceJSON(wav) + "}";
    const JSONValue mixed = answerOf(engine, 1, "audio.mix",
                                     R"({"outPath":")" + (folder / "mix.wav").string() + R"(","plan":)" + plan +
                                         R"(,"sources":)" + sources + "}");
    ASSERT_TRUE(mixed.member("result")) << errorText(mixed);
    const auto mix = wavSamples(folder / "mix.wav");
    ASSERT_EQ(mix.size(), 2 * 96'000u);
    for (float x : mix) ASSERT_TRUE(std::isfinite(x));
    EXPECT_EQ(mix[2 * 30'000], 0.0f);
    EXPECT_EQ(mix[2 * 60'000 + 1], 0.0f);

    const fs::path segment = folder / "seg.m4s";
    const JSONValue cut = answerOf(
        engine, 2, "render.segment",
        R"({"key":")" + std::string(64, 'a') + R"(","variant":"after","track":"audio","outStartUs":0,"outEndUs":1000000,)"
        R"("outPath":")" + segment.string() + R"(","plan":)" + plan + R"(,"sources":)" + sources + "}");
    ASSERT_TRUE(cut.member("result")) << errorText(cut);
    EXPECT_EQ(*cut.member("result")->member("byteLength")->intValue(), static_cast<int64_t>(fs::file_size(segment)));

    const JSONValue loudness = answerOf(engine, 3, "analysis.run", analysisParams(wav, "loudness"));
    ASSERT_TRUE(loudness.member("result")) << errorText(loudness);
    std::vector<float> heard;
    for (size_t i = 0; i < samples.size(); ++i) {
        const float x = std::isfinite(samples[i]) ? samples[i] : 0.0f;
        heard.insert(heard.end(), {x, x});
    }
    EXPECT_NEAR(number(loudness.member("result")->member("integratedLufs")), integratedLufs(heard), 0.1);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

namespace {

std::string mixRequest(const fs::path& out, const fs::path& file, int64_t durationUs,
                       const std::string& targetLufs = "null") {
    return R"({"outPath":")" + out.string() + R"(","plan":)" + planOf(durationUs, "[]", targetLufs) +
           R"(,"sources":{"a":)" +
           sourceJSON(file) + "}}";
}

std::string segmentRequest(const fs::path& out, const fs::path& file, int64_t durationUs) {
    return R"({"key":")" + std::string(64, 'b') +
           R"(","variant":"after","track":"audio","outStartUs":0,"outEndUs":1000000,"outPath":")" + out.string() +
           R"(","plan":)" + planOf(durationUs) + R"(,"sources":{"a":)" + sourceJSON(file) + "}}";
}

// Every number in the value is finite.
bool finiteThroughout(const JSONValue& value) {
    if (auto d = value.doubleValue()) return std::isfinite(*d);
    if (const auto* array = value.arrayPtr()) {
        for (const JSONValue& v : *array)
            if (!finiteThroughout(v)) return false;
    }
    if (const auto* object = value.objectPtr()) {
        for (const auto& [key, member] : *object)
            if (!finiteThroughout(member)) return false;
    }
    return true;
}

// A field of /proc/<pid>/status in kB.
int64_t statusKB(int pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::atoll(line.c_str() + field.size() + 1);
    return -1;
}

void make(const std::string& command) { ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y " + command)) << command; }

} // namespace

TEST(OddSoundFiles, ALayoutChangeMidFilePlaysOnInEveryRoad) {
    const fs::path folder = freshFolder("everyday-joined");
    const std::string stereo = "-f lavfi -i \"aevalsrc='0.3*sin(2*PI*440*t)|0.24*sin(2*PI*440*t)':s=48000:d=1\"";
    const std::string mono = "-f lavfi -i \"aevalsrc='0.3*sin(2*PI*660*t)':s=48000:d=1\"";
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 1;
    for (const auto& [extension, options] : std::vector<std::pair<std::string, std::string>>{
             {"aac", "-c:a aac -f adts"}, {"mp3", "-c:a libmp3lame -b:a 128k"}, {"flac", "-c:a flac"}}) {
        const fs::path a = folder / ("stereo." + extension), b = folder / ("mono." + extension);
        const fs::path joined = folder / ("joined." + extension);
        make(stereo + " " + options + " '" + a.string() + "'");
        make(mono + " " + options + " '" + b.string() + "'");
        ASSERT_TRUE(runCommand("cat '" + a.string() + "' '" + b.string() + "' > '" + joined.string() + "'"));
        for (const char* kind : {"silences", "waveform", "loudness"}) {
            const JSONValue r = answerOf(engine, id++, "analysis.run", analysisParams(joined, kind));
            ASSERT_TRUE(r.member("result")) << extension << " " << kind << ": " << errorText(r) << engine.stderrText();
        }
        const fs::path mix = folder / ("mix-" + extension + ".wav");
        const JSONValue mixed = answerOf(engine, id++, "audio.mix", mixRequest(mix, joined, 2'000'000));
        ASSERT_TRUE(mixed.member("result")) << extension << ": " << errorText(mixed);
        // The voice goes on through the second, mono half.
        const std::vector<float> both = wavSamples(mix);
        ASSERT_EQ(both.size(), 2 * 96'000u);
        double sum = 0;
        for (size_t i = 2 * 60'000; i < 2 * 90'000; i += 2) sum += double(both[i]) * both[i];
        EXPECT_GT(std::sqrt(sum / 30'000), 0.05) << extension;
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(OddSoundFiles, HugeSamplesGiveFiniteAnswersAndAMixUnderItsCeiling) {
    const fs::path folder = freshFolder("everyday-huge");
    std::vector<float> samples(96'000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(2 * 3.14159265f * 440 * float(i) / 48000);
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 1;
    for (float loud : {1e30f, 1e20f}) {
        std::vector<float> poisoned = samples;
        // A tenth of a second of them, and single ones.
        std::fill(poisoned.begin() + 20'000, poisoned.begin() + 24'800, loud);
        for (size_t at : {50'000u, 70'000u}) poisoned[at] = -loud;
        const fs::path wav = folder / ("loud-" + std::to_string(int(std::log10(loud))) + ".wav");
        writeHandWav(wav, 48000, 1, poisoned, WavSamples::float32);
        for (const char* kind : {"silences", "waveform", "loudness"}) {
            const JSONValue r = answerOf(engine, id++, "analysis.run", analysisParams(wav, kind));
            ASSERT_TRUE(r.member("result")) << loud << " " << kind << ": " << errorText(r);
            EXPECT_TRUE(finiteThroughout(*r.member("result"))) << r.member("result")->canonical();
        }
        const fs::path mix = folder / "mix.wav";
        const JSONValue mixed = answerOf(engine, id++, "audio.mix", mixRequest(mix, wav, 2'000'000, "-16"));
        ASSERT_TRUE(mixed.member("result")) << loud << ": " << errorText(mixed);
        float peak = 0;
        for (float x : wavSamples(mix)) peak = std::max(peak, std::isfinite(x) ? std::fabs(x) : INFINITY);
        // The plan's true-peak ceiling is -1 dB.
        EXPECT_LE(peak, 0.8913f);
        const fs::path segment = folder / "seg.m4s";
        const JSONValue cut = answerOf(engine, id++, "render.segment", segmentRequest(segment, wav, 2'000'000));
        ASSERT_TRUE(cut.member("result")) << loud << ": " << errorText(cut);
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(OddSoundFiles, RatesFarFromRealSoundAreRefusedAtLittleCost) {
    const fs::path folder = freshFolder("everyday-rates");
    std::vector<float> samples(4800);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * std::sin(0.05f * float(i));
    std::vector<fs::path> files;
    for (uint32_t rate : {1u, 128u, 1000u}) {
        files.push_back(folder / ("rate-" + std::to_string(rate) + ".wav"));
        writeHandWav(files.back(), rate, 1, samples, WavSamples::int16);
    }
    // A FLAC whose STREAMINFO says 1 Hz: the 20 bits after the block and frame sizes.
    const fs::path flac = folder / "rate.flac";
    make("-f lavfi -i sine=f=440:sample_rate=8000:d=1 -c:a flac '" + flac.string() + "'");
    {
        std::ifstream in(flac, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), {});
        ASSERT_EQ(bytes.substr(0, 4), "fLaC");
        bytes[18] = 0;
        bytes[19] = 0;
        bytes[20] = char(0x10 | (uint8_t(bytes[20]) & 0xF));
        files.push_back(folder / "rate-1.flac");
        std::ofstream(files.back(), std::ios::binary) << bytes;
    }
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 1;
    for (const fs::path& file : files) {
        std::vector<JSONValue> answers;
        for (const char* kind : {"waveform", "silences"})
            answers.push_back(answerOf(engine, id++, "analysis.run", analysisParams(file, kind)));
        answers.push_back(answerOf(engine, id++, "audio.mix", mixRequest(folder / "mix.wav", file, 2'000'000)));
        for (const JSONValue& answer : answers) {
            EXPECT_EQ(errorText(answer), R"({"code":-32002,"message":"This audio track cannot be read."})")
                << file.filename() << ": " << answer.canonical();
        }
    }
    // Refused before any work: the engine never held more than a small working set.
    EXPECT_LT(statusKB(engine.pid(), "VmHWM"), 400 * 1024);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(OddSoundFiles, SoundPlacedPastTheEndOfTheFileIsDamagedOnEveryRoad) {
    const fs::path folder = freshFolder("everyday-past");
    const fs::path whole = folder / "whole.m4a";
    make("-f lavfi -i sine=f=440:sample_rate=48000:d=2 -c:a aac -movflags +faststart '" + whole.string() + "'");
    std::ifstream in(whole, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    // Every chunk offset moved 10 MB on, past the end of the file.
    const size_t stco = bytes.find("stco");
    ASSERT_NE(stco, std::string::npos);
    auto be32 = [&](size_t at) {
        return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
               uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3]));
    };
    for (uint32_t i = 0, n = be32(stco + 8); i < n; ++i) {
        const size_t at = stco + 12 + 4 * i;
        const uint32_t v = be32(at) + 10'000'000;
        for (int k = 0; k < 4; ++k) bytes[at + k] = char(v >> (24 - 8 * k));
    }
    const fs::path past = folder / "past.m4a";
    std::ofstream(past, std::ios::binary) << bytes;

    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string expected = R"({"code":-32002,"message":"past.m4a is cut short or damaged, so its end can't be read."})";
    const JSONValue cut = answerOf(engine, 1, "render.segment", segmentRequest(folder / "seg.m4s", past, 2'000'000));
    EXPECT_EQ(errorText(cut), expected);
    int64_t id = 2;
    for (const char* kind : {"silences", "waveform", "loudness"})
        EXPECT_EQ(errorText(answerOf(engine, id++, "analysis.run", analysisParams(past, kind))), expected) << kind;
    EXPECT_EQ(errorText(answerOf(engine, id++, "audio.mix", mixRequest(folder / "mix.wav", past, 2'000'000))), expected);
    EXPECT_FALSE(fs::exists(folder / "mix.wav"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
