#include "AnalysisServiceFixture.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace korvel;
using korvel::testing::ServiceFixture;
namespace fs = std::filesystem;

namespace {
std::string kindOf(const JSONValue& v) { return v.member("kind") ? *v.member("kind")->stringPtr() : ""; }
std::string assetOf(const JSONValue& v) { return v.member("assetId") ? *v.member("assetId")->stringPtr() : ""; }

std::future<JSONValue> ask(const AnalysisService& service, JSONValue params) {
    return std::async(std::launch::async, [&service, params] { return service.run(params, JobContext::silent()); });
}

EngineFailure failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineFailure& f) {
        return f;
    }
    return {0, "no failure"};
}
} // namespace

TEST(AnalysisService, ThreeSoundKindsAskedTogetherDecodeOnce) {
    ServiceFixture f("together");
    const fs::path movie = f.source("clip.mp4");
    f.decodeGate.hold();
    auto silences = ask(f.service, ServiceFixture::params("a", movie, "silences"));
    f.decodeGate.waitForWaiters(1);
    auto waveform = ask(f.service, ServiceFixture::params("b", movie, "waveform"));
    auto loudness = ask(f.service, ServiceFixture::params("c", movie, "loudness"));
    while (f.service.sound.reading->waiting(FileDigest::sha256(movie)) != 3) std::this_thread::yield();
    f.decodeGate.release();
    const JSONValue s = silences.get(), w = waveform.get(), l = loudness.get();
    EXPECT_EQ(f.decodes.load(), 1);
    EXPECT_EQ(kindOf(s), "silences");
    EXPECT_EQ(kindOf(w), "waveform");
    EXPECT_EQ(kindOf(l), "loudness");
    EXPECT_EQ(assetOf(s), "a");
    EXPECT_EQ(assetOf(w), "b");
    EXPECT_EQ(assetOf(l), "c");
    EXPECT_EQ(f.records(), 3u);
    EXPECT_FALSE(s.member("runs")->arrayPtr()->empty());
}

TEST(AnalysisService, StoredRecordsAnswerWithoutTheSource) {
    ServiceFixture f("cached");
    const fs::path movie = f.source("clip.mp4");
    const std::string hash = FileDigest::sha256(movie);
    const JSONValue first = f.service.run(ServiceFixture::params("a", movie, "waveform"), JobContext::silent());
    const int hashed = f.hashes.load();
    fs::remove(movie);
    // Another asset with the same content gets the record under its own id.
    const JSONValue again = f.service.run(ServiceFixture::hashed("b", movie, hash, "silences"), JobContext::silent());
    EXPECT_EQ(assetOf(again), "b");
    EXPECT_EQ(f.decodes.load(), 1);
    EXPECT_EQ(f.hashes.load(), hashed);
    const JSONValue known = f.service.known(ServiceFixture::hashed("c", movie, hash, "waveform"));
    JSONValue expected = first;
    expected.objectPtr()->insert_or_assign("assetId", JSONValue("c"));
    EXPECT_EQ(*known.member("analysis"), expected);
    // heardAs is part of a loudness record's name only.
    EXPECT_TRUE(f.service.known(ServiceFixture::hashed("a", movie, hash, "loudness", R"(,"heardAs":"music")"))
                    .member("analysis")->isNull());
    EXPECT_FALSE(f.service.known(ServiceFixture::hashed("a", movie, hash, "waveform", R"(,"heardAs":"music")"))
                     .member("analysis")->isNull());
    EXPECT_TRUE(f.service.known(ServiceFixture::hashed("a", movie, hash, "faces")).member("analysis")->isNull());
}

TEST(AnalysisService, LoudnessOfSoundWithoutPictureAndAsHeardIsMeasuredApart) {
    ServiceFixture f("heard");
    const fs::path song = f.source("song.wav");
    const JSONValue plain = f.service.run(ServiceFixture::params("a", song, "loudness"), JobContext::silent());
    EXPECT_EQ(kindOf(plain), "loudness");
    // The sound run stored silences and waveform; this service stored loudness.
    EXPECT_EQ(f.records(), 3u);
    EXPECT_EQ(f.decodes.load(), 2);
    const JSONValue music =
        f.service.run(ServiceFixture::params("a", song, "loudness", R"(,"heardAs":"music")"), JobContext::silent());
    EXPECT_NE(*music.member("fingerprint"), *plain.member("fingerprint"));
    EXPECT_EQ(f.records(), 4u);
}

