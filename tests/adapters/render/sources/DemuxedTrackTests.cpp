// Containers without a movie box read into the sample table a movie file
// stores: the bytes each sample points at are the demuxer's packet, times
// are clean, and the scratch store leaves nothing behind.

#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "Core/Container/AnnexB.hpp"
#include "tests/support/EverydayMedia.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

using namespace korvel;
namespace fs = std::filesystem;
using korvel::testing::runCommand;

namespace {

struct Container {
    const char* file;
    const char* encode;
    bool inPlace;  // packets lie in the file as they are
    bool reframed = false; // start codes become 4-byte lengths beside an avcC
};

const Container containers[] = {
    {"h264.mkv", "-c:v libx264 -bf 2 -g 12 -c:a aac", true},
    {"vp9.webm", "-c:v libvpx-vp9 -b:v 200k -c:a libopus", true},
    // An MP3 encoder's priming would otherwise leave an empty first chunk.
    {"mpeg4.avi", "-c:v mpeg4 -q:v 2 -c:a libmp3lame -avoid_negative_ts disabled", true},
    {"h264.ts", "-c:v libx264 -bf 2 -g 12 -c:a aac", false, true},
    {"h264.avi", "-c:v libx264 -bf 2 -g 12 -c:a libmp3lame -avoid_negative_ts disabled", false, true},
    {"mpeg2.mpg", "-c:v mpeg2video -q:v 2 -c:a mp2", false},
    {"theora.ogg", "-c:v libtheora -q:v 7 -c:a libvorbis", false},
};

fs::path made(const fs::path& folder, const Container& c) {
    fs::path out = folder / c.file;
    EXPECT_TRUE(runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=96x64:rate=25:duration=2 -f lavfi -i "
                           "sine=r=48000:d=2 -pix_fmt yuv420p " + std::string(c.encode) + " '" + out.string() + "'"))
        << c.file;
    return out;
}

// The packets' sizes and key flags, in file order, as the ffprobe tool lists them.
std::vector<std::pair<int64_t, bool>> probedPackets(const fs::path& file) {
    auto text = runCommand("ffprobe -v error -select_streams v:0 -show_entries packet=size,flags -of csv=p=0 '" +
                           file.string() + "'");
    std::vector<std::pair<int64_t, bool>> out;
    if (!text) return out;
    size_t at = 0;
    while (at < text->size()) {
        size_t end = text->find('\n', at);
        std::string line = text->substr(at, end - at);
        at = end == std::string::npos ? text->size() : end + 1;
        if (line.empty()) continue;
        size_t comma = line.find(',');
        out.emplace_back(std::stoll(line.substr(0, comma)), line.find('K', comma) != std::string::npos);
    }
    return out;
}

size_t scratchFiles(const fs::path& folder) {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(folder)) n += e.path().filename().string().find("samples") != std::string::npos;
    return n;
}

} // namespace

