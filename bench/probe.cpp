// Probes a one-hour, 30 fps MP4 next to `ffprobe -show_streams`, and hashes
// it next to `sha256sum`. The movie is made once (a minute encoded at a tiny
// size, then copied sixty times over) in the folder given as the first
// argument, or in the system's temporary folder.
#include "Adapters/FileDigest.hpp"
#include "Adapters/Render/ProbeService.hpp"
#include "Adapters/Render/VideoOpener.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
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
    std::printf("%-34s %9.1f ms   %-28s %9.1f ms   %5.2fx\n", what, ours, reference, theirs, theirs / ours);
}

} // namespace

int main(int argc, char** argv) {
    fs::path folder = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "korvel-bench";
    fs::path hour = makeHour(folder);
    std::string quoted = "'" + hour.string() + "'";
    std::printf("file: %s (%.1f MB)\n", hour.c_str(), static_cast<double>(fs::file_size(hour)) / 1e6);

    ProbeResult result;
    double cold = best([&] { result = ProbeService().probe({hour.string()}); });
    std::printf("probe: %s frames=%lld durationUs=%lld\n", result.kind == AssetKind::video ? "video" : "?",
                static_cast<long long>(VideoOpener::open(hour).table.count()), static_cast<long long>(result.durationUs));

    // The probe without its content hash: movie box, tables and the decode
    // checks of the first and last frame.
    double opening = best([&] { VideoOpener::open(hour); });
    double ffprobe = best([&] { shell("ffprobe -v error -show_streams " + quoted + " > /dev/null"); });
    double hashing = best([&] { FileDigest::sha256(hour); });
    double sha256sum = best([&] { shell("sha256sum " + quoted + " > /dev/null"); });

    std::printf("\n%-34s %12s   %-28s %12s   %6s\n", "engine", "", "reference", "", "ratio");
    row("probe without hash (open video)", opening, "ffprobe -show_streams", ffprobe);
    row("probe, first time (hash + open)", cold, "ffprobe -show_streams", ffprobe);
    row("content hash (SHA-256)", hashing, "sha256sum", sha256sum);
    return 0;
}
