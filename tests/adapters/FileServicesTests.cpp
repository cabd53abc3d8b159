// File identity, digests, media failure wording, temporary outputs, folders.

#include "Adapters/Files/FileDigest.hpp"
#include "Adapters/Files/FileIdentity.hpp"
#include "Adapters/Files/FileStamp.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Files/EngineFolders.hpp"
#include "Adapters/Files/EngineCaches.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Adapters/Server/Stderr.hpp"
#include "Adapters/Media/SystemError.hpp"
#include "Core/Digest.hpp"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}
#include <glib.h>

#include <fstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

namespace {
fs::path fresh(const std::string& name) {
    fs::path p = fs::path(KORVEL_TEST_TMP) / (name + "-" + std::to_string(::getpid()));
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}
void write(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
std::string read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
std::exception_ptr posix(int e) { return std::make_exception_ptr(SystemError::posix(e, "test")); }
MediaFailure::FreeSpace freeBytes(int64_t n) {
    return [n](const fs::path&) { return std::optional<int64_t>(n); };
}
} // namespace

TEST(FileStamp, ChangesWithTheFile) {
    auto dir = fresh("stamp");
    auto file = dir / "a.txt";
    write(file, "one");
    auto first = FileStamp::of(file);
    ASSERT_TRUE(first);
    EXPECT_EQ(first, FileStamp::of(file));
    EXPECT_EQ(std::hash<FileStamp>{}(*first), std::hash<FileStamp>{}(*FileStamp::of(file)));
    EXPECT_TRUE(first->isRegularFile);
    fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(5));
    EXPECT_NE(first, FileStamp::of(file));
    EXPECT_FALSE(FileStamp::of(dir)->isRegularFile);
    EXPECT_FALSE(FileStamp::of(dir / "missing"));
    fs::create_symlink(file, dir / "link.txt");
    EXPECT_NE(FileStamp::of(dir / "link.txt")->path, FileStamp::of(file)->path);
}

// However an output is spelled, it is the source when writing there would
// replace the source's bytes; an output beside it is not.
TEST(FileIdentity, SeesTheSourceThroughEverySpelling) {
    const fs::path dir = fresh("file-identity");
    const fs::path source = dir / "src.mp4";
    write(source, "footage");
    fs::create_directories(dir / "other" / "deep");
    fs::create_hard_link(source, dir / "other" / "hard.mp4");
    fs::create_symlink(source, dir / "other" / "soft.mp4");
    fs::create_symlink("../src.mp4", dir / "other" / "relative.mp4");
    fs::create_symlink(dir / "other" / "soft.mp4", dir / "chain.mp4");
    fs::create_directory_symlink(dir / "other" / "deep", dir / "into");
    fs::create_symlink(dir / "other" / "gone.mp4", dir / "dangling.mp4");
    struct Case {
        fs::path output;
        bool same;
    };
    const Case cases[] = {
        {source, true},
        {dir / "other" / "hard.mp4", true},
        {dir / "other" / "soft.mp4", true},
        {dir / "other" / "relative.mp4", true},
        {dir / "chain.mp4", true},
        {dir / "." / "src.mp4", true},
        {dir / "x" / ".." / "src.mp4", true},
        {dir / "x" / "y" / ".." / ".." / "src.mp4", true},
        // ".." after a linked folder is the parent of where the link leads.
        {dir / "into" / ".." / ".." / "src.mp4", true},
        {dir / "out.mp4", false},
        {dir / "x" / ".." / "out.mp4", false},
        {dir / "into" / ".." / "src.mp4", false},
        {dir / "src.mp4.png", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FileIdentity::of(c.output) == FileIdentity::of(source), c.same) << c.output;
    }
    // Two spellings of one path not there yet are one file; a dangling link is
    // the file it would create.
    EXPECT_EQ(FileIdentity::of(dir / "x" / ".." / "new.mp4"), FileIdentity::of(dir / "new.mp4"));
    EXPECT_EQ(FileIdentity::of(dir / "dangling.mp4"), FileIdentity::of(dir / "other" / "gone.mp4"));
    EXPECT_NE(FileIdentity::of(dir / "new.mp4"), FileIdentity::of(dir / "other" / "new.mp4"));
    EXPECT_FALSE(fs::exists(dir / "x"));
}

