#include "Adapters/Render/ProbeService.hpp"
#include "MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

AssetColor bt709{"bt709", "bt709", "bt709", false, false};

ProbeResult probe(const fs::path& file) { return ProbeService().probe(ProbeParams{file.string()}); }

EngineFailure probeFailure(const fs::path& file) {
    try {
        probe(file);
    } catch (const EngineFailure& f) {
        return f;
    }
    return {0, "no failure"};
}

// A copy of a fixture with the 32-bit words after the first box of a type
// overwritten: `skip` bytes into its payload, `count` words (0: all that fit).
fs::path patched(const std::string& fixture, const std::string& name, const std::string& box, size_t skip,
                 uint32_t value, size_t count = 1) {
    std::ifstream in(fx::path(fixture), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t at = bytes.find(box);
    EXPECT_NE(at, std::string::npos);
    uint32_t boxSize = static_cast<uint8_t>(bytes[at - 4]) << 24 | static_cast<uint8_t>(bytes[at - 3]) << 16 |
                       static_cast<uint8_t>(bytes[at - 2]) << 8 | static_cast<uint8_t>(bytes[at - 1]);
    size_t first = at + 4 + skip, end = at - 4 + boxSize;
    for (size_t p = first, n = 0; p + 4 <= end && (count == 0 || n < count); p += 4, ++n) {
        for (int i = 0; i < 4; ++i) bytes[p + i] = static_cast<char>(value >> (24 - 8 * i));
    }
    fs::path out = fx::folder() / name;
    std::ofstream(out, std::ios::binary) << bytes;
    return out;
}

} // namespace

TEST(ProbeService, DescribesEachKindOfFile) {
    struct Case {
        std::string fixture;
        AssetKind kind;
        int64_t width, height, durationUs;
        std::optional<FrameRate> fps;
        bool hasAudio;
        std::optional<AssetColor> color;
        int64_t firstPtsUs = 0;
    };
    const std::optional<FrameRate> thirty = FrameRate{30, 1};
    std::vector<Case> cases{
        {"hevc.mp4", AssetKind::video, 320, 240, 2'000'000, thirty, false, bt709},
        // The edit list skips the first half second of the stored samples.
        {"edit.mov", AssetKind::video, 320, 240, 1'500'000, thirty, false, bt709},
        // Stored 320 × 240 with a quarter turn.
        {"portrait.mp4", AssetKind::video, 240, 320, 1'000'000, thirty, false, bt709},
        {"untagged.mp4", AssetKind::video, 320, 240, 1'000'000, thirty, false, std::nullopt},
        // Without an edit list the B-frame delay shows: two frames.
        {"fragmented.mp4", AssetKind::video, 320, 240, 2'066'667, thirty, false, bt709, 66'667},
        {"tone.wav", AssetKind::audio, 0, 0, 1'000'000, std::nullopt, true, std::nullopt},
        // The length of a fragmented sound is that of its fragments.
        {"fragmented.m4a", AssetKind::audio, 0, 0, 1'021'333, std::nullopt, true, std::nullopt},
        {"still.png", AssetKind::image, 64, 48, 0, std::nullopt, false, std::nullopt},
        // Orientation 6 turns the picture by a quarter; 3 by a half.
        {"turned.jpg", AssetKind::image, 300, 400, 0, std::nullopt, false, std::nullopt},
        {"upside.jpg", AssetKind::image, 400, 300, 0, std::nullopt, false, std::nullopt},
        {"still.heic", AssetKind::image, 160, 120, 0, std::nullopt, false, std::nullopt},
    };
    for (const auto& c : cases) {
        fs::path file = fx::path(c.fixture);
        ProbeResult r = probe(file);
        ProbeResult expected{c.kind,   fx::sha256sum(file), c.durationUs, c.width,  c.height,
                             c.fps,    c.firstPtsUs,        c.hasAudio,   c.color};
        EXPECT_EQ(r, expected) << c.fixture << ": " << encoding(r).canonical();
    }
}

TEST(ProbeService, VideoWithSoundAndSoundWithCoverArt) {
    fs::path movie = fx::path("h264.mp4");
    ProbeResult r = probe(movie);
    EXPECT_EQ(r.kind, AssetKind::video);
    EXPECT_TRUE(r.hasAudio);
    EXPECT_EQ(r.contentHash, fx::sha256sum(movie));
    EXPECT_EQ(r.firstPtsUs, 0);
    EXPECT_EQ(*r.fps, (FrameRate{30, 1}));
    EXPECT_EQ(r.durationUs, 2'000'000);

    // The cover picture is not a video track: the file is sound.
    fs::path song = fx::path("song.mp3");
    ProbeResult s = probe(song);
    EXPECT_EQ(s.kind, AssetKind::audio);
    EXPECT_EQ(s.width, 0);
    EXPECT_FALSE(s.fps);
    EXPECT_FALSE(s.color);
    EXPECT_TRUE(s.hasAudio);
    // The stored frames, encoder delay and padding included, as ffprobe reads them.
    auto told = fx::runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + song.string() + "'");
    ASSERT_TRUE(told);
    EXPECT_EQ(s.durationUs, std::llround(std::stod(*told) * 1e6));
    EXPECT_EQ(s.contentHash, fx::sha256sum(song));
}

