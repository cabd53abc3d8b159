// Probing a one-hour, 30 fps MP4, compared like with like:
//  (a) process against process: start korvel-engine, engine.hello, one
//      asset.probe (its first, so it hashes the file), exit; against
//      `ffprobe -show_streams`;
//  (b) library against library in this process: our movie-box reader (and the
//      whole video opening of the probe) against avformat_open_input +
//      avformat_find_stream_info on the same file;
//  (c) the content hash against `sha256sum`.
// The movie is made once (a minute encoded at a tiny size, then copied sixty
// times over) in the folder given as the first argument, or in the system's
// temporary folder.
#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Media/MovieFile.hpp"
#include "Adapters/Render/Sources/VideoOpener.hpp"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int runs = 5;

bool shell(const std::string& command) { return std::system(command.c_str()) == 0; }

fs::path makeHour(const fs::path& folder) {
    fs::create_directories(folder);
    fs::path hour = folder / "hour-30fps.mp4";
    if (fs::exists(hour)) return hour;
    fs::path minute = folder / "minute-30fps.mp4";
    std::string ff = "ffmpeg -nostdin -v error -y ";
    if (!shell(ff + "-f lavfi -i testsrc2=size=96x64:rate=30:duration=60 -c:v libx264 -preset ultrafast -g 60 '" +
               minute.string() + "'") ||
        !shell(ff + "-stream_loop 59 -i '" + minute.string() + "' -c copy -movflags +faststart '" + hour.string() + ".part.mp4'")) {
        std::fprintf(stderr, "could not make the hour-long movie\n");
        std::exit(1);
    }
    fs::rename(hour.string() + ".part.mp4", hour);
    return hour;
}

// Best of a few runs, in milliseconds.
double best(const std::function<void()>& work) {
    double fastest = 1e300;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        work();
        fastest = std::min(fastest, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return fastest;
}

void row(const char* what, double ours, const char* reference, double theirs) {
    std::printf("  %-40s %9.2f ms   %-44s %9.2f ms   %5.2fx\n", what, ours, reference, theirs, theirs / ours);
}

// One engine process: the handshake and one probe, answered before its input
// closes (an engine at end of input cancels what still runs), then its exit.
void engineProbe(const fs::path& movie, const fs::path& cache) {
    int in[2], out[2];
    if (::pipe(in) || ::pipe(out)) std::exit(1);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::close(in[1]);
        ::close(out[0]);
        ::execl(KORVEL_ENGINE_PATH, KORVEL_ENGINE_PATH, "--cache-dir", cache.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    std::string lines = R"({"jsonrpc":"2.0","id":1,"method":"engine.hello","params":{"contractVersion":9}})" "\n"
                        R"({"jsonrpc":"2.0","id":2,"method":"asset.probe","params":{"path":")" + movie.string() + "\"}}\n";
    if (::write(in[1], lines.data(), lines.size()) != static_cast<ssize_t>(lines.size())) std::exit(1);
    std::string answers;
    char buf[4096];
    while (std::count(answers.begin(), answers.end(), '\n') < 2) {
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        answers.append(buf, static_cast<size_t>(n));
    }
    ::close(in[1]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(out[0]);
    if (answers.find("\"contentHash\"") == std::string::npos) {
        std::fprintf(stderr, "the engine did not answer the probe: %s\n", answers.c_str());
        std::exit(1);
    }
}

void ffmpegOpen(const fs::path& movie) {
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, movie.c_str(), nullptr, nullptr) < 0) std::exit(1);
    if (avformat_find_stream_info(format, nullptr) < 0) std::exit(1);
    avformat_close_input(&format);
}

} // namespace

int main(int argc, char** argv) {
    fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "korvel-bench";
    fs::path hour = makeHour(folder);
    std::string quoted = "'" + hour.string() + "'";
    std::printf("file: %s (%.1f MB, %lld frames)\n", hour.c_str(), static_cast<double>(fs::file_size(hour)) / 1e6,
                static_cast<long long>(VideoOpener::open(hour).table.count()));
    av_log_set_level(AV_LOG_QUIET);

    int round = 0;
    double engine = best([&] {
        // A fresh cache and a fresh process each time: the first probe of a file hashes it.
        fs::path cache = folder / ("engine-cache-" + std::to_string(++round));
        fs::remove_all(cache);
        engineProbe(hour, cache);
        fs::remove_all(cache);
    });
    double ffprobe = best([&] { shell("ffprobe -v error -show_streams " + quoted + " > /dev/null"); });
    double movieBox = best([&] { (void)MovieFile(hour).movieBox(); });
    double opening = best([&] { VideoOpener::open(hour); });
    double avformat = best([&] { ffmpegOpen(hour); });
    double hashing = best([&] { FileDigest::sha256(hour); });
    double sha256sum = best([&] { shell("sha256sum " + quoted + " > /dev/null"); });

    std::printf("\n(a) process vs process: start, answer one probe (ours hashes the file first), exit\n");
    row("korvel-engine: engine.hello + asset.probe", engine, "ffprobe -show_streams", ffprobe);
    std::printf("(b) library vs library, in this process, same file\n");
    row("movie-box reader (moov and its tables)", movieBox, "avformat_open_input + find_stream_info", avformat);
    row("video opening (box, tables, frame checks)", opening, "avformat_open_input + find_stream_info", avformat);
    std::printf("(c) whole-file SHA-256, library vs process\n");
    row("FileDigest::sha256", hashing, "sha256sum", sha256sum);
    return 0;
}
