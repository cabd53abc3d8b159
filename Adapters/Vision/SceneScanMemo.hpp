#pragma once

#include "Adapters/Files/FileStamp.hpp"
#include "Adapters/Vision/SceneAnalyzer.hpp"
#include "Core/JSONValue.hpp"

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvel {

// The last eight scene-pass results of this process, keyed by the file's
// identity on disk, so the scenes, faces and colour analyses share one pass.
class SceneScanMemo {
public:
    static constexpr size_t capacity = 8;

    SceneScanMemo() = default;
    SceneScanMemo(const SceneScanMemo&) = delete;
    SceneScanMemo& operator=(const SceneScanMemo&) = delete;

    static SceneScanMemo& shared();

    std::optional<SceneAnalyzer::Result> known(const std::filesystem::path& url) const;
    // Keeps the first result of a file; a later one for the same file is dropped.
    void remember(const SceneAnalyzer::Result& result, const std::filesystem::path& url);
    // The kept result, or the scan's, kept as the newest entry. The scan runs
    // without the lock held.
    SceneAnalyzer::Result result(const std::filesystem::path& url, const std::function<SceneAnalyzer::Result()>& scan);

private:
    void append(FileStamp key, const SceneAnalyzer::Result& result); // caller holds lock

    mutable std::mutex lock;
    std::vector<std::pair<FileStamp, SceneAnalyzer::Result>> kept;
};

// The scene-pass result as the analysis cache stores it (kind "scene_scan").
struct SceneScanModel {
    struct Span {
        int64_t startUs = 0;
        int64_t endUs = 0;
        double score = 1;
        bool operator==(const Span&) const = default;
    };

    static constexpr std::string_view scanKind = "scene_scan";

    std::string kind{scanKind};
    std::string contentHash;
    std::string fingerprint;
    std::vector<Span> spans;
    int64_t durationUs = 0;
    std::vector<int64_t> colorSteps;

    bool operator==(const SceneScanModel&) const = default;

    SceneScanModel() = default;
    SceneScanModel(std::string contentHash, std::string fingerprint, const SceneAnalyzer::Result& result);

    SceneAnalyzer::Result result() const;

    JSONValue encoded() const;
    // Nothing when a key is missing or of the wrong type, or when the scenes
    // do not cover 0 to the duration in order (a damaged record reads as absent).
    static std::optional<SceneScanModel> decoded(const JSONValue& value);
};

} // namespace korvel
