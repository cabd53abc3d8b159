#pragma once

// An editor's session in miniature, shared by the session benchmark and its
// short black-box test: one engine kept busy with probes, thumbnails,
// preview windows copied and rendered, scrubbing on a plan that changes
// every few frames, text, mixes, sound and picture analyses and exports,
// up to four requests in flight and one in ten cancelled shortly after it
// is sent. Every answer is checked, and each output removed once checked.

#include "Core/JSONValue.hpp"
#include "tests/blackbox/EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace korvel::testing {

// What the system says of one process, read from /proc.
struct EngineVitals {
    int64_t residentKiB = 0, peakResidentKiB = 0, threads = 0, descriptors = 0;

    static EngineVitals of(int pid) {
        EngineVitals v;
        const std::string root = "/proc/" + std::to_string(pid);
        std::ifstream status(root + "/status");
        std::string key;
        while (status >> key) {
            if (key == "VmRSS:") status >> v.residentKiB;
            else if (key == "VmHWM:") status >> v.peakResidentKiB;
            else if (key == "Threads:") status >> v.threads;
            std::string rest;
            std::getline(status, rest);
        }
        std::error_code ec;
        for (auto it = std::filesystem::directory_iterator(root + "/fd", ec); !ec && it != std::filesystem::directory_iterator();
             it.increment(ec))
            ++v.descriptors;
        return v;
    }

    // With nothing asked of it: the least the engine holds over a short
    // window, once the work that just answered has let go (the heap is given
    // back half a second after a render ends).
    static EngineVitals settled(int pid, std::chrono::milliseconds window = std::chrono::seconds(3)) {
        EngineVitals least = of(pid);
        const auto until = std::chrono::steady_clock::now() + window;
        while (std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            const EngineVitals now = of(pid);
            if (now.residentKiB < least.residentKiB) least = now;
        }
        return least;
    }
};

inline int64_t filesIn(const std::filesystem::path& folder) {
    int64_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        if (!it->is_directory(ec)) ++n;
    return n;
}

inline int64_t bytesUnder(const std::filesystem::path& folder) {
    int64_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code sizeError;
        if (it->is_regular_file(sizeError)) n += static_cast<int64_t>(it->file_size(sizeError));
    }
    return n;
}

inline std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// A source an editor imported: H.264 + AAC movies made with ffmpeg. A
// second import of the same clip (a remux with other metadata) has other
// bytes, so the engine meets it as new content.
struct SessionShape {
    std::string name;
    int64_t width = 0, height = 0, seconds = 0, gop = 30;
};

struct SessionSource : SessionShape {
    std::filesystem::path path;
    std::string hash;
    int imports = 0;
};

struct SessionMedia {
    std::filesystem::path folder;
    std::vector<SessionSource> sources;
    std::filesystem::path mix; // the sound an export is given, as long as an export
    static constexpr int64_t exportUs = 2'000'000;

    // Key frames every `gop` frames and no B-frames, so the plain windows of a
    // GOP of 30 or 60 copy; the sound has pauses for the silence finder.
    static std::optional<SessionMedia> make(const std::filesystem::path& folder, const std::vector<SessionShape>& shapes) {
        SessionMedia m;
        m.folder = folder;
        std::filesystem::create_directories(folder);
        const std::string ff = "ffmpeg -nostdin -v error -y ";
        for (const auto& shape : shapes) {
            SessionSource s;
            static_cast<SessionShape&>(s) = shape;
            s.path = folder / (s.name + ".mp4");
            const std::string seconds = std::to_string(s.seconds);
            if (!runCommand(ff + "-f lavfi -i testsrc2=size=" + std::to_string(s.width) + "x" + std::to_string(s.height) +
                            ":rate=30:duration=" + seconds +
                            " -f lavfi -i \"aevalsrc='0.3*sin(2*PI*330*t)*gt(mod(t,3),0.6)':s=48000:d=" + seconds +
                            "\" -c:v libx264 -preset veryfast -pix_fmt yuv420p -g " + std::to_string(s.gop) +
                            " -bf 0 -color_primaries bt709 -color_trc bt709 -colorspace bt709 -c:a aac -b:a 128k -shortest '" +
                            s.path.string() + "'"))
                return std::nullopt;
            s.hash = sha256sum(s.path);
            m.sources.push_back(s);
        }
        m.mix = folder / "mix.wav";
        if (!runCommand(ff + "-f lavfi -i sine=frequency=330:sample_rate=48000:duration=" +
                        std::to_string(exportUs / 1'000'000) + " -ac 2 -c:a pcm_f32le '" + m.mix.string() + "'"))
            return std::nullopt;
        return m;
    }

