#include "Adapters/Render/Sources/CopySource.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/StoredSamples.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

fs::path scratch(const std::string& name) {
    fs::path f = fx::folder() / "copies";
    fs::create_directories(f);
    return f / name;
}

void writeBytes(const fs::path& file, const std::vector<uint8_t>& bytes) {
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

// A file whose byte at position i is i mod 251.
fs::path counting(const std::string& name, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    fs::path file = scratch(name);
    writeBytes(file, bytes);
    return file;
}

// Size and checksum of each packet or frame: the last two columns of framemd5.
std::vector<std::string> md5s(const std::string& arguments) {
    auto out = fx::runCommand("ffmpeg -nostdin -v error " + arguments + " -f framemd5 -");
    EXPECT_TRUE(out) << arguments;
    std::vector<std::string> lines;
    std::istringstream in(out.value_or(""));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        size_t hash = line.rfind(',');
        size_t size = line.rfind(',', hash - 1);
        lines.push_back(line.substr(size + 1));
    }
    return lines;
}

struct TrunEntry {
    uint32_t duration, size, flags;
    int32_t offset;
    bool operator==(const TrunEntry&) const = default;
};

std::vector<TrunEntry> trun(const std::vector<uint8_t>& file) {
    auto u32 = [&](size_t at) {
        return static_cast<uint32_t>(file[at]) << 24 | file[at + 1] << 16 | file[at + 2] << 8 | file[at + 3];
    };
    std::string text(file.begin(), file.end());
    size_t at = text.find("trun");
    if (at == std::string::npos) return {};
    uint32_t count = u32(at + 8);
    std::vector<TrunEntry> out;
    for (uint32_t i = 0; i < count; ++i) {
        size_t e = at + 16 + 16 * i;
        out.push_back({u32(e), u32(e + 4), u32(e + 8), static_cast<int32_t>(u32(e + 12))});
    }
    return out;
}

std::optional<CopySource> copyOf(const std::string& fixture) {
    return CopySourceReader::open(VideoOpener::open(fx::path(fixture)));
}

} // namespace

TEST(CopySource, AWindowIsTheSourcesOwnSamplesAndPictures) {
    fs::path file = fx::path("copy.mp4");
    auto copy = copyOf("copy.mp4");
    ASSERT_TRUE(copy);
    const auto& offered = copy->offered;
    // A key frame every ten frames of 512 ticks, each one offered.
    ASSERT_EQ(offered.syncTicks.size(), 12u);
    for (size_t i = 0; i < offered.syncTicks.size(); ++i) EXPECT_EQ(offered.syncTicks[i], static_cast<int64_t>(i) * 5120);
    EXPECT_EQ(offered.timescale, 15360);
    EXPECT_EQ(offered.endTicks, 4 * 15360);
    EXPECT_EQ(copy->displayWidth, 320);
    EXPECT_EQ(offered.bytesBefore.front(), 0);
    auto sizes = fx::runCommand("ffprobe -v error -select_streams v -show_entries packet=size -of csv=p=0 '" + file.string() + "'");
    ASSERT_TRUE(sizes);
    int64_t total = 0;
    std::istringstream in(*sizes);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) total += std::stoll(line);
    EXPECT_EQ(offered.totalBytes, total);

    FrameGrid grid(FrameRate{30, 1});
    auto bytes = copy->fragment({offered.syncTicks[1], offered.syncTicks[3]}, grid, 20 * grid.ticksPerFrame);
    fs::path window = scratch("window.mp4");
    writeBytes(window, bytes);

    // Frames 10 ..< 30: the same stored bytes, and the same pictures.
    auto sourcePackets = md5s("-i '" + file.string() + "' -c copy");
    auto windowPackets = md5s("-i '" + window.string() + "' -c copy");
    ASSERT_EQ(windowPackets.size(), 20u);
    EXPECT_EQ(windowPackets, std::vector<std::string>(sourcePackets.begin() + 10, sourcePackets.begin() + 30));
    auto sourceFrames = md5s("-i '" + file.string() + "' -vf select='between(n\\,10\\,29)' -fps_mode passthrough");
    auto windowFrames = md5s("-i '" + window.string() + "' -fps_mode passthrough");
    ASSERT_EQ(windowFrames.size(), 20u);
    EXPECT_EQ(windowFrames, sourceFrames);

    auto timing = trun(bytes);
    ASSERT_EQ(timing.size(), 20u);
    uint32_t span = 0;
    for (const auto& t : timing) span += t.duration;
    EXPECT_EQ(span, 20'000u); // the window's length on the output grid
    EXPECT_EQ(timing[0].flags, 0x02000000u);
}

TEST(CopySource, OnlyPlainH264WithOneEditIsCopied) {
    EXPECT_TRUE(copyOf("copy.mp4"));
    // HEVC; no colour tags; High 10; and an edit that starts after the only key frame.
    for (const char* fixture : {"hevc.mp4", "untagged.mp4", "high10.mp4", "edit.mov"}) {
        EXPECT_FALSE(copyOf(fixture)) << fixture;
    }
}

