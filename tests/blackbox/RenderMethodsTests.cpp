// render.segments, render.segment, render.frame and render.export as the
// editor sees them: JSON-RPC lines to the real engine, media made with the
// ffmpeg tool, outputs checked with ffprobe and ffmpeg.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"
#include "tests/support/WavHeader.hpp"

#include <array>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

const std::string ff = "ffmpeg -nostdin -v error -y ";

void make(const std::string& command) { ASSERT_TRUE(runCommand(command)) << command; }

struct Media {
    fs::path folder, clip, smooth, ntsc, hlg, mix, shortMix, sixChannels, wideHeader;
    std::string clipHash, smoothHash, ntscHash, hlgHash;
    Media() {
        folder = korvel::testing::freshFolder("render-media");
        clip = folder / "clip.mp4";
        // Key frames every second: the two-second windows copy.
        make(ff + "-f lavfi -i testsrc2=size=640x360:rate=30:duration=4 -f lavfi -i sine=frequency=440:duration=4 "
                  "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 30 -bf 0 -color_primaries bt709 -color_trc bt709 "
                  "-colorspace bt709 -c:a aac -shortest '" + clip.string() + "'");
        smooth = folder / "smooth.mp4";
        make(ff + "-f lavfi -i gradients=size=640x360:rate=30:duration=1:speed=0.01 -c:v libx264 -preset veryfast "
                  "-crf 12 -pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 '" +
             smooth.string() + "'");
        ntsc = folder / "ntsc.mp4";
        make(ff + "-f lavfi -i testsrc2=size=320x180:rate=30000/1001:duration=3 -c:v libx264 -preset veryfast "
                  "-pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 '" + ntsc.string() + "'");
        // HLG whose tags live only in the bitstream: no colr box.
        hlg = folder / "hlg.mp4";
        make(ff + "-f lavfi -i testsrc2=size=640x360:rate=30:duration=1 -c:v libx265 -pix_fmt yuv420p10le -tag:v hvc1 "
                  "-x265-params log-level=none:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc '" +
             hlg.string() + "'");
        mix = folder / "mix.wav";
        make(ff + "-f lavfi -i sine=frequency=330:sample_rate=48000:duration=4 -ac 2 -c:a pcm_f32le '" + mix.string() + "'");
        shortMix = folder / "short.wav";
        make(ff + "-f lavfi -i sine=sample_rate=48000:duration=3 -ac 2 -c:a pcm_s16le '" + shortMix.string() + "'");
        sixChannels = folder / "six.wav";
        make(ff + "-f lavfi -i sine=sample_rate=48000:duration=4 -ac 6 -c:a pcm_s16le '" + sixChannels.string() + "'");
        // Five frames of 65 535 channels: its length, read from that layout, is no sound's.
        wideHeader = folder / "wide.wav";
        korvel::testing::writeWideWav(wideHeader, 65535, 5);
        clipHash = sha256sum(clip);
        smoothHash = sha256sum(smooth);
        ntscHash = sha256sum(ntsc);
        hlgHash = sha256sum(hlg);
    }
};

const Media& media() {
    static Media m;
    return m;
}

std::string segment(int64_t srcStart, int64_t srcEnd, int64_t outStart, const std::string& asset = "a") {
    return R"({"assetId":")" + asset + R"(","srcStartUs":)" + std::to_string(srcStart) + R"(,"srcEndUs":)" +
           std::to_string(srcEnd) + R"(,"outStartUs":)" + std::to_string(outStart) + R"(,"outEndUs":)" +
           std::to_string(outStart + srcEnd - srcStart) +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null})";
}

struct Plan {
    int64_t width = 640, height = 360, num = 30, den = 1, durationUs = 4'000'000;
    std::vector<std::string> segments{segment(0, 4'000'000, 0)};
    std::string colorStack = "[]";
    std::string tracks = "[]";

    std::string json() const {
        std::string segs;
        for (const auto& s : segments) segs += (segs.empty() ? "" : ",") + s;
        return R"({"version":1,"canvas":{"format":"horizontal","width":)" + std::to_string(width) + R"(,"height":)" +
               std::to_string(height) + R"(,"fps":{"num":)" + std::to_string(num) + R"(,"den":)" + std::to_string(den) +
               R"(}},"segments":[)" + segs + R"(],"videoOverlays":[],"textItems":[],"colorStack":)" + colorStack +
               R"(,"background":null,"audioMix":{"tracks":)" + tracks +
               R"(,"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
               std::to_string(durationUs) + "}";
    }
};

const std::string look = R"([{"kind":"look","look":"warm_cinema","strength":1.0}])";

std::string sources(const fs::path& file, const std::string& hash) {
    return R"({"a":{"path":")" + file.string() + R"(","contentHash":")" + hash + R"("}})";
}
std::string clipSources() { return sources(media().clip, media().clipHash); }

std::string voiceTrack(int64_t durationUs) {
    return R"([{"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":)" +
           std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) +
           R"(,"speed":1.0,"gain":[],"isolation":null}])";
}

const JSONValue& resultOf(const JSONValue& response) {
    static const JSONValue none;
    const JSONValue* r = response.member("result");
    EXPECT_TRUE(r) << response.canonical();
    return r ? *r : none;
}

int64_t intOf(const JSONValue& v, const char* key) {
    const JSONValue* m = v.member(key);
    return m && m->intValue() ? *m->intValue() : -1;
}

std::optional<bool> boolOf(const JSONValue& v, const char* key) {
    const JSONValue* m = v.member(key);
    return m ? m->boolValue() : std::nullopt;
}

std::string stringOf(const JSONValue& v, const char* key) {
    const JSONValue* m = v.member(key);
    return m && m->stringValue() ? *m->stringValue() : "";
}

std::pair<int64_t, std::string> errorOf(const JSONValue& response) {
    const JSONValue* e = response.member("error");
    if (!e) return {0, "no error: " + response.canonical()};
    return {intOf(*e, "code"), stringOf(*e, "message")};
}