TEST(FileIdentity, RefusesAnOutputThatIsAnInput) {
    const fs::path dir = fresh("file-identity-refusal");
    write(dir / "a.mov", "a");
    write(dir / "b.wav", "b");
    const std::vector<fs::path> inputs{dir / "a.mov", dir / "b.wav"};
    try {
        FileIdentity::refuseOverwriting(dir / "x" / ".." / "b.wav", inputs, "Not over a source.");
        ADD_FAILURE() << "not refused";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f, EngineFailure::invalidParams("Not over a source."));
    }
    EXPECT_NO_THROW(FileIdentity::refuseOverwriting(dir / "c.mp4", inputs, "Not over a source."));
    EXPECT_NO_THROW(FileIdentity::refuseOverwriting(dir / "c.mp4", {}, "Not over a source."));
    EXPECT_EQ(read(dir / "b.wav"), "b");
}

TEST(FileDigest, MatchesTheTextDigestAcrossChunks) {
    auto dir = fresh("digest");
    std::string big(1 << 20, 'x');
    struct Case {
        std::string content;
    };
    for (const auto& content : {std::string(), std::string("abc"), big, big + "y"}) {
        write(dir / "f", content);
        EXPECT_EQ(FileDigest::sha256(dir / "f"), Digest::sha256(content)) << content.size();
    }
    EXPECT_THROW(FileDigest::sha256(dir / "missing"), SystemError);
    std::stop_source stop;
    stop.request_stop();
    Task::Scope scope(stop.get_token());
    EXPECT_THROW(FileDigest::sha256(dir / "f"), Cancelled);
}

// A file written while it is hashed would give a digest of bytes that were
// never on disk together: it is hashed again, and refused if it keeps changing.
TEST(FileDigest, SteadyDigestHashesAgainWhenTheFileChanged) {
    auto dir = fresh("digest-steady");
    const fs::path file = dir / "grow.bin";
    write(file, std::string(3 << 20, 'a'));
    EXPECT_EQ(FileDigest::sha256IfSteady(file), Digest::sha256(std::string(3 << 20, 'a')));

    int passes = 0;
    auto grown = FileDigest::sha256IfSteady(file, 3, [&] {
        if (++passes == 1) std::ofstream(file, std::ios::app) << "tail";
    });
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(grown, Digest::sha256(std::string(3 << 20, 'a') + "tail"));

    // Replaced under the same name with the same size: the inode tells.
    passes = 0;
    auto replaced = FileDigest::sha256IfSteady(file, 3, [&] {
        if (++passes > 1) return;
        write(dir / "other", std::string((3 << 20) + 4, 'b'));
        fs::rename(dir / "other", file);
    });
    EXPECT_EQ(replaced, Digest::sha256(std::string((3 << 20) + 4, 'b')));

    passes = 0;
    EXPECT_EQ(FileDigest::sha256IfSteady(file, 3, [&] { std::ofstream(file, std::ios::app) << ++passes; }), std::nullopt);
    EXPECT_EQ(passes, 3);
    EXPECT_THROW(FileDigest::sha256IfSteady(dir / "missing"), SystemError);
}

TEST(MediaFailure, WritingSentences) {
    struct Case {
        std::exception_ptr error;
        int64_t free;
        int code;
        std::string message;
    };
    const std::string full = "There isn't enough room on the disk for clip.mp4.";
    const std::string locked = "clip.mp4 can't be saved there, because that place can't be written to.";
    const std::string other = "clip.mp4 could not be written.";
    auto wrapped = std::make_exception_ptr(
        SystemError("POSIX", EACCES, "outer", std::make_shared<SystemError>(SystemError::posix(ENOSPC, "inner"))));
    const Case cases[] = {
        {posix(ENOSPC), 1LL << 40, -32004, full},
        {posix(EDQUOT), 1LL << 40, -32004, full},
        {posix(EIO), 10'485'759, -32004, full},
        {posix(EIO), 10'485'760, -32003, other},
        {posix(EROFS), 1LL << 40, -32003, locked},
        {posix(EACCES), 1LL << 40, -32003, locked},
        {wrapped, 1LL << 40, -32004, full},
        {nullptr, 1LL << 40, -32003, other},
    };
    for (const auto& c : cases) {
        auto failure = MediaFailure::writing(c.error, "clip.mp4", fs::path("/tmp/clip.mp4"), freeBytes(c.free));
        EXPECT_EQ(failure.code, c.code) << c.message;
        EXPECT_EQ(failure.message, c.message);
    }
    auto own = EngineFailure::invalidParams("mine");
    EXPECT_EQ(MediaFailure::writing(std::make_exception_ptr(own), "x"), own);
}

