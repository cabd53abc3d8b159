#include "Adapters/Render/Outputs/SegmentCache.hpp"
#include "Core/Jobs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {

const std::string key = std::string(63, 'a') + "0";

fs::path freshRoot(const std::string& name) {
    fs::path root = fs::path(KORVEL_TEST_TMP) / "segment-cache" / name;
    fs::remove_all(root);
    fs::create_directories(root);
    return root;
}

std::vector<uint8_t> bytes(size_t n) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(i * 7);
    return out;
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

SegmentCache::Entry entryOf(size_t size) { return {"{\"engine\":\"0.1.0.r1\"}", static_cast<int64_t>(size), 60, 2000000, 0}; }

} // namespace

TEST(SegmentCache, StoresAndFindsAWindow) {
    fs::path root = freshRoot("store");
    SegmentCache cache(root / "after");
    auto data = bytes(5000);
    cache.store(data, key, entryOf(data.size()));

    EXPECT_EQ(slurp(root / "after" / (key + ".m4s")), std::string(data.begin(), data.end()));
    EXPECT_EQ(cache.entry(key, entryOf(0).fingerprint), entryOf(data.size()));
    // Only the two files: no temporary leftovers.
    EXPECT_EQ(std::distance(fs::directory_iterator(root / "after"), fs::directory_iterator()), 2);
    // Another variant's folder does not see it.
    EXPECT_EQ(SegmentCache(root / "before").entry(key, entryOf(0).fingerprint), std::nullopt);
}

TEST(SegmentCache, MissesUnlessFingerprintAndLengthMatch) {
    const std::string fp = entryOf(0).fingerprint;
    struct Case {
        const char* name;
        std::function<void(const fs::path& json, const fs::path& m4s)> spoil;
    };
    std::vector<Case> cases{
        {"other fingerprint", [](auto& json, auto&) {
             put(json, R"({"fingerprint":"x","byteLength":100,"frameCount":60,"durationUs":2000000,"firstPtsUs":0})");
         }},
        {"one byte short", [](auto&, auto& m4s) { fs::resize_file(m4s, 99); }},
        {"no firstPtsUs", [&](auto& json, auto&) {
             put(json, R"({"fingerprint":"{\"engine\":\"0.1.0.r1\"}","byteLength":100,"frameCount":60,"durationUs":2000000})");
         }},
        {"missing m4s", [](auto&, auto& m4s) { fs::remove(m4s); }},
        {"missing record", [](auto& json, auto&) { fs::remove(json); }},
        {"not JSON", [](auto& json, auto&) { put(json, "{"); }},
        {"m4s a FIFO and the record's length 0", [&](auto& json, auto& m4s) {
             put(json, R"({"fingerprint":"{\"engine\":\"0.1.0.r1\"}","byteLength":0,"frameCount":60,"durationUs":2000000,"firstPtsUs":0})");
             fs::remove(m4s);
             ASSERT_EQ(::mkfifo(m4s.c_str(), 0644), 0);
         }},
        {"m4s a link to the real bytes", [](auto&, auto& m4s) {
             fs::rename(m4s, m4s.string() + ".real");
             fs::create_symlink(m4s.string() + ".real", m4s);
         }},
        {"record a FIFO", [](auto& json, auto&) {
             fs::remove(json);
             ASSERT_EQ(::mkfifo(json.c_str(), 0644), 0);
         }},
        {"record a link to /dev/zero", [](auto& json, auto&) {
             fs::remove(json);
             fs::create_symlink("/dev/zero", json);
         }},
        {"length as text", [&](auto& json, auto&) {
             put(json, R"({"fingerprint":"{\"engine\":\"0.1.0.r1\"}","byteLength":"100","frameCount":60,"durationUs":2000000,"firstPtsUs":0})");
         }},
    };
    for (const auto& c : cases) {
        fs::path root = freshRoot("miss");
        SegmentCache cache(root);
        cache.store(bytes(100), key, entryOf(100));
        ASSERT_TRUE(cache.entry(key, fp)) << c.name;
        c.spoil(root / (key + ".json"), root / (key + ".m4s"));
        EXPECT_EQ(cache.entry(key, fp), std::nullopt) << c.name;
    }
}

