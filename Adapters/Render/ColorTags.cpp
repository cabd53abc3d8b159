#include "Adapters/Render/ColorTags.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace korvel::ColorTags {

namespace {
std::string named(const char* name) { return name ? name : "unknown"; }
} // namespace

bool isHDRTransfer(std::string_view transfer) { return transfer == "smpte2084" || transfer == "arib-std-b67"; }

std::optional<AssetColor> read(const MovieSampleEntry* description) {
    if (!description) return std::nullopt;
    const auto* colr = description->box("colr");
    if (!colr || colr->size() < 10) return std::nullopt;
    const auto& b = *colr;
    std::string kind(b.begin(), b.begin() + 4);
    // nclx (ISO) carries a range flag; nclc (QuickTime) is always video range.
    if (kind != "nclx" && kind != "nclc") return std::nullopt;
    auto u16 = [&](size_t at) { return static_cast<int>(b[at] << 8 | b[at + 1]); };
    AssetColor color;
    color.primaries = named(av_color_primaries_name(static_cast<AVColorPrimaries>(u16(4))));
    color.transfer = named(av_color_transfer_name(static_cast<AVColorTransferCharacteristic>(u16(6))));
    color.matrix = named(av_color_space_name(static_cast<AVColorSpace>(u16(8))));
    color.fullRange = kind == "nclx" && b.size() >= 11 && (b[10] & 0x80) != 0;
    color.hdr = isHDRTransfer(color.transfer);
    return color;
}

} // namespace korvel::ColorTags