// A phrase of ours opens a sentence with its capital and is lowered inside
// one; a file name keeps its spelling in both places.
TEST(MediaFailure, SubjectsKeepTheirCaseWhereTheySit) {
    struct Case {
        std::exception_ptr error;
        int64_t free;
        std::string message;
    };
    const Case phrases[] = {
        {posix(ENOSPC), 1LL << 40, "There isn't enough room on the disk for the speech models."},
        {posix(EIO), 1, "There isn't enough room on the disk for the speech models."},
        {posix(EACCES), 1LL << 40, "The speech models can't be saved there, because that place can't be written to."},
        {posix(EIO), 1LL << 40, "The speech models could not be written."},
    };
    for (const auto& c : phrases) {
        EXPECT_EQ(MediaFailure::writing(c.error, MediaFailure::Phrase{"The speech models"}, fs::path("/tmp/m"),
                                        freeBytes(c.free))
                      .message,
                  c.message);
    }
    EXPECT_EQ(MediaFailure::writing(posix(ENOSPC), MediaFailure::Phrase{"The preview"}),
              EngineFailure::diskFull("There isn't enough room on the disk for the preview."));
    EXPECT_EQ(MediaFailure::writing(posix(ENOSPC), "Clip.MP4").message,
              "There isn't enough room on the disk for Clip.MP4.");
    EXPECT_EQ(MediaFailure::writing(posix(EIO), "Clip.MP4").message, "Clip.MP4 could not be written.");
}

TEST(MediaFailure, ReadingSentences) {
    EXPECT_EQ(MediaFailure::reading(posix(ENOENT), "This video"),
              EngineFailure::sourceUnavailable("This video is not there anymore."));
    EXPECT_EQ(MediaFailure::reading(posix(EIO), "This video"),
              EngineFailure::unsupportedFormat("Part of this video can't be read. The file may be damaged."));
    EXPECT_EQ(MediaFailure::reading(posix(EIO), "Élan.mov").message,
              "Part of élan.mov can't be read. The file may be damaged.");
}

// ENXIO is a device that went away, such as an unplugged drive.
TEST(MediaFailure, MissingFileClass) {
    for (int e : {ENOENT, ENXIO, ENOTDIR}) {
        EXPECT_EQ(MediaFailure::reading(posix(e), "The video").code, -32001) << e;
    }
    EXPECT_EQ(MediaFailure::reading(posix(EISDIR), "The video").code, -32002);
}

TEST(MediaFailure, ChainIsCutAtEight) {
    std::shared_ptr<SystemError> inner;
    for (int i = 0; i < 12; ++i) inner = std::make_shared<SystemError>("POSIX", i, "e", inner);
    EXPECT_EQ(MediaFailure::chain(std::make_exception_ptr(*inner)).size(), 8u);
}

TEST(TempOutput, CommitReplacesWholeAndCleansUp) {
    auto dir = fresh("temp-commit");
    auto journal = dir / "journal";
    write(dir / "out.mp4", "old");
    TempOutput output(dir / "out.mp4", journal);
    ASSERT_TRUE(fs::is_directory(output.folder()));
    ASSERT_TRUE(output.journalEntry() && fs::exists(*output.journalEntry()));
    // A plain encoder's text: slashes escaped.
    const std::string text = read(*output.journalEntry());
    EXPECT_EQ(text.find('/'), text.find("\\/") + 1) << text;
    auto entry = JSONValue::parsing(text);
    EXPECT_EQ(*entry.member("path")->stringValue(), output.folder().string());
    EXPECT_EQ(*entry.member("pid")->intValue(), ::getpid());
    write(output.url(), "new");
    EXPECT_EQ(read(dir / "out.mp4"), "old");
    output.commit();
    EXPECT_EQ(read(dir / "out.mp4"), "new");
    EXPECT_FALSE(fs::exists(output.folder()));
    EXPECT_TRUE(fs::is_empty(journal));
}

