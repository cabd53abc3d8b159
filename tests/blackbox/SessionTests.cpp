// A short editing session on the real engine: the session benchmark's mixed
// load (four requests in flight, one in ten cancelled) after a warm-up, in
// two halves of equal work whose ends are compared.

#include "EngineProcess.hpp"
#include "tests/support/SessionLoad.hpp"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>

using namespace korvel::testing;
namespace fs = std::filesystem;

namespace {

constexpr int64_t warmUpRequests = 20, halfRequests = 40;
// The pools keep an idle thread for half a minute, so their count follows
// the last half minute's busiest moment; open decoders come and go.
constexpr int64_t threadSlack = 24, descriptorSlack = 4;
// Frame buffers and open decoders wait ten seconds for the next request;
// past that, what the engine holds is what it kept.
constexpr std::chrono::seconds idleLetGo{12};
// Once settled, two halves differ by up to about 130 MiB on a busy machine
// (threads and heap arenas come and go with the pools); a session that kept
// what its renders used grew by 300 to 570 MiB in a half.
constexpr int64_t residentGrowthKiB = 256 * 1024;

} // namespace

TEST(Session, AMixedLoadIsAnsweredOnceAndLevelsOff) {
    const fs::path folder = freshFolder("session");
    const fs::path temp = folder / "temp", outputs = folder / "outputs";
    fs::create_directories(temp);
    auto media = SessionMedia::make(folder / "media", {{"720p", 1280, 720, 4, 30}, {"1080p", 1920, 1080, 4, 30}});
    ASSERT_TRUE(media);
    EngineProcess engine({"--cache-dir", (folder / "cache").string()}, {"KORVEL_ENGINE_TEMP_DIR=" + temp.string()});
    SessionLoad load(engine, *media, outputs, {.importEvery = 50});

    ASSERT_TRUE(load.runRequests(warmUpRequests)) << load.lastStall() << engine.stderrText();
    ASSERT_TRUE(load.runRequests(halfRequests)) << load.lastStall() << engine.stderrText();
    const EngineVitals first = EngineVitals::settled(engine.pid(), idleLetGo);
    ASSERT_TRUE(load.runRequests(halfRequests)) << load.lastStall() << engine.stderrText();
    const EngineVitals second = EngineVitals::settled(engine.pid(), idleLetGo);

    std::printf("resident once settled: %lld MiB after the first half, %lld MiB after the second\n",
                static_cast<long long>(first.residentKiB / 1024), static_cast<long long>(second.residentKiB / 1024));
    const SessionCounts& counts = load.total();
    EXPECT_EQ(counts.answered, counts.sent);
    EXPECT_EQ(counts.failed, 0) << counts.failureLines();
    EXPECT_GT(counts.cancelsSent, 0);
    EXPECT_LE(second.threads, first.threads + threadSlack);
    EXPECT_LE(second.descriptors, first.descriptors + descriptorSlack);
    EXPECT_EQ(filesIn(temp), 0);
    EXPECT_EQ(filesIn(outputs), 0) << "a partial export or an output of a failed request stayed";
    // The memory check: every request gives back what it used, whatever its ending.
    EXPECT_LE(second.residentKiB - first.residentKiB, residentGrowthKiB)
        << "memory kept after the requests answered: resident " << first.residentKiB / 1024
        << " MiB after the first half, " << second.residentKiB / 1024 << " MiB after the second";
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
