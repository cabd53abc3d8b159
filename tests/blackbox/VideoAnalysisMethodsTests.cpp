// The picture kinds of analysis.run and matte.build through the real engine,
// on clips made with the ffmpeg tool.

#include "EngineProcess.hpp"
#include "Core/Analysis/Fingerprint.hpp"
#include "tests/support/Shell.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

struct Clips {
    fs::path folder, three, astronaut, captions;
    Clips() {
        folder = korvel::testing::freshFolder("analysis-clips");
        const std::string ff = "ffmpeg -nostdin -v error -y ";
        const std::string x264 = " -c:v libx264 -pix_fmt yuv420p -preset veryfast ";
        three = folder / "three.mp4";
        // Three different pictures joined at 1 s and 2 s.
        EXPECT_TRUE(runCommand(ff + "-f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -f lavfi -i "
                                    "smptebars=size=320x240:rate=25:duration=1 -f lavfi -i "
                                    "color=c=0x803020:size=320x240:rate=25:duration=1 -filter_complex "
                                    "'[0:v][1:v][2:v]concat=n=3:v=1,format=yuv420p'" + x264 + "'" + three.string() + "'"));
        astronaut = folder / "astronaut.mp4";
        EXPECT_TRUE(runCommand(ff + "-loop 1 -framerate 25 -i /usr/lib/python3/dist-packages/skimage/data/astronaut.png "
                                    "-t 1 -vf scale=512:512" + x264 + "'" + astronaut.string() + "'"));
        captions = folder / "captions.mp4";
        EXPECT_TRUE(runCommand(ff + "-f lavfi -i color=c=0x305070:size=640x360:rate=25:duration=2 -vf "
                                    "\"drawtext=text='SUBSCRIBE NOW':fontcolor=white:fontsize=40:x=(w-text_w)/2:y=h-80:"
                                    "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf\"" + x264 + "'" +
                               captions.string() + "'"));
    }
};

const Clips& clips() {
    static Clips c;
    return c;
}

std::string sourceParams(const std::string& assetId, const fs::path& file, const std::string& rest) {
    return R"({"assetId":")" + assetId + R"(","source":{"path":")" + file.string() + R"(","contentHash":")" +
           sha256sum(file) + R"("},)" + rest + "}";
}

JSONValue answer(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params,
                 std::vector<JSONValue>* progress = nullptr) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto response = engine.responseFor(id, progress);
    EXPECT_TRUE(response) << engine.stderrText();
    return response ? *response : JSONValue();
}

const JSONValue& result(const JSONValue& response) {
    static const JSONValue none;
    const JSONValue* r = response.member("result");
    EXPECT_TRUE(r) << response.canonical();
    return r ? *r : none;
}

} // namespace

