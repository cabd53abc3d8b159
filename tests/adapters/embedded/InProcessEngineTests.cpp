// The in-process engine: the carrier's lines, answers, progress and
// cancellation, the once shelf, the assembled tables, live timing and the
// player that keeps its item when only the drawing changes.

#include "Adapters/Live/LiveStructure.hpp"
#include "Adapters/Live/LivePlayer.hpp"
#include "Adapters/Live/LiveVideo.hpp"
#include "Adapters/Live/OnceShelf.hpp"
#include "Adapters/Models/ModelStore.hpp"
#include "Embedded/EngineABI.h"
#include "Embedded/EngineAssembly.hpp"
#include "Embedded/InProcessEngine.hpp"
#include "Embedded/LineCarrier.hpp"
#include "tests/blackbox/EngineProcess.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <thread>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

// Runs until its request is cancelled.
JSONValue untilCancelled(const JSONValue&, const JobContext&) {
    while (!Task::isCancelled()) std::this_thread::yield();
    throw Cancelled();
}

Engine testEngine() {
    Engine engine;
    engine.methods["test.echo"] = [](const JSONValue& params, const JobContext&) { return params; };
    engine.methods["test.progress"] = [](const JSONValue&, const JobContext& context) {
        context.report({EngineProgress::Phase::render, EngineProgress::Unit::frames, 1, 3});
        context.report({EngineProgress::Phase::edit, EngineProgress::Unit::items, 2, std::nullopt});
        return JSONValue(true);
    };
    engine.methods["test.wait"] = untilCancelled;
    engine.methods["test.fail"] = [](const JSONValue&, const JobContext&) -> JSONValue {
        throw EngineFailure::invalidParams("Nope.");
    };
    return engine;
}

JSONValue object(std::initializer_list<std::pair<const char*, JSONValue>> members) {
    JSONValue::Object o;
    for (const auto& [k, v] : members) o[k] = v;
    return JSONValue(std::move(o));
}

template <class F> InProcessEngine::Failure failureOf(F&& f) {
    try {
        f();
    } catch (const InProcessEngine::Failure& failure) {
        return failure;
    }
    ADD_FAILURE() << "no failure";
    return {0, ""};
}

} // namespace

TEST(LineCarrier, RequestLinesHaveSortedKeysAndIdsCountFromOne) {
    EXPECT_EQ(LineCarrier::requestLine(1, "render.frame", object({{"a/b", 1}})),
              R"({"id":1,"jsonrpc":"2.0","method":"render.frame","params":{"a/b":1}})");
    InProcessEngine engine(testEngine());
    std::mutex lock;
    std::vector<std::string> lines;
    engine.onLine([&](std::string_view line) {
        std::lock_guard g(lock);
        lines.emplace_back(line);
    });
    EXPECT_EQ(engine.call("test.echo", object({{"x", 7}})), object({{"x", 7}}));
    EXPECT_EQ(engine.call("test.echo", JSONValue("two")), JSONValue("two"));
    std::lock_guard g(lock);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "{\"id\":1,\"jsonrpc\":\"2.0\",\"result\":{\"x\":7}}\n");
    EXPECT_EQ(JSONValue::parsing(lines[1]).member("id")->intValue(), 2);
}

