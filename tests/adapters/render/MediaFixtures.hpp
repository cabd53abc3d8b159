#pragma once

// Media files made at test time with the ffmpeg tool (and libvips for the
// stills ffmpeg can't tag), kept under the build's test folder and shared by
// every test process: each is written under a temporary name and renamed.

#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vips/vips8>

#include "Adapters/Render/Sources/StillImages.hpp"
#include "tests/support/Shell.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace korvel::MediaFixtures {

namespace fs = std::filesystem;

inline fs::path folder() {
    fs::path f = fs::path(KORVEL_TEST_TMP) / "media";
    fs::create_directories(f);
    return f;
}

using korvel::testing::runCommand;
using korvel::testing::sha256sum;

inline void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

namespace detail {
inline const std::string ff = "timeout 120 ffmpeg -nostdin -v error -y ";
inline const std::string testsrc = "-f lavfi -i testsrc2=size=320x240:rate=30 ";
inline const std::string x264 = "-c:v libx264 -pix_fmt yuv420p -preset veryfast ";
inline const std::string bt709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";

inline void stillWithOrientation(const fs::path& out, int width, int height, int orientation, const char* saver) {
    StillImages::prepare();
    auto image = vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)).linear(1, 128).cast(VIPS_FORMAT_UCHAR);
    image = image.copy();
    image.set("orientation", orientation);
    if (std::string(saver) == "jpeg") image.jpegsave(out.c_str());
    else image.heifsave(out.c_str(), vips::VImage::option()->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC));
}
} // namespace detail

