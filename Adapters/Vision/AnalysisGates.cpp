#include "Adapters/Vision/AnalysisGates.hpp"

#include "Adapters/Concurrency/BackgroundGate.hpp"
#include "Adapters/Concurrency/RenderGates.hpp"
#include "Adapters/Render/Drawing/FrameMemory.hpp"

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

detail::Held::Held(bool asked) : foreground(asked || RaisedScope::runsForeground()) {
    // A background run that a foreground request joined while it queued
    // takes the foreground road: the one background slot may be held by a
    // run that waits for that very foreground request to end.
    if (!foreground && !ahead().acquire([] { return RaisedScope::runsForeground(); })) foreground = true;
    if (foreground) {
        renders().narrow(1);
        try {
            video().acquire();
        } catch (...) {
            renders().widen();
            throw;
        }
    }
}

detail::Held::~Held() {
    // The analysis has freed what it held, however it ended, models' work
    // after the frames included: the heap's pages go back as after a render.
    FrameMemory::heapLetGo();
    if (foreground) {
        video().release();
        renders().widen();
    } else {
        ahead().release();
    }
}

} // namespace korvel::AnalysisGates
