#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace korvel {

SystemError SystemError::posix(int error, std::string_view doing) {
    return SystemError(std::string(posixDomain), error, std::string(doing) + ": " + std::strerror(error));
}

SystemError SystemError::ffmpeg(int status, std::string_view doing) {
    // FFmpeg reports system failures as negated errno values.
    if (status < 0 && -status < 4096) return posix(-status, doing);
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(status, text, sizeof text);
    return SystemError(std::string(ffmpegDomain), status, std::string(doing) + ": " + text);
}

} // namespace korvel