// The streams of a movie as ffprobe reads them.
std::vector<JSONValue> streams(const fs::path& file) {
    auto out = runCommand("ffprobe -v error -count_frames -show_streams -of json '" + file.string() + "'");
    if (!out) return {};
    JSONValue v = JSONValue::parsing(*out);
    const JSONValue* s = v.member("streams");
    return s && s->arrayPtr() ? *s->arrayPtr() : std::vector<JSONValue>{};
}

double psnr(const fs::path& a, const fs::path& b) {
    auto out = runCommand("ffmpeg -nostdin -i '" + a.string() + "' -i '" + b.string() +
                          "' -lavfi psnr -f null - 2>&1 | grep -o 'average:[0-9.inf]*'");
    if (!out || out->size() < 9) return 0;
    std::string v = out->substr(8);
    return v.rfind("inf", 0) == 0 ? 1000 : std::stod(v);
}

std::string framemd5(const fs::path& file) {
    auto out = runCommand(ff + "-i '" + file.string() + "' -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
    return out.value_or("");
}

class Engine {
public:
    explicit Engine(const fs::path& cache) : process_({"--cache-dir", cache.string()}) {}
    JSONValue ask(const std::string& method, const std::string& params, std::vector<JSONValue>* progress = nullptr) {
        int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        std::vector<JSONValue> notes;
        // An encoder's flush sends no line: a loaded machine may take a while.
        auto r = process_.responseFor(id, &notes, std::chrono::seconds(180));
        if (progress) *progress = notes;
        return r ? *r : JSONValue();
    }
    EngineProcess& process() { return process_; }
    int64_t nextId() { return ++next_; }

private:
    EngineProcess process_;
    int64_t next_ = 0;
};

struct Listed {
    std::string key;
    int64_t outStartUs = 0, outEndUs = 0, frameCount = 0;
    bool cached = false;
    std::optional<bool> copied;
};

std::vector<Listed> list(Engine& engine, const Plan& plan, const std::string& src = clipSources()) {
    JSONValue r = engine.ask("render.segments", R"({"plan":)" + plan.json() + R"(,"sources":)" + src + R"(,"variant":"after"})");
    std::vector<Listed> out;
    const JSONValue* segs = resultOf(r).member("segments");
    if (!segs || !segs->arrayPtr()) return out;
    for (const auto& s : *segs->arrayPtr()) {
        out.push_back({stringOf(s, "key"), intOf(s, "outStartUs"), intOf(s, "outEndUs"), intOf(s, "frameCount"),
                       boolOf(s, "cached").value_or(false), boolOf(s, "copied")});
    }
    return out;
}

std::string segmentParams(const Plan& plan, const std::string& key, int64_t start, int64_t end, const fs::path& out,
                          const std::string& src = clipSources()) {
    return R"({"plan":)" + plan.json() + R"(,"sources":)" + src + R"(,"variant":"after","key":")" + key +
           R"(","track":"video","outStartUs":)" + std::to_string(start) + R"(,"outEndUs":)" + std::to_string(end) +
           R"(,"outPath":")" + out.string() + "\"}";
}

std::string exportParams(const Plan& plan, const std::string& codec, const fs::path& out, const std::string& extra = "",
                         const std::string& src = clipSources()) {
    return R"({"plan":)" + plan.json() + R"(,"sources":)" + src + R"(,"codec":")" + codec +
           R"(","videoBitrate":3000000,"outPath":")" + out.string() + "\"" + extra + "}";
}

bool leftovers(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().find(".korvel-partial-") != std::string::npos) return true;
    return false;
}

} // namespace

TEST(RenderSegments, PlainWindowsCopyAndALookRenders) {
    auto dir = fs::path(korvel::testing::freshFolder("render-list"));
    Engine engine(dir / "cache");
    Plan plain;
    auto windows = list(engine, plain);
    ASSERT_EQ(windows.size(), 2u);
    for (const auto& w : windows) {
        EXPECT_EQ(w.frameCount, 60);
        EXPECT_FALSE(w.cached);
        EXPECT_EQ(w.copied, std::optional<bool>(true));
    }
    EXPECT_EQ(windows[1].outStartUs, 2'000'000);
    Plan graded;
    graded.colorStack = look;
    for (const auto& w : list(engine, graded)) {
        EXPECT_FALSE(w.copied.has_value());
        EXPECT_FALSE(w.cached);
    }
}

