#pragma once

#include "Core/Container/MovieBox.hpp"
#include "Core/Jobs.hpp"
#include "Core/Timeline/TrackTimes.hpp"

#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace korvel {

// A media file opened for its track list and duration: movie files (MP4,
// MOV and their kin) through the engine's own movie box reader, which never
// reads media data; an allow-list of sound files through libavformat. Other
// files (pictures, text, unknown containers) do not open.
class MediaAsset {
public:
    enum class MediaType { video, audio, other };
    // Which containers besides movie files open: the sound files renders
    // take, or also the other containers FFmpeg decodes here (Matroska, WebM,
    // Ogg, AVI, MPEG-TS, MPEG program streams), whose video every road reads.
    enum class Containers { engine, decodable };
    struct Track {
        MediaType type = MediaType::other;
        size_t index = 0;  // into movie()->tracks, or the libavformat stream
        uint32_t id = 0;   // the track's own id (movie files) or stream index
    };

    // Throws when the file can't be read or its tracks can't be loaded.
    static std::shared_ptr<const MediaAsset> open(const std::filesystem::path& url,
                                                  Containers containers = Containers::engine);

    const std::filesystem::path& url() const { return url_; }
    int64_t fileSize() const { return fileSize_; }
    const std::vector<Track>& tracks() const { return tracks_; }
    std::vector<Track> tracks(MediaType type) const;
    // Nothing when the file does not say.
    const std::optional<TickTime>& duration() const { return duration_; }
    // The movie box of a movie file; null for sound files.
    const MovieBox* movie() const { return movie_ ? &*movie_ : nullptr; }
    // A movie file without its movie box that is no still picture either:
    // cut before the box was written.
    bool cutShort() const { return cutShort_; }

    // A failure of open() in the user's words: a container FFmpeg knows but
    // the engine does not open (Flash video, MXF) is a format that
    // can't be opened, as the probe says; anything else is a reading failure
    // of `what`.
    static EngineFailure openFailure(const std::exception_ptr& error, const std::filesystem::path& url,
                                     std::string_view what);

    // libavformat demuxers that may open a file, as a whitelist option:
    // sound files; those and the other decodable containers; all of these
    // and movie files.
    static const char* soundFormats();
    static const char* decodableFormats();
    static const char* allFormats();

private:
    std::filesystem::path url_;
    int64_t fileSize_ = 0;
    std::vector<Track> tracks_;
    std::optional<TickTime> duration_;
    std::optional<MovieBox> movie_;
    bool cutShort_ = false;
};

} // namespace korvel