TEST(SegmentCache, RecordIsWrittenPlainInFieldOrder) {
    fs::path root = freshRoot("record");
    SegmentCache cache(root);
    SegmentCache::Entry e{"{\"text\":\"a/b\"}", 3, 60, 2000000, 0};
    cache.store(bytes(3), key, e);
    EXPECT_EQ(slurp(root / (key + ".json")),
              R"({"fingerprint":"{\"text\":\"a\/b\"}","byteLength":3,"frameCount":60,"durationUs":2000000,"firstPtsUs":0})");
    EXPECT_EQ(cache.entry(key, e.fingerprint), e);
}

TEST(SegmentCache, ReadsRecordKeysInAnyOrder) {
    fs::path root = freshRoot("order");
    SegmentCache cache(root);
    cache.store(bytes(10), key, entryOf(10));
    put(root / (key + ".json"),
        R"({"firstPtsUs":0,"durationUs":2000000,"frameCount":60,"byteLength":10,"fingerprint":"{\"engine\":\"0.1.0.r1\"}","extra":1})");
    EXPECT_EQ(cache.entry(key, entryOf(0).fingerprint), entryOf(10));
}

TEST(SegmentCache, StoringCreatesTheVariantFolder) {
    fs::path root = freshRoot("create");
    SegmentCache cache(root / "cache" / "after");
    cache.store(bytes(3), key, entryOf(3));
    EXPECT_TRUE(fs::is_regular_file(root / "cache" / "after" / (key + ".json")));
}

TEST(SegmentCache, StoreFailureIsWordedForThePreview) {
    fs::path root = freshRoot("store-fail");
    put(root / "file", "x");
    try {
        SegmentCache(root / "file" / "after").store(bytes(3), key, entryOf(3));
        FAIL() << "stored under a file";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, EngineFailure(-32003, "The preview could not be written."));
    }
}

TEST(SegmentCache, DeliverReplacesTheOutputAtomically) {
    fs::path root = freshRoot("deliver");
    SegmentCache cache(root / "after");
    auto data = bytes(3000);
    cache.store(data, key, entryOf(data.size()));
    fs::path out = root / "out" / "segment.m4s";
    fs::create_directories(out.parent_path());
    put(out, "old");
    cache.deliver(key, out);
    EXPECT_EQ(slurp(out), std::string(data.begin(), data.end()));
    EXPECT_EQ(std::distance(fs::directory_iterator(out.parent_path()), fs::directory_iterator()), 1);
}

TEST(SegmentCache, FailedDeliveryLeavesTheOldOutput) {
    fs::path root = freshRoot("deliver-fail");
    SegmentCache cache(root / "after");
    fs::path out = root / "segment.m4s";
    put(out, "old");
    try {
        cache.deliver(key, out);
        FAIL() << "delivered a window that is not stored";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, EngineFailure(-32003, "The preview could not be written."));
    }
    EXPECT_EQ(slurp(out), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(root), fs::directory_iterator()), 1);
}

TEST(SegmentCache, RefusesKeysThatAreNotSegmentKeys) {
    fs::path root = freshRoot("keys");
    fs::path cacheFolder = root / "a" / "b";
    SegmentCache cache(cacheFolder);
    std::string climbing = "../../" + std::string(58, 'a');
    ASSERT_EQ(climbing.size(), 64u);
    for (const std::string& bad : {climbing, std::string(63, 'a'), std::string(65, 'a'), std::string(64, 'A'),
                                   std::string(63, 'a') + "g", std::string(63, 'a') + "/", std::string()}) {
        EXPECT_FALSE(SegmentCache::isKey(bad)) << bad;
        EXPECT_EQ(cache.entry(bad, "x"), std::nullopt) << bad;
        try {
            cache.store(bytes(3), bad, entryOf(3));
            ADD_FAILURE() << "stored under " << bad;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32602) << bad;
        }
        try {
            cache.deliver(bad, root / "out.m4s");
            ADD_FAILURE() << "delivered " << bad;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32602) << bad;
        }
    }
    // Nothing was written anywhere, inside the folder or above it.
    EXPECT_FALSE(fs::exists(cacheFolder));
    EXPECT_EQ(std::distance(fs::recursive_directory_iterator(root), fs::recursive_directory_iterator()), 0);
    EXPECT_TRUE(SegmentCache::isKey(key));
}