TEST(RenderSegment, RenderThenCacheThenCopy) {
    auto dir = fs::path(korvel::testing::freshFolder("render-segment"));
    Engine engine(dir / "cache");
    Plan plan;
    plan.width = 1920; // fitted into 1620 × 912, so no window copies
    plan.height = 1080;
    plan.colorStack = look;
    auto windows = list(engine, plan);
    ASSERT_EQ(windows.size(), 2u);
    const auto& w = windows[0];
    auto out = dir / "window.mp4";
    std::vector<JSONValue> progress;
    JSONValue r = resultOf(engine.ask("render.segment", segmentParams(plan, w.key, w.outStartUs, w.outEndUs, out), &progress));
    EXPECT_EQ(intOf(r, "frameCount"), 60);
    EXPECT_EQ(intOf(r, "durationUs"), 2'000'000);
    EXPECT_EQ(intOf(r, "firstPtsUs"), 0);
    EXPECT_EQ(boolOf(r, "cached"), std::optional<bool>(false));
    EXPECT_FALSE(boolOf(r, "copied").has_value());
    EXPECT_EQ(intOf(r, "byteLength"), static_cast<int64_t>(fs::file_size(out)));
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(intOf(*progress.back().member("params"), "done"), 60);
    EXPECT_EQ(stringOf(*progress.back().member("params"), "phase"), "render");

    auto s = streams(out);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(stringOf(s[0], "codec_name"), "h264");
    EXPECT_EQ(stringOf(s[0], "profile"), "High");
    EXPECT_EQ(intOf(s[0], "has_b_frames"), 0);
    EXPECT_EQ(intOf(s[0], "width"), 1620);
    EXPECT_EQ(intOf(s[0], "height"), 912);
    EXPECT_EQ(stringOf(s[0], "color_primaries"), "bt709");
    EXPECT_EQ(stringOf(s[0], "color_transfer"), "bt709");
    EXPECT_EQ(stringOf(s[0], "color_space"), "bt709");
    EXPECT_EQ(stringOf(s[0], "nb_read_frames"), "60");
    // The encoder's own settings ride in the bitstream: 16 Mbit/s with a
    // buffer of twice that, no B-frames, a key frame every two seconds.
    auto settings = runCommand("strings '" + out.string() + "' | grep 'bitrate=' | head -1").value_or("");
    EXPECT_NE(settings.find("bitrate=16000 "), std::string::npos) << settings;
    EXPECT_NE(settings.find("vbv_maxrate=16000 "), std::string::npos) << settings;
    EXPECT_NE(settings.find("vbv_bufsize=32000 "), std::string::npos) << settings;
    EXPECT_NE(settings.find("bframes=0 "), std::string::npos) << settings;
    EXPECT_NE(settings.find("keyint=60 "), std::string::npos) << settings;

    // Again: from the cache, the same bytes, one progress line.
    auto again = dir / "again.mp4";
    r = resultOf(engine.ask("render.segment", segmentParams(plan, w.key, w.outStartUs, w.outEndUs, again), &progress));
    EXPECT_EQ(boolOf(r, "cached"), std::optional<bool>(true));
    EXPECT_EQ(progress.size(), 1u);
    EXPECT_EQ(sha256sum(again), sha256sum(out));
    EXPECT_TRUE(list(engine, plan)[0].cached);

    // A plain plan at the source's size copies: the very pictures of the source.
    Plan plain;
    auto copyWindows = list(engine, plain);
    auto copied = dir / "copied.mp4";
    r = resultOf(engine.ask("render.segment", segmentParams(plain, copyWindows[1].key, copyWindows[1].outStartUs,
                                                            copyWindows[1].outEndUs, copied)));
    EXPECT_EQ(boolOf(r, "copied"), std::optional<bool>(true));
    EXPECT_EQ(boolOf(r, "cached"), std::optional<bool>(false));
    auto source = runCommand(ff + "-ss 2 -i '" + media().clip.string() +
                             "' -map 0:v -frames:v 60 -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'")
                      .value_or("x");
    EXPECT_EQ(framemd5(copied), source);
}

TEST(RenderSegment, FailuresAndBadKeysWriteNothing) {
    auto dir = fs::path(korvel::testing::freshFolder("render-segment-failures"));
    Engine engine(dir / "cache");
    Plan plan;
    plan.colorStack = look;
    std::string key(64, 'a');
    auto out = dir / "never.mp4";
    EXPECT_EQ(errorOf(engine.ask("render.segment", segmentParams(plan, key, 1'000'000, 1'000'000, out))),
              (std::pair<int64_t, std::string>{-32602, "The segment holds no frames."}));
    EXPECT_EQ(errorOf(engine.ask("render.segment", segmentParams(plan, key, 9'000'000, 9'500'000, out))),
              (std::pair<int64_t, std::string>{-32602, "The segment holds no frames."}));
    EXPECT_EQ(errorOf(engine.ask("render.segment", segmentParams(plan, "../../escape", 0, 2'000'000, out))),
              (std::pair<int64_t, std::string>{-32602, "The segment key must be 64 lowercase hexadecimal characters."}));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(dir / "cache" / "after"));
    // Instants far past the end clamp to it, exactly: no product leaves range.
    JSONValue r = resultOf(engine.ask("render.segment", segmentParams(plan, key, 3'000'000, INT64_MAX, out)));
    EXPECT_EQ(intOf(r, "frameCount"), 30);
    Plan odd;
    odd.width = 9000;
    EXPECT_EQ(errorOf(engine.ask("render.segment", segmentParams(odd, key, 0, 2'000'000, out))),
              (std::pair<int64_t, std::string>{-32602, "The canvas must be 2 to 8192 pixels on each side."}));
}

