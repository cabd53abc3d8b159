// The model methods of an engine assembled with a test catalogue: the
// success paths the shipping catalogue can't reach here.

#include "Core/Digest.hpp"
#include "Core/Engine.hpp"
#include "Embedded/EngineAssembly.hpp"
#include "tests/support/HttpServer.hpp"
#include "tests/support/SpeechModels.hpp"

#include <gtest/gtest.h>

#include <fstream>

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

// An installed alignment package that compiles to nothing usable is a
// missing one: transcripts fall back, and the status says it is not installed.
TEST(EngineModels, AnUnusableAlignmentPackageCountsAsNotInstalled) {
    const fs::path wav = SpeechModels::path("hello.wav");
    const std::string hash = Digest::sha256(SpeechModels::bytesOf(wav));
    struct Case {
        const char* what;
        std::string member; // the package's one file, and its bytes
        std::string bytes;
    };
    const Case cases[] = {
        {"garbage for a model", "model.onnx", "not a model at all"},
        {"no model in the package", "notes.txt", "nothing to compile"},
        {"another model's interface", "model.onnx",
         SpeechModels::bytesOf(fs::path(KORVEL_DEPS_DIR) / "vision-models" / "face_detection_full_range.onnx")},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path root = fs::path(KORVEL_TEST_TMP) / ("engine-broken-package-" + std::to_string(++n));
        fs::remove_all(root);
        fs::create_directories(root);
        {
            std::ofstream(root / c.member, std::ios::binary) << c.bytes;
        }
        const fs::path zip = root / "package.zip";
        ASSERT_TRUE(testing::runCommand("/usr/bin/python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1], 'w'); "
                                        "z.write(sys.argv[2], 'w2v_en_lv60_15s_q8.mlpackage/' + sys.argv[3]); z.close()\" '" +
                                        zip.string() + "' '" + (root / c.member).string() + "' " + c.member))
            << c.what;
        const std::string package = SpeechModels::bytesOf(zip);
        testing::HttpServer server;
        server.route(ModelCatalog::ctcLv60().id, testing::HttpServer::Reply(200, package));
        const Engine engine =
            EngineAssembly::engine(EngineFolders::make(root / "cache", root / "models", server.base()),
                                   EngineSpeech{{withFile(ModelCatalog::ctcLv60(), package)}, ModelCatalog::whisperLargeV3(),
                                                std::nullopt, false});
        const JSONValue installed = (*engine.job("models.install"))(JSONValue::parsing("{}"), JobContext::silent());
        ASSERT_EQ(*installed.member("ready"), JSONValue(true)) << c.what;
        // The repair download the transcript asks for finds nothing this time.
        server.route(ModelCatalog::ctcLv60().id, testing::HttpServer::Reply(404, ""));

        const JSONValue transcript = (*engine.job("analysis.run"))(
            JSONValue::parsing(R"({"assetId":"a","kind":"transcript","language":"en","source":{"path":")" + wav.string() +
                               R"(","contentHash":")" + hash + R"("}})"),
            JobContext::silent());
        EXPECT_EQ(*transcript.member("transcriber"), JSONValue("speech_transcriber")) << c.what;
        EXPECT_EQ(*transcript.member("provisional"), JSONValue(true)) << c.what;
        EXPECT_FALSE(transcript.member("words")->arrayPtr()->empty()) << c.what;
        const JSONValue status = (*engine.job("models.status"))(JSONValue::parsing("{}"), JobContext::silent());
        EXPECT_EQ(*status.member("models")->arrayPtr()->front().member("installed"), JSONValue(false)) << c.what;
    }
}

} // namespace
} // namespace korvel
