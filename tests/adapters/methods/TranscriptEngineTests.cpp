// Transcripts through a whole engine (its method tables and session) made
// with a test catalogue that names generated speech models, on espeak-ng
// speech: JSON lines in, JSON lines out.

#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Methods/SoundRecordSweep.hpp"
#include "Adapters/Server/EngineSession.hpp"
#include "Core/Engine.hpp"
#include "Embedded/EngineAssembly.hpp"
#include "tests/support/SpeechModels.hpp"

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace korvel;
using korvel::testing::runCommand;
namespace fs = std::filesystem;

namespace {
ModelEntry generated(const ModelEntry& standard, const fs::path& file) {
    ModelEntry e = standard;
    e.sha256 = FileDigest::sha256(file);
    e.byteLength = static_cast<int64_t>(fs::file_size(file));
    return e;
}

// A model as the store leaves it: the file under its id and the marker naming its digest.
void place(const fs::path& models, const ModelEntry& entry, const fs::path& file) {
    fs::create_directories(models / entry.id);
    fs::copy_file(file, models / entry.id / entry.fileName, fs::copy_options::overwrite_existing);
    std::ofstream(models / entry.id / "verified.sha256") << entry.sha256;
}

struct Lines {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<JSONValue> all;
    Wire::Sink sink() {
        return [this](const std::string& line) {
            {
                std::lock_guard g(lock);
                all.push_back(JSONValue::parsing(line));
            }
            arrived.notify_all();
        };
    }
    JSONValue answer(int64_t id) {
        std::unique_lock g(lock);
        JSONValue found;
        arrived.wait_for(g, std::chrono::seconds(600), [&] {
            for (const auto& v : all)
                if (v.member("id") && v.member("id")->intValue() == id) {
                    found = v;
                    return true;
                }
            return false;
        });
        return found;
    }
};

std::string request(int64_t id, const fs::path& file, const std::string& method, const std::string& language) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method +
           R"(","params":{"assetId":"talk","source":{"path":")" + file.string() + R"(","contentHash":")" +
           FileDigest::sha256(file) + R"("},"kind":"transcript","language":")" + language + "\"}}";
}
} // namespace

TEST(TranscriptEngine, WordsOfSpeechAndTheLanguageFoundForAuto) {
    const fs::path folder = fs::path(KORVEL_TEST_TMP) / ("transcript-engine-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    const fs::path models = folder / "models";
    const ModelEntry whisper = generated(ModelCatalog::whisperLargeV3(), SpeechModels::path("whisper-tiny.bin"));
    const ModelEntry vad = generated(ModelCatalog::sileroVad(), SpeechModels::path("silero-vad.bin"));
    place(models, whisper, SpeechModels::path("whisper-tiny.bin"));
    place(models, vad, SpeechModels::path("silero-vad.bin"));
    // Half a second of quiet either side of the speech.
    const fs::path talk = folder / "talk.wav";
    ASSERT_TRUE(runCommand("ffmpeg -nostdin -v error -y -i '" + SpeechModels::path("hello.wav").string() +
                           "' -af adelay=500,apad=pad_dur=0.5 -ar 48000 '" + talk.string() + "'"));
    const auto probed = runCommand("ffprobe -v error -show_entries format=duration -of csv=p=0 '" + talk.string() + "'");
    ASSERT_TRUE(probed);
    const auto durationUs = static_cast<int64_t>(std::stod(*probed) * 1e6);

    const EngineSpeech speech{{whisper, vad, ModelCatalog::ctcLv60()}, whisper, std::nullopt, false};
    const EngineFolders folders = EngineFolders::make(folder / "cache", models);
    Lines lines;
    BackgroundGate gate(1.0);
    EngineSession session(EngineAssembly::engine(folders, speech), gate, lines.sink());

    // One pipeline run finds the language and hears the words.
    session.receive(request(1, talk, "analysis.run", "auto"));
    JSONValue response = lines.answer(1);
    const JSONValue* result = response.member("result");
    ASSERT_TRUE(result) << response.canonical();
    const std::string found = *result->member("language")->stringPtr();
    EXPECT_NE(found, "auto");
    EXPECT_EQ(result->member("transcriber")->canonical(), "\"whisper_large_v3\"");
    const auto& words = *result->member("words")->arrayPtr();
    ASSERT_FALSE(words.empty());
    for (const JSONValue& w : words) {
        const int64_t start = *w.member("startUs")->intValue(), end = *w.member("endUs")->intValue();
        EXPECT_GE(start, 400'000) << w.canonical();
        EXPECT_LE(start, end);
        EXPECT_LE(end, durationUs - 400'000) << w.canonical();
    }
    // The record of the language found lies beside the transcript.
    int recorded = 0;
    for (const auto& item : fs::directory_iterator(folder / "cache" / "analysis")) {
        if (item.path().filename() == SoundRecordSweep::stampName) continue;
        std::ifstream in(item.path());
        const JSONValue record = JSONValue::parsing(std::string(std::istreambuf_iterator<char>(in), {}));
        if (record.member("kind") && *record.member("kind") == JSONValue("voice_language")) {
            ++recorded;
            EXPECT_EQ(*record.member("language"), JSONValue(found));
            EXPECT_EQ(*record.member("finder"), JSONValue("whisper_large_v3"));
        }
    }
    EXPECT_EQ(recorded, 1);
    // The next "auto" takes the recorded language and finds the stored transcript.
    session.receive(request(2, talk, "analysis.run", "auto"));
    const JSONValue again = lines.answer(2);
    ASSERT_TRUE(again.member("result")) << again.canonical();
    EXPECT_EQ(*again.member("result"), *result);
    size_t progress = 0;
    {
        std::lock_guard g(lines.lock);
        for (const auto& line : lines.all)
            if (line.member("params") && line.member("params")->member("id")->intValue() == 2) ++progress;
    }
    EXPECT_EQ(progress, 0u);
    session.receive(request(3, talk, "analysis.known", "auto"));
    response = lines.answer(3);
    ASSERT_TRUE(response.member("result")) << response.canonical();
    EXPECT_FALSE(response.member("result")->member("analysis")->isNull());
    EXPECT_TRUE(session.stop(std::chrono::seconds(5)));
}