TEST(RenderFrame, MatchesTheDecodedFrameAndItsTime) {
    auto dir = fs::path(korvel::testing::freshFolder("render-frame"));
    Engine engine(dir / "cache");
    Plan plan;
    plan.durationUs = 1'000'000;
    plan.segments = {segment(0, 1'000'000, 0)};
    auto frameParams = [&](const Plan& p, const std::string& src, int64_t atUs, int64_t edge, const fs::path& out) {
        return R"({"plan":)" + p.json() + R"(,"sources":)" + src + R"(,"variant":"after","atUs":)" + std::to_string(atUs) +
               R"(,"maxLongEdge":)" + std::to_string(edge) + R"(,"outPath":")" + out.string() + "\"}";
    };
    auto out = dir / "frame.png";
    JSONValue r = resultOf(engine.ask("render.frame", frameParams(plan, sources(media().smooth, media().smoothHash), 500'000, 640, out)));
    EXPECT_EQ(intOf(r, "width"), 640);
    EXPECT_EQ(intOf(r, "height"), 360);
    EXPECT_EQ(intOf(r, "ptsUs"), 500'000);
    auto reference = dir / "reference.png";
    make(ff + "-i '" + media().smooth.string() + "' -vf 'select=eq(n\\,15),scale=in_color_matrix=bt709:flags=bicubic+accurate_rnd+full_chroma_int' -frames:v 1 '" +
         reference.string() + "'");
    EXPECT_GE(psnr(out, reference), 35.0);

    // The frame shown at an instant, and its own time, on both grids.
    struct Case {
        int64_t num, den, atUs, ptsUs;
    };
    for (auto c : std::vector<Case>{{30, 1, 0, 0},
                                   {30, 1, 33'333, 33'333},
                                   {30, 1, 33'332, 0},
                                   {30, 1, -5, 0},
                                   {30, 1, 99'000'000, 966'667},
                                   {30000, 1001, 1'000'000, 967'633},
                                   {30000, 1001, 2'002'000, 2'002'000},
                                   {30000, 1001, 99'000'000, 2'969'633}}) {
        Plan p;
        p.num = c.num;
        p.den = c.den;
        p.width = 320;
        p.height = 180;
        std::string src = c.den == 1 ? sources(media().smooth, media().smoothHash) : sources(media().ntsc, media().ntscHash);
        p.durationUs = c.den == 1 ? 1'000'000 : 3'000'000;
        p.segments = {segment(0, p.durationUs, 0)};
        r = resultOf(engine.ask("render.frame", frameParams(p, src, c.atUs, 320, dir / "at.jpg")));
        EXPECT_EQ(intOf(r, "ptsUs"), c.ptsUs) << c.num << "/" << c.den << " at " << c.atUs;
    }
    // A long edge of 1 still makes a picture.
    r = resultOf(engine.ask("render.frame", frameParams(plan, clipSources(), 0, 1, dir / "tiny.png")));
    EXPECT_EQ(intOf(r, "width"), 2);
    EXPECT_EQ(intOf(r, "height"), 1);
    r = resultOf(engine.ask("render.frame", frameParams(plan, clipSources(), INT64_MAX, 64, dir / "last.png")));
    EXPECT_EQ(intOf(r, "ptsUs"), 966'667);
}

TEST(RenderExport, H264WithTheMixAndHevcHlg) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export"));
    Engine engine(dir / "cache");
    // No sound tracks, yet a mix: it is muxed in all the same.
    Plan plan;
    plan.colorStack = look;
    auto out = dir / "movie.mp4";
    std::vector<JSONValue> progress;
    JSONValue r = resultOf(engine.ask("render.export",
                                      exportParams(plan, "h264", out, R"(,"audioPath":")" + media().mix.string() + "\""),
                                      &progress));
    EXPECT_EQ(intOf(r, "frameCount"), 120);
    EXPECT_EQ(intOf(r, "durationUs"), 4'000'000);
    EXPECT_EQ(intOf(r, "width"), 640);
    EXPECT_EQ(intOf(r, "byteLength"), static_cast<int64_t>(fs::file_size(out)));
    EXPECT_FALSE(boolOf(r, "videoCopied").has_value());
    EXPECT_FALSE(boolOf(r, "audioCopied").has_value());
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(stringOf(*progress.back().member("params"), "phase"), "export");
    auto s = streams(out);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(stringOf(s[0], "codec_name"), "h264");
    EXPECT_EQ(stringOf(s[0], "profile"), "High");
    EXPECT_EQ(stringOf(s[0], "color_transfer"), "bt709");
    EXPECT_EQ(stringOf(s[0], "nb_read_frames"), "120");
    EXPECT_EQ(stringOf(s[1], "codec_name"), "aac");
    EXPECT_EQ(intOf(s[1], "channels"), 2);
    EXPECT_NEAR(std::stod(stringOf(s[1], "duration")), 4.0, 0.05);
    auto bytes = runCommand("head -c 4096 '" + out.string() + "' | grep -c moov").value_or("0");
    EXPECT_EQ(bytes.substr(0, 1), "1") << "the movie box comes first";

    auto hdr = dir / "hlg.mp4";
    Plan hlgPlan;
    hlgPlan.durationUs = 1'000'000;
    hlgPlan.segments = {segment(0, 1'000'000, 0)};
    r = resultOf(engine.ask("render.export", exportParams(hlgPlan, "hevc", hdr, R"(,"dynamicRange":"keep_hdr")",
                                                          sources(media().hlg, media().hlgHash))));
    EXPECT_EQ(intOf(r, "frameCount"), 30);
    s = streams(hdr);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(stringOf(s[0], "codec_name"), "hevc");
    EXPECT_EQ(stringOf(s[0], "codec_tag_string"), "hvc1");
    EXPECT_EQ(stringOf(s[0], "profile"), "Main 10");
    EXPECT_EQ(stringOf(s[0], "pix_fmt"), "yuv420p10le");
    EXPECT_EQ(stringOf(s[0], "color_transfer"), "arib-std-b67");
    EXPECT_EQ(stringOf(s[0], "color_primaries"), "bt2020");
    EXPECT_EQ(stringOf(s[0], "color_space"), "bt2020nc");
}

// The mix is encoded at its own rate and channel count, from its first sample.
TEST(RenderExport, AMixKeepsItsRateAndChannels) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-mix-rate"));
    auto mix = dir / "mono44.wav";
    make(ff + "-f lavfi -i sine=frequency=500:sample_rate=44100:duration=4 -ac 1 -c:a pcm_s16le '" + mix.string() + "'");
    Engine engine(dir / "cache");
    Plan plan;
    plan.colorStack = look;
    auto out = dir / "movie.mp4";
    resultOf(engine.ask("render.export", exportParams(plan, "h264", out, R"(,"audioPath":")" + mix.string() + "\"")));
    auto s = streams(out);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(stringOf(s[1], "codec_name"), "aac");
    EXPECT_EQ(stringOf(s[1], "sample_rate"), "44100");
    EXPECT_EQ(intOf(s[1], "channels"), 1);
    EXPECT_EQ(stringOf(s[1], "start_time"), "0.000000");
    EXPECT_NEAR(std::stod(stringOf(s[1], "duration")), 4.0, 0.05);
}

// Mix files as users have them: two files of two layouts joined, samples far
// past full scale, a rate far from real sound.
TEST(RenderExport, OddMixFilesExportWholeOrAnswerTheirSentence) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-odd-mix"));
    const fs::path stereo = dir / "stereo.mp3", mono = dir / "mono.mp3", joined = dir / "joined.mp3";
    make(ff + "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -ac 2 -c:a libmp3lame '" + stereo.string() + "'");
    make(ff + "-f lavfi -i sine=frequency=660:sample_rate=48000:duration=2 -ac 1 -c:a libmp3lame '" + mono.string() + "'");
    ASSERT_TRUE(runCommand("cat '" + stereo.string() + "' '" + mono.string() + "' > '" + joined.string() + "'"));
    std::vector<float> tone(4 * 48000);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = 0.25f * std::sin(0.05f * float(i));
    for (size_t at : {20'000u, 100'000u}) tone[at] = 1e20f;
    const fs::path huge = dir / "huge.wav", slow = dir / "slow.wav";
    korvel::testing::writeHandWav(huge, 48000, 1, tone, korvel::testing::WavSamples::float32);
    korvel::testing::writeHandWav(slow, 1, 1, std::vector<float>(4, 0.25f), korvel::testing::WavSamples::int16);
    Engine engine(dir / "cache");
    Plan plan;
    plan.colorStack = look;
    for (const fs::path& mix : {joined, huge}) {
        // The joined file's length is guessed from its first part's bit rate; the video lasts that long.
        const auto declared = runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + mix.string() + "'");
        ASSERT_TRUE(declared);
        Plan timed = plan;
        timed.durationUs = std::llround(std::stod(*declared) * 30) * 1'000'000 / 30;
        ASSERT_GT(timed.durationUs, 2'500'000) << "the second part is played";
        timed.segments = {segment(0, timed.durationUs, 0)};
        const auto out = dir / (mix.stem().string() + ".mp4");
        const JSONValue r = engine.ask("render.export", exportParams(timed, "h264", out, R"(,"audioPath":")" + mix.string() + "\""));
        ASSERT_TRUE(r.member("result")) << mix.filename() << ": " << r.canonical();
        const auto s = streams(out);
        ASSERT_EQ(s.size(), 2u);
        EXPECT_NEAR(std::stod(stringOf(s[1], "duration")), double(timed.durationUs) / 1e6, 0.05) << mix.filename();
    }
    const auto out = dir / "slow.mp4";
    EXPECT_EQ(errorOf(engine.ask("render.export", exportParams(plan, "h264", out, R"(,"audioPath":")" + slow.string() + "\""))),
              (std::pair<int64_t, std::string>{-32002, "The sound mix has no readable sound format."}));
    EXPECT_FALSE(fs::exists(out));
}

