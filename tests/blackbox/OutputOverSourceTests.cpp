// Every method that writes refuses an output that is one of the files its
// request reads, however the path is spelled: the same path, a hard link, a
// symbolic link, a missing folder and "..", "." and a relative path. The
// source keeps its bytes and nothing is created.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <filesystem>
#include <functional>
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

// Small sources in one folder, with a hard link and a symbolic link to each.
struct Sources {
    fs::path folder, links, clip, still, mix, matte;
    std::string clipHash, stillHash, mixHash;
    Sources() {
        folder = korvel::testing::freshFolder("output-over-source");
        links = folder / "links";
        fs::create_directories(links);
        clip = folder / "clip.mp4";
        // Key frames every second and AAC sound: windows copy, and so does the sound.
        EXPECT_TRUE(runCommand(ff + "-f lavfi -i testsrc2=size=320x180:rate=30:duration=4 -f lavfi -i "
                                    "sine=frequency=440:duration=4 -c:v libx264 -preset veryfast -pix_fmt yuv420p -g 30 "
                                    "-bf 0 -c:a aac -shortest '" + clip.string() + "'"));
        still = folder / "still.png";
        EXPECT_TRUE(runCommand(ff + "-f lavfi -i testsrc2=size=320x180 -frames:v 1 '" + still.string() + "'"));
        mix = folder / "mix.wav";
        EXPECT_TRUE(runCommand(ff + "-f lavfi -i sine=frequency=330:sample_rate=48000:duration=4 -ac 2 -c:a pcm_f32le '" +
                               mix.string() + "'"));
        // A stored mask the request names: never opened, as the refusal comes first.
        matte = folder / "mask.mov";
        fs::copy_file(clip, matte);
        for (const auto& f : {clip, still, mix, matte}) {
            fs::create_hard_link(f, links / ("hard-" + f.filename().string()));
            fs::create_symlink(f, links / ("soft-" + f.filename().string()));
        }
        clipHash = sha256sum(clip);
        stillHash = sha256sum(still);
        mixHash = sha256sum(mix);
    }
};

const Sources& media() {
    static Sources s;
    return s;
}

struct Spelling {
    std::string how;
    fs::path path;
};

// The ways one file may be named as an output.
std::vector<Spelling> spellings(const fs::path& file) {
    const std::string name = file.filename().string();
    const fs::path dir = file.parent_path();
    return {
        {"the same path", file},
        {"a hard link", media().links / ("hard-" + name)},
        {"a symbolic link", media().links / ("soft-" + name)},
        {"a missing folder and ..", dir / "x" / ".." / name},
        {"a dot", dir / "." / name},
        {"a relative path", fs::path(".") / fs::relative(file, fs::current_path())},
    };
}

std::string segment(const std::string& asset, int64_t durationUs) {
    return R"({"assetId":")" + asset + R"(","srcStartUs":0,"srcEndUs":)" + std::to_string(durationUs) +
           R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null})";
}

const std::string voice = R"([{"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":4000000,)"
                          R"("outStartUs":0,"outEndUs":4000000,"speed":1.0,"gain":[],"isolation":null}])";
const std::string look = R"([{"kind":"look","look":"warm_cinema","strength":1.0}])";

std::string plan(const std::string& asset = "a", const std::string& colorStack = "[]", const std::string& tracks = "[]") {
    return R"({"version":1,"canvas":{"format":"horizontal","width":320,"height":180,"fps":{"num":30,"den":1}},)"
           R"("segments":[)" + segment(asset, 4'000'000) + R"(],"videoOverlays":[],"textItems":[],"colorStack":)" +
           colorStack + R"(,"background":null,"audioMix":{"tracks":)" + tracks +
           R"(,"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":4000000})";
}

// Every file the render requests read: both pictures, and a stored mask.
std::string sources() {
    return R"({"a":{"path":")" + media().clip.string() + R"(","contentHash":")" + media().clipHash + R"("},)" +
           R"("p":{"path":")" + media().still.string() + R"(","contentHash":")" + media().stillHash + R"("}})";
}
std::string mattes() { return R"({"m":{"assetId":"a","path":")" + media().matte.string() + R"("}})"; }

std::string quoted(const fs::path& p) { return "\"" + p.string() + "\""; }

class Engine {
public:
    explicit Engine(const fs::path& cache) : process_({"--cache-dir", cache.string()}) {}
    JSONValue ask(const std::string& method, const std::string& params) {
        const int64_t id = ++next_;
        process_.sendLine(EngineProcess::request(id, method, params));
        auto r = process_.responseFor(id, nullptr, std::chrono::seconds(180));
        return r ? *r : JSONValue();
    }

private:
    EngineProcess process_;
    int64_t next_ = 0;
};

std::string stringOf(const JSONValue& v, const char* key) {
    const JSONValue* m = v.member(key);
    return m && m->stringValue() ? *m->stringValue() : "";
}

