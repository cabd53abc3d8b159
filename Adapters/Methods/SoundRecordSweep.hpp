#pragma once

#include <filesystem>
#include <string_view>

namespace korvel {

// Earlier builds measured sound wrongly (plain 48 kHz AAC heard as silence,
// MP3s 23 ms late, one NaN spoiling a whole source) and stored the results.
// Their fingerprints can't change, so the records themselves go: once per
// cache, the silences, waveform and loudness records in the analysis folder
// are removed and a stamp file is left so it never happens again. Anything
// else in the folder (other kinds, foreign files, links, folders) is left
// alone.
namespace SoundRecordSweep {
inline constexpr std::string_view stampName = "sound-records-swept";

// Never throws; when the folder can't be read or a record can't be removed,
// no stamp is left and the next start tries again.
void once(const std::filesystem::path& analysisFolder) noexcept;
} // namespace SoundRecordSweep

} // namespace korvel
