// render.live through the in-process engine: the answer and its shelf
// names, sizes, sound choices, frames equal to render.frame's, and the same
// answers as the real process gives over pipes.

#include "Embedded/EngineABI.h"
#include "Embedded/EngineAssembly.hpp"
#include "Embedded/InProcessEngine.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"
#include "tests/blackbox/EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

std::string segment(int64_t srcStart, int64_t srcEnd, int64_t outStart) {
    return R"({"assetId":"a","srcStartUs":)" + std::to_string(srcStart) + R"(,"srcEndUs":)" + std::to_string(srcEnd) +
           R"(,"outStartUs":)" + std::to_string(outStart) + R"(,"outEndUs":)" +
           std::to_string(outStart + srcEnd - srcStart) +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null})";
}

std::string voiceTrack(const std::string& asset, int64_t durationUs) {
    return R"([{"id":"v","role":"voice","assetId":")" + asset + R"(","generated":null,"srcStartUs":0,"srcEndUs":)" +
           std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) +
           R"(,"speed":1.0,"gain":[],"isolation":null}])";
}

std::string plan(int64_t durationUs, const std::string& tracks = "[]", std::string segments = "") {
    if (segments.empty()) segments = segment(0, durationUs, 0);
    return R"({"version":1,"canvas":{"format":"horizontal","width":320,"height":240,"fps":{"num":30,"den":1}},"segments":[)" +
           segments + R"(],"videoOverlays":[],"textItems":[],"colorStack":[],"background":null,"audioMix":{"tracks":)" +
           tracks + R"(,"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
           std::to_string(durationUs) + "}";
}

std::string sourcesOf(const fs::path& file) {
    return R"({"a":{"path":")" + file.string() + R"(","contentHash":")" + korvel::testing::sha256sum(file) + R"("}})";
}

std::string sources() {
    static const std::string s = sourcesOf(MediaFixtures::path("h264.mp4"));
    return s;
}

std::string liveParams(const std::string& planJSON, const std::string& extra = "") {
    return R"({"plan":)" + planJSON + R"(,"sources":)" + sources() + extra + "}";
}

struct Engine_ {
    std::unique_ptr<InProcessEngine> engine;
    Engine_() {
        fs::path root = korvel::testing::freshFolder("live-engine");
        engine = EngineAssembly::inProcess(root / "cache", root / "models", EngineSpeech::standard());
    }
    JSONValue live(const std::string& params) { return engine->call("render.live", JSONValue::parsing(params)); }
    InProcessEngine::Failure failure(const std::string& params) {
        try {
            live(params);
        } catch (const InProcessEngine::Failure& f) {
            return f;
        }
        ADD_FAILURE() << "no failure for " << params;
        return {0, ""};
    }
};

int64_t intOf(const JSONValue& v, const char* key) { return v.member(key) ? v.member(key)->intValue().value_or(-1) : -1; }
std::string textOf(const JSONValue& v, const char* key) {
    return v.member(key) ? v.member(key)->stringValue().value_or("") : "";
}

} // namespace

TEST(RenderLive, AnswersTheShelfNameAndTheCompositionsFacts) {
    Engine_ e;
    JSONValue first = e.live(liveParams(plan(2'000'000)));
    EXPECT_EQ(textOf(first, "id"), "live_1");
    EXPECT_EQ(intOf(first, "durationUs"), 2'000'000);
    EXPECT_EQ(intOf(first, "frameCount"), 60);
    EXPECT_EQ(intOf(first, "width"), 320);
    EXPECT_EQ(intOf(first, "height"), 240);
    EXPECT_EQ(textOf(first, "structure").size(), 64u);

    // A failure uses up no name.
    EXPECT_EQ(e.failure(liveParams(plan(1'000'000, voiceTrack("b", 1'000'000)))),
              InProcessEngine::Failure(-32602, "This plan has sound, so a live preview needs the mix file in audioPath."));
    EXPECT_EQ(e.failure(R"({"plan":7})").code, -32602);

    JSONValue small = e.live(liveParams(plan(2'000'000), R"(,"maxLongEdge":160)"));
    EXPECT_EQ(textOf(small, "id"), "live_2");
    EXPECT_EQ(intOf(small, "width"), 160);
    EXPECT_EQ(intOf(small, "height"), 120);
    EXPECT_NE(textOf(small, "structure"), textOf(first, "structure"));
    JSONValue third = e.live(liveParams(plan(2'000'000)));
    EXPECT_EQ(textOf(third, "id"), "live_3");
    EXPECT_EQ(textOf(third, "structure"), textOf(first, "structure"));

    EXPECT_EQ(e.engine->liveVideo("live_1"), std::nullopt);
    auto video = e.engine->liveVideo("live_2");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->width, 160);
    EXPECT_EQ(video->frameCount, 60);
    EXPECT_EQ(video->structure, textOf(small, "structure"));
    EXPECT_EQ(e.engine->liveVideo("live_2"), std::nullopt);
    EXPECT_TRUE(e.engine->liveVideo("live_3"));
}

