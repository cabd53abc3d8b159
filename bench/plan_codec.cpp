// Reads and writes a large plan through the contract bridge and prints the
// times, at half, full and double size, to show that the cost stays linear;
// then the text reader's speed beside the reader it replaced (nlohmann's SAX
// parser into the former 56-byte variant value), nlohmann's own DOM and
// Python's json.loads, on the same plan text.

#include "Core/Plan/RenderPlan.hpp"
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <unistd.h>
#include <map>
#include <string>
#include <variant>
#include <vector>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;

JSONValue object(std::initializer_list<std::pair<const std::string, JSONValue>> members) {
    return JSONValue(JSONValue::Object(members));
}

JSONValue rect(double x, double y, double w, double h) { return object({{"x", x}, {"y", y}, {"w", w}, {"h", h}}); }

JSONValue segment(int i) {
    int64_t start = int64_t{i} * 1000000;
    JSONValue::Array keyframes;
    for (int k = 0; k < 3; ++k) {
        keyframes.push_back(object({{"outUs", start + k * 400000},
                                    {"center", object({{"x", 0.4 + 0.01 * k}, {"y", 0.5 - 0.02 * k}})},
                                    {"scale", 1.0 + 0.1 * k}}));
    }
    return object({{"assetId", "asset-" + std::to_string(i % 40)},
                   {"srcStartUs", start},
                   {"srcEndUs", start + 1000000},
                   {"outStartUs", start},
                   {"outEndUs", start + 1000000},
                   {"speed", i % 7 == 0 ? 1.5 : 1.0},
                   {"transform", object({{"keyframes", JSONValue(std::move(keyframes))}})},
                   {"transitionIn", i % 5 == 0 ? object({{"style", "smooth"}, {"durationUs", 300000}}) : JSONValue()}});
}

JSONValue textItem(int i) {
    int64_t start = int64_t{i} * 400000;
    JSONValue::Array lines;
    for (int l = 0; l < 2; ++l) {
        JSONValue::Array runs;
        for (int r = 0; r < 4; ++r) {
            int64_t at = start + (l * 4 + r) * 50000;
            runs.push_back(object({{"text", "word" + std::to_string(r)},
                                   {"outStartUs", at},
                                   {"outEndUs", at + 50000},
                                   {"keyword", r == 2},
                                   {"enterUs", at}}));
        }
        lines.push_back(object({{"runs", JSONValue(std::move(runs))}}));
    }
    return object({{"id", "text-" + std::to_string(i)},
                   {"role", "caption"},
                   {"outStartUs", start},
                   {"outEndUs", start + 400000},
                   {"lines", JSONValue(std::move(lines))},
                   {"box", rect(0.08, 0.62, 0.84, 0.2)},
                   {"style", object({{"font", "montserrat"},
                                     {"weight", 800},
                                     {"italic", false},
                                     {"sizePct", 7.5},
                                     {"lineHeight", 1.15},
                                     {"letterSpacingEm", -0.01},
                                     {"color", "#ffffff"},
                                     {"shadow", object({{"offsetYPct", 0.4},
                                                        {"blurPct", 1.2},
                                                        {"color", "#000000"},
                                                        {"opacity", 0.6}})}})},
                   {"activeWordHighlight", true},
                   {"highlight", object({{"background", "#ffd400"}, {"color", "#111111"}})},
                   {"entrance", "pop"}});
}

JSONValue plan(int segments, int textItems) {
    JSONValue::Array segs, items, timeMap;
    for (int i = 0; i < segments; ++i) segs.push_back(segment(i));
    for (int i = 0; i < textItems; ++i) items.push_back(textItem(i));
    for (int i = 0; i < segments; ++i) {
        int64_t start = int64_t{i} * 1000000;
        timeMap.push_back(object({{"assetId", "asset-" + std::to_string(i % 40)},
                                  {"srcStartUs", start},
                                  {"srcEndUs", start + 1000000},
                                  {"outStartUs", start},
                                  {"outEndUs", start + 1000000},
                                  {"speed", 1}}));
    }
    JSONValue easing = object({{"x1", 0.2}, {"y1", 0.9}, {"x2", 0.3}, {"y2", 1.2}});
    return object({
        {"version", 3},
        {"canvas", object({{"format", "vertical"}, {"width", 1080}, {"height", 1920},
                           {"fps", object({{"num", 30}, {"den", 1}})}})},
        {"segments", JSONValue(std::move(segs))},
        {"videoOverlays", JSONValue(JSONValue::Array{})},
        {"textItems", JSONValue(std::move(items))},
        {"colorStack", JSONValue(JSONValue::Array{object({{"kind", "look"}, {"look", "warm"}, {"strength", 0.5}})})},
        {"background", JSONValue()},
        {"audioMix", object({{"tracks", JSONValue(JSONValue::Array{})}, {"targetLufs", -14}, {"truePeakDb", -1}})},
        {"timeMap", object({{"entries", JSONValue(std::move(timeMap))}})},
        {"durationUs", int64_t{segments} * 1000000},
        {"textEntrances", object({{"pop", object({{"durationUs", 250000},
                                                  {"easing", easing},
                                                  {"from", object({{"opacity", 0}, {"shiftYShare", 0.3},
                                                                   {"scale", 0.8}, {"blurPct", 0.5}})},
                                                  {"fade", object({{"durationUs", 150000}, {"easing", easing}})}})}})},
    });
}

