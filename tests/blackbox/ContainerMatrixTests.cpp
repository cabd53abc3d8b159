// Video in every container the engine opens, on every road: counter clips
// whose grey levels name their frames, in Matroska, WebM, MPEG-TS, AVI,
// MPEG program streams and Ogg, probed, pictured, rendered, exported with
// their sound, matted and analysed through the real engine.

#include "EngineProcess.hpp"
#include "tests/support/CounterVideo.hpp"
#include "tests/support/Shell.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>
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

constexpr int side = 64;
const std::string clip = "color=black:s=64x64:r=25:d=2";
const std::string clip30 = "color=black:s=64x64:r=30:d=2";
const std::string sound = " -f lavfi -i sine=f=440:r=48000:d=2 -map 0:v -map 1:a ";

struct Container {
    const char* name;
    const char* file;
    std::string clip;        // the lavfi source the counter paints over
    std::string encode;      // after the counter picture
    std::string extraFilter; // after the paint
    int64_t fpsNum = 25;     // of the canvas that shows it frame for frame
    int64_t durationUs = 2'000'000;
    std::function<int(int)> expected; // source frame of canvas frame f
    bool constantRate = true;
    std::string color = "null"; // as the probe names it
    const char* joins = nullptr; // a file made of this one twice over, byte after byte
};

std::vector<Container> containers() {
    auto same = [](int f) { return f; };
    return {
        {"H.264 and AAC in Matroska", "h264.mkv", clip, sound + "-c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac", "", 25, 2'000'000, same},
        {"H.264 and AAC in MPEG-TS", "h264.ts", clip, sound + "-c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac", "", 25, 2'000'000, same},
        // Tagged by the container, which the probe reads as a movie's colr box.
        {"VP9 and Opus in WebM", "vp9.webm", clip,
         sound + "-c:v libvpx-vp9 -lossless 1 -pix_fmt yuv420p -c:a libopus -color_primaries bt709 -color_trc bt709 "
                 "-colorspace bt709",
         "", 25, 2'000'000, same, true,
         R"({"fullRange":false,"hdr":false,"matrix":"bt709","primaries":"bt709","transfer":"bt709"})"},
        // Without this an MP3 encoder's priming leaves an empty first chunk.
        {"MPEG-4 and MP3 in AVI", "mpeg4.avi", clip, sound + "-c:v mpeg4 -q:v 1 -pix_fmt yuv420p -c:a libmp3lame -avoid_negative_ts disabled", "", 25,
         2'000'000, same},
        {"MPEG-2 and MP2 in a program stream", "mpeg2.mpg", clip, sound + "-c:v mpeg2video -q:v 1 -pix_fmt yuv420p -c:a mp2", "",
         25, 2'000'000, same},
        {"Theora and Vorbis in Ogg", "theora.ogg", clip, sound + "-c:v libtheora -q:v 10 -pix_fmt yuv420p -c:a libvorbis", "", 25,
         2'000'000, same},
        // Twenty frames at 30 fps, then forty at 60.
        {"variable frame rate in Matroska", "vfr.mkv", clip30,
         sound + "-fps_mode passthrough -c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac -shortest",
         "settb=1/60,setpts='if(lt(N\\,20)\\,N*2\\,40+(N-20))'", 30, 1'300'000,
         [](int f) { return f < 20 ? f : 20 + 2 * (f - 20); }, false},
        // Two recordings joined (the one above, twice): the second's clock starts over.
        {"MPEG-TS whose clock starts over", "joined.ts", "", "", "", 25, 4'000'000, [](int f) { return f % 50; }, true,
         "null", "h264.ts"},
        // The 33-bit clock (95443.7 s) wraps a third of a second in.
        {"MPEG-TS across the clock's wrap", "wrap.ts", clip,
         sound + "-c:v libx264 -qp 0 -pix_fmt yuv420p -c:a aac -output_ts_offset 95442", "", 25, 2'000'000, same},
    };
}

void PrintTo(const Container& c, std::ostream* os) { *os << c.name; }

const fs::path& folder() {
    static const fs::path f = korvel::testing::freshFolder("container-matrix");
    return f;
}

const Container& named(const std::string& file) {
    static const std::vector<Container> all = containers();
    return *std::find_if(all.begin(), all.end(), [&](const Container& c) { return c.file == file; });
}

// Each container's file is made by the test that reads it, so that the
// containers are tried side by side.
fs::path made(const Container& c) {
    const fs::path file = folder() / c.file;
    if (fs::exists(file)) return file;
    if (c.joins) {
        std::ifstream in(made(named(c.joins)), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        std::ofstream(file, std::ios::binary) << bytes << bytes;
    } else {
        EXPECT_TRUE(counter::make(file, c.clip, c.encode, c.extraFilter)) << c.file;
    }
    return file;
}

std::string source(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + korvel::testing::sha256sum(file) + "\"}";
}

std::string plan(const Container& c, bool withSound) {
    const std::string d = std::to_string(c.durationUs);
    const std::string mix = withSound ? R"([{"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":)" +
                                            d + R"(,"outStartUs":0,"outEndUs":)" + d +
                                            R"(,"speed":1.0,"gain":[],"isolation":null}])"
                                      : "[]";
    return R"({"version":1,"canvas":{"format":"horizontal","width":64,"height":64,"fps":{"num":)" + std::to_string(c.fpsNum) +
           R"(,"den":1}},"segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":)" + d + R"(,"outStartUs":0,"outEndUs":)" + d +
           R"(,"speed":1,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
           R"("videoOverlays":[],"textItems":[],"colorStack":[],"background":null,"audioMix":{"tracks":)" + mix +
           R"(,"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" + d + "}";
}

