#include "Adapters/Vision/AnalysisGates.hpp"

#include "Adapters/Render/RenderGates.hpp"

namespace korvel::AnalysisGates {

AsyncGate& video() {
    static AsyncGate gate(2);
    return gate;
}

AsyncGate& ahead() {
    static AsyncGate gate(1);
    return gate;
}

AsyncGate& renders() { return RenderGates::renders(); }

detail::Held::Held(bool foreground) : foreground(foreground) {
    if (foreground) {
        renders().narrow(1);
        try {
            video().acquire();
        } catch (...) {
            renders().widen();
            throw;
        }
    } else {
        ahead().acquire();
    }
}

detail::Held::~Held() {
    if (foreground) {
        video().release();
        renders().widen();
    } else {
        ahead().release();
    }
}

} // namespace korvel::AnalysisGates
