// Sound files read and written by the engine's one decoder and one writer,
// and the scratch files named after their process.

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Files/ProcessTempFile.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvel;
using korvel::testing::runCommand;
namespace fs = std::filesystem;

namespace {

fs::path fresh(const std::string& name) {
    fs::path f = fs::path(KORVEL_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(f);
    fs::create_directories(f);
    return f;
}

void make(const std::string& command) { ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y " + command)) << command; }

PCMAudio ramp(int channels, int64_t frames) {
    PCMAudio a;
    for (int c = 0; c < channels; ++c) {
        std::vector<float> x(static_cast<size_t>(frames));
        for (int64_t i = 0; i < frames; ++i) x[static_cast<size_t>(i)] = std::sin(0.001f * float(i) * float(c + 1)) * 0.7f;
        a.channels.push_back(std::move(x));
    }
    return a;
}

EngineFailure failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineFailure& f) {
        return f;
    }
    return EngineFailure(0, "no failure");
}

bool leftovers(const fs::path& folder) {
    for (const auto& e : fs::directory_iterator(folder))
        if (e.path().filename().string().find(".korvel-partial-") != std::string::npos) return true;
    return false;
}

} // namespace

TEST(AudioDecoder, MapsChannelsByCopyAndByMean) {
    const fs::path dir = fresh("decode-channels");
    const fs::path stereo = dir / "stereo.wav", mono = dir / "mono.wav", other = dir / "low.wav";
    make("-f lavfi -i sine=f=440:sample_rate=48000:d=1 -f lavfi -i sine=f=660:sample_rate=48000:d=1 "
         "-filter_complex amerge -c:a pcm_f32le '" + stereo.string() + "'");
    make("-f lavfi -i sine=f=440:sample_rate=48000:d=1 -c:a pcm_f32le '" + mono.string() + "'");
    make("-f lavfi -i sine=f=440:sample_rate=44100:d=1 -c:a pcm_s16le '" + other.string() + "'");
    const PCMAudio both = AudioDecoder::read(stereo, 2, JobContext::silent());
    const PCMAudio folded = AudioDecoder::read(stereo, 1, JobContext::silent());
    ASSERT_EQ(both.frameCount(), 48000);
    ASSERT_EQ(folded.channelCount(), 1);
    for (int64_t i = 0; i < 48000; i += 101)
        EXPECT_EQ(folded.channels[0][i], (both.channels[0][i] + both.channels[1][i]) * 0.5f);
    const PCMAudio copied = AudioDecoder::read(mono, 2, JobContext::silent());
    const PCMAudio single = AudioDecoder::read(mono, 1, JobContext::silent());
    EXPECT_EQ(copied.channels[0], single.channels[0]);
    EXPECT_EQ(copied.channels[1], single.channels[0]);
    // Another rate is resampled to 48 kHz.
    EXPECT_NEAR(static_cast<double>(AudioDecoder::read(other, 1, JobContext::silent()).frameCount()), 48000, 2);
    EXPECT_NEAR(static_cast<double>(AudioDecoder::readMono(stereo, 16000, JobContext::silent()).size()), 16000, 2);
}

TEST(AudioDecoder, FailuresAnswerTheirSentences) {
    const fs::path dir = fresh("decode-failures");
    const fs::path video = dir / "video.mp4", text = dir / "notes.txt";
    make("-f lavfi -i testsrc2=size=64x64:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p '" + video.string() + "'");
    std::ofstream(text) << "just words\n";
    struct Case {
        fs::path file;
        int code;
        std::string message;
    } cases[] = {
        {dir / "gone.wav", -32001, "The file is not there anymore."},
        {video, -32602, "This file has no audio track."},
        {text, -32002, "Part of this audio track can't be read. The file may be damaged."},
    };
    for (const auto& c : cases) {
        const auto f = failureOf([&] { AudioDecoder::read(c.file, 1, JobContext::silent()); });
        EXPECT_EQ(f.code, c.code) << c.file;
        EXPECT_EQ(f.message, c.message);
    }
}

