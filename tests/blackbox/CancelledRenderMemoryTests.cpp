// Renders cancelled shortly after they start, as an editor cancels a preview
// window each time the user moves a clip: resident memory of the real engine
// stays where warming up left it.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

int64_t residentKB(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    return -1;
}

// How a request is cancelled: after its first progress line, or right after
// it is sent (requests that may answer before any progress).
enum class Cancel { afterProgress, atOnce };

struct Case {
    const char* method;
    Cancel cancel;
    std::function<std::string(int round)> params;
};

// Sends a request and cancels it; it answers -32800, or its result when it
// finished before the cancel landed.
void askAndCancel(EngineProcess& engine, int64_t asked, const char* method, const std::string& params, Cancel how) {
    engine.sendLine(EngineProcess::request(asked, method, params));
    const std::string cancel = R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":)" + std::to_string(asked) + "}}";
    if (how == Cancel::atOnce) engine.sendLine(cancel);
    bool cancelled = how == Cancel::atOnce;
    for (;;) {
        auto line = engine.readJSON(std::chrono::seconds(120));
        ASSERT_TRUE(line) << method << " never answered: " << engine.stderrText();
        const JSONValue* lineId = line->member("id");
        if (lineId && lineId->intValue() == asked) {
            if (const JSONValue* error = line->member("error")) {
                EXPECT_EQ(error->member("code")->intValue().value_or(0), -32800) << method << " " << line->canonical();
            }
            return;
        }
        if (!cancelled && line->member("method")) {
            engine.sendLine(cancel);
            cancelled = true;
        }
    }
}

// Resident memory once it has come down to `bound`, or where it stands after
// a few seconds: what an ended request frees goes back a moment later.
int64_t settledKB(int pid, int64_t bound) {
    int64_t now = residentKB(pid);
    for (int i = 0; i < 100 && now > bound; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        now = residentKB(pid);
    }
    return now;
}

} // namespace

TEST(CancelledRenders, GiveBackWhatTheyHeld) {
    const fs::path folder = korvel::testing::freshFolder("cancelled-memory");
    const fs::path clip = folder / "clip.mp4", mix = folder / "mix.wav";
    ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=30:duration=4 -f lavfi -i "
                           "sine=frequency=440:duration=4 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 30 -c:a aac "
                           "-shortest '" + clip.string() + "'"));
    ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=sample_rate=48000:duration=4 -ac 2 -c:a pcm_f32le '" +
                           mix.string() + "'"));
    const std::string hash = sha256sum(clip);
    const std::string sources = R"({"a":{"path":")" + clip.string() + R"(","contentHash":")" + hash + R"("}})";
    // A 1080p canvas with a look: every frame in flight is canvas-sized.
    const std::string plan =
        R"({"version":1,"canvas":{"format":"horizontal","width":1920,"height":1080,"fps":{"num":30,"den":1}},)"
        R"("segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":4000000,"outStartUs":0,"outEndUs":4000000,"speed":1.0,)"
        R"("transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
        R"("videoOverlays":[],"textItems":[],"colorStack":[{"kind":"look","look":"warm_cinema","strength":1.0}],)"
        R"("background":null,"audioMix":{"tracks":[{"id":"v","role":"voice","assetId":"a","generated":null,)"
        R"("srcStartUs":0,"srcEndUs":4000000,"outStartUs":0,"outEndUs":4000000,"speed":1.0,"gain":[],"isolation":null}],)"
        R"("targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":4000000})";
    const std::string out = (folder / "out").string();
    auto key = [](int round) {
        std::string k = std::to_string(round);
        return std::string(64 - k.size(), 'a') + k;
    };
    const std::vector<Case> cases = {
        {"render.segment", Cancel::afterProgress,
         [&](int round) {
             return R"({"plan":)" + plan + R"(,"sources":)" + sources + R"(,"variant":"after","key":")" + key(round) +
                    R"(","track":"video","outStartUs":0,"outEndUs":2000000,"outPath":")" + out + R"(.mp4"})";
         }},
        {"render.export", Cancel::afterProgress,
         [&](int) {
             return R"({"plan":)" + plan + R"(,"sources":)" + sources +
                    R"(,"codec":"h264","videoBitrate":3000000,"outPath":")" + out + R"(-export.mp4","audioPath":")" +
                    mix.string() + R"("})";
         }},
        {"render.frame", Cancel::atOnce,
         [&](int round) {
             return R"({"plan":)" + plan + R"(,"sources":)" + sources + R"(,"variant":"after","atUs":)" +
                    std::to_string(100000 + 33333 * round) + R"(,"maxLongEdge":1920,"outPath":")" + out + R"(.png"})";
         }},
        {"audio.mix", Cancel::afterProgress,
         [&](int) { return R"({"plan":)" + plan + R"(,"sources":)" + sources + R"(,"outPath":")" + out + R"(.m4a"})"; }},
        {"analysis.run", Cancel::atOnce,
         [&](int round) {
             return R"({"assetId":"a)" + std::to_string(round) + R"(","source":{"path":")" + clip.string() +
                    R"(","contentHash":")" + hash + R"("},"kind":"scenes"})";
         }},
    };

    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    int64_t id = 0;
    auto round = [&](int r) {
        for (const Case& c : cases) askAndCancel(engine, ++id, c.method, c.params(r), c.cancel);
    };
    for (int r = 0; r < 4; ++r) round(r);
    if (HasFailure()) return;
    const int64_t warm = residentKB(engine.pid());
    // Ten megabytes kept by each cancelled render would be 600 MB here.
    constexpr int rounds = 12;
    int64_t most = warm;
    for (int r = 4; r < 4 + rounds; ++r) {
        round(r);
        most = std::max(most, residentKB(engine.pid()));
    }
    EXPECT_LT(most - warm, 160 * 1024) << "resident " << most / 1024 << " MB after warming up at " << warm / 1024 << " MB";
    engine.closeInput();
    EXPECT_EQ(engine.wait(std::chrono::seconds(60)), 0);
}