class Engine {
public:
    explicit Engine(const fs::path& cache) : process_({"--cache-dir", cache.string()}) {}
    JSONValue result(const std::string& what, const std::string& method, const std::string& params) {
        int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id, nullptr, std::chrono::seconds(180));
        const JSONValue* value = r ? r->member("result") : nullptr;
        EXPECT_TRUE(value) << what << " " << method << ": " << (r ? r->canonical() : "no answer");
        return value ? *value : JSONValue();
    }
    JSONValue error(const std::string& method, const std::string& params) {
        int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id, nullptr, std::chrono::seconds(180));
        const JSONValue* value = r ? r->member("error") : nullptr;
        return value ? *value : JSONValue();
    }
    EngineProcess& process() { return process_; }

private:
    EngineProcess process_;
    int64_t next_ = 0;
};

std::string field(const JSONValue& object, const char* name) {
    const JSONValue* value = object.member(name);
    return value ? value->canonical() : "missing";
}

int64_t frameUs(const Container& c, int f) { return (2 * f * 1'000'000 + c.fpsNum) / (2 * c.fpsNum); }

std::vector<int> expectedFrames(const Container& c, int count) {
    std::vector<int> out;
    for (int f = 0; f < count; ++f) out.push_back(c.expected(f));
    return out;
}

} // namespace

class ContainerMatrix : public ::testing::TestWithParam<Container> {};

TEST_P(ContainerMatrix, EveryRoadReadsTheVideo) {
    const fs::path dir = folder();
    Engine engine(dir / "cache");
    {
        const Container& c = GetParam();
        const fs::path file = made(c);
        const std::string sources = R"({"a":)" + source(file) + "}";
        const int count = static_cast<int>(c.durationUs * c.fpsNum / 1'000'000);

        JSONValue probed = engine.result(c.name, "asset.probe", R"({"path":")" + file.string() + "\"}");
        EXPECT_EQ(field(probed, "kind"), R"("video")") << c.name;
        EXPECT_EQ(field(probed, "width"), std::to_string(side)) << c.name;
        EXPECT_EQ(field(probed, "height"), std::to_string(side)) << c.name;
        EXPECT_EQ(field(probed, "hasAudio"), "true") << c.name;
        EXPECT_EQ(field(probed, "firstPtsUs"), "0") << c.name;
        const JSONValue* duration = probed.member("durationUs");
        EXPECT_NEAR(double(duration ? duration->intValue().value_or(0) : 0), double(c.durationUs), 80'000) << c.name;
        if (c.constantRate) {
            EXPECT_EQ(field(probed, "fps"), R"({"den":1,"num":25})") << c.name;
        }
        EXPECT_EQ(field(probed, "color"), c.color) << c.name;

        // The frame shown a quarter into frame 12.
        const fs::path thumb = dir / "thumb.jpg";
        const int64_t thumbUs = 12 * 1'000'000 / c.fpsNum + 250'000 / c.fpsNum;
        engine.result(c.name, "asset.thumbnail",
                      R"({"source":)" + source(file) + R"(,"atUs":)" + std::to_string(thumbUs) +
                          R"(,"maxLongEdge":64,"outPath":")" + thumb.string() + "\"}");
        EXPECT_EQ(counter::shown(thumb, side, side), std::vector<int>{c.expected(12)}) << c.name;
        fs::remove(thumb);

        for (int f : {0, 1, 7, 21, count - 1}) {
            const fs::path out = dir / "frame.png";
            engine.result(c.name, "render.frame",
                          R"({"plan":)" + plan(c, false) + R"(,"sources":)" + sources + R"(,"variant":"after","atUs":)" +
                              std::to_string(frameUs(c, f)) + R"(,"maxLongEdge":64,"outPath":")" + out.string() + "\"}");
            EXPECT_EQ(counter::shown(out, side, side), std::vector<int>{c.expected(f)}) << c.name << " frame " << f;
            fs::remove(out);
        }

        // The first preview window.
        const std::string common = R"({"plan":)" + plan(c, false) + R"(,"sources":)" + sources + R"(,"variant":"after")";
        JSONValue listed = engine.result(c.name, "render.segments", common + "}");
        const JSONValue* windows = listed.member("segments");
        if (windows && windows->arrayPtr() && !windows->arrayPtr()->empty()) {
            const JSONValue& w = windows->arrayPtr()->front();
            const fs::path out = dir / "window.mp4";
            engine.result(c.name, "render.segment",
                          common + R"(,"key":")" + *w.member("key")->stringValue() + R"(","track":"video","outStartUs":)" +
                              std::to_string(*w.member("outStartUs")->intValue()) + R"(,"outEndUs":)" +
                              std::to_string(*w.member("outEndUs")->intValue()) + R"(,"outPath":")" + out.string() + "\"}");
            std::vector<int> want = expectedFrames(c, static_cast<int>(*w.member("frameCount")->intValue()));
            EXPECT_EQ(counter::shown(out, side, side), want) << c.name << " window";
            fs::remove(out);
        } else {
            ADD_FAILURE() << c.name << ": no preview windows";
        }

        // An export with the source's sound in its mix: the mix is read from
        // the container, then carried.
        const fs::path mix = dir / "mix.wav";
        engine.result(c.name, "audio.mix",
                      R"({"outPath":")" + mix.string() + R"(","plan":)" + plan(c, true) + R"(,"sources":)" + sources + "}");
        auto loudest = runCommand("ffmpeg -nostdin -i '" + mix.string() + "' -af volumedetect -f null - 2>&1 | grep max_volume");
        EXPECT_NE(loudest.value_or("").find("max_volume: -"), std::string::npos) << c.name << " mix: " << loudest.value_or("");
        EXPECT_EQ(loudest.value_or("").find("-91"), std::string::npos) << c.name << " mix is silent";
        const fs::path exported = dir / "export.mp4";
        engine.result(c.name, "render.export",
                      R"({"plan":)" + plan(c, true) + R"(,"sources":)" + sources +
                          R"(,"codec":"h264","videoBitrate":4000000,"outPath":")" + exported.string() + R"(","audioPath":")" +
                          mix.string() + "\"}");
        EXPECT_EQ(counter::shown(exported, side, side), expectedFrames(c, count)) << c.name << " export";
        auto streams = runCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + exported.string() + "'");
        EXPECT_NE(streams.value_or("").find("audio"), std::string::npos) << c.name << " export has no sound";
        fs::remove(exported);
        fs::remove(mix);

        const fs::path matte = dir / "matte.mov";
        JSONValue built = engine.result(c.name, "matte.build",
                                        R"({"assetId":"a","source":)" + source(file) +
                                            R"(,"method":"foreground","longEdge":64,"outPath":")" + matte.string() + "\"}");
        EXPECT_TRUE(fs::exists(matte)) << c.name;
        fs::remove(matte);

        JSONValue stats = engine.result(c.name, "analysis.run",
                                        R"({"assetId":"a","source":)" + source(file) + R"(,"kind":"color_stats"})");
        EXPECT_TRUE(stats.member("takes")) << c.name << ": " << stats.canonical();
    }
    engine.process().closeInput();
    EXPECT_EQ(engine.process().wait(), 0);
}