TEST(AnalysisService, RefusalsComeInTheirOrder) {
    ServiceFixture f("refusals");
    const fs::path movie = f.source("clip.mp4");
    const std::string hash = FileDigest::sha256(movie);
    struct Case {
        JSONValue params;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {JSONValue::parsing(R"({"source":{"path":"/x","contentHash":"h"},"kind":"silences"})"), -32602,
         "Params do not match the contract: "},
        {ServiceFixture::hashed("a", movie, hash, "matte"), -32602, "The matte has its own method: matte.build."},
        {ServiceFixture::hashed("a", movie, std::string(64, '0'), "transcript", R"(,"language":null)"), -32602,
         "A transcript needs a language: a tag, or auto for the engine to find it."},
        {ServiceFixture::hashed("a", movie, hash, "sparkles"), -32602, "Unknown analysis: sparkles."},
        {ServiceFixture::hashed("a", movie, std::string(64, '0'), "sparkles"), -32001,
         "clip.mp4 changed since it was imported."},
        {ServiceFixture::hashed("a", movie, std::string(64, '0'), "silences"), -32001,
         "clip.mp4 changed since it was imported."},
    };
    for (const Case& c : cases) {
        const EngineFailure failure = failureOf([&] { f.service.run(c.params, JobContext::silent()); });
        EXPECT_EQ(failure.code, c.code) << c.message;
        EXPECT_EQ(failure.message.substr(0, c.message.size()), c.message);
    }
    EXPECT_EQ(f.records(), 0u);
}

TEST(AnalysisService, AnAbandonedRunStoresNothing) {
    ServiceFixture f("abandoned");
    f.decodeStopsQuietly = true;
    const fs::path movie = f.source("clip.mp4");
    const long idle = f.library.use_count();
    f.decodeGate.hold();
    std::stop_source cancel;
    auto answer = std::async(std::launch::async, [&]() -> JSONValue {
        Task::Scope scope(cancel.get_token());
        return f.service.run(ServiceFixture::params("a", movie, "silences", R"(,"priority":"background")"),
                             JobContext::silent());
    });
    f.decodeGate.waitForWaiters(1);
    cancel.request_stop();
    EXPECT_THROW(answer.get(), Cancelled);
    f.decodeGate.release();
    // The run's work holds the library until it has ended, stores included.
    while (f.library.use_count() != idle) std::this_thread::yield();
    EXPECT_EQ(f.records(), 0u);
}

TEST(AnalysisService, AJoinerWithAnotherPathIsNotGivenTheStartersFailure) {
    ServiceFixture f("joiner");
    const fs::path good = f.source("good.mp4", "same bytes");
    const fs::path changed = f.source("changed.mp4", "other bytes");
    const std::string hash = FileDigest::sha256(good);
    f.slowPath = changed.string();
    f.hashGate.hold();
    auto starter = ask(f.service, ServiceFixture::hashed("a", changed, hash, "silences"));
    f.hashGate.waitForWaiters(1);
    auto joiner = ask(f.service, ServiceFixture::hashed("b", good, hash, "silences"));
    while (f.service.sound.reading->waiting(hash) != 2) std::this_thread::yield();
    f.hashGate.release();
    EXPECT_EQ(failureOf([&] { starter.get(); }).message, "changed.mp4 changed since it was imported.");
    EXPECT_EQ(assetOf(joiner.get()), "b");
}

