#include "Core/Analysis/Fingerprint.hpp"
#include "Core/Analysis/FirstUseGate.hpp"
#include "Core/Digest.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

using namespace korvel;

TEST(Fingerprint, WorkedExamples) {
    struct Case {
        std::vector<std::string> parts;
        std::string key;
    };
    const Case cases[] = {
        {{"abc"}, "aab5f9ae99b2e38fb462025c8f72f570c9c811705d2a4277dc855d7fa293fe97"},
        {{"a", "bc"}, "5310a58788781ab25d5ad7c3f85035824b4eb7bdfa394e0ac2186271472b5492"},
        {{"\xC3\xA9"}, "2f23c71856587c2a6ffdb64f0e11e9940b35da318947308f6a02ee01898e6107"},
        {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    };
    for (const Case& c : cases) EXPECT_EQ(Fingerprint::of(c.parts), c.key) << testing::PrintToString(c.parts);
}

TEST(Fingerprint, LengthPrefixKeepsPartsApart) {
    EXPECT_EQ(Fingerprint::of({""}), Digest::sha256("0:"));
    EXPECT_NE(Fingerprint::of({""}), Fingerprint::of(std::vector<std::string>{}));
    EXPECT_NE(Fingerprint::of({"a", "bc"}), Fingerprint::of({"ab", "c"}));
    EXPECT_NE(Fingerprint::of({"a:b"}), Fingerprint::of({"a", "b"}));
    // Byte count, not character count: "日本" is 6 bytes.
    EXPECT_EQ(Fingerprint::of({"日本", "x"}), Digest::sha256("6:日本1:x"));
    const std::vector<std::string> owned{"engine 0.1.0", "silences"};
    EXPECT_EQ(Fingerprint::of(owned), Fingerprint::of({"engine 0.1.0", "silences"}));
}

TEST(FirstUseGate, RunsEachKeyOnce) {
    FirstUseGate gate;
    std::vector<std::string> ran;
    for (const char* key : {"person", "foreground", "person", "", ""}) gate.once(key, [&] { ran.push_back(key); });
    EXPECT_EQ(ran, (std::vector<std::string>{"person", "foreground", ""}));
}

TEST(FirstUseGate, OtherKeysWaitForAFirstRun) {
    FirstUseGate gate;
    std::atomic<bool> started = false, finished = false, sawFinished = false;
    std::thread first([&] {
        gate.once("person", [&] {
            started = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            finished = true;
        });
    });
    while (!started) std::this_thread::yield();
    gate.once("foreground", [&] { sawFinished = finished.load(); });
    first.join();
    EXPECT_TRUE(sawFinished);
}
