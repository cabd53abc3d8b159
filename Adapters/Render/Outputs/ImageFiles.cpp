#include "Adapters/Render/Outputs/ImageFiles.hpp"

#include "Adapters/Files/FileName.hpp"
#include "Adapters/Media/MediaFailure.hpp"
#include "Adapters/Render/Sources/StillImages.hpp"
#include "Adapters/Files/TempOutput.hpp"
#include "Core/Jobs.hpp"

#include <vips/vips8>

#include <algorithm>
#include <cctype>

namespace korvel::ImageFiles {

namespace {

enum class FileType { jpeg, png, heic };

std::optional<FileType> typeOf(const std::filesystem::path& location) {
    std::string ext = location.extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == "jpg" || ext == "jpeg") return FileType::jpeg;
    if (ext == "png") return FileType::png;
    if (ext == "heic") return FileType::heic;
    return std::nullopt;
}

// Lossy formats are written at quality 0.9.
constexpr int quality = 90;

void save(const Picture& picture, FileType type, const std::filesystem::path& to) {
    vips::VImage image = vips::VImage::new_from_memory(const_cast<uint8_t*>(picture.pixels.data()), picture.pixels.size(),
                                                       static_cast<int>(picture.width), static_cast<int>(picture.height),
                                                       picture.bands, VIPS_FORMAT_UCHAR);
    image = image.copy(vips::VImage::option()->set(
        "interpretation", picture.bands <= 2 ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB));
    switch (type) {
    case FileType::jpeg:
        // JPEG has no alpha.
        if (picture.bands == 2 || picture.bands == 4) image = image.extract_band(0, vips::VImage::option()->set("n", picture.bands - 1));
        image.jpegsave(to.c_str(), vips::VImage::option()->set("Q", quality));
        break;
    case FileType::png: image.pngsave(to.c_str()); break;
    case FileType::heic:
        if (picture.bands <= 2) image = image.colourspace(VIPS_INTERPRETATION_sRGB);
        image.heifsave(to.c_str(), vips::VImage::option()
                                       ->set("Q", quality)
                                       ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC));
        break;
    }
}

} // namespace

void write(const Picture& picture, const std::filesystem::path& location) {
    const std::string name = nameOf(location);
    auto type = typeOf(location);
    if (!type) throw EngineFailure::invalidParams("outPath must end in .jpg, .png or .heic, got " + name + ".");
    StillImages::prepare();
    TempOutput output(location, std::nullopt);
    try {
        save(picture, *type, output.url());
    } catch (const vips::VError&) {
        vips_error_clear();
        output.discard();
        throw MediaFailure::writing(nullptr, name, location);
    }
    // Cancelled before the rename, nothing is left; after it, the picture is the answer.
    Task::checkCancellation();
    output.commit();
}

} // namespace korvel::ImageFiles
