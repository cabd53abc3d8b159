#include "Core/Wire/AnalysisKind.hpp"

#include <gtest/gtest.h>

#include <set>

using namespace korvel;

// The names are the wire's and the records': written out here, not taken
// from the table under test.
TEST(AnalysisKind, EveryKindRoundTripsThroughItsName) {
    struct Case {
        AnalysisKind kind;
        std::string_view name;
    };
    const Case cases[] = {
        {AnalysisKind::transcript, "transcript"},     {AnalysisKind::silences, "silences"},
        {AnalysisKind::loudness, "loudness"},         {AnalysisKind::waveform, "waveform"},
        {AnalysisKind::isolation, "isolation"},       {AnalysisKind::faces, "faces"},
        {AnalysisKind::scenes, "scenes"},             {AnalysisKind::colorStats, "color_stats"},
        {AnalysisKind::frameScores, "frame_scores"}, {AnalysisKind::textRegions, "text_regions"},
        {AnalysisKind::matte, "matte"},
    };
    ASSERT_EQ(std::size(cases), EnumNames<AnalysisKind>::names.size());
    std::set<AnalysisKind> seen;
    for (const Case& c : cases) {
        EXPECT_EQ(rawValue(c.kind), c.name);
        EXPECT_EQ(fromRawValue<AnalysisKind>(c.name), c.kind) << c.name;
        const RequestedKind requested = RequestedKind::named(std::string(c.name));
        EXPECT_EQ(requested.known, c.kind) << c.name;
        EXPECT_EQ(requested.name, c.name);
        seen.insert(c.kind);
    }
    EXPECT_EQ(seen.size(), std::size(cases));
}

// An unknown name is no kind, but stays as sent, to be refused with it.
TEST(AnalysisKind, AnUnknownNameIsRefusedAndKeptAsSent) {
    const std::string names[] = {"sparkles",   "",           "Scenes",         "color-stats",
                                 "colorStats", " faces",     "scene_scan",     "voice_language",
                                 std::string("faces\0", 6)};
    for (const std::string& name : names) {
        EXPECT_FALSE(fromRawValue<AnalysisKind>(name)) << name;
        const RequestedKind requested = RequestedKind::named(name);
        EXPECT_FALSE(requested.known) << name;
        EXPECT_EQ(requested.name, name);
    }
}
