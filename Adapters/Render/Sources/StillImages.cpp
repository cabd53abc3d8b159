#include "Adapters/Render/Sources/StillImages.hpp"

#include "Adapters/Server/Stderr.hpp"

#include <vips/vips8>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

namespace korvel::StillImages {

namespace {

// libvips is handed only files that begin like a still image of an allowed
// kind: its sniffers never see movies, sounds or anything else.
bool looksLikeStill(const std::filesystem::path& file) {
    unsigned char head[32] = {0};
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return false;
    size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    auto starts = [&](std::string_view magic, size_t at = 0) {
        return n >= at + magic.size() && std::memcmp(head + at, magic.data(), magic.size()) == 0;
    };
    if (starts("\xFF\xD8\xFF") || starts("\x89PNG\r\n\x1A\n") || starts("GIF87a") || starts("GIF89a")) return true;
    if (starts("RIFF") && starts("WEBP", 8)) return true;
    if (starts(std::string_view("II*\0", 4)) || starts(std::string_view("MM\0*", 4))) return true;
    if (starts("ftyp", 4)) {
        for (std::string_view brand : {"heic", "heix", "heim", "heis", "mif1", "avif"}) {
            if (starts(brand, 8)) return true;
        }
    }
    return false;
}

vips::VImage opened(const std::filesystem::path& file) {
    return vips::VImage::new_from_file(file.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
}

} // namespace

void prepare() {
    static std::once_flag once;
    std::call_once(once, [] {
        Stderr::routeLibraryLogs(); // GLib's and libvips' own lines
        if (VIPS_INIT("korvel-engine") != 0) return;
        // libvips' warnings would reach standard error, which carries only
        // the engine's own diagnostic lines.
        g_log_set_handler("VIPS", static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO),
                          [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
        vips_concurrency_set(1); // jobs already run side by side
        vips_cache_set_max(0);   // files change; a cached load would hide it
        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const char* allowed : {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadHeif",
                                    "VipsForeignLoadWebp", "VipsForeignLoadTiff", "VipsForeignLoadNsgif"}) {
            vips_operation_block_set(allowed, FALSE);
        }
    });
}

std::optional<Properties> properties(const std::filesystem::path& file) {
    if (file.native().find('\0') != std::string::npos || !looksLikeStill(file)) return std::nullopt;
    prepare();
    try {
        vips::VImage image = opened(file);
        Properties p{image.width(), image.height(), std::nullopt};
        if (image.get_typeof(VIPS_META_ORIENTATION) != 0) p.orientation = image.get_int(VIPS_META_ORIENTATION);
        return p;
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

std::optional<Picture> thumbnail(const std::filesystem::path& file, int64_t longEdge) {
    if (file.native().find('\0') != std::string::npos || !looksLikeStill(file)) return std::nullopt;
    prepare();
    try {
        // libvips refuses a size beyond its largest picture; no picture is larger.
        int bound = static_cast<int>(std::clamp<int64_t>(longEdge, 1, VIPS_MAX_COORD));
        auto options = [bound] { return vips::VImage::option()->set("height", bound)->set("size", VIPS_SIZE_DOWN); };
        const char* loader = vips_foreign_find_load(file.c_str());
        if (!loader) {
            vips_error_clear();
            return std::nullopt;
        }
        vips::VImage image;
        if (std::string_view(loader).starts_with("VipsForeignLoadHeif")) {
            // The thumbnailer would take a HEIF file's embedded preview;
            // the picture is always made from the full image.
            image = vips::VImage::new_from_file(file.c_str()).thumbnail_image(bound, options());
        } else {
            // Shrinks while it decodes, so a huge picture never sits whole in memory.
            image = vips::VImage::thumbnail(file.c_str(), bound, options());
        }
        bool grey = image.interpretation() == VIPS_INTERPRETATION_B_W || image.interpretation() == VIPS_INTERPRETATION_GREY16;
        image = image.colourspace(grey ? VIPS_INTERPRETATION_B_W : VIPS_INTERPRETATION_sRGB);
        if (image.format() != VIPS_FORMAT_UCHAR) image = image.cast(VIPS_FORMAT_UCHAR);
        Picture picture;
        picture.width = image.width();
        picture.height = image.height();
        picture.bands = std::min(image.bands(), 4);
        if (image.bands() > 4) image = image.extract_band(0, vips::VImage::option()->set("n", 4));
        size_t size = 0;
        void* memory = image.write_to_memory(&size);
        picture.pixels.assign(static_cast<uint8_t*>(memory), static_cast<uint8_t*>(memory) + size);
        g_free(memory);
        return picture;
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

} // namespace korvel::StillImages