TEST(AnalysisService, ABackgroundRunWaitsForTheForegroundToBeQuietForASecond) {
    ServiceFixture f("yielding");
    const fs::path movie = f.source("clip.mp4");
    f.gate.began(); // a foreground request is running
    auto background = ask(f.service, ServiceFixture::params("a", movie, "waveform", R"(,"priority":"background")"));
    while (f.decodes.load() == 0) std::this_thread::yield();
    EXPECT_EQ(background.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    const auto ended = std::chrono::steady_clock::now();
    f.gate.ended();
    EXPECT_EQ(kindOf(background.get()), "waveform");
    EXPECT_GE(std::chrono::steady_clock::now() - ended, std::chrono::milliseconds(990));
}

TEST(AnalysisService, AReadOnlyCacheStillAnswers) {
    ServiceFixture f("readonly");
    const fs::path movie = f.source("clip.mp4");
    fs::create_directories(f.root / "cache");
    std::ofstream(f.root / "cache" / "analysis") << "not a folder";
    const auto p = ServiceFixture::params("a", movie, "isolation");
    EXPECT_EQ(kindOf(f.service.run(p, JobContext::silent())), "isolation");
    EXPECT_TRUE(f.service.known(p).member("analysis")->isNull());
    EXPECT_EQ(kindOf(f.service.run(p, JobContext::silent())), "isolation");
}

TEST(AnalysisService, OneFramePassServesScenesAndFacesAndIsKeptOnDisk) {
    ServiceFixture f("pass");
    const fs::path movie = f.source("clip.mp4");
    const JSONValue scenes = f.service.run(ServiceFixture::params("a", movie, "scenes"), JobContext::silent());
    EXPECT_EQ(scenes.member("scenes")->canonical(),
              R"([{"score":1,"span":{"endUs":400000,"startUs":0}},{"score":0.73123,"span":{"endUs":1000000,"startUs":400000}}])");
    const JSONValue faces = f.service.run(ServiceFixture::params("a", movie, "faces"), JobContext::silent());
    EXPECT_EQ(faces.member("tracks")->canonical(), "[]");
    EXPECT_EQ(f.scenePasses.load(), 1);
    EXPECT_EQ(f.records(), 3u); // scenes, faces and the scene scan
    const std::string hash = FileDigest::sha256(movie);
    EXPECT_FALSE(f.service.known(ServiceFixture::hashed("z", movie, hash, "scene_scan")).member("analysis")->isNull());

    // A new process starts from the scan on disk.
    ServiceFixture next("pass-again");
    fs::create_directories(next.root / "cache");
    fs::copy(f.root / "cache", next.root / "cache", fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    const fs::path same = next.source("clip.mp4");
    next.service.run(ServiceFixture::params("a", same, "faces", R"(,"heardAs":"x")"), JobContext::silent());
    next.service.run(ServiceFixture::params("b", same, "text_regions"), JobContext::silent());
    EXPECT_EQ(next.scenePasses.load(), 0);
}

TEST(AnalysisService, TranscriptsAreStoredAndAutoRemembersTheLanguage) {
    ServiceFixture f("transcript");
    const fs::path movie = f.source("talk.mp4");
    const std::string hash = FileDigest::sha256(movie);
    const JSONValue en = f.service.run(ServiceFixture::params("a", movie, "transcript", R"(,"language":"en")"),
                                       JobContext::silent());
    EXPECT_EQ(kindOf(en), "transcript");
    EXPECT_EQ(*en.member("transcriber"), JSONValue("whisper_large_v3"));
    EXPECT_EQ(*en.member("provisional"), JSONValue(true)); // no aligner
    const auto& words = *en.member("words")->arrayPtr();
    ASSERT_EQ(words.size(), 2u);
    EXPECT_EQ(*words[0].member("confidence"), JSONValue(0.91235));
    EXPECT_TRUE(words[1].member("confidence")->isNull());
    const size_t heard = f.speech->whisper->transcriptions.size();
    // Answered from the record, by run and by known, for another asset.
    EXPECT_EQ(assetOf(f.service.run(ServiceFixture::params("b", movie, "transcript", R"(,"language":"en")"),
                                    JobContext::silent())),
              "b");
    EXPECT_EQ(f.speech->whisper->transcriptions.size(), heard);
    EXPECT_FALSE(f.service.known(ServiceFixture::hashed("c", movie, hash, "transcript", R"(,"language":"en")"))
                     .member("analysis")->isNull());
    EXPECT_TRUE(f.service.known(ServiceFixture::hashed("c", movie, hash, "transcript")).member("analysis")->isNull());

    // "auto" finds the language once and keeps it beside the transcript.
    f.speech->whisper->guesses = {LanguageGuess{"en", 0.9}};
    const JSONValue found = f.service.run(ServiceFixture::params("a", movie, "transcript", R"(,"language":"auto")"),
                                          JobContext::silent());
    EXPECT_EQ(*found.member("language"), JSONValue("en"));
    const auto record = f.service.cache.load(f.service.versions.voiceLanguageFingerprint(hash), "voice_language", hash, "");
    ASSERT_TRUE(record);
    EXPECT_EQ(*record->member("finder"), JSONValue("whisper_large_v3"));
    const size_t afterAuto = f.speech->whisper->transcriptions.size();
    f.service.run(ServiceFixture::params("a", movie, "transcript", R"(,"language":"auto")"), JobContext::silent());
    EXPECT_EQ(f.speech->whisper->transcriptions.size(), afterAuto);
}
