// The engine process as the editor sees it: lines in, lines out, exit status.

#include "EngineProcess.hpp"
#include "tests/support/Shell.hpp"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <cstdlib>
#include <iterator>
#include <sys/wait.h>

using namespace korvel;
using korvel::testing::EngineProcess;

namespace {
std::vector<std::string> cacheArgs(const std::string& name) {
    return {"--cache-dir", korvel::testing::freshFolder(name)};
}
} // namespace

TEST(EngineProcess, HandshakeListsCapabilitiesSorted) {
    EngineProcess engine(cacheArgs("hello"));
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    auto line = engine.readLine();
    ASSERT_TRUE(line);
    auto answer = JSONValue::parsing(*line);
    const auto* result = answer.member("result");
    ASSERT_TRUE(result);
    EXPECT_EQ(*result->member("contractVersion"), JSONValue(9));
    EXPECT_EQ(*result->member("engineVersion"), JSONValue("0.1.0"));
    EXPECT_EQ(*result->member("renderRevision"), JSONValue(1));
    const auto* capabilities = result->member("capabilities")->arrayPtr();
    ASSERT_TRUE(capabilities);
    std::vector<std::string> names;
    for (const auto& c : *capabilities) names.push_back(*c.stringValue());
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
    EXPECT_EQ(std::count(names.begin(), names.end(), "engine.hello"), 0);
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

TEST(EngineProcess, DirectAnswersCarryExactSentences) {
    struct Case {
        std::string line;
        std::string answer;
    };
    const Case cases[] = {
        {EngineProcess::request(2, "engine.hello", R"({"contractVersion":"9"})"),
         R"({"error":{"code":-32602,"message":"engine.hello needs contractVersion"},"id":2,"jsonrpc":"2.0"})"},
        {EngineProcess::request(3, "engine.hello", R"({"contractVersion":8})"),
         R"({"error":{"code":-32600,"message":"Main speaks contract 8, this engine speaks 9."},"id":3,"jsonrpc":"2.0"})"},
        {EngineProcess::request(4, "render.nothing", "{}"),
         R"({"error":{"code":-32601,"message":"render.nothing is not built yet."},"id":4,"jsonrpc":"2.0"})"},
        {"{", R"({"error":{"code":-32700,"message":"Not valid JSON"},"jsonrpc":"2.0"})"},
        {std::string(100'000, '['), R"({"error":{"code":-32700,"message":"Not valid JSON"},"jsonrpc":"2.0"})"},
        {"[1,2]", R"({"error":{"code":-32700,"message":"Not a JSON-RPC 2.0 message"},"jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","id":5,"method":"x"})",
         R"({"error":{"code":-32700,"message":"A request needs an integer id, a method and params"},"jsonrpc":"2.0"})"},
        {R"({"jsonrpc":"2.0","method":"$/cancel"})",
         R"({"error":{"code":-32700,"message":"A notification needs a method and params"},"jsonrpc":"2.0"})"},
    };
    EngineProcess engine(cacheArgs("direct"));
    for (const auto& c : cases) {
        engine.sendLine(c.line);
        EXPECT_EQ(engine.readLine(), c.answer) << c.line.substr(0, 80);
    }
    // Notifications get no answer; the next request proves the engine moved on.
    engine.sendLine(R"({"jsonrpc":"2.0","method":"$/cancel","params":{"id":99}})");
    engine.sendLine(R"({"jsonrpc":"2.0","method":"something","params":null})");
    engine.sendLine(EngineProcess::request(6, "x.y", "null"));
    EXPECT_EQ(engine.readLine(), R"({"error":{"code":-32601,"message":"x.y is not built yet."},"id":6,"jsonrpc":"2.0"})");
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
    EXPECT_EQ(engine.stderrText(), "");
}

TEST(EngineProcess, EndOfInputExitsZeroAndDropsUnfinishedLine) {
    EngineProcess engine(cacheArgs("eof"));
    engine.send(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})")); // no newline
    engine.closeInput();
    EXPECT_EQ(engine.readLine(), std::nullopt);
    EXPECT_EQ(engine.wait(), 0);
    EXPECT_EQ(engine.stderrText(), "");
}

TEST(EngineProcess, LinesSplitAcrossWritesAndCarriageReturns) {
    EngineProcess engine(cacheArgs("split"));
    std::string line = EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})");
    engine.send(line.substr(0, 10));
    engine.send(line.substr(10) + "\r\n\n\n");
    auto answer = engine.readJSON();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer->member("id"), JSONValue(1));
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// An empty line is no message: nothing answers it (the in-process engine
// skips it too).
TEST(EngineProcess, EmptyLinesGetNoAnswer) {
    EngineProcess engine(cacheArgs("empty-lines"));
    engine.send("\n\n");
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    auto answer = engine.readJSON();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer->member("id"), JSONValue(1));
    engine.closeInput();
    EXPECT_EQ(engine.readLine(), std::nullopt);
    EXPECT_EQ(engine.wait(), 0);
    EXPECT_EQ(engine.stderrText(), "");
}

