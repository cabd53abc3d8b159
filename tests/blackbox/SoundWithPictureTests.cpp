// A file whose sound and picture start at different times on its clock,
// through the real engine: wherever the sound is read (the mix, the
// silences, the waveform) a click lands on the frame the engine shows at
// that time, as a player lines the streams up.

#include "EngineProcess.hpp"
#include "tests/support/ClickedCounter.hpp"
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
constexpr int rate = 48000;
using ClickedCounter::clickOf;
using ClickedCounter::toleranceFrames;

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
    for (const auto& c : ClickedCounter::clips()) {
        const fs::path file = folder / c.file;
        ASSERT_TRUE(ClickedCounter::make(file, c)) << c.name;
        const JSONValue probed = result(engine, ++id, "asset.probe", R"({"path":")" + file.string() + "\"}");
        const JSONValue* duration = probed.member("durationUs");
        ASSERT_TRUE(duration && duration->intValue()) << c.name << ": " << probed.canonical();
        EXPECT_EQ(probed.member("firstPtsUs")->canonical(), "0") << c.name;
        // The picture's length, whole frames of it.
        const int64_t durationUs = std::min<int64_t>(*duration->intValue(), 4'000'000) / 40'000 * 40'000;
        const std::vector<int> frames = ClickedCounter::clickedFrames(c, durationUs);
        ASSERT_GE(frames.size(), 5u) << c.name;

        const fs::path mix = folder / "mix.wav";
        result(engine, ++id, "audio.mix",
               R"({"outPath":")" + mix.string() + R"(","plan":)" + plan(durationUs) + R"(,"sources":{"a":)" + source(file) +
                   "}}");
        const std::vector<int64_t> heard = ClickedCounter::onsets(leftOf(mix), rate);
        ASSERT_EQ(heard.size(), frames.size()) << c.name;
        for (size_t k = 0; k < frames.size(); ++k) {
            EXPECT_NEAR(double(heard[k]), double(clickOf(frames[k], rate)), toleranceFrames)
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
            const auto bucket = static_cast<size_t>(clickOf(frame, rate) * 1'000'000 / rate / bucketUs);
            ASSERT_LT(bucket, peaks->size()) << c.name;
            EXPECT_GT((*peaks)[bucket].doubleValue().value_or(0), 0.3) << c.name << ": frame " << frame;
        }
        const JSONValue silences = result(engine, ++id, "analysis.run", analysis + "silences\"}");
        const auto* runs = silences.member("runs") ? silences.member("runs")->arrayPtr() : nullptr;
        ASSERT_TRUE(runs) << c.name << ": " << silences.canonical();
        // Runs that end where the sound or the picture does end at no click.
        const auto soundEndUs = static_cast<int64_t>((c.soundStart + ClickedCounter::lengthSeconds) * 1e6);
        std::vector<int64_t> ends;
        for (const JSONValue& run : *runs) {
            const int64_t end = *run.member("endUs")->intValue();
            if (end < std::min(durationUs, soundEndUs) - 100'000) ends.push_back(end);
        }
        ASSERT_EQ(ends.size(), frames.size()) << c.name << ": " << silences.canonical();
        for (size_t k = 0; k < frames.size(); ++k) {
            EXPECT_NEAR(double(ends[k]), double(clickOf(frames[k], rate) * 1'000'000 / rate),
                        double(toleranceFrames * 1'000'000 / rate) + 10'000)
                << c.name << ": silence before frame " << frames[k];
        }
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