TEST(RenderExport, CopyRoadPassesPicturesAndSoundThrough) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-copy"));
    Engine engine(dir / "cache");
    Plan plan;
    plan.tracks = voiceTrack(4'000'000);
    auto out = dir / "copy.mp4";
    JSONValue r = resultOf(engine.ask("render.export", exportParams(plan, "h264", out, R"(,"audioPath":")" + media().mix.string() + "\"")));
    EXPECT_EQ(boolOf(r, "videoCopied"), std::optional<bool>(true));
    EXPECT_EQ(boolOf(r, "audioCopied"), std::optional<bool>(true));
    EXPECT_EQ(intOf(r, "frameCount"), 120);
    EXPECT_EQ(framemd5(out), framemd5(media().clip));
}

// H.264 and HEVC demuxed from Matroska and MPEG-TS (Annex B, parameter sets
// in band, B-frames) take the copy road as a movie's do: the windows and the
// export hold the very pictures of the source. Previews copy H.264 only.
TEST(RenderSegment, MatroskaAndTransportStreamPicturesAreCopied) {
    auto dir = fs::path(korvel::testing::freshFolder("render-copy-containers"));
    Engine engine(dir / "cache");
    const std::string tags = "-pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
    const std::string x264 = "-c:v libx264 -preset veryfast -g 30 " + tags;
    const std::string x265 = "-c:v libx265 -preset veryfast -x265-params log-level=none:keyint=30 " + tags;
    struct Case {
        std::string file, encoder, codec;
        bool previews;
    } cases[] = {
        {"h264.mkv", x264 + "-bf 0", "h264", true},
        {"h264.ts", x264, "h264", true},
        {"hevc.mkv", x265, "hevc", false},
        {"hevc.ts", x265, "hevc", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = dir / c.file;
        make(ff + "-f lavfi -i testsrc2=size=640x360:rate=30:duration=4 " + c.encoder + " '" + file.string() + "'");
        const std::string src = sources(file, sha256sum(file));
        Plan plain;
        if (!c.previews) {
            for (const auto& w : list(engine, plain, src)) EXPECT_FALSE(w.copied.has_value()) << w.outStartUs;
        }
        if (c.previews) {
            auto windows = list(engine, plain, src);
            ASSERT_EQ(windows.size(), 2u);
            for (const auto& w : windows) {
                EXPECT_EQ(w.copied, std::optional<bool>(true)) << w.outStartUs;
                const auto out = dir / (c.file + "-" + std::to_string(w.outStartUs) + ".mp4");
                JSONValue r = resultOf(engine.ask("render.segment", segmentParams(plain, w.key, w.outStartUs, w.outEndUs, out, src)));
                EXPECT_EQ(boolOf(r, "copied"), std::optional<bool>(true)) << w.outStartUs;
                EXPECT_EQ(intOf(r, "frameCount"), 60);
                const std::string seconds = std::to_string(w.outStartUs / 1'000'000);
                auto shown = runCommand(ff + "-ss " + seconds + " -i '" + file.string() +
                                        "' -map 0:v -frames:v 60 -f framemd5 - | grep -v '^#' | awk -F, '{print $6}'");
                EXPECT_EQ(framemd5(out), shown.value_or("x")) << w.outStartUs;
            }
        }
        const auto out = dir / (c.file + ".mp4");
        JSONValue r = resultOf(engine.ask("render.export", exportParams(plain, c.codec, out, "", src)));
        EXPECT_EQ(boolOf(r, "videoCopied"), std::optional<bool>(true));
        EXPECT_EQ(intOf(r, "frameCount"), 120);
        EXPECT_EQ(framemd5(out), framemd5(file));
        auto s = streams(out);
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(stringOf(s[0], "codec_tag_string"), c.codec == "h264" ? "avc1" : "hvc1");
    }
}

// Codecs a movie can't carry as they are keep the render road from these containers too.
TEST(RenderSegment, OtherCodecsFromMatroskaAndProgramStreamsAreRendered) {
    auto dir = fs::path(korvel::testing::freshFolder("render-copy-other-codecs"));
    Engine engine(dir / "cache");
    const std::string tags = "-pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 -g 30 ";
    const std::pair<std::string, std::string> cases[] = {
        {"vp9.webm", "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 " + tags},
        {"mpeg2.mpg", "-c:v mpeg2video -q:v 4 " + tags},
    };
    for (const auto& [name, encoder] : cases) {
        SCOPED_TRACE(name);
        const fs::path file = dir / name;
        make(ff + "-f lavfi -i testsrc2=size=640x360:rate=30:duration=4 " + encoder + " '" + file.string() + "'");
        const std::string src = sources(file, sha256sum(file));
        Plan plain;
        const auto windows = list(engine, plain, src);
        EXPECT_EQ(windows.size(), 2u);
        for (const auto& w : windows) EXPECT_FALSE(w.copied.has_value()) << w.outStartUs;
        const auto out = dir / (name + ".mp4");
        JSONValue r = resultOf(engine.ask("render.export", exportParams(plain, "h264", out, "", src)));
        EXPECT_FALSE(boolOf(r, "videoCopied").has_value());
        EXPECT_EQ(intOf(r, "frameCount"), 120);
    }
}

// A phone clip whose sound outlasts its pictures: a plan as long as the
// sound can't be copied whole, so it is rendered, and says what it wrote.
TEST(RenderExport, PicturesShorterThanThePlanAreRenderedNotCopied) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-short-pictures"));
    const fs::path phone = dir / "phone.mp4";
    make(ff + "-f lavfi -i testsrc2=size=640x360:rate=30:duration=2 -f lavfi -i sine=duration=3 -c:v libx264 "
              "-preset veryfast -pix_fmt yuv420p -g 30 -bf 0 -color_primaries bt709 -color_trc bt709 -colorspace bt709 "
              "-c:a aac '" + phone.string() + "'");
    const std::string src = sources(phone, sha256sum(phone));
    Engine engine(dir / "cache");
    struct Case {
        int64_t durationUs, frames;
        bool copied;
    } cases[] = {{2'000'000, 60, true}, {3'000'000, 90, false}};
    for (const auto& c : cases) {
        Plan plan;
        plan.durationUs = c.durationUs;
        plan.segments = {segment(0, c.durationUs, 0)};
        const fs::path out = dir / ("cut" + std::to_string(c.durationUs) + ".mp4");
        JSONValue r = resultOf(engine.ask("render.export", exportParams(plan, "h264", out, "", src)));
        EXPECT_EQ(boolOf(r, "videoCopied").value_or(false), c.copied) << c.durationUs;
        EXPECT_EQ(intOf(r, "frameCount"), c.frames) << c.durationUs;
        EXPECT_EQ(intOf(r, "durationUs"), c.durationUs);
        auto s = streams(out);
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(stringOf(s[0], "nb_read_frames"), std::to_string(c.frames)) << c.durationUs;
        EXPECT_NEAR(std::stod(stringOf(s[0], "duration")), double(c.durationUs) / 1e6, 0.001) << c.durationUs;
        // No preview window copies past the pictures' end.
        for (const auto& w : list(engine, plan, src)) {
            if (w.outEndUs > 2'000'000) {
                EXPECT_FALSE(w.copied.value_or(false)) << w.outStartUs << "-" << w.outEndUs;
            }
        }
    }
}

