// Damaged and foreign files on every picture road, as the editor meets them:
// each cause has one answer, whichever method reads the file, and a request
// that fails leaves nothing at its output. Files are made with the ffmpeg
// tool and then edited byte by byte.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
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
const std::string clip = "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -preset veryfast -pix_fmt yuv420p ";

std::string bytesOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void save(const fs::path& file, const std::string& bytes) { std::ofstream(file, std::ios::binary) << bytes; }

uint64_t bigEndian(const std::string& b, size_t at, int width) {
    uint64_t v = 0;
    for (int i = 0; i < width; ++i) v = v << 8 | static_cast<uint8_t>(b[at + i]);
    return v;
}

void putBigEndian(std::string& b, size_t at, uint64_t v, int width) {
    for (int i = 0; i < width; ++i) b[at + i] = static_cast<char>(v >> (8 * (width - 1 - i)));
}

// Every fragment's decode time (version 1 tfdt) moved 2^62 ticks later.
std::string farFragments(std::string b) {
    size_t found = 0;
    for (size_t at = b.find("tfdt"); at != std::string::npos; at = b.find("tfdt", at + 4), ++found) {
        EXPECT_EQ(b[at + 4], 1) << "a 64-bit tfdt";
        putBigEndian(b, at + 8, bigEndian(b, at + 8, 8) + (uint64_t{1} << 62), 8);
    }
    EXPECT_GT(found, 1u);
    return b;
}

// The movie header rewritten as version 1 with a duration of 2^62 in its
// timescale of 1000. The movie box is the file's last box, so nothing after
// it moves.
std::string endlessHeader(std::string b) {
    const size_t moov = b.rfind("moov"), mvhd = b.find("mvhd", moov);
    EXPECT_NE(mvhd, std::string::npos);
    const size_t size = bigEndian(b, mvhd - 4, 4);
    EXPECT_EQ(b[mvhd + 4], 0) << "a 32-bit mvhd";
    const size_t fields = mvhd + 8; // after version and flags
    std::string v1 = b.substr(mvhd - 4, 12);
    putBigEndian(v1, 0, size + 12, 4);
    v1[8] = 1;
    std::string wide(28, '\0');
    putBigEndian(wide, 0, bigEndian(b, fields, 4), 8);      // created
    putBigEndian(wide, 8, bigEndian(b, fields + 4, 4), 8);  // modified
    putBigEndian(wide, 16, bigEndian(b, fields + 8, 4), 4); // timescale
    putBigEndian(wide, 20, uint64_t{1} << 62, 8);           // duration
    v1 += wide + b.substr(fields + 16, size - 28);
    b.replace(mvhd - 4, size, v1);
    putBigEndian(b, moov - 4, bigEndian(b, moov - 4, 4) + 12, 4);
    return b;
}

// The first box of a kind inside the movie box (the file's last box), past
// the pictures, whose bytes could spell anything.
size_t boxIn(const std::string& b, const char* type) {
    const size_t at = b.find(type, b.rfind("moov"));
    EXPECT_NE(at, std::string::npos) << type;
    EXPECT_EQ(b[at + 4], 0) << "a version 0 " << type;
    return at;
}

// The track's media timescale replaced; its tables keep their ticks.
std::string retimed(std::string b, uint32_t timescale) {
    putBigEndian(b, boxIn(b, "mdhd") + 16, timescale, 4);
    return b;
}

// The edit starts at a media time long after the last sample.
std::string lateEdit(std::string b) {
    putBigEndian(b, boxIn(b, "elst") + 16, INT32_MAX, 4);
    return b;
}

// Every sample-to-chunk entry zeroed.
std::string zeroedChunks(std::string b) {
    const size_t at = boxIn(b, "stsc");
    b.replace(at + 12, 12 * bigEndian(b, at + 8, 4), 12 * bigEndian(b, at + 8, 4), '\0');
    return b;
}

// Every sample lasts 2^32 - 1 ticks.
std::string endlessSamples(std::string b) {
    const size_t at = boxIn(b, "stts");
    for (uint64_t i = 0, n = bigEndian(b, at + 8, 4); i < n; ++i) putBigEndian(b, at + 16 + 8 * i, UINT32_MAX, 4);
    return b;
}

