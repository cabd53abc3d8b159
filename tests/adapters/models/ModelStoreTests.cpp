#include "Adapters/Models/ModelStore.hpp"

#include "Adapters/Models/ModelMethods.hpp"
#include "Adapters/Models/ModelSources.hpp"
#include "Core/Digest.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::HttpServer;

std::string bytes(size_t n, char seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i % 7);
    return s;
}

ModelEntry entryFor(const std::string& id, const std::string& body,
                    ModelEntry::Archive archive = ModelEntry::Archive::none, std::string fileName = "") {
    return {id, fileName.empty() ? id + ".bin" : fileName, Digest::sha256(body), static_cast<int64_t>(body.size()), "MIT",
            archive};
}

fs::path freshRoot(const std::string& name) {
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("all_proxy");
    ::unsetenv("ALL_PROXY");
    fs::path p = fs::path(KORVEL_TEST_TMP) / "model-store" / name;
    fs::remove_all(p);
    return p;
}

ModelStore::Settings quick() {
    ModelStore::Settings s;
    s.download.sleep = [](std::chrono::seconds) { Task::checkCancellation(); };
    return s;
}

struct Recorder {
    std::vector<EngineProgress> reports;
    std::mutex lock;
    JobContext job() {
        return JobContext([this](const EngineProgress& p) {
            std::lock_guard g(lock);
            reports.push_back(p);
        });
    }
};

void install(const fs::path& folder, const ModelEntry& entry, const std::string& body, const std::string& marker) {
    fs::create_directories(folder / entry.id);
    std::ofstream(folder / entry.id / entry.fileName, std::ios::binary) << body;
    std::ofstream(folder / entry.id / "verified.sha256", std::ios::binary) << marker;
}

std::string failureOf(const std::function<void()>& body) {
    try {
        body();
    } catch (const EngineFailure& f) {
        return std::to_string(f.code) + " " + f.message;
    }
    return "no failure";
}

TEST(ModelSources, ServiceAppendsTheIdAndDirectServesOnlyItsOwn) {
    KorvelAPIModelSource api("https://models.example.org/v1/models");
    EXPECT_EQ(api.url(ModelCatalog::ctcLv60()), "https://models.example.org/v1/models/ctc_wav2vec2_lv60_q8");
    EXPECT_EQ(KorvelAPIModelSource("http://h/v1/models/").url(ModelCatalog::sileroVad()), "http://h/v1/models/silero_vad_v5_1_2");
    DirectModelSource direct(std::map<std::string, std::string>{{"silero_vad_v5_1_2", "file:///tmp/vad.bin"}});
    EXPECT_EQ(direct.url(ModelCatalog::sileroVad()), "file:///tmp/vad.bin");
    EXPECT_EQ(direct.url(ModelCatalog::ctcLv60()), std::nullopt);
    EXPECT_EQ(DirectModelSource(std::map<std::string, std::string>{}).url(ModelCatalog::whisperLargeV3()), std::nullopt);
}

