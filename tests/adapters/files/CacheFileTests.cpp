#include "Adapters/Files/CacheFile.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvel;
namespace fs = std::filesystem;

TEST(CacheFile, ReadsOnlyRegularFilesWithinTheLimit) {
    const fs::path root = fs::path(KORVEL_TEST_TMP) / ("cache-file-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root);
    std::ofstream(root / "target") << "0123456789";
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> place;
        std::optional<std::string> read;
    };
    const Case cases[] = {
        {"a regular file", [](const fs::path& p) { std::ofstream(p) << "0123456789"; }, "0123456789"},
        {"exactly the limit", [](const fs::path& p) { std::ofstream(p) << std::string(16, 'x'); }, std::string(16, 'x')},
        {"one byte over the limit", [](const fs::path& p) { std::ofstream(p) << std::string(17, 'x'); }, std::nullopt},
        {"empty", [](const fs::path& p) { std::ofstream{p}; }, ""},
        {"missing", [](const fs::path&) {}, std::nullopt},
        {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0644), 0); }, std::nullopt},
        {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, std::nullopt},
        {"a link to a regular file", [&](const fs::path& p) { fs::create_symlink(root / "target", p); }, std::nullopt},
        {"a folder", [](const fs::path& p) { fs::create_directory(p); }, std::nullopt},
    };
    int n = 0;
    for (const Case& c : cases) {
        const fs::path entry = root / ("entry-" + std::to_string(++n));
        c.place(entry);
        EXPECT_EQ(CacheFile::read(entry, 16), c.read) << c.what;
        EXPECT_EQ(CacheFile::regularSize(entry).has_value(), c.read.has_value() || n == 3) << c.what;
    }
    EXPECT_EQ(CacheFile::regularSize(root / "target"), 10);
}
