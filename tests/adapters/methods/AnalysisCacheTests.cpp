#include "Adapters/Methods/AnalysisCache.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {
fs::path freshRoot(const std::string& name) {
    fs::path root = fs::path(KORVEL_TEST_TMP) / ("analysis-cache-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    return root;
}

AnalysisCache cacheIn(const fs::path& root) { return {root / "analysis", root / "journal"}; }

JSONValue record(const std::string& fingerprint, const std::string& kind, const std::string& hash) {
    return JSONValue(JSONValue::Object{{"fingerprint", fingerprint}, {"kind", kind}, {"contentHash", hash},
                                       {"assetId", "first"}, {"path", "/a/b"}});
}

void writeRaw(const AnalysisCache& cache, const std::string& fingerprint, const std::string& text) {
    fs::create_directories(cache.folder);
    std::ofstream(cache.recordPath(fingerprint)) << text;
}
} // namespace

TEST(AnalysisCache, StoredRecordAnswersWithTheAskersId) {
    const auto root = freshRoot("store");
    const AnalysisCache cache = cacheIn(root);
    cache.store("f1", record("f1", "silences", "h"));
    ASSERT_TRUE(fs::exists(root / "analysis" / "f1.json"));
    // Written by a plain encoder: slashes escaped.
    std::ifstream in(root / "analysis" / "f1.json");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find(R"(\/a\/b)"), std::string::npos);
    auto loaded = cache.load("f1", "silences", "h", "second");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(*loaded->member("assetId"), JSONValue("second"));
    EXPECT_EQ(*loaded->member("path"), JSONValue("/a/b"));
    // Nothing is left of the temporary output or its journal entry.
    EXPECT_TRUE(fs::is_empty(root / "journal"));
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "analysis"), fs::directory_iterator()), 1);
}

TEST(AnalysisCache, RecordsThatDoNotMatchAreAbsent) {
    const auto root = freshRoot("mismatch");
    const AnalysisCache cache = cacheIn(root);
    struct Case {
        std::string text;
        const char* why;
    };
    const Case cases[] = {
        {R"({"fingerprint":"f","kind":"waveform","contentHash":"h"})", "another kind"},
        {R"({"fingerprint":"g","kind":"silences","contentHash":"h"})", "another fingerprint"},
        {R"({"fingerprint":"f","kind":"silences","contentHash":"x"})", "another content"},
        {R"({"fingerprint":"f","kind":"silences","contentHash":7})", "a number for the hash"},
        {R"({"fingerprint":"f","kind":"silences"})", "no hash"},
        {R"([{"fingerprint":"f","kind":"silences","contentHash":"h"}])", "an array"},
        {R"({"fingerprint":"f","kind":"silences","contentHash":"h")", "cut short"},
        {"", "empty"},
    };
    for (const Case& c : cases) {
        writeRaw(cache, "f", c.text);
        EXPECT_FALSE(cache.load("f", "silences", "h", "a")) << c.why;
    }
    EXPECT_FALSE(cache.load("missing", "silences", "h", "a"));
}

TEST(AnalysisCache, AFolderThatCannotBeWrittenStoresNothingAndDoesNotFail) {
    const auto root = freshRoot("blocked");
    std::ofstream(root / "analysis") << "a file where the folder should be";
    const AnalysisCache cache = cacheIn(root);
    cache.store("f", record("f", "silences", "h"));
    EXPECT_FALSE(cache.load("f", "silences", "h", "a"));
}
