// The audio plan renderer on generated sound: plan identity and policy, out
// ranges clamped to the mix, variants, the stream list, the isolated-voice
// cache.

#include "Adapters/Audio/AACStreamEncoder.hpp"
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Audio/AudioPlan.hpp"
#include "Adapters/Audio/AudioPlanRenderer.hpp"
#include "Core/Wire/WireNumber.hpp"
#include "Adapters/Audio/IsolatedVoices.hpp"
#include "Core/Audio/LoudnessProfile.hpp"
#include "Core/Audio/TruePeak.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>
#include <fstream>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

fs::path fresh(const std::string& name) {
    fs::path f = fs::path(KORVEL_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(f);
    fs::create_directories(f);
    return f;
}

std::string track(const std::string& id, const std::string& role, const std::string& recipe, int64_t srcEnd,
                  int64_t outStart, int64_t outEnd, const std::string& more = R"("speed":1.0,"gain":[])") {
    return R"({"id":")" + id + R"(","role":")" + role + R"(","assetId":null,"generated":{"recipe":")" + recipe +
           R"(","seed":1},"srcStartUs":0,"srcEndUs":)" + std::to_string(srcEnd) + R"(,"outStartUs":)" +
           std::to_string(outStart) + R"(,"outEndUs":)" + std::to_string(outEnd) + "," + more + R"(,"isolation":null})";
}

JSONValue plan(const std::string& tracks, int64_t durationUs, const std::string& target = "null",
               const std::string& extra = "") {
    return JSONValue::parsing(R"({"durationUs":)" + std::to_string(durationUs) + extra +
                              R"(,"audioMix":{"tracks":[)" + tracks + R"(],"targetLufs":)" + target +
                              R"(,"truePeakDb":-1}})");
}

std::map<std::string, JSONValue> noSources() { return {}; }

// What render.segment hands the renderer: plan and sources already decoded.
RenderPlan decodedPlan(const JSONValue& plan) {
    const AudioPlan audio(plan, noSources(), "");
    RenderPlan p;
    p.audioMix = audio.mix;
    p.durationUs = audio.durationUs;
    return p;
}

std::map<std::string, EngineSource> decodedSources(const std::map<std::string, JSONValue>& sources) {
    std::map<std::string, EngineSource> out;
    for (const auto& [id, value] : sources) out.emplace(id, decoded<EngineSource>(value));
    return out;
}

AudioPlanRenderer renderer(const fs::path& root) {
    return AudioPlanRenderer(nullptr, root, SourceLibrary::shared(), "test");
}

} // namespace

TEST(AudioPlan, IdentityFollowsTheAudioAndPolicyFollowsTheRoles) {
    const std::string bed = track("b", "music", "soft_bed", 1000000, 0, 1000000);
    const std::string voice = track("v", "voice", "ding", 100000, 0, 100000);
    const AudioPlan a(plan(bed, 1000000, "null", R"(,"video":1)"), noSources(), "1");
    const AudioPlan b(plan(bed, 1000000, "null", R"(,"video":2)"), noSources(), "1");
    EXPECT_EQ(a.identity, b.identity);
    const AudioPlan reordered(JSONValue::parsing(R"({"audioMix":{"truePeakDb":-1,"targetLufs":null,"tracks":[)" + bed +
                                                 R"(]},"durationUs":1000000})"),
                              noSources(), "1");
    EXPECT_EQ(a.identity, reordered.identity);
    const AudioPlan withSource(plan(bed, 1000000), {{"x", JSONValue::parsing(R"({"path":"/x","contentHash":"h"})")}}, "1");
    EXPECT_NE(a.identity, withSource.identity);
    EXPECT_NE(a.identity, AudioPlan(plan(bed, 1000000), noSources(), "2").identity);

    EXPECT_EQ(AudioPlan(plan(bed, 1000000, "-16"), noSources(), "1").finishedPolicy(),
              AudioMixer::Policy::normalize(-16, -1));
    EXPECT_EQ(AudioPlan(plan(voice + "," + bed, 1000000), noSources(), "1").finishedPolicy(),
              AudioMixer::Policy::keepLevel(-1));
    EXPECT_EQ(AudioPlan(plan(voice, 1000000), noSources(), "1").finishedPolicy(), AudioMixer::Policy::none());
    EXPECT_EQ(AudioPlan(plan("", 1000000), noSources(), "1").finishedPolicy(), AudioMixer::Policy::none());
    EXPECT_THROW(AudioPlan(JSONValue::parsing(R"({"durationUs":1})"), noSources(), "1"), EngineFailure);
}

