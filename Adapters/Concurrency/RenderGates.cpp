#include "Adapters/Concurrency/RenderGates.hpp"

#include "Core/CodecThreads.hpp"

#include <thread>

namespace korvel::RenderGates {

AsyncGate& renders() {
    static AsyncGate gate(limit);
    return gate;
}

AsyncGate& frames() {
    static AsyncGate gate(limit);
    return gate;
}

int running() { return renders().used() + frames().used(); }

int codecThreads(int least, std::optional<int64_t> frames) {
    return CodecThreads::count(static_cast<int>(std::thread::hardware_concurrency()), running(), least, frames);
}

} // namespace korvel::RenderGates
