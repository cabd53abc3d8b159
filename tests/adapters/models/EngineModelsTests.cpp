// The model methods of an engine assembled with a test catalogue: the
// success paths the shipping catalogue can't reach here.

#include "Core/Digest.hpp"
#include "Embedded/EngineAssembly.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;

ModelEntry withFile(const ModelEntry& standard, const std::string& body) {
    ModelEntry e = standard;
    e.sha256 = Digest::sha256(body);
    e.byteLength = static_cast<int64_t>(body.size());
    return e;
}

TEST(EngineModels, InstallsATestCatalogueAndAnswersTheStatus) {
    testing::HttpServer server;
    const std::string vad = SpeechModels::bytesOf(SpeechModels::path("silero-vad.bin"));
    const std::string package = SpeechModels::bytesOf(SpeechModels::path("emission-package.zip"));
    server.route(ModelCatalog::sileroVad().id, testing::HttpServer::Reply(200, vad));
    server.route(ModelCatalog::ctcLv60().id, testing::HttpServer::Reply(200, package));
    const fs::path root = fs::path(KORVEL_TEST_TMP) / "engine-models";
    fs::remove_all(root);
    const std::vector<ModelEntry> catalog{withFile(ModelCatalog::sileroVad(), vad), withFile(ModelCatalog::ctcLv60(), package)};
    const Engine engine = EngineAssembly::engine(EngineFolders::make(root / "cache", root / "models", server.base()),
                                                 EngineSpeech{catalog, ModelCatalog::whisperLargeV3(), std::nullopt, false});
    const auto capabilities = engine.capabilities();
    EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), "models.status"), capabilities.end());
    EXPECT_NE(std::find(capabilities.begin(), capabilities.end(), "models.install"), capabilities.end());

    std::vector<EngineProgress> reports;
    const JSONValue installed = (*engine.job("models.install"))(JSONValue::parsing("{}"),
                                                                 JobContext([&](const EngineProgress& p) { reports.push_back(p); }));
    EXPECT_EQ(*installed.member("ready"), JSONValue(true));
    EXPECT_EQ(installed.member("lastError"), nullptr);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().done, static_cast<int64_t>(vad.size() + package.size()));
    EXPECT_EQ(reports.back().total, static_cast<int64_t>(vad.size() + package.size()));
    EXPECT_EQ((*engine.job("models.status"))(JSONValue::parsing("{}"), JobContext::silent()), installed);
    EXPECT_TRUE(fs::is_regular_file(root / "models" / ModelCatalog::ctcLv60().id / ModelCatalog::ctcLv60().fileName / "model.onnx"));
}

TEST(EngineModels, DirectDownloadsServeOnlyTheirModels) {
    const fs::path root = fs::path(KORVEL_TEST_TMP) / "engine-direct";
    fs::remove_all(root);
    const std::string vad = SpeechModels::bytesOf(SpeechModels::path("silero-vad.bin"));
    const std::vector<ModelEntry> catalog{withFile(ModelCatalog::sileroVad(), vad), ModelCatalog::ctcLv60()};
    EngineSpeech speech{catalog, ModelCatalog::whisperLargeV3(),
                        std::map<std::string, std::string>{{ModelCatalog::sileroVad().id, "file://" + SpeechModels::path("silero-vad.bin").string()}},
                        false};
    const Engine engine = EngineAssembly::engine(EngineFolders::make(root / "cache", root / "models"), speech);
    const JSONValue status = (*engine.job("models.install"))(JSONValue::parsing(R"({"ids":["silero_vad_v5_1_2"]})"), JobContext::silent());
    EXPECT_EQ(status.canonical(),
              R"({"models":[{"byteLength":)" + std::to_string(vad.size()) +
                  R"(,"downloadable":true,"id":"silero_vad_v5_1_2","installed":true,"license":"MIT"},)"
                  R"({"byteLength":268909236,"downloadable":false,"id":"ctc_wav2vec2_lv60_q8","installed":false,"license":"Apache-2.0"}],"ready":false})");
}

} // namespace
} // namespace korvel
