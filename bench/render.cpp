// The render road against the ffmpeg commands that do the same work, process
// against process, on media made here: a preview window with a look, a logo
// and grain; a 1080p H.264 export with the mix; an HEVC Main10 HLG export
// against x265 alone on the same frames; the copy road of ten minutes
// against `ffmpeg -c copy`; and one frame of a source with 2 s GOPs. The
// engine is started, greeted, shown every file as an editor imports them,
// and given one untimed request, so no line carries its start-up; each side
// starts with nothing left to write back. ffmpeg runs the same recipe
// (Lanczos, the look's own cube, soft-light grain made per frame, the logo
// over in planar RGB) with the engine's encoder settings and threads.
// Usage: bench_render [engine binary] [work folder] [cases, e.g. preview,h264,hevc,copy,frame] [--load N]
#include "BackgroundLoad.hpp"
#include "Adapters/Files/FileDigest.hpp"
#include "Core/Picture/Color/LookCube.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// Wall and CPU seconds of one run. On a shared machine the wall time
// follows the load; the CPU time says how much work each side did.
struct Timed {
    double seconds = 0;
    double cpu = 0;
    double faults = -1; // page faults of the engine meanwhile; unknown for ffmpeg
};

double childrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Neither side is charged with writing back what the one before it wrote.
void settleDisk() { ::sync(); }

Timed secondsOf(const std::string& command) {
    settleDisk();
    double cpu0 = childrenCpu();
    auto t0 = Clock::now();
    if (!shell(command)) std::fprintf(stderr, "failed: %s\n", command.c_str());
    return {std::chrono::duration<double>(Clock::now() - t0).count(), childrenCpu() - cpu0};
}

// The engine as a child with pipes; one request, timed until its answer.
class Engine {
public:
    Engine(const std::string& binary, const fs::path& cache) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) std::exit(1);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            close(in[1]);
            close(out[0]);
            execl(binary.c_str(), binary.c_str(), "--cache-dir", cache.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = fdopen(in[1], "w");
        from_ = fdopen(out[0], "r");
    }
    ~Engine() {
        fclose(to_);
        waitpid(pid_, nullptr, 0);
        fclose(from_);
    }
    // Seconds until the answer, and the engine's CPU seconds meanwhile; the
    // answer line in `answer`.
    Timed ask(const std::string& method, const std::string& params, std::string* answer = nullptr) {
        settleDisk();
        double cpu0 = cpu(), faults0 = faults();
        int64_t id = ++next_;
        std::string idText = "\"id\":" + std::to_string(id);
        auto t0 = Clock::now();
        std::fprintf(to_, "{\"jsonrpc\":\"2.0\",%s,\"method\":\"%s\",\"params\":%s}\n", idText.c_str(), method.c_str(),
                     params.c_str());
        std::fflush(to_);
        char* line = nullptr;
        size_t cap = 0;
        while (getline(&line, &cap, from_) > 0) {
            std::string l(line);
            if (l.find("$/progress") == std::string::npos && l.find(idText + ",") != std::string::npos) {
                if (answer) *answer = l;
                if (l.find("\"error\"") != std::string::npos) std::fprintf(stderr, "%s", l.c_str());
                break;
            }
        }
        free(line);
        return {std::chrono::duration<double>(Clock::now() - t0).count(), cpu() - cpu0, faults() - faults0};
    }

private:
    // Fields of /proc/<pid>/stat after the name, from field 3 (state) on.
    std::vector<std::string> stat() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> fields;
        auto close = text.rfind(')');
        if (close == std::string::npos) return fields;
        std::istringstream values(text.substr(close + 2));
        for (std::string field; fields.size() < 13 && values >> field;) fields.push_back(field);
        return fields;
    }
    // Minor and major page faults of all the engine's threads: memory it
    // touches for the first time, or touches again after giving it back.
    double faults() const {
        auto f = stat();
        return f.size() < 13 ? 0 : std::stod(f[10 - 3]) + std::stod(f[12 - 3]);
    }

    // User and system time of all the engine's threads (fields 14 and 15).
    double cpu() const {
        auto f = stat();
        if (f.size() < 13) return 0;
        return (std::stod(f[14 - 3]) + std::stod(f[15 - 3])) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
    int64_t next_ = 0;
};

std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

std::string sources(const fs::path& file, const fs::path& logo = {}) {
    std::string s = "{\"a\":{\"path\":\"" + file.string() + "\",\"contentHash\":\"" + korvel::FileDigest::sha256(file) + "\"}";
    if (!logo.empty()) s += ",\"logo\":{\"path\":\"" + logo.string() + "\",\"contentHash\":\"" + korvel::FileDigest::sha256(logo) + "\"}";
    return s + "}";
}

