// One engine driven for N minutes the way an editor drives it (the mixed
// load of tests/support/SessionLoad.hpp: four requests in flight, one in
// ten cancelled, 720p and 1080p sources made here), printing each period
// the engine's resident memory, threads, descriptors, scratch files and
// cache beside the requests answered and the machine's load. The aim: what
// the engine keeps with no request running grows by less than 10% from
// minute five to the end, and the peak stays under 1.5 GB.
// Usage: bench_session [--minutes N] [--seconds-per-report S] [--folder F] [--seed N]
#include "tests/support/SessionLoad.hpp"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <thread>

namespace fs = std::filesystem;
using namespace korvel::testing;

int main(int argc, char** argv) {
    double minutes = 30, secondsPerReport = 60;
    fs::path folder = fs::temp_directory_path() / "korvel-bench-session";
    uint64_t seed = 29;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--minutes")) minutes = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--seconds-per-report")) secondsPerReport = std::atof(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--folder")) folder = argv[i + 1];
        else if (!std::strcmp(argv[i], "--seed")) seed = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: bench_session [--minutes N] [--seconds-per-report S] [--folder F] [--seed N]\n");
            return 2;
        }
    }
    if (minutes <= 0 || secondsPerReport <= 0) return 2;
    // The sources are kept between runs; the engine's folders start empty.
    const fs::path temp = folder / "temp", cache = folder / "cache", outputs = folder / "outputs";
    for (const auto& f : {temp, cache, outputs}) fs::remove_all(f);
    fs::remove_all(folder / "media");
    fs::create_directories(temp);
    auto media = SessionMedia::make(folder / "media", {{"720p-6s", 1280, 720, 6, 30},
                                                       {"720p-12s", 1280, 720, 12, 60},
                                                       {"1080p-4s", 1920, 1080, 4, 30},
                                                       {"1080p-20s", 1920, 1080, 20, 60}});
    if (!media) {
        std::fprintf(stderr, "ffmpeg could not make the sources\n");
        return 1;
    }
    EngineProcess engine({"--cache-dir", cache.string()}, {"KORVEL_ENGINE_TEMP_DIR=" + temp.string()});
    SessionLoad load(engine, *media, outputs, {.seed = seed});

    std::printf("One korvel-engine (pid %d) driven for %.3g minutes as an editor drives it: probes, thumbnails, preview "
                "windows copied and rendered (a look, grain, matched gains, plain cuts) with their sound, scrubbing "
                "with render.frame on a plan that changes every four frames, text measuring and layout, mixes, sound "
                "and picture analyses, exports now and then, a new import every 150 requests; four requests in "
                "flight, one in ten cancelled 20-400 ms after it is sent; sources 1280x720 (6 s, 12 s) and 1920x1080 "
                "(4 s, 20 s), canvases 720p and 1080p. Load average at the start %s, %u cores.\n",
                engine.pid(), minutes, loadAverage().c_str(), std::thread::hardware_concurrency());
    std::printf("%7s %9s %9s %7s %5s %5s %9s %6s %6s %9s  %s\n", "minute", "RSS MiB", "HWM MiB", "threads", "fds",
                "temp", "cache MiB", "done", "failed", "cancelled", "load average");
    struct Report {
        double minute;
        EngineVitals vitals;
    };
    std::vector<Report> reports;
    const auto start = SessionLoad::Clock::now();
    const auto period = std::chrono::duration_cast<SessionLoad::Clock::duration>(std::chrono::duration<double>(secondsPerReport));
    const auto end = start + std::chrono::duration_cast<SessionLoad::Clock::duration>(std::chrono::duration<double>(minutes * 60));
    bool answering = true;
    // What the engine keeps once its requests have ended and what is kept
    // for a while has gone back (readers kept for the next frame close after
    // 10 s unused, then their pictures wait 10 s in the frame pool): the
    // in-flight figure follows whatever happens to be running when it is read.
    const double baseMinute = minutes >= 6 ? 5.0 : minutes / 2;
    auto settled = [&](double minute) -> int64_t {
        answering = answering && load.drain();
        std::this_thread::sleep_for(std::chrono::seconds(25));
        const EngineVitals v = EngineVitals::of(engine.pid());
        std::printf("%7.2f %9.1f  settled: no request running, 25 s after the last answer\n", minute, v.residentKiB / 1024.0);
        std::fflush(stdout);
        return v.residentKiB;
    };
    std::optional<int64_t> settledBase;
    double settledBaseMinute = 0;
    for (auto at = start + period; answering && at <= end + std::chrono::milliseconds(1); at += period) {
        answering = load.runUntil(at);
        const double minute = std::chrono::duration<double>(SessionLoad::Clock::now() - start).count() / 60;
        const EngineVitals v = EngineVitals::of(engine.pid());
        const SessionCounts c = load.take();
        reports.push_back({minute, v});
        std::printf("%7.2f %9.1f %9.1f %7lld %5lld %5lld %9.1f %6lld %6lld %9lld  %s\n", minute, v.residentKiB / 1024.0,
                    v.peakResidentKiB / 1024.0, static_cast<long long>(v.threads), static_cast<long long>(v.descriptors),
                    static_cast<long long>(filesIn(temp)), static_cast<double>(bytesUnder(cache)) / (1 << 20),
                    static_cast<long long>(c.answered - c.failed - c.cancelled), static_cast<long long>(c.failed),
                    static_cast<long long>(c.cancelled), loadAverage().c_str());
        std::fflush(stdout);
        if (!settledBase && minute >= baseMinute - 0.01 && at + period <= end + std::chrono::milliseconds(1)) {
            settledBaseMinute = minute;
            settledBase = settled(minute);
        }
    }
    if (!answering) std::printf("The engine stopped answering: %s\n", load.lastStall().c_str());
    else load.drain();

    const SessionCounts& total = load.total();
    std::printf("Requests: %lld sent, %lld answered, %lld failed, %lld cancelled (%lld cancels sent)\n",
                static_cast<long long>(total.sent), static_cast<long long>(total.answered),
                static_cast<long long>(total.failed), static_cast<long long>(total.cancelled),
                static_cast<long long>(total.cancelsSent));
    if (!total.failures.empty()) std::printf("Failures by code:\n%s", total.failureLines().c_str());
    if (reports.empty()) return 1;
    const double endMinute = std::chrono::duration<double>(SessionLoad::Clock::now() - start).count() / 60;
    const int64_t settledEnd = settled(endMinute);
    // The first report at or after minute five (the middle of a run shorter than six minutes) against the last.
    const Report* base = &reports.front();
    for (const auto& r : reports)
        if (r.minute >= baseMinute - 0.01) {
            base = &r;
            break;
        }
    const Report& last = reports.back();
    const double growth = 100.0 * static_cast<double>(last.vitals.residentKiB - base->vitals.residentKiB) /
                          static_cast<double>(std::max<int64_t>(1, base->vitals.residentKiB));
    const double peakMiB = static_cast<double>(last.vitals.peakResidentKiB) / 1024;
    const int64_t kept0 = settledBase.value_or(settledEnd);
    const double keptGrowth = 100.0 * static_cast<double>(settledEnd - kept0) / static_cast<double>(std::max<int64_t>(1, kept0));
    const bool plateau = keptGrowth < 10 && answering && total.failed == 0;
    const bool peakHolds = peakMiB < 1.5e9 / (1 << 20);
    std::printf("Compared: resident memory kept with no request running, minute %.2f (%.1f MiB) against the end, minute "
                "%.2f (%.1f MiB): %+.1f%% (aim < 10%%): plateau %s; while requests ran, minute %.2f (%.1f MiB) against "
                "minute %.2f (%.1f MiB): %+.1f%%; peak %.1f MiB (aim < 1430.5 MiB = 1.5 GB at 1080p, four renders in "
                "flight): %s; load average at the end %s.\n",
                settledBaseMinute, kept0 / 1024.0, endMinute, settledEnd / 1024.0, keptGrowth, plateau ? "holds" : "does not hold",
                base->minute, base->vitals.residentKiB / 1024.0, last.minute, last.vitals.residentKiB / 1024.0, growth,
                peakMiB, peakHolds ? "holds" : "does not hold", loadAverage().c_str());
    engine.closeInput();
    engine.wait(std::chrono::seconds(20));
    return plateau && peakHolds ? 0 : 3;
}
