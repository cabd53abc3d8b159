// asset.probe and asset.thumbnail as the editor sees them: JSON-RPC lines to
// the real engine, media made with the ffmpeg tool.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::runCommand;
using korvel::testing::sha256sum;
namespace fs = std::filesystem;

namespace {

void make(const std::string& command) { EXPECT_TRUE(runCommand(command)) << command; }

// Media for these tests, made once per test process.
struct Media {
    fs::path folder, movie, cut, sound, text, hostile;
    Media() {
        folder = korvel::testing::freshFolder("asset-media");
        movie = folder / "clip.mp4";
        make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -pix_fmt yuv420p "
             "-color_primaries bt709 -color_trc bt709 -colorspace bt709 -movflags +faststart '" + movie.string() + "'");
        cut = folder / "cut.mp4";
        fs::copy_file(movie, cut);
        fs::resize_file(cut, fs::file_size(movie) / 2);
        sound = folder / "tone.wav";
        make("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=0.5 '" + sound.string() + "'");
        text = folder / "notes.txt";
        std::ofstream(text) << "just words\n";
        // A movie file's first box, then noise.
        hostile = folder / "noise.mp4";
        std::ofstream h(hostile, std::ios::binary);
        h.write("\0\0\0\x18" "ftypisom\0\0\2\0isommp41", 24);
        std::mt19937 random(7);
        for (int i = 0; i < 4096; ++i) h.put(static_cast<char>(random()));
    }
};

const Media& media() {
    static Media m;
    return m;
}

std::string probeLine(int64_t id, const fs::path& file) {
    return EngineProcess::request(id, "asset.probe", "{\"path\":\"" + file.string() + "\"}");
}

JSONValue errorOf(const JSONValue& response) {
    const JSONValue* e = response.member("error");
    return e ? *e : JSONValue();
}

JSONValue failure(int code, const std::string& message) {
    return JSONValue(JSONValue::Object{{"code", JSONValue(code)}, {"message", JSONValue(message)}});
}

} // namespace

TEST(AssetMethods, ProbeAnswersTheWholeRecord) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-probe")});
    engine.sendLine(probeLine(1, media().movie));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    JSONValue expected = JSONValue::parsing(
        R"({"kind":"video","width":320,"height":240,"durationUs":2000000,"firstPtsUs":0,"fps":{"num":25,"den":1},)"
        R"("hasAudio":false,"color":{"primaries":"bt709","transfer":"bt709","matrix":"bt709","fullRange":false,"hdr":false},)"
        R"("contentHash":")" + sha256sum(media().movie) + "\"}");
    EXPECT_EQ(*response->member("result"), expected) << response->canonical();

    engine.sendLine(probeLine(2, media().sound));
    response = engine.responseFor(2);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->member("result")->member("kind")->stringValue(), "audio");
    EXPECT_TRUE(response->member("result")->member("fps")->isNull());
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AssetMethods, ProbeFailuresAreSentencesAndTheEngineGoesOn) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-failures")});
    struct Case {
        std::string line;
        JSONValue error;
    };
    std::vector<Case> cases{
        {probeLine(1, media().folder / "gone.mp4"), failure(-32001, "gone.mp4 is not there anymore.")},
        {probeLine(2, media().text), failure(-32002, "notes.txt is in a format that can't be opened.")},
        {probeLine(3, media().cut), failure(-32002, "cut.mp4 is cut short or damaged, so its end can't be read.")},
        {probeLine(4, media().hostile), failure(-32002, "noise.mp4 is in a format that can't be opened.")},
        {EngineProcess::request(5, "asset.probe", "{}"),
         failure(-32602, "Params do not match the contract: missing .path")},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        engine.sendLine(cases[i].line);
        auto response = engine.responseFor(static_cast<int64_t>(i + 1));
        ASSERT_TRUE(response) << cases[i].line;
        EXPECT_EQ(errorOf(*response), cases[i].error) << response->canonical();
    }
    // Still serving after all that.
    engine.sendLine(probeLine(9, media().sound));
    auto response = engine.responseFor(9);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->member("result"));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
    // Standard error carries only the engine's own diagnostic lines.
    std::string err = engine.stderrText();
    size_t at = 0;
    while (at < err.size()) {
        size_t end = err.find('\n', at);
        std::string line = err.substr(at, end - at);
        EXPECT_EQ(line.rfind("korvel-engine: ", 0), 0u) << line;
        at = end == std::string::npos ? err.size() : end + 1;
    }
}

