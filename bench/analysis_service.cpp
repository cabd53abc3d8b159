// The analysis service as the editor meets it, measured on sound and video
// made at run time:
//   - silences of an hour: the engine process against `ffmpeg -af silencedetect`
//     on the same file (both decode the same samples);
//   - a cache miss against a hit on that hour, and the engine's peak memory
//     for a three-hour source;
//   - sharing: silences, waveform and loudness of an hour-long video asked
//     together, against one of them alone;
//   - yielding: a foreground asset.probe while a background analysis of three
//     hours runs, against the same probe on an idle engine;
//   - cache hits: p50/p99 of 1,000 loads of a stored 8,000-peak waveform and of
//     a 1 MB transcript, against reading, parsing and writing the same file alone.
#include "Adapters/Methods/AnalysisCache.hpp"
#include "Core/Wire/TranscriptWire.hpp"
#include "Core/Wire/WaveformWire.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string sha256(const fs::path& file) {
    FILE* p = popen(("sha256sum '" + file.string() + "'").c_str(), "r");
    char buf[65] = {};
    if (!p || fread(buf, 1, 64, p) != 64) std::exit(1);
    pclose(p);
    return buf;
}

// The engine as a child process with its standard input and output on pipes.
class Engine {
public:
    Engine(const fs::path& binary, const fs::path& cache) {
        int in[2], out[2];
        if (pipe(in) || pipe(out)) std::exit(1);
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
        in_ = in[1];
        out_ = out[0];
    }
    ~Engine() {
        close(in_);
        int status;
        waitpid(pid_, &status, 0);
        close(out_);
    }
    void send(const std::string& line) {
        const std::string text = line + "\n";
        if (write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) std::exit(1);
    }
    // The answer of this id; answers of other ids are kept, progress dropped.
    std::string answer(int64_t id) {
        for (;;) {
            if (auto it = answers_.find(id); it != answers_.end()) return it->second;
            size_t nl;
            while ((nl = buffer_.find('\n')) != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                const size_t at = line.find("\"id\":");
                if (line.find("$/progress") != std::string::npos || at == std::string::npos) continue;
                answers_[std::atoll(line.c_str() + at + 5)] = line;
            }
            if (answers_.count(id)) continue;
            char chunk[65536];
            ssize_t n = read(out_, chunk, sizeof chunk);
            if (n <= 0) return {};
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }
    // Peak resident memory so far, in MB.
    double peakMB() const {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        std::string key;
        while (status >> key) {
            if (key == "VmHWM:") {
                double kb;
                status >> kb;
                return kb / 1024;
            }
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffer_;
    std::map<int64_t, std::string> answers_;
};

std::string analysis(int64_t id, const fs::path& file, const std::string& hash, const std::string& kind,
                     const std::string& extra = "") {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"analysis.run","params":{"assetId":"a","source":{"path":")" + file.string() +
           R"(","contentHash":")" + hash + R"("},"kind":")" + kind + "\"" + extra + "}}";
}

std::string probe(int64_t id, const fs::path& file) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"asset.probe","params":{"path":")" +
           file.string() + "\"}}";
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

void cacheHits(const fs::path& folder, const std::string& name, const JSONValue& record) {
    const AnalysisCache cache{folder / (name + "-cache") / "analysis", folder / (name + "-cache") / "journal"};
    const std::string fingerprint(64, 'f');
    cache.store(fingerprint, record);
    const fs::path file = cache.recordPath(fingerprint);
    std::vector<double> hits, alone;
    for (int i = 0; i < 1000; ++i) {
        auto t = Clock::now();
        auto loaded = cache.load(fingerprint, *record.member("kind")->stringPtr(), "h", "other");
        const std::string answer = loaded->canonical();
        hits.push_back(since(t) * 1e6);
        t = Clock::now();
        std::ifstream in(file, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        const std::string written = JSONValue::parsing(bytes).canonical();
        alone.push_back(since(t) * 1e6);
        if (answer.size() + written.size() == 0) std::exit(1);
    }
    std::printf("cache hit of %s (%.0f KB): p50 %.0f us, p99 %.0f us | read+parse+write alone: p50 %.0f us, p99 %.0f us "
                "| ratio p50 %.2fx\n",
                name.c_str(), static_cast<double>(fs::file_size(file)) / 1024, percentile(hits, 0.5),
                percentile(hits, 0.99), percentile(alone, 0.5), percentile(alone, 0.99),
                percentile(hits, 0.5) / percentile(alone, 0.5));
}

} // namespace

int main(int argc, char** argv) {
    const double hours = argc > 1 ? std::atof(argv[1]) : 1.0;
    const fs::path engineBinary = fs::canonical("/proc/self/exe").parent_path() / "korvel-engine";
    const fs::path folder = fs::temp_directory_path() / ("korvel-bench-analysis-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const std::string ff = "ffmpeg -nostdin -v error -y ";
    const int loops = static_cast<int>(hours * 60);

    // A minute of talk (tone bursts with pauses), repeated into the long sources.
    const fs::path minute = folder / "minute.wav";
    const fs::path hour = folder / "hour.wav";
    const fs::path three = folder / "three-hours.wav";
    const fs::path movie = folder / "hour.mov";
    if (!run(ff + "-f lavfi -i \"aevalsrc='0.3*sin(2*PI*220*t)*gt(mod(t,4),1.2)':s=48000:d=60\" -c:a pcm_s16le '" +
             minute.string() + "'") ||
        !run(ff + "-stream_loop " + std::to_string(loops - 1) + " -i '" + minute.string() + "' -c copy '" + hour.string() + "'") ||
        !run(ff + "-stream_loop " + std::to_string(3 * loops - 1) + " -i '" + minute.string() + "' -c copy '" +
             three.string() + "'") ||
        !run(ff + "-f lavfi -i color=c=gray:size=16x16:rate=1:d=" + std::to_string(loops * 60) + " -i '" + hour.string() +
             "' -c:v libx264 -pix_fmt yuv420p -c:a copy -shortest '" + movie.string() + "'")) {
        std::fprintf(stderr, "could not make the sources\n");
        return 1;
    }
    const std::string hourHash = sha256(hour), threeHash = sha256(three), movieHash = sha256(movie);
    std::printf("sources: %.2f h of 48 kHz mono sound (WAV), the same under a 16x16 picture (MOV), and three times as long\n",
                hours);

    // Silences of the hour: engine process against ffmpeg's silencedetect process.
    {
        Engine engine(engineBinary, folder / "cache-silences");
        auto t = Clock::now();
        engine.send(analysis(1, hour, hourHash, "silences"));
        const std::string miss = engine.answer(1);
        const double ours = since(t);
        t = Clock::now();
        engine.send(analysis(2, hour, hourHash, "silences"));
        engine.answer(2);
        const double hit = since(t);
        t = Clock::now();
        run("ffmpeg -nostdin -v quiet -i '" + hour.string() + "' -af silencedetect=n=-30dB:d=0.1 -f null -");
        const double theirs = since(t);
        std::printf("silences of %.2f h, process vs process on the same file: korvel-engine %.2f s (hash, decode, "
                    "silences, waveform) | ffmpeg -af silencedetect %.2f s | ratio %.2fx\n",
                    hours, ours, theirs, ours / theirs);
        std::printf("cache miss vs hit on %.2f h: miss %.2f s | hit %.2f ms | ratio %.0fx\n", hours, ours, hit * 1e3,
                    ours / hit);
        if (miss.find("\"runs\"") == std::string::npos) std::fprintf(stderr, "no silences answered\n");
    }

    // Peak memory for three hours of sound, all three sound kinds.
    {
        Engine engine(engineBinary, folder / "cache-memory");
        engine.send(analysis(1, three, threeHash, "loudness", R"(,"heardAs":"voice")"));
        engine.answer(1);
        const double asHeard = engine.peakMB();
        Engine fresh(engineBinary, folder / "cache-memory-2");
        fresh.send(analysis(1, three, threeHash, "silences"));
        fresh.answer(1);
        std::printf("peak memory of the engine for %.2f h: silences and waveform %.0f MB | loudness as heard %.0f MB "
                    "| the whole mono float decode alone would be %.0f MB\n",
                    3 * hours, fresh.peakMB(), asHeard, 3 * hours * 3600 * 48000 * 4 / 1048576.0);
    }

    // Sharing: three kinds of one video together against one alone.
    {
        double alone, together;
        {
            Engine engine(engineBinary, folder / "cache-alone");
            auto t = Clock::now();
            engine.send(analysis(1, movie, movieHash, "silences"));
            engine.answer(1);
            alone = since(t);
        }
        {
            Engine engine(engineBinary, folder / "cache-together");
            auto t = Clock::now();
            engine.send(analysis(1, movie, movieHash, "silences"));
            engine.send(analysis(2, movie, movieHash, "waveform"));
            engine.send(analysis(3, movie, movieHash, "loudness"));
            for (int id = 1; id <= 3; ++id) engine.answer(id);
            together = since(t);
        }
        std::printf("sharing on %.2f h of video: silences, waveform and loudness together %.2f s | silences alone %.2f s "
                    "| ratio %.2fx\n",
                    hours, together, alone, together / alone);
    }

    // Yielding: foreground probes while a background analysis runs. Each
    // probe opens a file the engine has not seen, so it does real work.
    {
        const fs::path clip = folder / "clip.mp4";
        run(ff + "-f lavfi -i testsrc2=size=320x240:rate=25:duration=2 -c:v libx264 -pix_fmt yuv420p '" + clip.string() + "'");
        int copies = 0;
        auto probes = [&](Engine& engine, int64_t first) {
            std::vector<double> times;
            for (int64_t id = first; id < first + 20; ++id) {
                const fs::path copy = folder / ("clip-" + std::to_string(copies++) + ".mp4");
                fs::copy_file(clip, copy);
                auto t = Clock::now();
                engine.send(probe(id, copy));
                engine.answer(id);
                times.push_back(since(t) * 1e3);
            }
            return percentile(times, 0.5);
        };
        Engine idle(engineBinary, folder / "cache-idle");
        probes(idle, 1000); // the first openings load the libraries
        const double quiet = probes(idle, 1);
        Engine busy(engineBinary, folder / "cache-busy");
        probes(busy, 1000);
        busy.send(analysis(1, three, threeHash, "waveform", R"(,"priority":"background")"));
        const double during = probes(busy, 100);
        std::printf("yielding, process vs process: asset.probe p50 on an idle engine %.2f ms | during a background "
                    "analysis of %.2f h %.2f ms | ratio %.2fx\n",
                    quiet, 3 * hours, during, during / quiet);
    }

    // Cache hits against parsing and writing the same file alone.
    {
        Waveform::Result peaks;
        peaks.bucketUs = 450'000;
        for (int i = 0; i < 8000; ++i) peaks.peaks.push_back(static_cast<float>((i * 7919) % 10007) / 10007.0f);
        cacheHits(folder, "waveform", encoding(WaveformAnalysisModel("a", "h", std::string(64, 'f'), peaks)));
        std::vector<TranscriptWordModel> words;
        for (int i = 0; i < 9000; ++i)
            words.push_back({"word" + std::to_string(i), i * 400'000LL, i * 400'000LL + 300'000, 0.91234, i % 50 == 0});
        std::vector<SentenceModel> sentences;
        for (int i = 0; i < 900; ++i) sentences.push_back({i * 10, i * 10 + 9});
        cacheHits(folder, "transcript",
                  encoding(TranscriptAnalysisModel("a", "h", std::string(64, 'f'), "en", "whisper_large_v3", false,
                                                   std::move(words), std::move(sentences),
                                                   std::vector<FillerCandidateModel>{}, false)));
    }
    std::error_code ec;
    fs::remove_all(folder, ec);
    return 0;
}
