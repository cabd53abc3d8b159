#include "Core/Analysis/MatteQualityMeter.hpp"

#include <algorithm>
#include <cmath>

namespace korvel {

void MatteQualityMeter::notePeople(float confidence) {
    peopleNow = confidence >= peopleConfidence;
    ++peopleSamples;
    if (peopleNow) ++peopleHits;
}

void MatteQualityMeter::add(std::span<const uint8_t> mask, int64_t width, int64_t height,
                            std::optional<std::span<const uint8_t>> person, std::optional<int64_t> atUs) {
    if (width <= 0 || height <= 0 || height > INT64_MAX / width) return;
    if (static_cast<uint64_t>(width * height) > mask.size()) return;
    const int64_t ringX = std::max<int64_t>(1, static_cast<int64_t>(std::floor(double(width) * ringShare)));
    const int64_t ringY = std::max<int64_t>(1, static_cast<int64_t>(std::floor(double(height) * ringShare)));
    int64_t opaque = 0, ring = 0, ringOpaque = 0;
    for (int64_t y = 0; y < height; ++y) {
        const uint8_t* row = &mask[size_t(y * width)];
        bool ringRow = y < ringY || y >= height - ringY;
        for (int64_t x = 0; x < width; ++x) {
            bool on = row[x] >= opaqueFrom;
            opaque += on;
            if (ringRow || x < ringX || x >= width - ringX) {
                ++ring;
                ringOpaque += on;
            }
        }
    }
    double coverage = double(opaque) / double(width * height);
    coverageSum += coverage;
    ringSum += double(ringOpaque) / double(std::max<int64_t>(ring, 1));
    if (previousCoverage && *previousCoverage > 0) {
        largestDrop = std::max(largestDrop, (*previousCoverage - coverage) / *previousCoverage);
    }
    previousCoverage = coverage;
    ++frames;
    if (person && atUs) addPerson(*person, *atUs);
}

void MatteQualityMeter::addPerson(std::span<const uint8_t> person, int64_t atUs) {
    int64_t opaque = 0;
    for (uint8_t v : person) opaque += v >= opaqueFrom;
    double share = person.empty() ? 0 : double(opaque) / double(person.size());
    personSum += share;
    ++personFrames;
    if (lastAtUs) frameUs = atUs - *lastAtUs;
    lastAtUs = atUs;
    if (share <= emptyShare && !peopleNow) {
        if (!absentSinceUs) absentSinceUs = atUs;
    } else {
        if (absentSinceUs && atUs - *absentSinceUs >= shortestAbsenceUs) absences.push_back({*absentSinceUs, atUs});
        absentSinceUs.reset();
    }
}

MatteQualityValues MatteQualityMeter::result() const {
    MatteQualityValues out;
    out.withoutPerson = absences;
    if (absentSinceUs && lastAtUs) {
        int64_t end = *lastAtUs + frameUs;
        if (end - *absentSinceUs >= shortestAbsenceUs) out.withoutPerson.push_back({*absentSinceUs, end});
    }
    if (personFrames >= 1) out.personCoverage = personSum / double(personFrames);
    if (peopleSamples >= 1) out.peopleSeen = double(peopleHits) / double(peopleSamples);
    if (frames >= 1) {
        out.meanCoverage = coverageSum / double(frames);
        out.outerRingOpaque = ringSum / double(frames);
        out.largestAreaDrop = largestDrop > 0 ? largestDrop : 0;
    }
    return out;
}

} // namespace korvel