TEST(RenderLive, SoundIsTheMixFileOrNothing) {
    Engine_ e;
    fs::path tone = MediaFixtures::path("tone.wav");
    const std::string silent = textOf(e.live(liveParams(plan(1'000'000))), "structure");
    const std::string voiced = plan(1'000'000, voiceTrack("b", 1'000'000));
    EXPECT_EQ(textOf(e.live(liveParams(voiced, R"(,"sound":false,"audioPath":")" + tone.string() + "\"")), "structure"),
              silent);
    JSONValue mixed = e.live(liveParams(voiced, R"(,"audioPath":")" + tone.string() + "\""));
    EXPECT_NE(textOf(mixed, "structure"), silent);
    auto video = e.engine->liveVideo(textOf(mixed, "id"));
    ASSERT_TRUE(video && video->asset->sound);
    EXPECT_EQ(video->asset->sound->asset, tone);
    EXPECT_EQ(video->asset->sound->duration, (TickTime{30000, 30000}));
    // The source's own sound when the plan plays it untouched; the mix file is ignored.
    JSONValue copied = e.live(liveParams(plan(2'000'000, voiceTrack("a", 2'000'000)), R"(,"audioPath":")" + tone.string() + "\""));
    auto source = e.engine->liveVideo(textOf(copied, "id"));
    ASSERT_TRUE(source && source->asset->sound);
    EXPECT_EQ(source->asset->sound->asset, MediaFixtures::path("h264.mp4"));
    EXPECT_TRUE(source->asset->sound->copied);
    // A mix that does not last as long as the picture is refused by the feed.
    EXPECT_EQ(e.failure(liveParams(plan(2'000'000, voiceTrack("b", 2'000'000)), R"(,"audioPath":")" + tone.string() + "\""))
                  .code,
              -32602);
}

TEST(RenderLive, AFramePulledLiveEqualsRenderFrame) {
    Engine_ e;
    auto video = e.engine->liveVideo(textOf(e.live(liveParams(plan(2'000'000))), "id"));
    ASSERT_TRUE(video);
    fs::path out = fs::path(korvel::testing::freshFolder("live-frame")) / "frame.png";
    e.engine->call("render.frame", JSONValue::parsing(R"({"plan":)" + plan(2'000'000) + R"(,"sources":)" + sources() +
                                                      R"(,"variant":"after","atUs":500000,"maxLongEdge":320,"outPath":")" +
                                                      out.string() + "\"}"));
    auto raw = korvel::testing::runCommand("ffmpeg -nostdin -v error -i '" + out.string() +
                                           "' -f rawvideo -pix_fmt rgb24 -");
    ASSERT_TRUE(raw);
    TickTime start = video->frameStart(0.5);
    EXPECT_EQ(start, (TickTime{15000, 30000}));
    Picture frame = video->frame(15);
    EXPECT_EQ(frame.width, 320);
    EXPECT_EQ(frame.height, 240);
    ASSERT_EQ(frame.pixels.size(), raw->size());
    size_t differing = 0;
    int largest = 0;
    for (size_t i = 0; i < raw->size(); ++i) {
        int d = std::abs(int(frame.pixels[i]) - int(uint8_t((*raw)[i])));
        differing += d != 0;
        largest = std::max(largest, d);
    }
    EXPECT_EQ(differing, 0u) << "largest difference " << largest;
    EXPECT_EQ(video->drawn().frames, 1);
    Picture still = video->still(0.51, 160, 160);
    EXPECT_EQ(still.width, 160);
    EXPECT_EQ(still.height, 120);
}