TEST(RenderExport, FailuresInTheirOrderLeaveNothing) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-failures"));
    Engine engine(dir / "cache");
    auto out = dir / "never.mp4";
    Plan plan;
    plan.colorStack = look;
    using E = std::pair<int64_t, std::string>;
    auto fails = [&](const Plan& p, const std::string& codec, const std::string& extra, const std::string& src = clipSources()) {
        return errorOf(engine.ask("render.export", exportParams(p, codec, out, extra, src)));
    };
    // Each case also breaks every later rule, so the order shows.
    Plan sound = plan;
    sound.tracks = voiceTrack(4'000'000);
    EXPECT_EQ(fails(sound, "h264", R"(,"dynamicRange":"keep_hdr")"), (E{-32602, "Keeping HDR needs HEVC."}));
    EXPECT_EQ(fails(sound, "hevc", R"(,"dynamicRange":"keep_hdr")"),
              (E{-32602, "This plan has sound, so the export needs the mix file in audioPath."}));
    EXPECT_EQ(fails(plan, "hevc", R"(,"dynamicRange":"keep_hdr")"),
              (E{-32602, "Keeping HDR needs an HDR source, and this plan has none."}));
    Plan empty = plan;
    empty.segments = {};
    empty.durationUs = 0;
    EXPECT_EQ(fails(empty, "h264", ""), (E{-32602, "The plan has no frames."}));
    EXPECT_EQ(fails(plan, "h264", R"(,"audioPath":")" + (dir / "gone.wav").string() + "\""),
              (E{-32001, "The sound mix gone.wav is not there."}));
    EXPECT_EQ(fails(plan, "h264", R"(,"audioPath":")" + media().shortMix.string() + "\""),
              (E{-32602, "The sound mix lasts 3.0 s and the video 4.0 s."}));
    EXPECT_EQ(fails(plan, "h264", R"(,"audioPath":")" + media().sixChannels.string() + "\""),
              (E{-32002, "The sound mix must be mono or stereo, not 6 channels."}));
    EXPECT_EQ(fails(plan, "h264", R"(,"audioPath":")" + media().wideHeader.string() + "\""),
              (E{-32002, "The sound mix must be mono or stereo, not 65535 channels."}));
    Plan odd = plan;
    odd.width = 641;
    EXPECT_EQ(fails(odd, "h264", ""), (E{-32602, "An export needs an even canvas width and height."}));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(leftovers(dir));
}

