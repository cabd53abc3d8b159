#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Scratch files that name their owning process
// ("korvel-engine-<pid>-<name>-<UUID>.<ext>"), so that files left by a dead
// process can be swept. The caller creates and removes its own file.
namespace ProcessTempFile {
inline constexpr std::string_view prefix = "korvel-engine-";
inline constexpr const char* folderVariable = "KORVEL_ENGINE_TEMP_DIR";

// `name` is one word without hyphens.
std::filesystem::path url(std::string_view name, std::string_view pathExtension, const std::filesystem::path& folder);
// KORVEL_ENGINE_TEMP_DIR when set, else the system's temporary folder; read at each call.
std::filesystem::path defaultFolder();
// Removes regular files of this shape whose process is gone; never throws.
void sweep(const std::filesystem::path& folder) noexcept;
// The process id a scratch name carries, when it has the exact shape.
std::optional<int> owner(std::string_view fileName);

// A scratch file removed when it goes out of scope.
class Scoped {
public:
    explicit Scoped(std::filesystem::path path) : path_(std::move(path)) {}
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};
} // namespace ProcessTempFile

} // namespace korvel
