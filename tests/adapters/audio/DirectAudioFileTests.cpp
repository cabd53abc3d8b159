// The direct route for plain AAC files, and its fallbacks.

#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/DirectAudioFile.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

fs::path made(const std::string& name, const std::string& args) {
    static fs::path folder = [] {
        fs::path f = fs::path(KORVEL_TEST_TMP) / ("direct-" + std::to_string(::getpid()));
        fs::remove_all(f);
        fs::create_directories(f);
        return f;
    }();
    const fs::path out = folder / name;
    if (!fs::exists(out)) {
        EXPECT_TRUE(korvel::testing::runCommand("ffmpeg -nostdin -v error -y " + args + " '" + out.string() + "'"));
    }
    return out;
}

fs::path stereo48() {
    return made("stereo48.m4a", "-f lavfi -i sine=f=440:sample_rate=48000:d=2 -f lavfi -i sine=f=550:sample_rate=48000:d=2 "
                                "-filter_complex amerge -c:a aac");
}
fs::path mono44() { return made("mono44.m4a", "-f lavfi -i sine=f=440:sample_rate=44100:d=2 -c:a aac"); }

} // namespace

TEST(DirectAudioFile, PlansOnlyWhatTheRouteAllows) {
    auto p = DirectAudioFile::plan(stereo48(), 48000, 1);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->readChannels, 2);
    EXPECT_EQ(p->fileRate, 48000);
    EXPECT_EQ(p->lengthFrames, 96000);
    EXPECT_EQ(p->durationUs, 2'000'000);
    EXPECT_FALSE(DirectAudioFile::plan(stereo48(), 48000, 3));
    EXPECT_FALSE(DirectAudioFile::plan(mono44(), 48000, 1));
    ASSERT_TRUE(DirectAudioFile::plan(mono44(), 16000, 1));
    EXPECT_EQ(DirectAudioFile::plan(mono44(), 16000, 1)->readChannels, 1);
    EXPECT_FALSE(DirectAudioFile::plan(made("tone.wav", "-f lavfi -i sine=d=1"), 48000, 1));
    EXPECT_FALSE(DirectAudioFile::plan(made("missing.m4a", "-f lavfi -i sine=d=1 -f null"), 48000, 1));
}

TEST(DirectAudioFile, ReadsFoldsAndGivesUpOnAnotherLength) {
    auto p = *DirectAudioFile::plan(stereo48(), 48000, 1);
    auto mono = AudioDecoder::readDirect(stereo48(), p, 48000, 1, JobContext::silent());
    ASSERT_TRUE(mono);
    ASSERT_EQ(mono->size(), 1u);
    EXPECT_EQ(static_cast<int64_t>(mono->front().size()), 96000);
    const auto both = AudioDecoder::read(stereo48(), 2, JobContext::silent());
    for (size_t i = 0; i < 96000; i += 997)
        EXPECT_EQ((*mono)[0][i], (both.channels[0][i] + both.channels[1][i]) * 0.5f);
    auto wrong = p;
    wrong.lengthFrames += 4096;
    EXPECT_FALSE(AudioDecoder::readDirect(stereo48(), wrong, 48000, 1, JobContext::silent()));
    // At another rate the length is not compared.
    auto speech = *DirectAudioFile::plan(mono44(), 16000, 1);
    speech.lengthFrames -= 4410;
    auto low = AudioDecoder::readDirect(mono44(), speech, 16000, 1, JobContext::silent());
    ASSERT_TRUE(low);
    EXPECT_NEAR(static_cast<double>(low->front().size()), 30400, 2);
}

TEST(DirectAudioFile, ReportsAtMostOncePerPercentAndOnceWithoutADuration) {
    auto p = *DirectAudioFile::plan(stereo48(), 48000, 2);
    std::vector<EngineProgress> reports;
    JobContext job([&](const EngineProgress& r) { reports.push_back(r); });
    ASSERT_TRUE(AudioDecoder::readDirect(stereo48(), p, 48000, 2, job));
    ASSERT_FALSE(reports.empty());
    EXPECT_LE(reports.size(), 101u);
    EXPECT_EQ(reports.back().done, 2'000'000);
    EXPECT_EQ(reports.back().total, 2'000'000);
    for (size_t i = 1; i < reports.size(); ++i) EXPECT_GT(reports[i].done * 100 / 2'000'000, reports[i - 1].done * 100 / 2'000'000 - 1);
    reports.clear();
    p.durationUs = 0;
    ASSERT_TRUE(AudioDecoder::readDirect(stereo48(), p, 48000, 2, job));
    EXPECT_EQ(reports.size(), 2u);
}