TEST(AudioDecoder, GapsInTimestampsBecomeSilenceUpToTheFourHourBound) {
    const fs::path dir = fresh("decode-gaps");
    // Fragmented files keep each fragment's start time, so a jump survives.
    auto gapped = [&](const std::string& name, const std::string& seconds) {
        const fs::path out = dir / name;
        make("-f lavfi -i sine=f=440:sample_rate=48000:d=1 -af \"asetpts='PTS+if(gte(T,0.5),48000*" + seconds +
             ",0)'\" -c:a aac -movflags +frag_keyframe+empty_moov+default_base_moof -frag_duration 100000 '" +
             out.string() + "'");
        return out;
    };
    const PCMAudio audio = AudioDecoder::read(gapped("gap.m4a", "5"), 1, JobContext::silent());
    EXPECT_NEAR(static_cast<double>(audio.frameCount()), 6.0 * 48000, 2048);
    double inGap = 0;
    for (int64_t i = 60000; i < 250000; ++i) inGap = std::max(inGap, std::fabs(double(audio.channels[0][i])));
    EXPECT_EQ(inGap, 0);
    EXPECT_GT(std::fabs(audio.channels[0][270000]) + std::fabs(audio.channels[0][270010]), 0);
    // A jump past four hours is a damaged file, never a 4-hour allocation.
    const auto f = failureOf([&] { AudioDecoder::read(gapped("far.m4a", "18000"), 1, JobContext::silent()); });
    EXPECT_EQ(f.code, -32002);
    EXPECT_EQ(f.message, "Part of this audio track can't be read. The file may be damaged.");
}

TEST(AudioDecoder, ReportsProgressAndStopsWhenCancelled) {
    const fs::path dir = fresh("decode-progress");
    const fs::path file = dir / "tone.m4a";
    make("-f lavfi -i sine=f=300:sample_rate=48000:d=20 -c:a aac '" + file.string() + "'");
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& p) { reports.push_back(p); });
    AudioDecoder::read(file, 1, job);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.front().phase, EngineProgress::Phase::analyze);
    EXPECT_EQ(reports.front().unit, EngineProgress::Unit::microseconds);
    for (const auto& r : reports) EXPECT_LE(r.done, *r.total);

    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    EXPECT_THROW(AudioDecoder::read(file, 1, JobContext::silent()), Cancelled);
}

TEST(AudioFileWriter, WavIsExactFloatInAnyLetterCaseAndInChunks) {
    const fs::path dir = fresh("write-wav");
    const PCMAudio audio = ramp(2, AudioFileWriter::chunkFrames + 1);
    for (const char* name : {"a.wav", "B.WAV"}) {
        AudioFileWriter::writeLossless(audio, dir / name, std::nullopt);
        EXPECT_EQ(fs::file_size(dir / name), 94u + 8 * static_cast<uintmax_t>(audio.frameCount())) << name;
        EXPECT_EQ(AudioDecoder::read(dir / name, 2, JobContext::silent()), audio) << name;
    }
    AudioFileWriter::writeWav(PCMAudio(std::vector<std::vector<float>>(2)), dir / "empty.wav", std::nullopt);
    EXPECT_EQ(AudioDecoder::read(dir / "empty.wav", 2, JobContext::silent()).frameCount(), 0);
    EXPECT_FALSE(leftovers(dir));
}

TEST(AudioFileWriter, LosslessKeeps24BitSamplesAndEmptyMixesAreValidFiles) {
    const fs::path dir = fresh("write-alac");
    const PCMAudio audio = ramp(2, 30000);
    for (const char* name : {"mix.m4a", "mix.mov", "mix.caf"}) {
        AudioFileWriter::writeLossless(audio, dir / name, dir / "journal");
        auto codec = runCommand("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bits_per_raw_sample "
                                "-of csv=p=0 '" + (dir / name).string() + "'");
        ASSERT_TRUE(codec) << name;
        EXPECT_EQ(*codec, "alac,48000,2,24\n") << name;
        const PCMAudio back = AudioDecoder::read(dir / name, 2, JobContext::silent());
        ASSERT_EQ(back.frameCount(), audio.frameCount()) << name;
        for (int64_t i = 0; i < audio.frameCount(); i += 37)
            EXPECT_NEAR(back.channels[1][i], audio.channels[1][i], 1.0 / 8388607) << name;
    }
    EXPECT_TRUE(fs::is_empty(dir / "journal"));
    const fs::path empty = dir / "empty.m4a";
    AudioFileWriter::writeLossless(PCMAudio(std::vector<std::vector<float>>(2)), empty, std::nullopt);
    auto codec = runCommand("ffprobe -v error -show_entries stream=codec_name,channels -of csv=p=0 '" + empty.string() + "'");
    ASSERT_TRUE(codec);
    EXPECT_EQ(*codec, "alac,2\n");
    EXPECT_EQ(AudioDecoder::read(empty, 2, JobContext::silent()).frameCount(), 0);
}