// The value and reader the engine had before, kept here to measure against.
struct FormerValue {
    struct Null {};
    std::variant<bool, int64_t, double, std::string, std::vector<FormerValue>, std::map<std::string, FormerValue, std::less<>>,
                 Null>
        storage = Null{};
};

class FormerReader : public nlohmann::json_sax<nlohmann::json> {
public:
    FormerValue root;
    bool null() override { return add({}); }
    bool boolean(bool v) override { return add({v}); }
    bool number_integer(number_integer_t v) override { return add({int64_t{v}}); }
    bool number_unsigned(number_unsigned_t v) override { return add({static_cast<int64_t>(v)}); }
    bool number_float(number_float_t v, const string_t&) override {
        if (v == static_cast<double>(static_cast<int64_t>(v))) return add({static_cast<int64_t>(v)});
        return add({v});
    }
    bool string(string_t& v) override { return add({std::move(v)}); }
    bool binary(binary_t&) override { return add({}); }
    bool start_object(std::size_t) override { return open({std::map<std::string, FormerValue, std::less<>>{}}); }
    bool key(string_t& k) override {
        keys_.back() = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open({std::vector<FormerValue>{}}); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    std::vector<FormerValue> stack_;
    std::vector<std::string> keys_;
    bool add(FormerValue v) {
        if (stack_.empty()) {
            root = std::move(v);
            return true;
        }
        if (auto* array = std::get_if<std::vector<FormerValue>>(&stack_.back().storage)) array->push_back(std::move(v));
        else std::get<std::map<std::string, FormerValue, std::less<>>>(stack_.back().storage).insert_or_assign(std::move(keys_.back()), std::move(v));
        return true;
    }
    bool open(FormerValue v) {
        stack_.push_back(std::move(v));
        keys_.emplace_back();
        return true;
    }
    bool close() {
        FormerValue done = std::move(stack_.back());
        stack_.pop_back();
        keys_.pop_back();
        return add(std::move(done));
    }
};

FormerValue formerParse(const std::string& text) {
    FormerReader reader;
    nlohmann::json::sax_parse(text.begin(), text.end(), &reader);
    return std::move(reader.root);
}

// Best of a few rounds; each result is kept until after its clock stops, so
// freeing the previous round's tree is not counted.
template <class F> double bestMs(int rounds, F&& body) {
    double best = 1e300;
    for (int r = 0; r < rounds; ++r) {
        auto t0 = Clock::now();
        auto result = body();
        best = std::min(best, std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    return best;
}

} // namespace

int main() {
    std::printf("%-10s %-10s %12s %12s %12s %12s %14s\n", "segments", "textItems", "decode ms", "encode ms",
                "parse ms", "write ms", "bytes");
    for (double factor : {0.5, 1.0, 2.0}) {
        int segments = static_cast<int>(2000 * factor);
        int textItems = static_cast<int>(5000 * factor);
        JSONValue json = plan(segments, textItems);
        std::string text = json.canonical();

        double decodeMs = bestMs(5, [&] { return decoded<RenderPlan>(json); });
        RenderPlan decodedPlan = decoded<RenderPlan>(json);
        double encodeMs = bestMs(5, [&] { return encoding(decodedPlan); });
        JSONValue written = encoding(decodedPlan);
        if (decoded<RenderPlan>(written) != decodedPlan) {
            std::fprintf(stderr, "round trip changed the plan\n");
            return 1;
        }
        // The protocol's own text steps, for scale.
        double parseMs = bestMs(5, [&] { return JSONValue::parsing(text); });
        double writeMs = bestMs(5, [&] { return written.canonical(); });
        std::printf("%-10d %-10d %12.2f %12.2f %12.2f %12.2f %14zu\n", segments, textItems, decodeMs, encodeMs, parseMs,
                    writeMs, text.size());
    }

    // Text to value, the same plan text for all three readers, each the best
    // of five rounds in its own process's memory.
    std::string text = plan(2000, 5000).canonical();
    const double mb = static_cast<double>(text.size()) / 1e6;
    double ours = bestMs(5, [&] { return JSONValue::parsing(text); });
    double former = bestMs(5, [&] { return formerParse(text); });
    double dom = bestMs(5, [&] { return nlohmann::json::parse(text); });
    std::string file = "/tmp/korvel-bench-plan-" + std::to_string(::getpid()) + ".json";
    std::ofstream(file, std::ios::binary) << text;
    std::string command = "python3 -c 'import json,sys,time\nt=open(sys.argv[1]).read()\nb=1e9\nfor _ in range(5):\n"
                          " s=time.perf_counter(); json.loads(t); b=min(b,time.perf_counter()-s)\nprint(b*1000)' " + file;
    double python = -1;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        if (std::fscanf(pipe, "%lf", &python) != 1) python = -1;
        ::pclose(pipe);
    }
    std::remove(file.c_str());
    std::printf("\nparse of one %.1f MB plan line into a tree (library vs library, best of 5, same text):\n", mb);
    std::printf("  JSONValue::parsing                 %8.2f ms  %6.0f MB/s\n", ours, mb / ours * 1000);
    std::printf("  former reader (nlohmann SAX)       %8.2f ms  %6.0f MB/s  (%.1fx slower)\n", former, mb / former * 1000,
                former / ours);
    std::printf("  nlohmann::json::parse (its DOM)    %8.2f ms  %6.0f MB/s\n", dom, mb / dom * 1000);
    if (python > 0) std::printf("  python3 json.loads                 %8.2f ms  %6.0f MB/s\n", python, mb / python * 1000);
    return 0;
}
