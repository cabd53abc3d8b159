// models.status and models.install as the editor sees them: the real engine
// with the real catalogue against a loopback model service.

#include "EngineProcess.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/Shell.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace korvel;
using korvel::testing::EngineProcess;
using korvel::testing::HttpServer;
namespace fs = std::filesystem;

namespace {

const char* vadId = "silero_vad_v5_1_2";
constexpr int64_t vadLength = 885'098;
const char* vadSha = "29940d98d42b91fbd05ce489f3ecf7c72f0a42f027e4875919a28fb4c04ea2cf";

// The engine over a fresh models folder, pointed at the server, proxies cleared.
struct Engine {
    fs::path models;
    EngineProcess process;
    std::vector<std::string> lines;

    Engine(const std::string& name, const HttpServer& server)
        : models(korvel::testing::freshFolder(name) + "/models"),
          process({"--models-dir", models.string(), "--cache-dir", korvel::testing::freshFolder(name) + "/cache"},
                  {"KORVEL_MODELS_URL=" + server.base(), "http_proxy=", "https_proxy=", "HTTP_PROXY=", "HTTPS_PROXY=",
                   "all_proxy=", "ALL_PROXY=", "no_proxy=*"}) {}

    // Every stdout line is a protocol message; progress notifications are kept.
    JSONValue answer(int64_t id, std::vector<JSONValue>* progress = nullptr) {
        for (;;) {
            auto line = process.readLine(std::chrono::seconds(60));
            if (!line) {
                ADD_FAILURE() << "no answer for " << id;
                return JSONValue();
            }
            lines.push_back(*line);
            const JSONValue message = JSONValue::parsing(*line);
            EXPECT_EQ(message.member("jsonrpc") ? *message.member("jsonrpc") : JSONValue(), JSONValue("2.0")) << *line;
            const JSONValue* messageId = message.member("id");
            if (messageId && messageId->intValue() == id) return message;
            EXPECT_EQ(message.member("method") ? *message.member("method") : JSONValue(), JSONValue("$/progress")) << *line;
            if (progress) progress->push_back(message);
        }
    }
    JSONValue call(int64_t id, const std::string& method, const std::string& params, std::vector<JSONValue>* progress = nullptr) {
        process.sendLine(EngineProcess::request(id, method, params));
        return answer(id, progress);
    }
};

std::string errorText(const JSONValue& response) {
    const JSONValue* error = response.member("error");
    if (!error) return "no error: " + response.canonical();
    return std::to_string(error->member("code")->intValue().value_or(0)) + " " + *error->member("message")->stringPtr();
}

std::string freshStatus(bool installedVad = false) {
    return std::string(R"({"models":[{"byteLength":1081140203,"downloadable":true,"id":"whisper_large_v3_q5_0","installed":false,"license":"MIT"},)") +
           R"({"byteLength":885098,"downloadable":true,"id":"silero_vad_v5_1_2","installed":)" + (installedVad ? "true" : "false") +
           R"(,"license":"MIT"},{"byteLength":268909236,"downloadable":true,"id":"ctc_wav2vec2_lv60_q8","installed":false,"license":"Apache-2.0"}],"ready":false})";
}

void expectNoStaging(const fs::path& models) {
    if (!fs::exists(models)) return;
    for (const auto& e : fs::directory_iterator(models)) {
        EXPECT_NE(e.path().filename().string().rfind(".staging-", 0), 0u) << e.path();
    }
}

TEST(ModelMethods, FreshStatusListsTheCatalogue) {
    HttpServer server;
    Engine engine("models-fresh", server);
    EXPECT_EQ(engine.call(1, "models.status", R"({"whatever":1})").member("result")->canonical(), freshStatus());
    EXPECT_EQ(server.allRequests(), 0);
}

TEST(ModelMethods, FailedInstallsAreWordedAndRemembered) {
    struct Case {
        const char* what;
        HttpServer::Reply reply;
        std::string failure;
    };
    const std::vector<Case> cases{
        {"wrong bytes", HttpServer::Reply(200, std::string(vadLength, 'x')), "-32603 The download of silero_vad_v5_1_2 failed its checksum."},
        {"404 with a message", HttpServer::Reply(404, R"({"error":{"message":"This model is retired."}})"), "-32603 This model is retired."},
        {"404 without one", HttpServer::Reply(404, "Not Found"), "-32603 The model server answered 404."},
        {"too long", HttpServer::Reply(200, std::string(16, 'x')).announce(vadLength + 1),
         "-32603 The download of silero_vad_v5_1_2 is larger than the model is."},
    };
    for (const Case& c : cases) {
        HttpServer server;
        server.route(vadId, c.reply);
        Engine engine("models-failed", server);
        std::vector<JSONValue> progress;
        EXPECT_EQ(errorText(engine.call(1, "models.install", R"({"ids":["silero_vad_v5_1_2"]})", &progress)), c.failure) << c.what;
        const JSONValue status = *engine.call(2, "models.status", "{}").member("result");
        EXPECT_EQ(status.member("lastError") ? *status.member("lastError")->stringPtr() : "", c.failure.substr(7)) << c.what;
        for (const JSONValue& p : progress) {
            const JSONValue& params = *p.member("params");
            EXPECT_EQ(*params.member("unit")->stringPtr(), "bytes");
            EXPECT_EQ(*params.member("phase")->stringPtr(), "analyze");
            EXPECT_EQ(params.member("total")->intValue(), vadLength);
        }
        expectNoStaging(engine.models);
    }
}

TEST(ModelMethods, UnknownIdsAndBadParamsFailBeforeAnyDownload) {
    HttpServer server;
    Engine engine("models-unknown", server);
    EXPECT_EQ(errorText(engine.call(1, "models.install", R"({"ids":["silero_vad_v5_1_2","nope"]})")), "-32602 Unknown model: nope.");
    EXPECT_EQ(errorText(engine.call(2, "models.install", R"({"ids":"silero_vad_v5_1_2"})")).rfind("-32602 Params do not match the contract: ", 0), 0u);
    const JSONValue remembered = *engine.call(3, "models.status", "{}").member("result");
    EXPECT_EQ(*remembered.member("lastError")->stringPtr(), "Unknown model: nope.");
    // An install of nothing answers at once, and clears the remembered failure.
    EXPECT_EQ(engine.call(4, "models.install", R"({"ids":[]})").member("result")->canonical(), freshStatus());
    EXPECT_EQ(server.allRequests(), 0);
}

TEST(ModelMethods, CutConnectionsAreTriedThreeTimes) {
    HttpServer server;
    server.route(vadId, HttpServer::Reply(200, std::string(vadLength, 'x')).refusingFirst(3));
    Engine engine("models-cut", server);
    const std::string failure = errorText(engine.call(1, "models.install", R"({"ids":["silero_vad_v5_1_2"]})"));
    EXPECT_EQ(failure.rfind("-32603 Could not download the model: ", 0), 0u) << failure;
    EXPECT_EQ(server.requests(vadId), 3);
}

TEST(ModelMethods, CancellingAnInstallLeavesNoStagingAndNoError) {
    HttpServer server;
    server.route(vadId, HttpServer::Reply(200, std::string(vadLength, 'x')).cutAfterBytes(1000).stalling());
    Engine engine("models-cancel", server);
    engine.process.sendLine(EngineProcess::request(1, "models.install", R"({"ids":["silero_vad_v5_1_2"]})"));
    while (server.requests(vadId) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    engine.process.sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":1}})");
    EXPECT_EQ(errorText(engine.answer(1)), "-32800 Cancelled.");
    EXPECT_EQ(engine.call(2, "models.status", "{}").member("result")->canonical(), freshStatus());
    expectNoStaging(engine.models);
}

TEST(ModelMethods, AStagedModelOfTheExactSizeIsInstalled) {
    HttpServer server;
    Engine engine("models-staged", server);
    fs::create_directories(engine.models / vadId);
    {
        std::ofstream file(engine.models / vadId / "ggml-silero-v5.1.2.bin", std::ios::binary);
        file << std::string(vadLength, '\0');
        std::ofstream(engine.models / vadId / "verified.sha256", std::ios::binary) << vadSha;
    }
    std::vector<JSONValue> progress;
    EXPECT_EQ(engine.call(1, "models.install", R"({"ids":["silero_vad_v5_1_2"]})", &progress).member("result")->canonical(),
              freshStatus(true));
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(server.allRequests(), 0);
}

} // namespace

