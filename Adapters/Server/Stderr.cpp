#include "Adapters/Server/Stderr.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}
#include <glib.h>

namespace korvel::Stderr {

void write(std::string_view text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(2, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return; // nothing sensible to do when stderr is gone
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void library(std::string_view source, Severity severity, std::string_view message) {
    if (severity != Severity::fatal) return;
    std::string line = "korvel-engine: ";
    line += source;
    line += ": ";
    for (char c : message) line.push_back(c == '\n' || c == '\r' ? ' ' : c);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    line.push_back('\n');
    write(line);
}

namespace {

void ffmpegLine(void*, int level, const char* format, va_list arguments) {
    if (level > AV_LOG_FATAL) return; // cheap exit before formatting anything
    char text[1024];
    std::vsnprintf(text, sizeof text, format, arguments);
    library("FFmpeg", Severity::fatal, text);
}

Severity glibSeverity(GLogLevelFlags level) {
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL)) return Severity::fatal;
    if (level & G_LOG_LEVEL_WARNING) return Severity::warning;
    if (level & (G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO)) return Severity::info;
    return Severity::debug;
}

void glibLine(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer) {
    library(domain ? domain : "GLib", glibSeverity(level), message ? message : "");
}

GLogWriterOutput glibStructured(GLogLevelFlags level, const GLogField* fields, gsize count, gpointer) {
    std::string_view domain = "GLib", message;
    for (gsize i = 0; i < count; ++i) {
        std::string_view key = fields[i].key;
        if (fields[i].length >= 0 || !fields[i].value) continue; // only text fields
        if (key == "GLIB_DOMAIN") domain = static_cast<const char*>(fields[i].value);
        if (key == "MESSAGE") message = static_cast<const char*>(fields[i].value);
    }
    library(domain, glibSeverity(level), message);
    return G_LOG_WRITER_HANDLED;
}

} // namespace

void routeLibraryLogs() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_callback(ffmpegLine);
        g_log_set_default_handler(glibLine, nullptr);
        g_log_set_writer_func(glibStructured, nullptr, nullptr);
    });
}

} // namespace korvel::Stderr