// Nothing the refused requests could have made: no folder x, no partial
// folder, no journal entry, and the sources byte for byte as they were.
void expectUntouched(const fs::path& cache) {
    EXPECT_FALSE(fs::exists(media().folder / "x"));
    for (const auto& dir : {media().folder, media().links})
        for (const auto& e : fs::directory_iterator(dir))
            EXPECT_EQ(e.path().filename().string().find(".korvel-partial-"), std::string::npos) << e.path();
    if (fs::exists(cache / "journal")) {
        EXPECT_TRUE(fs::is_empty(cache / "journal"));
    }
    EXPECT_EQ(sha256sum(media().clip), media().clipHash);
    EXPECT_EQ(sha256sum(media().still), media().stillHash);
    EXPECT_EQ(sha256sum(media().mix), media().mixHash);
    for (const auto& f : {media().clip, media().still, media().mix, media().matte}) {
        EXPECT_TRUE(fs::is_symlink(media().links / ("soft-" + f.filename().string())));
        EXPECT_TRUE(fs::equivalent(media().links / ("hard-" + f.filename().string()), f));
    }
}

struct Victim {
    std::string what;
    fs::path file;
};

// Each spelling of each victim, put in as outPath, is refused with the sentence.
void expectRefusals(Engine& engine, const std::string& method, const std::vector<Victim>& victims,
                    const std::function<std::string(const fs::path&)>& params, int64_t code,
                    const std::string& sentence) {
    for (const auto& victim : victims) {
        for (const auto& s : spellings(victim.file)) {
            const JSONValue r = engine.ask(method, params(s.path));
            const JSONValue* error = r.member("error");
            ASSERT_TRUE(error) << method << " over " << victim.what << " by " << s.how << ": " << r.canonical();
            EXPECT_EQ(*error->member("code"), JSONValue(code)) << victim.what << " by " << s.how;
            EXPECT_EQ(stringOf(*error, "message"), sentence) << victim.what << " by " << s.how;
        }
    }
}

// The ordinary output beside the sources is written.
void expectWritten(Engine& engine, const std::string& method, const std::string& params, const fs::path& out) {
    const JSONValue r = engine.ask(method, params);
    ASSERT_TRUE(r.member("result")) << method << ": " << r.canonical();
    EXPECT_GT(fs::file_size(out), 0u);
}

TEST(OutputOverSource, ExportRefusesEveryFileItReads) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-export")) / "cache";
    Engine engine(cache);
    const std::string mix = R"(,"audioPath":)" + quoted(media().mix);
    auto exporting = [&](const std::string& p, const std::string& extra) {
        return [p, extra](const fs::path& out) {
            return R"({"plan":)" + p + R"(,"sources":)" + sources() + R"(,"mattes":)" + mattes() +
                   R"(,"codec":"h264","videoBitrate":1000000,"outPath":)" + quoted(out) + extra + "}";
        };
    };
    const std::vector<Victim> all{{"the clip", media().clip},
                                  {"the still", media().still},
                                  {"the mix", media().mix},
                                  {"the mask", media().matte}};
    const std::string sentence = "An export can't be written over one of its sources.";
    // The render road, the copy road, and the copy road with the source's own sound.
    expectRefusals(engine, "render.export", all, exporting(plan("a", look), mix), -32602, sentence);
    expectRefusals(engine, "render.export", all, exporting(plan(), mix), -32602, sentence);
    expectRefusals(engine, "render.export", all, exporting(plan("a", "[]", voice), mix), -32602, sentence);
    expectUntouched(cache);
    const fs::path out = media().folder / "export.mp4";
    expectWritten(engine, "render.export", exporting(plan("a", "[]", voice), mix)(out), out);
    expectUntouched(cache);
}

TEST(OutputOverSource, FrameRefusesEveryFileItReads) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-frame")) / "cache";
    Engine engine(cache);
    auto framing = [](const fs::path& out) {
        return R"({"plan":)" + plan("p") + R"(,"sources":)" + sources() + R"(,"mattes":)" + mattes() +
               R"(,"variant":"after","atUs":500000,"maxLongEdge":160,"outPath":)" + quoted(out) + "}";
    };
    expectRefusals(engine, "render.frame",
                   {{"the still", media().still}, {"the clip", media().clip}, {"the mask", media().matte}}, framing,
                   -32602, "A frame can't be written over one of its sources.");
    expectUntouched(cache);
    const fs::path out = media().folder / "frame.png";
    expectWritten(engine, "render.frame", framing(out), out);
    expectUntouched(cache);
}