TEST(ModelStore, InstalledNeedsTheExactMarkerAndSize) {
    const std::string body = bytes(100, 'a');
    const ModelEntry plain = entryFor("alpha", body);
    const ModelEntry zipped = entryFor("pkg", body, ModelEntry::Archive::zip, "pkg.mlpackage");
    struct Case {
        const char* what;
        std::string body;
        std::string marker;
        bool installed;
    };
    for (const Case& c : std::vector<Case>{{"exact", body, plain.sha256, true},
                                           {"marker with a line break", body, plain.sha256 + "\n", false},
                                           {"upper-case marker", body, "X" + plain.sha256.substr(1), false},
                                           {"one byte short", body.substr(1), plain.sha256, false},
                                           {"one byte long", body + "x", plain.sha256, false}}) {
        const fs::path root = freshRoot("installed");
        install(root, plain, c.body, c.marker);
        auto store = ModelStore::make(root, {plain}, std::make_shared<DirectModelSource>(std::map<std::string, std::string>()));
        EXPECT_EQ(store->installedURL(plain).has_value(), c.installed) << c.what;
    }
    // A marker that is no plain file is read as no marker, at once.
    for (const auto& [what, place] : std::vector<std::pair<const char*, std::function<void(const fs::path&)>>>{
             {"a FIFO", [](const fs::path& m) { ASSERT_EQ(::mkfifo(m.c_str(), 0644), 0); }},
             {"a link to /dev/zero", [](const fs::path& m) { fs::create_symlink("/dev/zero", m); }}}) {
        const fs::path root = freshRoot("installed-marker");
        install(root, plain, body, plain.sha256);
        fs::remove(root / "alpha" / "verified.sha256");
        place(root / "alpha" / "verified.sha256");
        auto store = ModelStore::make(root, {plain}, std::make_shared<DirectModelSource>(std::map<std::string, std::string>()));
        EXPECT_FALSE(store->installedURL(plain)) << what;
    }
    // A package folder counts by its marker alone.
    const fs::path root = freshRoot("installed-zip");
    fs::create_directories(root / "pkg" / "pkg.mlpackage");
    std::ofstream(root / "pkg" / "verified.sha256") << zipped.sha256;
    auto store = ModelStore::make(root, {zipped}, std::make_shared<DirectModelSource>(std::map<std::string, std::string>()));
    EXPECT_EQ(store->installedURL(zipped), root / "pkg" / "pkg.mlpackage");
}

TEST(ModelStore, FreshStatusAnswersEveryModelMissing) {
    const fs::path root = freshRoot("fresh");
    auto store = ModelStore::make(root, ModelCatalog::all(), std::make_shared<KorvelAPIModelSource>("http://127.0.0.1:9/v1/models"));
    EXPECT_EQ(ModelMethods::status(*store).canonical(),
              R"({"models":[{"byteLength":1081140203,"downloadable":true,"id":"whisper_large_v3_q5_0","installed":false,"license":"MIT"},)"
              R"({"byteLength":885098,"downloadable":true,"id":"silero_vad_v5_1_2","installed":false,"license":"MIT"},)"
              R"({"byteLength":268909236,"downloadable":true,"id":"ctc_wav2vec2_lv60_q8","installed":false,"license":"Apache-2.0"}],"ready":false})");
    EXPECT_FALSE(fs::exists(root)); // nothing is made on disk by asking
}

