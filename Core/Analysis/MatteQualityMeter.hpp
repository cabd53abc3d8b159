#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace korvel {

// How usable a person matte is: coverage, bleeding into the border, sudden
// losses, and the stretches without a person.
struct MatteQualityValues {
    struct Span {
        int64_t startUs = 0;
        int64_t endUs = 0;
        bool operator==(const Span&) const = default;
    };

    double meanCoverage = 0;
    double outerRingOpaque = 0;
    double largestAreaDrop = 0;
    std::optional<double> personCoverage;
    std::vector<Span> withoutPerson;
    std::optional<double> peopleSeen;
    std::optional<bool> greenScreen;

    bool operator==(const MatteQualityValues&) const = default;
};

// Accumulates masks (one byte a pixel, opaque from 128) frame by frame.
class MatteQualityMeter {
public:
    static constexpr uint8_t opaqueFrom = 128;
    static constexpr double ringShare = 0.05;
    static constexpr double emptyShare = 0.005;
    static constexpr float peopleConfidence = 0.3f;
    static constexpr int64_t shortestAbsenceUs = 500'000;

    MatteQualityMeter() = default;

    // The verdict holds for the frames added until the next call.
    void notePeople(float confidence);
    void add(std::span<const uint8_t> mask, int64_t width, int64_t height,
             std::optional<std::span<const uint8_t>> person = std::nullopt, std::optional<int64_t> atUs = std::nullopt);
    MatteQualityValues result() const;

private:
    void addPerson(std::span<const uint8_t> person, int64_t atUs);

    int64_t frames = 0;
    double coverageSum = 0;
    double ringSum = 0;
    double largestDrop = 0;
    std::optional<double> previousCoverage;
    int64_t personFrames = 0;
    double personSum = 0;
    std::vector<MatteQualityValues::Span> absences;
    std::optional<int64_t> absentSinceUs;
    std::optional<int64_t> lastAtUs;
    int64_t frameUs = 0;
    int64_t peopleSamples = 0;
    int64_t peopleHits = 0;
    bool peopleNow = false;
};

} // namespace korvel