TEST(TempOutput, FailedReplaceKeepsTheOldFinal) {
    auto dir = fresh("temp-fail");
    fs::create_directories(dir / "out.mp4" / "occupied"); // a non-empty folder can't be replaced by a file
    TempOutput output(dir / "out.mp4", dir / "journal");
    write(output.url(), "new");
    try {
        output.commit();
        FAIL() << "commit should fail";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32003);
        EXPECT_EQ(f.message, "out.mp4 could not be written.");
    }
    EXPECT_TRUE(fs::is_directory(dir / "out.mp4" / "occupied"));
    EXPECT_FALSE(fs::exists(output.folder()));
    EXPECT_TRUE(fs::is_empty(dir / "journal"));
}

TEST(TempOutput, FailedSetUpLeavesNoPartialFolder) {
    auto dir = fresh("temp-setup");
    write(dir / "journal", "a file where the journal folder should be");
    EXPECT_THROW(TempOutput(dir / "out.mp4", dir / "journal"), EngineFailure);
    for (const auto& item : fs::directory_iterator(dir)) {
        EXPECT_EQ(item.path().filename().string().find(".korvel-partial-"), std::string::npos) << item.path();
    }
}

TEST(TempOutput, AbandonedOutputIsDiscarded) {
    auto dir = fresh("temp-abandon");
    fs::path folder;
    {
        TempOutput output(dir / "a.png", std::nullopt);
        folder = output.folder();
        EXPECT_FALSE(output.journalEntry());
        write(output.url(), "x");
    }
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_FALSE(fs::exists(dir / "a.png"));
}

TEST(TempOutput, SweepRemovesOnlyWhatDeadProcessesLeft) {
    auto dir = fresh("temp-sweep");
    auto journal = dir / "journal";
    fs::create_directories(journal);
    auto entry = [&](const std::string& uuid, const std::string& path, int64_t pid) {
        write(journal / (uuid + ".json"),
              R"({"path":")" + path + R"(","pid":)" + std::to_string(pid) + "}");
    };
    auto partial = [&](const std::string& uuid) {
        auto p = dir / ("x.mp4.korvel-partial-" + uuid);
        fs::create_directories(p);
        return p;
    };
    const std::string dead = "11111111-1111-4111-8111-111111111111";
    const std::string alive = "22222222-2222-4222-8222-222222222222";
    const std::string relative = "33333333-3333-4333-8333-333333333333";
    const std::string other = "44444444-4444-4444-8444-444444444444";
    const std::string dotdot = "55555555-5555-4555-8555-555555555555";
    auto deadFolder = partial(dead);
    entry(dead, deadFolder.string(), 2147483600);
    auto aliveFolder = partial(alive);
    entry(alive, aliveFolder.string(), 1); // init is always there
    auto relativeFolder = partial(relative);
    entry(relative, "x.mp4.korvel-partial-" + relative, 2147483600);
    auto otherFolder = partial(other);
    entry(other, partial(dead).string(), 2147483600); // names another uuid's folder
    entry(dotdot, (dir / ".." / dir.filename() / ("x.mp4.korvel-partial-" + dotdot)).string(), 2147483600);
    auto dotdotFolder = partial(dotdot);
    write(journal / "broken.json", "{");
    write(journal / "notes.txt", "keep");

    // A live output of this very process survives a second sweep in-process.
    TempOutput live(dir / "live.mp4", journal);

    TempOutput::sweep(journal);
    EXPECT_FALSE(fs::exists(deadFolder));
    EXPECT_TRUE(fs::exists(aliveFolder));
    EXPECT_TRUE(fs::exists(journal / (alive + ".json")));
    EXPECT_TRUE(fs::exists(relativeFolder));
    EXPECT_TRUE(fs::exists(otherFolder));
    EXPECT_TRUE(fs::exists(dotdotFolder));
    for (const auto& gone : {dead, relative, other, dotdot}) EXPECT_FALSE(fs::exists(journal / (gone + ".json")));
    EXPECT_FALSE(fs::exists(journal / "broken.json"));
    EXPECT_TRUE(fs::exists(journal / "notes.txt"));
    EXPECT_TRUE(fs::exists(live.folder()));
    EXPECT_TRUE(fs::exists(*live.journalEntry()));
    live.discard();
}