TEST(AudioPlan, ADecodedPlanGivesTheSameChecksAndAnIdentityOfItsSound) {
    const std::string bed = track("b", "music", "soft_bed", 1000000, 0, 1000000);
    const RenderPlan decodedBed = decodedPlan(plan(bed, 1000000));
    RenderPlan otherPicture = decodedBed;
    otherPicture.canvas.width = 1234;
    const AudioPlan a(decodedBed, {}, "1");
    EXPECT_EQ(a.identity, AudioPlan(otherPicture, {}, "1").identity);
    EXPECT_NE(a.identity, AudioPlan(decodedBed, {}, "2").identity);
    EXPECT_NE(a.identity, AudioPlan(decodedBed, {{"x", EngineSource{"/x", "h"}}}, "1").identity);
    EXPECT_NE(a.identity, AudioPlan(decodedPlan(plan(bed, 2000000)), {}, "1").identity);
    EXPECT_NE(a.identity, AudioPlan(decodedPlan(plan(bed, 1000000, "-16")), {}, "1").identity);
    EXPECT_EQ(a.finishedPolicy(), AudioMixer::Policy::keepLevel(-1));

    RenderPlan loud = decodedBed;
    loud.audioMix.tracks[0].gain.push_back({0, 1e250});
    try {
        AudioPlan refused(loud, {}, "1");
        ADD_FAILURE();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32602);
        EXPECT_EQ(f.message, "Audio track b has a gain out of range.");
    }
}

