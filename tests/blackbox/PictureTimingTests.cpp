// Which source frame each output frame shows, through the real engine and the
// real decoders: counter videos whose grey levels name their frames, rendered
// by render.frame, render.segment and render.export and read back with ffmpeg.

#include "EngineProcess.hpp"
#include "tests/support/CounterVideo.hpp"
#include "tests/support/Shell.hpp"

#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
namespace fs = std::filesystem;
namespace counter = korvel::testing::CounterVideo;

namespace {

struct Counters {
    fs::path folder, plain, ntsc, rotated, hlg, vfr, black;
    Counters() {
        folder = korvel::testing::freshFolder("picture-timing-media");
        plain = folder / "plain.mp4";
        EXPECT_TRUE(counter::make(plain, "color=black:s=64x64:r=30:d=4"));
        ntsc = folder / "ntsc.mp4";
        EXPECT_TRUE(counter::make(ntsc, "color=black:s=64x64:r=30000/1001:d=3"));
        // A phone clip held sideways: the display matrix turns it upright.
        auto sideways = folder / "sideways.mp4";
        EXPECT_TRUE(counter::make(sideways, "color=black:s=64x32:r=30:d=2"));
        rotated = folder / "rotated.mp4";
        EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y -i '" + sideways.string() +
                               "' -c copy -metadata:s:v:0 rotate=90 '" + rotated.string() + "'"));
        hlg = folder / "hlg.mov";
        EXPECT_TRUE(counter::make(hlg, "color=black:s=64x64:r=30:d=2",
                                  "-c:v libx265 -pix_fmt yuv420p10le -tag:v hvc1 -x265-params "
                                  "log-level=none:lossless=1:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc "
                                  "-color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc"));
        // Twenty frames at 30 fps, then forty at 60.
        vfr = folder / "vfr.mp4";
        EXPECT_TRUE(counter::make(vfr, "color=black:s=64x64:r=30:d=2",
                                  "-fps_mode passthrough -c:v libx264 -qp 0 -pix_fmt yuv420p -video_track_timescale 60000",
                                  "settb=1/60,setpts='if(lt(N\\,20)\\,N*2\\,40+(N-20))'"));
        black = folder / "black.mp4";
        EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i color=black:s=64x64:r=30:d=4 -c:v libx264 "
                               "-pix_fmt yuv420p '" + black.string() + "'"));
    }
};

const Counters& counters() {
    static Counters c;
    return c;
}

std::string sources(const std::vector<std::pair<std::string, fs::path>>& files) {
    std::string out;
    for (const auto& [id, file] : files) {
        out += (out.empty() ? "{" : ",") + ("\"" + id + R"(":{"path":")" + file.string() + R"(","contentHash":")" +
                                            korvel::testing::sha256sum(file) + "\"}");
    }
    return out + "}";
}

struct Plan {
    int width = 32, height = 32;
    int64_t num = 30, den = 1, durationUs = 2'000'000;
    int64_t srcEndUs = 2'000'000;
    double speed = 1;
    std::string asset = "a";
    std::string overlays = "[]";

    std::string json() const {
        return R"({"version":1,"canvas":{"format":"horizontal","width":)" + std::to_string(width) + R"(,"height":)" +
               std::to_string(height) + R"(,"fps":{"num":)" + std::to_string(num) + R"(,"den":)" + std::to_string(den) +
               R"(}},"segments":[{"assetId":")" + asset + R"(","srcStartUs":0,"srcEndUs":)" + std::to_string(srcEndUs) +
               R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) + R"(,"speed":)" + std::to_string(speed) +
               R"(,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
               R"("videoOverlays":)" + overlays + R"(,"textItems":[],"colorStack":[],"background":null,)"
               R"("audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
               std::to_string(durationUs) + "}";
    }
};

