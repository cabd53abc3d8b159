// Decoding a 1080p source for a render, compared like with like: the engine
// opening it (the checks of its first and last frames) and reading every
// frame through one reader, in this process, against `ffmpeg -f null`
// decoding the same file on the same threads, start-up included. CPU seconds
// matter most here: during an export the encoder wants the cores.
// Usage: bench_video_decode [work folder]
#include "Adapters/Render/Sources/VideoFrames.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double cpuOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Timed {
    double seconds = 0;
    double cpu = 0;
};

template <class F> Timed timed(int who, F&& work) {
    double cpu0 = cpuOf(who);
    auto t0 = Clock::now();
    work();
    return {std::chrono::duration<double>(Clock::now() - t0).count(), cpuOf(who) - cpu0};
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

} // namespace

int main(int argc, char** argv) {
    fs::path work = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "korvel-bench-decode";
    fs::create_directories(work);
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    struct Source {
        const char* what;
        fs::path file;
        std::string make;
    };
    // The sources of bench/render: one long GOP of HEVC Main10 HLG, and H.264 with 2 s GOPs.
    const Source sources[] = {
        {"hevc main10 hlg, 120 frames, one GOP", work / "hlg.mp4",
         "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le "
         "-x265-params log-level=none:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc -tag:v hvc1 "},
        {"h264, 300 frames, 2 s GOPs", work / "source-1080.mp4",
         "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=10 -c:v libx264 -preset veryfast -g 60 -pix_fmt yuv420p "
         "-color_primaries bt709 -color_trc bt709 -colorspace bt709 "},
    };
    std::printf("Compared: opening a 1080p source and decoding every frame in this process (korvel's VideoOpener and one "
                "VideoFrames::Reader) against `ffmpeg -threads 0 -f null` decoding the same file (its start-up "
                "included), wall and CPU seconds; load average %s\n",
                loadAverage().c_str());
    for (const Source& s : sources) {
        if (!fs::exists(s.file) && std::system((ff + s.make + "'" + s.file.string() + "'").c_str()) != 0) return 1;
        korvel::VideoSource video;
        Timed open = timed(RUSAGE_SELF, [&] { video = korvel::VideoOpener::open(s.file); });
        korvel::VideoFrames::Reader reader(s.file, video.track, video.color, korvel::DynamicRange::keepHdr,
                                           korvel::VideoFrames::FrameValues::picture);
        Timed read = timed(RUSAGE_SELF, [&] {
            for (size_t sample : video.track->sampleOfEntry) reader.decoded(sample);
        });
        std::string command = ff + "-threads 0 -i '" + s.file.string() + "' -f null -";
        Timed theirs = timed(RUSAGE_CHILDREN, [&] {
            if (std::system(command.c_str()) != 0) std::fprintf(stderr, "failed: %s\n", command.c_str());
        });
        std::printf("%-38s ours: open %.2f s (%.2f cpu-s) + decode %.2f s (%.2f cpu-s)   ffmpeg %.2f s (%.2f cpu-s)   "
                    "cpu %.2fx\n",
                    s.what, open.seconds, open.cpu, read.seconds, read.cpu, theirs.seconds, theirs.cpu,
                    theirs.cpu / (open.cpu + read.cpu));
    }
    return 0;
}