TEST(LineCarrier, ErrorAnswersBecomeFailures) {
    InProcessEngine engine(testEngine());
    EXPECT_EQ(failureOf([&] { engine.call("test.fail"); }), InProcessEngine::Failure(-32602, "Nope."));
    EXPECT_EQ(failureOf([&] { engine.call("no.such"); }).code, -32601);
    EXPECT_THROW(engine.call("test.echo", JSONValue(std::nan(""))), JSONEncodingError);

    // Answers as the session could write them, routed to a waiting call.
    struct Case {
        std::string answer;
        std::optional<JSONValue> result;
        InProcessEngine::Failure failure;
    } cases[] = {
        {R"({"id":ID,"result":5,"error":{"code":1,"message":"m"}})", JSONValue(5), {0, ""}},
        {R"({"id":ID,"result":null})", JSONValue(), {0, ""}},
        {R"({"id":ID,"error":{"message":"m"}})", std::nullopt, {-32603, "m"}},
        {R"({"id":ID,"error":{"code":-32001,"message":7}})", std::nullopt, {-32001, "No message."}},
        {R"({"id":ID})", std::nullopt, {-32603, "No message."}},
    };
    int64_t next = 4; // ids so far: 1 failed, 2 unknown, 3 unencodable; then one per case
    for (const auto& c : cases) {
        std::stop_source stop;
        auto answer = engine.callAsync("test.wait", JSONValue::Object{}, {}, stop.get_token());
        std::string line = c.answer;
        line.replace(line.find("ID"), 2, std::to_string(next++));
        engine.session().arrived(line);
        if (c.result) {
            EXPECT_EQ(answer.get(), *c.result) << c.answer;
        } else {
            EXPECT_EQ(failureOf([&] { answer.get(); }), c.failure) << c.answer;
        }
        stop.request_stop(); // ends the job; its real answer finds nobody waiting
    }
    engine.stop();
}

TEST(LineCarrier, ProgressReachesTheCallAndBadNotificationsAreDropped) {
    InProcessEngine engine(testEngine());
    std::vector<EngineProgress> seen;
    EXPECT_EQ(engine.call("test.progress", JSONValue::Object{}, [&](const EngineProgress& p) { seen.push_back(p); }),
              JSONValue(true));
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0], (EngineProgress{EngineProgress::Phase::render, EngineProgress::Unit::frames, 1, 3}));
    EXPECT_EQ(seen[1], (EngineProgress{EngineProgress::Phase::edit, EngineProgress::Unit::items, 2, std::nullopt}));

    seen.clear();
    std::stop_source stop;
    auto answer = engine.callAsync("test.wait", JSONValue::Object{}, [&](const EngineProgress& p) { seen.push_back(p); },
                                   stop.get_token());
    for (const char* note : {
             R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":2,"phase":"dance","unit":"frames","done":1}})",
             R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":2,"phase":"render","unit":"miles","done":1}})",
             R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":2,"phase":"render","unit":"frames","done":1.5}})",
             R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":9,"phase":"render","unit":"frames","done":1}})",
             R"({"jsonrpc":"2.0","method":"$/progress","params":{"id":2,"phase":"export","unit":"bytes","done":4,"total":null}})",
             "not json",
         })
        engine.session().arrived(note);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (EngineProgress{EngineProgress::Phase::export_, EngineProgress::Unit::bytes, 4, std::nullopt}));
    stop.request_stop();
    EXPECT_EQ(failureOf([&] { answer.get(); }), InProcessEngine::Failure(-32800, "Cancelled."));
}

TEST(LineCarrier, AStopTokenSendsCancelAndTheCallEndsCancelled) {
    InProcessEngine engine(testEngine());
    std::mutex lock;
    std::vector<std::string> lines;
    engine.onLine([&](std::string_view line) {
        std::lock_guard g(lock);
        lines.emplace_back(line);
    });
    std::stop_source running;
    auto answer = engine.callAsync("test.wait", JSONValue::Object{}, {}, running.get_token());
    running.request_stop();
    EXPECT_EQ(failureOf([&] { answer.get(); }), InProcessEngine::Failure(-32800, "Cancelled."));

    // Cancelled before its line was sent: the job still starts, then is cancelled.
    std::stop_source early;
    early.request_stop();
    EXPECT_EQ(failureOf([&] { engine.call("test.wait", JSONValue::Object{}, {}, early.get_token()); }),
              InProcessEngine::Failure(-32800, "Cancelled."));
    EXPECT_EQ(engine.call("test.echo", JSONValue(3)), JSONValue(3)); // the session still serves
}