TEST(ModelStore, InstallsInOrderWithByteProgressOverAllMissingModels) {
    HttpServer server;
    const std::string a = bytes(100, 'a'), b = bytes(300, 'b');
    server.route("alpha", HttpServer::Reply(200, a));
    server.route("beta", HttpServer::Reply(200, b));
    const fs::path root = freshRoot("progress");
    auto store = ModelStore::make(root, {entryFor("alpha", a), entryFor("beta", b)},
                                  std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    Recorder recorder;
    store->install(std::nullopt, recorder.job());
    EXPECT_TRUE(store->status().ready());
    ASSERT_FALSE(recorder.reports.empty());
    bool sawHundred = false;
    int64_t last = 0;
    for (const EngineProgress& p : recorder.reports) {
        EXPECT_EQ(p.unit, EngineProgress::Unit::bytes);
        EXPECT_EQ(p.phase, EngineProgress::Phase::analyze);
        EXPECT_EQ(p.total, 400);
        EXPECT_GE(p.done, last);
        last = p.done;
        sawHundred = sawHundred || p.done == 100;
    }
    EXPECT_TRUE(sawHundred);
    EXPECT_EQ(last, 400);
    // The folder holds the file and a whole marker, nothing half-written.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / "alpha")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"alpha.bin", "verified.sha256"}));
    EXPECT_EQ(SpeechModels::bytesOf(root / "alpha" / "verified.sha256"), Digest::sha256(a));
    for (const auto& e : fs::directory_iterator(root)) EXPECT_FALSE(ModelStore::isStagingName(e.path().filename().string()));

    // Everything installed: nothing is fetched and nothing reported.
    Recorder again;
    store->install(std::nullopt, again.job());
    EXPECT_TRUE(again.reports.empty());
    EXPECT_EQ(server.allRequests(), 2);
}

TEST(ModelStore, TheFirstFailureWinsAndLaterModelsStillInstall) {
    HttpServer server;
    const std::string a = bytes(100, 'a'), b = bytes(300, 'b');
    server.route("alpha", HttpServer::Reply(200, bytes(100, 'z')));
    server.route("beta", HttpServer::Reply(200, b));
    const fs::path root = freshRoot("first-failure");
    auto store = ModelStore::make(root, {entryFor("alpha", a), entryFor("beta", b), entryFor("gamma", a)},
                                  std::make_shared<DirectModelSource>(std::map<std::string, std::string>{
                                      {"alpha", server.url("alpha")}, {"beta", server.url("beta")}}),
                                  quick());
    EXPECT_EQ(failureOf([&] { store->install(std::nullopt, JobContext::silent()); }),
              "-32603 The download of alpha failed its checksum.");
    const auto status = store->status();
    EXPECT_FALSE(status.models[0].installed);
    EXPECT_TRUE(status.models[1].installed);
    EXPECT_FALSE(status.models[2].downloadable);
    EXPECT_EQ(status.lastError, "The download of alpha failed its checksum.");
    EXPECT_EQ(failureOf([&] { store->install(std::vector<std::string>{"gamma"}, JobContext::silent()); }),
              "-32603 Nothing serves the model gamma yet.");
    // A later install that succeeds clears the error.
    store->install(std::vector<std::string>{"beta"}, JobContext::silent());
    EXPECT_EQ(store->status().lastError, std::nullopt);
}

TEST(ModelStore, UnknownIdsFailBeforeAnyDownload) {
    HttpServer server;
    const std::string a = bytes(100, 'a');
    server.route("alpha", HttpServer::Reply(200, a));
    const fs::path root = freshRoot("unknown");
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    EXPECT_EQ(failureOf([&] { store->install(std::vector<std::string>{"alpha", "nope"}, JobContext::silent()); }),
              "-32602 Unknown model: nope.");
    EXPECT_EQ(server.allRequests(), 0);
    Recorder recorder;
    store->install(std::vector<std::string>{}, recorder.job());
    EXPECT_TRUE(recorder.reports.empty());
    EXPECT_EQ(server.allRequests(), 0);
}

TEST(ModelStore, TransferFailuresAreWordedForTheUser) {
    const std::string a = bytes(100, 'a');
    struct Case {
        const char* what;
        HttpServer::Reply reply;
        std::string failure;
        int requests;
    };
    const std::vector<Case> cases{
        {"announced too long", HttpServer::Reply(200, a).announce(101), "-32603 The download of alpha is larger than the model is.", 1},
        {"longer without length", HttpServer::Reply(200, a + "x").withoutLength(), "-32603 The download of alpha is larger than the model is.", 1},
        {"404 with a message", HttpServer::Reply(404, R"({"error":{"message":"No such model here."}})"), "-32603 No such model here.", 1},
        {"404 with an empty message", HttpServer::Reply(404, R"({"error":{"message":""}})"), "-32603 The model server answered 404.", 1},
        {"404 with a number", HttpServer::Reply(404, R"({"error":{"message":7}})"), "-32603 The model server answered 404.", 1},
        {"404 not JSON", HttpServer::Reply(404, "<html>gone</html>"), "-32603 The model server answered 404.", 1},
        {"503 bare", HttpServer::Reply(503, ""), "-32603 The model server answered 503.", 1},
        {"cut off three times", HttpServer::Reply(200, a).cutAfterBytes(40), "-32603 Could not download the model: ", 3},
        {"refused three times", HttpServer::Reply(200, a).refusingFirst(3), "-32603 Could not download the model: ", 3},
    };
    for (const Case& c : cases) {
        HttpServer server;
        server.route("alpha", c.reply);
        const fs::path root = freshRoot("transfer");
        std::vector<std::chrono::seconds> waits;
        ModelStore::Settings settings;
        settings.download.sleep = [&](std::chrono::seconds s) { waits.push_back(s); };
        auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), settings);
        const std::string failure = failureOf([&] { store->install(std::nullopt, JobContext::silent()); });
        EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << c.what << ": " << failure;
        EXPECT_EQ(server.requests("alpha"), c.requests) << c.what;
        if (c.requests == 3) {
            EXPECT_EQ(waits, (std::vector<std::chrono::seconds>{std::chrono::seconds(1), std::chrono::seconds(2)})) << c.what;
        }
        EXPECT_FALSE(store->status().models[0].installed) << c.what;
        for (const auto& e : fs::directory_iterator(root)) {
            EXPECT_FALSE(ModelStore::isStagingName(e.path().filename().string())) << c.what;
        }
    }
}