TEST(DemuxedTrack, SamplesAreTheDemuxersPacketsWithCleanTimes) {
    const fs::path folder = fs::path(KORVEL_TEST_TMP) / "demuxed-track";
    const fs::path scratch = folder / "scratch";
    fs::remove_all(folder);
    fs::create_directories(scratch);
    setenv("KORVEL_ENGINE_TEMP_DIR", scratch.c_str(), 1);
    for (const auto& c : containers) {
        const fs::path file = made(folder, c);
        {
            VideoSource source = VideoOpener::open(file);
            const VideoTrack& track = *source.track;
            EXPECT_EQ(track.bytes == nullptr, c.inPlace) << c.file;
            const auto probed = probedPackets(file);
            ASSERT_EQ(track.samples.size(), probed.size()) << c.file;
            std::set<int64_t> shown;
            for (size_t i = 0; i < probed.size(); ++i) {
                const MovieSample& s = track.samples[i];
                // A start code of three bytes becomes a length of four.
                if (c.reframed) {
                    EXPECT_GE(int64_t{s.size}, probed[i].first) << c.file << " sample " << i;
                } else {
                    EXPECT_EQ(int64_t{s.size}, probed[i].first) << c.file << " sample " << i;
                }
                EXPECT_EQ(s.isSync, probed[i].second) << c.file << " sample " << i;
                if (i > 0) {
                    EXPECT_GT(s.decodeTime, track.samples[i - 1].decodeTime) << c.file << " sample " << i;
                }
                EXPECT_TRUE(shown.insert(s.presentationTime()).second) << c.file << " sample " << i;
            }
            EXPECT_EQ(*shown.begin(), 0) << c.file;
            EXPECT_EQ(source.table.pts.front(), 0) << c.file;
            EXPECT_EQ(source.table.count(), int64_t(probed.size())) << c.file;
            // 25 fps throughout, whichever pictures the container times.
            EXPECT_EQ(source.table.measuredFrameRate(), (FrameRate{25, 1})) << c.file;
            // Every sample reads whole from where it points, and the last decodes.
            auto bytes = VideoFrames::samplesFile(file, track);
            for (const auto& s : track.samples) {
                StoredSamples::Entry entry{s.offset, s.size};
                std::vector<uint8_t> sample;
                EXPECT_NO_THROW(sample = StoredSamples::read(std::span(&entry, 1), *bytes)) << c.file;
                if (c.reframed) {
                    EXPECT_TRUE(AnnexB::prefixedUnits(sample, 4)) << c.file;
                }
            }
            if (c.reframed) {
                const MovieSampleEntry* entry = track.firstDescription();
                ASSERT_TRUE(entry) << c.file;
                EXPECT_EQ(entry->format, "avc1") << c.file;
                ASSERT_TRUE(entry->box("avcC")) << c.file;
                EXPECT_TRUE(AnnexB::isConfigurationRecord(*entry->box("avcC"), AnnexB::Codec::h264)) << c.file;
            }
            EXPECT_TRUE(VideoFrames::decodes(file, track, track.sampleOfEntry.back())) << c.file;
            EXPECT_EQ(scratchFiles(scratch), 0u) << c.file << ": the store is removed while open";
        }
    }
    unsetenv("KORVEL_ENGINE_TEMP_DIR");
}

// The sound of these files is placed by where their picture starts: the
// first shown frame's time on the file's own clock, as ffprobe reads it.
TEST(DemuxedTrack, ThePictureStartsAtItsFirstShownFrameOnTheFilesClock) {
    const fs::path folder = fs::path(KORVEL_TEST_TMP) / "demuxed-start";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const auto& c : containers) {
        const fs::path file = made(folder, c);
        const auto start = VideoOpener::demuxedStart(file);
        const auto probed = korvel::testing::firstPictureSeconds(file);
        ASSERT_TRUE(start && probed) << c.file;
        // ffprobe prints microseconds.
        EXPECT_NEAR(start->seconds(), *probed, 1e-6) << c.file;
    }
    // A movie file's edits place its tracks; a sound file has no picture.
    const Container others[] = {{"h264.mp4", "-c:v libx264 -c:a aac", true}, {"sound.mka", "-vn -c:a flac", true}};
    for (const auto& c : others) EXPECT_FALSE(VideoOpener::demuxedStart(made(folder, c))) << c.file;
    EXPECT_FALSE(VideoOpener::demuxedStart(folder / "missing.mkv"));
}

// The scratch store is the engine's own file: its failure is worded as one,
// never as the source's.
TEST(DemuxedTrack, AStoreThatCannotBeMadeIsAWritingFailure) {
    const fs::path folder = fs::path(KORVEL_TEST_TMP) / "demuxed-store";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const fs::path file = made(folder, *std::find_if(std::begin(containers), std::end(containers), [](const Container& c) {
        return std::string(c.file) == "h264.ts";
    }));
    setenv("KORVEL_ENGINE_TEMP_DIR", (folder / "missing").c_str(), 1);
    EngineFailure failure{0, "no failure"};
    try {
        VideoOpener::open(file);
    } catch (const EngineFailure& f) {
        failure = f;
    }
    unsetenv("KORVEL_ENGINE_TEMP_DIR");
    EXPECT_EQ(failure, EngineFailure::writeFailed("The video's scratch files could not be written."));
}
