#include "Adapters/Vision/AnalysisGates.hpp"

namespace korvel::AnalysisGates {

AsyncGate& video() {
    static AsyncGate gate(2);
    return gate;
}

AsyncGate& ahead() {
    static AsyncGate gate(1);
    return gate;
}

AsyncGate& renders() {
    static AsyncGate gate(4);
    return gate;
}

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
    admitted = true;
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
