#pragma once

#include <string_view>

namespace korvel::Stderr {
// One unlocked write of the text as it is; callers end their lines.
void write(std::string_view text);

// How bad a library says its log line is.
enum class Severity { debug, info, warning, error, fatal };

// The one handler for every library's own logging (FFmpeg, GLib and libvips,
// encoders, speech and model runtimes): standard error carries only lines
// that start "korvel-engine: ". Libraries log freely about damaged inputs
// that the engine already words for the client, so only fatal lines are
// kept, as "korvel-engine: <library>: <message>" on one line.
void library(std::string_view source, Severity severity, std::string_view message);

// Hands FFmpeg's and GLib's logging to `library`; once per process, from any
// thread. Call it before a library is first used.
void routeLibraryLogs();
} // namespace korvel::Stderr
