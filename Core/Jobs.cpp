#include "Core/Jobs.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace korvel {

namespace {
constexpr std::array<std::string_view, 4> phaseNames{"analyze", "edit", "render", "export"};
constexpr std::array<std::string_view, 4> unitNames{"microseconds", "frames", "items", "bytes"};

thread_local std::stop_token currentStopToken;
} // namespace

std::string_view EngineProgress::name(Phase p) { return phaseNames[static_cast<size_t>(p)]; }
std::string_view EngineProgress::name(Unit u) { return unitNames[static_cast<size_t>(u)]; }

std::optional<EngineProgress::Phase> EngineProgress::phaseNamed(std::string_view n) {
    for (size_t i = 0; i < phaseNames.size(); ++i)
        if (phaseNames[i] == n) return static_cast<Phase>(i);
    return std::nullopt;
}

std::optional<EngineProgress::Unit> EngineProgress::unitNamed(std::string_view n) {
    for (size_t i = 0; i < unitNames.size(); ++i)
        if (unitNames[i] == n) return static_cast<Unit>(i);
    return std::nullopt;
}

namespace Task {
Scope::Scope(std::stop_token token) : previous_(std::move(currentStopToken)) {
    currentStopToken = std::move(token);
}
Scope::~Scope() { currentStopToken = std::move(previous_); }

std::stop_token currentToken() { return currentStopToken; }
bool isCancelled() { return currentStopToken.stop_requested(); }
void checkCancellation() {
    if (currentStopToken.stop_requested()) throw Cancelled();
}
} // namespace Task

JobContext::JobContext(Reporter report, Waiter giveWay, Asked mustGiveWay)
    : reporter(std::move(report)), waiter(std::move(giveWay)), asked(std::move(mustGiveWay)) {}

void JobContext::report(const EngineProgress& progress) const {
    if (reporter) reporter(progress);
}

void JobContext::giveWay() const {
    if (waiter) waiter();
}

bool JobContext::mustGiveWay() const { return asked ? asked() : false; }

JobContext JobContext::part(double from, double to) const {
    Reporter parent = reporter;
    Reporter mapped = [parent, from, to](const EngineProgress& p) {
        if (!p.total || *p.total < 1 || !parent) return;
        double f = static_cast<double>(p.done) / static_cast<double>(*p.total);
        f = std::clamp(f, 0.0, 1.0);
        auto v = static_cast<int64_t>(std::trunc((from + f * (to - from)) * 1000.0));
        parent(EngineProgress{p.phase, EngineProgress::Unit::items, v, 1000});
    };
    return JobContext(std::move(mapped), waiter, asked);
}

const JobContext& JobContext::silent() {
    static const JobContext context{Reporter{}};
    return context;
}

} // namespace korvel