TEST(CopySource, WindowTimesFollowTheOutputGrid) {
    fs::path file = counting("timing.bin", 64);
    CopySource source;
    source.url = file;
    source.format.sampleEntry = "avc1";
    source.format.configBox = "avcC";
    source.format.config = {1, 100, 0, 31};
    source.format.width = 16;
    source.format.height = 16;
    // Key frame, then P, then B, at timescale 600.
    source.samples = {{0, 20, 0, 10, true}, {20, 60, 10, 5, false}, {40, 40, 15, 4, false}};
    source.startIndexes = {{20, 0}};
    source.offered = {600, {20}, {0}, 19, 80};
    FrameGrid grid(FrameRate{30, 1});

    auto bytes = source.fragment({20, 80}, grid, 3000);
    EXPECT_EQ(trun(bytes), (std::vector<TrunEntry>{{1000, 10, 0x02000000, 0},
                                                   {1000, 5, 0x01010000, 1000},
                                                   {1000, 4, 0x01010000, -1000}}));
    EXPECT_EQ(trun(source.fragment({20, 80}, grid, 1000)).back().duration, 1u);
    // The payload is the three samples' stored bytes, in decode order.
    std::vector<uint8_t> tail(bytes.end() - 19, bytes.end());
    std::vector<uint8_t> expected(19);
    for (size_t i = 0; i < 19; ++i) expected[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(tail, expected);

    try {
        source.fragment({40, 80}, grid, 3000);
        ADD_FAILURE() << "a window off the key frames was copied";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32603, "A copied window does not start on a keyframe."}));
    }
}

TEST(CopySource, KeyFramesShownAfterTheirFollowersAreNotOffered) {
    VideoSource video = VideoOpener::open(fx::path("copy.mp4"));
    auto format = CopiedVideoFormat{};
    // An open group: the B-frame after the second key frame shows before it;
    // the first key frame's time is negative.
    std::vector<CopySource::Sample> samples{{-10, -5, 0, 3, true},  {0, 10, 3, 3, false}, {10, 30, 6, 3, true},
                                            {20, 20, 9, 3, false}, {30, 40, 12, 3, true}};
    auto source = CopySourceReader::assemble(samples, video, format, {16, 16});
    ASSERT_TRUE(source);
    EXPECT_EQ(source->offered.syncTicks, std::vector<int64_t>{40});
    EXPECT_EQ(source->offered.bytesBefore, std::vector<int64_t>{12});
    EXPECT_EQ(source->offered.totalBytes, 15);
    EXPECT_EQ(source->startIndexes, (std::map<int64_t, size_t>{{40, 4}}));
    samples.pop_back();
    EXPECT_FALSE(CopySourceReader::assemble(samples, video, format, {16, 16}));
}

TEST(StoredSamples, ContiguousEntriesAreReadTogetherAndAShortFileIsCutShort) {
    std::vector<StoredSamples::Entry> entries{{100, 10}, {110, 5}, {200, 4}};
    auto bytes = StoredSamples::read(entries, counting("stored-300.bin", 300));
    ASSERT_EQ(bytes.size(), 19u);
    EXPECT_EQ(bytes[0], 100);
    EXPECT_EQ(bytes[14], 114);
    EXPECT_EQ(bytes[15], 200 % 251);
    try {
        StoredSamples::read(entries, counting("stored-203.bin", 203));
        ADD_FAILURE() << "read past the end";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32002, "stored-203.bin is cut short or damaged, so its end can't be read."}));
    }
    try {
        StoredSamples::read(entries, scratch("absent.bin"));
        ADD_FAILURE() << "read a missing file";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32001, "absent.bin can't be read."}));
    }
    EXPECT_TRUE(StoredSamples::read({}, counting("stored-empty.bin", 1)).empty());
}

// The kernel's copy and the buffered one that a device gets say the same.
TEST(StoredSamples, ACopyLandsWhereAskedAndFailsAsAReadDoes) {
    MovieFile source(counting("copied-300.bin", 300));
    fs::path target = scratch("copied-into.bin");
    {
        std::ofstream(target, std::ios::binary) << std::string(8, 'x');
    }
    int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    StoredSamples::copy({100, 15}, source, fd, 4);
    ::close(fd);
    std::ifstream in(target, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 19u);
    EXPECT_EQ(bytes.substr(0, 4), "xxxx");
    for (size_t i = 0; i < 15; ++i) EXPECT_EQ(static_cast<uint8_t>(bytes[4 + i]), 100 + i);

    // Past the end, before the start, and longer than the file; the last
    // two are refused before any byte moves.
    for (StoredSamples::Entry entry : {StoredSamples::Entry{290, 20}, {-1, 4}, {0, 301}}) {
        int out = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(out, 0);
        try {
            StoredSamples::copy(entry, source, out, 0);
            ADD_FAILURE() << "copied " << entry.offset << "+" << entry.size;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f, (EngineFailure{-32002, "copied-300.bin is cut short or damaged, so its end can't be read."}))
                << entry.offset << "+" << entry.size;
        }
        ::close(out);
    }
    // A full disk is the written file's failure, not the source's.
    int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    try {
        StoredSamples::copy({0, 10}, source, full, 0);
        ADD_FAILURE() << "copied onto a full disk";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.code, ENOSPC);
    }
    ::close(full);
}