TEST(ModelStore, ABodyOfExactlyTheSizeAndTransientFailuresThatPassInstall) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a).withoutLength().refusingFirst(2)); // refused twice, then whole without a length
    const fs::path root = freshRoot("retried");
    std::vector<std::chrono::seconds> waits;
    ModelStore::Settings settings;
    settings.download.sleep = [&](std::chrono::seconds s) { waits.push_back(s); };
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), settings);
    store->install(std::nullopt, JobContext::silent());
    EXPECT_TRUE(store->status().ready());
    EXPECT_EQ(waits, (std::vector<std::chrono::seconds>{std::chrono::seconds(1), std::chrono::seconds(2)}));
}

TEST(ModelStore, AStalledServerCountsAsATransientFailure) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a).cutAfterBytes(10).stalling());
    const fs::path root = freshRoot("stalled");
    ModelStore::Settings settings = quick();
    settings.download.stalledAfter = std::chrono::seconds(1);
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), settings);
    const std::string failure = failureOf([&] { store->install(std::nullopt, JobContext::silent()); });
    EXPECT_EQ(failure, "-32603 Could not download the model: no data arrived for 1 seconds");
    EXPECT_EQ(server.requests("alpha"), 3);
}

TEST(ModelStore, CancellationEndsWithoutFurtherAttemptsAndLeavesNoError) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a).refusingFirst(5));
    const fs::path root = freshRoot("cancelled");
    std::stop_source stop;
    ModelStore::Settings settings;
    // Cancelled while waiting for the second attempt.
    settings.download.sleep = [&](std::chrono::seconds) {
        stop.request_stop();
        Task::checkCancellation();
    };
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), settings);
    {
        Task::Scope scope(stop.get_token());
        EXPECT_THROW(store->install(std::nullopt, JobContext::silent()), Cancelled);
    }
    EXPECT_EQ(server.requests("alpha"), 1);
    EXPECT_EQ(store->status().lastError, std::nullopt);
    for (const auto& e : fs::directory_iterator(root)) EXPECT_FALSE(ModelStore::isStagingName(e.path().filename().string()));

    // Cancelled before anything started: no network access at all.
    std::stop_source early;
    early.request_stop();
    Task::Scope scope(early.get_token());
    EXPECT_THROW(store->install(std::nullopt, JobContext::silent()), Cancelled);
    EXPECT_EQ(server.requests("alpha"), 1);
}

TEST(ModelStore, LeftoverStagingFoldersAreRemovedUnlessHeld) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a));
    const fs::path root = freshRoot("staging");
    const fs::path dead = root / ".staging-0B7E1C3A-0000-4000-8000-000000000001";
    const fs::path held = root / ".staging-0B7E1C3A-0000-4000-8000-000000000002";
    const fs::path other = root / ".staging-not-a-uuid";
    for (const fs::path& p : {dead, held, other}) {
        fs::create_directories(p);
        std::ofstream(p / "download") << "half a model";
    }
    const int holder = ::open(held.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    store->install(std::nullopt, JobContext::silent());
    EXPECT_FALSE(fs::exists(dead));
    EXPECT_TRUE(fs::exists(held / "download"));
    EXPECT_TRUE(fs::exists(other / "download"));
    ::close(holder);
}

