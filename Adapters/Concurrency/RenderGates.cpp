#include "Adapters/Concurrency/RenderGates.hpp"

namespace korvel::RenderGates {

AsyncGate& renders() {
    static AsyncGate gate(limit);
    return gate;
}

AsyncGate& frames() {
    static AsyncGate gate(limit);
    return gate;
}

} // namespace korvel::RenderGates
