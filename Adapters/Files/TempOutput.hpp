#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// An output written in a private partial folder beside its final path and
// moved over it in one atomic rename, so the final path holds the old file
// or the whole new one. A journal entry lets a later process sweep what a
// dead one left behind.
class TempOutput {
public:
    static constexpr std::string_view partialMarker = ".korvel-partial-";

    // Creates the partial folder (and the journal entry); throws EngineFailure.
    TempOutput(const std::filesystem::path& final, const std::optional<std::filesystem::path>& journal);
    // An output neither committed nor discarded is discarded.
    ~TempOutput();
    TempOutput(TempOutput&& other) noexcept;
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;
    TempOutput& operator=(TempOutput&&) = delete;

    const std::filesystem::path& url() const { return url_; }
    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& final() const { return final_; }
    const std::optional<std::filesystem::path>& journalEntry() const { return journalEntry_; }

    // Throws EngineFailure; the output is discarded when the replace fails.
    void commit();
    void discard() noexcept;

    // Removes the leftovers of engine processes that are gone; never throws.
    static void sweep(const std::filesystem::path& journal) noexcept;
    static bool isFolderWritten(std::string_view entryName, std::string_view path);

private:
    std::filesystem::path url_, folder_, final_;
    std::optional<std::filesystem::path> journalEntry_;
    std::string uuid_;
    bool open_ = false;
};

// A fresh random UUID in upper-case text.
std::string makeUUID();

} // namespace korvel