TEST(EngineProcess, UnwritableOutputEndsWithStatusOne) {
    EngineProcess engine(cacheArgs("closed"), {}, /*closeStdout=*/true);
    engine.sendLine("{");
    EXPECT_EQ(engine.wait(), 1);
    auto err = engine.stderrText();
    EXPECT_EQ(err.rfind("korvel-engine: ", 0), 0u) << err;
    EXPECT_NE(err.find("could not write to standard output"), std::string::npos) << err;
}

// Started with its standard output closed, the engine must not write its
// answers into whatever file it opens next.
TEST(EngineProcess, AClosedStandardOutputIsNeverTakenByAFile) {
    namespace fs = std::filesystem;
    const fs::path cache = korvel::testing::freshFolder("closed-descriptor");
    const fs::path err = cache.parent_path() / "closed-descriptor.err";
    const std::string hello = EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})");
    const std::string command = "printf '%s\\n' '" + hello + "' | '" KORVEL_ENGINE_PATH "' --cache-dir '" +
                                cache.string() + "' >&- 2>'" + err.string() + "'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::ifstream in(err);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("could not write to standard output"), std::string::npos) << text;
    for (const auto& entry : fs::recursive_directory_iterator(cache)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream file(entry.path());
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.find("contractVersion"), std::string::npos) << entry.path();
    }
}

TEST(EngineProcess, StartupSweepsLeftoversOfDeadProcesses) {
    namespace fs = std::filesystem;
    auto cache = korvel::testing::freshFolder("sweep");
    auto out = korvel::testing::freshFolder("sweep-out");
    const std::string uuid = "0F3C2C1E-6B7A-4B8E-9C55-3D2A1B0C9E8F";
    fs::path partial = fs::path(out) / ("clip.mp4.korvel-partial-" + uuid);
    fs::create_directories(partial);
    std::ofstream(partial / "clip.mp4") << "half";
    fs::create_directories(fs::path(cache) / "journal");
    // A pid far above pid_max belongs to no process.
    std::ofstream(fs::path(cache) / "journal" / (uuid + ".json"))
        << R"({"path":")" << partial.string() << R"(","pid":2147483600})";

    EngineProcess engine({"--cache-dir", cache});
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
    EXPECT_FALSE(fs::exists(partial));
    EXPECT_FALSE(fs::exists(fs::path(cache) / "journal" / (uuid + ".json")));
}

namespace {
// A field of /proc/<pid>/status in kB, such as VmHWM (the peak resident size).
int64_t statusKB(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
}
} // namespace