std::string plan(int64_t width, int64_t height, int64_t durationUs, bool recipe, bool sound) {
    std::string overlays = recipe ? R"([{"id":"logo","role":"logo","assetId":"logo","srcStartUs":0,"srcEndUs":)" +
                                        std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" +
                                        std::to_string(durationUs) +
                                        R"(,"rect":{"x":0.82,"y":0.04,"w":0.14,"h":0.1},"opacity":1}])"
                                  : "[]";
    std::string colors = recipe ? R"([{"kind":"look","look":"warm_cinema","strength":1.0},{"kind":"grain","strength":0.4,"seed":7}])" : "[]";
    std::string tracks = sound ? R"([{"id":"m","role":"music","assetId":null,"generated":{"recipe":"soft_bed","seed":1},"srcStartUs":0,"srcEndUs":)" +
                                     std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" +
                                     std::to_string(durationUs) + R"(,"speed":1.0,"gain":[],"isolation":null}])"
                               : "[]";
    return R"({"version":1,"canvas":{"format":"horizontal","width":)" + std::to_string(width) + R"(,"height":)" +
           std::to_string(height) + R"(,"fps":{"num":30,"den":1}},"segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":)" +
           std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],)"
           R"("videoOverlays":)" + overlays + R"(,"textItems":[],"colorStack":)" + colors +
           R"(,"background":null,"audioMix":{"tracks":)" + tracks +
           R"(,"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" + std::to_string(durationUs) + "}";
}

// The look's cube as the engine builds it, red fastest as `.cube` wants.
void writeCube(const fs::path& file) {
    auto values = korvel::LookCube::values("warm_cinema", 1.0);
    std::ofstream out(file);
    out << "LUT_3D_SIZE " << korvel::LookCube::dimension << "\n";
    char text[96];
    for (size_t i = 0; i < values.size(); i += 4) {
        std::snprintf(text, sizeof text, "%.9g %.9g %.9g\n", values[i], values[i + 1], values[i + 2]);
        out << text;
    }
}

// A grey noise layer made anew for every frame, the grain's amplitude at
// strength 0.4, as an ffmpeg input.
std::string grainInput(int64_t width, int64_t height, int64_t seconds) {
    return "-f lavfi -i 'color=c=gray:size=" + std::to_string(width) + "x" + std::to_string(height) +
           ":rate=30:duration=" + std::to_string(seconds) + ",format=gray,noise=alls=40:allf=t+u,format=gbrp' ";
}

// The same recipe in ffmpeg's filters: Lanczos to the canvas, the look's
// cube, soft-light grain, the logo contained in its rect (0.82, 0.04,
// 0.14 x 0.1) over the picture in planar RGB. Inputs: 0 source, 1 logo
// (256 x 128), 2 grain.
std::string recipeFilter(int64_t width, int64_t height, const fs::path& cube) {
    double rw = 0.14 * width, rh = 0.1 * height;
    double s = std::min(rw / 256, rh / 128);
    int64_t lw = std::max<int64_t>(2, std::llround(256 * s)), lh = std::max<int64_t>(2, std::llround(128 * s));
    int64_t lx = std::llround(0.82 * width + (rw - lw) / 2), ly = std::llround(0.04 * height + (rh - lh) / 2);
    return "[0:v]scale=" + std::to_string(width) + ":" + std::to_string(height) +
           ":flags=lanczos,format=gbrp,lut3d=file=" + cube.string() + ":interp=trilinear[graded];"
           "[graded][2:v]blend=all_mode=softlight[grained];[1:v]scale=" + std::to_string(lw) + ":" + std::to_string(lh) +
           ":flags=lanczos,format=gbrap[l];[grained][l]overlay=x=" + std::to_string(lx) + ":y=" + std::to_string(ly) +
           ":format=gbrp,format=yuv420p[out]";
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

void line(const char* what, Timed ours, Timed theirs, int64_t frames) {
    std::printf("%-44s ours %7.2f s (%6.1f fps, %6.1f cpu-s, %7.0f faults)   ffmpeg %7.2f s (%6.1f fps, %6.1f cpu-s)   %.2fx\n",
                what, ours.seconds, frames / ours.seconds, ours.cpu, ours.faults, theirs.seconds, frames / theirs.seconds,
                theirs.cpu, theirs.seconds / ours.seconds);
}

} // namespace

