// One plan mixed by the engine process (audio.mix) and by the ffmpeg tool
// doing the same work, side by side: an hour of mono AAC voice (the last
// sixth at speed 1.25), soft_bed at -18 dB, 20 effects, target -16 LUFS,
// ceiling -1 dBTP, lossless .m4a out, AAC peak check. Also voice isolation
// speed, the time of audio segments after the first, and 200 two-second
// tracks of the voice beside one track of all of it.
//
// Where the reference differs: ffmpeg's pipeline only measures the peak after
// the AAC cycle; it makes no correction for it, as the engine does.
//
// Usage: bench_audio_mix [minutes]   (default 5; 60 is the full hour)
//        bench_audio_mix long <minutes> (240 is the longest plan): the peak
//        memory of audio.mix on a plan of that length made of one minute of
//        voice looped by a track a minute (the last sixth at speed 1.25),
//        soft_bed under all of it and 20 effects, so the fixtures stay small.
//        bench_audio_mix long-file <minutes>: the same plan whose tracks play
//        one long voice file (FLAC made from the minute of voice, in the
//        temporary folder, removed after) a minute after the other.
#include "Adapters/Audio/AudioDecoder.hpp"
#include "Adapters/Audio/AudioFileWriter.hpp"
#include "Adapters/Audio/SoundIsolationAdapter.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Core/Audio/Synth/SoundRecipes.hpp"
#include "Core/JSONValue.hpp"
#include "Core/Wire/Contract.hpp"

#include <ebur128.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace korvel;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::string run(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    if (pclose(p) != 0) {
        std::fprintf(stderr, "failed: %s\n", command.c_str());
        std::exit(1);
    }
    return out;
}

