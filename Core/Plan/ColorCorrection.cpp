#include "Core/Plan/ColorCorrection.hpp"

#include "Core/ClientText.hpp"

#include <algorithm>
#include <charconv>

namespace korvel::ColorCorrection {

const std::set<std::string>& plainAmounts() {
    static const std::set<std::string> names{
        "whiteGainRed",  "whiteGainGreen",   "whiteGainBlue",    "exposure",         "brightness",
        "contrast",      "saturation",       "vibrance",         "shadowAmount",     "highlightAmount",
        "faceBalanceOrigI", "faceBalanceOrigQ", "faceBalanceStrength", "faceBalanceWarmth"};
    return names;
}

const std::vector<std::string>& allowedFilters() {
    static const std::vector<std::string> names{"CIFaceBalance", "CIVibrance", "CIToneCurve",
                                                "CIHighlightShadowAdjust"};
    return names;
}

const std::set<std::string>& inputKeys(const std::string& filter) {
    static const std::map<std::string, std::set<std::string>> keys{
        {"CIFaceBalance", {"inputImage", "inputOrigI", "inputOrigQ", "inputStrength", "inputWarmth"}},
        {"CIVibrance", {"inputImage", "inputAmount"}},
        {"CIToneCurve", {"inputImage", "inputPoint0", "inputPoint1", "inputPoint2", "inputPoint3", "inputPoint4"}},
        {"CIHighlightShadowAdjust", {"inputImage", "inputRadius", "inputShadowAmount", "inputHighlightAmount"}},
    };
    static const std::set<std::string> none;
    auto found = keys.find(filter);
    return found == keys.end() ? none : found->second;
}

std::optional<FilterKey> FilterKey::parse(const std::string& text) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        if (dot == std::string::npos) dot = text.size();
        if (dot > start) pieces.push_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    if (pieces.size() < 2 || pieces.size() > 3) return std::nullopt;
    const auto& filters = allowedFilters();
    if (std::find(filters.begin(), filters.end(), pieces[0]) == filters.end()) return std::nullopt;
    FilterKey key{pieces[0], pieces[1], std::nullopt};
    if (pieces.size() == 3) {
        std::string_view digits = pieces[2];
        bool negative = false;
        if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
            negative = digits[0] == '-';
            digits.remove_prefix(1);
        }
        if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        uint64_t magnitude = 0;
        auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
        if (magnitude > static_cast<uint64_t>(INT64_MAX) + (negative ? 1 : 0)) return std::nullopt;
        key.component = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
    }
    return key;
}

void check(const std::map<std::string, double>& adjustments) {
    for (const auto& [name, value] : adjustments) {
        if (plainAmounts().count(name)) continue;
        auto key = FilterKey::parse(name);
        if (key && inputKeys(key->filter).count(key->input)) continue;
        throw EngineFailure::invalidParams("The color adjustment " + ClientText::quoted(name) + " does not exist.");
    }
    int gains = static_cast<int>(adjustments.count("whiteGainRed") + adjustments.count("whiteGainGreen") +
                                 adjustments.count("whiteGainBlue"));
    if (gains == 1 || gains == 2) {
        throw EngineFailure::invalidParams("A white balance needs a gain for red, green and blue.");
    }
}

std::vector<FilterCall> filterCalls(const std::map<std::string, double>& adjustments) {
    struct Entry {
        FilterKey key;
        double value;
    };
    std::vector<Entry> entries;
    for (const auto& [name, value] : adjustments) {
        if (auto key = FilterKey::parse(name)) entries.push_back({*key, value});
    }
    std::vector<FilterCall> calls;
    for (const auto& filter : allowedFilters()) {
        std::vector<Entry> mine;
        for (const auto& e : entries)
            if (e.key.filter == filter) mine.push_back(e);
        if (mine.empty()) continue;
        FilterCall call{filter, {}};
        std::map<std::string, std::vector<Entry>> byInput;
        for (const auto& e : mine) byInput[e.key.input].push_back(e);
        for (auto& [input, list] : byInput) {
            FilterInput in;
            if (list.size() == 1 && !list[0].key.component) {
                in.scalar = true;
                in.values = {list[0].value};
            } else {
                std::stable_sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) {
                    return a.key.component.value_or(0) < b.key.component.value_or(0);
                });
                for (const auto& e : list) in.values.push_back(e.value);
            }
            call.inputs[input] = in;
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

} // namespace korvel::ColorCorrection