// A video analysis frees its decoder and pictures however it ends; their
// heap pages go back to the system as a render's do, or every uncached pass
// of the day keeps a share of them.
TEST(CancelledRenders, AnalysesGiveTheHeapBackWhenTheyEnd) {
    const fs::path folder = korvel::testing::freshFolder("analysis-memory");
    std::vector<fs::path> clips;
    for (int k = 0; k < 3; ++k) {
        clips.push_back(folder / ("clip" + std::to_string(k) + ".mp4"));
        // A picture of its own each: no pass is answered from the cache.
        ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=3 -vf hue=h=" +
                               std::to_string(40 * k) + " -c:v libx264 -preset ultrafast -g 30 '" + clips.back().string() + "'"));
    }
    auto params = [](const fs::path& clip) {
        return R"({"assetId":"a","source":{"path":")" + clip.string() + R"(","contentHash":")" + sha256sum(clip) +
               R"("},"kind":"color_stats"})";
    };
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    ASSERT_TRUE(engine.responseFor(1));
    const int64_t idle = residentKB(engine.pid());
    // Its code, its tables and a kept buffer or two stay; a 1080p decoder's
    // frames and the pass's pictures (over 150 MB here) do not.
    const int64_t bound = idle + 90 * 1024;
    engine.sendLine(EngineProcess::request(2, "analysis.run", params(clips[0])));
    auto answer = engine.responseFor(2, nullptr, std::chrono::seconds(120));
    ASSERT_TRUE(answer && answer->member("result")) << engine.stderrText();
    int64_t settled = settledKB(engine.pid(), bound);
    EXPECT_LE(settled, bound) << "after a pass: " << settled / 1024 << " MB, idle at " << idle / 1024 << " MB";
    int64_t id = 2;
    for (size_t k = 1; k < clips.size(); ++k) askAndCancel(engine, ++id, "analysis.run", params(clips[k]), Cancel::afterProgress);
    settled = settledKB(engine.pid(), bound);
    EXPECT_LE(settled, bound) << "after cancelled passes: " << settled / 1024 << " MB, idle at " << idle / 1024 << " MB";
    engine.closeInput();
    EXPECT_EQ(engine.wait(std::chrono::seconds(60)), 0);
}