    // The clip imported once more; the old file goes once nothing reads it.
    bool importAgain(size_t index) {
        SessionSource& s = sources[index];
        const auto next = folder / (s.name + "-" + std::to_string(++s.imports) + ".mp4");
        if (!runCommand("ffmpeg -nostdin -v error -y -i '" + s.path.string() + "' -map 0 -c copy -metadata comment=import-" +
                        std::to_string(s.imports) + " '" + next.string() + "'"))
            return false;
        s.path = next;
        s.hash = sha256sum(next);
        return !s.hash.empty();
    }
};

// The answers of one stretch of the session.
struct SessionCounts {
    int64_t sent = 0, answered = 0, failed = 0, cancelled = 0, cancelsSent = 0;
    std::map<std::string, int64_t> failures; // "<code> <method>: <message>"

    void add(const SessionCounts& o) {
        sent += o.sent;
        answered += o.answered;
        failed += o.failed;
        cancelled += o.cancelled;
        cancelsSent += o.cancelsSent;
        for (const auto& [k, n] : o.failures) failures[k] += n;
    }
    std::string failureLines() const {
        std::string out;
        for (const auto& [k, n] : failures) out += "  " + std::to_string(n) + " x " + k + "\n";
        return out;
    }
};

class SessionLoad {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        size_t inFlight = 4;
        int cancelOneIn = 10;
        int64_t importEvery = 150; // requests between two imports; 0: never
        uint64_t seed = 29;
        std::chrono::seconds silence{300}; // no answer for this long: the engine is stuck
    };

    SessionLoad(EngineProcess& engine, SessionMedia& media, std::filesystem::path outputs, Options options)
        : engine_(engine), media_(media), outputs_(std::move(outputs)), options_(options), random_(options.seed) {
        std::filesystem::create_directories(outputs_);
    }

    // Keeps the requests going until `until`; false once the engine stops answering.
    bool runUntil(Clock::time_point until) {
        while (Clock::now() < until) {
            fill();
            if (!step(std::min(until, nextCancel()))) return false;
        }
        return true;
    }

    // Sends `count` more requests and waits for every answer.
    bool runRequests(int64_t count) {
        const int64_t target = counts_.sent + count;
        while (counts_.sent < target || !running_.empty()) {
            while (counts_.sent < target && running_.size() < options_.inFlight) send(next());
            if (!step(nextCancel())) return false;
        }
        return true;
    }

    bool drain() {
        while (!running_.empty())
            if (!step(nextCancel())) return false;
        return true;
    }

    // The counts since the last call.
    SessionCounts take() {
        SessionCounts c = counts_;
        for (auto& [k, n] : c.failures) n -= taken_.failures[k];
        c.sent -= taken_.sent;
        c.answered -= taken_.answered;
        c.failed -= taken_.failed;
        c.cancelled -= taken_.cancelled;
        c.cancelsSent -= taken_.cancelsSent;
        std::erase_if(c.failures, [](const auto& f) { return f.second == 0; });
        taken_ = counts_;
        return c;
    }
    const SessionCounts& total() const { return counts_; }
    size_t running() const { return running_.size(); }
    std::string lastStall() const { return stall_; }

