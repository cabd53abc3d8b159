#pragma once

// Counter clips whose sound starts at another time than their picture on
// the file's clock: tone bursts ("clicks") start in the middle of known
// frames, so where a reader puts the sound shows against the picture.

#include "tests/support/CounterVideo.hpp"
#include "tests/support/Shell.hpp"

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace korvel::testing::ClickedCounter {

inline constexpr int fps = 25;
inline constexpr double lengthSeconds = 4;
// One AAC frame: the encoder's priming and a burst's smear stay within it.
inline constexpr int64_t toleranceFrames = 1024;
inline constexpr double clickEvery = 0.4;
inline constexpr double clickLength = 0.15;
// In the middle of a frame, so the frame a click belongs to is plain.
inline constexpr double clickAt = 0.5 / fps;

struct Clip {
    const char* name;
    const char* file;
    // Where the sound's own time 0 lies on the picture's: a whole number of
    // frames, as ffmpeg places an input moved by -itsoffset.
    double soundStart;
    std::string videoOffset, audioOffset; // -itsoffset before each input
};

inline const std::vector<Clip>& clips() {
    static const std::vector<Clip> all{
        {"sound starting 0.48 s after the picture in MPEG-TS", "late.ts", 0.48, "", "-itsoffset 0.48"},
        {"sound starting 0.28 s before the picture in Matroska", "early.mkv", -0.28, "-itsoffset 0.28", ""},
    };
    return all;
}

// Lossless H.264 and AAC; false when ffmpeg failed.
inline bool make(const std::filesystem::path& out, const Clip& c) {
    const std::string picture = "color=black:s=64x64:r=25:d=4," + CounterVideo::paint();
    const std::string clicks = "aevalsrc='0.5*lt(mod(t+" + std::to_string(clickEvery - clickAt) + "\\," +
                               std::to_string(clickEvery) + ")\\," + std::to_string(clickLength) +
                               ")*sin(2*PI*1000*t)':s=48000:d=4";
    return runCommand("ffmpeg -nostdin -v error -y " + c.videoOffset + " -f lavfi -i \"" + picture + "\" " +
                      c.audioOffset + " -f lavfi -i \"" + clicks + "\" -map 0:v -map 1:a -c:v libx264 -qp 0 "
                      "-pix_fmt yuv420p -c:a aac '" + out.string() + "'")
        .has_value();
}

// The frames whose middle a click starts in, shown before `durationUs`
// and heard before the sound ends.
inline std::vector<int> clickedFrames(const Clip& c, int64_t durationUs) {
    std::vector<int> out;
    for (int k = 0; c.soundStart + clickAt + k * clickEvery < c.soundStart + lengthSeconds; ++k) {
        const double at = c.soundStart + clickAt + k * clickEvery;
        const int frame = static_cast<int>(std::floor(at * fps));
        if (at > 0 && int64_t(frame + 1) * 1'000'000 / fps <= durationUs) out.push_back(frame);
    }
    return out;
}

// Where a click in the middle of `frame` starts, at `rate`.
inline int64_t clickOf(int frame, int rate) { return int64_t(2 * frame + 1) * rate / (2 * fps); }

// Where each click starts in `sound` at `rate`: a sample past a third of
// the click's level after a tenth of a second below it.
inline std::vector<int64_t> onsets(const std::vector<float>& sound, int rate) {
    std::vector<int64_t> out;
    int64_t quiet = rate;
    for (size_t i = 0; i < sound.size(); ++i) {
        if (std::fabs(sound[i]) > 0.16f) {
            if (quiet >= rate / 10) out.push_back(static_cast<int64_t>(i));
            quiet = 0;
        } else {
            ++quiet;
        }
    }
    return out;
}

} // namespace korvel::testing::ClickedCounter