TEST(RenderExport, ACopiedSourceThatChangedSaysSoFirstAndLeavesNothing) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-changed"));
    Engine engine(dir / "cache");
    auto out = dir / "never.mp4";
    const std::string otherHash(64, 'e');
    using E = std::pair<int64_t, std::string>;
    const E changed{-32001, "clip.mp4 changed since it was imported."};
    Plan voice;
    voice.tracks = voiceTrack(4'000'000);
    Plan plain;
    // The copy road is taken for each plan; every later failure must wait for the hash.
    struct Case {
        const Plan* plan;
        std::string extra;
    } cases[] = {
        {&plain, ""},
        {&voice, R"(,"audioPath":")" + media().mix.string() + "\""},
        {&plain, R"(,"audioPath":")" + media().shortMix.string() + "\""},
        {&plain, R"(,"audioPath":")" + media().sixChannels.string() + "\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(engine.ask("render.export", exportParams(*c.plan, "h264", out, c.extra,
                                                                   sources(media().clip, otherHash)))),
                  changed)
            << c.extra;
        EXPECT_FALSE(fs::exists(out)) << c.extra;
        EXPECT_FALSE(leftovers(dir)) << c.extra;
    }
    // The same engine still copies the source when the client holds its hash.
    JSONValue r = resultOf(engine.ask("render.export", exportParams(plain, "h264", out)));
    EXPECT_EQ(boolOf(r, "videoCopied"), std::optional<bool>(true));
    EXPECT_EQ(framemd5(out), framemd5(media().clip));
}

TEST(RenderExport, CancelledOrKilledLeavesNothingAtThePath) {
    auto dir = fs::path(korvel::testing::freshFolder("render-export-cancel"));
    auto cache = dir / "cache";
    Plan plan;
    plan.width = 1920;
    plan.height = 1080;
    plan.colorStack = look;
    auto out = dir / "cancelled.mp4";
    {
        Engine engine(cache);
        int64_t id = engine.nextId();
        engine.process().sendLine(EngineProcess::request(id, "render.export", exportParams(plan, "h264", out)));
        auto first = engine.process().readJSON(std::chrono::seconds(60));
        ASSERT_TRUE(first && first->member("method")) << (first ? first->canonical() : "nothing");
        engine.process().sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":)" + std::to_string(id) + "}}");
        auto answer = engine.process().responseFor(id, nullptr, std::chrono::seconds(180));
        ASSERT_TRUE(answer);
        EXPECT_EQ(errorOf(*answer), (std::pair<int64_t, std::string>{-32800, "Cancelled."}));
        EXPECT_FALSE(fs::exists(out));
        EXPECT_FALSE(leftovers(dir));
    }
    auto killed = dir / "killed.mp4";
    {
        Engine engine(cache);
        int64_t id = engine.nextId();
        engine.process().sendLine(EngineProcess::request(id, "render.export", exportParams(plan, "h264", killed)));
        auto first = engine.process().readJSON(std::chrono::seconds(60));
        ASSERT_TRUE(first && first->member("method"));
        engine.process().killNow(SIGKILL);
    }
    EXPECT_FALSE(fs::exists(killed));
    EXPECT_TRUE(leftovers(dir)) << "the dead process's partial folder";
    {
        Engine engine(cache);
        engine.ask("engine.hello", R"({"contractVersion":9})");
    }
    EXPECT_FALSE(leftovers(dir)) << "swept at the next start";
}

namespace {

struct Pixels {
    int width = 0, height = 0;
    std::string rgb;
    std::array<int, 3> at(double x, double y) const {
        int px = static_cast<int>(x * width), py = static_cast<int>(y * height);
        size_t i = (static_cast<size_t>(py) * static_cast<size_t>(width) + static_cast<size_t>(px)) * 3;
        return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
                static_cast<unsigned char>(rgb[i + 2])};
    }
    int brightest(double x0, double y0, double x1, double y1) const {
        int best = 0;
        for (int y = static_cast<int>(y0 * height); y < static_cast<int>(y1 * height); ++y)
            for (int x = static_cast<int>(x0 * width); x < static_cast<int>(x1 * width); ++x) {
                size_t i = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
                best = std::max(best, std::min({static_cast<unsigned char>(rgb[i]) + 0, static_cast<unsigned char>(rgb[i + 1]) + 0,
                                                static_cast<unsigned char>(rgb[i + 2]) + 0}));
            }
        return best;
    }
};

Pixels pixelsOf(const fs::path& image, int width, int height) {
    auto raw = runCommand(ff + "-i '" + image.string() + "' -f rawvideo -pix_fmt rgb24 -");
    Pixels p;
    p.width = width;
    p.height = height;
    p.rgb = raw.value_or("");
    EXPECT_EQ(p.rgb.size(), static_cast<size_t>(width * height * 3));
    if (p.rgb.size() != static_cast<size_t>(width * height * 3)) p.rgb.assign(static_cast<size_t>(width * height * 3), 0);
    return p;
}

bool near(std::array<int, 3> a, std::array<int, 3> b, int tolerance = 12) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(a[c] - b[c]) > tolerance) return false;
    return true;
}

} // namespace

