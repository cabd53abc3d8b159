// A file whose sound and picture start at different times on its clock,
// through the real engine: counter clips whose grey levels name their
// frames, with tone bursts ("clicks") starting in the middle of known frames. Wherever the sound is
// read (the mix, the silences, the waveform) a click lands on the frame
// the engine shows at that time, as a player lines the streams up.

#include "EngineProcess.hpp"
#include "tests/support/CounterVideo.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace korvel;
using namespace korvel::testing;
namespace fs = std::filesystem;
namespace counter = korvel::testing::CounterVideo;

namespace {

constexpr int side = 64;
constexpr int fps = 25;
constexpr int rate = 48000;
// One AAC frame: the encoder's priming and the click's smear stay within it.
constexpr int64_t toleranceFrames = 1024;
constexpr double clickEvery = 0.4;
constexpr double clickLength = 0.15;
// Clicks sit in the middle of a frame, so the frame they belong to is plain.
constexpr double clickAt = 0.5 / fps;

struct Case {
    const char* name;
    const char* file;
    // Where the sound's own time 0 lies on the picture's; a whole number of
    // frames, as ffmpeg places an input moved by -itsoffset.
    double soundStart;
    std::string videoOffset, audioOffset; // -itsoffset before each input
    std::string encode;
};

const Case cases[] = {
    {"sound starting 0.48 s after the picture in MPEG-TS", "late.ts", 0.48, "", "-itsoffset 0.48",
     "-c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac"},
    {"sound starting 0.28 s before the picture in Matroska", "early.mkv", -0.28, "-itsoffset 0.28", "",
     "-c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac"},
};

fs::path made(const fs::path& folder, const Case& c) {
    const fs::path out = folder / c.file;
    const std::string picture = "color=black:s=64x64:r=25:d=4," + counter::paint();
    const std::string clicks = "aevalsrc='0.5*lt(mod(t+" + std::to_string(clickEvery - clickAt) + "\\," +
                               std::to_string(clickEvery) + ")\\," + std::to_string(clickLength) +
                               ")*sin(2*PI*1000*t)':s=48000:d=4";
    EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y " + c.videoOffset + " -f lavfi -i \"" + picture + "\" " +
                           c.audioOffset + " -f lavfi -i \"" + clicks + "\" -map 0:v -map 1:a " + c.encode + " '" +
                           out.string() + "'"))
        << c.file;
    return out;
}

std::string source(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) + "\"}";
}

// The picture and its sound, both from the file's start.
std::string plan(int64_t durationUs) {
    const std::string d = std::to_string(durationUs);
    return R"({"version":1,"canvas":{"format":"horizontal","width":64,"height":64,"fps":{"num":25,"den":1}},)"
           R"("segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":)" + d + R"(,"outStartUs":0,"outEndUs":)" + d +
           R"(,"speed":1,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
           R"("videoOverlays":[],"textItems":[],"colorStack":[],"background":null,"audioMix":{"tracks":[{"id":"v",)"
           R"("role":"voice","assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":)" + d +
           R"(,"outStartUs":0,"outEndUs":)" + d + R"(,"speed":1.0,"gain":[],"isolation":null}],"targetLufs":null,)"
           R"("truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" + d + "}";
}