int main(int argc, char** argv) {
    korvel::bench::BackgroundLoad load(argc, argv);
    std::string binary = argc > 1 ? argv[1] : "build/korvel-engine";
    fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "korvel-bench-render";
    fs::create_directories(work);
    const std::string only = argc > 3 ? "," + std::string(argv[3]) + "," : "";
    auto runs = [&](const char* name) { return only.empty() || only.find("," + std::string(name) + ",") != std::string::npos; };
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    fs::path src = work / "source-1080.mp4", logo = work / "logo.png", mix = work / "mix.wav", hlg = work / "hlg.mp4";
    if (!fs::exists(src)) {
        shell(ff + "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=10 -c:v libx264 -preset veryfast -g 60 "
                   "-pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 " + q(src));
        shell(ff + "-f lavfi -i testsrc2=size=256x128 -frames:v 1 " + q(logo));
        shell(ff + "-f lavfi -i sine=frequency=330:sample_rate=48000:duration=10 -ac 2 -c:a pcm_f32le " + q(mix));
        shell(ff + "-f lavfi -i testsrc2=size=1920x1080:rate=30:duration=4 -c:v libx265 -preset ultrafast -pix_fmt yuv420p10le "
                   "-x265-params log-level=none:colorprim=bt2020:transfer=arib-std-b67:colormatrix=bt2020nc -tag:v hvc1 " + q(hlg));
    }
    fs::path ten = work / "ten-minutes.mp4";
    if (!fs::exists(ten)) {
        fs::path piece = work / "piece.mp4", list = work / "pieces.txt";
        shell(ff + "-f lavfi -i testsrc2=size=1280x720:rate=30:duration=30 -c:v libx264 -preset ultrafast -g 60 "
                   "-pix_fmt yuv420p -color_primaries bt709 -color_trc bt709 -colorspace bt709 " + q(piece));
        FILE* f = std::fopen(list.c_str(), "w");
        for (int i = 0; i < 20; ++i) std::fprintf(f, "file '%s'\n", piece.c_str());
        std::fclose(f);
        shell(ff + "-f concat -safe 0 -i " + q(list) + " -c copy " + q(ten));
    }
    fs::path cube = work / "warm_cinema.cube";
    writeCube(cube);
    fs::remove_all(work / "cache");
    Engine engine(binary, work / "cache");
    // Start-up, the handshake and the first request's one-time work stay out of the timings.
    std::string hello;
    engine.ask("engine.hello", R"({"contractVersion":9})", &hello);
    if (hello.find("\"result\"") == std::string::npos) {
        std::fprintf(stderr, "the engine did not answer the handshake\n");
        return 1;
    }
    // Every file is imported first, as an editor imports a file before it
    // renders it: the import hashes it and reads its end, work ffmpeg never
    // does, and the renders find both known.
    for (const fs::path& file : {src, logo, hlg, ten}) engine.ask("asset.probe", R"({"path":")" + file.string() + "\"}");
    engine.ask("render.frame", R"({"plan":)" + plan(1620, 912, 2'000'000, true, false) + R"(,"sources":)" + sources(src, logo) +
                                   R"(,"variant":"after","atUs":500000,"maxLongEdge":1620,"outPath":")" +
                                   (work / "warm-up.jpg").string() + "\"}");
    const unsigned threads = std::thread::hardware_concurrency();
    // Decoding, filtering and encoding on every core, as the engine does.
    const std::string ffThreads = "-threads 0 -filter_threads " + std::to_string(threads) + " ";
    const std::string bt709 = "-color_primaries bt709 -color_trc bt709 -colorspace bt709 ";
    std::printf("Compared, process against process: a warm korvel-engine (started, greeted, its files imported and one untimed request before) "
                "answering one request, against one ffmpeg command with the same recipe, input, x264/x265 settings and "
                "%u threads (ffmpeg's start-up included), wall and CPU seconds of each side; %s, load average %s\n",
                threads, load.described().c_str(), loadAverage().c_str());

    std::string p;
    const std::string s = sources(src, logo);
    Timed ours, theirs;
    if (runs("preview")) {
        // A preview window: 60 frames at 1620 × 912 with the recipe. The
        // engine's first window also pays for memory the process has never
        // touched (its decoder's and encoder's pools, the frames in flight);
        // an editor asks for window after window, so the next one is timed
        // too, against the same ffmpeg run.
        p = plan(1620, 912, 2'000'000, true, false);
        auto window = [&](char key, const char* file) {
            return engine.ask("render.segment", R"({"plan":)" + p + R"(,"sources":)" + s + R"(,"variant":"after","key":")" +
                                                    std::string(64, key) +
                                                    R"(","track":"video","outStartUs":0,"outEndUs":2000000,"outPath":")" +
                                                    (work / file).string() + "\"}");
        };
        ours = window('b', "window.mp4");
        Timed next = window('c', "window-next.mp4");
        theirs = secondsOf(ff + ffThreads + "-t 2 -i " + q(src) + " -i " + q(logo) + " " + grainInput(1620, 912, 2) +
                              "-filter_complex '" + recipeFilter(1620, 912, cube) +
                              "' -map '[out]' -c:v libx264 -preset veryfast -profile:v high -bf 0 -g 60 -x264-params scenecut=0 "
                              "-b:v 16M -maxrate 16M -bufsize 32M " + bt709 + q(work / "window-ffmpeg.mp4"));
        line("preview window, 60 frames 1620x912, first", ours, theirs, 60);
        line("preview window, 60 frames 1620x912, next", next, theirs, 60);
    }
    if (runs("h264")) {
        // A 10 s 1080p H.264 export of the same recipe with the mix.
        p = plan(1920, 1080, 10'000'000, true, true);
        ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + s + R"(,"codec":"h264","videoBitrate":8000000,"outPath":")" +
                                           (work / "export.mp4").string() + R"(","audioPath":")" + mix.string() + "\"}");
        theirs = secondsOf(ff + ffThreads + "-i " + q(src) + " -i " + q(logo) + " " + grainInput(1920, 1080, 10) + "-i " + q(mix) +
                       " -filter_complex '" + recipeFilter(1920, 1080, cube) +
                       "' -map '[out]' -map 3:a -c:v libx264 -preset medium -profile:v high -bf 3 -b:v 8M " + bt709 +
                       "-c:a aac -b:a 256k -movflags +faststart " + q(work / "export-ffmpeg.mp4"));
        line("export h264 medium, 300 frames 1080p + mix", ours, theirs, 300);
    }
    if (runs("hevc")) {
        // HEVC Main10 HLG: against x265 encoding the same decoded frames alone,
        // with the three B-frames the engine asks for.
        p = plan(1920, 1080, 4'000'000, false, false);
        ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + sources(hlg) +
                                           R"(,"codec":"hevc","dynamicRange":"keep_hdr","videoBitrate":8000000,"outPath":")" +
                                           (work / "hlg-export.mp4").string() + "\"}");
        theirs = secondsOf(ff + ffThreads + "-i " + q(hlg) + " -c:v libx265 -preset medium -profile:v main10 -bf 3 -b:v 8M "
                       "-pix_fmt yuv420p10le -x265-params log-level=none -color_primaries bt2020 -color_trc arib-std-b67 "
                       "-colorspace bt2020nc -tag:v hvc1 " + q(work / "hlg-ffmpeg.mp4"));
        line("export hevc main10 hlg, 120 frames 1080p", ours, theirs, 120);
    }
    if (runs("copy")) {
        // The copy road over ten minutes, each side writing a new file.
        p = plan(1280, 720, 600'000'000, false, false);
        fs::remove(work / "copy.mp4");
        fs::remove(work / "copy-ffmpeg.mp4");
        ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + sources(ten) +
                                           R"(,"codec":"h264","videoBitrate":8000000,"outPath":")" + (work / "copy.mp4").string() + "\"}");
        theirs = secondsOf(ff + "-i " + q(ten) + " -c copy -movflags +faststart " + q(work / "copy-ffmpeg.mp4"));
        line("copy road, 10 minutes 720p, imported", ours, theirs, 18000);
    }
    if (runs("frame")) {
        // One frame 1.9 s into a 2 s GOP.
        p = plan(1920, 1080, 10'000'000, false, false);
        double frame = engine.ask("render.frame", R"({"plan":)" + p + R"(,"sources":)" + sources(src) +
                                                  R"(,"variant":"after","atUs":3900000,"maxLongEdge":1920,"outPath":")" +
                                                  (work / "frame.jpg").string() + "\"}").seconds;
        double ffFrame = secondsOf(ff + ffThreads + "-ss 3.9 -i " + q(src) + " -frames:v 1 " + q(work / "frame-ffmpeg.jpg")).seconds;
        std::printf("%-44s ours %7.0f ms                  ffmpeg %7.0f ms\n", "render.frame, 2 s GOP, 1080p", frame * 1000, ffFrame * 1000);
    }
    return 0;
}
