// The one-time sweep of sound records made by earlier builds: exactly the
// sound kinds' records go, once, and nothing outside them is touched.

#include "Adapters/Methods/AnalysisCache.hpp"
#include "Adapters/Methods/SoundRecordSweep.hpp"
#include "Core/Analysis/Fingerprint.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

fs::path freshRoot(const std::string& name) {
    fs::path root = fs::path(KORVEL_TEST_TMP) / ("sound-sweep-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    return root;
}

std::string fingerprintOf(const std::string& seed) { return Fingerprint::of({seed}); }

std::string recordText(const std::string& fingerprint, const std::string& kind) {
    return JSONValue(JSONValue::Object{{"fingerprint", fingerprint}, {"kind", kind}, {"contentHash", "h"},
                                       {"assetId", "a"}})
        .canonical();
}

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

fs::path stamp(const fs::path& folder) { return folder / std::string(SoundRecordSweep::stampName); }

} // namespace

TEST(SoundRecordSweep, RemovesTheSoundKindsRecordsOnceAndNothingElse) {
    const fs::path root = freshRoot("kinds");
    const fs::path folder = root / "analysis";
    std::vector<fs::path> swept, kept;
    for (const char* kind : {"silences", "waveform", "loudness"}) {
        const std::string fp = fingerprintOf(kind);
        write(folder / (fp + ".json"), recordText(fp, kind));
        swept.push_back(folder / (fp + ".json"));
    }
    for (const char* kind : {"transcript", "scene_scan", "voice_language", "faces", "isolation"}) {
        const std::string fp = fingerprintOf(kind);
        write(folder / (fp + ".json"), recordText(fp, kind));
        kept.push_back(folder / (fp + ".json"));
    }
    struct Odd {
        std::string name, text;
    } odd[] = {
        // a sound record under another record's name is not ours
        {fingerprintOf("other") + ".json", recordText(fingerprintOf("elsewhere"), "silences")},
        // names not of the record shape
        {fingerprintOf("upper").substr(0, 63) + "A.json", recordText(fingerprintOf("upper").substr(0, 63) + "A", "waveform")},
        {fingerprintOf("short").substr(0, 40) + ".json", recordText(fingerprintOf("short").substr(0, 40), "loudness")},
        {fingerprintOf("ext") + ".json.bak", recordText(fingerprintOf("ext"), "loudness")},
        // not JSON, not an object, no kind
        {fingerprintOf("garbage") + ".json", "{\"kind\":\"silences\""},
        {fingerprintOf("array") + ".json", "[\"silences\"]"},
        {fingerprintOf("kindless") + ".json", R"({"fingerprint":")" + fingerprintOf("kindless") + "\"}"},
    };
    for (const auto& o : odd) {
        write(folder / o.name, o.text);
        kept.push_back(folder / o.name);
    }
    // A partial store's folder and an isolated voice keep what they hold.
    const std::string partial = fingerprintOf("partial");
    write(folder / (partial + ".json.korvel-partial-1") / (partial + ".json"), recordText(partial, "silences"));
    kept.push_back(folder / (partial + ".json.korvel-partial-1") / (partial + ".json"));
    write(folder / "isolation" / (fingerprintOf("voice") + ".wav"), "RIFF");
    kept.push_back(folder / "isolation" / (fingerprintOf("voice") + ".wav"));

    SoundRecordSweep::once(folder);
    for (const auto& f : swept) EXPECT_FALSE(fs::exists(f)) << f;
    for (const auto& f : kept) EXPECT_TRUE(fs::exists(f)) << f;
    ASSERT_TRUE(fs::is_regular_file(stamp(folder)));

    // Records stored by this build stay: the sweep happens once per cache.
    const AnalysisCache cache{folder, root / "journal"};
    const std::string fresh = fingerprintOf("fresh");
    cache.store(fresh, JSONValue::parsing(recordText(fresh, "silences")));
    SoundRecordSweep::once(folder);
    EXPECT_TRUE(cache.load(fresh, "silences", "h", "b"));
}

TEST(SoundRecordSweep, LinksAndFoldersUnderRecordNamesAreLeftAlone) {
    const fs::path root = freshRoot("hostile");
    const fs::path folder = root / "analysis";
    const fs::path outside = root / "outside";
    // A link named like a record, to a sound record outside the folder.
    const std::string linked = fingerprintOf("linked");
    write(outside / (linked + ".json"), recordText(linked, "silences"));
    fs::create_directories(folder);
    fs::create_symlink(outside / (linked + ".json"), folder / (linked + ".json"));
    // A link to a folder, and a folder, both under record names.
    const std::string toFolder = fingerprintOf("to-folder");
    fs::create_directory_symlink(outside, folder / (toFolder + ".json"));
    const std::string dir = fingerprintOf("dir");
    write(folder / (dir + ".json") / (dir + ".json"), recordText(dir, "waveform"));
    // A FIFO under a record name must not block the sweep.
    const std::string fifo = fingerprintOf("fifo");
    ASSERT_EQ(::mkfifo((folder / (fifo + ".json")).c_str(), 0644), 0);

    SoundRecordSweep::once(folder);
    EXPECT_TRUE(fs::is_symlink(folder / (linked + ".json")));
    EXPECT_TRUE(fs::exists(outside / (linked + ".json")));
    EXPECT_TRUE(fs::is_symlink(folder / (toFolder + ".json")));
    EXPECT_TRUE(fs::exists(folder / (dir + ".json") / (dir + ".json")));
    EXPECT_TRUE(fs::is_fifo(folder / (fifo + ".json")));
    EXPECT_TRUE(fs::exists(stamp(folder)));
}

TEST(SoundRecordSweep, AStampAlreadyThereInAnyFormMeansNoSweep) {
    struct Case {
        std::string name;
        std::function<void(const fs::path&)> place;
    } cases[] = {
        {"file", [](const fs::path& s) { write(s, ""); }},
        {"folder", [](const fs::path& s) { fs::create_directories(s); }},
        {"dangling-link", [](const fs::path& s) { fs::create_symlink(s.parent_path() / "nowhere", s); }},
    };
    for (const auto& c : cases) {
        const fs::path folder = freshRoot("stamped-" + c.name) / "analysis";
        const std::string fp = fingerprintOf("kept");
        write(folder / (fp + ".json"), recordText(fp, "loudness"));
        c.place(stamp(folder));
        SoundRecordSweep::once(folder);
        EXPECT_TRUE(fs::exists(folder / (fp + ".json"))) << c.name;
    }
}

TEST(SoundRecordSweep, AFreshCacheGetsItsStampAndAMissingRootIsNoFailure) {
    const fs::path root = freshRoot("fresh");
    SoundRecordSweep::once(root / "cache" / "analysis");
    EXPECT_TRUE(fs::is_regular_file(stamp(root / "cache" / "analysis")));
    // A cache root that is a file: nothing to sweep, nothing thrown.
    write(root / "plain", "x");
    SoundRecordSweep::once(root / "plain" / "analysis");
    EXPECT_TRUE(fs::is_regular_file(root / "plain"));
}