// Containers without a movie box play live from the same source model.
TEST(RenderLive, EveryContainerPlaysLiveAsRenderFrameShowsIt) {
    Engine_ e;
    const fs::path folder = korvel::testing::freshFolder("live-containers");
    const std::pair<const char*, const char*> containers[] = {
        {"h264.mkv", "-c:v libx264 -preset veryfast"},
        {"h264.ts", "-c:v libx264 -preset veryfast"},
        {"vp9.webm", "-c:v libvpx-vp9 -b:v 500k"},
        {"theora.ogg", "-c:v libtheora -q:v 7"},
    };
    for (const auto& [name, encode] : containers) {
        const fs::path file = folder / name;
        ASSERT_TRUE(korvel::testing::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=30:duration=2 "
                                                "-pix_fmt yuv420p " + std::string(encode) + " '" + file.string() + "'"))
            << name;
        const std::string params = R"({"plan":)" + plan(2'000'000) + R"(,"sources":)" + sourcesOf(file);
        auto video = e.engine->liveVideo(textOf(e.live(params + "}"), "id"));
        ASSERT_TRUE(video) << name;
        const fs::path out = folder / "frame.png";
        e.engine->call("render.frame", JSONValue::parsing(params + R"(,"variant":"after","atUs":500000,"maxLongEdge":320,)"
                                                                   R"("outPath":")" + out.string() + "\"}"));
        auto raw = korvel::testing::runCommand("ffmpeg -nostdin -v error -i '" + out.string() + "' -f rawvideo -pix_fmt rgb24 -");
        ASSERT_TRUE(raw) << name;
        Picture frame = video->frame(15);
        ASSERT_EQ(frame.pixels.size(), raw->size()) << name;
        EXPECT_TRUE(std::equal(frame.pixels.begin(), frame.pixels.end(), raw->begin(),
                               [](uint8_t a, char b) { return a == uint8_t(b); }))
            << name;
    }
}

TEST(RenderLive, TheSameRequestIsAnsweredAlikeInProcessAndOverPipes) {
    Engine_ e;
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::string> lines;
    e.engine->onLine([&](std::string_view line) {
        std::lock_guard g(lock);
        lines.emplace_back(line);
        arrived.notify_all();
    });
    korvel::testing::EngineProcess child({"--cache-dir", korvel::testing::freshFolder("live-pipes")});
    const std::string probe =
        R"({"id":1,"jsonrpc":"2.0","method":"asset.probe","params":{"path":")" + MediaFixtures::path("h264.mp4").string() + "\"}}";
    const std::string unknown = R"({"id":2,"jsonrpc":"2.0","method":"render.live","params":{}})";
    for (const auto& line : {probe, unknown}) {
        child.sendLine(line);
        auto piped = child.readLine();
        ASSERT_TRUE(piped);
        std::unique_lock g(lock);
        size_t before = lines.size();
        g.unlock();
        e.engine->send(line);
        g.lock();
        ASSERT_TRUE(arrived.wait_for(g, std::chrono::seconds(20), [&] { return lines.size() > before; }));
        if (line == probe) EXPECT_EQ(lines.back(), *piped + "\n");
        else EXPECT_EQ(JSONValue::parsing(*piped).member("error")->member("code")->intValue(), -32601);
    }
}

TEST(EngineABI, RawLinesInAndOut) {
    struct Seen {
        std::mutex lock;
        std::condition_variable arrived;
        std::vector<std::string> lines;
    } seen;
    fs::path root = korvel::testing::freshFolder("live-abi");
    korvel_engine* engine = korvel_engine_open((root / "cache").c_str(), (root / "models").c_str());
    ASSERT_NE(engine, nullptr);
    korvel_engine_on_line(
        engine,
        [](void* context, const char* line, size_t length) {
            auto* s = static_cast<Seen*>(context);
            std::lock_guard g(s->lock);
            s->lines.emplace_back(line, length);
            s->arrived.notify_all();
        },
        &seen);
    const std::string line = R"({"id":5,"jsonrpc":"2.0","method":"render.live","params":{"plan":1}})";
    EXPECT_EQ(korvel_engine_send(engine, line.data(), line.size()), 0);
    {
        std::unique_lock g(seen.lock);
        ASSERT_TRUE(seen.arrived.wait_for(g, std::chrono::seconds(20), [&] { return !seen.lines.empty(); }));
        JSONValue answer = JSONValue::parsing(seen.lines[0]);
        EXPECT_EQ(answer.member("id")->intValue(), 5);
        EXPECT_EQ(answer.member("error")->member("code")->intValue(), -32602);
        EXPECT_EQ(seen.lines[0].back(), '\n');
    }
    EXPECT_EQ(korvel_engine_stop(engine), 1);
    korvel_engine_close(engine);
}

TEST(EngineAssembly, TwoInProcessEnginesHaveTheirOwnShelves) {
    fs::path root = korvel::testing::freshFolder("live-two");
    auto one = EngineAssembly::inProcess(root / "1", root / "m", EngineSpeech::standard());
    auto two = EngineAssembly::inProcess(root / "2", root / "m", EngineSpeech::standard());
    EXPECT_NE(one->videos(), two->videos());
    auto answer = one->call("render.live", JSONValue::parsing(liveParams(plan(1'000'000))));
    EXPECT_EQ(answer.member("id")->stringValue(), "live_1");
    EXPECT_EQ(two->liveVideo("live_1"), std::nullopt);
    EXPECT_TRUE(one->liveVideo("live_1"));
}