TEST(AudioFileWriter, CancelledWriteLeavesNothing) {
    const fs::path dir = fresh("write-cancel");
    std::ofstream(dir / "mix.wav") << "old";
    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    for (const char* name : {"mix.wav", "new.m4a"}) {
        EXPECT_THROW(AudioFileWriter::writeLossless(ramp(2, 200000), dir / name, dir / "journal"), Cancelled);
    }
    EXPECT_EQ(fs::file_size(dir / "mix.wav"), 3u);
    EXPECT_FALSE(fs::exists(dir / "new.m4a"));
    EXPECT_FALSE(leftovers(dir));
    EXPECT_TRUE(fs::is_empty(dir / "journal"));
}

TEST(ProcessTempFile, OwnersOnlyOfTheExactShape) {
    const std::string uuid = "0F8D1A2B-3C4D-4E5F-8A9B-0C1D2E3F4A5B";
    struct Case {
        std::string name;
        std::optional<int> owner;
    } cases[] = {
        {"korvel-engine-123-peak-" + uuid + ".m4a", 123},
        {"korvel-engine-+123-peak-" + uuid + ".m4a", 123},
        {"korvel-engine-0-peak-" + uuid + ".m4a", std::nullopt},
        {"korvel-engine--5-peak-" + uuid + ".m4a", std::nullopt},
        {"korvel-engine-123-two-words-" + uuid + ".m4a", std::nullopt},
        {"korvel-engine-123-peak-NOT-A-UUID.m4a", std::nullopt},
        {"korvel-engine-99999999999-peak-" + uuid + ".m4a", std::nullopt},
        {"korvel-engine-12a-peak-" + uuid + ".m4a", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(ProcessTempFile::owner(c.name), c.owner) << c.name;
    const auto named = ProcessTempFile::url("peak", "m4a", "/x");
    EXPECT_EQ(ProcessTempFile::owner(named.filename().string()), ::getpid());
    EXPECT_NE(named, ProcessTempFile::url("peak", "m4a", "/x"));
}

TEST(ProcessTempFile, SweepRemovesOnlyRegularFilesOfDeadProcesses) {
    const fs::path dir = fresh("sweep");
    // A process that has surely ended: a child that exited and was reaped.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = 0;
    ::waitpid(child, &status, 0);
    const std::string uuid = "0F8D1A2B-3C4D-4E5F-8A9B-0C1D2E3F4A5B";
    auto name = [&](pid_t pid, const std::string& word = "peak") {
        return "korvel-engine-" + std::to_string(pid) + "-" + word + "-" + uuid + ".m4a";
    };
    const fs::path dead = dir / name(child), live = dir / name(::getpid()), root = dir / name(1);
    const fs::path folder = dir / name(child, "speech"), link = dir / name(child, "link");
    const fs::path other = dir / ("other-" + std::to_string(child) + ".m4a");
    for (const auto& f : {dead, live, root, other}) std::ofstream(f) << "x";
    fs::create_directory(folder);
    fs::create_symlink(live, link);
    ProcessTempFile::sweep(dir);
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(live));
    EXPECT_TRUE(fs::exists(root));
    EXPECT_TRUE(fs::exists(other));
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_TRUE(fs::is_symlink(link));
    ProcessTempFile::sweep(dir / "missing");

    ::setenv(ProcessTempFile::folderVariable, dir.c_str(), 1);
    EXPECT_EQ(ProcessTempFile::defaultFolder(), dir);
    ::unsetenv(ProcessTempFile::folderVariable);
    EXPECT_NE(ProcessTempFile::defaultFolder(), dir);
}
