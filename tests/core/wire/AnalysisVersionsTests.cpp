#include "Core/Digest.hpp"
#include "Core/Wire/AnalysisVersions.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace korvel;

namespace {
const std::string hash(64, 'a');
const AnalysisVersions versions{"0.1.0"};

// The recipe re-derived: each part as "<bytes>:<part>".
std::string derived(const std::vector<std::string>& parts) {
    std::string text;
    for (const auto& p : parts) text += std::to_string(p.size()) + ":" + p;
    return Digest::sha256(text);
}
} // namespace

TEST(AnalysisVersions, RecipesMatchTheirCheckValues) {
    struct Case {
        std::string fingerprint;
        std::string check;
        std::vector<std::string> parts;
    };
    const Case cases[] = {
        {versions.fingerprint(AnalysisKind::loudness, hash, "music"),
         "d7100d449f51a92b6327273a32a38bae90cc3400c76532a555552dd2089b391a",
         {"loudness", "2", hash, "0.1.0", "music", "2"}},
        {versions.fingerprint(AnalysisKind::loudness, hash, std::nullopt),
         "f387b6d3369ef5340c9461f105ff5d38eab3af35804747d119a3614ce1779f6d", {"loudness", "2", hash, "0.1.0", "2"}},
        {versions.fingerprint(AnalysisKind::loudness, hash, ""),
         "015b2efef304552b86aa1b6b2eb03acd78c058ced3e996907740b74fe24b8325",
         {"loudness", "2", hash, "0.1.0", "", "2"}},
        {versions.fingerprint(AnalysisKind::silences, hash, "music"),
         "5932076c14153b327066de4b4a35b2dc9d89f2d895ec33774cac4a2b91c56e9b", {"silences", "2", hash, "0.1.0"}},
        {versions.fingerprint(AnalysisKind::colorStats, hash, std::nullopt),
         "762c508999d68a1e081b11f5886b91e0931598163eaf1b8fc619e00a11b64bdc",
         {"color_stats", "2", hash, "0.1.0", "3"}},
        {versions.matteFingerprint(hash, "hybrid", 1280),
         "5992ca1246ed2f4daa0fa1eb42f079a53c93a36ef97008a9da86937e0eb2930e",
         {"matte", "2", "4", hash, "0.1.0", "hybrid", "1280"}},
        {versions.sceneScanFingerprint(hash), "04045490b034c94952249c34122098e051fa4cd20b62e03a982fc34239cd6b4f",
         {"scene_scan", "2", hash, "0.1.0"}},
        {versions.voiceLanguageFingerprint(hash), "6b599729cfca16d44c8845ca2c65cad4672981798df2610d50e31847081cad3b",
         {"voice_language", "2", "1", hash, "0.1.0"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.fingerprint, c.check);
        EXPECT_EQ(c.fingerprint, derived(c.parts));
    }
    EXPECT_EQ(versions.transcriptFingerprint(hash, "en", "whisper_large_v3", "unaligned", "system"),
              derived({"transcript", "2", "4", hash, "0.1.0", "en", "whisper_large_v3", "unaligned", "system"}));
}

TEST(AnalysisVersions, InputsThatMustTellRecordsApart) {
    EXPECT_EQ(versions.fingerprint(AnalysisKind::silences, hash, "music"),
              versions.fingerprint(AnalysisKind::silences, hash, std::nullopt));
    EXPECT_NE(versions.fingerprint(AnalysisKind::scenes, hash, std::nullopt),
              versions.fingerprint(AnalysisKind::colorStats, hash, std::nullopt));
    EXPECT_NE(versions.matteFingerprint(hash, "foreground", 1280), versions.matteFingerprint(hash, "hybrid", 1280));
    EXPECT_NE(versions.matteFingerprint(hash, "hybrid", 1920), versions.matteFingerprint(hash, "hybrid", 1280));
    EXPECT_NE(AnalysisVersions{"0.1.1"}.fingerprint(AnalysisKind::waveform, hash, std::nullopt),
              versions.fingerprint(AnalysisKind::waveform, hash, std::nullopt));
}

// A requested kind takes its kind's recipe; a name outside the table the
// plain one, which for "scene_scan" is the scene-scan record's.
TEST(AnalysisVersions, ARequestedKindIsFingerprintedUnderItsName) {
    EXPECT_EQ(versions.fingerprint(RequestedKind::named("loudness"), hash, "music"),
              versions.fingerprint(AnalysisKind::loudness, hash, "music"));
    EXPECT_EQ(versions.fingerprint(RequestedKind::named("color_stats"), hash, std::nullopt),
              versions.fingerprint(AnalysisKind::colorStats, hash, std::nullopt));
    EXPECT_EQ(versions.fingerprint(RequestedKind::named("scene_scan"), hash, "music"),
              versions.sceneScanFingerprint(hash));
    EXPECT_EQ(versions.fingerprint(RequestedKind::named("sparkles"), hash, "music"),
              derived({"sparkles", "2", hash, "0.1.0"}));
}
