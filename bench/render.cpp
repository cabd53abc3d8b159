// The render road against the ffmpeg commands that do the same work, process
// against process, on media made here: a preview window with a look, a logo
// and grain; a 1080p H.264 export with the mix; an HEVC Main10 HLG export
// against x265 alone on the same frames; the copy road of ten minutes
// against `ffmpeg -c copy`; and one frame of a source with 2 s GOPs.
// Usage: bench_render [engine binary] [work folder]
#include "Adapters/FileDigest.hpp"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

double secondsOf(const std::string& command) {
    auto t0 = Clock::now();
    if (!shell(command)) std::fprintf(stderr, "failed: %s\n", command.c_str());
    return std::chrono::duration<double>(Clock::now() - t0).count();
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
    // Seconds until the answer; the answer line in `answer`.
    double ask(const std::string& method, const std::string& params, std::string* answer = nullptr) {
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
        return std::chrono::duration<double>(Clock::now() - t0).count();
    }

private:
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

// The same recipe in ffmpeg's filters: a warm grade, grain, a logo on top.
std::string recipeFilter(int64_t width, int64_t height) {
    return "[0:v]scale=" + std::to_string(width) + ":" + std::to_string(height) +
           ",colorbalance=rm=0.04:bm=-0.07,eq=contrast=1.08,noise=alls=12:allf=t[v];[1:v]scale=" +
           std::to_string(width * 14 / 100) + ":-1[l];[v][l]overlay=W*0.82:H*0.04[out]";
}

void line(const char* what, double ours, double theirs, int64_t frames) {
    std::printf("%-44s ours %7.2f s (%6.1f fps)   ffmpeg %7.2f s (%6.1f fps)   %.2fx\n", what, ours, frames / ours,
                theirs, frames / theirs, theirs / ours);
}

} // namespace

int main(int argc, char** argv) {
    std::string binary = argc > 1 ? argv[1] : "build/korvel-engine";
    fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "korvel-bench-render";
    fs::create_directories(work);
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
    fs::remove_all(work / "cache");
    Engine engine(binary, work / "cache");
    std::printf("Each line: the engine answering one request against the ffmpeg command doing the same, one process each, 8 cores.\n");

    // A preview window: 60 frames at 1620 × 912 with the recipe.
    std::string p = plan(1620, 912, 2'000'000, true, false);
    std::string s = sources(src, logo);
    std::string key(64, 'b');
    double ours = engine.ask("render.segment", R"({"plan":)" + p + R"(,"sources":)" + s + R"(,"variant":"after","key":")" + key +
                                                   R"(","track":"video","outStartUs":0,"outEndUs":2000000,"outPath":")" +
                                                   (work / "window.mp4").string() + "\"}");
    double theirs = secondsOf(ff + "-t 2 -i " + q(src) + " -i " + q(logo) + " -filter_complex '" + recipeFilter(1620, 912) +
                              "' -map '[out]' -c:v libx264 -preset veryfast -bf 0 -g 60 -b:v 16M -maxrate 16M -bufsize 32M " +
                              q(work / "window-ffmpeg.mp4"));
    line("preview window, 60 frames 1620x912", ours, theirs, 60);

    // A 10 s 1080p H.264 export of the same recipe with the mix.
    p = plan(1920, 1080, 10'000'000, true, true);
    ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + s + R"(,"codec":"h264","videoBitrate":8000000,"outPath":")" +
                                           (work / "export.mp4").string() + R"(","audioPath":")" + mix.string() + "\"}");
    theirs = secondsOf(ff + "-i " + q(src) + " -i " + q(logo) + " -i " + q(mix) + " -filter_complex '" + recipeFilter(1920, 1080) +
                       "' -map '[out]' -map 2:a -c:v libx264 -preset medium -b:v 8M -c:a aac -b:a 256k -movflags +faststart " +
                       q(work / "export-ffmpeg.mp4"));
    line("export h264 medium, 300 frames 1080p + mix", ours, theirs, 300);

    // HEVC Main10 HLG: against x265 encoding the same decoded frames alone.
    p = plan(1920, 1080, 4'000'000, false, false);
    ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + sources(hlg) +
                                           R"(,"codec":"hevc","dynamicRange":"keep_hdr","videoBitrate":8000000,"outPath":")" +
                                           (work / "hlg-export.mp4").string() + "\"}");
    theirs = secondsOf(ff + "-i " + q(hlg) + " -c:v libx265 -preset medium -b:v 8M -pix_fmt yuv420p10le -x265-params log-level=none "
                            "-tag:v hvc1 " + q(work / "hlg-ffmpeg.mp4"));
    line("export hevc main10 hlg, 120 frames 1080p", ours, theirs, 120);

    // The copy road over ten minutes.
    p = plan(1280, 720, 600'000'000, false, false);
    ours = engine.ask("render.export", R"({"plan":)" + p + R"(,"sources":)" + sources(ten) +
                                           R"(,"codec":"h264","videoBitrate":8000000,"outPath":")" + (work / "copy.mp4").string() + "\"}");
    theirs = secondsOf(ff + "-i " + q(ten) + " -c copy -movflags +faststart " + q(work / "copy-ffmpeg.mp4"));
    line("copy road, 10 minutes 720p", ours, theirs, 18000);

    // One frame 1.9 s into a 2 s GOP.
    p = plan(1920, 1080, 10'000'000, false, false);
    double frame = engine.ask("render.frame", R"({"plan":)" + p + R"(,"sources":)" + sources(src) +
                                                  R"(,"variant":"after","atUs":3900000,"maxLongEdge":1920,"outPath":")" +
                                                  (work / "frame.jpg").string() + "\"}");
    double ffFrame = secondsOf(ff + "-ss 3.9 -i " + q(src) + " -frames:v 1 " + q(work / "frame-ffmpeg.jpg"));
    std::printf("%-44s ours %7.0f ms                  ffmpeg %7.0f ms\n", "render.frame, 2 s GOP, 1080p", frame * 1000, ffFrame * 1000);
    return 0;
}
