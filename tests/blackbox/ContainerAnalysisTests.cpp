// analysis.run on every container the engine decodes, and on files nobody
// can read, through the real engine on files made with the ffmpeg tool.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

const std::string ff = "ffmpeg -nostdin -v error -y ";
// Three pictures joined at 1 s and 2 s under a 1 kHz tone at -20 dBFS.
const std::string threeScenes = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=1 -f lavfi -i "
                                "smptebars=size=320x240:rate=25:duration=1 -f lavfi -i "
                                "color=c=0x803020:size=320x240:rate=25:duration=1 -f lavfi -i "
                                "'aevalsrc=0.1*sin(2*PI*1000*t):s=48000:d=3' -filter_complex "
                                "'[0:v][1:v][2:v]concat=n=3:v=1,format=yuv420p[v]' -map '[v]' -map 3:a ";

struct Files {
    fs::path folder, ogg, webm, mkv, avi, ts, noise, moovless, tall;
    Files() {
        folder = korvel::testing::freshFolder("container-files");
        auto make = [&](const std::string& name, const std::string& args) {
            fs::path file = folder / name;
            EXPECT_TRUE(runCommand(ff + args + " '" + file.string() + "'")) << name;
            return file;
        };
        ogg = make("tone.ogg", "-f lavfi -i 'aevalsrc=0.1*sin(2*PI*1000*t):s=48000:d=2' -c:a libopus");
        webm = make("three.webm", threeScenes + "-c:v libvpx-vp9 -b:v 300k -c:a libopus");
        mkv = make("three.mkv", threeScenes + "-c:v libx264 -preset veryfast -c:a aac");
        avi = make("three.avi", threeScenes + "-c:v mpeg4 -q:v 4 -c:a mp3");
        ts = make("three.ts", threeScenes + "-c:v libx264 -preset veryfast -bf 0 -c:a aac");
        tall = make("tall.mp4", "-f lavfi -i color=c=0x00ff00:size=360x1280:rate=25:duration=1 -c:v libx264 "
                                "-preset veryfast -pix_fmt yuv420p");

        noise = folder / "noise.bin";
        std::mt19937 random(7);
        std::ofstream out(noise, std::ios::binary);
        for (int i = 0; i < 40'000; ++i) out.put(static_cast<char>(random() & 0xff));
        out.close();

        // An MP4 without faststart writes its movie box last: cut there.
        fs::path whole = make("whole.mp4", threeScenes + "-c:v libx264 -preset veryfast -c:a aac");
        std::ifstream in(whole, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const size_t moov = bytes.rfind("moov");
        EXPECT_NE(moov, std::string::npos);
        moovless = folder / "moovless.mp4";
        std::ofstream(moovless, std::ios::binary) << bytes.substr(0, moov - 4);
    }
};

const Files& files() {
    static Files f;
    return f;
}

std::string sourceParams(const fs::path& file, const std::string& rest) {
    return R"({"assetId":"a","source":{"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) +
           R"("},)" + rest + "}";
}

JSONValue answer(EngineProcess& engine, int64_t id, const std::string& method, const std::string& params) {
    engine.sendLine(EngineProcess::request(id, method, params));
    auto response = engine.responseFor(id, nullptr, std::chrono::seconds(60));
    EXPECT_TRUE(response) << engine.stderrText();
    return response ? *response : JSONValue();
}

} // namespace

