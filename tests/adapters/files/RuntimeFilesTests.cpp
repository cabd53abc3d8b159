#include "Adapters/Files/RuntimeFiles.hpp"
#include "Adapters/Vision/OnnxModel.hpp"

#include <gtest/gtest.h>

#include <filesystem>

using namespace korvel;
namespace fs = std::filesystem;

// The tests link the engine's code into their own program, which lies in the
// build folder beside the engine, as a library lies in an installed prefix.
TEST(RuntimeFiles, TheCodeFolderIsWhereTheProgramLies) {
    EXPECT_EQ(RuntimeFiles::codeFolder(), fs::canonical("/proc/self/exe").parent_path());
}

TEST(RuntimeFiles, AFolderIsFoundInThePrefixOrTheBuildFolderAndElseNamesThePrefix) {
    const fs::path code = RuntimeFiles::codeFolder();
    // The picture models of the build folder, not a path compiled in.
    EXPECT_EQ(OnnxModel::folder(), code / "vision-models");
    EXPECT_TRUE(fs::is_regular_file(OnnxModel::folder() / "face_detection_full_range.onnx"));
    EXPECT_EQ(RuntimeFiles::folder("no-such-folder"), code.parent_path() / "share" / "korvel-engine" / "no-such-folder");
}

TEST(RuntimeFiles, AProgramReplacedWhileItRunsIsNamedByItsPath) {
    const struct {
        const char* link;
        const char* file;
    } cases[] = {
        {"/opt/korvel/bin/korvel-engine", "/opt/korvel/bin/korvel-engine"},
        {"/opt/korvel/bin/korvel-engine (deleted)", "/opt/korvel/bin/korvel-engine"},
        {"/opt/my (deleted) files/korvel-engine", "/opt/my (deleted) files/korvel-engine"},
        {" (deleted)", " (deleted)"},
    };
    for (const auto& c : cases) EXPECT_EQ(RuntimeFiles::programFile(c.link), fs::path(c.file)) << c.link;
}
