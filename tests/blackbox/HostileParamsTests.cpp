// Hostile params over the wire: each request is answered at once with the
// right code and sentence, or with a bounded answer, never with endless work,
// an overflowed number or a raw system text. Media made with the ffmpeg tool.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <cstdint>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

const std::string ff = "ffmpeg -nostdin -v error -y ";
const std::string maxUs = std::to_string(INT64_MAX);
const std::string minUs = std::to_string(INT64_MIN);

struct Media {
    fs::path folder, clip, tiny, wide;
    Media() {
        folder = korvel::testing::freshFolder("hostile-media");
        clip = folder / "clip.mp4";
        tiny = folder / "tiny.mp4";
        wide = folder / "wide.mp4";
        for (const std::string& command :
             {ff + "-f lavfi -i testsrc2=size=320x180:rate=30:duration=2 -f lavfi -i sine=duration=2 -c:v libx264 "
                   "-preset veryfast -pix_fmt yuv420p -g 30 -c:a aac -shortest '" + clip.string() + "'",
              ff + "-f lavfi -i color=gray:size=2x2:rate=10:duration=0.5 -vf scale=1:1 -c:v libx264 -pix_fmt yuv444p '" +
                  tiny.string() + "'",
              ff + "-f lavfi -i color=gray:size=16384x16:rate=10:duration=0.5 -c:v libx264 -pix_fmt yuv420p '" +
                  wide.string() + "'"}) {
            EXPECT_TRUE(runCommand(command)) << command;
        }
    }
};

const Media& media() {
    static Media m;
    return m;
}

std::string source(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) + R"("})";
}
std::string sources() { return R"({"a":)" + source(media().clip) + "}"; }

std::string segment(const std::string& outStartUs, const std::string& outEndUs, const std::string& speed = "1.0") {
    return R"({"assetId":"a","srcStartUs":0,"srcEndUs":2000000,"outStartUs":)" + outStartUs + R"(,"outEndUs":)" +
           outEndUs + R"(,"speed":)" + speed + R"(,"transform":{"keyframes":[]},"transitionIn":null})";
}

std::string voice(const std::string& speed = "1.0") {
    return R"({"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":2000000,)"
           R"("outStartUs":0,"outEndUs":2000000,"speed":)" +
           speed + R"(,"gain":[],"isolation":null})";
}

struct Plan {
    std::string width = "320", height = "180", fps = R"({"num":30,"den":1})", durationUs = "2000000";
    std::string segments = segment("0", "2000000");
    std::string tracks = "";
    std::string textItems = "";
    std::string colorStack = "[]";

    std::string json() const {
        return R"({"version":1,"canvas":{"format":"horizontal","width":)" + width + R"(,"height":)" + height +
               R"(,"fps":)" + fps + R"(},"segments":[)" + segments + R"(],"videoOverlays":[],"textItems":[)" +
               textItems + R"(],"colorStack":)" + colorStack + R"(,"background":null,"audioMix":{"tracks":[)" +
               tracks + R"(],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
               durationUs + "}";
    }
};

Plan withSegment(const std::string& s) {
    Plan p;
    p.segments = s;
    return p;
}
Plan withFps(const std::string& fps) {
    Plan p;
    p.fps = fps;
    return p;
}
Plan withTrack(const std::string& t) {
    Plan p;
    p.tracks = t;
    return p;
}

std::string listParams(const Plan& p) {
    return R"({"plan":)" + p.json() + R"(,"sources":)" + sources() + R"(,"variant":"after"})";
}

std::string segmentParams(const Plan& p, const std::string& track, const std::string& start, const std::string& end,
                          const fs::path& out) {
    return R"({"plan":)" + p.json() + R"(,"sources":)" + sources() + R"(,"variant":"after","key":")" +
           std::string(64, '0') + R"(","track":")" + track + R"(","outStartUs":)" + start + R"(,"outEndUs":)" + end +
           R"(,"outPath":")" + out.string() + "\"}";
}

std::string textItem(const std::string& color) {
    return R"({"id":"t","role":"caption","outStartUs":0,"outEndUs":1000000,"lines":[{"runs":[{"text":"hi",)"
           R"("outStartUs":0,"outEndUs":1000000,"keyword":false}]}],"box":{"x":0.1,"y":0.1,"w":0.8,"h":0.8},)"
           R"("style":{"font":"inter","weight":700,"italic":false,"sizePct":6,"lineHeight":1.2,"letterSpacingEm":0,)"
           R"("color":")" + color + R"(","shadow":null},"activeWordHighlight":false})";
}

class Engine {
public:
    explicit Engine(const std::string& name, std::vector<std::string> environment = {})
        : folder_(korvel::testing::freshFolder(name)),
          process_({"--cache-dir", (folder_ / "cache").string(), "--models-dir", (folder_ / "models").string()},
                   std::move(environment)) {}
    JSONValue ask(const std::string& method, const std::string& params) {
        const int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id);
        return r ? *r : JSONValue();
    }
    const fs::path& folder() const { return folder_; }
    EngineProcess& process() { return process_; }
    int64_t nextId() { return ++next_; }

