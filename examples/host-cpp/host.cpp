// A C++ host of the in-process engine: calls with a stop token, a live
// composition from render.live, and its frames pulled in process. The clip
// is 320x240 at 30 fps and at least a second long.
//   host-cpp clip.mp4 work-folder

#include <korvel-engine/EngineAssembly.hpp>
#include <korvel-engine/InProcessEngine.hpp>

#include <cstdio>
#include <filesystem>
#include <stop_token>
#include <string>

namespace {

int failures = 0;

void expect(const char* what, bool ok, const std::string& detail = "") {
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
    failures += !ok;
}

std::string plan() {
    return R"({"version":1,"canvas":{"format":"horizontal","width":320,"height":240,"fps":{"num":30,"den":1}},)"
           R"("segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":1000000,"outStartUs":0,"outEndUs":1000000,)"
           R"("speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},)"
           R"("transitionIn":null}],"videoOverlays":[],"textItems":[],"colorStack":[],"background":null,)"
           R"("audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":1000000})";
}

int64_t number(const korvel::JSONValue& v, const char* key) {
    const auto* member = v.member(key);
    return member ? member->intValue().value_or(-1) : -1;
}

} // namespace

int main(int argc, char** argv) {
    using korvel::JSONValue;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CLIP WORK-FOLDER\n", argv[0]);
        return 2;
    }
    const std::filesystem::path clip = argv[1], work = argv[2];
    auto engine = korvel::EngineAssembly::inProcess(work / "cache", work / "models", korvel::EngineSpeech::standard());

    JSONValue hello = engine->call("engine.hello", JSONValue::parsing(R"({"contractVersion":9})"));
    expect("engine.hello names the version", hello.member("engineVersion") &&
                                                  hello.member("engineVersion")->stringValue() == "0.1.0");

    JSONValue::Object path{{"path", JSONValue(clip.string())}};
    JSONValue probe = engine->call("asset.probe", JSONValue(path));
    expect("asset.probe measures the clip", number(probe, "width") == 320 && number(probe, "height") == 240,
           probe.canonical());
    const std::string hash = probe.member("contentHash") ? probe.member("contentHash")->stringValue().value_or("") : "";
    const std::string sources = R"({"a":{"path":)" + JSONValue(clip.string()).canonical() + R"(,"contentHash":")" +
                                hash + R"("}})";

    // The face model is read from the prefix, found from where the library lies.
    try {
        engine->call("analysis.run", JSONValue::parsing(R"({"assetId":"clip","kind":"faces","source":)" +
                                                        JSONValue::parsing(sources).member("a")->canonical() + "}"));
        expect("analysis.run finds the face model", true);
    } catch (const korvel::InProcessEngine::Failure& failure) {
        expect("analysis.run finds the face model", false, failure.message);
    }

    // A stop request on the token cancels the job as "$/cancel" does; here
    // the first progress of an export asks for it.
    std::stop_source stop;
    const std::string exportParams = R"({"plan":)" + plan() + R"(,"sources":)" + sources +
                                     R"(,"codec":"h264","videoBitrate":1000000,"outPath":)" +
                                     JSONValue((work / "cancelled.mp4").string()).canonical() + "}";
    try {
        engine->call("render.export", JSONValue::parsing(exportParams),
                     [&](const korvel::EngineProgress&) { stop.request_stop(); }, stop.get_token());
        expect("a stopped export ends cancelled", false, "it finished");
    } catch (const korvel::InProcessEngine::Failure& failure) {
        expect("a stopped export ends cancelled", failure.code == -32800, failure.message);
    }
    expect("a cancelled export leaves no file", !std::filesystem::exists(work / "cancelled.mp4"));

    JSONValue live = engine->call("render.live", JSONValue::parsing(R"({"plan":)" + plan() + R"(,"sources":)" +
                                                                    sources + "}"));
    expect("render.live names the composition",
           number(live, "frameCount") == 30 && number(live, "width") == 320 && number(live, "height") == 240,
           live.canonical());
    auto video = engine->liveVideo(live.member("id") ? live.member("id")->stringValue().value_or("") : "");
    expect("the live video is taken off the shelf", video.has_value());
    if (video) {
        korvel::Picture frame = video->frame(15);
        expect("a live frame is the canvas in RGB", frame.width == 320 && frame.height == 240 &&
                                                         frame.pixels.size() == size_t(320 * 240 * frame.bands));
        bool varied = false;
        for (size_t i = 3; i < frame.pixels.size() && !varied; ++i) varied = frame.pixels[i] != frame.pixels[0];
        expect("a live frame shows the clip", varied);
        korvel::Picture still = video->still(0.5, 160, 160);
        expect("a still fits the size asked for", still.width == 160 && still.height == 120);
    }
    try {
        engine->call("render.live", JSONValue::parsing(R"({"plan":7})"));
        expect("a bad plan is refused", false);
    } catch (const korvel::InProcessEngine::Failure& failure) {
        expect("a bad plan is refused", failure.code == -32602, failure.message);
    }
    std::printf("%s\n", failures ? "host-cpp: FAILED" : "host-cpp: every answer as expected");
    return failures ? 1 : 0;
}
