#pragma once

// Small everyday media files made at test time with the ffmpeg tool, all
// carrying one known sound, and ffmpeg's own decode of them, placed on the
// picture's clock, to hold the engine's against.

#include "tests/support/Shell.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace korvel::testing {

// The known sound: a rising chirp (a sharp cross-correlation peak) with
// digital silence from 1.5 s to 2.5 s, 4 s in all; the right channel of a
// stereo file is the left at 0.8, so a fold that loses a channel shows.
struct EverydaySound {
    static constexpr int64_t durationUs = 4'000'000;
    static constexpr int64_t silentFromUs = 1'500'000;
    static constexpr int64_t silentToUs = 2'500'000;
    static std::string lavfi(int rate, int channels) {
        const std::string x = "0.3*sin(2*PI*(150*t+400*t*t))*(1-between(t,1.5,2.5))";
        const std::string expr = channels == 1 ? x : x + "|0.8*" + x;
        return "-f lavfi -i \"aevalsrc='" + expr + "':s=" + std::to_string(rate) + ":d=4\"";
    }
};

struct EverydaySource {
    std::string name;    // the row's name
    std::string file;    // file name, with the container's extension
    bool picture = false;
    int channels = 1;
    int rate = 48000;    // the sound's own rate
    std::string videoInput; // ffmpeg's picture input, when there is a picture
    std::string videoCodec; // and its encoder options
    std::string audio;      // ffmpeg's sound encoder options
};

inline void PrintTo(const EverydaySource& source, std::ostream* out) { *out << source.name; }

inline const std::vector<EverydaySource>& everydaySources() {
    static const std::vector<EverydaySource> sources = [] {
        const std::string ntsc = "-f lavfi -i testsrc2=size=160x120:rate=30000/1001:duration=4";
        const std::string pal = "-f lavfi -i testsrc2=size=160x120:rate=25:duration=4";
        const std::string h264 = "-c:v libx264 -preset ultrafast -pix_fmt yuv420p";
        const std::string vp9 = "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -b:v 200k";
        return std::vector<EverydaySource>{
            {"Mp4H264AacStereo", "movie.mp4", true, 2, 48000, ntsc, h264, "-c:a aac -b:a 128k"},
            {"M4aAacMono", "voice.m4a", false, 1, 48000, "", "", "-c:a aac -b:a 96k"},
            {"Mp3At44k", "song.mp3", false, 2, 44100, "", "", "-c:a libmp3lame -b:a 128k"},
            {"OggOpus", "voice.ogg", false, 2, 48000, "", "", "-c:a libopus -b:a 96k"},
            {"WebmVp9Opus", "clip.webm", true, 2, 48000, pal, vp9, "-c:a libopus -b:a 96k"},
            {"MkvH264Aac", "clip.mkv", true, 2, 48000, ntsc, h264, "-c:a aac -b:a 128k"},
            {"MpgMpeg2Mp2", "clip.mpg", true, 2, 48000, pal, "-c:v mpeg2video -q:v 5", "-c:a mp2 -b:a 192k"},
            {"Flac", "take.flac", false, 2, 44100, "", "", "-c:a flac"},
            {"Wav16", "take.wav", false, 1, 48000, "", "", "-c:a pcm_s16le"},
        };
    }();
    return sources;
}

// The source's file in the folder, made on first use; nothing when ffmpeg failed.
inline std::optional<std::filesystem::path> everydayFile(const EverydaySource& source,
                                                         const std::filesystem::path& folder) {
    const std::filesystem::path out = folder / source.file;
    if (std::filesystem::exists(out)) return out;
    std::filesystem::create_directories(folder);
    const std::filesystem::path partial = folder / ("partial-" + source.file);
    const std::string command = "ffmpeg -nostdin -v error -y " + source.videoInput + " " +
                                EverydaySound::lavfi(source.rate, source.channels) + " " + source.videoCodec + " " +
                                source.audio + " -shortest '" + partial.string() + "'";
    if (!runCommand(command)) return std::nullopt;
    std::filesystem::rename(partial, out);
    return out;
}

// ffmpeg's own decode of the first audio track: its own channels at 48 kHz, interleaved.
struct ToolDecode {
    int channels = 0;
    std::vector<float> interleaved;

    int64_t frames() const { return channels > 0 ? static_cast<int64_t>(interleaved.size()) / channels : 0; }
    float at(int64_t frame, int channel) const {
        return interleaved[static_cast<size_t>(frame * channels + std::min(channel, channels - 1))];
    }
    // The mean of the first two channels (a mono file's one channel).
    std::vector<float> mono() const {
        std::vector<float> out(static_cast<size_t>(frames()));
        for (int64_t i = 0; i < frames(); ++i) out[static_cast<size_t>(i)] = (at(i, 0) + at(i, 1)) * 0.5f;
        return out;
    }
    // Two channels as the engine hears a file "as it is": a mono file in both.
    std::vector<float> stereo() const {
        std::vector<float> out;
        out.reserve(static_cast<size_t>(frames() * 2));
        for (int64_t i = 0; i < frames(); ++i) {
            out.push_back(at(i, 0));
            out.push_back(at(i, 1));
        }
        return out;
    }
};

