#pragma once

#include "Core/Jobs.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace korvel {

// Byte progress of one model inside an install of several.
struct ByteReporter {
    JobContext job;
    int64_t alreadyDone = 0;
    int64_t total = 0;

    void written(int64_t bytes) const;
};

// An attempt that broke off for a reason that may pass.
struct ConnectionLost : std::exception {
    EngineFailure failure;
    explicit ConnectionLost(EngineFailure failure) : failure(std::move(failure)) {}
    const char* what() const noexcept override { return failure.message.c_str(); }
};

// One model file over HTTP(S) (or a file URL) into the staging folder, with a
// hard size limit and up to three attempts for transient connection failures.
namespace ModelDownload {

struct Settings {
    std::chrono::seconds connectTimeout{30};
    // A transfer that receives nothing for this long counts as timed out.
    std::chrono::seconds stalledAfter{60};
    // The wait between attempts; throws Cancelled when the task is cancelled meanwhile.
    std::function<void(std::chrono::seconds)> sleep;
};

inline constexpr int attempts = 3;
inline constexpr size_t errorBodyBytes = 4096;

// Throws EngineFailure with the user's sentence, and Cancelled.
std::filesystem::path download(const std::string& url, int64_t limit, const std::string& modelId,
                               const ByteReporter& reporter, const std::filesystem::path& into,
                               const Settings& settings = {});

// The model service's message in an error body: {"error": {"message": "..."}}.
std::optional<std::string> apiMessage(std::string_view body);

// Waits, or throws Cancelled as soon as the current task is cancelled.
void cancellableSleep(std::chrono::seconds duration);

} // namespace ModelDownload
} // namespace korvel
