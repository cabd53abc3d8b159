#pragma once

// Videos for the picture detectors, made at test time with the ffmpeg tool
// and shared by the test processes like the other media fixtures.

#include "tests/adapters/render/MediaFixtures.hpp"

namespace korvel::VisionFixtures {

namespace fs = std::filesystem;

inline const char* astronautPng = "/usr/lib/python3/dist-packages/skimage/data/astronaut.png";

inline fs::path path(const std::string& name) {
    static std::mutex lock;
    std::lock_guard g(lock);
    fs::path out = MediaFixtures::folder() / name;
    if (fs::exists(out)) return out;
    static int lockFile = ::open((MediaFixtures::folder() / ".vision-lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ::flock(lockFile, LOCK_EX);
    struct Unlock {
        ~Unlock() { ::flock(lockFile, LOCK_UN); }
    } unlock;
    if (fs::exists(out)) return out;
    fs::path tmp = MediaFixtures::folder() / (".tmp-" + std::to_string(getpid()) + "-" + name);
    const std::string ff = "timeout 120 ffmpeg -nostdin -v error -y ";
    // Untagged: ffmpeg's conversion uses the matrix that readers assume for
    // untagged pictures of these sizes.
    const std::string x264 = " -c:v libx264 -pix_fmt yuv420p -preset veryfast ";
    const std::string t = " -f mp4 '" + tmp.string() + "'";
    std::string command;
    if (name == "three-sources.mp4") {
        // Three different pictures, joined at 2 s and 4 s.
        command = ff + "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -f lavfi -i smptebars=size=320x240:rate=25:duration=2 "
                       "-f lavfi -i mandelbrot=size=320x240:rate=25 -filter_complex "
                       "'[2:v]trim=duration=2,setpts=PTS-STARTPTS[m];[0:v][1:v][m]concat=n=3:v=1,format=yuv420p'" + x264 + t;
    } else if (name == "astronaut.mp4") {
        command = ff + "-loop 1 -framerate 25 -i " + astronautPng + " -t 2 -vf scale=640:640" + x264 + t;
    } else if (name == "captions.mp4") {
        command = ff + "-f lavfi -i color=c=0x305070:size=640x360:rate=25:duration=3 -vf "
                       "\"drawtext=text='SUBSCRIBE NOW':fontcolor=white:fontsize=40:x=(w-text_w)/2:y=h-80:"
                       "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf\"" + x264 + t;
    } else if (name == "green.mp4") {
        command = ff + "-f lavfi -i color=c=0x00ff00:size=320x240:rate=25:duration=1" + x264 + t;
    } else if (name == "tall.mp4") {
        command = ff + "-f lavfi -i testsrc2=size=16x1024:rate=25:duration=0.4" + x264 + t;
    } else if (name == "hd-cut.mp4") {
        // Large enough that the colour pass's pictures decode without
        // deblocking, as the scene pass's do; a cut at 1 s.
        command = ff + "-f lavfi -i testsrc2=size=1920x1080:rate=25:duration=1 -f lavfi -i "
                       "smptebars=size=1920x1080:rate=25:duration=1 -filter_complex '[0:v][1:v]concat=n=2:v=1'" + x264 + t;
    } else if (name == "ten-frames.mp4") {
        command = ff + "-f lavfi -i testsrc2=size=160x120:rate=25 -frames:v 10" + x264 + t;
    } else if (name == "silent.m4a") {
        command = "timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a aac -f mp4 '" + tmp.string() + "'";
    } else {
        throw std::runtime_error("no vision fixture named " + name);
    }
    if (!testing::runCommand(command)) throw std::runtime_error("could not make fixture " + name);
    fs::rename(tmp, out);
    return out;
}

} // namespace korvel::VisionFixtures