TEST(ModelStore, InstallsOfOneModelRunOneAtATimeAndFetchItOnce) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a));
    const fs::path root = freshRoot("serialised");
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    std::vector<std::future<void>> installs;
    for (int i = 0; i < 4; ++i) {
        installs.push_back(std::async(std::launch::async, [&] {
            store->install(std::vector<std::string>{"alpha", "alpha"}, JobContext::silent());
        }));
    }
    for (auto& f : installs) f.get();
    EXPECT_EQ(server.requests("alpha"), 1);
    EXPECT_TRUE(store->status().ready());
}

TEST(ModelStore, BackgroundInstallStartsOnceAndARequestedInstallTakesOver) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, a).cutAfterBytes(10).stalling()); // stalls until cancelled
    const fs::path root = freshRoot("background");
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    store->startInstallingIfNeeded();
    store->startInstallingIfNeeded();
    while (server.requests("alpha") == 0) std::this_thread::yield();
    EXPECT_EQ(server.requests("alpha"), 1);
    server.route("alpha", HttpServer::Reply(200, a));
    store->install(std::nullopt, JobContext::silent()); // cancels the stalled one and waits for it
    EXPECT_TRUE(store->status().ready());
    EXPECT_EQ(store->status().lastError, std::nullopt);
    store->startInstallingIfNeeded(); // nothing missing: nothing starts
    store->waitForBackground();
    EXPECT_EQ(server.requests("alpha"), 2);
}

TEST(ModelStore, AFailedBackgroundInstallLeavesItsError) {
    const std::string a = bytes(100, 'a');
    HttpServer server;
    server.route("alpha", HttpServer::Reply(200, bytes(100, 'q')));
    const fs::path root = freshRoot("background-error");
    auto store = ModelStore::make(root, {entryFor("alpha", a)}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    store->startInstallingIfNeeded();
    store->waitForBackground();
    EXPECT_EQ(store->status().lastError, "The download of alpha failed its checksum.");
}

TEST(ModelStore, ArchivesUnpackIntoTheModelFolder) {
    const std::string zip = SpeechModels::bytesOf(SpeechModels::path("emission-package.zip"));
    HttpServer server;
    server.route("pkg", HttpServer::Reply(200, zip));
    server.route("wrong", HttpServer::Reply(200, zip));
    const fs::path root = freshRoot("archive");
    const ModelEntry pkg = entryFor("pkg", zip, ModelEntry::Archive::zip, "w2v_en_lv60_15s_q8.mlpackage");
    const ModelEntry wrong = entryFor("wrong", zip, ModelEntry::Archive::zip, "other.mlpackage");
    auto store = ModelStore::make(root, {pkg, wrong}, std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    EXPECT_EQ(failureOf([&] { store->install(std::nullopt, JobContext::silent()); }),
              "-32603 The archive of wrong does not hold other.mlpackage.");
    ASSERT_EQ(store->installedURL(pkg), root / "pkg" / "w2v_en_lv60_15s_q8.mlpackage");
    EXPECT_TRUE(fs::is_regular_file(root / "pkg" / "w2v_en_lv60_15s_q8.mlpackage" / "model.onnx"));
    EXPECT_FALSE(fs::exists(root / "pkg" / "download"));
}

} // namespace
} // namespace korvel

namespace korvel {
namespace {

TEST(ModelStore, AStagingFolderThatCannotBeMadeIsAWriteFailure) {
    const std::string a = bytes(100, 'a');
    testing::HttpServer server;
    server.route("alpha", testing::HttpServer::Reply(200, a));
    const fs::path base = freshRoot("unwritable");
    fs::create_directories(base);
    std::ofstream(base / "file") << "not a folder";
    auto store = ModelStore::make(base / "file" / "models", {entryFor("alpha", a)},
                                  std::make_shared<KorvelAPIModelSource>(server.base()), quick());
    const std::string failure = failureOf([&] { store->install(std::nullopt, JobContext::silent()); });
    EXPECT_EQ(failure, "-32003 The speech models could not be written.");
    EXPECT_EQ(server.allRequests(), 0);
}

} // namespace
} // namespace korvel
