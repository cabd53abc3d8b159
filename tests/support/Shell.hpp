#pragma once

// Shell commands for tests that make or inspect media with command-line tools.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

namespace korvel::testing {

// Its standard output, or nothing when it could not start or did not exit 0.
inline std::optional<std::string> runCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
    if (pclose(pipe) != 0) return std::nullopt;
    return out;
}

// The file's SHA-256 in hex as the sha256sum tool gives it; empty when that failed.
inline std::string sha256sum(const std::filesystem::path& file) {
    auto out = runCommand("sha256sum '" + file.string() + "'");
    return out ? out->substr(0, 64) : std::string();
}

} // namespace korvel::testing