// The engine as a child process with pipes; its peak memory comes from wait4.
struct Engine {
    pid_t pid = -1;
    FILE* in = nullptr;
    FILE* out = nullptr;
    Engine(const fs::path& binary, const fs::path& cache, const fs::path& temp) {
        int toChild[2], fromChild[2];
        if (pipe(toChild) || pipe(fromChild)) std::exit(1);
        pid = fork();
        if (pid == 0) {
            dup2(toChild[0], 0);
            dup2(fromChild[1], 1);
            close(toChild[1]);
            close(fromChild[0]);
            setenv("KORVEL_ENGINE_TEMP_DIR", temp.c_str(), 1);
            execl(binary.c_str(), binary.c_str(), "--cache-dir", cache.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(toChild[0]);
        close(fromChild[1]);
        in = fdopen(toChild[1], "w");
        out = fdopen(fromChild[0], "r");
    }
    JSONValue call(int64_t id, const std::string& method, const std::string& params) {
        std::fprintf(in, "{\"jsonrpc\":\"2.0\",\"id\":%lld,\"method\":\"%s\",\"params\":%s}\n",
                     static_cast<long long>(id), method.c_str(), params.c_str());
        std::fflush(in);
        std::string line;
        for (int c; (c = std::fgetc(out)) != EOF;) {
            if (c != '\n') {
                line += static_cast<char>(c);
                continue;
            }
            JSONValue v = JSONValue::parsing(line);
            line.clear();
            if (v.member("id") && v.member("id")->intValue() == id) return v;
        }
        return {};
    }
    // Ends the engine; its peak resident memory in MiB.
    double finish() {
        std::fclose(in);
        int status = 0;
        struct rusage usage {};
        wait4(pid, &status, 0, &usage);
        std::fclose(out);
        return static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
};

struct Meter {
    double integrated = 0, truePeak = 0;
};

Meter meter(const PCMAudio& audio) {
    ebur128_state* st = ebur128_init(static_cast<unsigned>(audio.channelCount()), 48000,
                                     EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    std::vector<float> chunk;
    const int64_t n = audio.frameCount();
    const auto c = static_cast<size_t>(audio.channelCount());
    for (int64_t at = 0; at < n; at += 65536) {
        const int64_t m = std::min<int64_t>(65536, n - at);
        chunk.resize(static_cast<size_t>(m) * c);
        for (int64_t i = 0; i < m; ++i)
            for (size_t k = 0; k < c; ++k) chunk[static_cast<size_t>(i) * c + k] = audio.channels[k][static_cast<size_t>(at + i)];
        ebur128_add_frames_float(st, chunk.data(), static_cast<size_t>(m));
    }
    Meter out;
    ebur128_loudness_global(st, &out.integrated);
    double peak = 0;
    for (unsigned k = 0; k < c; ++k) {
        double p = 0;
        ebur128_true_peak(st, k, &p);
        peak = std::max(peak, p);
    }
    out.truePeak = 20 * std::log10(std::max(peak, 1e-6));
    ebur128_destroy(&st);
    return out;
}

// The AAC round trip the ceiling is held for, measured the same way for both outputs.
Meter afterAAC(const fs::path& file, const fs::path& folder) {
    const fs::path aac = folder / ("check-" + file.filename().string());
    run("ffmpeg -nostdin -v error -y -i '" + file.string() + "' -c:a aac -b:a 256k '" + aac.string() + "'");
    return meter(AudioDecoder::read(aac, 2, JobContext::silent()));
}

std::string num(double v) {
    char b[64];
    std::snprintf(b, sizeof b, "%.6f", v);
    return b;
}

} // namespace

// The peak memory of one audio.mix of a long plan, beside the stereo float mix's size.
int longPlan(double minutes, bool oneFile) {
    const fs::path engineBinary = fs::canonical("/proc/self/exe").parent_path() / "korvel-engine";
    const fs::path folder = fs::temp_directory_path() / ("korvel-bench-audio-long-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const int64_t D = static_cast<int64_t>(minutes * 60e6);
    const fs::path speechWav = folder / "speech.wav", voice = folder / "voice.m4a";
    run("espeak-ng -w '" + speechWav.string() +
        "' 'Good evening. This is one minute of one voice, read at an even pace, with pauses between its sentences.'");
    run("ffmpeg -nostdin -v error -y -stream_loop -1 -i '" + speechWav.string() +
        "' -t 60 -ar 48000 -ac 1 -c:a aac -b:a 96k '" + voice.string() + "'");
    fs::path voiceSource = voice;
    if (oneFile) {
        // Long enough for the plan's sped-up last sixth; one minute more.
        const double seconds = static_cast<double>(D) * 1.05 / 1e6 + 60;
        voiceSource = folder / "voice-long.flac";
        run("ffmpeg -nostdin -v error -y -stream_loop -1 -i '" + voice.string() + "' -t " + num(seconds) +
            " -ar 48000 -ac 1 -c:a flac '" + voiceSource.string() + "'");
        std::printf("one long voice file: %.0f MiB FLAC\n", static_cast<double>(fs::file_size(voiceSource)) / 1048576.0);
    }
    const std::string hash = run("sha256sum '" + voiceSource.string() + "'").substr(0, 64);
    auto trackJSON = [](const std::string& id, const std::string& role, const std::string& source, int64_t s0,
                        int64_t s1, int64_t o0, int64_t o1, double speed, const std::string& gain) {
        return "{\"id\":\"" + id + "\",\"role\":\"" + role + "\"," + source + ",\"srcStartUs\":" + std::to_string(s0) +
               ",\"srcEndUs\":" + std::to_string(s1) + ",\"outStartUs\":" + std::to_string(o0) +
               ",\"outEndUs\":" + std::to_string(o1) + ",\"speed\":" + num(speed) + ",\"gain\":" + gain +
               ",\"isolation\":null}";
    };
    const std::string asset = "\"assetId\":\"v\",\"generated\":null";
    std::string tracks = trackJSON("bed", "music", "\"assetId\":null,\"generated\":{\"recipe\":\"soft_bed\",\"seed\":11}",
                                   0, D, 0, D, 1.0, "[{\"outUs\":0,\"gainDb\":-18}]");
    int64_t at = 0, srcAt = 0;
    int voiceTracks = 0;
    for (int i = 0; at < D; ++i, ++voiceTracks) {
        const bool fast = at >= D - D / 6;
        const int64_t length = std::min<int64_t>(fast ? 48'000'000 : 60'000'000, D - at);
        const int64_t source = fast ? length * 5 / 4 : length;
        const int64_t s0 = oneFile ? srcAt : 0;
        tracks += "," + trackJSON("v" + std::to_string(i), "voice", asset, s0, s0 + source, at, at + length,
                                  fast ? 1.25 : 1.0, "[]");
        at += length;
        srcAt += source;
    }
    for (int i = 0; i < 20; ++i) {
        const auto name = SoundRecipes::effects[static_cast<size_t>(i) % SoundRecipes::effects.size()];
        const int64_t len = PCMAudio::microseconds(SoundRecipes::render(name, i, std::nullopt).frameCount());
        const int64_t start = (D - 2'000'000) * (i + 1) / 21;
        tracks += "," + trackJSON("fx" + std::to_string(i), "sound_effect",
                                  "\"assetId\":null,\"generated\":{\"recipe\":\"" + std::string(name) +
                                      "\",\"seed\":" + std::to_string(i) + "}",
                                  0, len, start, start + len, 1.0, "[]");
    }
    const std::string plan = "{\"durationUs\":" + std::to_string(D) + ",\"audioMix\":{\"targetLufs\":-16,\"truePeakDb\":-1,"
                             "\"tracks\":[" + tracks + "]}}";
    const std::string sources = "{\"v\":{\"path\":\"" + voiceSource.string() + "\",\"contentHash\":\"" + hash + "\"}}";
    const fs::path ours = folder / "ours.wav";
    Engine engine(engineBinary, folder / "cache", folder);
    const auto start = Clock::now();
    JSONValue answer = engine.call(1, "audio.mix",
                                   "{\"outPath\":\"" + ours.string() + "\",\"plan\":" + plan + ",\"sources\":" + sources + "}");
    const double seconds = since(start);
    const double peakMiB = engine.finish();
    if (!answer.member("result")) {
        std::fprintf(stderr, "audio.mix failed: %s\n", answer.canonical().c_str());
        fs::remove_all(folder);
        return 1;
    }
    const double mixMiB = static_cast<double>(PCMAudio::frames(D)) * 2 * 4 / 1048576.0;
    std::printf("long plan: %.1f min, %s by %d tracks, soft_bed, 20 effects, target -16 LUFS, float WAV out\n",
                minutes, oneFile ? "one long voice file played" : "one minute of voice looped", voiceTracks);
    std::printf("engine answer: %s\n", answer.member("result")->canonical().c_str());
    std::printf("audio.mix wall time: %.2f s\n", seconds);
    std::printf("engine peak memory: %.0f MiB (%.2fx the %.0f MiB stereo float mix)\n", peakMiB, peakMiB / mixMiB, mixMiB);
    fs::remove_all(folder);
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "long") return longPlan(std::atof(argv[2]), false);
    if (argc > 2 && std::string(argv[1]) == "long-file") return longPlan(std::atof(argv[2]), true);
    const double minutes = argc > 1 ? std::atof(argv[1]) : 5;
    const fs::path engineBinary = fs::canonical("/proc/self/exe").parent_path() / "korvel-engine";
    const fs::path folder = fs::temp_directory_path() / ("korvel-bench-audio-" + std::to_string(getpid()));
    fs::create_directories(folder);
    const int64_t D = static_cast<int64_t>(minutes * 60e6);
    const int64_t t = D / 6; // the stretch played at speed 1.25
    const double sourceSeconds = static_cast<double>(D + t / 4) / 1e6 + 1;

    // Inputs made at run time: espeak-ng speech looped to length as mono AAC,
    // and the bed and effects rendered by the engine's synthesis as float WAV
    // so both sides mix the same samples.
    std::printf("input: %.1f min of mono AAC voice, soft_bed at -18 dB, 20 effects, last %.1f min at speed 1.25\n",
                minutes, static_cast<double>(t) / 60e6);
    const fs::path speechWav = folder / "speech.wav", voice = folder / "voice.m4a";
    run("espeak-ng -w '" + speechWav.string() +
        "' 'Good evening. This is a long recording of one voice, read at an even pace, with pauses between its "
        "sentences. It goes on, and on, and then it goes on a little more, so that the mix has something to level.'");
    run("ffmpeg -nostdin -v error -y -stream_loop -1 -i '" + speechWav.string() + "' -t " + num(sourceSeconds) +
        " -ar 48000 -ac 1 -c:a aac -b:a 96k '" + voice.string() + "'");
    const fs::path bedWav = folder / "bed.wav";
    AudioFileWriter::writeWav(SoundRecipes::render("soft_bed", 11, PCMAudio::frames(D)), bedWav, std::nullopt);
    std::vector<fs::path> effectFiles;
    std::vector<int64_t> effectStarts;
    for (int i = 0; i < 20; ++i) {
        const auto name = SoundRecipes::effects[static_cast<size_t>(i) % SoundRecipes::effects.size()];
        const fs::path f = folder / ("fx" + std::to_string(i) + ".wav");
        PCMAudio fx = SoundRecipes::render(name, i, std::nullopt);
        fx.channels.push_back(fx.channels[0]); // the engine mixes effects in stereo
        AudioFileWriter::writeWav(fx, f, std::nullopt);
        effectFiles.push_back(f);
        effectStarts.push_back((D - 2'000'000) * (i + 1) / 21);
    }
    const std::string hash = run("sha256sum '" + voice.string() + "'").substr(0, 64);

    // The plan.
    auto trackJSON = [](const std::string& id, const std::string& role, const std::string& source, int64_t s0,
                        int64_t s1, int64_t o0, int64_t o1, double speed, const std::string& gain) {
        return "{\"id\":\"" + id + "\",\"role\":\"" + role + "\"," + source + ",\"srcStartUs\":" + std::to_string(s0) +
               ",\"srcEndUs\":" + std::to_string(s1) + ",\"outStartUs\":" + std::to_string(o0) +
               ",\"outEndUs\":" + std::to_string(o1) + ",\"speed\":" + num(speed) + ",\"gain\":" + gain +
               ",\"isolation\":null}";
    };
    const std::string asset = "\"assetId\":\"v\",\"generated\":null";
    std::string tracks = trackJSON("v1", "voice", asset, 0, D - t, 0, D - t, 1.0, "[]") + "," +
                         trackJSON("v2", "voice", asset, D - t, D - t + t * 5 / 4, D - t, D, 1.25, "[]") + "," +
                         trackJSON("bed", "music", "\"assetId\":null,\"generated\":{\"recipe\":\"soft_bed\",\"seed\":11}",
                                   0, D, 0, D, 1.0, "[{\"outUs\":0,\"gainDb\":-18}]");
    for (int i = 0; i < 20; ++i) {
        const auto name = SoundRecipes::effects[static_cast<size_t>(i) % SoundRecipes::effects.size()];
        const int64_t len = PCMAudio::microseconds(SoundRecipes::render(name, i, std::nullopt).frameCount());
        tracks += "," + trackJSON("fx" + std::to_string(i), "sound_effect",
                                  "\"assetId\":null,\"generated\":{\"recipe\":\"" + std::string(name) +
                                      "\",\"seed\":" + std::to_string(i) + "}",
                                  0, len, effectStarts[static_cast<size_t>(i)], effectStarts[static_cast<size_t>(i)] + len,
                                  1.0, "[]");
    }
    const std::string plan = "{\"durationUs\":" + std::to_string(D) + ",\"audioMix\":{\"targetLufs\":-16,\"truePeakDb\":-1,"
                             "\"tracks\":[" + tracks + "]}}";
    const std::string sources = "{\"v\":{\"path\":\"" + voice.string() + "\",\"contentHash\":\"" + hash + "\"}}";

    std::string load;
    {
        std::ifstream loadavg("/proc/loadavg");
        std::string one, five, fifteen;
        loadavg >> one >> five >> fifteen;
        load = one + " " + five + " " + fifteen;
    }
    // Ours: the engine process answering audio.mix.
    const fs::path ours = folder / "ours.m4a";
    Engine engine(engineBinary, folder / "cache", folder);
    auto start = Clock::now();
    JSONValue answer = engine.call(1, "audio.mix",
                                   "{\"outPath\":\"" + ours.string() + "\",\"plan\":" + plan + ",\"sources\":" + sources + "}");
    const double ourSeconds = since(start);
    if (!answer.member("result")) {
        std::fprintf(stderr, "audio.mix failed: %s\n", answer.canonical().c_str());
        return 1;
    }

    // Audio segments of the same plan: the first starts the stream, the rest are cut from it.
    const std::string segmentPlan = "{\"version\":1,\"canvas\":{\"format\":\"vertical\",\"width\":1080,\"height\":1920,"
                                    "\"fps\":{\"num\":30,\"den\":1}},\"segments\":[],\"videoOverlays\":[],\"textItems\":[],"
                                    "\"colorStack\":[],\"background\":null,\"timeMap\":{\"entries\":[]},\"textEntrances\":{},"
                                    "\"assetContent\":{}," + plan.substr(1);
    auto segmentAt = [&](int64_t id, int64_t s) {
        auto t0 = Clock::now();
        JSONValue seg = engine.call(id, "render.segment",
                                    "{\"key\":\"s" + std::to_string(id) + "\",\"variant\":\"after\",\"track\":\"audio\","
                                    "\"outStartUs\":" + std::to_string(s) + ",\"outEndUs\":" + std::to_string(s + 2'000'000) +
                                    ",\"outPath\":\"" + (folder / ("seg" + std::to_string(id) + ".m4s")).string() +
                                    "\",\"plan\":" + segmentPlan + ",\"sources\":" + sources + "}");
        if (!seg.member("result")) std::fprintf(stderr, "render.segment failed: %s\n", seg.canonical().c_str());
        return since(t0);
    };
    // The first window starts the stream; the last one waits for the whole encode.
    const double firstSegment = segmentAt(100, 0);
    const double lastSegment = segmentAt(101, D - 2'000'000);
    double laterWorst = 0, laterTotal = 0;
    const int segments = 20;
    for (int i = 0; i < segments; ++i) {
        const double took = segmentAt(200 + i, (D - 2'000'000) * i / segments);
        laterWorst = std::max(laterWorst, took);
        laterTotal += took;
    }
    // One source cut into 200 two-second tracks, beside one track of all of it:
    // the source is decoded once either way.
    auto voiceMix = [&](int64_t id, const std::string& tracksJSON) {
        const std::string p = "{\"durationUs\":" + std::to_string(D) +
                              ",\"audioMix\":{\"targetLufs\":null,\"truePeakDb\":-1,\"tracks\":[" + tracksJSON + "]}}";
        auto t0 = Clock::now();
        JSONValue a = engine.call(id, "audio.mix", "{\"outPath\":\"" + (folder / "voice.wav").string() +
                                                       "\",\"plan\":" + p + ",\"sources\":" + sources + "}");
        if (!a.member("result")) std::fprintf(stderr, "audio.mix failed: %s\n", a.canonical().c_str());
        return since(t0);
    };
    const double oneTrack = voiceMix(300, trackJSON("one", "voice", asset, 0, D, 0, D, 1.0, "[]"));
    std::string manyTracks;
    const int64_t step = std::max<int64_t>(2'000'000, D / 200);
    for (int i = 0; i < 200; ++i) {
        const int64_t at = std::min<int64_t>(D - 2'000'000, step * i);
        manyTracks += (i ? "," : "") + trackJSON("t" + std::to_string(i), "voice", asset, at, at + 2'000'000, at,
                                                 at + 2'000'000, 1.0, "[]");
    }
    const double manyTracksSeconds = voiceMix(301, manyTracks);
    const double peakMiB = engine.finish();

    // Reference: the ffmpeg tool, two-pass loudnorm over amix, ALAC out, then the AAC peak check.
    const fs::path theirs = folder / "ffmpeg.m4a";
    std::string inputs = "-i '" + voice.string() + "' -i '" + bedWav.string() + "'";
    for (const auto& f : effectFiles) inputs += " -i '" + f.string() + "'";
    const double cut = static_cast<double>(D - t) / 1e6, end = static_cast<double>(D - t + t * 5 / 4) / 1e6;
    std::string graph = "[0:a]atrim=0:" + num(cut) + ",asetpts=N/SR/TB[v1];[0:a]atrim=" + num(cut) + ":" + num(end) +
                        ",asetpts=N/SR/TB,atempo=1.25[v2];[v1][v2]concat=n=2:v=0:a=1,pan=stereo|c0=c0|c1=c0[voice];"
                        "[1:a]volume=-18dB[bed];";
    std::string mixIn = "[voice][bed]";
    for (int i = 0; i < 20; ++i) {
        const std::string ms = std::to_string(effectStarts[static_cast<size_t>(i)] / 1000);
        graph += "[" + std::to_string(i + 2) + ":a]adelay=" + ms + "|" + ms + "[fx" + std::to_string(i) + "];";
        mixIn += "[fx" + std::to_string(i) + "]";
    }
    graph += mixIn + "amix=inputs=22:normalize=0:duration=first,atrim=0:" + num(static_cast<double>(D) / 1e6);
    start = Clock::now();
    const std::string pass1 = run("ffmpeg -nostdin -hide_banner -y " + inputs + " -filter_complex \"" + graph +
                                  ",loudnorm=I=-16:TP=-1:print_format=json\" -f null - 2>&1");
    auto field = [&](const std::string& key) {
        const size_t at = pass1.find("\"" + key + "\"");
        const size_t q = pass1.find('"', pass1.find(':', at) + 1);
        return pass1.substr(q + 1, pass1.find('"', q + 1) - q - 1);
    };
    run("ffmpeg -nostdin -v error -y " + inputs + " -filter_complex \"" + graph +
        ",loudnorm=I=-16:TP=-1:linear=true:measured_I=" + field("input_i") + ":measured_TP=" + field("input_tp") +
        ":measured_LRA=" + field("input_lra") + ":measured_thresh=" + field("input_thresh") + ":offset=" +
        field("target_offset") + ",aresample=48000\" -c:a alac -sample_fmt s32p '" + theirs.string() + "'");
    const fs::path theirAAC = folder / "ffmpeg-check.m4a";
    run("ffmpeg -nostdin -v error -y -i '" + theirs.string() + "' -c:a aac -b:a 256k '" + theirAAC.string() + "'");
    run("ffmpeg -nostdin -hide_banner -i '" + theirAAC.string() + "' -af ebur128=peak=true -f null - 2>&1");
    const double theirSeconds = since(start);

    // Isolation speed on one core.
    const auto speech = AudioDecoder::read(speechWav, 1, JobContext::silent()).channels[0];
    std::vector<float> minute;
    while (minute.size() < 60 * 48000) minute.insert(minute.end(), speech.begin(), speech.end());
    minute.resize(60 * 48000);
    SoundIsolationAdapter isolator(SoundIsolationAdapter::Mode::voice, std::make_shared<IsolationCalibration>());
    start = Clock::now();
    isolator.isolate(minute, 1.0, JobContext::silent());
    const double isolationSeconds = since(start);

    const Meter o = meter(AudioDecoder::read(ours, 2, JobContext::silent()));
    const Meter f = meter(AudioDecoder::read(theirs, 2, JobContext::silent()));
    const Meter oa = afterAAC(ours, folder), fa = afterAAC(theirs, folder);
    const double mixMiB = static_cast<double>(PCMAudio::frames(D)) * 2 * 4 / 1048576.0;

    std::printf("compared: korvel-engine process (audio.mix) vs ffmpeg CLI processes (2-pass loudnorm over amix, "
                "ALAC encode, AAC peak check with ebur128=peak=true); same voice file, same bed and effect samples; "
                "the reference makes no peak correction after the AAC cycle; load average %s at the start\n",
                load.c_str());
    std::printf("%-34s %14s %14s\n", "", "korvel-engine", "ffmpeg");
    std::printf("%-34s %14.2f %14.2f\n", "wall time (s)", ourSeconds, theirSeconds);
    std::printf("%-34s %14.2f %14.2f\n", "integrated loudness (LUFS)", o.integrated, f.integrated);
    std::printf("%-34s %14.2f %14.2f\n", "true peak (dBTP)", o.truePeak, f.truePeak);
    std::printf("%-34s %14.2f %14.2f\n", "true peak after AAC 256k (dBTP)", oa.truePeak, fa.truePeak);
    std::printf("engine answer: %s\n", answer.member("result")->canonical().c_str());
    std::printf("engine peak memory: %.0f MiB (%.1fx the %.0f MiB stereo float mix)\n", peakMiB, peakMiB / mixMiB, mixMiB);
    std::printf("one source: 1 track of %.1f min %.2f s, 200 tracks of 2 s %.2f s (%.2fx)\n", minutes, oneTrack,
                manyTracksSeconds, manyTracksSeconds / oneTrack);
    std::printf("isolation: 60 s in %.2f s on one core = %.0fx real time\n", isolationSeconds, 60 / isolationSeconds);
    std::printf("audio segments (2 s): first %.2f s (mix, stream start), last window %.2f s (whole stream encoded), "
                "%d later ones worst %.1f ms, mean %.1f ms\n",
                firstSegment, lastSegment, segments, laterWorst * 1000, laterTotal * 1000 / segments);
    fs::remove_all(folder);
    return 0;
}