// The left channel of a float WAV.
std::vector<float> leftOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (bytes.compare(at, 4, "data") == 0) {
            std::vector<float> left;
            for (size_t i = at + 8; i + 8 <= bytes.size() && i + 8 <= at + 8 + size; i += 8) {
                float x;
                std::memcpy(&x, bytes.data() + i, 4);
                left.push_back(x);
            }
            return left;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// Where each click starts: a sample past a third of the click's level after
// a tenth of a second below it.
std::vector<int64_t> onsets(const std::vector<float>& sound) {
    std::vector<int64_t> out;
    int64_t quiet = rate;
    for (size_t i = 0; i < sound.size(); ++i) {
        if (std::fabs(sound[i]) > 0.16f) {
            if (quiet >= rate / 10) out.push_back(static_cast<int64_t>(i));
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return out;
}

// The frames of the picture whose middle a click sits in, shown before `durationUs`.
std::vector<int> clickedFrames(const Case& c, int64_t durationUs) {
    std::vector<int> out;
    for (int k = 0; k < 10; ++k) {
        const double at = c.soundStart + clickAt + k * clickEvery;
        const int frame = static_cast<int>(std::floor(at * fps));
        if (at > 0 && (frame + 1) * 1'000'000 / fps <= durationUs) out.push_back(frame);
    }
    return out;
}

int64_t sampleOf(int frame) { return (2 * frame + 1) * rate / (2 * fps); }

JSONValue result(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto r = engine.responseFor(id, nullptr, std::chrono::seconds(180));
    const JSONValue* value = r ? r->member("result") : nullptr;
    EXPECT_TRUE(value) << method << ": " << (r ? r->canonical() : "no answer");
    return value ? *value : JSONValue();
}

} // namespace

TEST(SoundWithPicture, ClicksLandOnTheirFramesWhereverTheSoundIsRead) {
    const fs::path folder = freshFolder("sound-with-picture");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 0;
    for (const Case& c : cases) {
        const fs::path file = made(folder, c);
        const JSONValue probed = result(engine, ++id, "asset.probe", R"({"path":")" + file.string() + "\"}");
        const JSONValue* duration = probed.member("durationUs");
        ASSERT_TRUE(duration && duration->intValue()) << c.name << ": " << probed.canonical();
        EXPECT_EQ(probed.member("firstPtsUs")->canonical(), "0") << c.name;
        // The picture's length, whole frames of it.
        const int64_t durationUs = std::min<int64_t>(*duration->intValue(), 4'000'000) / 40'000 * 40'000;
        const std::vector<int> frames = clickedFrames(c, durationUs);
        ASSERT_GE(frames.size(), 5u) << c.name;

        const fs::path mix = folder / "mix.wav";
        result(engine, ++id, "audio.mix",
               R"({"outPath":")" + mix.string() + R"(","plan":)" + plan(durationUs) + R"(,"sources":{"a":)" + source(file) +
                   "}}");
        const std::vector<int64_t> heard = onsets(leftOf(mix));
        ASSERT_EQ(heard.size(), frames.size()) << c.name;
        for (size_t k = 0; k < frames.size(); ++k) {
            EXPECT_NEAR(double(heard[k]), double(sampleOf(frames[k])), toleranceFrames)
                << c.name << ": click " << k << " heard at " << heard[k] << ", frame " << frames[k];
            // The engine's own picture at the time the click is heard.
            const fs::path still = folder / "frame.png";
            result(engine, ++id, "render.frame",
                   R"({"plan":)" + plan(durationUs) + R"(,"sources":{"a":)" + source(file) +
                       R"(},"variant":"after","atUs":)" + std::to_string(heard[k] * 1'000'000 / rate) +
                       R"(,"maxLongEdge":64,"outPath":")" + still.string() + "\"}");
            EXPECT_EQ(counter::shown(still, side, side), std::vector<int>{frames[k]}) << c.name << ": click " << k;
            fs::remove(still);
        }
        fs::remove(mix);

        // The analyses read the sound on the picture's times too: the
        // waveform's loudest buckets and the ends of the silences are the clicks.
        const std::string analysis = R"({"assetId":"a","source":)" + source(file) + R"(,"kind":")";
        const JSONValue waveform = result(engine, ++id, "analysis.run", analysis + "waveform\"}");
        const auto* peaks = waveform.member("peaks") ? waveform.member("peaks")->arrayPtr() : nullptr;
        ASSERT_TRUE(peaks) << c.name << ": " << waveform.canonical();
        const int64_t bucketUs = *waveform.member("bucketUs")->intValue();
        for (int frame : frames) {
            const auto bucket = static_cast<size_t>(sampleOf(frame) * 1'000'000 / rate / bucketUs);
            ASSERT_LT(bucket, peaks->size()) << c.name;
            EXPECT_GT((*peaks)[bucket].doubleValue().value_or(0), 0.3) << c.name << ": frame " << frame;
        }
        const JSONValue silences = result(engine, ++id, "analysis.run", analysis + "silences\"}");
        const auto* runs = silences.member("runs") ? silences.member("runs")->arrayPtr() : nullptr;
        ASSERT_TRUE(runs) << c.name << ": " << silences.canonical();
        // Runs that end where the sound or the picture does end at no click.
        const auto soundEndUs = static_cast<int64_t>((c.soundStart + 4.0) * 1e6);
        std::vector<int64_t> ends;
        for (const JSONValue& run : *runs) {
            const int64_t end = *run.member("endUs")->intValue();
            if (end < std::min(durationUs, soundEndUs) - 100'000) ends.push_back(end);
        }
        ASSERT_EQ(ends.size(), frames.size()) << c.name << ": " << silences.canonical();
        for (size_t k = 0; k < frames.size(); ++k) {
            EXPECT_NEAR(double(ends[k]), double(sampleOf(frames[k]) * 1'000'000 / rate),
                        double(toleranceFrames * 1'000'000 / rate) + 10'000)
                << c.name << ": silence before frame " << frames[k];
        }
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