private:
    // Checks a result; empty when it is right.
    using Check = std::function<std::string(const JSONValue&)>;
    struct Request {
        std::string method, params;
        std::filesystem::path outPath;
        Check check;
        std::vector<std::filesystem::path> reads;
        std::string label = ""; // the method, and the track of a window
        // An audio window's mix gives way to a newer plan's of the same
        // variant, and its waiting requests answer "Cancelled." with nothing
        // written: the editor has moved on.
        bool supersedable = false;
    };
    struct Running {
        Request request;
        std::optional<Clock::time_point> cancelAt;
        bool cancelSent = false;
    };
    struct Clip {
        size_t source = 0;
        int64_t srcStartUs = 0, srcEndUs = 0, outStartUs = 0;
        double scale = 1.0, centerX = 0.5;
    };
    struct Plan {
        int64_t width = 1280, height = 720, durationUs = 0;
        std::vector<Clip> clips;
        std::string colorStack = "[]", textItems, tracks;
        std::string targetLufs = "null";
    };
    // A window a listing named, waiting to be fetched as the editor's viewer reaches it.
    struct Window {
        std::string params;
        std::vector<std::filesystem::path> reads;
    };
    // A slider drag: the plan changes every few frames.
    struct Drag {
        Plan plan;
        int kind = 0, framesLeft = 0, frame = 0;
        int64_t atUs = 0;
    };

    EngineProcess& engine_;
    SessionMedia& media_;
    std::filesystem::path outputs_;
    Options options_;
    std::mt19937_64 random_;
    std::map<int64_t, Running> running_;
    std::set<int64_t> answered_;
    std::vector<Window> windows_;
    std::optional<Drag> drag_;
    std::map<std::filesystem::path, int> readers_;
    std::vector<std::filesystem::path> retired_;
    SessionCounts counts_, taken_;
    int64_t nextId_ = 0;
    Clock::time_point lastAnswer_ = Clock::now();
    std::string stall_;

    static std::string str(int64_t v) { return std::to_string(v); }
    static std::string num(double v) {
        char text[32];
        std::snprintf(text, sizeof text, "%.4g", v);
        return text;
    }
    int64_t pick(int64_t lo, int64_t hi) { return std::uniform_int_distribution<int64_t>(lo, hi)(random_); }
    bool chance(int oneIn) { return pick(1, oneIn) == 1; }
    const SessionSource& source(size_t i) const { return media_.sources[i]; }
    size_t anySource() { return static_cast<size_t>(pick(0, static_cast<int64_t>(media_.sources.size()) - 1)); }

    std::string planJSON(const Plan& p) const {
        std::string segments;
        for (const auto& c : p.clips) {
            segments += (segments.empty() ? "" : ",") + std::string(R"({"assetId":"s)") + str(static_cast<int64_t>(c.source)) +
                        R"(","srcStartUs":)" + str(c.srcStartUs) + R"(,"srcEndUs":)" + str(c.srcEndUs) +
                        R"(,"outStartUs":)" + str(c.outStartUs) + R"(,"outEndUs":)" +
                        str(c.outStartUs + c.srcEndUs - c.srcStartUs) +
                        R"(,"speed":1.0,"transform":{"keyframes":[{"outUs":0,"center":{"x":)" + num(c.centerX) +
                        R"(,"y":0.5},"scale":)" + num(c.scale) + R"(}]},"transitionIn":null})";
        }
        return R"({"version":1,"canvas":{"format":"horizontal","width":)" + str(p.width) + R"(,"height":)" + str(p.height) +
               R"(,"fps":{"num":30,"den":1}},"segments":[)" + segments + R"(],"videoOverlays":[],"textItems":[)" +
               p.textItems + R"(],"colorStack":)" + p.colorStack + R"(,"background":null,"audioMix":{"tracks":[)" + p.tracks +
               R"(],"targetLufs":)" + p.targetLufs + R"(,"truePeakDb":-1},"timeMap":{"entries":[]},"durationUs":)" +
               str(p.durationUs) + "}";
    }
    std::string sourcesJSON(const Plan& p) const {
        std::set<size_t> used;
        for (const auto& c : p.clips) used.insert(c.source);
        std::string s;
        for (size_t i : used)
            s += (s.empty() ? "" : ",") + std::string("\"s") + str(static_cast<int64_t>(i)) + R"(":{"path":")" +
                 source(i).path.string() + R"(","contentHash":")" + source(i).hash + R"("})";
        return "{" + s + "}";
    }
    std::vector<std::filesystem::path> readsOf(const Plan& p) const {
        std::vector<std::filesystem::path> r;
        for (const auto& c : p.clips) r.push_back(source(c.source).path);
        return r;
    }

    // A plain cut at a source's own size from key frame to key frame: its windows copy.
    Plan cutPlan() {
        Plan p;
        const size_t s = anySource();
        p.width = source(s).width;
        p.height = source(s).height;
        const int64_t gopUs = source(s).gop * 1'000'000 / 30;
        const int64_t pieces = std::max<int64_t>(1, source(s).seconds * 1'000'000 / gopUs);
        const int64_t clips = pick(1, 2);
        for (int64_t i = 0; i < clips; ++i) {
            const int64_t length = std::min<int64_t>(pieces, pick(1, 2)) * gopUs;
            const int64_t start = pick(0, pieces - length / gopUs) * gopUs;
            p.clips.push_back({s, start, start + length, p.durationUs});
            p.durationUs += length;
        }
        return p;
    }

    // A graded plan at 720p or 1080p: a look, sometimes grain and matched gains.
    Plan gradedPlan() {
        Plan p;
        if (chance(2)) {
            p.width = 1920;
            p.height = 1080;
        }
        const size_t s = anySource();
        const int64_t length = std::min<int64_t>(source(s).seconds * 1'000'000, pick(2, 6) * 1'000'000);
        const int64_t start = pick(0, (source(s).seconds * 1'000'000 - length) / 100'000) * 100'000;
        p.clips.push_back({s, start, start + length, 0, 1.0 + 0.05 * static_cast<double>(pick(0, 4)), 0.5});
        p.durationUs = length;
        static const char* looks[] = {"warm_cinema", "cool_film"};
        p.colorStack = std::string(R"([{"kind":"look","look":")") + looks[pick(0, 1)] + R"(","strength":)" +
                       num(0.4 + 0.2 * static_cast<double>(pick(0, 3))) + "}";
        if (chance(2)) p.colorStack += R"(,{"kind":"grain","strength":0.3,"seed":)" + str(pick(1, 4)) + "}";
        if (chance(3)) p.colorStack += R"(,{"kind":"match","gains":{"r":1.02,"g":1,"b":0.97}})";
        p.colorStack += "]";
        return p;
    }

    std::string track(const std::string& id, const std::string& role, const std::string& source, int64_t srcStart,
                      int64_t srcEnd, int64_t outStart) const {
        return R"({"id":")" + id + R"(","role":")" + role + "\"," + source + R"(,"srcStartUs":)" + str(srcStart) +
               R"(,"srcEndUs":)" + str(srcEnd) + R"(,"outStartUs":)" + str(outStart) + R"(,"outEndUs":)" +
               str(outStart + srcEnd - srcStart) + R"(,"speed":1.0,"gain":[],"isolation":null})";
    }
    // The clips' own sound as voice, and sometimes a bed under it.
    void addSound(Plan& p) {
        for (size_t i = 0; i < p.clips.size(); ++i) {
            const Clip& c = p.clips[i];
            p.tracks += (p.tracks.empty() ? "" : ",") +
                        track("v" + str(static_cast<int64_t>(i)), "voice",
                              R"("assetId":"s)" + str(static_cast<int64_t>(c.source)) + R"(","generated":null)",
                              c.srcStartUs, c.srcEndUs, c.outStartUs);
        }
        if (chance(3))
            p.tracks += "," + track("bed", "music", R"("assetId":null,"generated":{"recipe":"soft_bed","seed":)" + str(pick(1, 3)) + "}",
                                    0, p.durationUs, 0);
        if (chance(2)) p.targetLufs = "-14";
    }

    static std::string textItem(const std::string& id, const std::string& text, const std::string& style, int sizePct,
                                double y) {
        return R"({"id":")" + id + R"(","role":"caption","outStartUs":0,"outEndUs":1000000,"lines":[{"runs":[{"text":")" +
               text + R"(","outStartUs":0,"outEndUs":1000000,"keyword":false}]}],"box":{"x":0.1,"y":)" + num(y) +
               R"(,"w":0.8,"h":0.2},"style":{)" + style + R"(,"sizePct":)" +
               std::to_string(sizePct) +
               R"(,"lineHeight":1.2,"letterSpacingEm":0,"color":"#ffffff","shadow":null},"activeWordHighlight":false})";
    }
    Plan textPlan(int64_t* items) {
        static const char* texts[] = {"Short caption", "A longer caption that has to wrap onto a second line",
                                      "Every window counts", "Noch ein Satz mit Umlauten: \xC3\xA4\xC3\xB6\xC3\xBC",
                                      "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 world"};
        // Faces in the weights and slants they are bundled in.
        static const char* styles[] = {R"("font":"inter","weight":700,"italic":false)",
                                       R"("font":"montserrat","weight":800,"italic":false)",
                                       R"("font":"bebas_neue","weight":400,"italic":false)",
                                       R"("font":"playfair_display","weight":700,"italic":true)",
                                       R"("font":"poppins","weight":700,"italic":false)"};
        Plan p;
        p.durationUs = 3'000'000;
        *items = pick(1, 4);
        for (int64_t i = 0; i < *items; ++i)
            p.textItems += (i ? "," : "") + textItem("t" + str(i), texts[pick(0, 4)], styles[pick(0, 4)],
                                                     static_cast<int>(pick(4, 9)), 0.1 + 0.2 * static_cast<double>(i));
        return p;
    }

    std::filesystem::path output(const std::string& extension) const {
        return outputs_ / ("out-" + str(nextId_ + 1) + extension);
    }
    static std::string outPathCheck(const JSONValue& r, const std::filesystem::path& out) {
        const JSONValue* bytes = r.member("byteLength");
        std::error_code ec;
        const auto size = std::filesystem::file_size(out, ec);
        if (ec) return "no file at outPath";
        if (bytes && bytes->intValue() != static_cast<int64_t>(size)) return "byteLength is not the file's size";
        return "";
    }

    Request probe() {
        const size_t s = anySource();
        const SessionSource src = source(s);
        return {"asset.probe", R"({"path":")" + src.path.string() + "\"}", {},
                [src](const JSONValue& r) -> std::string {
                    if (r.member("width") == nullptr || r.member("width")->intValue() != src.width ||
                        r.member("height")->intValue() != src.height)
                        return "wrong size";
                    return r.member("hasAudio") && r.member("hasAudio")->boolValue() == true ? "" : "no sound";
                },
                {src.path}};
    }
    Request thumbnail() {
        const SessionSource& src = source(anySource());
        const int64_t edge = chance(2) ? 160 : 320;
        const auto out = output(".jpg");
        return {"asset.thumbnail",
                R"({"source":{"path":")" + src.path.string() + R"(","contentHash":")" + src.hash + R"("},"atUs":)" +
                    str(pick(0, src.seconds * 1'000'000 - 1)) + R"(,"maxLongEdge":)" + str(edge) + R"(,"outPath":")" +
                    out.string() + "\"}",
                out,
                [edge, out](const JSONValue& r) -> std::string {
                    const JSONValue* w = r.member("width");
                    if (!w || w->intValue() != edge) return "wrong width";
                    return outPathCheck(r, out);
                },
                {src.path}};
    }
    Request listing() {
        Plan p = chance(2) ? cutPlan() : gradedPlan();
        if (chance(2)) addSound(p);
        const std::string variant = chance(4) ? "before" : "after";
        const std::string plan = planJSON(p), sources = sourcesJSON(p);
        const bool sound = !p.tracks.empty();
        const auto reads = readsOf(p);
        const int64_t duration = p.durationUs;
        return {"render.segments", R"({"plan":)" + plan + R"(,"sources":)" + sources + R"(,"variant":")" + variant + "\"}", {},
                [this, plan, sources, variant, sound, reads, duration](const JSONValue& r) -> std::string {
                    const JSONValue* list = r.member("segments");
                    if (!list || !list->arrayPtr() || list->arrayPtr()->empty()) return "no windows";
                    int64_t end = 0;
                    for (const auto& w : *list->arrayPtr()) {
                        if (!w.member("outStartUs") || w.member("outStartUs")->intValue() != end || !w.member("outEndUs"))
                            return "windows that do not follow each other";
                        end = w.member("outEndUs")->intValue().value_or(0);
                    }
                    if (end != duration) return "windows that do not end with the plan";
                    // The viewer fetches the first windows of the listing, picture and sound.
                    for (const auto& w : *list->arrayPtr()) {
                        if (windows_.size() >= 12) windows_.erase(windows_.begin());
                        const std::string common = R"({"plan":)" + plan + R"(,"sources":)" + sources + R"(,"variant":")" +
                                                   variant + R"(","key":")" + w.member("key")->stringValue().value_or("") +
                                                   R"(","outStartUs":)" + w.member("outStartUs")->canonical() +
                                                   R"(,"outEndUs":)" + w.member("outEndUs")->canonical();
                        windows_.push_back({common + R"(,"track":"video")", reads});
                        if (sound) windows_.push_back({common + R"(,"track":"audio")", reads});
                    }
                    return "";
                },
                reads};
    }
    Request window() {
        Window w = windows_.front();
        windows_.erase(windows_.begin());
        const bool audio = w.params.find(R"("track":"audio")") != std::string::npos;
        const auto out = output(".m4s");
        return {"render.segment", w.params + R"(,"outPath":")" + out.string() + "\"}", out,
                [out, audio](const JSONValue& r) -> std::string {
                    const JSONValue* d = r.member("durationUs");
                    if (audio && (!d || d->intValue().value_or(0) <= 0)) return "no duration";
                    return outPathCheck(r, out);
                },
                w.reads, audio ? "render.segment (audio)" : "render.segment (video)", audio};
    }
    // A frame of the drag under way; the plan moves every four frames, as
    // a slider sends while it is dragged.
    Request scrub() {
        if (!drag_ || drag_->framesLeft <= 0) {
            drag_ = Drag{gradedPlan(), static_cast<int>(pick(0, 2)), static_cast<int>(pick(16, 60)), 0, 0};
            drag_->atUs = drag_->plan.clips[0].outStartUs;
        }
        Drag& d = *drag_;
        if (d.frame % 4 == 0) {
            const double step = 0.005 * static_cast<double>(d.frame / 4 + 1);
            if (d.kind == 0) d.plan.clips[0].scale = 1.0 + step;
            else if (d.kind == 1) d.plan.clips[0].centerX = std::min(0.9, 0.5 + step);
            else
                d.plan.colorStack = R"([{"kind":"match","gains":{"r":)" + num(1.0 + step) +
                                    R"(,"g":1,"b":)" + num(1.0 - step / 2) + R"(}},{"kind":"look","look":"warm_cinema","strength":0.8}])";
        }
        ++d.frame;
        --d.framesLeft;
        d.atUs = std::min(d.plan.durationUs - 1, d.atUs + 33'333 * pick(1, 3));
        const int64_t edge = chance(3) ? 1280 : 960;
        const auto out = output(chance(4) ? ".png" : ".jpg");
        const int64_t longEdge = std::max(d.plan.width, d.plan.height);
        const int64_t expected = std::min(edge, longEdge);
        return {"render.frame",
                R"({"plan":)" + planJSON(d.plan) + R"(,"sources":)" + sourcesJSON(d.plan) + R"(,"variant":"after","atUs":)" +
                    str(d.atUs) + R"(,"maxLongEdge":)" + str(edge) + R"(,"outPath":")" + out.string() + "\"}",
                out,
                [out, expected](const JSONValue& r) -> std::string {
                    const JSONValue* w = r.member("width");
                    if (!w || w->intValue() != expected) return "wrong width";
                    return outPathCheck(r, out);
                },
                readsOf(d.plan)};
    }
    Request measure() {
        int64_t items = 0;
        Plan p = textPlan(&items);
        return {"render.measureText", R"({"plan":)" + planJSON(p) + "}", {},
                [items](const JSONValue& r) -> std::string {
                    const JSONValue* list = r.member("items");
                    return list && list->arrayPtr() && static_cast<int64_t>(list->arrayPtr()->size()) == items
                               ? ""
                               : "wrong number of items";
                },
                {}};
    }
    Request layout() {
        int64_t items = 0;
        Plan p = textPlan(&items);
        std::string ids;
        for (int64_t i = 0; i < items; ++i) ids += (i ? "," : "") + std::string("\"t") + str(i) + "\"";
        return {"render.textLayout", R"({"plan":)" + planJSON(p) + R"(,"ids":[)" + ids + "]}", {},
                [items](const JSONValue& r) -> std::string {
                    const JSONValue* list = r.member("items");
                    return list && list->arrayPtr() && static_cast<int64_t>(list->arrayPtr()->size()) == items
                               ? ""
                               : "wrong number of items";
                },
                {}};
    }
    Request mix() {
        Plan p = cutPlan();
        addSound(p);
        const auto out = output(chance(3) ? ".m4a" : ".wav");
        const int64_t duration = p.durationUs;
        return {"audio.mix", R"({"outPath":")" + out.string() + R"(","plan":)" + planJSON(p) + R"(,"sources":)" + sourcesJSON(p) + "}",
                out,
                [out, duration](const JSONValue& r) -> std::string {
                    const JSONValue* d = r.member("durationUs");
                    if (!d || d->intValue() != duration) return "wrong duration";
                    return outPathCheck(r, out);
                },
                readsOf(p)};
    }
    Request analysis(bool picture) {
        static const char* sound[] = {"silences", "loudness", "waveform"};
        static const char* pictures[] = {"scenes", "color_stats"};
        const std::string kind = picture ? pictures[pick(0, 1)] : sound[pick(0, 2)];
        const SessionSource& src = source(anySource());
        const std::string asset = "asset-" + str(nextId_ + 1);
        return {"analysis.run",
                R"({"assetId":")" + asset + R"(","source":{"path":")" + src.path.string() + R"(","contentHash":")" + src.hash +
                    R"("},"kind":")" + kind + "\"}",
                {},
                [asset](const JSONValue& r) -> std::string {
                    const JSONValue* a = r.member("assetId");
                    return a && a->stringValue() == asset ? "" : "wrong assetId";
                },
                {src.path}};
    }
    // A short export, rendered or (a plain cut at the source's size) copied.
    Request exportMovie() {
        Plan p;
        if (chance(3)) {
            p = cutPlan();
            p.clips.resize(1);
        } else {
            p = gradedPlan();
        }
        Clip& c = p.clips[0];
        c.srcEndUs = std::min(c.srcStartUs + SessionMedia::exportUs, source(c.source).seconds * 1'000'000);
        c.srcStartUs = c.srcEndUs - SessionMedia::exportUs;
        p.durationUs = SessionMedia::exportUs;
        const auto out = output(".mp4");
        return {"render.export",
                R"({"plan":)" + planJSON(p) + R"(,"sources":)" + sourcesJSON(p) +
                    R"(,"codec":"h264","videoBitrate":8000000,"outPath":")" + out.string() + R"(","audioPath":")" +
                    media_.mix.string() + "\"}",
                out,
                [out](const JSONValue& r) -> std::string {
                    const JSONValue* frames = r.member("frameCount");
                    if (!frames || frames->intValue() != SessionMedia::exportUs * 30 / 1'000'000) return "wrong frame count";
                    return outPathCheck(r, out);
                },
                readsOf(p)};
    }

    // The editor's mix of requests; an export now and then.
    Request next() {
        if (options_.importEvery > 0 && counts_.sent > 0 && counts_.sent % options_.importEvery == 0) {
            const size_t s = anySource();
            const auto old = source(s).path;
            if (media_.importAgain(s)) retire(old);
        }
        const int64_t roll = pick(1, 100);
        if (roll <= 8) return probe();
        if (roll <= 16) return thumbnail();
        if (roll <= 24) return listing();
        if (roll <= 42) return windows_.empty() ? listing() : window();
        if (roll <= 66) return scrub();
        if (roll <= 73) return measure();
        if (roll <= 78) return layout();
        if (roll <= 82) return mix();
        if (roll <= 90) return analysis(false);
        if (roll <= 97) return analysis(true);
        return exportMovie();
    }

    // Windows listed for the old file are not the viewer's any more.
    void retire(const std::filesystem::path& old) {
        std::erase_if(windows_, [&](const Window& w) { return std::count(w.reads.begin(), w.reads.end(), old) > 0; });
        if (readers_[old] == 0) std::filesystem::remove(old);
        else retired_.push_back(old);
    }

    void fill() {
        while (running_.size() < options_.inFlight) send(next());
    }

    void send(Request request) {
        const int64_t id = ++nextId_;
        for (const auto& r : request.reads) ++readers_[r];
        Running r{std::move(request), std::nullopt, false};
        if (chance(options_.cancelOneIn)) r.cancelAt = Clock::now() + std::chrono::milliseconds(pick(20, 400));
        engine_.sendLine(EngineProcess::request(id, r.request.method, r.request.params));
        running_.emplace(id, std::move(r));
        ++counts_.sent;
    }

    Clock::time_point nextCancel() const {
        Clock::time_point t = Clock::now() + std::chrono::seconds(5);
        for (const auto& [id, r] : running_)
            if (r.cancelAt && !r.cancelSent) t = std::min(t, *r.cancelAt);
        return t;
    }

    void sendDueCancels() {
        const auto now = Clock::now();
        for (auto& [id, r] : running_) {
            if (!r.cancelAt || r.cancelSent || *r.cancelAt > now) continue;
            engine_.sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":)" + str(id) + "}}");
            r.cancelSent = true;
            ++counts_.cancelsSent;
        }
    }

    void fail(const std::string& what) {
        ++counts_.failed;
        ++counts_.failures[what];
    }

    // Reads what comes until `until`; false once the engine has gone quiet.
    bool step(Clock::time_point until) {
        sendDueCancels();
        const auto now = Clock::now();
        const auto wait = std::max(std::chrono::milliseconds(1),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(until - now));
        auto line = engine_.readLine(wait);
        if (!line) {
            // Back well before its time (it rounds to milliseconds): the output is closed.
            if (Clock::now() - lastAnswer_ > options_.silence || Clock::now() + std::chrono::milliseconds(5) < now + wait) {
                stall_ = running_.empty() ? "the engine closed its output"
                                          : "no answer for " + std::to_string(running_.size()) + " requests, first " +
                                                running_.begin()->second.request.method;
                return false;
            }
            return true;
        }
        JSONValue message;
        try {
            message = JSONValue::parsing(*line);
        } catch (...) {
            fail("unreadable line");
            return true;
        }
        const JSONValue* idValue = message.member("id");
        if (!idValue || message.member("method")) return true; // progress
        lastAnswer_ = Clock::now();
        answer(idValue->intValue().value_or(-1), message);
        return true;
    }

    void answer(int64_t id, const JSONValue& message) {
        auto it = running_.find(id);
        if (it == running_.end()) {
            fail(answered_.count(id) ? "a second answer" : "an answer to no request");
            return;
        }
        Running r = std::move(it->second);
        running_.erase(it);
        answered_.insert(id);
        ++counts_.answered;
        const Request& q = r.request;
        const std::string& what = q.label.empty() ? q.method : q.label;
        std::error_code ec;
        if (const JSONValue* result = message.member("result")) {
            if (std::string wrong = q.check(*result); !wrong.empty()) fail("wrong result " + what + ": " + wrong);
        } else if (const JSONValue* error = message.member("error")) {
            const int64_t code = error->member("code") ? error->member("code")->intValue().value_or(0) : 0;
            const std::string text = error->member("message") ? error->member("message")->stringValue().value_or("") : "";
            if (code == -32800 && (r.cancelSent || q.supersedable)) {
                if (!q.outPath.empty() && std::filesystem::exists(q.outPath, ec))
                    fail("-32800 " + what + ": answered Cancelled. with its output left at outPath");
                else
                    ++counts_.cancelled;
            } else {
                fail(std::to_string(code) + " " + what + ": " + text.substr(0, 120));
            }
        } else {
            fail("an answer with neither result nor error");
        }
        if (!q.outPath.empty()) std::filesystem::remove(q.outPath, ec);
        for (const auto& p : q.reads)
            if (--readers_[p] == 0 && std::count(retired_.begin(), retired_.end(), p)) {
                std::filesystem::remove(p, ec);
                std::erase(retired_, p);
                readers_.erase(p);
            }
    }
};

} // namespace korvel::testing