TEST(ProbeService, FailuresCarryTheirSentences) {
    fs::path folder = fx::folder() / "a-folder.mp4";
    fs::create_directories(folder);
    struct Case {
        fs::path file;
        EngineFailure expected;
    };
    std::vector<Case> cases{
        {fx::folder() / "missing.mp4", {-32001, "missing.mp4 is not there anymore."}},
        {folder, {-32001, "a-folder.mp4 is not a file."}},
        {fx::path("notes.txt"), {-32002, "notes.txt is in a format that can't be opened."}},
        {fx::path("cut.mp4"), {-32002, "cut.mp4 is cut short or damaged, so its end can't be read."}},
        {fx::path("cut.m4a"), {-32002, "cut.m4a is cut short or damaged, so its end can't be read."}},
        // Nothing to decode at the end of a sound of length zero.
        {fx::path("empty.wav"), {-32002, "empty.wav is cut short or damaged, so its end can't be read."}},
    };
    for (const auto& c : cases) EXPECT_EQ(probeFailure(c.file), c.expected) << c.file;
}

TEST(ProbeService, TablesThatLieAreUnsupportedFormats) {
    struct Case {
        fs::path file;
        std::string sentence;
    };
    std::vector<Case> cases{
        // mdhd: version and flags, two times, then the timescale.
        {patched("plain.mp4", "zero-timescale.mp4", "mdhd", 12, 0), "zero-timescale.mp4 is in a format that can't be opened."},
        {patched("plain.mp4", "zero-movie-timescale.mp4", "mvhd", 12, 0),
         "zero-movie-timescale.mp4 is in a format that can't be opened."},
        // stco: version and flags, count, then every chunk offset.
        {patched("plain.mp4", "far-chunks.mp4", "stco", 8, 0x7fff0000, 0),
         "far-chunks.mp4 uses a video format that can't be decoded."},
        // stsz: version and flags, constant size, count, then every size.
        {patched("plain.mp4", "huge-samples.mp4", "stsz", 12, 0x40000000, 0),
         "huge-samples.mp4 uses a video format that can't be decoded."},
        // The sample count claims far more sizes than the box holds.
        {patched("plain.mp4", "more-samples.mp4", "stsz", 8, 0x00ffffff), ""},
    };
    for (const auto& c : cases) {
        EngineFailure f = probeFailure(c.file);
        EXPECT_EQ(f.code, -32002) << c.file << ": " << f.message;
        if (!c.sentence.empty()) {
            EXPECT_EQ(f.message, c.sentence) << c.file;
        }
    }
}

TEST(ProbeService, ProbingTheSameFileTwiceHashesAndOpensItOnce) {
    std::atomic<int> hashes{0}, opens{0};
    auto work = SourceLibrary::Work::real();
    auto hash = work.hash;
    auto open = work.openVideo;
    work.hash = [&, hash](const fs::path& p) {
        ++hashes;
        return hash(p);
    };
    work.openVideo = [&, open](const fs::path& p) {
        ++opens;
        return open(p);
    };
    ProbeService service(std::make_shared<SourceLibrary>(work));
    auto first = service.probe({fx::path("hevc.mp4").string()});
    auto second = service.probe({fx::path("hevc.mp4").string()});
    EXPECT_EQ(first, second);
    EXPECT_EQ(hashes, 1);
    EXPECT_EQ(opens, 1);
}