TEST(LineCarrier, ALineSentFromTheListenerIsAnsweredAfterIt) {
    InProcessEngine engine(testEngine());
    std::mutex lock;
    std::vector<std::string> lines;
    std::atomic<bool> sent{false};
    engine.onLine([&](std::string_view line) {
        {
            std::lock_guard g(lock);
            lines.emplace_back(line);
        }
        // Answered at once by the session, on this very thread.
        if (!sent.exchange(true)) engine.send(R"({"jsonrpc":"2.0","id":99,"method":"no.such","params":{}})");
    });
    EXPECT_EQ(engine.call("test.echo", JSONValue(1)), JSONValue(1));
    engine.send(R"({"jsonrpc":"2.0","id":98,"method":"no.such","params":{}})");
    std::lock_guard g(lock);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(JSONValue::parsing(lines[0]).member("id")->intValue(), 1);
    EXPECT_EQ(JSONValue::parsing(lines[1]).member("id")->intValue(), 99);
    EXPECT_EQ(JSONValue::parsing(lines[1]).member("error")->member("code")->intValue(), -32601);
    EXPECT_EQ(JSONValue::parsing(lines[2]).member("id")->intValue(), 98);
}

// A host callback that throws is the host's fault: it is said on stderr,
// and the answer still reaches its call.
TEST(LineCarrier, AThrowingCallbackLosesNoAnswer) {
    struct Case {
        std::string method;
        std::function<void()> listener, progress;
        std::string said;
    };
    auto hostBug = [] { throw std::runtime_error("host bug"); };
    const Case cases[] = {
        {"test.echo", hostBug, {}, "korvel-engine: a line listener threw: host bug\n"},
        {"test.echo", [] { throw 7; }, {}, "korvel-engine: a line listener threw: unknown error\n"},
        {"test.progress", {}, hostBug,
         "korvel-engine: a progress callback threw: host bug\nkorvel-engine: a progress callback threw: host bug\n"},
    };
    for (const auto& c : cases) {
        InProcessEngine engine(testEngine());
        if (c.listener) engine.onLine([&](std::string_view) { c.listener(); });
        InProcessEngine::Progress progress;
        if (c.progress) progress = [&](const EngineProgress&) { c.progress(); };
        ::testing::internal::CaptureStderr();
        auto answer = engine.callAsync(c.method, JSONValue(1), progress);
        const bool ready = answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        const std::string said = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(ready) << c.said;
        EXPECT_EQ(answer.get(), c.method == "test.echo" ? JSONValue(1) : JSONValue(true));
        EXPECT_EQ(said, c.said);
    }
}

// A callback runs on the thread of the job whose line it sees: stop() there
// cancels every job and waits for all but that one.
TEST(LineCarrier, StopFromACallbackCancelsTheOthersAndReturns) {
    InProcessEngine engine(testEngine());
    auto waiting = engine.callAsync("test.wait"); // id 1
    std::atomic<int> stopped{-1};
    engine.onLine([&](std::string_view line) {
        const JSONValue answer = JSONValue::parsing(line);
        const auto* id = answer.member("id");
        if (id && id->intValue() == 2 && stopped == -1) stopped = engine.stop();
    });
    EXPECT_EQ(engine.call("test.echo", JSONValue(2)), JSONValue(2));
    EXPECT_EQ(stopped, 1);
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(failureOf([&] { waiting.get(); }), InProcessEngine::Failure(-32800, "Cancelled."));

    // From a progress callback; the job goes on to its result.
    int fromProgress = -1;
    EXPECT_EQ(engine.call("test.progress", JSONValue::Object{},
                          [&](const EngineProgress&) {
                              if (fromProgress == -1) fromProgress = engine.stop();
                          }),
              JSONValue(true));
    EXPECT_EQ(fromProgress, 1);
    EXPECT_EQ(engine.call("test.echo", JSONValue(3)), JSONValue(3)); // still serves
}