TEST(AudioPlanRenderer, OutRangesAreClampedToTheMixAndReversedOnesAreEmpty) {
    auto plans = renderer(fresh("renderer-ranges"));
    // An out end far beyond the plan stays inside the mix; a reversed range
    // and one past the end add nothing (the last would fail if it were scaled).
    const auto r = plans.mix(plan(track("long", "music", "soft_bed", 500000, 0, 1'000'000'000'000'000) + "," +
                                      track("rev", "music", "soft_bed", 500000, 400000, 100000) + "," +
                                      track("late", "music", "soft_bed", 500000, 2000000, 3000000,
                                            R"("speed":1e-300,"gain":[])"),
                                  1'000'000),
                             noSources(), RenderVariant::after, JobContext::silent(), true, false);
    ASSERT_EQ(r.buffer.frameCount(), 48000);
    const auto onlyLong = plans.mix(plan(track("long", "music", "soft_bed", 500000, 0, 1'000'000), 1'000'000),
                                    noSources(), RenderVariant::after, JobContext::silent(), true, false);
    EXPECT_EQ(r.buffer, onlyLong.buffer);
    // Frames past the source's end are silence.
    EXPECT_EQ(r.buffer.channels[0][30000], 0.0f);
    EXPECT_NE(r.buffer.channels[0][20000], 0.0f);

    // A start before the plan keeps the part inside it.
    const auto early = plans.mix(plan(track("e", "music", "soft_bed", 1'000'000, -500'000, 500'000), 1'000'000),
                                 noSources(), RenderVariant::after, JobContext::silent(), true, false);
    const auto bed = plans.mix(plan(track("e", "music", "soft_bed", 1'000'000, 0, 1'000'000), 1'000'000), noSources(),
                               RenderVariant::after, JobContext::silent(), true, false);
    EXPECT_EQ(early.buffer.channels[0][100], bed.buffer.channels[0][24000 + 100]);
    EXPECT_EQ(early.buffer.channels[0][30000], 0.0f);
}

TEST(AudioPlanRenderer, BeforeMixesVoicesOnlyWithoutGains) {
    auto plans = renderer(fresh("renderer-before"));
    const std::string voice = track("v", "voice", "ding", 500000, 0, 500000, R"("speed":1.0,"gain":[{"outUs":0,"gainDb":-12}])");
    const std::string plain = track("v", "voice", "ding", 500000, 0, 500000);
    const std::string bed = track("b", "music", "soft_bed", 500000, 0, 500000);
    const auto before = plans.mix(plan(voice + "," + bed, 500000, "-16"), noSources(), RenderVariant::before, JobContext::silent(), true);
    const auto reference = plans.mix(plan(plain, 500000), noSources(), RenderVariant::after, JobContext::silent(), true);
    EXPECT_EQ(before.buffer, reference.buffer);
}

TEST(AudioPlanRenderer, NumbersThatMakeInfinitiesAreRefusedNamingTheirPlace) {
    auto plans = renderer(fresh("renderer-numbers"));
    struct Case {
        JSONValue plan;
        std::string message;
    } cases[] = {
        {plan(track("g", "music", "soft_bed", 1000, 0, 1000, R"("speed":1.0,"gain":[{"outUs":0,"gainDb":1e250}])"), 1000),
         "Audio track g has a gain out of range."},
        {plan("", 1000, "-1e250"), "The audio mix has a loudness target out of range."},
        {JSONValue::parsing(R"({"durationUs":1000,"audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":1e250}})"),
         "The audio mix has a true-peak ceiling out of range."},
    };
    for (const auto& c : cases) {
        try {
            plans.mix(c.plan, noSources(), RenderVariant::after, JobContext::silent(), true);
            ADD_FAILURE() << c.message;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32602);
            EXPECT_EQ(f.message, c.message);
        }
    }
}

TEST(AudioPlanRenderer, StreamsAreSharedReplacedAndBounded) {
    const fs::path root = fresh("renderer-streams");
    auto plans = renderer(root);
    auto planOf = [](int seed) {
        return plan(track("b", "music", "soft_bed", 2'000'000, 0, 2'000'000,
                          R"("speed":1.0,"gain":[{"outUs":)" + std::to_string(seed) + R"(,"gainDb":-6}])"),
                    2'000'000);
    };
    auto segment = [&](const JSONValue& p, RenderVariant v, int64_t start, int64_t end, const std::string& name) {
        return plans.segment(decodedPlan(p), {}, name, v, start, end, root / (name + ".m4s"), JobContext::silent());
    };
    const auto s1 = segment(planOf(1), RenderVariant::after, 0, 1'000'000, "a");
    EXPECT_EQ(s1.frameCount, 49);
    EXPECT_EQ(s1.byteLength, static_cast<int64_t>(fs::file_size(root / "a.m4s")));
    segment(planOf(1), RenderVariant::after, 1'000'000, 2'000'000, "b");
    ASSERT_EQ(plans.streams().size(), 1u);
    // A finished stream of the same variant stays for a later return to it
    // (a window at the plan's end waits for the whole stream).
    segment(planOf(2), RenderVariant::after, 1'000'000, 2'000'000, "c");
    segment(planOf(3), RenderVariant::before, 1'000'000, 2'000'000, "d");
    ASSERT_EQ(plans.streams().size(), 3u);
    const auto oldest = plans.streams().front();
    segment(planOf(4), RenderVariant::after, 1'000'000, 2'000'000, "e");
    segment(planOf(5), RenderVariant::after, 1'000'000, 2'000'000, "f");
    const auto held = plans.streams();
    ASSERT_EQ(held.size(), 4u);
    EXPECT_NE(held.front(), oldest);
    EXPECT_TRUE(oldest->stopped());

    // A negative start is the start of the sound, never a negative skip.
    segment(planOf(5), RenderVariant::after, -500'000, 500'000, "g");
    std::ifstream in(root / "g.m4s", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t elst = bytes.find("elst");
    ASSERT_NE(elst, std::string::npos);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + elst + 16);
    EXPECT_EQ((p[0] << 24) | (p[1] << 16) | (p[2] << 8) | p[3], 1088);

    try {
        segment(planOf(5), RenderVariant::after, 3'000'000, 4'000'000, "late");
        ADD_FAILURE();
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.message, "This audio segment lies past the end of the plan.");
    }
    EXPECT_FALSE(fs::exists(root / "late.m4s"));
}