TEST(OutputOverSource, SegmentRefusesEveryFileItReadsOnBothTracks) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-segment")) / "cache";
    Engine engine(cache);
    auto firstKey = [&](const std::string& p) {
        const JSONValue r = engine.ask("render.segments",
                                       R"({"plan":)" + p + R"(,"sources":)" + sources() + R"(,"variant":"after"})");
        const JSONValue* list = r.member("result") ? r.member("result")->member("segments") : nullptr;
        EXPECT_TRUE(list && list->arrayPtr() && !list->arrayPtr()->empty()) << r.canonical();
        return list && list->arrayPtr() && !list->arrayPtr()->empty() ? stringOf(list->arrayPtr()->front(), "key")
                                                                       : std::string(64, 'a');
    };
    auto segmenting = [&](const std::string& p, const std::string& track) {
        return [p, track, key = firstKey(p)](const fs::path& out) {
            return R"({"plan":)" + p + R"(,"sources":)" + sources() + R"(,"mattes":)" + mattes() +
                   R"(,"key":")" + key + R"(","variant":"after","track":")" + track +
                   R"(","outStartUs":0,"outEndUs":2000000,"outPath":)" + quoted(out) + "}";
        };
    };
    const std::vector<Victim> all{{"the clip", media().clip}, {"the still", media().still}, {"the mask", media().matte}};
    const std::string sentence = "A preview segment can't be written over one of its sources.";
    // A copied window, a rendered one, and the sound of a window.
    expectRefusals(engine, "render.segment", all, segmenting(plan(), "video"), -32602, sentence);
    expectRefusals(engine, "render.segment", all, segmenting(plan("a", look), "video"), -32602, sentence);
    expectRefusals(engine, "render.segment", all, segmenting(plan("a", "[]", voice), "audio"), -32602, sentence);
    expectUntouched(cache);
    EXPECT_FALSE(fs::exists(cache / "after"));
    const fs::path copied = media().folder / "copied.m4s", sound = media().folder / "sound.m4s";
    expectWritten(engine, "render.segment", segmenting(plan(), "video")(copied), copied);
    expectWritten(engine, "render.segment", segmenting(plan("a", "[]", voice), "audio")(sound), sound);
    expectUntouched(cache);
}

TEST(OutputOverSource, ThumbnailRefusesItsSource) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-thumbnail")) / "cache";
    Engine engine(cache);
    auto thumbnail = [](const fs::path& source, const std::string& hash) {
        return [source, hash](const fs::path& out) {
            return R"({"source":{"path":)" + quoted(source) + R"(,"contentHash":")" + hash +
                   R"("},"atUs":0,"maxLongEdge":64,"outPath":)" + quoted(out) + "}";
        };
    };
    const std::string sentence = "A thumbnail can't be written over its source.";
    expectRefusals(engine, "asset.thumbnail", {{"the still", media().still}},
                   thumbnail(media().still, media().stillHash), -32602, sentence);
    expectRefusals(engine, "asset.thumbnail", {{"the clip", media().clip}}, thumbnail(media().clip, media().clipHash),
                   -32602, sentence);
    expectUntouched(cache);
    const fs::path out = media().folder / "thumb.png";
    expectWritten(engine, "asset.thumbnail", thumbnail(media().clip, media().clipHash)(out), out);
    expectUntouched(cache);
}

TEST(OutputOverSource, MixRefusesItsSources) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-mix")) / "cache";
    Engine engine(cache);
    auto mixing = [](const fs::path& out) {
        return R"({"plan":)" + plan("a", "[]", voice) + R"(,"sources":{"a":{"path":)" + quoted(media().clip) +
               R"(,"contentHash":")" + media().clipHash + R"("},"b":{"path":)" + quoted(media().mix) +
               R"(,"contentHash":")" + media().mixHash + R"("}},"outPath":)" + quoted(out) + "}";
    };
    expectRefusals(engine, "audio.mix", {{"the clip", media().clip}, {"the other source", media().mix}}, mixing,
                   -32602, "outPath must not be one of the plan's sources.");
    expectUntouched(cache);
    const fs::path out = media().folder / "mixed.wav";
    expectWritten(engine, "audio.mix", mixing(out), out);
    expectUntouched(cache);
}

TEST(OutputOverSource, MatteRefusesItsSource) {
    const fs::path cache = fs::path(korvel::testing::freshFolder("output-over-source-matte")) / "cache";
    Engine engine(cache);
    auto building = [](const fs::path& source) {
        return [source](const fs::path& out) {
            return R"({"assetId":"a","source":{"path":)" + quoted(source) + R"(,"contentHash":")" + media().clipHash +
                   R"("},"method":"foreground","longEdge":64,"outPath":)" + quoted(out) + "}";
        };
    };
    expectRefusals(engine, "matte.build", {{"the clip", media().clip}}, building(media().clip), -32602,
                   "A matte can't be written over its own source.");
    // Nor its record beside the movie: outPath take.mov would write take.mov.json.
    const fs::path take = media().folder / "take.mov.json";
    fs::copy_file(media().clip, take);
    fs::create_hard_link(take, media().links / "hard-take.mov.json");
    fs::create_symlink(take, media().links / "soft-take.mov.json");
    auto beforeItsRecord = [&](const fs::path& spelled) {
        const std::string path = spelled.string();
        return building(take)(path.substr(0, path.size() - std::string(".json").size()));
    };
    expectRefusals(engine, "matte.build", {{"a source named like the record", take}}, beforeItsRecord, -32602,
                   "A matte can't be written over its own source.");
    EXPECT_EQ(sha256sum(take), media().clipHash);
    EXPECT_FALSE(fs::exists(media().folder / "take.mov"));
    expectUntouched(cache);
    const fs::path out = media().folder / "person.mov";
    expectWritten(engine, "matte.build", building(media().clip)(out), out);
    EXPECT_TRUE(fs::exists(out.string() + ".json"));
    expectUntouched(cache);
}

} // namespace