// The process skips an empty line; in process it is skipped the same way.
TEST(LineCarrier, AnEmptyLineIsSkipped) {
    InProcessEngine engine(testEngine());
    std::mutex lock;
    std::vector<std::string> lines;
    engine.onLine([&](std::string_view line) {
        std::lock_guard g(lock);
        lines.emplace_back(line);
    });
    engine.send("");
    EXPECT_EQ(engine.call("test.echo", JSONValue(1)), JSONValue(1));
    std::lock_guard g(lock);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(JSONValue::parsing(lines[0]).member("id")->intValue(), 1);
}

namespace {

// A C host's listener: what it saw and whether its context outlived the swap.
struct HostListener {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::string> lines;
    korvel_engine* engine = nullptr;
    HostListener* next = nullptr; // swapped in from another thread, or from inside
    bool swapInside = false;
    std::thread swapper;
    bool freed = false;
    bool usedAfterFree = false;

    static void heard(void* context, const char* line, size_t length) {
        auto* self = static_cast<HostListener*>(context);
        std::unique_lock g(self->lock);
        self->lines.emplace_back(line, length);
        if (!self->next) return;
        HostListener* next = std::exchange(self->next, nullptr);
        if (self->swapInside) {
            g.unlock();
            korvel_engine_on_line(self->engine, heard, next);
            return;
        }
        // A host frees the old context as soon as the swap returns.
        self->swapper = std::thread([self, next] {
            korvel_engine_on_line(self->engine, heard, next);
            std::lock_guard g(self->lock);
            self->freed = true;
            self->changed.notify_all();
        });
        // Still running: the swap must not have returned meanwhile.
        self->changed.wait_for(g, std::chrono::milliseconds(250), [self] { return self->freed; });
        self->usedAfterFree = self->freed;
    }
};

} // namespace

TEST(EngineABI, ASwapReturnsOnlyOnceTheOldListenerIsDone) {
    fs::path root = korvel::testing::freshFolder("abi-swap");
    korvel_engine* engine = korvel_engine_open((root / "cache").c_str(), (root / "models").c_str());
    const std::string line = R"({"id":1,"jsonrpc":"2.0","method":"no.such","params":{}})";
    for (bool inside : {false, true}) {
        HostListener first, second;
        first.engine = engine;
        first.next = &second;
        first.swapInside = inside;
        korvel_engine_on_line(engine, HostListener::heard, &first);
        ASSERT_EQ(korvel_engine_send(engine, line.data(), line.size()), 0);
        if (first.swapper.joinable()) first.swapper.join();
        EXPECT_FALSE(first.usedAfterFree) << inside;
        ASSERT_EQ(korvel_engine_send(engine, line.data(), line.size()), 0);
        EXPECT_EQ(first.lines.size(), 1u) << inside;
        EXPECT_EQ(second.lines.size(), 1u) << inside;
    }
    korvel_engine_close(engine);
}