// The earliest presentation time of the first picture track's packets (the
// decode time of a packet without one), in seconds on the file's clock, as
// ffprobe reads them; nothing without packets.
inline std::optional<double> firstPictureSeconds(const std::filesystem::path& file) {
    const auto times = runCommand("ffprobe -v error -select_streams V:0 -show_entries packet=pts_time,dts_time "
                                  "-of csv=p=0 '" + file.string() + "'");
    if (!times) return std::nullopt;
    std::optional<double> first;
    for (size_t at = 0; at < times->size();) {
        const size_t end = std::min(times->find('\n', at), times->size());
        const std::string line = times->substr(at, end - at);
        at = end + 1;
        const size_t comma = line.find(',');
        if (comma == std::string::npos) continue;
        const std::string pts = line.substr(0, comma), dts = line.substr(comma + 1);
        const std::string& t = pts != "N/A" ? pts : dts;
        if (t.empty() || t[0] == 'N') continue;
        first = first ? std::min(*first, std::atof(t.c_str())) : std::atof(t.c_str());
    }
    return first;
}

// How many frames at 48 kHz the first decoded sound lies after the first
// shown picture by the file's own times, as ffprobe reads them; 0 for movie
// files (their edits place the tracks) and files without a picture.
inline int64_t soundLeadOnPicture(const std::filesystem::path& file) {
    const std::string quoted = "'" + file.string() + "'";
    const auto format = runCommand("ffprobe -v error -show_entries format=format_name -of csv=p=0 " + quoted);
    if (!format || format->find("mov") != std::string::npos) return 0;
    const auto picture = firstPictureSeconds(file);
    const auto sound = runCommand("ffprobe -v error -select_streams a:0 -read_intervals %+#1 -show_entries "
                                  "frame=best_effort_timestamp_time -of csv=p=0 " + quoted);
    if (!picture || !sound || sound->empty()) return 0;
    return std::llround((std::atof(sound->c_str()) - *picture) * 48000);
}

// ffmpeg's decode, placed beside the picture as a player plays the file:
// after silence when the sound starts later than the picture, cut when
// it starts earlier.
inline ToolDecode decodedByFFmpeg(const std::filesystem::path& file) {
    ToolDecode out;
    const auto count = runCommand("ffprobe -v error -select_streams a:0 -show_entries stream=channels -of csv=p=0 '" +
                                  file.string() + "'");
    if (!count) return out;
    const auto bytes = runCommand("ffmpeg -nostdin -v error -i '" + file.string() + "' -map 0:a:0 -f f32le -ar 48000 -");
    if (!bytes) return out;
    out.channels = std::atoi(count->c_str());
    out.interleaved.resize(bytes->size() / 4);
    std::memcpy(out.interleaved.data(), bytes->data(), out.interleaved.size() * 4);
    const int64_t lead = soundLeadOnPicture(file) * out.channels;
    if (lead > 0) out.interleaved.insert(out.interleaved.begin(), static_cast<size_t>(lead), 0.0f);
    const auto cut = static_cast<std::ptrdiff_t>(std::min<int64_t>(-lead, static_cast<int64_t>(out.interleaved.size())));
    if (cut > 0) out.interleaved.erase(out.interleaved.begin(), out.interleaved.begin() + cut);
    return out;
}

// The lag (in frames, within ±maxLag) at which `ours` best matches
// `theirs`: ours[i] ~ theirs[i - lag]. Measured over the given frames of ours.
inline int64_t bestLag(const std::vector<float>& ours, const std::vector<float>& theirs, int64_t from, int64_t to,
                       int64_t maxLag) {
    int64_t best = 0;
    double bestScore = -2;
    for (int64_t lag = -maxLag; lag <= maxLag; ++lag) {
        double xy = 0, xx = 0, yy = 0;
        for (int64_t i = from; i < to; ++i) {
            const int64_t j = i - lag;
            if (i < 0 || j < 0 || i >= static_cast<int64_t>(ours.size()) || j >= static_cast<int64_t>(theirs.size()))
                continue;
            const double x = ours[static_cast<size_t>(i)], y = theirs[static_cast<size_t>(j)];
            xy += x * y;
            xx += x * x;
            yy += y * y;
        }
        const double score = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : -1;
        if (score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

} // namespace korvel::testing
