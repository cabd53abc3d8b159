#pragma once

#include "Core/Audio/PCMSource.hpp"

#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace korvel {

// PCM stores kept in process scratch files, so a long mix lives on disk and
// only the blocks being worked on are in memory. Each file is unlinked as
// soon as it is open: nothing is left behind, even by a killed process.
namespace ScratchPCM {
// Fails with the system's error when the file can't be made.
std::shared_ptr<PCMStore> make(int channels, int64_t frames, const std::filesystem::path& folder);
// Stores in ProcessTempFile::defaultFolder(), read at each call.
PCMStores inScratchFolder();

// Sound of a length not known ahead (a decode), taken piece by piece: held
// in memory up to `heldSamples` samples, moved into one scratch file in the
// default folder past that.
class Spool {
public:
    Spool(int channels, int64_t heldSamples);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    void append(const std::vector<std::span<const float>>& piece);
    // Samples held in memory (0 once in the scratch file).
    int64_t heldSamples() const;
    // The sound taken; the spool is empty after it.
    PCMSources::Source finish();

private:
    class File;
    void spill();

    int channels_;
    int64_t limit_;
    PCMAudio held_;
    std::shared_ptr<File> file_;
};
} // namespace ScratchPCM

} // namespace korvel