// NULL or empty folders are the process's own defaults, never the host's
// current folder.
TEST(EngineABI, MissingFoldersAreTheProcessDefaults) {
    struct Case {
        const char* folder;
        bool xdg;
    };
    const Case cases[] = {{nullptr, true}, {"", true}, {nullptr, false}};
    const fs::path before = fs::current_path();
    std::map<std::string, std::optional<std::string>> saved;
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
        const char* value = std::getenv(name);
        saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
    }
    int n = 0;
    for (const auto& c : cases) {
        const fs::path root = korvel::testing::freshFolder("abi-defaults-" + std::to_string(++n));
        const fs::path cwd = root / "cwd";
        fs::create_directories(cwd);
        ::setenv("HOME", (root / "home").c_str(), 1);
        if (c.xdg) {
            ::setenv("XDG_CACHE_HOME", (root / "xdg-cache").c_str(), 1);
            ::setenv("XDG_DATA_HOME", (root / "xdg-data").c_str(), 1);
        } else {
            ::unsetenv("XDG_CACHE_HOME");
            ::unsetenv("XDG_DATA_HOME");
        }
        const fs::path cache = c.xdg ? root / "xdg-cache/korvel-engine" : root / "home/.cache/korvel-engine";
        const fs::path models =
            c.xdg ? root / "xdg-data/korvel-engine/models" : root / "home/.local/share/korvel-engine/models";
        // An installed model in the default models folder shows that folder is read.
        const ModelEntry& ctc = ModelCatalog::ctcLv60();
        fs::create_directories(models / ctc.id);
        std::ofstream(models / ctc.id / std::string(ModelStore::markerName)) << ctc.sha256;
        std::ofstream(models / ctc.id / ctc.fileName) << "package";
        ASSERT_EQ(::chdir(cwd.c_str()), 0);

        korvel_engine* engine = korvel_engine_open(c.folder, c.folder);
        struct Heard {
            std::mutex lock;
            std::condition_variable arrived;
            std::optional<std::string> line;
        } heard;
        korvel_engine_on_line(
            engine,
            [](void* context, const char* line, size_t length) {
                auto* h = static_cast<Heard*>(context);
                std::lock_guard g(h->lock);
                h->line.emplace(line, length);
                h->arrived.notify_all();
            },
            &heard);
        const std::string status = R"({"id":1,"jsonrpc":"2.0","method":"models.status","params":{}})";
        ASSERT_EQ(korvel_engine_send(engine, status.data(), status.size()), 0);
        {
            std::unique_lock g(heard.lock);
            ASSERT_TRUE(heard.arrived.wait_for(g, std::chrono::seconds(20), [&] { return heard.line.has_value(); }));
        }
        korvel_engine_close(engine);
        ASSERT_EQ(::chdir(before.c_str()), 0);

        EXPECT_TRUE(fs::is_empty(cwd)) << n;
        EXPECT_TRUE(fs::exists(cache / "analysis")) << n;
        bool installed = false;
        const JSONValue answer = JSONValue::parsing(*heard.line);
        ASSERT_TRUE(answer.member("result")) << *heard.line;
        for (const auto& model : *answer.member("result")->member("models")->arrayPtr())
            if (model.member("id")->stringValue() == ctc.id) installed = *model.member("installed") == JSONValue(true);
        EXPECT_TRUE(installed) << n << " " << *heard.line;
    }
    for (const auto& [name, value] : saved) {
        if (value) ::setenv(name.c_str(), value->c_str(), 1);
        else ::unsetenv(name.c_str());
    }
}

TEST(LineCarrier, DroppingTheEngineEndsEveryWaitingCall) {
    std::future<JSONValue> waiting;
    {
        InProcessEngine engine(testEngine());
        waiting = engine.callAsync("test.wait");
    }
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(failureOf([&] { waiting.get(); }).code, -32800);
}

TEST(OnceShelf, KeepsTheNewestAndHandsEachOutOnce) {
    OnceShelf<int> shelf("live", 2);
    EXPECT_EQ(shelf.put(1), "live_1");
    EXPECT_EQ(shelf.put(2), "live_2");
    EXPECT_EQ(shelf.put(3), "live_3");
    EXPECT_EQ(shelf.take("live_1"), std::nullopt);
    EXPECT_EQ(shelf.take("live_2"), 2);
    EXPECT_EQ(shelf.take("live_2"), std::nullopt);
    EXPECT_EQ(shelf.take("live_3"), 3);
    EXPECT_EQ(shelf.take("LIVE_3"), std::nullopt);
    OnceShelf<int> none("x", 0);
    EXPECT_EQ(none.put(5), "x_1");
    EXPECT_EQ(none.take("x_1"), std::nullopt);
}

