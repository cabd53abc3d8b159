#include "Adapters/Models/ModelArchive.hpp"

#include "Core/Jobs.hpp"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace korvel {
namespace {

namespace fs = std::filesystem;

// One entry of a crafted archive.
struct Entry {
    std::string name;
    std::string data;
    mode_t type = AE_IFREG;
    std::string link; // symlink target
};

fs::path fresh(const std::string& name) {
    fs::path p = fs::path(KORVEL_TEST_TMP) / "archives" / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// A zip written entry by entry, so hostile names and types can be made.
fs::path craft(const fs::path& folder, const std::vector<Entry>& entries) {
    const fs::path file = folder / "crafted.zip";
    archive* a = archive_write_new();
    archive_write_set_format_zip(a);
    EXPECT_EQ(archive_write_open_filename(a, file.c_str()), ARCHIVE_OK);
    for (const Entry& e : entries) {
        archive_entry* entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.type);
        archive_entry_set_perm(entry, 0777);
        if (e.type == AE_IFLNK) archive_entry_set_symlink(entry, e.link.c_str());
        archive_entry_set_size(entry, e.type == AE_IFREG ? static_cast<la_int64_t>(e.data.size()) : 0);
        archive_write_header(a, entry);
        if (e.type == AE_IFREG && !e.data.empty()) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(entry);
    }
    archive_write_close(a);
    archive_write_free(a);
    return file;
}

std::vector<std::string> listing(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root)) names.push_back(fs::relative(e.path(), root).string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ModelArchive, UnpacksFoldersAndFilesWithMaskedPermissions) {
    const fs::path base = fresh("good");
    const fs::path zip = craft(base, {{"pkg.mlpackage/", "", AE_IFDIR, ""},
                                      {"pkg.mlpackage/model.onnx", "weights", AE_IFREG, ""},
                                      {"pkg.mlpackage/./sub/more.bin", "more", AE_IFREG, ""}});
    const fs::path into = base / "into";
    fs::create_directories(into);
    ModelArchive::unzip(zip, into);
    EXPECT_EQ(listing(into), (std::vector<std::string>{"pkg.mlpackage", "pkg.mlpackage/model.onnx", "pkg.mlpackage/sub",
                                                       "pkg.mlpackage/sub/more.bin"}));
    std::ifstream in(into / "pkg.mlpackage/model.onnx");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "weights");
    EXPECT_EQ(fs::status(into / "pkg.mlpackage/model.onnx").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

TEST(ModelArchive, HostileEntriesAreRefusedAndNothingLandsOutside) {
    struct Case {
        const char* what;
        std::vector<Entry> entries;
        ModelArchive::Limits limits;
    };
    // (Zip has no hard links or devices: libarchive writes those as plain files.)
    const std::string big(2 << 20, '\0');
    const std::vector<Case> cases{
        {"parent", {{"../x", "escaped", AE_IFREG, ""}}, {}},
        {"absolute", {{"/tmp/korvel-archive-absolute", "escaped", AE_IFREG, ""}}, {}},
        {"climbing", {{"a/../../x", "escaped", AE_IFREG, ""}}, {}},
        {"symlink", {{"link", "", AE_IFLNK, "/etc"}, {"link/passwd", "escaped", AE_IFREG, ""}}, {}},
        {"duplicate", {{"a", "first", AE_IFREG, ""}, {"a", "second", AE_IFREG, ""}}, {}},
        {"file over folder", {{"a", "file", AE_IFREG, ""}, {"a/b", "under", AE_IFREG, ""}}, {}},
        {"bomb", {{"zeros", big, AE_IFREG, ""}}, {10, 1 << 20}},
        {"too many", {{"a", "1", AE_IFREG, ""}, {"b", "2", AE_IFREG, ""}, {"c", "3", AE_IFREG, ""}}, {2, 1 << 20}},
    };
    for (const Case& c : cases) {
        const fs::path base = fresh("hostile");
        const fs::path zip = craft(base, c.entries);
        const fs::path into = base / "deep" / "into";
        fs::create_directories(into);
        try {
            ModelArchive::unzip(zip, into, c.limits);
            ADD_FAILURE() << c.what << " was unpacked";
        } catch (const EngineFailure& f) {
            EXPECT_EQ(f.code, -32603) << c.what;
            EXPECT_EQ(f.message, "The model archive could not be unpacked.") << c.what;
        }
        EXPECT_EQ(listing(base / "deep"), [&] {
            std::vector<std::string> inside{"into"};
            for (const auto& name : listing(into)) inside.push_back("into/" + name);
            return inside;
        }()) << c.what;
        EXPECT_FALSE(fs::exists(base / "x")) << c.what;
        EXPECT_FALSE(fs::exists(base / "deep" / "x")) << c.what;
        EXPECT_FALSE(fs::exists("/tmp/korvel-archive-absolute")) << c.what;
    }
}

TEST(ModelArchive, AFileThatIsNoZipIsTheUnpackFailure) {
    const fs::path base = fresh("junk");
    std::ofstream(base / "junk.zip") << "not a zip at all";
    EXPECT_THROW(ModelArchive::unzip(base / "junk.zip", base), EngineFailure);
}

} // namespace
} // namespace korvel