class Engine {
public:
    explicit Engine(const fs::path& cache) : process_({"--cache-dir", cache.string()}) {}
    JSONValue result(const std::string& method, const std::string& params) {
        int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id, nullptr, std::chrono::seconds(180));
        const JSONValue* value = r ? r->member("result") : nullptr;
        EXPECT_TRUE(value) << method << ": " << (r ? r->canonical() : "no answer");
        return value ? *value : JSONValue();
    }

private:
    EngineProcess process_;
    int64_t next_ = 0;
};

struct Case {
    const char* what;
    std::function<fs::path()> file;
    Plan plan;
    std::function<int(int)> expected; // source frame of output frame f
};

std::vector<Case> cases() {
    Plan plain;
    Plan twice = plain;
    twice.srcEndUs = 4'000'000;
    twice.speed = 2;
    Plan ntsc = plain;
    Plan upright = plain;
    upright.height = 64;
    // A black clip under an overlay of the whole counter, over the canvas.
    Plan overlaid = plain;
    overlaid.asset = "b";
    overlaid.durationUs = overlaid.srcEndUs = 4'000'000;
    overlaid.overlays = R"([{"id":"o","role":"broll","assetId":"a","srcStartUs":0,"srcEndUs":4000000,"outStartUs":0,)"
                        R"("outEndUs":4000000,"rect":{"x":0,"y":0,"w":1,"h":1},"opacity":1}])";
    Plan vfr = plain;
    vfr.durationUs = vfr.srcEndUs = 1'300'000;
    auto same = [](int f) { return f; };
    return {
        {"speed 2", [] { return counters().plain; }, twice, [](int f) { return 2 * f; }},
        {"29.97 fps on a 30 fps canvas", [] { return counters().ntsc; }, ntsc, same},
        {"rotated phone clip", [] { return counters().rotated; }, upright, same},
        {"full-length overlay", [] { return counters().plain; }, overlaid, same},
        {"variable frame rate", [] { return counters().vfr; }, vfr, [](int f) { return f < 20 ? f : 20 + 2 * (f - 20); }},
    };
}

std::string sourcesOf(const Case& c) {
    return sources({{"a", c.file()}, {"b", counters().black}});
}

std::vector<int> expectedFrames(const Case& c, int first, int count) {
    std::vector<int> out;
    for (int f = first; f < first + count; ++f) out.push_back(c.expected(f));
    return out;
}

} // namespace

TEST(PictureTiming, ExportsShowTheRightSourceFrames) {
    auto dir = fs::path(korvel::testing::freshFolder("picture-timing-export"));
    Engine engine(dir / "cache");
    for (const auto& c : cases()) {
        auto out = dir / "out.mp4";
        JSONValue r = engine.result("render.export", R"({"plan":)" + c.plan.json() + R"(,"sources":)" + sourcesOf(c) +
                                                         R"(,"codec":"h264","videoBitrate":4000000,"outPath":")" +
                                                         out.string() + "\"}");
        auto frames = r.member("frameCount") ? r.member("frameCount")->intValue() : std::nullopt;
        ASSERT_TRUE(frames) << c.what;
        EXPECT_EQ(counter::shown(out, c.plan.width, c.plan.height), expectedFrames(c, 0, static_cast<int>(*frames)))
            << c.what;
    }
}

TEST(PictureTiming, PreviewWindowsShowTheRightSourceFrames) {
    auto dir = fs::path(korvel::testing::freshFolder("picture-timing-segment"));
    Engine engine(dir / "cache");
    for (const auto& c : cases()) {
        std::string common = R"({"plan":)" + c.plan.json() + R"(,"sources":)" + sourcesOf(c) + R"(,"variant":"after")";
        JSONValue listed = engine.result("render.segments", common + "}");
        const JSONValue* windows = listed.member("segments");
        ASSERT_TRUE(windows && windows->arrayPtr() && !windows->arrayPtr()->empty()) << c.what;
        int first = 0;
        for (const auto& w : *windows->arrayPtr()) {
            auto out = dir / "window.mp4";
            int64_t start = *w.member("outStartUs")->intValue(), end = *w.member("outEndUs")->intValue();
            JSONValue r = engine.result("render.segment", common + R"(,"key":")" + *w.member("key")->stringValue() +
                                                              R"(","track":"video","outStartUs":)" + std::to_string(start) +
                                                              R"(,"outEndUs":)" + std::to_string(end) +
                                                              R"(,"outPath":")" + out.string() + "\"}");
            int count = static_cast<int>(*w.member("frameCount")->intValue());
            EXPECT_EQ(counter::shown(out, c.plan.width, c.plan.height), expectedFrames(c, first, count))
                << c.what << " window at " << start;
            first += count;
        }
    }
}

