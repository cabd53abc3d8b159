#pragma once

#include "Adapters/Models/ModelArchive.hpp"
#include "Adapters/Models/ModelDownload.hpp"
#include "Core/Jobs.hpp"
#include "Core/Speech/ModelCatalog.hpp"

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace korvel {

// Owns the models root: which catalogue models are installed, installing the
// missing ones on request or quietly in the background, every download
// checked by size and SHA-256. Installs run one at a time; status answers
// while one runs.
class ModelStore : public std::enable_shared_from_this<ModelStore> {
public:
    static constexpr std::string_view markerName = "verified.sha256";
    static constexpr std::string_view stagingPrefix = ".staging-";

    struct Status {
        struct Model {
            std::string id;
            bool installed = false;
            bool downloadable = false;
            int64_t byteLength = 0;
            std::string license;

            bool operator==(const Model&) const = default;
        };
        std::vector<Model> models;
        std::optional<std::string> lastError;

        bool ready() const;
        bool operator==(const Status&) const = default;
    };

    // How downloads and archives are handled; tests shorten the waits.
    struct Settings {
        ModelDownload::Settings download;
        ModelArchive::Limits archive;
    };

    static std::shared_ptr<ModelStore> make(std::filesystem::path root, std::vector<ModelEntry> catalog,
                                            std::shared_ptr<const ModelSource> source, Settings settings = {});

    Status status() const;
    void startInstallingIfNeeded();
    std::optional<std::filesystem::path> installedURL(const ModelEntry& entry) const;
    // Takes the marker of an installed model that turned out unusable: it
    // then counts as not installed and is installed again. Never throws.
    void setAside(const ModelEntry& entry) noexcept;
    // Installs the missing models among the ids (all when absent) on the
    // calling thread. Throws the first EngineFailure, other errors, Cancelled.
    void install(const std::optional<std::vector<std::string>>& ids, const JobContext& job);
    std::vector<ModelEntry> selected(const std::optional<std::vector<std::string>>& ids) const;

    // Waits until no background install runs (tests and shutdown).
    void waitForBackground();

    const std::filesystem::path root;
    const std::vector<ModelEntry> catalog;
    const std::shared_ptr<const ModelSource> source;

    // Removes staging folders no live install holds; never throws.
    static void sweepStaging(const std::filesystem::path& root) noexcept;
    static bool isStagingName(std::string_view name);

private:
    ModelStore(std::filesystem::path root, std::vector<ModelEntry> catalog, std::shared_ptr<const ModelSource> source,
               Settings settings);

    struct Background {
        std::stop_source stop;
    };

    void runBackground(const std::vector<std::string>& ids, const std::shared_ptr<Background>& background);
    void fetchMissing(const std::optional<std::vector<std::string>>& ids, const JobContext& job);
    void fetch(const ModelEntry& entry, const std::string& url, int64_t alreadyDone, int64_t total, const JobContext& job);

    const Settings settings_;
    mutable std::mutex lock_;
    std::condition_variable_any changed_;
    std::shared_ptr<Background> background_;
    std::optional<std::string> lastError_;
    bool installing_ = false;
};

} // namespace korvel