TEST(RenderFrame, EveryLayerShowsInThePixels) {
    auto dir = fs::path(korvel::testing::freshFolder("render-layers"));
    auto grey = dir / "grey.mp4", blue = dir / "blue.mp4", mask = dir / "mask.mp4", logo = dir / "logo.png";
    const std::string x264 = " -c:v libx264 -preset veryfast -pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
    make(ff + "-f lavfi -i color=c=0x808080:size=320x180:rate=30:duration=2" + x264 + "'" + grey.string() + "'");
    make(ff + "-f lavfi -i color=c=0x2040c0:size=320x180:rate=30:duration=2" + x264 + "'" + blue.string() + "'");
    // A person on the left half: white there, black on the right.
    make(ff + "-f lavfi -i color=c=black:size=320x180:rate=30:duration=2 -vf drawbox=x=0:y=0:w=160:h=180:color=white:t=fill" +
         x264 + "'" + mask.string() + "'");
    make(ff + "-f lavfi -i color=c=0xff0000:size=64x64 -frames:v 1 '" + logo.string() + "'");
    std::string src = R"({"a":{"path":")" + grey.string() + R"(","contentHash":")" + sha256sum(grey) + R"("},"b":{"path":")" +
                      blue.string() + R"(","contentHash":")" + sha256sum(blue) + R"("},"logo":{"path":")" + logo.string() +
                      R"(","contentHash":")" + sha256sum(logo) + R"("}})";
    Engine engine(dir / "cache");
    int shot = 0;
    auto draw = [&](const std::string& planJSON, int64_t atUs, const std::string& extra = "") {
        auto out = dir / ("frame-" + std::to_string(++shot) + ".png");
        JSONValue r = engine.ask("render.frame", R"({"plan":)" + planJSON + R"(,"sources":)" + src + extra +
                                                     R"(,"variant":"after","atUs":)" + std::to_string(atUs) +
                                                     R"(,"maxLongEdge":320,"outPath":")" + out.string() + "\"}");
        EXPECT_EQ(intOf(resultOf(r), "width"), 320) << r.canonical();
        return pixelsOf(out, 320, 180);
    };
    auto base = [] {
        Plan p;
        p.width = 320;
        p.height = 180;
        p.durationUs = 2'000'000;
        p.segments = {segment(0, 2'000'000, 0)};
        return p;
    };
    Plan plain = base();
    auto plainPixels = draw(plain.json(), 500'000);
    EXPECT_TRUE(near(plainPixels.at(0.5, 0.5), {128, 128, 128}));

    Plan graded = base();
    graded.colorStack = look;
    auto warm = draw(graded.json(), 500'000).at(0.5, 0.5);
    EXPECT_GT(warm[0], warm[2] + 8) << "the warm look lifts red over blue";

    // A logo in the top-right corner, the rest untouched.
    std::string withLogo = plain.json();
    withLogo.replace(withLogo.find(R"("videoOverlays":[])"), 18,
                     R"("videoOverlays":[{"id":"l","role":"logo","assetId":"logo","srcStartUs":0,"srcEndUs":2000000,"outStartUs":0,"outEndUs":2000000,"rect":{"x":0.7,"y":0.1,"w":0.2,"h":0.3},"opacity":1}])");
    auto logoPixels = draw(withLogo, 500'000);
    EXPECT_TRUE(near(logoPixels.at(0.8, 0.25), {255, 0, 0}, 20)) << logoPixels.at(0.8, 0.25)[0];
    EXPECT_TRUE(near(logoPixels.at(0.3, 0.5), {128, 128, 128}));

    // A caption in white over the grey.
    std::string captioned = plain.json();
    captioned.replace(captioned.find(R"("textItems":[])"), 14,
                      R"("textItems":[{"id":"t","role":"caption","outStartUs":0,"outEndUs":2000000,"lines":[{"runs":[{"text":"HELLO","outStartUs":0,"outEndUs":2000000,"keyword":false}]}],"box":{"x":0.1,"y":0.6,"w":0.8,"h":0.3},"style":{"font":"inter","weight":800,"italic":false,"sizePct":12,"lineHeight":1.1,"letterSpacingEm":0,"color":"#ffffff","shadow":null},"activeWordHighlight":false,"highlight":null,"entrance":null}])");
    auto text = draw(captioned, 500'000);
    EXPECT_GT(text.brightest(0.1, 0.6, 0.9, 0.9), 230);
    EXPECT_LT(text.brightest(0.1, 0.1, 0.9, 0.4), 140);

    // Half way through a smooth transition into the blue clip.
    Plan crossing = base();
    crossing.segments = {segment(0, 1'000'000, 0, "a"), segment(0, 1'000'000, 1'000'000, "b")};
    std::string crossingJSON = crossing.json();
    auto tail = crossingJSON.rfind(R"("transitionIn":null)");
    crossingJSON.replace(tail, 19, R"("transitionIn":{"style":"smooth","durationUs":400000})");
    auto mid = draw(crossingJSON, 1'200'000).at(0.5, 0.5);
    EXPECT_LT(mid[0], 110) << "some blue";
    EXPECT_GT(mid[0], 50) << "some grey";
    EXPECT_TRUE(near(draw(crossingJSON, 1'600'000).at(0.5, 0.5), {32, 64, 192}, 14));

    // A stored matte keeps the person and puts a red fill behind.
    std::string matted = plain.json();
    matted.replace(matted.find(R"("background":null)"), 17,
                   R"("background":{"fill":{"type":"solid","color":"#ff0000"},"matteKey":"m","outStartUs":0,"outEndUs":2000000})");
    auto matte = draw(matted, 500'000, R"(,"mattes":{"m":{"assetId":"a","path":")" + mask.string() + "\"}}");
    EXPECT_TRUE(near(matte.at(0.25, 0.5), {128, 128, 128}, 16)) << matte.at(0.25, 0.5)[0];
    EXPECT_TRUE(near(matte.at(0.75, 0.5), {255, 0, 0}, 24)) << matte.at(0.75, 0.5)[0];
}
