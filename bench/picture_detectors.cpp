// The picture detectors on one 1080p30 H.264 file made at run time (ten
// seconds of ffmpeg's testsrc2 with a talking-head still and a caption cut
// in), next to ffmpeg's scdet and signalstats filters and a decode-only run
// of ffmpeg on the same file. The colour pass runs with a fresh scene memo,
// so its own scene scan is in its time, and signalstats sees the frames it
// samples, picked with ffmpeg's select filter at the pass's size. Nothing is
// subtracted from either side.
#include "BackgroundLoad.hpp"
#include "Adapters/Vision/ColorAnalyzer.hpp"
#include "Adapters/Vision/FaceAnalyzer.hpp"
#include "Adapters/Vision/FrameScorer.hpp"
#include "Adapters/Vision/MatteBuilder.hpp"
#include "Adapters/Vision/OpenedVideo.hpp"
#include "Adapters/Vision/SceneAnalyzer.hpp"
#include "Adapters/Vision/SceneScanMemo.hpp"
#include "Adapters/Vision/TextRegionFinder.hpp"
#include "Core/Analysis/SampleGate.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <thread>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

constexpr double seconds = 10;
constexpr double frames = seconds * 30;

// Processor seconds of this process and of the children it waited for, so
// that a machine busy with other work shows less in them than in the clock.
double cpuSeconds() {
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

// The clock's seconds; the processor's go to `cpu`.
double timed(const std::function<void()>& run, double* cpu = nullptr) {
    const double cpuStart = cpuSeconds();
    auto start = std::chrono::steady_clock::now();
    run();
    if (cpu) *cpu = cpuSeconds() - cpuStart;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void shell(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "bench: failed: %s\n", command.c_str());
        std::exit(1);
    }
}

// The frame numbers the colour pass samples: its 500 ms gate and the
// spread frames of each take, as its accumulators pick them.
std::set<int64_t> sampledFrames(const ColorAnalyzer::Measured& measured) {
    std::set<int64_t> picked;
    auto frameAt = [](int64_t us) { return static_cast<int64_t>(std::llround(us * 30.0 / 1e6)); };
    for (const auto& sample : measured.samples) picked.insert(frameAt(sample.atUs));
    for (const auto& take : measured.takes) {
        int64_t interval = std::max<int64_t>((take.endUs - take.startUs) / ColorAnalyzer::samplesPerTake, 1);
        int64_t next = take.startUs;
        for (int64_t n = 0; n < static_cast<int64_t>(frames); ++n) {
            int64_t t = n * 1'000'000 / 30;
            if (t < take.startUs || t >= take.endUs || t < next) continue;
            picked.insert(n);
            next = t + interval;
        }
    }
    return picked;
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void line(const char* what, double ours, const char* reference, double theirs) {
    if (theirs > 0) {
        std::printf("%-34s %8.1f fps   %-26s %8.1f fps   %5.2fx\n", what, frames / ours, reference, frames / theirs,
                    theirs / ours);
    } else {
        std::printf("%-34s %8.1f fps\n", what, frames / ours);
    }
}

} // namespace

