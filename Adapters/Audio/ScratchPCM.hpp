#pragma once

#include "Core/Audio/PCMSource.hpp"

#include <filesystem>
#include <memory>

namespace korvel {

// PCM stores kept in process scratch files, so a long mix lives on disk and
// only the blocks being worked on are in memory. Each file is unlinked as
// soon as it is open: nothing is left behind, even by a killed process.
namespace ScratchPCM {
// Fails with the system's error when the file can't be made.
std::shared_ptr<PCMStore> make(int channels, int64_t frames, const std::filesystem::path& folder);
// Stores in ProcessTempFile::defaultFolder(), read at each call.
PCMStores inScratchFolder();
} // namespace ScratchPCM

} // namespace korvel
