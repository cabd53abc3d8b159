#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvel {

// Where the engine keeps what outlives a process.
struct EngineFolders {
    static constexpr const char* defaultModelsBaseURL = "https://models.korvel.org/v1/models";

    std::filesystem::path cache;
    std::filesystem::path models;
    std::string modelsBaseURL;

    bool operator==(const EngineFolders&) const = default;

    // From the process's arguments (program path first) and environment.
    static EngineFolders from(const std::vector<std::string>& arguments,
                              const std::map<std::string, std::string>& environment);
    // The folders a host names; an empty one is the process's default.
    static EngineFolders named(std::filesystem::path cache, std::filesystem::path models,
                               const std::map<std::string, std::string>& environment);
    // This process's environment, as `from` and `named` take it.
    static std::map<std::string, std::string> environment();
    static EngineFolders make(std::filesystem::path cache, std::filesystem::path models,
                              std::optional<std::string> modelsBaseURL = std::nullopt);
};

} // namespace korvel