TEST(AssetMethods, ThumbnailWritesThePictureOrNothing) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-thumbnail")});
    fs::path out = media().folder / "thumb.jpg";
    std::string hash = sha256sum(media().movie);
    auto params = [&](const std::string& h, const fs::path& to) {
        return "{\"source\":{\"path\":\"" + media().movie.string() + "\",\"contentHash\":\"" + h +
               "\"},\"atUs\":1000000,\"maxLongEdge\":100,\"outPath\":\"" + to.string() + "\"}";
    };
    engine.sendLine(EngineProcess::request(1, "asset.thumbnail", params(hash, out)));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    EXPECT_EQ(*response->member("result"),
              JSONValue::parsing("{\"path\":\"" + out.string() + "\",\"width\":100,\"height\":76,\"ptsUs\":1000000}"));
    const std::string probe = "ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 '" + out.string() + "'";
    EXPECT_EQ(runCommand(probe).value_or("failed"), "mjpeg,100,76\n") << probe;

    fs::path never = media().folder / "never.jpg";
    engine.sendLine(EngineProcess::request(2, "asset.thumbnail", params(std::string(64, 'a'), never)));
    response = engine.responseFor(2);
    ASSERT_TRUE(response);
    EXPECT_EQ(errorOf(*response), failure(-32001, "clip.mp4 changed since it was imported."));
    EXPECT_FALSE(fs::exists(never));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(AssetMethods, ConcurrentProbesOfOneFileAgree) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-concurrent")});
    for (int id = 1; id <= 4; ++id) engine.sendLine(probeLine(id, media().movie));
    std::string hash = sha256sum(media().movie);
    // Answers come in the order the jobs end.
    std::set<int64_t> answered;
    for (int i = 1; i <= 4; ++i) {
        auto response = engine.readJSON();
        ASSERT_TRUE(response);
        answered.insert(*response->member("id")->intValue());
        EXPECT_EQ(response->member("result")->member("contentHash")->stringValue(), hash) << response->canonical();
    }
    EXPECT_EQ(answered, (std::set<int64_t>{1, 2, 3, 4}));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// Paths are refused where they enter: a NUL would make every system call
// name another file (the folder before it, or the file before it).
TEST(AssetMethods, HostilePathsAreRefused) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-hostile")});
    const fs::path folder = korvel::testing::freshFolder("asset-hostile-out");
    fs::create_directories(folder / "Precious");
    std::ofstream(folder / "Precious" / "photo.jpg") << "keep";
    ASSERT_EQ(::mkfifo((folder / "pipe.jpg").c_str(), 0644), 0);
    const std::string hash = sha256sum(media().movie);
    auto thumbnail = [&](const std::string& outPath) {
        return "{\"source\":{\"path\":\"" + media().movie.string() + "\",\"contentHash\":\"" + hash +
               "\"},\"atUs\":0,\"maxLongEdge\":64,\"outPath\":\"" + outPath + "\"}";
    };
    const std::string nulReason = ": A file path can't hold the character U+0000.";
    struct Case {
        std::string line;
        JSONValue error;
    };
    std::vector<Case> cases{
        {EngineProcess::request(1, "asset.probe", "{\"path\":\"" + media().movie.string() + "\\u0000x\"}"),
         failure(-32602, "Params do not match the contract: path" + nulReason)},
        {EngineProcess::request(2, "asset.thumbnail", thumbnail((folder / "Precious").string() + "\\u0000.jpg")),
         failure(-32602, "Params do not match the contract: outPath" + nulReason)},
        {EngineProcess::request(3, "asset.thumbnail", thumbnail((folder / "pipe.jpg").string())),
         failure(-32003, "pipe.jpg could not be written.")},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        engine.sendLine(cases[i].line);
        auto response = engine.responseFor(static_cast<int64_t>(i + 1));
        ASSERT_TRUE(response) << cases[i].line;
        EXPECT_EQ(errorOf(*response), cases[i].error) << response->canonical();
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
    std::ifstream kept(folder / "Precious" / "photo.jpg");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "keep");
    EXPECT_TRUE(fs::is_fifo(folder / "pipe.jpg"));
}

