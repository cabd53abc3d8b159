#pragma once

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Server/EngineSession.hpp"
#include "Core/Engine.hpp"

#include <chrono>

namespace korvel {

// Reads JSON-RPC lines from a descriptor on the calling thread and feeds the
// session until end of input.
class StdioServer {
public:
    static constexpr std::chrono::milliseconds shutdownGrace{5000};
    static constexpr size_t readBufferSize = 65536;

    StdioServer(Engine engine, int input, int output, BackgroundGate& gate);

    // Returns after shutdown at end of input: true when every job ended in
    // time. Throws when a direct answer cannot be written.
    bool run();

private:
    int input_;
    EngineSession session_;
};

} // namespace korvel