TEST(EngineAssembly, TheStdioEngineLacksRenderLiveAndTheInProcessOneHasIt) {
    auto folders = EngineFolders::make(KORVEL_TEST_TMP "/assembly/cache", KORVEL_TEST_TMP "/assembly/models");
    Engine stdio = EngineAssembly::engine(folders, EngineSpeech::standard());
    auto names = stdio.capabilities();
    EXPECT_EQ(names, (std::vector<std::string>{"analysis.known", "analysis.run", "asset.probe", "asset.thumbnail",
                                               "audio.mix", "matte.build", "models.install", "models.status",
                                               "render.export", "render.frame", "render.measureText",
                                               "render.segment", "render.segments", "render.textLayout"}));
    EXPECT_FALSE(stdio.methods.contains(std::string_view("render.live")));
    EXPECT_FALSE(stdio.methods.contains(std::string_view("engine.hello")));

    auto inProcess = EngineAssembly::inProcess(folders.cache, folders.models, EngineSpeech::standard());
    ASSERT_TRUE(inProcess->videos());
    EXPECT_EQ(inProcess->videos()->prefix(), "live");
    EXPECT_EQ(inProcess->videos()->limit(), 2);
    auto hello = inProcess->call("engine.hello", object({{"contractVersion", JSONValue(RPC::contractVersion)}}));
    const auto* caps = hello.member("capabilities");
    ASSERT_TRUE(caps && caps->isArray());
    std::vector<std::string> listed;
    for (const auto& c : *caps->arrayPtr()) listed.push_back(*c.stringValue());
    auto expected = names;
    expected.push_back("render.live");
    EXPECT_EQ(listed.size(), 15u);
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(inProcess->liveVideo("live_1"), std::nullopt);
    InProcessEngine bare(testEngine());
    EXPECT_EQ(bare.liveVideo("live_1"), std::nullopt);
    EXPECT_EQ(EngineAssembly::engine(folders.cache, folders.models, EngineSpeech::standard()).capabilities(), names);
}

TEST(EngineAssemblyDeathTest, ANameDefinedTwiceStopsAssembly) {
    std::map<std::string, Job, std::less<>> into{{"render.frame", Job()}};
    std::map<std::string, Job, std::less<>> from{{"render.frame", Job()}};
    EXPECT_DEATH(EngineAssembly::merge(into, std::move(from)), "render.frame is defined twice");
}

TEST(EngineSpeech, ThePhonePreset) {
    auto phone = EngineSpeech::phone();
    EXPECT_EQ(phone.catalog, (std::vector<ModelEntry>{ModelCatalog::whisperSmallEn(), ModelCatalog::sileroVad(),
                                                       ModelCatalog::ctcLv60()}));
    EXPECT_EQ(phone.whisper, ModelCatalog::whisperSmallEn());
    EXPECT_EQ(phone.downloads, std::nullopt);
    EXPECT_TRUE(phone.whisperIsEnglishOnly);
    std::map<std::string, std::string> map{{"silero-vad", "https://example.org/v"}};
    EXPECT_EQ(EngineSpeech::phone(map).downloads, map);
    auto standard = EngineSpeech::standard();
    EXPECT_EQ(standard.whisper, ModelCatalog::whisperLargeV3());
    EXPECT_FALSE(standard.whisperIsEnglishOnly);
}

TEST(LiveTiming, DurationsOnTheGrid) {
    struct Case {
        FrameRate fps;
        int64_t frames;
        int64_t us;
    } cases[] = {{{25, 1}, 3, 120000}, {{30000, 1001}, 1, 33367}, {{30, 1}, 1, 33333}, {{24000, 1001}, 24, 1001000}};
    for (const auto& c : cases) EXPECT_EQ(LivePreviewService::durationUs(FrameGrid(c.fps), c.frames), c.us) << c.frames;
}