private:
    fs::path folder_;
    EngineProcess process_;
    int64_t next_ = 0;
};

std::string errorOf(const JSONValue& response) {
    const JSONValue* e = response.member("error");
    if (!e) return "no error: " + response.canonical().substr(0, 300);
    return std::to_string(*e->member("code")->intValue()) + " " + *e->member("message")->stringValue();
}

const std::string contract = "-32602 Params do not match the contract: ";
const std::string outOfRange = ": Expected a value that keeps the plan's times within 64 bits but found ";

struct Case {
    std::string what, method, params, error;
};

void expectErrors(Engine& engine, const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(errorOf(engine.ask(c.method, c.params)), c.error) << c.what;
}

} // namespace

// A segment that reaches far past the plan lists only the plan's windows.
TEST(HostileParams, SegmentListsStayInsideThePlan) {
    Engine engine("hostile-lists");
    Plan endless;
    endless.durationUs = maxUs;
    for (const Plan& p : {withSegment(segment("0", maxUs)), withSegment(segment(minUs, "2000000")),
                          withSegment(segment("0", "10000000000000")), endless}) {
        const JSONValue response = engine.ask("render.segments", listParams(p));
        const JSONValue* result = response.member("result");
        ASSERT_TRUE(result) << response.canonical().substr(0, 300);
        const auto& windows = *result->member("segments")->arrayPtr();
        ASSERT_FALSE(windows.empty());
        EXPECT_LE(windows.size(), 2u);
        EXPECT_GE(*windows.front().member("outStartUs")->intValue(), 0);
        EXPECT_EQ(*windows.back().member("outEndUs")->intValue(), 2000000);
    }
}

TEST(HostileParams, RatesSpeedsAndTimesOutOfRangeAreBadParams) {
    Engine engine("hostile-rates");
    const std::string rate = contract + "plan.canvas.fps: Expected a frame rate of 1 to 240 frames per second but found ";
    expectErrors(engine, {
        {"a million fps", "render.segments", listParams(withFps(R"({"num":1000000,"den":1})")), rate + "1000000/1."},
        {"fps 2^63-1", "render.segments", listParams(withFps(R"({"num":)" + maxUs + R"(,"den":1})")),
         rate + maxUs + "/1."},
        {"half a frame a second", "render.segments", listParams(withFps(R"({"num":1,"den":2})")), rate + "1/2."},
        {"speed 1e308", "render.segments", listParams(withSegment(segment("0", "2000000", "1e308"))),
         contract + "plan.segments.Index 0.speed" + outOfRange + "1e+308."},
        {"speed 1e300", "render.frame",
         R"({"plan":)" + withSegment(segment("0", "2000000", "1e300")).json() + R"(,"sources":)" + sources() +
             R"(,"variant":"after","atUs":0,"maxLongEdge":64,"outPath":")" + (engine.folder() / "f.png").string() + "\"}",
         contract + "plan.segments.Index 0.speed" + outOfRange + "1e+300."},
    });
    // A rate at the top of the range is served.
    const JSONValue fast = engine.ask("render.segments", listParams(withFps(R"({"num":240,"den":1})")));
    ASSERT_TRUE(fast.member("result")) << fast.canonical();
    EXPECT_EQ(*fast.member("result")->member("segments")->arrayPtr()->front().member("frameCount"), JSONValue(480));
}

TEST(HostileParams, AudioWindowsAndSpeedsAreCheckedLikeVideoOnes) {
    Engine engine("hostile-audio");
    const fs::path out = engine.folder() / "a.m4s";
    const Plan sound = withTrack(voice());
    expectErrors(engine, {
        {"reversed audio window", "render.segment", segmentParams(sound, "audio", "2000000", "0", out),
         "-32602 The segment holds no frames."},
        {"reversed video window", "render.segment", segmentParams(sound, "video", "2000000", "0", out),
         "-32602 The segment holds no frames."},
        {"empty audio window", "render.segment", segmentParams(sound, "audio", "1000000", "1000000", out),
         "-32602 The segment holds no frames."},
        {"audio window from the far end", "render.segment", segmentParams(sound, "audio", maxUs, minUs, out),
         "-32602 The segment holds no frames."},
        {"audio speed 0", "render.segment", segmentParams(withTrack(voice("0")), "audio", "0", "2000000", out),
         contract + "plan.audioMix.tracks.Index 0.speed: Expected a positive finite number but found 0."},
        {"audio speed -1", "render.segment", segmentParams(withTrack(voice("-1")), "audio", "0", "2000000", out),
         contract + "plan.audioMix.tracks.Index 0.speed: Expected a positive finite number but found -1."},
    });
    EXPECT_FALSE(fs::exists(out));
    // The widest window answers a length that did not overflow.
    const JSONValue wide = engine.ask("render.segment", segmentParams(sound, "audio", minUs, maxUs, out));
    ASSERT_TRUE(wide.member("result")) << wide.canonical();
    EXPECT_GT(*wide.member("result")->member("durationUs")->intValue(), 0);
}