// A language tag that no catalogue model and no system recogniser hears is
// refused at once: nothing is downloaded first, whatever the tag's length.
TEST(ModelMethods, TranscriptsInALanguageNobodyHearsFailWithoutDownloading) {
    HttpServer server;
    for (const char* id : {"whisper_large_v3_q5_0", vadId, "ctc_wav2vec2_lv60_q8"})
        server.route(id, HttpServer::Reply(200, std::string(1000, 'x')).stalling());
    const fs::path sound = fs::path(korvel::testing::freshFolder("language-nobody-sound")) / "tone.wav";
    ASSERT_TRUE(korvel::testing::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i sine=f=300:d=2 '" + sound.string() + "'"));
    const std::string hash = korvel::testing::sha256sum(sound);
    Engine engine("language-nobody", server);
    int64_t id = 0;
    for (const std::string& tag : {std::string("xx-YY"), std::string(10'000, 'q')}) {
        const JSONValue response = engine.call(++id, "analysis.run",
                                               R"({"assetId":"a","kind":"transcript","language":")" + tag +
                                                   R"(","source":{"path":")" + sound.string() + R"(","contentHash":")" +
                                                   hash + R"("}})");
        EXPECT_EQ(errorText(response), "-32005 No transcriber on this computer handles " + tag + ".") << tag.size();
    }
    for (const char* model : {"whisper_large_v3_q5_0", vadId, "ctc_wav2vec2_lv60_q8"}) EXPECT_EQ(server.requests(model), 0) << model;
    engine.process.closeInput();
    EXPECT_EQ(engine.process.wait(), 0);
}