// Under a low thread limit every request is still answered exactly once
// (a result, or -32603 for one whose thread the system refused) and the
// engine keeps serving. The limit binds only an unprivileged user.
TEST(AssetMethods, EveryRequestIsAnsweredUnderALowThreadLimit) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the engine as an unprivileged user";
    const fs::path folder = korvel::testing::freshFolder("asset-nproc");
    fs::permissions(folder, fs::perms::all);
    const fs::path movie = folder / "clip.mp4";
    fs::copy_file(media().movie, movie);
    fs::permissions(movie, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    // The limit counts every thread of the user; others may be running some.
    const int others = std::atoi(runCommand("ps -L -u 65534 --no-headers | wc -l").value_or("0").c_str());
    EngineProcess engine({"--cache-dir", (folder / "cache").string()}, {}, false,
                         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/prlimit",
                          "--nproc=" + std::to_string(others + 24), "--"});
    constexpr int count = 60;
    std::string lines;
    for (int id = 1; id <= count; ++id) lines += probeLine(id, movie) + "\n";
    engine.send(lines);
    std::map<int64_t, int> answers;
    int results = 0;
    for (int i = 0; i < count; ++i) {
        auto response = engine.readJSON();
        ASSERT_TRUE(response) << "answers so far: " << answers.size() << "; " << engine.stderrText();
        ++answers[*response->member("id")->intValue()];
        if (response->member("result")) ++results;
        else EXPECT_EQ(*response->member("error")->member("code"), JSONValue(-32603)) << response->canonical();
    }
    EXPECT_EQ(answers.size(), static_cast<size_t>(count));
    EXPECT_GT(results, 0);
    engine.sendLine(probeLine(count + 1, movie));
    auto last = engine.responseFor(count + 1);
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->member("result")) << last->canonical();
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A bound beyond any picture is no bound, and the libraries' own warnings
// never reach standard error: only libvips sees still images, and its and
// GLib's logging goes through the engine's handler.
TEST(AssetMethods, HugeBoundsKeepStandardErrorTheEngines) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-huge")});
    const fs::path folder = korvel::testing::freshFolder("asset-huge-out");
    const fs::path still = folder / "still.png";
    make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x48 -frames:v 1 '" + still.string() + "'");
    int64_t id = 0;
    for (const fs::path& source : {still, media().movie}) {
        ++id;
        engine.sendLine(EngineProcess::request(
            id, "asset.thumbnail",
            "{\"source\":{\"path\":\"" + source.string() + "\",\"contentHash\":\"" + sha256sum(source) +
                "\"},\"atUs\":0,\"maxLongEdge\":9223372036854775807,\"outPath\":\"" + (folder / "t.jpg").string() + "\"}"));
        auto response = engine.responseFor(id);
        ASSERT_TRUE(response);
        ASSERT_TRUE(response->member("result")) << response->canonical();
        EXPECT_EQ(*response->member("result")->member("width"), JSONValue(source == still ? 64 : 320));
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
    EXPECT_EQ(engine.stderrText(), "");
}