struct Media {
    fs::path folder, farFragments, endlessHeader, foreignContainer, oneFrame, slowClock, fastClock, lateEdit, longLateEdit, zeroedChunks,
        endlessSamples;
    Media() {
        folder = korvel::testing::freshFolder("damaged-media");
        auto make = [&](const std::string& name, const std::string& args) {
            const fs::path file = folder / name;
            EXPECT_TRUE(runCommand(ff + args + "'" + file.string() + "'")) << name;
            return file;
        };
        const fs::path fragmented = make("fragmented.mp4", clip + "-g 10 -movflags frag_keyframe+empty_moov ");
        farFragments = folder / "far.mp4";
        save(farFragments, ::farFragments(bytesOf(fragmented)));
        const fs::path plain = make("plain.mp4", clip);
        endlessHeader = folder / "endless.mp4";
        save(endlessHeader, ::endlessHeader(bytesOf(plain)));
        auto edited = [&](const std::string& name, const std::string& bytes) {
            save(folder / name, bytes);
            return folder / name;
        };
        slowClock = edited("slow.mp4", retimed(bytesOf(plain), 1));
        fastClock = edited("fast.mp4", retimed(bytesOf(plain), INT32_MAX));
        lateEdit = edited("late.mp4", ::lateEdit(bytesOf(plain)));
        // A name longer than messages quote.
        longLateEdit = edited(std::string(70, 'n') + ".mp4", ::lateEdit(bytesOf(plain)));
        zeroedChunks = edited("chunks.mp4", ::zeroedChunks(bytesOf(plain)));
        endlessSamples = edited("samples.mp4", ::endlessSamples(bytesOf(plain)));
        oneFrame = make("one.mp4", "-f lavfi -i testsrc2=size=320x240:rate=25 -frames:v 1 -c:v libx264 -pix_fmt yuv420p ");
        foreignContainer = make("clip.flv", "-f lavfi -i testsrc2=size=320x240:rate=25 -t 2 -c:v flv1 -f flv ");
    }
};

const Media& media() {
    static Media m;
    return m;
}

std::string source(const fs::path& file) {
    return R"({"path":")" + file.string() + R"(","contentHash":")" + sha256sum(file) + R"("})";
}

std::string plan(int64_t durationUs) {
    const std::string d = std::to_string(durationUs);
    return R"({"version":1,"canvas":{"format":"horizontal","width":320,"height":240,"fps":{"num":25,"den":1}},)"
           R"("segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":)" + d + R"(,"outStartUs":0,"outEndUs":)" + d +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},)"
           R"("transitionIn":null}],"videoOverlays":[],"textItems":[],"colorStack":[],"background":null,)"
           R"("audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" + d + "}";
}

struct Request {
    std::string method, params;
    std::optional<fs::path> out;
};

using Road = std::function<Request(const fs::path& file, const fs::path& folder)>;

const Road probe = [](const fs::path& file, const fs::path&) {
    return Request{"asset.probe", R"({"path":")" + file.string() + "\"}", std::nullopt};
};
const Road thumbnail = [](const fs::path& file, const fs::path& folder) {
    const fs::path out = folder / "thumb.jpg";
    return Request{"asset.thumbnail",
                   R"({"source":)" + source(file) + R"(,"atUs":1000000,"maxLongEdge":100,"outPath":")" + out.string() + "\"}",
                   out};
};
// An instant far past the end of any track, in any timescale.
const Road lateThumbnail = [](const fs::path& file, const fs::path& folder) {
    const fs::path out = folder / "thumb.jpg";
    return Request{"asset.thumbnail",
                   R"({"source":)" + source(file) + R"(,"atUs":9000000000000000000,"maxLongEdge":100,"outPath":")" +
                       out.string() + "\"}",
                   out};
};
const Road frame = [](const fs::path& file, const fs::path& folder) {
    const fs::path out = folder / "frame.jpg";
    return Request{"render.frame",
                   R"({"plan":)" + plan(2'000'000) + R"(,"sources":{"a":)" + source(file) +
                       R"(},"variant":"after","atUs":500000,"maxLongEdge":100,"outPath":")" + out.string() + "\"}",
                   out};
};
const Road exported = [](const fs::path& file, const fs::path& folder) {
    const fs::path out = folder / "export.mp4";
    return Request{"render.export",
                   R"({"plan":)" + plan(2'000'000) + R"(,"sources":{"a":)" + source(file) +
                       R"(},"codec":"h264","videoBitrate":1000000,"outPath":")" + out.string() + "\"}",
                   out};
};
const Road matte = [](const fs::path& file, const fs::path& folder) {
    const fs::path out = folder / "matte.mov";
    return Request{"matte.build",
                   R"({"assetId":"a","source":)" + source(file) +
                       R"(,"method":"foreground","longEdge":64,"outPath":")" + out.string() + "\"}",
                   out};
};
Road analysis(const std::string& kind) {
    return [kind](const fs::path& file, const fs::path&) {
        return Request{"analysis.run", R"({"assetId":"a","source":)" + source(file) + R"(,"kind":")" + kind + "\"}",
                       std::nullopt};
    };
}

} // namespace

