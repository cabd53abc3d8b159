#pragma once

// An analysis service over small files and a made-up sound, with counted
// decodes that a test can hold, so requests overlap without sleeping.

#include "Adapters/Files/FileDigest.hpp"
#include "tests/core/speech/SpeechFakes.hpp"
#include "Adapters/Methods/AnalysisService.hpp"

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

namespace korvel::testing {

namespace fs = std::filesystem;

// Speech-like bursts with pauses, at 48 kHz.
inline std::vector<float> madeUpSound(int64_t seconds) {
    std::vector<float> s(static_cast<size_t>(seconds * 48'000));
    for (size_t i = 0; i < s.size(); ++i) {
        const bool talking = (i / 24'000) % 2 == 0;
        s[i] = talking ? 0.3f * static_cast<float>(std::sin(double(i) * 0.05)) : 0.0f;
    }
    return s;
}

class Gate {
public:
    void hold() {
        std::lock_guard g(lock_);
        open_ = false;
    }
    void release() {
        {
            std::lock_guard g(lock_);
            open_ = true;
        }
        changed_.notify_all();
    }
    void pass() {
        std::unique_lock g(lock_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait(g, [&] { return open_; });
        --waiting_;
    }
    void waitForWaiters(int n) {
        std::unique_lock g(lock_);
        changed_.wait(g, [&] { return waiting_ >= n; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool open_ = true;
    int waiting_ = 0;
};

// Installed speech models of a test: a scripted quality transcriber, no aligner.
struct ScriptedModels : SpeechModelProviding {
    std::shared_ptr<fakes::ScriptedTranscriber> whisper = std::make_shared<fakes::ScriptedTranscriber>();
    std::shared_ptr<Transcriber> qualityTranscriber() override { return whisper; }
    std::shared_ptr<EmissionModel> emissionModel() override { return nullptr; }
    void startInstallingIfNeeded() override {}
};

struct ServiceFixture {
    fs::path root;
    BackgroundGate gate{1.0};
    std::atomic<int> decodes{0};
    std::atomic<int> hashes{0};
    Gate decodeGate;
    Gate hashGate;
    std::string slowPath; // hashing this path waits at hashGate
    // A decode that stops early when cancelled instead of throwing.
    bool decodeStopsQuietly = false;
    std::atomic<int> scenePasses{0};
    SceneScanMemo memo;
    std::shared_ptr<ScriptedModels> speech = std::make_shared<ScriptedModels>();
    std::shared_ptr<SourceLibrary> library;
    AnalysisService service;

    explicit ServiceFixture(const std::string& name) {
        root = fs::path(KORVEL_TEST_TMP) / ("analysis-service-" + name + "-" + std::to_string(::getpid()));
        fs::remove_all(root);
        fs::create_directories(root / "media");
        SourceLibrary::Work work;
        work.hash = [this](const fs::path& p) {
            ++hashes;
            if (p.string() == slowPath) hashGate.pass();
            return FileDigest::sha256(p);
        };
        work.hasPicture = [](const fs::path& p) { return p.extension() == ".mp4"; };
        library = std::make_shared<SourceLibrary>(work);
        SoundDecoding decoding;
        decoding.stream = [this](const fs::path& p, int channels, const JobContext& job, const SoundDecoding::Piece& piece) {
            ++decodes;
            if (!fs::exists(p)) throw EngineFailure::sourceUnavailable("The file is not there anymore.");
            const auto sound = madeUpSound(4);
            job.giveWay();
            decodeGate.pass();
            for (size_t at = 0; at < sound.size(); at += 4800) {
                if (Task::isCancelled()) {
                    if (decodeStopsQuietly) return;
                    throw Cancelled();
                }
                const size_t n = std::min<size_t>(4800, sound.size() - at);
                std::vector<std::span<const float>> planes(static_cast<size_t>(channels),
                                                           std::span<const float>(sound.data() + at, n));
                piece(planes);
                job.report({EngineProgress::Phase::analyze, EngineProgress::Unit::microseconds,
                            int64_t(at + n) * 1'000'000 / 48'000, 4'000'000});
            }
        };
        decoding.readMono = [](const fs::path&, int rate, const JobContext&) {
            return std::vector<float>(static_cast<size_t>(rate * 4), 0.1f);
        };
        decoding.isolatedVoice = [](const EngineSource&, const JobContext&) { return PCMAudio::mono(madeUpSound(1)); };
        const AnalysisCache cache{root / "cache" / "analysis", root / "cache" / "journal"};
        const AnalysisVersions versions{"0.1.0"};
        SoundOfVideo sound{std::make_shared<SharedMeasurement<SoundResults>>(gate), library, cache, versions, decoding};
        FrameAnalysers frames;
        // Like the real ones: the pass is taken from the memo, or made and left there.
        auto pass = [this](const fs::path& p, SceneScanMemo& memo) {
            return memo.result(p, [this] {
                ++scenePasses;
                return SceneAnalyzer::Result{{{0, 400'000, 1}, {400'000, 1'000'000, 0.7312345}}, 1'000'000, {}};
            });
        };
        frames.scenes = [pass](const fs::path& p, const JobContext&, SceneScanMemo& memo) { return pass(p, memo); };
        frames.faces = [pass](const fs::path& p, const JobContext&, SceneScanMemo& memo) {
            const auto scan = pass(p, memo);
            FaceAnalyzer::Result r;
            r.samples = {{0, {{{0.1, 0.2, 0.3, 0.333333}, 1.5}}}, {200'000, {}}};
            r.durationUs = scan.durationUs;
            return r;
        };
        frames.textRegions = [](const fs::path&, const JobContext&) {
            return std::vector<TextRegionFinder::Sample>{{0, {{{-0.1, 0.9, 0.3, 0.3}, 0.5}}}};
        };
        auto measuring = std::make_shared<SharedMeasurement<JSONValue>>(gate);
        speech->whisper->heard = [](std::span<const float>) {
            return std::vector<RawWord>{{"Hello", 100'000, 400'000, 0.9123456}, {"there.", 500'000, 900'000, std::nullopt}};
        };
        const TranscriptAnalysis transcripts{std::make_shared<const TranscriptionPipeline>(speech->whisper, speech), cache,
                                             measuring, library, versions, decoding};
        service = AnalysisService{cache, measuring, sound, library, versions, decoding, frames, &memo, transcripts};
    }

    // A file whose bytes name it; its hash is what a client would send.
    fs::path source(const std::string& name, const std::string& bytes = "") {
        fs::path p = root / "media" / name;
        std::ofstream(p) << (bytes.empty() ? name : bytes);
        return p;
    }

    static JSONValue hashed(const std::string& assetId, const fs::path& path, const std::string& hash,
                            const std::string& kind, const std::string& extra = "") {
        return JSONValue::parsing(R"({"assetId":")" + assetId + R"(","source":{"path":")" + path.string() +
                                  R"(","contentHash":")" + hash + R"("},"kind":")" + kind + "\"" + extra + "}");
    }
    static JSONValue params(const std::string& assetId, const fs::path& path, const std::string& kind,
                            const std::string& extra = "") {
        return hashed(assetId, path, FileDigest::sha256(path), kind, extra);
    }

    size_t records() const {
        const fs::path folder = root / "cache" / "analysis";
        if (!fs::is_directory(folder)) return 0;
        return static_cast<size_t>(std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
    }
};

} // namespace korvel::testing