TEST(VideoAnalysisMethods, ScenesCutAtTheJoinsAndTheScanIsKept) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("video-scenes")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue scenes = result(answer(engine, 1, "analysis.run", sourceParams("a", clips().three, R"("kind":"scenes")")));
    const auto& list = *scenes.member("scenes")->arrayPtr();
    ASSERT_EQ(list.size(), 3u) << scenes.canonical();
    EXPECT_EQ(*list[0].member("score"), JSONValue(1));
    EXPECT_EQ(*list[1].member("span")->member("startUs"), JSONValue(1000000));
    EXPECT_EQ(*list[2].member("span")->member("startUs"), JSONValue(2000000));
    // Colour takes start from the kept scan; one scan record is on disk.
    const JSONValue color =
        result(answer(engine, 2, "analysis.run", sourceParams("a", clips().three, R"("kind":"color_stats")")));
    EXPECT_GE(color.member("takes")->arrayPtr()->size(), 3u);
    EXPECT_EQ(color.member("takes")->arrayPtr()->front().member("lumaLayout")->arrayPtr()->size(), 144u);
    // Three records beside the stamp of the one-time sound sweep.
    EXPECT_EQ(std::distance(fs::directory_iterator(cache / "analysis"), fs::directory_iterator()), 4);
    EXPECT_TRUE(fs::is_regular_file(cache / "analysis" / "sound-records-swept"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A damaged scene-scan record is replaced like any other record, so later
// processes start from the scan instead of reading every frame again.
TEST(VideoAnalysisMethods, ADamagedSceneScanRecordIsReplaced) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("video-scan-damaged")) / "cache";
    const std::string hash = sha256sum(clips().three);
    const std::string fingerprint = Fingerprint::of({"scene_scan", "2", hash, "0.1.0"});
    const fs::path record = cache / "analysis" / (fingerprint + ".json");
    fs::create_directories(record.parent_path());
    std::ofstream(record) << R"({"kind":"scene_scan","contentHash":")" << hash << R"(","fingerprint":")" << fingerprint
                          << R"(","spans":[{"startUs":0)";
    EngineProcess engine({"--cache-dir", cache.string()});
    result(answer(engine, 1, "analysis.run", sourceParams("a", clips().three, R"("kind":"scenes")")));
    std::ifstream in(record);
    const JSONValue stored = JSONValue::parsing(std::string(std::istreambuf_iterator<char>(in), {}));
    EXPECT_EQ(*stored.member("kind"), JSONValue("scene_scan"));
    ASSERT_TRUE(stored.member("spans") && stored.member("spans")->arrayPtr());
    EXPECT_EQ(stored.member("spans")->arrayPtr()->size(), 3u);
    EXPECT_TRUE(stored.member("colorSteps")->arrayPtr());
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(VideoAnalysisMethods, AFaceIsFoundAndScoredAndCaptionsAreFoundAsText) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("video-faces")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue faces =
        result(answer(engine, 1, "analysis.run", sourceParams("a", clips().astronaut, R"("kind":"faces")")));
    const auto& samples = *faces.member("samples")->arrayPtr();
    ASSERT_FALSE(samples.empty());
    ASSERT_FALSE(samples[0].member("faces")->arrayPtr()->empty()) << faces.canonical();
    const JSONValue& box = *samples[0].member("faces")->arrayPtr()->front().member("box");
    EXPECT_GT(box.member("w")->doubleValue().value_or(0), 0.05);
    EXPECT_EQ(faces.member("tracks")->arrayPtr()->size(), 1u);

    const JSONValue scores =
        result(answer(engine, 2, "analysis.run", sourceParams("a", clips().astronaut, R"("kind":"frame_scores")")));
    const auto& scored = *scores.member("samples")->arrayPtr();
    ASSERT_EQ(scored.size(), 2u);
    EXPECT_TRUE(scored[0].member("faceQuality"));

    const JSONValue text =
        result(answer(engine, 3, "analysis.run", sourceParams("a", clips().captions, R"("kind":"text_regions")")));
    const auto& found = *text.member("samples")->arrayPtr();
    ASSERT_FALSE(found.empty());
    ASSERT_FALSE(found[0].member("regions")->arrayPtr()->empty()) << text.canonical();
    const JSONValue& region = *found[0].member("regions")->arrayPtr()->front().member("box");
    // The caption sits in the lower part of the frame.
    EXPECT_GT(region.member("y")->doubleValue().value_or(0), 0.6);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// The automatic adjustments balance the skin of the faces in the picture,
// and propose no face balance where there is no face.
TEST(VideoAnalysisMethods, FaceBalanceIsProposedForAFace) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("video-face-balance")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    const JSONValue face =
        result(answer(engine, 1, "analysis.run", sourceParams("a", clips().astronaut, R"("kind":"color_stats")")));
    const JSONValue& adjusted = *face.member("takes")->arrayPtr()->front().member("autoAdjustments");
    ASSERT_TRUE(adjusted.member("CIFaceBalance.inputOrigI")) << adjusted.canonical();
    // The astronaut's skin is warm: I well above grey's 0.
    EXPECT_GT(adjusted.member("CIFaceBalance.inputOrigI")->doubleValue().value_or(0), 0.03);
    EXPECT_TRUE(adjusted.member("CIFaceBalance.inputOrigQ"));
    const JSONValue none =
        result(answer(engine, 2, "analysis.run", sourceParams("a", clips().three, R"("kind":"color_stats")")));
    for (const auto& take : *none.member("takes")->arrayPtr())
        EXPECT_FALSE(take.member("autoAdjustments")->member("CIFaceBalance.inputOrigI")) << none.canonical();
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(VideoAnalysisMethods, MatteMovieAndSidecarAreWrittenAndReused) {
    const fs::path folder = korvel::testing::freshFolder("video-matte");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const fs::path out = folder / "mattes" / "person.mov";
    const std::string request = R"("method":"hybrid","longEdge":256,"outPath":")" + out.string() + "\"";
    std::vector<JSONValue> progress;
    const JSONValue built = result(answer(engine, 1, "matte.build", sourceParams("a", clips().astronaut, request), &progress));
    EXPECT_EQ(*built.member("kind"), JSONValue("matte"));
    EXPECT_EQ(*built.member("path"), JSONValue(out.string()));
    EXPECT_EQ(*built.member("width"), JSONValue(256));
    EXPECT_EQ(*built.member("frameCount"), JSONValue(25));
    EXPECT_TRUE(built.member("quality")->member("greenScreen"));
    auto codec = runCommand("ffprobe -v error -select_streams v:0 -show_entries stream=codec_name -of csv=p=0 '" +
                            out.string() + "'");
    ASSERT_TRUE(codec);
    EXPECT_EQ(*codec, "hevc\n");
    std::ifstream in(out.string() + ".json");
    const std::string sidecar((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(JSONValue::parsing(sidecar), built);

    // A repeat for another asset answers the sidecar as stored, without building.
    progress.clear();
    const JSONValue again = result(answer(engine, 2, "matte.build", sourceParams("b", clips().astronaut, request), &progress));
    EXPECT_EQ(again, built);
    EXPECT_TRUE(progress.empty());

    // Another method builds again; the same at once from two requests builds once.
    const std::string other = R"("method":"foreground","longEdge":256,"outPath":")" + out.string() + "\"";
    engine.sendLine(EngineProcess::request(3, "matte.build", sourceParams("a", clips().astronaut, other)));
    engine.sendLine(EngineProcess::request(4, "matte.build", sourceParams("a", clips().astronaut, other)));
    std::set<int64_t> building;
    std::map<int64_t, JSONValue> answers;
    while (answers.size() < 2) {
        auto line = engine.readJSON();
        ASSERT_TRUE(line);
        if (const JSONValue* params = line->member("params")) building.insert(*params->member("id")->intValue());
        else answers[*line->member("id")->intValue()] = *line;
    }
    EXPECT_EQ(building.size(), 1u);
    EXPECT_EQ(result(answers[3]), result(answers[4]));
    EXPECT_EQ(*result(answers[3]).member("method"), JSONValue("foreground"));
    EXPECT_FALSE(result(answers[3]).member("quality")->member("personCoverage"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(VideoAnalysisMethods, MatteRefusals) {
    const fs::path folder = korvel::testing::freshFolder("video-matte-refusals");
    const fs::path source = folder / "clip.mp4";
    fs::copy_file(clips().three, source);
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string out = (folder / "m.mov").string();
    struct Case {
        std::string rest;
        std::string message;
    };
    const Case cases[] = {
        {R"("method":"Hybrid","longEdge":0,"outPath":")" + out + "\"", "Unknown matte method: Hybrid."},
        {R"("method":"hybrid","longEdge":0,"outPath":")" + out + "\"", "A matte needs a size."},
        {R"("method":"hybrid","longEdge":64,"outPath":")" + source.string() + "\"", "A matte can't be written over its own source."},
        {R"("method":"hybrid","outPath":")" + out + "\"", "Params do not match the contract: "},
    };
    int64_t id = 1;
    for (const Case& c : cases) {
        const JSONValue response = answer(engine, id++, "matte.build", sourceParams("a", source, c.rest));
        const JSONValue* error = response.member("error");
        ASSERT_TRUE(error) << response.canonical();
        EXPECT_EQ(*error->member("code"), JSONValue(-32602));
        EXPECT_EQ(error->member("message")->stringPtr()->substr(0, c.message.size()), c.message);
    }
    EXPECT_EQ(sha256sum(source), sha256sum(clips().three));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(VideoAnalysisMethods, ANewBuildTakesTheOldSidecarAwayFirst) {
    const fs::path folder = korvel::testing::freshFolder("video-matte-order");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const fs::path out = folder / "person.mov";
    const fs::path sidecar = out.string() + ".json";
    const auto request = [&](const std::string& method) {
        return sourceParams("a", clips().astronaut,
                            R"("method":")" + method + R"(","longEdge":128,"outPath":")" + out.string() + "\"");
    };
    result(answer(engine, 1, "matte.build", request("hybrid")));
    ASSERT_TRUE(fs::exists(sidecar));
    // Another build starts and is cancelled before it commits: the old movie
    // stays, and no sidecar is left claiming to describe it as the new one.
    engine.sendLine(EngineProcess::request(2, "matte.build", request("foreground")));
    for (;;) {
        auto line = engine.readJSON();
        ASSERT_TRUE(line);
        if (line->member("params")) break; // building
    }
    engine.sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":2}})");
    const auto cancelled = engine.responseFor(2);
    ASSERT_TRUE(cancelled);
    if (cancelled->member("error")) {
        EXPECT_EQ(*cancelled->member("error")->member("code"), JSONValue(-32800));
        EXPECT_FALSE(fs::exists(sidecar));
    } else {
        // The build finished first: movie and sidecar are the new ones.
        std::ifstream in(sidecar);
        EXPECT_EQ(JSONValue::parsing(std::string(std::istreambuf_iterator<char>(in), {})), *cancelled->member("result"));
    }
    EXPECT_TRUE(fs::exists(out));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(VideoAnalysisMethods, TheHandshakeListsFourteenMethodsWithTheAnalysisTable) {
    EngineProcess engine({"--cache-dir", (fs::path(korvel::testing::freshFolder("video-hello")) / "cache").string()});
    const JSONValue hello = result(answer(engine, 1, "engine.hello", R"({"contractVersion":9})"));
    std::set<std::string> names;
    for (const JSONValue& n : *hello.member("capabilities")->arrayPtr()) names.insert(*n.stringPtr());
    for (const char* method : {"analysis.run", "analysis.known", "matte.build", "audio.mix", "models.status", "models.install"})
        EXPECT_TRUE(names.count(method)) << method;
    EXPECT_EQ(names.size(), 14u) << hello.canonical();
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