TEST(TempOutput, SweepTreatsOwnPidWithoutLiveOutputAsGone) {
    auto dir = fresh("temp-ownpid");
    auto journal = dir / "journal";
    fs::create_directories(journal);
    const std::string uuid = "66666666-6666-4666-8666-666666666666";
    auto folder = dir / ("y.mp4.korvel-partial-" + uuid);
    fs::create_directories(folder);
    write(journal / (uuid + ".json"), R"({"path":")" + folder.string() + R"(","pid":)" + std::to_string(::getpid()) + "}");
    TempOutput::sweep(journal);
    EXPECT_FALSE(fs::exists(folder));
}

// std::filesystem keeps a NUL that every system call stops at: an output
// named "Precious\0.jpg" must never touch the folder "Precious".
TEST(TempOutput, RefusesPathsWithNul) {
    auto dir = fresh("temp-nul");
    fs::create_directories(dir / "Precious");
    write(dir / "Precious" / "photo.jpg", "keep");
    const fs::path hostile = dir.string() + "/Precious" + std::string(1, '\0') + ".jpg";
    try {
        TempOutput output(hostile, dir / "journal");
        write(output.url(), "x");
        output.commit();
        ADD_FAILURE() << "wrote through a NUL";
    } catch (const EngineFailure& f) {
        EXPECT_EQ(f.code, -32003);
    }
    EXPECT_EQ(read(dir / "Precious" / "photo.jpg"), "keep");
    EXPECT_EQ(FileStamp::of(dir.string() + "/Precious/photo.jpg" + std::string(1, '\0') + "x"), std::nullopt);
    EXPECT_THROW(FileDigest::sha256(dir.string() + "/Precious/photo.jpg" + std::string(1, '\0')), SystemError);
}

// A device, FIFO or socket at the final path is refused before anything is written.
TEST(TempOutput, RefusesFinalsThatAreNotFiles) {
    auto dir = fresh("temp-special");
    ASSERT_EQ(::mkfifo((dir / "pipe.jpg").c_str(), 0644), 0);
    for (const fs::path& final : {dir / "pipe.jpg", fs::path("/dev/null")}) {
        try {
            TempOutput output(final, std::nullopt);
            ADD_FAILURE() << final;
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f, EngineFailure::writeFailed(final.filename().string() + " could not be written."));
        }
    }
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.jpg"));
    // Made before the FIFO appeared, the output is still not renamed over it.
    TempOutput output(dir / "late.jpg", std::nullopt);
    write(output.url(), "x");
    ASSERT_EQ(::mkfifo((dir / "late.jpg").c_str(), 0644), 0);
    EXPECT_THROW(output.commit(), EngineFailure);
    EXPECT_TRUE(fs::is_fifo(dir / "late.jpg"));
    EXPECT_FALSE(fs::exists(output.folder()));
}

// An edited entry whose path holds a NUL passes every text test but names
// the folder before the NUL; only the entry goes.
TEST(TempOutput, SweepRefusesEntriesWithNul) {
    auto dir = fresh("temp-sweep-nul");
    auto journal = dir / "journal";
    fs::create_directories(journal);
    const std::string uuid = "77777777-7777-4777-8777-777777777777";
    fs::create_directories(dir / "Precious");
    write(dir / "Precious" / "photo.jpg", "keep");
    write(journal / (uuid + ".json"), R"({"path":")" + (dir / "Precious").string() + R"(\u0000.korvel-partial-)" + uuid +
                                          R"(","pid":2147483600})");
    EXPECT_FALSE(TempOutput::isFolderWritten(uuid + ".json", (dir / "Precious").string() + std::string(1, '\0') +
                                                                 ".korvel-partial-" + uuid));
    TempOutput::sweep(journal);
    EXPECT_EQ(read(dir / "Precious" / "photo.jpg"), "keep");
    EXPECT_FALSE(fs::exists(journal / (uuid + ".json")));
}