TEST(LiveTiming, FrameStarts) {
    const TickTime ntsc{1001, 30000};
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double seconds;
        int64_t frame;
    } cases[] = {{1.001, 30}, {-2, 0}, {0, 0}, {0.0333, 0}, {0.0334, 1}, {100, 89}, {std::nan(""), 0},
                 {inf, 89}, {-inf, 0}, {1e300, 89}};
    for (const auto& c : cases) EXPECT_EQ(LiveTiming::frameIndex(c.seconds, ntsc, 90), c.frame) << c.seconds;
    EXPECT_EQ(LiveTiming::frameIndex(5, ntsc, 0), 0);
    EXPECT_EQ(LiveTiming::frameIndex(5, TickTime{0, 30000}, 90), std::nullopt);

    LiveVideo video;
    video.frameCount = 90;
    video.videoComposition = std::make_shared<LiveDrawing>(LiveDrawing{nullptr, ntsc, {}});
    EXPECT_EQ(video.frameStart(1.001), (TickTime{30030, 30000}));
    EXPECT_EQ(video.frameStart(1e9), (TickTime{1001 * 89, 30000}));
}

namespace {

std::shared_ptr<BuiltComposition> composition(std::vector<CompositionTrack> tracks) {
    auto built = std::make_shared<BuiltComposition>();
    built->composition.tracks = std::move(tracks);
    return built;
}

CompositionTrack track(int32_t id, int64_t outStart, int64_t sourceStart) {
    CompositionEdit gap;
    gap.outDuration = outStart;
    CompositionEdit clip{CompositionSource{CompositionSource::Kind::asset, "a"}, outStart, 3000, sourceStart, 3000, 30000};
    return CompositionTrack{id, outStart > 0 ? std::vector{gap, clip} : std::vector{clip}};
}

} // namespace

TEST(LiveStructure, CoversSizeGridAndTrackLayoutOnly) {
    FrameGrid grid(FrameRate{30, 1});
    RenderSize size{1920, 1080};
    LiveAsset empty;
    EXPECT_EQ(LiveStructure::lines(empty, size, grid), (std::vector<std::string>{"1920x1080", "1000/30000"}));
    EXPECT_EQ(LiveStructure::of(empty, size, grid), LiveStructure::of(LiveAsset{}, size, grid));
    EXPECT_EQ(LiveStructure::lines(empty, size, FrameGrid(FrameRate{30000, 1001}))[1], "1001/30000");

    LiveAsset base{composition({track(1, 0, 0)}), std::nullopt, {}};
    const std::string fingerprint = LiveStructure::of(base, size, grid);
    EXPECT_EQ(fingerprint.size(), 64u);
    auto lines = LiveStructure::lines(LiveAsset{composition({track(1, 1000, 0)}), std::nullopt, {}}, size, grid);
    EXPECT_EQ(lines[2], "track 1 vide");
    EXPECT_EQ(lines[3], "nothing at 0/30000 for 1000/30000");
    EXPECT_EQ(lines[4], " track 0 from 0/30000 for 3000/30000 at 1000/30000 for 3000/30000");

    // The drawing is not part of it: a copy of the tracks gives the same value.
    EXPECT_EQ(LiveStructure::of(LiveAsset{composition({track(1, 0, 0)}), std::nullopt, {}}, size, grid), fingerprint);
    LiveSoundTrack sound;
    sound.asset = "/m/mix.wav";
    sound.duration = TickTime{3000, 30000};
    LiveSoundTrack otherSound = sound;
    otherSound.asset = "/m/source.mp4";
    const LiveAsset changed[] = {
        {composition({track(1, 0, 300)}), std::nullopt, {}},
        {composition({track(1, 1000, 0)}), std::nullopt, {}},
        {composition({track(1, 0, 0), track(2, 0, 0)}), std::nullopt, {}},
        {composition({track(2, 0, 0)}), std::nullopt, {}},
        {composition({track(1, 0, 0)}), sound, {}},
        {composition({track(1, 0, 0)}), otherSound, {}},
    };
    std::set<std::string> seen{fingerprint};
    for (const auto& asset : changed) EXPECT_TRUE(seen.insert(LiveStructure::of(asset, size, grid)).second);
    EXPECT_NE(LiveStructure::of(base, RenderSize{1280, 720}, grid), fingerprint);
    EXPECT_NE(LiveStructure::of(base, size, FrameGrid(FrameRate{25, 1})), fingerprint);
}