TEST(DamagedMedia, EachCauseHasOneAnswerOnEveryRoad) {
    const fs::path folder = korvel::testing::freshFolder("damaged-roads");
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    const std::string damaged = "Part of this video can't be read. The file may be damaged.";
    const std::string foreign = "clip.flv is in a format that can't be opened.";
    // No sentence: the file is odd but readable, and the road answers a
    // result with its output in place.
    struct Case {
        const fs::path& file;
        Road road;
        std::optional<std::string> sentence;
    } cases[] = {
        // Times that leave 64-bit microseconds.
        {media().endlessHeader, probe, damaged},
        {media().endlessHeader, thumbnail, damaged},
        {media().farFragments, probe, damaged},
        {media().farFragments, thumbnail, damaged},
        {media().farFragments, frame, damaged},
        {media().farFragments, exported, damaged},
        {media().farFragments, matte, damaged},
        {media().farFragments, analysis("scenes"), damaged},
        {media().farFragments, analysis("color_stats"), damaged},
        // A container the engine does not open says so wherever it is read.
        {media().foreignContainer, probe, foreign},
        {media().foreignContainer, analysis("scenes"), foreign},
        {media().foreignContainer, analysis("faces"), foreign},
        {media().foreignContainer, analysis("text_regions"), foreign},
        {media().foreignContainer, analysis("loudness"), foreign},
        {media().foreignContainer, matte, foreign},
        // Tables that are odd but readable: the mask and the export keep
        // times of their own, and copy nothing the source does not show.
        {media().oneFrame, matte, std::nullopt},
        {media().slowClock, matte, std::nullopt},
        {media().slowClock, exported, std::nullopt},
        {media().fastClock, matte, std::nullopt},
        {media().fastClock, lateThumbnail, std::nullopt},
        {media().zeroedChunks, matte, std::nullopt},
        {media().endlessSamples, matte, std::nullopt},
        {media().endlessSamples, exported, std::nullopt},
        // Edits that show nothing.
        {media().lateEdit, probe, "late.mp4 has no frames that can be shown."},
        {media().lateEdit, matte, "late.mp4 has no frames that can be shown."},
        {media().lateEdit, analysis("scenes"), "late.mp4 has no frames that can be shown."},
        {media().longLateEdit, probe, std::string(64, 'n') + "\u2026 has no frames that can be shown."},
        {media().longLateEdit, analysis("scenes"), std::string(64, 'n') + "\u2026 has no frames that can be shown."},
    };
    int64_t id = 0;
    for (const auto& c : cases) {
        const Request request = c.road(c.file, folder);
        const std::string what = c.file.filename().string() + " " + request.method;
        engine.sendLine(EngineProcess::request(++id, request.method, request.params));
        const auto response = engine.responseFor(id, nullptr, std::chrono::seconds(120));
        ASSERT_TRUE(response) << what;
        const JSONValue* error = response->member("error");
        if (!c.sentence) {
            EXPECT_FALSE(error) << what << ": " << response->canonical();
            const JSONValue* result = response->member("result");
            if (!result || !request.out) continue;
            EXPECT_TRUE(fs::exists(*request.out)) << what;
            if (request.method == "render.export") {
                // The file lasts what the answer says.
                engine.sendLine(EngineProcess::request(++id, "asset.probe", R"({"path":")" + request.out->string() + "\"}"));
                const auto written = engine.responseFor(id, nullptr, std::chrono::seconds(60));
                ASSERT_TRUE(written && written->member("result")) << what;
                EXPECT_EQ(written->member("result")->member("durationUs")->intValue(), result->member("durationUs")->intValue())
                    << what;
            }
            fs::remove(*request.out);
            continue;
        }
        const JSONValue expected(JSONValue::Object{{"code", JSONValue(-32002)}, {"message", JSONValue(*c.sentence)}});
        EXPECT_EQ(error ? error->canonical() : response->canonical(), expected.canonical()) << what;
        if (request.out) {
            EXPECT_FALSE(fs::exists(*request.out)) << what << " left its output";
            fs::remove(*request.out);
        }
    }
    for (const auto& e : fs::directory_iterator(folder))
        EXPECT_EQ(e.path().filename().string().find(".korvel-partial-"), std::string::npos) << e.path();
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