// Entries that are no plain files are unreadable entries: removed, and the
// start-up sweep is never held by a FIFO or fed by a device.
TEST(TempOutput, SweepRemovesEntriesThatAreNoFiles) {
    auto dir = fresh("temp-sweep-special");
    auto journal = dir / "journal";
    fs::create_directories(journal);
    ASSERT_EQ(::mkfifo((journal / "pipe.json").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", journal / "zero.json");
    TempOutput::sweep(journal);
    EXPECT_FALSE(fs::exists(fs::symlink_status(journal / "pipe.json")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(journal / "zero.json")));
}

TEST(EngineFolders, FlagsAndEnvironment) {
    std::map<std::string, std::string> env{{"HOME", "/home/u"}};
    auto f = EngineFolders::from({"engine", "--cache-dir", "/tmp/c", "--cache-dir", "/tmp/d"}, env);
    EXPECT_EQ(f.cache, "/tmp/c");
    EXPECT_EQ(f.models, "/home/u/.local/share/korvel-engine/models");
    EXPECT_EQ(f.modelsBaseURL, EngineFolders::defaultModelsBaseURL);
    EXPECT_EQ(EngineFolders::from({"engine", "--cache-dir"}, env).cache, "/home/u/.cache/korvel-engine");
    // A value holding a NUL names no folder: the default stands.
    const std::string nul(1, '\0');
    auto h = EngineFolders::from({"engine", "--cache-dir", "/tmp/c" + nul + "d", "--models-dir", "/m" + nul}, env);
    EXPECT_EQ(h.cache, "/home/u/.cache/korvel-engine");
    EXPECT_EQ(h.models, "/home/u/.local/share/korvel-engine/models");
    auto g = EngineFolders::from({"engine", "--cache-dir", "--models-dir", "/m"}, env);
    EXPECT_EQ(g.cache, fs::absolute("--models-dir"));
    EXPECT_EQ(g.models, "/m");
    // An empty value names the current folder; building the folders never fails.
    EXPECT_EQ(EngineFolders::from({"engine", "--cache-dir", "", "--models-dir", ""}, env).cache, fs::current_path());
    EXPECT_EQ(EngineFolders::from({"engine", "--models-dir", ""}, env).models, fs::current_path());
    env["KORVEL_MODELS_URL"] = "";
    EXPECT_EQ(EngineFolders::from({"engine"}, env).modelsBaseURL, EngineFolders::defaultModelsBaseURL);
    env["KORVEL_MODELS_URL"] = "http://127.0.0.1:8080/v1/models";
    EXPECT_EQ(EngineFolders::from({"engine"}, env).modelsBaseURL, "http://127.0.0.1:8080/v1/models");
    env["XDG_CACHE_HOME"] = "/xdg";
    EXPECT_EQ(EngineFolders::from({"engine"}, env).cache, "/xdg/korvel-engine");
    // Without a home, the temporary folder stands in, even one that isn't there.
    const char* tmpdir = std::getenv("TMPDIR");
    std::optional<std::string> saved = tmpdir ? std::optional<std::string>(tmpdir) : std::nullopt;
    ::setenv("TMPDIR", "/nonexistent-tmp", 1);
    EngineFolders homeless;
    EXPECT_NO_THROW(homeless = EngineFolders::from({"engine"}, {}));
    if (saved) ::setenv("TMPDIR", saved->c_str(), 1);
    else ::unsetenv("TMPDIR");
    EXPECT_FALSE(homeless.cache.empty());
    EngineCaches caches{"/r"};
    EXPECT_EQ(caches.journal(), "/r/journal");
    EXPECT_EQ(caches.analysis(), "/r/analysis");
    EXPECT_EQ(caches.isolation(), "/r/analysis/isolation");
    EXPECT_EQ(caches.before(), "/r/before");
    EXPECT_EQ(caches.after(), "/r/after");
}

namespace {
// Everything written to standard error while the body runs.
template <class F> std::string stderrOf(F body) {
    int pipes[2];
    EXPECT_EQ(::pipe(pipes), 0);
    int saved = ::dup(2);
    ::dup2(pipes[1], 2);
    body();
    ::dup2(saved, 2);
    ::close(saved);
    ::close(pipes[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipes[0], buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
    ::close(pipes[0]);
    return text;
}
} // namespace

TEST(Stderr, LibraryLinesGoThroughTheEnginesHandler) {
    Stderr::routeLibraryLogs();
    std::string text = stderrOf([] {
        av_log(nullptr, AV_LOG_ERROR, "moov atom not found\n");
        g_warning("value out of range for property 'height'");
        g_log("VIPS", G_LOG_LEVEL_WARNING, "%s", "truncated file");
        Stderr::library("whisper", Stderr::Severity::warning, "slow");
        Stderr::library("ONNX Runtime", Stderr::Severity::fatal, "bad model\nsecond line\n");
        av_log(nullptr, AV_LOG_FATAL, "out of memory\n");
    });
    EXPECT_EQ(text, "korvel-engine: ONNX Runtime: bad model second line\nkorvel-engine: FFmpeg: out of memory\n");
}
