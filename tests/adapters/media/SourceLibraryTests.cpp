#include "Adapters/Media/SourceLibrary.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "tests/adapters/render/MediaFixtures.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace korvel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
namespace fx = korvel::MediaFixtures;

namespace {

// Real work, counted and slowed down so that callers overlap.
struct Counted {
    std::atomic<int> hashes{0}, opens{0}, copies{0};
    std::atomic<int> failOpens{0};
    SourceLibrary::Work work() {
        auto real = SourceLibrary::Work::real();
        SourceLibrary::Work w = real;
        w.hash = [this, real](const fs::path& p) {
            ++hashes;
            std::this_thread::sleep_for(100ms);
            return real.hash(p);
        };
        w.openVideo = [this, real](const fs::path& p) {
            ++opens;
            std::this_thread::sleep_for(100ms);
            if (failOpens > 0) {
                --failOpens;
                throw EngineFailure::unsupportedFormat("failed on purpose");
            }
            return real.openVideo(p);
        };
        w.openCopy = [this](const VideoSource&) -> std::shared_ptr<const CopySource> {
            ++copies;
            return nullptr;
        };
        return w;
    }
};

fs::path scratchCopy(const std::string& fixture, const std::string& name) {
    fs::path out = fx::folder() / name;
    fs::copy_file(fx::path(fixture), out, fs::copy_options::overwrite_existing);
    return out;
}

template <class F> auto onThread(F f) {
    return std::async(std::launch::async, std::move(f));
}

} // namespace

TEST(SourceLibrary, ConcurrentRequestsForOneFileShareOneOpeningAndOneHashing) {
    Counted counted;
    SourceLibrary library(counted.work());
    fs::path file = fx::path("hevc.mp4");
    auto a = onThread([&] { return library.video(file); });
    auto b = onThread([&] { return library.video(file); });
    auto h1 = onThread([&] { return library.contentHash(file); });
    auto h2 = onThread([&] { return library.contentHash(file); });
    auto va = a.get(), vb = b.get();
    EXPECT_EQ(va, vb); // the same opened source
    EXPECT_EQ(h1.get(), fx::sha256sum(file));
    EXPECT_EQ(h2.get(), fx::sha256sum(file));
    EXPECT_EQ(counted.opens, 1);
    EXPECT_EQ(counted.hashes, 1);
    library.video(file);
    library.contentHash(file);
    EXPECT_EQ(counted.opens, 1);
    EXPECT_EQ(counted.hashes, 1);
}

TEST(SourceLibrary, FailedOpeningIsRetriedAndAbsentCopiesAreKept) {
    Counted counted;
    counted.failOpens = 1;
    SourceLibrary library(counted.work());
    fs::path file = fx::path("hevc.mp4");
    EXPECT_THROW(library.video(file), EngineFailure);
    auto video = library.video(file);
    EXPECT_EQ(counted.opens, 2);
    EXPECT_EQ(library.copySource(*video), nullptr);
    EXPECT_EQ(library.copySource(*video), nullptr);
    EXPECT_EQ(counted.copies, 1);
}

TEST(SourceLibrary, AChangedFileIsOpenedAgainAndTheSameStampKeepsItsHash) {
    Counted counted;
    SourceLibrary library(counted.work());
    fs::path file = scratchCopy("tone.wav", "library-changes.wav");
    std::string first = library.contentHash(file);
    EXPECT_NO_THROW(library.verify({file.string(), first}));

    // Same size and modification date, other bytes: the stamp is the same,
    // so the hash taken for it still stands.
    auto when = fs::last_write_time(file);
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(100);
        f.put('\x7f');
    }
    fs::last_write_time(file, when);
    EXPECT_NO_THROW(library.verify({file.string(), first}));
    EXPECT_EQ(counted.hashes, 1);

    // Grown: a new stamp, hashed again, and the old hash no longer verifies.
    {
        std::ofstream f(file, std::ios::app | std::ios::binary);
        f << "more";
    }
    try {
        library.verify({file.string(), first});
        ADD_FAILURE() << "a grown file verified";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32001, "library-changes.wav changed since it was imported."}));
    }
    EXPECT_EQ(counted.hashes, 2);
}

