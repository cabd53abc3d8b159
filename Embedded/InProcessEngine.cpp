#include "Embedded/InProcessEngine.hpp"

#include "Adapters/Live/LivePreviewService.hpp"
#include "Adapters/Live/OnceShelf.hpp"
#include "Embedded/LineCarrier.hpp"

namespace korvel {

InProcessEngine::InProcessEngine(Engine engine) : session_(LineCarrier::make(std::move(engine))) {}

InProcessEngine::InProcessEngine(Engine engine, std::shared_ptr<Shelf> videos)
    : session_(LineCarrier::make(std::move(engine))), videos_(std::move(videos)) {}

InProcessEngine::~InProcessEngine() { session_->close(); }

JSONValue InProcessEngine::call(std::string_view method, const JSONValue& params, Progress progress,
                                std::stop_token stop) {
    return session_->call(method, params, std::move(progress), std::move(stop)).get();
}

std::future<JSONValue> InProcessEngine::callAsync(std::string_view method, const JSONValue& params,
                                                  Progress progress, std::stop_token stop) {
    return session_->call(method, params, std::move(progress), std::move(stop));
}

void InProcessEngine::send(std::string_view line) { session_->send(line); }

void InProcessEngine::onLine(RawLine listener) { session_->onLine(std::move(listener)); }

bool InProcessEngine::stop() { return session_->stop(); }

std::optional<LiveVideo> InProcessEngine::liveVideo(std::string_view name) {
    if (!videos_) return std::nullopt;
    auto composition = videos_->take(name);
    if (!composition) return std::nullopt;
    return LiveVideo(*composition);
}

} // namespace korvel
