#include "Adapters/Vision/SceneScanMemo.hpp"

namespace korvel {

SceneScanMemo& SceneScanMemo::shared() {
    static SceneScanMemo memo;
    return memo;
}

std::optional<SceneAnalyzer::Result> SceneScanMemo::known(const std::filesystem::path& url) const {
    auto key = FileStamp::of(url);
    if (!key) return std::nullopt;
    std::lock_guard g(lock);
    for (const auto& [k, result] : kept)
        if (k == *key) return result;
    return std::nullopt;
}

void SceneScanMemo::append(FileStamp key, const SceneAnalyzer::Result& result) {
    kept.emplace_back(std::move(key), result);
    if (kept.size() > capacity) kept.erase(kept.begin(), kept.begin() + static_cast<ptrdiff_t>(kept.size() - capacity));
}

void SceneScanMemo::remember(const SceneAnalyzer::Result& result, const std::filesystem::path& url) {
    auto key = FileStamp::of(url);
    if (!key) return;
    std::lock_guard g(lock);
    for (const auto& entry : kept)
        if (entry.first == *key) return;
    append(std::move(*key), result);
}

SceneAnalyzer::Result SceneScanMemo::result(const std::filesystem::path& url,
                                            const std::function<SceneAnalyzer::Result()>& scan) {
    auto key = FileStamp::of(url);
    if (!key) return scan();
    {
        std::lock_guard g(lock);
        for (const auto& [k, result] : kept)
            if (k == *key) return result;
    }
    SceneAnalyzer::Result fresh = scan();
    std::lock_guard g(lock);
    append(std::move(*key), fresh);
    return fresh;
}

SceneScanModel::SceneScanModel(std::string contentHash, std::string fingerprint, const SceneAnalyzer::Result& result)
    : contentHash(std::move(contentHash)), fingerprint(std::move(fingerprint)), durationUs(result.durationUs),
      colorSteps(result.colorSteps) {
    for (const auto& s : result.spans) spans.push_back({s.startUs, s.endUs, s.score});
}

SceneAnalyzer::Result SceneScanModel::result() const {
    SceneAnalyzer::Result r;
    for (const auto& s : spans) r.spans.push_back({s.startUs, s.endUs, s.score});
    r.durationUs = durationUs;
    r.colorSteps = colorSteps;
    return r;
}

JSONValue SceneScanModel::encoded() const {
    JSONValue::Array spanValues, stepValues;
    for (const auto& s : spans) {
        spanValues.push_back(JSONValue::Object{{"startUs", s.startUs}, {"endUs", s.endUs}, {"score", s.score}});
    }
    for (int64_t step : colorSteps) stepValues.push_back(step);
    return JSONValue::Object{{"kind", kind},
                             {"contentHash", contentHash},
                             {"fingerprint", fingerprint},
                             {"spans", std::move(spanValues)},
                             {"durationUs", durationUs},
                             {"colorSteps", std::move(stepValues)}};
}

std::optional<SceneScanModel> SceneScanModel::decoded(const JSONValue& value) {
    auto text = [&](std::string_view key) -> std::optional<std::string> {
        const JSONValue* v = value.member(key);
        return v ? v->stringValue() : std::nullopt;
    };
    auto integer = [](const JSONValue* v) -> std::optional<int64_t> { return v ? v->intValue() : std::nullopt; };
    auto number = [](const JSONValue* v) -> std::optional<double> {
        if (!v) return std::nullopt;
        if (auto i = v->intValue(); i && v->isInteger()) return double(*i);
        return v->doubleValue();
    };
    SceneScanModel model;
    auto kind = text("kind"), hash = text("contentHash"), fingerprint = text("fingerprint");
    auto duration = integer(value.member("durationUs"));
    const JSONValue* spanList = value.member("spans");
    const JSONValue* stepList = value.member("colorSteps");
    if (!kind || !hash || !fingerprint || !duration || !spanList || !spanList->arrayPtr() || !stepList ||
        !stepList->arrayPtr()) {
        return std::nullopt;
    }
    model.kind = *kind;
    model.contentHash = *hash;
    model.fingerprint = *fingerprint;
    model.durationUs = *duration;
    for (const JSONValue& s : *spanList->arrayPtr()) {
        auto start = integer(s.member("startUs")), end = integer(s.member("endUs"));
        auto score = number(s.member("score"));
        if (!start || !end || !score) return std::nullopt;
        model.spans.push_back({*start, *end, *score});
    }
    for (const JSONValue& s : *stepList->arrayPtr()) {
        auto step = s.intValue();
        if (!step || !s.isInteger()) return std::nullopt;
        model.colorSteps.push_back(*step);
    }
    // A record that the scene pass could not have written is not trusted:
    // scenes contiguous from 0 to the duration, steps inside it, ascending.
    if (model.durationUs < 0) return std::nullopt;
    if (model.durationUs == 0 ? !model.spans.empty() : model.spans.empty()) return std::nullopt;
    int64_t at = 0;
    for (const auto& s : model.spans) {
        if (s.startUs != at || s.endUs <= s.startUs || !(s.score >= 0 && s.score <= 1)) return std::nullopt;
        at = s.endUs;
    }
    if (!model.spans.empty() && at != model.durationUs) return std::nullopt;
    int64_t previous = 0;
    for (int64_t step : model.colorSteps) {
        if (step <= previous || step >= model.durationUs) return std::nullopt;
        previous = step;
    }
    return model;
}

} // namespace korvel