INSTANTIATE_TEST_SUITE_P(EveryContainer, ContainerMatrix, ::testing::ValuesIn(containers()),
                         [](const ::testing::TestParamInfo<Container>& info) {
                             std::string name = info.param.file;
                             std::replace(name.begin(), name.end(), '.', '_');
                             return name;
                         });

// A Matroska or MPEG-TS file cut in its middle answers the damaged-file
// sentence wherever it is opened.
TEST(ContainerMatrixCut, CutShortContainersAreDamaged) {
    const fs::path dir = folder();
    Engine engine(dir / "cache-cut");
    for (const char* name : {"h264.mkv", "h264.ts"}) {
        std::ifstream in(made(named(name)), std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const fs::path cut = dir / ("cut-" + std::string(name));
        std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() * 6 / 10);
        const std::string expected = R"({"code":-32002,"message":")" + cut.filename().string() +
                                     R"( is cut short or damaged, so its end can't be read."})";
        EXPECT_EQ(engine.error("asset.probe", R"({"path":")" + cut.string() + "\"}").canonical(), expected) << name;
        const fs::path thumb = dir / "cut.jpg";
        EXPECT_EQ(engine.error("asset.thumbnail", R"({"source":)" + source(cut) + R"(,"atUs":0,"maxLongEdge":64,"outPath":")" +
                                                      thumb.string() + "\"}")
                      .canonical(),
                  expected)
            << name;
        EXPECT_FALSE(fs::exists(thumb)) << name;
        const Container& whole = named(name);
        const fs::path frame = dir / "cut.png";
        EXPECT_EQ(engine.error("render.frame", R"({"plan":)" + plan(whole, false) + R"(,"sources":{"a":)" + source(cut) +
                                                   R"(},"variant":"after","atUs":0,"maxLongEdge":64,"outPath":")" +
                                                   frame.string() + "\"}")
                      .canonical(),
                  expected)
            << name;
        EXPECT_FALSE(fs::exists(frame)) << name;
        // The analyses word a damaged file as theirs.
        EXPECT_EQ(engine.error("analysis.run", R"({"assetId":"a","source":)" + source(cut) + R"(,"kind":"scenes"})").canonical(),
                  R"({"code":-32002,"message":"Part of this video can't be read. The file may be damaged."})")
            << name;
    }
    engine.process().closeInput();
    EXPECT_EQ(engine.process().wait(), 0);
}