TEST(AudioPlanRenderer, ANewPlanStopsTheUnfinishedStreamOfItsVariantOnly) {
    const fs::path root = fresh("renderer-replace");
    auto plans = renderer(root);
    auto longPlan = [](int seed) {
        return plan(track("b", "music", "soft_bed", 60'000'000, 0, 60'000'000,
                          R"("speed":1.0,"gain":[{"outUs":)" + std::to_string(seed) + R"(,"gainDb":-6}])"),
                    60'000'000);
    };
    plans.segment(decodedPlan(longPlan(1)), {}, "a", RenderVariant::after, 0, 500'000, root / "a.m4s", JobContext::silent());
    const auto first = plans.streams().back();
    plans.segment(decodedPlan(longPlan(1)), {}, "b", RenderVariant::before, 0, 500'000, root / "b.m4s", JobContext::silent());
    const auto other = plans.streams().back();
    EXPECT_FALSE(first->stopped());
    plans.segment(decodedPlan(longPlan(2)), {}, "c", RenderVariant::after, 0, 500'000, root / "c.m4s", JobContext::silent());
    EXPECT_TRUE(first->stopped());
    EXPECT_FALSE(other->stopped());
    EXPECT_EQ(plans.streams().size(), 2u);
}

TEST(AudioPlanRenderer, AFailedMixFailsItsWaitersAndIsForgotten) {
    const fs::path root = fresh("renderer-failure");
    auto plans = renderer(root);
    const JSONValue missing = JSONValue::parsing(
        R"({"durationUs":1000000,"audioMix":{"targetLufs":null,"truePeakDb":-1,"tracks":[{"id":"v","role":"voice",)"
        R"("assetId":"gone","generated":null,"srcStartUs":0,"srcEndUs":1000000,"outStartUs":0,"outEndUs":1000000,)"
        R"("speed":1.0,"gain":[],"isolation":null}]}})");
    for (int i = 0; i < 2; ++i) {
        try {
            plans.segment(decodedPlan(missing), {}, "k", RenderVariant::after, 0, 500000, root / "s.m4s", JobContext::silent());
            ADD_FAILURE();
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.message, "The plan uses gone, and it is not among the sources.");
        }
        EXPECT_TRUE(plans.streams().empty());
    }
}

TEST(AACStreamEncoder, StreamsCarryTheirShapeAndStopWhenAsked) {
    PCMAudio audio(std::vector<std::vector<float>>(2, std::vector<float>(100000, 0.1f)));
    const auto s = AACStreamEncoder::encode(audio, 192000);
    EXPECT_EQ(s.encoderDelayFrames, 2112);
    EXPECT_EQ(s.frameCount, 100000);
    EXPECT_EQ(s.channelCount, 2);
    EXPECT_EQ(s.bitRate, 192000);
    EXPECT_TRUE(s.isComplete);
    EXPECT_GE(static_cast<int64_t>(s.packets.size()), (100000 + 2112) / 1024 + 1);
    GrowingAudioStream stopped;
    stopped.stop();
    EXPECT_THROW(AACStreamEncoder::encode(audio, 192000, stopped), Cancelled);
    EXPECT_LE(stopped.snapshot().packets.size(), 9u);
    EXPECT_FALSE(stopped.snapshot().isComplete);
}

TEST(IsolatedVoices, ADamagedCachedVoiceIsMadeAgain) {
    class Counting : public VoiceIsolating {
    public:
        IsolatedVoice isolate(const std::vector<float>& samples, double, const JobContext&) override {
            ++calls;
            return {samples, 0};
        }
        int calls = 0;
    };
    const fs::path root = fresh("isolated-voices");
    const fs::path source = root / "voice.wav";
    PCMAudio voice = PCMAudio::mono(std::vector<float>(4800, 0.25f));
    AudioFileWriter::writeWav(voice, source, std::nullopt);
    auto isolator = std::make_shared<Counting>();
    auto library = std::make_shared<SourceLibrary>();
    IsolatedVoices voices(isolator, root, library, "test");
    const EngineSource s{source.string(), library->contentHash(source)};
    EXPECT_EQ(voices.voice(s, JobContext::silent()), voice);
    EXPECT_EQ(voices.voice(s, JobContext::silent()), voice);
    EXPECT_EQ(isolator->calls, 1);
    std::ofstream(voices.file(s), std::ios::trunc) << "damaged";
    EXPECT_EQ(voices.voice(s, JobContext::silent()), voice);
    EXPECT_EQ(isolator->calls, 2);
    EXPECT_EQ(AudioDecoder::read(voices.file(s), 1, JobContext::silent()), voice);
    // Another engine version keeps its own file.
    IsolatedVoices other(isolator, root, library, "other");
    EXPECT_NE(other.file(s), voices.file(s));
    EXPECT_TRUE(fs::is_empty(root / "journal"));
    const EngineSource changed{source.string(), "0000"};
    EXPECT_THROW(other.voice(changed, JobContext::silent()), EngineFailure);
    EXPECT_FALSE(fs::exists(other.file(changed)));
}

TEST(EncodedPeak, ParallelChunksMatchOneWholeStreamEncode) {
    const fs::path root = fresh("encoded-peak");
    // Programme-like sound: a bed with loud effects placed across chunk boundaries.
    auto plans = renderer(root);
    std::string tracks = track("b", "music", "soft_bed", 25'000'000, 0, 25'000'000);
    for (int i = 0; i < 4; ++i) {
        const int64_t at = 10'240'000 * (i / 2 + 1) - 300'000 + 150'000 * (i % 2);
        tracks += "," + track("fx" + std::to_string(i), "sound_effect", i % 2 ? "pop" : "thud", 600'000, at, at + 600'000);
    }
    const PCMAudio mix = plans.mix(plan(tracks, 25'000'000, "-14"), noSources(), RenderVariant::after, JobContext::silent(), true).buffer;
    const fs::path whole = root / "whole.m4a";
    AudioFileWriter::writeAAC(mix, whole, 256000);
    const double reference = TruePeak::measureDb(AudioDecoder::read(whole, 2, JobContext::silent()));
    const double chunked = plans.encodedPeak(mix);
    EXPECT_NEAR(chunked, reference, 0.05);
    RecordProperty("difference", std::to_string(chunked - reference));
    EXPECT_EQ(plans.encodedPeak(PCMAudio()), -120);
}

TEST(AudioPlanRenderer, AnEncoderReportsToItsStarterOnlyWhileTheStarterRuns) {
    // An isolator that reports once, waits until the starting request has
    // answered, then reports again: those later reports must go nowhere.
    class Reporting : public VoiceIsolating {
    public:
        IsolatedVoice isolate(const std::vector<float>& samples, double, const JobContext& job) override {
            job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, 1, 2});
            std::unique_lock g(lock);
            reported = true;
            changed.notify_all();
            changed.wait(g, [this] { return released; });
            g.unlock();
            for (int i = 0; i < 5; ++i) job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds, 2, 2});
            return {samples, 0};
        }
        std::mutex lock;
        std::condition_variable changed;
        bool reported = false, released = false;
    };
    const fs::path root = fresh("renderer-relay");
    const fs::path source = root / "voice.wav";
    AudioFileWriter::writeWav(PCMAudio::mono(std::vector<float>(48000, 0.25f)), source, std::nullopt);
    auto isolator = std::make_shared<Reporting>();
    auto library = std::make_shared<SourceLibrary>();
    AudioPlanRenderer plans(isolator, root, library, "test");
    const JSONValue p = JSONValue::parsing(
        R"({"durationUs":1000000,"audioMix":{"targetLufs":null,"truePeakDb":-1,"tracks":[{"id":"v","role":"voice",)"
        R"("assetId":"a","generated":null,"srcStartUs":0,"srcEndUs":1000000,"outStartUs":0,"outEndUs":1000000,)"
        R"("speed":1.0,"gain":[],"isolation":{"wet":1}}]}})");
    const std::map<std::string, JSONValue> sources{
        {"a", JSONValue::parsing(R"({"path":")" + source.string() + R"(","contentHash":")" +
                                 library->contentHash(source) + R"("})")}};

    std::atomic<int> reports{0};
    std::atomic<bool> answered{false}, lateReport{false};
    std::stop_source stop;
    std::thread starter([&] {
        Task::Scope scope(stop.get_token());
        JobContext job([&](const EngineProgress&) {
            if (answered) lateReport = true;
            ++reports;
        });
        EXPECT_THROW(plans.segment(decodedPlan(p), decodedSources(sources), "k", RenderVariant::after, 0, 500000, root / "s.m4s", job), Cancelled);
        answered = true;
    });
    {
        std::unique_lock g(isolator->lock);
        isolator->changed.wait(g, [&] { return isolator->reported; });
    }
    stop.request_stop();
    starter.join();
    {
        std::lock_guard g(isolator->lock);
        isolator->released = true;
    }
    isolator->changed.notify_all();
    // The encoder finishes on its own for later requests of the same plan.
    const auto later = plans.segment(decodedPlan(p), decodedSources(sources), "k", RenderVariant::after, 0, 500000, root / "s.m4s", JobContext::silent());
    EXPECT_EQ(later.frameCount, 26);
    EXPECT_EQ(reports.load(), 1);
    EXPECT_FALSE(lateReport.load());
}