// The file of a named fixture, made on first use.
inline fs::path path(const std::string& name) {
    using namespace detail;
    static std::recursive_mutex lock;
    std::lock_guard g(lock);
    fs::path out = folder() / name;
    if (fs::exists(out)) return out;
    // Test processes run side by side: one makes each fixture, the others wait
    // for it, so every process hashes the same bytes.
    static int lockFile = ::open((folder() / ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    static int depth = 0;
    struct Held {
        Held() {
            if (depth++ == 0) ::flock(lockFile, LOCK_EX);
        }
        ~Held() {
            if (--depth == 0) ::flock(lockFile, LOCK_UN);
        }
    } held;
    if (fs::exists(out)) return out;
    fs::path tmp = folder() / (".tmp-" + std::to_string(getpid()) + "-" + name);
    std::string t = "'" + tmp.string() + "'";
    auto src = [&](const std::string& n) { return "'" + path(n).string() + "'"; };
    std::string command;
    if (name == "h264.mp4") {
        command = ff + testsrc + "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 " + x264 + bt709 +
                  "-c:a aac -shortest -f mp4 " + t;
    } else if (name == "hevc.mp4") {
        command = ff + testsrc + "-t 2 -c:v libx265 -tag:v hvc1 -x265-params log-level=error " + bt709 + "-f mp4 " + t;
    } else if (name == "edit.mov") {
        // Copied from 0.5 s: the samples before stay, an edit list skips them.
        command = ff + "-ss 0.5 -i " + src("h264.mp4") + " -an -c copy -f mov " + t;
    } else if (name == "fragmented.mp4") {
        // No sample tables in the movie box: every sample is in a fragment.
        command = ff + "-i " + src("h264.mp4") + " -an -c copy -movflags frag_keyframe+empty_moov -f mp4 " + t;
    } else if (name == "portrait.mp4") {
        command = ff + "-i " + src("corner.mp4") + " -c copy -metadata:s:v:0 rotate=-90 -f mp4 " + t;
    } else if (name == "corner.mp4") {
        // Blue with a red top-left corner, to see which way a picture turns.
        command = ff + "-f lavfi -i color=blue:size=320x240:rate=30 -t 1 -vf drawbox=x=0:y=0:w=80:h=60:color=red:t=fill " +
                  x264 + bt709 + "-f mp4 " + t;
    } else if (name == "copy.mp4") {
        // Key frames every 10 frames, B-frames between: the copy windows' source.
        command = ff + testsrc + "-t 4 " + x264 + bt709 + "-g 10 -keyint_min 10 -sc_threshold 0 -bf 2 -f mp4 " + t;
    } else if (name == "hd.mp4") {
        // Large enough for decoder threads.
        command = ff + "-f lavfi -i testsrc2=size=1280x720:rate=30 -t 0.2 " + x264 + bt709 + "-f mp4 " + t;
    } else if (name == "plain.mp4") {
        command = ff + testsrc + "-t 1 " + x264 + "-bf 0 -f mp4 " + t;
    } else if (name == "untagged.mp4") {
        command = ff + testsrc + "-t 1 " + x264 + "-f mp4 " + t;
    } else if (name == "high10.mp4") {
        command = ff + testsrc + "-t 1 -c:v libx264 -pix_fmt yuv420p10le " + bt709 + "-f mp4 " + t;
    } else if (name == "hlg-grey.mp4") {
        // A flat grey tagged HLG, coded without loss so its level is known.
        command = ff + "-f lavfi -i color=c=0x808080:size=64x64:rate=30 -t 0.2 -c:v libx264 -qp 0 -pix_fmt yuv420p10le "
                       "-color_primaries bt2020 -color_trc arib-std-b67 -colorspace bt2020nc -f mp4 " + t;
    } else if (name == "empty.wav") {
        command = ff + "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 0 -c:a pcm_s16le -f wav " + t;
    } else if (name == "cut.m4a") {
        fs::path whole = folder() / ".cut-source.m4a";
        runCommand(ff + "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 -c:a aac -movflags +faststart -f mp4 '" +
                   whole.string() + "'");
        fs::copy_file(whole, tmp, fs::copy_options::overwrite_existing);
        fs::resize_file(tmp, fs::file_size(whole) * 6 / 10);
    } else if (name == "fragmented.m4a") {
        // Sound only, every packet in a fragment: the movie header gives no length.
        command = ff + "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=1 -c:a aac -movflags frag_keyframe+empty_moov -f mp4 " + t;
    } else if (name == "tone.wav") {
        command = ff + "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 1 -c:a pcm_s16le -f wav " + t;
    } else if (name == "cover.png") {
        command = ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 1 -f image2 -c:v png " + t;
    } else if (name == "song.mp3") {
        command = ff + "-f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 -i " + src("cover.png") +
                  " -map 0 -map 1 -c:a libmp3lame -b:a 128k -c:v copy -disposition:v attached_pic -id3v2_version 3 -f mp3 " + t;
    } else if (name == "still.png") {
        command = ff + "-f lavfi -i testsrc2=size=64x48 -frames:v 1 -f image2 -c:v png " + t;
    } else if (name == "turned.jpg") {
        detail::stillWithOrientation(tmp, 400, 300, 6, "jpeg");
    } else if (name == "upside.jpg") {
        detail::stillWithOrientation(tmp, 400, 300, 3, "jpeg");
    } else if (name == "still.heic") {
        detail::stillWithOrientation(tmp, 160, 120, 1, "heif");
    } else if (name == "notes.txt") {
        writeText(tmp, "Not a movie.\nJust notes.\n");
    } else if (name == "cut.mp4") {
        // The movie box first, then the media data cut in half.
        fs::path whole = folder() / ".cut-source.mp4";
        runCommand(ff + testsrc + "-t 2 " + x264 + "-movflags +faststart -f mp4 '" + whole.string() + "'");
        fs::copy_file(whole, tmp, fs::copy_options::overwrite_existing);
        fs::resize_file(tmp, fs::file_size(whole) * 6 / 10);
    } else if (name == "copy.mkv") {
        // The same pictures in Matroska, which has no movie box.
        command = ff + "-i " + src("copy.mp4") + " -c copy -f matroska " + t;
    } else if (name == "moovless.mp4") {
        // Cut where its movie box, written last without faststart, begins.
        fs::path whole = folder() / ".moovless-source.mp4";
        runCommand(ff + testsrc + "-t 1 " + x264 + "-f mp4 '" + whole.string() + "'");
        std::ifstream in(whole, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const size_t moov = bytes.rfind("moov");
        if (moov == std::string::npos || moov < 4) throw std::runtime_error("no movie box in " + whole.string());
        fs::copy_file(whole, tmp, fs::copy_options::overwrite_existing);
        fs::resize_file(tmp, moov - 4);
    } else {
        throw std::runtime_error("no fixture named " + name);
    }
    if (!command.empty() && !runCommand(command)) throw std::runtime_error("could not make fixture " + name);
    fs::rename(tmp, out);
    return out;
}

} // namespace korvel::MediaFixtures
