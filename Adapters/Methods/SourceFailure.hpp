#pragma once

#include "Adapters/Methods/SharedMeasurement.hpp"
#include "Adapters/Media/SourceLibrary.hpp"

#include <exception>
#include <string>

namespace korvel {

// A source failure raised inside a shared run, with the path the run was
// started for: a waiter that sent another path must not be told about a file
// it never named.
struct StartersSourceFailure : std::exception {
    std::string path;
    EngineFailure failure;

    StartersSourceFailure(std::string path, EngineFailure failure) : path(std::move(path)), failure(std::move(failure)) {}
    const char* what() const noexcept override { return failure.what(); }
};

// Verifies the source inside a shared run, marking its failure with the path.
inline void verifyInRun(SourceLibrary& library, const EngineSource& source) {
    try {
        library.verify(source);
    } catch (const EngineFailure& failure) {
        throw StartersSourceFailure(source.path, failure);
    }
}

// The shared value; on another request's source failure it tries once more,
// which starts a run of its own unless yet another run has begun meanwhile.
template <class T>
T sharedValue(SharedMeasurement<T>& measuring, const std::string& key, bool background, const JobContext& job,
              const std::string& ownPath, typename SharedMeasurement<T>::Work work) {
    try {
        return measuring.value(key, background, job, work);
    } catch (const StartersSourceFailure& failure) {
        if (failure.path == ownPath) throw failure.failure;
    }
    try {
        return measuring.value(key, background, job, std::move(work));
    } catch (const StartersSourceFailure& failure) {
        throw failure.failure;
    }
}

} // namespace korvel
