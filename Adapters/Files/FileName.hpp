#pragma once

#include <filesystem>
#include <string>

namespace korvel {

// The name messages give a file: its last component as the client wrote
// it, also when the path ends in separators ("clips/take/" is "take"),
// quoted as every client text is.
std::string nameOf(const std::filesystem::path& location);

} // namespace korvel