TEST(SourceLibrary, StampFailuresAndHashFailures) {
    SourceLibrary library;
    auto failure = [](auto f) {
        try {
            f();
        } catch (const EngineFailure& e) {
            return e;
        }
        return EngineFailure{0, "no failure"};
    };
    fs::path missing = fx::folder() / "nowhere.mov";
    EXPECT_EQ(failure([&] { library.contentHash(missing); }), (EngineFailure{-32001, "nowhere.mov is not there anymore."}));
    EXPECT_EQ(failure([&] { library.hasPicture(missing, "This audio track"); }), (EngineFailure{-32001, "nowhere.mov is not there anymore."}));
    EXPECT_EQ(failure([&] { library.video(fx::folder()); }), (EngineFailure{-32001, "media is not a file."}));
    // A trailing separator still names the last component.
    EXPECT_EQ(failure([&] { library.video(fx::folder() / ""); }), (EngineFailure{-32001, "media is not a file."}));
    EXPECT_EQ(failure([&] { library.contentHash(fx::folder() / "nowhere" / ""); }),
              (EngineFailure{-32001, "nowhere is not there anymore."}));

    // The caller that started a hashing that fails hears "can't be read",
    // and so does one that joined it: the system's text never reaches it.
    std::atomic<bool> joined{false};
    auto work = SourceLibrary::Work::real();
    work.hash = [&](const fs::path& p) -> std::string {
        while (!joined) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);
        throw SystemError::posix(EIO, "read " + p.string());
    };
    SourceLibrary failing(work);
    fs::path file = fx::path("tone.wav");
    auto creator = onThread([&] { return failure([&] { failing.contentHash(file); }); });
    std::this_thread::sleep_for(20ms);
    auto joiner = onThread([&] {
        joined = true;
        return failure([&] { failing.contentHash(file); });
    });
    EXPECT_EQ(creator.get(), (EngineFailure{-32001, "tone.wav can't be read."}));
    EXPECT_EQ(joiner.get(), (EngineFailure{-32001, "tone.wav can't be read."}));
}

// A hashing that could not get a steady digest words it for the caller that
// started it, and is forgotten so that the next request hashes again.
TEST(SourceLibrary, AFileChangingWhileHashedIsNotCached) {
    int calls = 0;
    auto work = SourceLibrary::Work::real();
    work.hash = [&](const fs::path& p) -> std::string {
        if (++calls == 1) throw EngineFailure::sourceUnavailable(p.filename().string() + " changed since it was imported.");
        return "steady";
    };
    SourceLibrary library(work);
    fs::path file = fx::path("tone.wav");
    try {
        library.contentHash(file);
        ADD_FAILURE() << "a changing file was hashed";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, (EngineFailure{-32001, "tone.wav changed since it was imported."}));
    }
    EXPECT_EQ(library.contentHash(file), "steady");
    EXPECT_EQ(calls, 2);
}

TEST(SourceLibrary, ACancelledCallerStillWaitsForTheSharedWork) {
    Counted counted;
    SourceLibrary library(counted.work());
    fs::path file = fx::path("hevc.mp4");
    std::stop_source stop;
    auto waiting = onThread([&] {
        Task::Scope scope(stop.get_token());
        return library.contentHash(file);
    });
    std::this_thread::sleep_for(20ms);
    stop.request_stop();
    EXPECT_EQ(waiting.get(), fx::sha256sum(file));
}

// A file saved again and again is a new file each time: the opened videos
// kept are the ones used last, a bounded number, and one pushed out is
// opened again when it is asked for.
TEST(SourceLibrary, KeepsTheVideosUsedLastToItsBound) {
    std::atomic<int> opens{0};
    SourceLibrary::Work work = SourceLibrary::Work::real();
    auto open = work.openVideo;
    work.openVideo = [&opens, open](const fs::path& p) {
        ++opens;
        return open(p);
    };
    SourceLibrary library(work);
    std::vector<fs::path> files;
    for (size_t i = 0; i <= SourceLibrary::keptOpenings; ++i)
        files.push_back(scratchCopy("copy.mp4", "library-bound-" + std::to_string(i) + ".mp4"));
    for (size_t i = 0; i < SourceLibrary::keptOpenings; ++i) library.video(files[i]);
    library.video(files[0]); // used again: the second is now the oldest
    EXPECT_EQ(opens, static_cast<int>(SourceLibrary::keptOpenings));
    library.video(files.back());
    EXPECT_EQ(library.keptVideos(), SourceLibrary::keptOpenings);
    library.video(files[0]);
    EXPECT_EQ(opens, static_cast<int>(SourceLibrary::keptOpenings) + 1) << "the one used again is still kept";
    library.video(files[1]);
    EXPECT_EQ(opens, static_cast<int>(SourceLibrary::keptOpenings) + 2) << "the oldest was pushed out";
    EXPECT_EQ(library.keptVideos(), SourceLibrary::keptOpenings);
}
