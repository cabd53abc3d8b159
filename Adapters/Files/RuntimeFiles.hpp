#pragma once

#include <filesystem>
#include <string_view>

namespace korvel {

// The read-only files the engine ships (the picture models), found from
// where the code that reads them was loaded, so a prefix copied elsewhere
// keeps working: <dir>/../share/korvel-engine/<name> beside an installed
// program or library, <dir>/<name> in a build folder.
namespace RuntimeFiles {
// The folder of the program or shared library holding the engine's code.
std::filesystem::path codeFolder();
// The program's file from what /proc/self/exe names: a program replaced or
// removed while it runs is named "<path> (deleted)".
std::filesystem::path programFile(const std::filesystem::path& link);
// The first candidate that is a folder, else the installed one (so a
// failure names where it should have been).
std::filesystem::path folder(std::string_view name);
} // namespace RuntimeFiles

} // namespace korvel