int main(int argc, char** argv) {
    korvel::bench::BackgroundLoad load(argc, argv);
    fs::path folder = fs::temp_directory_path() / ("korvel-bench-picture-" + std::to_string(getpid()));
    fs::create_directories(folder);
    fs::path file = folder / "talk-1080p30.mp4";
    // Three stretches: moving test pattern, the astronaut still with a
    // caption, the pattern again; tagged BT.709 as cameras write it.
    shell("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30:duration=4 "
          "-loop 1 -framerate 30 -t 3 -i /usr/lib/python3/dist-packages/skimage/data/astronaut.png "
          "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=3 -filter_complex "
          "\"[1:v]scale=1920:1080,drawtext=text='A caption line':fontcolor=white:fontsize=64:x=(w-text_w)/2:y=h-140:"
          "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf,setsar=1[a];[0:v][a][2:v]concat=n=3:v=1,"
          "format=yuv420p\" -c:v libx264 -preset veryfast -crf 20 -colorspace bt709 -color_primaries bt709 "
          "-color_trc bt709 -f mp4 '" + file.string() + "'");
    const std::string in = " -nostdin -v error -threads 0 -i '" + file.string() + "' ";
    // Which frames the colour pass samples, from one untimed run.
    std::string select;
    size_t sampled = 0;
    {
        SceneScanMemo once;
        const auto picked = sampledFrames(ColorAnalyzer::measure(file, JobContext::silent(), once));
        sampled = picked.size();
        for (int64_t n : picked) select += (select.empty() ? "" : "+") + std::string("eq(n,") + std::to_string(n) + ")";
    }
    const FrameSize small = frameSize(1920, 1080, ColorAnalyzer::longEdge);
    std::printf("Compared: one 1080p30 H.264 file, %.0f s (%.0f frames), %u hardware threads; our passes are library calls "
                "in this process, ffmpeg runs as a process, its start-up included, nothing subtracted from either; both "
                "decode with libavcodec's h264; the colour pass with its own scene scan against signalstats on the same "
                "%zu sampled frames at %lldx%lld; %s, load average %s\n",
                seconds, frames, std::thread::hardware_concurrency(), sampled, static_cast<long long>(small.width),
                static_cast<long long>(small.height), load.described().c_str(), loadAverage().c_str());

    double ffDecode = timed([&] { shell("ffmpeg" + in + "-f null -"); });
    double ffScdet = timed([&] { shell("ffmpeg" + in + "-vf scdet -f null -"); });
    double ffStatsCpu = 0;
    double ffStats = timed([&] {
        shell("ffmpeg" + in + "-vf \"select='" + select + "',scale=" + std::to_string(small.width) + ":" +
              std::to_string(small.height) + ",signalstats\" -fps_mode passthrough -f null -");
    }, &ffStatsCpu);

    OpenedVideo video = OpenedVideo::open(file);
    double decode = timed([&] {
        // Full decoding (with deblocking), no frame converted.
        video.forEachFrame(1280, 720, OpenedVideo::PixelFormat::bgra32, OpenedVideo::Transfer::sRGB, JobContext::silent(),
                           [](const VideoFrame&, int64_t) {}, [](int64_t) { return false; });
    });
    SceneScanMemo memo;
    double scenes = timed([&] { SceneAnalyzer::analyze(file, JobContext::silent(), memo); });
    SceneScanMemo cold;
    double colourCpu = 0;
    double colour = timed([&] { ColorAnalyzer::measure(file, JobContext::silent(), cold); }, &colourCpu);
    SceneScanMemo known;
    SceneAnalyzer::analyze(file, JobContext::silent(), known);
    double colourWarmCpu = 0;
    double colourWarm = timed([&] { ColorAnalyzer::measure(file, JobContext::silent(), known); }, &colourWarmCpu);
    double faces = timed([&] { FaceAnalyzer::analyze(file, JobContext::silent(), memo); });
    double scores = timed([&] { FrameScorer::analyze(file, JobContext::silent()); });
    double text = timed([&] { TextRegionFinder::analyze(file, JobContext::silent()); });
    double matte = timed([&] {
        MatteBuilder().build(file, MatteBuilder::Method::hybrid, 1080, folder / "matte.mov", std::nullopt,
                             JobContext::silent());
    });

    line("decode only (frames not converted)", decode, "ffmpeg -f null", ffDecode);
    line("scene pass (32x18, every frame)", scenes, "ffmpeg -vf scdet", ffScdet);
    line("scene pass (32x18, every frame)", scenes, "ffmpeg -f null (decode)", ffDecode);
    line("colour pass with its scene scan", colour, "ffmpeg select,signalstats", ffStats);
    line("colour pass, scenes already known", colourWarm, "ffmpeg select,signalstats", ffStats);
    std::printf("processor seconds: colour pass %.2f, scenes known %.2f, ffmpeg select,signalstats %.2f; load average %s\n",
                colourCpu, colourWarmCpu, ffStatsCpu, loadAverage().c_str());
    line("faces (scenes already known)", faces, "", 0);
    line("frame scores", scores, "", 0);
    line("text regions", text, "", 0);
    line("matte, long edge 1080 (hybrid)", matte, "", 0);
    fs::remove_all(folder);
    return 0;
}