// Ogg, WebM, Matroska, AVI and MPEG-TS are analysed: the sound kinds from
// their sound, the picture kinds from their frames.
TEST(ContainerAnalysis, EveryDecodableContainerIsAnalysed) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("container-analysis")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    int64_t id = 0;
    auto run = [&](const fs::path& file, const std::string& kind) {
        JSONValue response = answer(engine, ++id, "analysis.run", sourceParams(file, R"("kind":")" + kind + "\""));
        const JSONValue* result = response.member("result");
        EXPECT_TRUE(result) << file.filename() << " " << kind << ": " << response.canonical();
        return result ? *result : JSONValue();
    };

    // A mono tone at -20 dBFS heard in both ears measures -20 LUFS.
    const JSONValue tone = run(files().ogg, "loudness");
    ASSERT_TRUE(tone.member("integratedLufs")) << tone.canonical();
    EXPECT_NEAR(tone.member("integratedLufs")->doubleValue().value_or(0), -20.0, 0.5) << tone.canonical();
    const JSONValue silences = run(files().ogg, "silences");
    ASSERT_TRUE(silences.member("runs")) << silences.canonical();
    EXPECT_TRUE(silences.member("runs")->arrayPtr()->empty());

    for (const fs::path& file : {files().webm, files().mkv, files().avi, files().ts}) {
        const JSONValue loudness = run(file, "loudness");
        ASSERT_TRUE(loudness.member("integratedLufs")) << file.filename();
        EXPECT_NEAR(loudness.member("integratedLufs")->doubleValue().value_or(0), -20.0, 0.5) << file.filename();
        const JSONValue scenes = run(file, "scenes");
        ASSERT_TRUE(scenes.member("scenes")) << file.filename();
        const auto& list = *scenes.member("scenes")->arrayPtr();
        ASSERT_EQ(list.size(), 3u) << file.filename() << ": " << scenes.canonical();
        // Times count from the container's start (MPEG-TS starts at 1.4 s);
        // the encoders' own delays keep the joins within two frames.
        for (size_t i = 1; i < 3; ++i) {
            const double start = double(list[i].member("span")->member("startUs")->intValue().value_or(0));
            EXPECT_NEAR(start, double(i) * 1e6, 80'000) << file.filename() << " scene " << i;
        }
        const JSONValue color = run(file, "color_stats");
        ASSERT_TRUE(color.member("takes")) << file.filename();
        EXPECT_GE(color.member("takes")->arrayPtr()->size(), 3u) << file.filename();
        EXPECT_TRUE(run(file, "faces").member("samples")) << file.filename();
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A file no demuxer reads, or a movie file cut before its movie box, fails
// with the reading sentence of what was read; a file without pictures says
// so. No system text reaches the client.
TEST(ContainerAnalysis, UnreadableFilesAnswerTheirReadingSentences) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("container-failures")) / "cache";
    EngineProcess engine({"--cache-dir", cache.string()});
    struct Failure {
        int code;
        std::string message;
    };
    const Failure sound{-32002, "Part of this audio track can't be read. The file may be damaged."};
    const Failure picture{-32002, "Part of this video can't be read. The file may be damaged."};
    const Failure noVideo{-32602, "This file has no video track."};
    struct Case {
        fs::path file;
        std::string kind;
        Failure failure;
    } cases[] = {
        {files().noise, "silences", sound},     {files().noise, "loudness", sound},
        {files().noise, "scenes", picture},     {files().noise, "color_stats", picture},
        {files().noise, "faces", picture},      {files().moovless, "scenes", picture},
        {files().moovless, "faces", picture},   {files().moovless, "color_stats", picture},
        {files().moovless, "waveform", sound},  {files().ogg, "scenes", noVideo},
        {files().ogg, "text_regions", noVideo},
    };
    int64_t id = 0;
    for (const auto& c : cases) {
        const JSONValue response = answer(engine, ++id, "analysis.run", sourceParams(c.file, R"("kind":")" + c.kind + "\""));
        const JSONValue* error = response.member("error");
        ASSERT_TRUE(error) << c.file.filename() << " " << c.kind << ": " << response.canonical();
        EXPECT_EQ(*error->member("code"), JSONValue(c.failure.code)) << c.file.filename() << " " << c.kind;
        EXPECT_EQ(*error->member("message"), JSONValue(c.failure.message)) << c.file.filename() << " " << c.kind;
    }
    // The matte reads pictures the same way.
    const std::string matte = R"("method":"foreground","longEdge":64,"outPath":")" + (cache / "m.mov").string() + "\"";
    const JSONValue response = answer(engine, ++id, "matte.build", sourceParams(files().moovless, matte));
    EXPECT_EQ(*response.member("error")->member("message"), JSONValue(picture.message)) << response.canonical();
    EXPECT_FALSE(fs::exists(cache / "m.mov"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A green screen filmed upright on a phone is taller than 1080 by 1920 at
// 1080 wide; it is still sampled and found.
TEST(ContainerAnalysis, ATallGreenScreenIsFound) {
    const fs::path folder = korvel::testing::freshFolder("container-tall-green");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string request = R"("method":"foreground","longEdge":640,"outPath":")" + (folder / "m.mov").string() + "\"";
    const JSONValue response = answer(engine, 1, "matte.build", sourceParams(files().tall, request));
    const JSONValue* built = response.member("result");
    ASSERT_TRUE(built) << response.canonical();
    EXPECT_EQ(*built->member("quality")->member("greenScreen"), JSONValue(true));
    EXPECT_EQ(*built->member("height"), JSONValue(640));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