TEST(PictureTiming, SingleFramesShowTheRightSourceFrames) {
    auto dir = fs::path(korvel::testing::freshFolder("picture-timing-frame"));
    Engine engine(dir / "cache");
    for (const auto& c : cases()) {
        int count = static_cast<int>(c.plan.durationUs * c.plan.num / (c.plan.den * 1'000'000));
        for (int f : {0, 1, 2, 3, 21, count - 1}) {
            auto out = dir / "frame.png";
            int64_t atUs = (2 * f * c.plan.den * 1'000'000 + c.plan.num) / (2 * c.plan.num);
            engine.result("render.frame", R"({"plan":)" + c.plan.json() + R"(,"sources":)" + sourcesOf(c) +
                                              R"(,"variant":"after","atUs":)" + std::to_string(atUs) +
                                              R"(,"maxLongEdge":64,"outPath":")" + out.string() + "\"}");
            EXPECT_EQ(counter::shown(out, c.plan.width, c.plan.height), std::vector<int>{c.expected(f)})
                << c.what << " frame " << f;
        }
    }
}

TEST(PictureTiming, HLGInAMovieKeptAsHLGShowsTheRightSourceFrames) {
    auto dir = fs::path(korvel::testing::freshFolder("picture-timing-hlg"));
    Engine engine(dir / "cache");
    Plan plan;
    auto out = dir / "hlg.mp4";
    engine.result("render.export", R"({"plan":)" + plan.json() + R"(,"sources":)" + sources({{"a", counters().hlg}}) +
                                       R"(,"codec":"hevc","dynamicRange":"keep_hdr","videoBitrate":4000000,"outPath":")" +
                                       out.string() + "\"}");
    std::vector<int> want;
    for (int f = 0; f < 60; ++f) want.push_back(f);
    EXPECT_EQ(counter::shown(out, plan.width, plan.height), want);
}

// One engine keeps its decoder between single frames of a source: requests
// forward inside a stretch, past key frames and back, on a source with
// B-frames and short key-frame distances, still show the asked frames.
TEST(PictureTiming, SingleFramesInAnyOrderShowTheRightSourceFrames) {
    auto dir = fs::path(korvel::testing::freshFolder("picture-timing-order"));
    auto file = dir / "bframes.mp4";
    ASSERT_TRUE(counter::make(file, "color=black:s=64x64:r=30:d=4",
                              "-c:v libx264 -qp 0 -pix_fmt yuv420p -bf 3 -g 12 -keyint_min 12 -sc_threshold 0"));
    Plan plan;
    plan.durationUs = plan.srcEndUs = 4'000'000;
    Engine engine(dir / "cache");
    for (int f : {5, 6, 9, 7, 13, 25, 26, 2, 0, 119, 118, 60, 61, 62, 11, 12}) {
        auto out = dir / "frame.png";
        int64_t atUs = (2 * f * 1'000'000 + 30) / 60;
        engine.result("render.frame", R"({"plan":)" + plan.json() + R"(,"sources":)" + sources({{"a", file}}) +
                                          R"(,"variant":"after","atUs":)" + std::to_string(atUs) +
                                          R"(,"maxLongEdge":64,"outPath":")" + out.string() + "\"}");
        EXPECT_EQ(counter::shown(out, plan.width, plan.height), std::vector<int>{f}) << "frame " << f;
    }
}
