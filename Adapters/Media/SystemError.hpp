#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvel {

// An error of the system below the engine, with its domain, code and the
// error it wraps. The chain is what the media-failure wording inspects.
struct SystemError : std::runtime_error {
    static constexpr std::string_view posixDomain = "POSIX";
    static constexpr std::string_view ffmpegDomain = "FFmpeg";

    std::string domain;
    int code = 0;
    std::shared_ptr<const SystemError> underlying;

    SystemError(std::string domain, int code, const std::string& description,
                std::shared_ptr<const SystemError> underlying = {})
        : std::runtime_error(description), domain(std::move(domain)), code(code),
          underlying(std::move(underlying)) {}

    // errno of a failed call, described as "<doing>: <strerror>".
    static SystemError posix(int error, std::string_view doing);
    // An FFmpeg status; one that carries an errno becomes a POSIX error.
    static SystemError ffmpeg(int status, std::string_view doing);
};

} // namespace korvel
