#include "Adapters/Render/Drawing/Grading.hpp"

#include "Adapters/Render/Drawing/Blur.hpp"
#include "Adapters/Render/Drawing/Tiles.hpp"
#include "Core/ClientText.hpp"
#include "Core/Jobs.hpp"
#include "Core/Plan/ColorCorrection.hpp"
#include "Core/Picture/Color/LookCube.hpp"
#include "Core/Picture/Steps/ColorControlsStep.hpp"
#include "Core/Picture/Steps/CubeStep.hpp"
#include "Core/Picture/Steps/ExposureStep.hpp"
#include "Core/Picture/Steps/FaceBalanceStep.hpp"
#include "Core/Picture/Steps/GainsStep.hpp"
#include "Core/Picture/Steps/HighlightShadowStep.hpp"
#include "Core/Picture/Steps/ToneCurveStep.hpp"
#include "Core/Picture/Steps/VibranceStep.hpp"

#include <charconv>
#include <cmath>
#include <optional>

namespace korvel {

Grading::Grading(std::vector<ColorStep> steps, ColorRecipe recipe, render::RenderCanvas canvas,
                 const ResolvedTimeline& timeline)
    : steps_(std::move(steps)), recipe_(recipe), canvas_(canvas), grain_(timeline, recipe, canvas) {}

std::string Grading::cubeKey(const std::string& look, double strength) {
    char text[64];
    auto [end, error] = std::to_chars(text, text + sizeof text, strength);
    std::string number(text, error == std::errc() ? end : text);
    if (number.find_first_of(".eEni") == std::string::npos) number += ".0";
    return look + "|" + number;
}

std::shared_ptr<const std::vector<float>> Grading::cube(const std::string& look, double strength) const {
    std::string key = cubeKey(look, strength);
    {
        std::lock_guard guard(lock_);
        if (auto found = cubes_.find(key); found != cubes_.end()) return found->second;
    }
    std::shared_ptr<const std::vector<float>> values;
    try {
        values = std::make_shared<const std::vector<float>>(LookCube::values(look, strength));
    } catch (const LookCube::Failure&) {
        throw EngineFailure::invalidParams("The look " + ClientText::quoted(look) + " does not exist.");
    }
    std::lock_guard guard(lock_);
    if (!cubes_.count(key)) {
        order_.push_back(key);
        if (order_.size() > maxCubes) {
            cubes_.erase(order_.front());
            order_.pop_front();
        }
    }
    cubes_[key] = values;
    return values;
}

size_t Grading::cachedCubes() const {
    std::lock_guard guard(lock_);
    return cubes_.size();
}

namespace {
using Inputs = std::map<std::string, ColorCorrection::FilterInput>;

// A scalar input, its default when absent, nothing when it has another
// shape (the filter is then skipped).
std::optional<double> scalar(const Inputs& inputs, const std::string& key, double fallback) {
    auto found = inputs.find(key);
    if (found == inputs.end()) return fallback;
    if (!found->second.scalar || found->second.values.size() != 1) return std::nullopt;
    return found->second.values[0];
}

double finite(double v, double fallback) { return std::isfinite(v) ? v : fallback; }
} // namespace

void Grading::correct(const std::map<std::string, double>& a, RGBAImage& picture, PixelChain& chain) const {
    auto has = [&](const char* k) { return a.count(k) > 0; };
    auto value = [&](const char* k, double fallback) { return has(k) ? a.at(k) : fallback; };
    if (has("whiteGainRed") && has("whiteGainGreen") && has("whiteGainBlue")) {
        chain.add(std::make_unique<GainsStep>(static_cast<float>(a.at("whiteGainRed")),
                                              static_cast<float>(a.at("whiteGainGreen")),
                                              static_cast<float>(a.at("whiteGainBlue"))));
    }
    const double diagonal = std::hypot(canvas_.width, canvas_.height);
    auto highlightShadow = [&](double shadow, double highlight, double radius) {
        std::shared_ptr<const std::vector<float>> base;
        if (std::isfinite(radius) && radius > 0) {
            // The base luma is the picture's as it stands here, blurred.
            Tiles::run(picture, chain);
            chain = PixelChain(recipe_.gammaSpace());
            const ColorMath::Curve& curve = ColorMath::curve(recipe_.gammaSpace());
            std::vector<float> luma(static_cast<size_t>(picture.width) * picture.height);
            for (size_t i = 0; i < luma.size(); ++i) {
                const float* p = &picture.pixels[i * 4];
                float inv = p[3] > 1e-6f ? 1 / p[3] : 0;
                luma[i] = curve.encode(ColorMath::luma(p[0] * inv, p[1] * inv, p[2] * inv));
            }
            base = std::make_shared<const std::vector<float>>(
                Blur::gaussian(luma, picture.width, picture.height, radius, diagonal));
        }
        chain.add(std::make_unique<HighlightShadowStep>(static_cast<float>(shadow), static_cast<float>(highlight),
                                                        base, picture.width));
    };
    for (const auto& call : ColorCorrection::filterCalls(a)) {
        const Inputs& in = call.inputs;
        // A filter asked to replace its own image input is skipped.
        if (in.count("inputImage")) continue;
        if (call.filter == "CIFaceBalance") {
            auto i = scalar(in, "inputOrigI", FaceBalanceStep::defaultOrigI);
            auto q = scalar(in, "inputOrigQ", FaceBalanceStep::defaultOrigQ);
            auto s = scalar(in, "inputStrength", FaceBalanceStep::defaultStrength);
            auto w = scalar(in, "inputWarmth", FaceBalanceStep::defaultWarmth);
            if (i && q && s && w) chain.add(std::make_unique<FaceBalanceStep>(*i, *q, *s, *w));
        } else if (call.filter == "CIVibrance") {
            if (auto amount = scalar(in, "inputAmount", 0)) chain.add(std::make_unique<VibranceStep>(static_cast<float>(*amount)));
        } else if (call.filter == "CIToneCurve") {
            std::vector<std::pair<double, double>> points(ToneCurveStep::defaults().begin(), ToneCurveStep::defaults().end());
            bool shaped = true;
            for (int k = 0; k < 5; ++k) {
                auto found = in.find("inputPoint" + std::to_string(k));
                if (found == in.end()) continue;
                if (found->second.scalar || found->second.values.size() != 2) {
                    shaped = false;
                    break;
                }
                points[static_cast<size_t>(k)] = {found->second.values[0], found->second.values[1]};
            }
            if (shaped) chain.add(std::make_unique<ToneCurveStep>(points));
        } else if (call.filter == "CIHighlightShadowAdjust") {
            auto radius = scalar(in, "inputRadius", 0);
            auto shadow = scalar(in, "inputShadowAmount", 0);
            auto highlight = scalar(in, "inputHighlightAmount", 1);
            if (radius && shadow && highlight) highlightShadow(*shadow, *highlight, *radius);
        }
    }
    if (has("exposure")) chain.add(std::make_unique<ExposureStep>(a.at("exposure")));
    if (has("faceBalanceStrength")) {
        chain.add(std::make_unique<FaceBalanceStep>(value("faceBalanceOrigI", FaceBalanceStep::defaultOrigI),
                                                    value("faceBalanceOrigQ", FaceBalanceStep::defaultOrigQ),
                                                    a.at("faceBalanceStrength"),
                                                    value("faceBalanceWarmth", FaceBalanceStep::defaultWarmth)));
    }
    if (has("brightness") || has("contrast") || has("saturation")) {
        chain.add(std::make_unique<ColorControlsStep>(static_cast<float>(value("brightness", 0)),
                                                      static_cast<float>(value("contrast", 1)),
                                                      static_cast<float>(value("saturation", 1))));
    }
    if (has("vibrance")) chain.add(std::make_unique<VibranceStep>(static_cast<float>(a.at("vibrance"))));
    if (has("shadowAmount") || has("highlightAmount")) {
        highlightShadow(finite(value("shadowAmount", 0), 0), finite(value("highlightAmount", 1), 1), 0);
    }
}

void Grading::graded(RGBAImage& picture, int64_t atUs, int64_t frame, PixelChain& chain) const {
    for (const auto& step : steps_) {
        if (!step.isActive(atUs)) continue;
        if (const auto* look = step.look()) {
            chain.add(std::make_unique<CubeStep>(cube(look->look, look->strength), LookCube::dimension));
        } else if (const auto* c = step.correct()) {
            ColorCorrection::check(c->adjustments);
            correct(c->adjustments, picture, chain);
        } else if (const auto* m = step.match()) {
            chain.add(std::make_unique<GainsStep>(static_cast<float>(m->gains.r), static_cast<float>(m->gains.g),
                                                  static_cast<float>(m->gains.b)));
        } else if (const auto* g = step.grain()) {
            chain.add(grain_.step(g->strength, g->seed, frame));
        }
    }
}

bool Grading::needsPicture(int64_t atUs) const {
    for (const auto& step : steps_) {
        const auto* c = step.correct();
        if (!c || !step.isActive(atUs)) continue;
        for (const auto& call : ColorCorrection::filterCalls(c->adjustments)) {
            if (call.filter != "CIHighlightShadowAdjust" || call.inputs.count("inputImage")) continue;
            auto radius = scalar(call.inputs, "inputRadius", 0);
            if (radius && std::isfinite(*radius) && *radius > 0) return true;
        }
    }
    return false;
}

void Grading::graded(RGBAImage& picture, int64_t atUs, int64_t frame) const {
    PixelChain chain(recipe_.gammaSpace());
    graded(picture, atUs, frame, chain);
    Tiles::run(picture, chain);
}

} // namespace korvel