// A line of 16 MB (eight million zeros) costs the engine a small multiple of
// its size, and the requests around it are answered.
TEST(EngineProcess, HugeLineCostsASmallMultipleOfItsSize) {
    EngineProcess engine(cacheArgs("huge"));
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    ASSERT_TRUE(engine.responseFor(1));
    const int64_t before = statusKB(engine.pid(), "VmRSS");
    std::string zeros;
    constexpr size_t count = 8'000'000;
    zeros.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) zeros += i ? ",0" : "0";
    engine.sendLine(EngineProcess::request(2, "test.huge", "[" + zeros + "]"));
    engine.sendLine(EngineProcess::request(3, "engine.hello", R"({"contractVersion":9})"));
    auto huge = engine.responseFor(2);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->member("error")->member("message")->stringValue(), "test.huge is not built yet.");
    ASSERT_TRUE(engine.responseFor(3));
    const int64_t peak = statusKB(engine.pid(), "VmHWM");
    const int64_t lineKB = static_cast<int64_t>(zeros.size() / 1024);
    EXPECT_LT(peak - before, 14 * lineKB) << "peak " << peak << " kB over " << before << " kB for a line of " << lineKB << " kB";
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// Requests cancelled by the end of input leave their shared hashes running on
// pool threads; the process must end under them, not run the libraries' exit
// handlers beneath them (that crashed in OpenSSL about one start in three).
TEST(EngineProcess, EndOfInputWhileHashesStillRunExitsCleanly) {
    namespace fs = std::filesystem;
    const fs::path folder = korvel::testing::freshFolder("hashes-at-exit");
    constexpr int files = 60;
    std::string lines;
    for (int i = 1; i <= files; ++i) {
        const fs::path file = folder / ("f" + std::to_string(i) + ".bin");
        std::ofstream(file, std::ios::binary) << std::string(1 << 20, static_cast<char>(i));
        lines += EngineProcess::request(i, "analysis.run",
                                        R"({"assetId":"a","kind":"silences","source":{"path":")" + file.string() +
                                            R"(","contentHash":")" + std::string(64, '0') + R"("}})") +
                 "\n";
    }
    for (int run = 0; run < 16; ++run) {
        EngineProcess engine({"--cache-dir", (folder / "cache").string()});
        engine.send(lines);
        engine.closeInput();
        ASSERT_EQ(engine.wait(), 0) << "start " << run << ": " << engine.stderrText();
    }
}

// Process monitors and pkill know the engine by its name, which starting it
// again through /proc/self/exe would make "exe".
TEST(EngineProcess, TheProcessIsNamedAfterItsProgram) {
    EngineProcess engine(cacheArgs("name"));
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    ASSERT_TRUE(engine.readLine());
    std::ifstream comm("/proc/" + std::to_string(engine.pid()) + "/comm");
    std::string name;
    std::getline(comm, name);
    EXPECT_EQ(name, "korvel-engine");
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}

// A package upgrade replaces the program while the editor keeps the engine
// running; the picture models beside it must still be found.
TEST(EngineProcess, AProgramReplacedWhileItRunsStillFindsItsModels) {
    namespace fs = std::filesystem;
    const fs::path folder = korvel::testing::freshFolder("replaced-program");
    const fs::path bin = folder / "bin", program = bin / "korvel-engine", movie = folder / "clip.mp4";
    fs::create_directories(bin);
    fs::copy_file(KORVEL_ENGINE_PATH, program);
    fs::create_directory_symlink(fs::path(KORVEL_ENGINE_PATH).parent_path() / "vision-models", bin / "vision-models");
    ASSERT_EQ(std::system(("ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=0.5 "
                           "-pix_fmt yuv420p '" + movie.string() + "'").c_str()),
              0);
    // The launcher's shell gives way to the copy, with the engine's arguments.
    EngineProcess engine({"--cache-dir", (folder / "cache").string()}, {}, false,
                         {"/bin/sh", "-c", "shift; exec \"$0\" \"$@\"", program.string()});
    engine.sendLine(EngineProcess::request(1, "engine.hello", R"({"contractVersion":9})"));
    ASSERT_TRUE(engine.responseFor(1));
    fs::copy_file(KORVEL_ENGINE_PATH, bin / "korvel-engine.new");
    fs::rename(bin / "korvel-engine.new", program);
    engine.sendLine(EngineProcess::request(2, "analysis.run",
                                           R"({"assetId":"a","source":{"path":")" + movie.string() + R"(","contentHash":")" +
                                               korvel::testing::sha256sum(movie) + R"("},"kind":"faces"})"));
    const auto answer = engine.responseFor(2, nullptr, std::chrono::seconds(120));
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->member("result")) << answer->canonical();
    engine.closeInput();
    EXPECT_EQ(engine.wait(), 0);
}
