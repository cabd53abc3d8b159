// The in-process engine on media made here: render.live opened for a
// ten-minute plan, a frame pulled from the live video against render.frame
// of the same frame and size (both in this process, both decoding from the
// frame's sync sample), and 10,000 small calls through the in-memory carrier
// against the same calls over pipes to a child engine.
// Usage: bench_live [engine binary] [work folder]
#include "Adapters/Files/FileDigest.hpp"
#include "Core/RPC.hpp"
#include "Embedded/EngineAssembly.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace korvel;

namespace {

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The engine as a child with pipes, asked one line at a time.
class Child {
public:
    Child(const std::string& binary, const fs::path& cache) {
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
    ~Child() {
        fclose(to_);
        waitpid(pid_, nullptr, 0);
        fclose(from_);
    }
    void ask(const std::string& line) {
        std::fputs(line.c_str(), to_);
        std::fputc('\n', to_);
        std::fflush(to_);
        char* answer = nullptr;
        size_t cap = 0;
        if (getline(&answer, &cap, from_) <= 0) std::exit(1);
        free(answer);
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

std::string plan(int64_t durationUs) {
    return R"({"version":1,"canvas":{"format":"horizontal","width":640,"height":360,"fps":{"num":30,"den":1}},"segments":[{"assetId":"a","srcStartUs":0,"srcEndUs":)" +
           std::to_string(durationUs) + R"(,"outStartUs":0,"outEndUs":)" + std::to_string(durationUs) +
           R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":0.5,"y":0.5},"scale":1.0}]},"transitionIn":null}],"videoOverlays":[],"textItems":[],"colorStack":[{"kind":"look","look":"warm_cinema","strength":1.0}],"background":null,"audioMix":{"tracks":[],"targetLufs":null,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
           std::to_string(durationUs) + "}";
}

} // namespace

int main(int argc, char** argv) {
    std::string binary = argc > 1 ? argv[1] : KORVEL_ENGINE_PATH;
    fs::path work = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "korvel-bench-live";
    fs::create_directories(work);
    fs::path movie = work / "ten-minutes.mp4";
    if (!fs::exists(movie)) {
        std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=640x360:rate=30:duration=600 "
                           "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 60 -color_primaries bt709 "
                           "-color_trc bt709 -colorspace bt709 '" + movie.string() + "'";
        if (std::system(make.c_str()) != 0) return 1;
    }
    const std::string sources =
        R"({"a":{"path":")" + movie.string() + R"(","contentHash":")" + FileDigest::sha256(movie) + R"("}})";
    const std::string livePlan = plan(600'000'000);
    auto engine = EngineAssembly::inProcess(work / "cache", work / "models", EngineSpeech::standard());
    JSONValue params = JSONValue::parsing(R"({"plan":)" + livePlan + R"(,"sources":)" + sources + "}");

    std::vector<double> opens;
    std::string name;
    for (int i = 0; i < 7; ++i) {
        auto t0 = Clock::now();
        JSONValue answer = engine->call("render.live", params);
        opens.push_back(since(t0));
        name = *answer.member("id")->stringValue();
    }
    std::printf("render.live open of a 10-minute plan, in process (the answer, no frame drawn): first %.1f ms, "
                "then %.1f ms median of 7\n", opens[0] * 1e3, median(opens) * 1e3);

    auto video = engine->liveVideo(name);
    if (!video) return 1;
    std::printf("one 640x360 frame with a look, in process, same frame and size, each decoded from its sync sample: "
                "live pull against render.frame; load average %s\n", loadAverage().c_str());
    const int64_t frames[] = {9000, 9001, 12345, 300, 17999};
    std::vector<double> pulls, renders;
    fs::path out = work / "frame.png";
    for (int64_t f : frames) {
        // Each side decodes from the frame's sync sample: an untimed pull
        // far away first, so neither finds the other's frame still decoded
        // in the kept reader.
        const int64_t away = (f + 9000) % 18000;
        video->frame(away);
        auto t0 = Clock::now();
        Picture picture = video->frame(f);
        pulls.push_back(since(t0));
        JSONValue frameParams = JSONValue::parsing(R"({"plan":)" + livePlan + R"(,"sources":)" + sources +
                                                   R"(,"variant":"after","atUs":)" + std::to_string(f * 1'000'000 / 30) +
                                                   R"(,"maxLongEdge":640,"outPath":")" + out.string() + "\"}");
        video->frame(away);
        t0 = Clock::now();
        engine->call("render.frame", frameParams);
        renders.push_back(since(t0));
    }
    double pull = median(pulls), render = median(renders);
    std::printf("  live frame %.1f ms, render.frame %.1f ms (it also writes the PNG): %.2fx\n", pull * 1e3,
                render * 1e3, pull / render);

    const int calls = 10000;
    const std::string hello = R"({"contractVersion":)" + std::to_string(RPC::contractVersion) + "}";
    std::printf("%d engine.hello round trips, one at a time: in-memory carrier against pipes to a child engine\n", calls);
    JSONValue helloParams = JSONValue::parsing(hello);
    auto t0 = Clock::now();
    for (int i = 0; i < calls; ++i) engine->call("engine.hello", helloParams);
    double inProcess = since(t0);
    Child child(binary, work / "child-cache");
    t0 = Clock::now();
    for (int i = 0; i < calls; ++i)
        child.ask(R"({"id":)" + std::to_string(i + 1) + R"(,"jsonrpc":"2.0","method":"engine.hello","params":)" + hello +
                  "}");
    double piped = since(t0);
    std::printf("  in process %.1f ms (%.1f us a call), over pipes %.1f ms (%.1f us a call): %.1fx faster\n",
                inProcess * 1e3, inProcess * 1e6 / calls, piped * 1e3, piped * 1e6 / calls, piped / inProcess);
    return 0;
}
