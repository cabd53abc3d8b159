// Silences, waveform and the loudness analyzer over one hour of 48 kHz mono
// speech-like sound, next to ffmpeg's silencedetect and ebur128 filters given
// the very same samples as raw float through a pipe (nothing to decode), and
// the same pipe into a filter that does nothing, for the cost of feeding.
#include "Core/Analysis/LoudnessAnalyzer.hpp"
#include "Core/Analysis/SilenceDetector.hpp"
#include "Core/Analysis/Waveform.hpp"
#include "Core/Audio/PCMAudio.hpp"

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace korvel;

namespace {

// Phrases of noisy "voice" of a few seconds over a faint room, with pauses of
// 0.2 to 1.5 s between them, and a level that rides slowly.
std::vector<float> speechLike(int64_t frames) {
    std::vector<float> out(static_cast<size_t>(frames));
    uint64_t state = 0x0ddc'0ffe'e15e'a5e5ull;
    auto random = [&state] {
        state += 0x9E3779B97F4A7C15ull;
        uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1p-53;
    };
    int64_t i = 0;
    float low = 0;
    while (i < frames) {
        const auto phrase = static_cast<int64_t>((1.0 + 4.0 * random()) * 48'000);
        const auto pause = static_cast<int64_t>((0.2 + 1.3 * random()) * 48'000);
        const double level = 0.15 + 0.25 * random();
        for (int64_t k = 0; k < phrase && i < frames; ++k, ++i) {
            low += (float(random() * 2 - 1) - low) * 0.2f;
            const double syllable = 0.6 + 0.4 * std::sin(2 * M_PI * double(k) / 48'000 * 4.0);
            out[static_cast<size_t>(i)] = float(level * syllable * 3.0 * low);
        }
        for (int64_t k = 0; k < pause && i < frames; ++k, ++i) out[static_cast<size_t>(i)] = float((random() * 2 - 1) * 2e-4);
    }
    return out;
}

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

struct Run {
    double seconds = 0;
    std::string output;
};

// ffmpeg reading the samples as raw 32-bit float from its standard input;
// its report (standard error) is kept.
Run fed(const std::vector<float>& samples, const std::string& filter, const std::string& reportPath) {
    Run result;
    const std::string command = "ffmpeg -hide_banner -nostats -f f32le -ar 48000 -ac 1 -i pipe:0 -af " + filter +
                                " -f null - 2> '" + reportPath + "'";
    const auto from = std::chrono::steady_clock::now();
    FILE* pipe = popen(command.c_str(), "w");
    if (!pipe) return result;
    std::fwrite(samples.data(), sizeof(float), samples.size(), pipe);
    const int status = pclose(pipe);
    result.seconds = seconds(from);
    if (status != 0) std::fprintf(stderr, "bench: `%s` failed (%d)\n", command.c_str(), status);
    if (FILE* report = std::fopen(reportPath.c_str(), "r")) {
        char buffer[4096];
        while (size_t n = std::fread(buffer, 1, sizeof buffer, report)) result.output.append(buffer, n);
        std::fclose(report);
    }
    return result;
}

size_t occurrences(const std::string& text, const char* what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The number after the last "<label>" in ffmpeg's summary.
double lastNumberAfter(const std::string& text, const char* label) {
    const size_t at = text.rfind(label);
    return at == std::string::npos ? NAN : std::atof(text.c_str() + at + std::strlen(label));
}

} // namespace

int main(int argc, char** argv) {
    double minutes = 60;
    if (argc > 1) minutes = std::atof(argv[1]);
    const auto frames = static_cast<int64_t>(minutes * 60 * 48'000);
    std::printf("signal: %.1f min of speech-like mono sound at 48 kHz (%lld frames)\n", minutes, static_cast<long long>(frames));
    const std::vector<float> samples = speechLike(frames);

    auto from = std::chrono::steady_clock::now();
    const SilenceDetector::Result silences = SilenceDetector::analyze(samples);
    const double silenceS = seconds(from);

    from = std::chrono::steady_clock::now();
    const Waveform::Result waveform = Waveform::peaks(samples);
    const double waveformS = seconds(from);

    const PCMAudio audio = PCMAudio::mono(samples);
    from = std::chrono::steady_clock::now();
    const LoudnessReading loudness = LoudnessAnalyzer::analyze(audio);
    const double loudnessS = seconds(from);

    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/korvel-bench-sound-XXXXXX";
    const int fd = mkstemp(path.data());
    if (fd < 0) {
        std::perror("bench: mkstemp");
        return 1;
    }
    close(fd);

    char silenceFilter[128];
    std::snprintf(silenceFilter, sizeof silenceFilter, "silencedetect=noise=%.2fdB:d=0.1", silences.measurement.thresholdDb);
    const Run decodeOnly = fed(samples, "anull", path);
    const Run silenceRef = fed(samples, silenceFilter, path);
    const Run loudnessRef = fed(samples, "ebur128=peak=true", path);
    std::remove(path.c_str());

    std::printf("\ncompared: the same float samples, in memory for ours, piped raw into the ffmpeg process\n");
    std::printf("\n%-38s %10s   %s\n", "", "seconds", "result");
    std::printf("%-38s %10.3f   %zu silences (threshold %.1f dB)\n", "korvel SilenceDetector", silenceS, silences.runs.size(),
                silences.measurement.thresholdDb);
    std::printf("%-38s %10.3f   %zu silences\n", "ffmpeg silencedetect (same dB, 0.1 s)", silenceRef.seconds,
                occurrences(silenceRef.output, "silence_end"));
    std::printf("%-38s %10.3f   %zu peaks of %lld us\n", "korvel Waveform", waveformS, waveform.peaks.size(),
                static_cast<long long>(waveform.bucketUs));
    std::printf("%-38s %10.3f   %.2f LUFS, %.2f dBTP, %zu phrases\n", "korvel LoudnessAnalyzer", loudnessS,
                loudness.integratedLufs, loudness.truePeakDb, loudness.phrases.size());
    std::printf("%-38s %10.3f   %.2f LUFS, %.2f dBTP\n", "ffmpeg ebur128=peak=true", loudnessRef.seconds,
                lastNumberAfter(loudnessRef.output, "I:"), lastNumberAfter(loudnessRef.output, "Peak:"));
    std::printf("%-38s %10.3f   (the pipe and the process, included in both ffmpeg times)\n", "ffmpeg -af anull", decodeOnly.seconds);
    std::printf("korvel: silences + waveform + loudness %.3f s; ffmpeg: silencedetect + ebur128 %.3f s, "
                "%.3f s without the feeding\n",
                silenceS + waveformS + loudnessS, silenceRef.seconds + loudnessRef.seconds,
                silenceRef.seconds + loudnessRef.seconds - 2 * decodeOnly.seconds);
    return 0;
}
