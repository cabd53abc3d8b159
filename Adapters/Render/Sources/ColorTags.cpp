#include "Adapters/Render/Sources/ColorTags.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace korvel::ColorTags {

namespace {
const char* primariesName(int code) {
    switch (code) {
    case AVCOL_PRI_BT709: return "bt709";
    case AVCOL_PRI_BT2020: return "bt2020";
    case AVCOL_PRI_SMPTE432: return "smpte432";
    case AVCOL_PRI_SMPTE431: return "smpte431";
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M: return "smpte170m"; // the same primaries
    case AVCOL_PRI_BT470BG: return "bt470bg";
    default: return "unknown";
    }
}

const char* transferName(int code) {
    switch (code) {
    case AVCOL_TRC_BT709:
    case AVCOL_TRC_SMPTE170M:
    case AVCOL_TRC_BT2020_10:
    case AVCOL_TRC_BT2020_12: return "bt709"; // one curve
    case AVCOL_TRC_ARIB_STD_B67: return "arib-std-b67";
    case AVCOL_TRC_SMPTE2084: return "smpte2084";
    case AVCOL_TRC_IEC61966_2_1: return "iec61966-2-1";
    case AVCOL_TRC_SMPTE240M: return "smpte240m";
    case AVCOL_TRC_LINEAR: return "linear";
    case AVCOL_TRC_IEC61966_2_4: return "iec61966-2-4";
    default: return "unknown";
    }
}

const char* matrixName(int code) {
    switch (code) {
    case AVCOL_SPC_BT709: return "bt709";
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_BT470BG: return "smpte170m"; // the same coefficients
    case AVCOL_SPC_BT2020_NCL: return "bt2020nc";
    case AVCOL_SPC_SMPTE240M: return "smpte240m";
    default: return "unknown";
    }
}
} // namespace

AssetColor described(int primaries, int transfer, int matrix, bool fullRange) {
    AssetColor color;
    color.primaries = primariesName(primaries);
    color.transfer = transferName(transfer);
    color.matrix = matrixName(matrix);
    color.fullRange = fullRange;
    color.hdr = isHDRTransfer(color.transfer);
    return color;
}

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
    return described(u16(4), u16(6), u16(8), kind == "nclx" && b.size() >= 11 && (b[10] & 0x80) != 0);
}

} // namespace korvel::ColorTags
