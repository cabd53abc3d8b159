#include "Adapters/Media/MediaAsset.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Media/FFmpeg.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Media/SystemError.hpp"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace korvel {

namespace {

// Sound containers the engine opens for sound; video opens in movie files
// and in the other decodable containers.
constexpr const char* soundList = "wav,w64,mp3,aiff,caf,aac,flac,ac3,eac3";
constexpr const char* decodableList = "wav,w64,mp3,aiff,caf,aac,flac,ac3,eac3,ogg,matroska,webm,avi,mpegts,mpeg";
constexpr const char* allList = "wav,w64,mp3,aiff,caf,aac,flac,ac3,eac3,mov,mp4,m4a,3gp,3g2,mj2,ogg,matroska,webm,avi,mpegts,mpeg";

MediaAsset::MediaType typeOfHandler(const std::string& handler) {
    if (handler == "vide") return MediaAsset::MediaType::video;
    if (handler == "soun") return MediaAsset::MediaType::audio;
    return MediaAsset::MediaType::other;
}

// The first bytes of the file name a container some demuxer is sure of,
// judged by content alone: probing runs no demuxer's reader.
bool knownContainer(const std::filesystem::path& url) {
    constexpr size_t probeBytes = 64 * 1024;
    const int fd = ::open(url.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<uint8_t> bytes(probeBytes + AVPROBE_PADDING_SIZE, 0);
    size_t got = 0;
    while (got < probeBytes) {
        const ssize_t n = ::read(fd, bytes.data() + got, probeBytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    if (got == 0) return false;
    FFmpeg::prepare();
    AVProbeData probe{};
    probe.filename = "";
    probe.buf = bytes.data();
    probe.buf_size = static_cast<int>(got);
    int score = 0;
    return av_probe_input_format3(&probe, 1, &score) && score > AVPROBE_SCORE_RETRY;
}

} // namespace

EngineFailure MediaAsset::openFailure(const std::exception_ptr& error, const std::filesystem::path& url,
                                      std::string_view what) {
    EngineFailure read = MediaFailure::reading(error, what);
    if (read == MediaFailure::damaged(what) && knownContainer(url)) {
        return EngineFailure::unsupportedFormat(nameOf(url) + " is in a format that can't be opened.");
    }
    return read;
}

const char* MediaAsset::soundFormats() { return soundList; }
const char* MediaAsset::decodableFormats() { return decodableList; }
const char* MediaAsset::allFormats() { return allList; }

std::vector<MediaAsset::Track> MediaAsset::tracks(MediaType type) const {
    std::vector<Track> out;
    for (const auto& t : tracks_)
        if (t.type == type) out.push_back(t);
    return out;
}

std::shared_ptr<const MediaAsset> MediaAsset::open(const std::filesystem::path& url, Containers containers) {
    auto asset = std::make_shared<MediaAsset>();
    FFmpeg::prepare();
    asset->url_ = url;
    MovieFile file(url);
    asset->fileSize_ = file.size();
    if (file.isMovieFile()) {
        // A movie file without a movie box (a still picture in the same
        // family, or a file cut before its movie box) has no tracks.
        if (auto movie = file.movieBox()) {
            asset->movie_ = std::move(*movie);
            const auto& tracks = asset->movie_->tracks;
            for (size_t i = 0; i < tracks.size(); ++i) {
                asset->tracks_.push_back({typeOfHandler(tracks[i].handler), i, tracks[i].trackId});
            }
            asset->duration_ = TickTime{asset->movie_->duration, static_cast<int32_t>(std::min<uint32_t>(
                                                                    asset->movie_->timescale, INT32_MAX))};
        } else {
            // Still pictures of the family keep their items in a meta box.
            asset->cutShort_ = !file.hasTopLevelBox("meta");
        }
        return asset;
    }

    FFmpeg::Format format;
    int status = FFmpeg::openInput(url, containers == Containers::decodable ? decodableList : soundList, format);
    if (status < 0) throw SystemError::ffmpeg(status, "open " + url.string());
    status = avformat_find_stream_info(format.get(), nullptr);
    if (status < 0) throw SystemError::ffmpeg(status, "read the tracks of " + url.string());
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* s = format->streams[i];
        MediaType type = MediaType::other;
        if (s->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) type = MediaType::audio;
        // Cover art of a sound file is not a picture track.
        if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            type = MediaType::video;
        }
        asset->tracks_.push_back({type, i, i});
    }
    if (format->duration != AV_NOPTS_VALUE && format->duration >= 0) {
        asset->duration_ = TickTime{format->duration, AV_TIME_BASE};
    }
    return asset;
}

} // namespace korvel