TEST(HostileParams, ListingStopsWhenCancelled) {
    Engine engine("hostile-cancel");
    // Millions of windows inside the plan: only cancelling ends the listing early.
    Plan huge = withSegment(segment("0", "10000000000000"));
    huge.durationUs = "10000000000000";
    const int64_t id = engine.nextId();
    engine.process().sendLine(EngineProcess::request(id, "render.segments", listParams(huge)));
    engine.process().sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":)" + std::to_string(id) + "}}");
    auto response = engine.process().responseFor(id);
    ASSERT_TRUE(response);
    EXPECT_EQ(errorOf(*response), "-32800 Cancelled.");
}

TEST(HostileParams, MattesTheMaskWriterCannotMakeAreRefusedFirst) {
    Engine engine("hostile-matte");
    const fs::path out = engine.folder() / "m.mov";
    auto build = [&](const fs::path& file, int64_t longEdge) {
        return R"({"assetId":"a","source":)" + source(file) + R"(,"method":"hybrid","longEdge":)" +
               std::to_string(longEdge) + R"(,"outPath":")" + out.string() + "\"}";
    };
    expectErrors(engine, {
        {"1x1 source", "matte.build", build(media().tiny, 256), "-32602 A mask of 2x2 can't be written."},
        {"16384x16 source", "matte.build", build(media().wide, 16384), "-32602 A mask of 16384x16 can't be written."},
        {"long edge 1", "matte.build", build(media().clip, 1), "-32602 A matte needs a long edge of at least 16 pixels."},
        {"long edge 3", "matte.build", build(media().clip, 3), "-32602 A matte needs a long edge of at least 16 pixels."},
        {"long edge 16", "matte.build", build(media().clip, 16), "-32602 A mask of 16x10 can't be written."},
    });
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(out.string() + ".json"));
}

TEST(HostileParams, ClientStringsAreQuotedToSixtyFourCharacters) {
    Engine engine("hostile-strings");
    const std::string huge(100000, 'k');
    const std::string quoted = std::string(64, 'k') + "\u2026";
    Plan colored;
    colored.textItems = textItem("#" + huge);
    Plan kinded;
    kinded.colorStack = R"([{"kind":")" + huge + R"("}])";
    const std::string frame = R"(,"sources":)" + sources() + R"(,"variant":"after","atUs":0,"maxLongEdge":64,"outPath":")" +
                              (engine.folder() / "f.png").string() + "\"}";
    expectErrors(engine, {
        {"colour", "render.frame", R"({"plan":)" + colored.json() + frame,
         "-32602 #" + std::string(63, 'k') + "\u2026 is not a color like #rrggbb."},
        {"colour step kind", "render.segments", listParams(kinded),
         contract + "plan.colorStack.Index 0.kind: Unknown color step " + quoted},
        {"analysis kind", "analysis.run", R"({"kind":")" + huge + R"(","assetId":"a","source":)" + source(media().clip) + "}",
         "-32602 Unknown analysis: " + quoted + "."},
        {"enum value", "render.segment",
         R"({"plan":)" + Plan().json() + R"(,"key":")" + std::string(64, '0') + R"(","variant":"after","track":")" + huge +
             R"(","outStartUs":0,"outEndUs":1,"outPath":"/tmp/x.m4s"})",
         contract + "track: Unknown SegmentTrack value \"" + quoted + "\"."},
        {"text item id", "render.textLayout", R"({"plan":)" + Plan().json() + R"(,"ids":[")" + huge + R"("]})",
         "-32602 The plan has no text item " + quoted + "."},
    });
}

TEST(HostileParams, NullParamsAndEmptyCanvasesAreRefused) {
    // No model service answers here: a request that starts a download fails another way.
    Engine engine("hostile-null", {"KORVEL_MODELS_URL=http://127.0.0.1:9/v1/models"});
    const std::string canvas = "-32602 The canvas must be 2 to 8192 pixels on each side.";
    Plan empty;
    empty.width = "0";
    empty.height = "0";
    expectErrors(engine, {
        {"null install params", "models.install", "null", contract + ": Expected an object but found null instead."},
        {"array install params", "models.install", "[]", contract + ": Expected an object but found an array instead."},
        {"measure a 0x0 canvas", "render.measureText", R"({"plan":)" + empty.json() + "}", canvas},
        {"lay out on a 0x0 canvas", "render.textLayout", R"({"plan":)" + empty.json() + R"(,"ids":[]})", canvas},
    });
    const JSONValue status = engine.ask("models.status", "{}");
    ASSERT_TRUE(status.member("result"));
    EXPECT_FALSE(status.member("result")->member("lastError"));
}