TEST(AssetMethods, ProbeNamesColoursOnlyByTheTagTables) {
    auto folder = fs::path(korvel::testing::freshFolder("asset-probe-colours"));
    EngineProcess engine({"--cache-dir", (folder / "cache").string()});
    struct Case {
        std::string tags;  // ffmpeg's names
        bool inContainer;  // else in the bitstream only
        std::string primaries, transfer, matrix;
    };
    std::vector<Case> cases{
        {"-color_primaries bt470bg -color_trc smpte170m -colorspace bt470bg", true, "bt470bg", "bt709", "smpte170m"},
        {"-color_primaries bt470bg -color_trc smpte170m -colorspace bt470bg", false, "bt470bg", "bt709", "smpte170m"},
        {"-color_primaries smpte240m -color_trc bt2020-10 -colorspace smpte170m", true, "smpte170m", "bt709", "smpte170m"},
        {"-color_primaries film -color_trc gamma28 -colorspace fcc", true, "unknown", "unknown", "unknown"},
        {"-color_primaries film -color_trc gamma28 -colorspace fcc", false, "unknown", "unknown", "unknown"},
        {"-color_primaries bt2020 -color_trc smpte2084 -colorspace bt2020nc", true, "bt2020", "smpte2084", "bt2020nc"},
    };
    int64_t id = 0;
    for (const auto& c : cases) {
        auto movie = folder / ("tags" + std::to_string(id) + ".mp4");
        make("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=64x64:rate=25:duration=0.4 -c:v libx264 "
             "-pix_fmt yuv420p " + c.tags + (c.inContainer ? "" : " -movflags -write_colr") + " '" + movie.string() + "'");
        engine.sendLine(probeLine(++id, movie));
        auto response = engine.responseFor(id);
        ASSERT_TRUE(response);
        const JSONValue* color = response->member("result") ? response->member("result")->member("color") : nullptr;
        ASSERT_TRUE(color) << response->canonical();
        JSONValue expected = JSONValue::parsing(R"({"primaries":")" + c.primaries + R"(","transfer":")" + c.transfer +
                                                R"(","matrix":")" + c.matrix + R"(","fullRange":false,"hdr":)" +
                                                (c.transfer == "smpte2084" ? "true" : "false") + "}");
        EXPECT_EQ(*color, expected) << c.tags << (c.inContainer ? " in colr" : " in the bitstream");
    }
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A frame whose bytes are damaged (the movie box and the file's end whole)
// answers the reading sentence, not the decoder's own text.
TEST(AssetMethods, ADamagedFrameIsAReadingFailure) {
    EngineProcess engine({"--cache-dir", korvel::testing::freshFolder("asset-damaged-frame")});
    const fs::path damaged = media().folder / "damaged.mp4";
    fs::copy_file(media().movie, damaged, fs::copy_options::overwrite_existing);
    {
        std::fstream f(damaged, std::ios::binary | std::ios::in | std::ios::out);
        const auto size = static_cast<std::streamoff>(fs::file_size(damaged));
        f.seekp(size * 3 / 10);
        for (std::streamoff i = size * 3 / 10; i < size * 7 / 10; ++i) f.put('\xff');
    }
    const fs::path out = media().folder / "damaged.jpg";
    engine.sendLine(EngineProcess::request(1, "asset.thumbnail",
                                           "{\"source\":{\"path\":\"" + damaged.string() + "\",\"contentHash\":\"" +
                                               sha256sum(damaged) + "\"},\"atUs\":1000000,\"maxLongEdge\":100,\"outPath\":\"" +
                                               out.string() + "\"}"));
    auto response = engine.responseFor(1);
    ASSERT_TRUE(response);
    EXPECT_EQ(errorOf(*response), failure(-32002, "Part of this video can't be read. The file may be damaged."));
    EXPECT_FALSE(fs::exists(out));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