namespace {

// A player with a clock the test moves; seeks complete when the test says so.
struct HeadlessPlayer : PlayerPort {
    std::shared_ptr<PlayerItem> item;
    double playRate = 0;
    double time = 0;
    int replaced = 0, drawingsSet = 0;
    std::vector<TickTime> seeks;
    std::function<void(bool)> pendingSeek;

    std::shared_ptr<PlayerItem> currentItem() const override { return item; }
    double rate() const override { return playRate; }
    double currentTimeSeconds() const override { return time; }
    void replaceCurrentItem(std::shared_ptr<PlayerItem> next) override {
        item = std::move(next);
        ++replaced;
    }
    void seek(TickTime to, std::function<void(bool)> completion) override {
        seeks.push_back(to);
        pendingSeek = std::move(completion);
    }
    void setVideoComposition(PlayerItem& on, std::shared_ptr<const LiveDrawing> drawing) override {
        ++drawingsSet;
        PlayerPort::setVideoComposition(on, std::move(drawing));
    }
    void play() override { playRate = 1; }
    void pause() override { playRate = 0; }
    void advance(double seconds) {
        if (playRate != 0) time += seconds;
    }
    void completeSeek() {
        ASSERT_TRUE(pendingSeek);
        auto done = std::move(pendingSeek);
        pendingSeek = nullptr;
        if (!seeks.empty()) time = seeks.back().seconds();
        done(true);
    }
};

LiveVideo video(const std::string& structure) {
    LiveVideo v;
    v.asset = std::make_shared<LiveAsset>();
    v.videoComposition = std::make_shared<LiveDrawing>(LiveDrawing{nullptr, TickTime{1000, 30000}, {}});
    v.frameCount = 300;
    v.structure = structure;
    return v;
}

} // namespace

TEST(LivePlayer, SwapsTheDrawingForTheSameStructureAndReplacesTheItemOtherwise) {
    HeadlessPlayer player;
    LivePlayer live(player);
    live.show(video("A"));
    EXPECT_EQ(player.replaced, 1);
    ASSERT_EQ(player.seeks.size(), 1u);
    EXPECT_EQ(player.seeks[0], (TickTime{0, 30000}));
    player.completeSeek();
    EXPECT_EQ(player.playRate, 0); // nothing of this player was on screen: paused
    auto first = player.item;

    player.play();
    player.advance(2.5);
    auto second = video("A");
    live.show(second);
    EXPECT_EQ(player.item, first);
    EXPECT_EQ(player.drawingsSet, 1);
    EXPECT_EQ(first->videoComposition(), second.videoComposition);
    EXPECT_EQ(player.seeks.size(), 1u); // no time given: no seek
    EXPECT_EQ(player.playRate, 1);
    EXPECT_EQ(player.time, 2.5);

    // Same structure with a time: seek, then play as before.
    live.show(video("A"), 1.001);
    ASSERT_EQ(player.seeks.size(), 2u);
    EXPECT_EQ(player.seeks[1], (TickTime{30000, 30000}));
    player.completeSeek();
    EXPECT_EQ(player.playRate, 1);

    // Another structure: a new item at the old item's time, paused on request.
    player.advance(1);
    live.show(video("B"), std::nullopt, false);
    EXPECT_EQ(player.replaced, 2);
    EXPECT_NE(player.item, first);
    ASSERT_EQ(player.seeks.size(), 3u);
    EXPECT_EQ(player.seeks[2], (TickTime{60000, 30000}));
    EXPECT_EQ(player.playRate, 1); // still playing until the seek completes
    player.completeSeek();
    EXPECT_EQ(player.playRate, 0);

    // The host put its own item in: nothing current, so replace and seek to 0.
    player.item = std::make_shared<PlayerItem>(nullptr, nullptr);
    player.time = 7;
    live.show(video("B"));
    EXPECT_EQ(player.replaced, 3);
    EXPECT_EQ(player.seeks.back(), (TickTime{0, 30000}));
}