TEST(AudioPlanRenderer, TheStreamedMixGivesTheSamplesOfTheMixInMemory) {
    const fs::path root = fresh("renderer-streamed");
    const fs::path source = root / "voice.flac";
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=300:sample_rate=48000:duration=12' "
                           "-af 'volume=0.4,tremolo=f=3:d=0.8' -ac 1 -c:a flac '" + source.string() + "'").c_str()),
              0);
    auto library = std::make_shared<SourceLibrary>();
    AudioPlanRenderer plans(nullptr, root, library, "test");
    const std::map<std::string, JSONValue> sources{
        {"a", JSONValue::parsing(R"({"path":")" + source.string() + R"(","contentHash":")" +
                                 library->contentHash(source) + R"("})")}};
    const std::string voice = R"({"id":"v","role":"voice","assetId":"a","generated":null,"srcStartUs":500000,)"
                              R"("srcEndUs":11500000,"outStartUs":250000,"outEndUs":11250000,"speed":1.0,)"
                              R"("gain":[{"outUs":0,"gainDb":0},{"outUs":8000000,"gainDb":4}],"isolation":null})";
    // Beds that loop their chords: one cut from past its twelve chords, one
    // starting before the mix.
    const std::string looping =
        R"({"id":"l","role":"music","assetId":null,"generated":{"recipe":"upbeat_bed","seed":3},"srcStartUs":40000000,)"
        R"("srcEndUs":52000000,"outStartUs":0,"outEndUs":12000000,"speed":1.0,"gain":[{"outUs":0,"gainDb":-4}],)"
        R"("isolation":null})";
    // A second cut of the source runs past its end and starts before the mix.
    const std::string past = R"({"id":"w","role":"voice","assetId":"a","generated":null,"srcStartUs":6000000,)"
                             R"("srcEndUs":14000000,"outStartUs":-1000000,"outEndUs":7000000,"speed":1.0,)"
                             R"("gain":[],"isolation":null})";
    const std::string tracks = voice + "," + past + "," + looping + "," +
                               track("b", "music", "upbeat_bed", 13'000'000, -1'000'000, 12'000'000) + "," +
                               track("d", "sound_effect", "ding", 1'000'000, 3'000'000, 4'000'000) + "," +
                               track("t", "sound_effect", "thud", 500'000, 9'000'000, 9'500'000);
    // A loud target, so the normaliser and the limiter both work; no target
    // keeps the level; the voice alone is a plain sum.
    struct Case {
        std::string name, tracks, target;
    };
    for (const Case& c : {Case{"normalized", tracks, "-6"}, Case{"kept level", tracks, "null"}, Case{"voice", voice, "null"}}) {
        SCOPED_TRACE(c.name);
        const AudioPlan p(plan(c.tracks, 12'000'000, c.target), sources, "test");
        for (RenderVariant v : {RenderVariant::after, RenderVariant::before}) {
            const AudioMixer::Result whole = plans.mix(p, v, JobContext::silent(), true);
            const AudioMixer::StoredBuilder::Finished streamed = plans.streamedMix(p, v, JobContext::silent(), true);
            EXPECT_EQ(streamed.integratedLufs, whole.integratedLufs);
            EXPECT_EQ(streamed.truePeakDb, whole.truePeakDb);
            EXPECT_EQ(streamed.reached, whole.reached);
            EXPECT_EQ(streamed.effectsLoweredDb, whole.effectsLoweredDb);
            EXPECT_TRUE(streamed.buffer->whole() == whole.buffer);
        }
        // The file holds the samples that were measured.
        const auto answer = plans.finalMix(plan(c.tracks, 12'000'000, c.target), sources, root / "mix.wav",
                                           JobContext::silent());
        const PCMAudio written = AudioDecoder::read(root / "mix.wav", 2, JobContext::silent());
        EXPECT_EQ(written.frameCount(), 12 * 48'000);
        // The answer carries the wire's two decimals of the measured loudness.
        EXPECT_EQ(answer.integratedLufs, WireNumber::db(Loudness::integrated(written)));
    }
}

TEST(AudioPlanRenderer, SourcesReadFromScratchFilesGiveTheSamplesOfSourcesInMemory) {
    // Halves the voice, so the blend differs from either of its sides.
    class Halving : public VoiceIsolating {
    public:
        IsolatedVoice isolate(const std::vector<float>& samples, double, const JobContext&) override {
            std::vector<float> out(samples);
            for (float& s : out) s *= 0.5f;
            return {std::move(out), 0};
        }
    };
    const fs::path root = fresh("renderer-scratch-sources");
    const fs::path scratch = root / "scratch";
    fs::create_directories(scratch);
    const fs::path voiceFile = root / "voice.flac", musicFile = root / "music.flac";
    // Lengths off the read block, so the last block of each scratch file is partial.
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=300:sample_rate=48000:duration=9.7' "
                           "-af 'volume=0.4,tremolo=f=3:d=0.8' -ac 1 -c:a flac '" + voiceFile.string() + "'").c_str()),
              0);
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i 'sine=frequency=220:sample_rate=48000:duration=6.3' "
                           "-f lavfi -i 'sine=frequency=330:sample_rate=48000:duration=6.3' -filter_complex "
                           "'[0][1]amerge=inputs=2,volume=0.3' -c:a flac '" + musicFile.string() + "'").c_str()),
              0);
    auto library = std::make_shared<SourceLibrary>();
    AudioPlanRenderer plans(std::make_shared<Halving>(), root, library, "test");
    auto entry = [&](const fs::path& f) {
        return JSONValue::parsing(R"({"path":")" + f.string() + R"(","contentHash":")" + library->contentHash(f) + R"("})");
    };
    const std::map<std::string, JSONValue> sources{{"a", entry(voiceFile)}, {"m", entry(musicFile)}};
    auto from = [](const std::string& id, const std::string& role, const std::string& asset, int64_t s0, int64_t s1,
                   int64_t o0, int64_t o1, const std::string& speed, const std::string& isolation) {
        return R"({"id":")" + id + R"(","role":")" + role + R"(","assetId":")" + asset + R"(","generated":null,)" +
               R"("srcStartUs":)" + std::to_string(s0) + R"(,"srcEndUs":)" + std::to_string(s1) +
               R"(,"outStartUs":)" + std::to_string(o0) + R"(,"outEndUs":)" + std::to_string(o1) +
               R"(,"speed":)" + speed + R"(,"gain":[{"outUs":0,"gainDb":-2}],"isolation":)" + isolation + "}";
    };
    // Normal and other speeds, a cut past the source's end and one before the
    // mix, the voice's source heard in stereo too, and isolation at both speeds.
    const std::string tracks =
        from("v", "voice", "a", 300'000, 5'300'000, 0, 5'000'000, "1.0", "null") + "," +
        from("p", "voice", "a", 7'000'000, 12'000'000, -500'000, 4'500'000, "1.0", "null") + "," +
        from("f", "voice", "a", 1'000'000, 3'500'000, 5'000'000, 7'000'000, "1.25", "null") + "," +
        from("s", "music", "a", 0, 9'000'000, 1'000'000, 10'000'000, "1.0", "null") + "," +
        from("m", "music", "m", 100'000, 6'100'000, 2'000'000, 8'000'000, "1.0", "null") + "," +
        from("i", "voice", "a", 2'000'000, 8'000'000, 3'000'000, 9'000'000, "1.0", R"({"wet":0.6})") + "," +
        from("j", "voice", "a", 4'000'000, 6'000'000, 8'000'000, 10'500'000, "0.8", R"({"wet":0.3})");
    const AudioPlan p(plan(tracks, 11'000'000, "-14"), sources, "test");
    ::setenv("KORVEL_ENGINE_TEMP_DIR", scratch.c_str(), 1);
    for (RenderVariant v : {RenderVariant::after, RenderVariant::before}) {
        SCOPED_TRACE(v == RenderVariant::after ? "after" : "before");
        plans.holdSamplesUpTo(AudioPlanRenderer::defaultHeldSamples);
        const AudioMixer::Result held = plans.mix(p, v, JobContext::silent(), true);
        const PCMAudio heldStreamed = plans.streamedMix(p, v, JobContext::silent(), true).buffer->whole();
        ASSERT_TRUE(heldStreamed == held.buffer);
        // Nothing held; the mono voice held and the rest in scratch files.
        for (int64_t room : {int64_t(0), int64_t(480'000)}) {
            SCOPED_TRACE(room);
            plans.holdSamplesUpTo(room);
            EXPECT_TRUE(plans.mix(p, v, JobContext::silent(), true).buffer == held.buffer);
            const AudioMixer::StoredBuilder::Finished streamed = plans.streamedMix(p, v, JobContext::silent(), true);
            EXPECT_EQ(streamed.integratedLufs, held.integratedLufs);
            EXPECT_TRUE(streamed.buffer->whole() == held.buffer);
        }
    }
    ::unsetenv("KORVEL_ENGINE_TEMP_DIR");
    // Scratch files are unlinked as they are made.
    EXPECT_TRUE(fs::is_empty(scratch));
}
