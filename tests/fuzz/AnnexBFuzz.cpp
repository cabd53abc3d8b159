// Feeds arbitrary bytes to the Annex B reader as a demuxer would hand them
// over: as a sample in either framing, as codec-private bytes, and as the
// parameter sets a record is built from. Refusals are fine; crashes, hangs
// and reads past the bytes are not.
#include "Core/Container/AnnexB.hpp"

using namespace korvel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    for (int lengthSize : {1, 2, 4}) (void)AnnexB::sampleWithFourByteLengths(bytes, lengthSize);
    (void)AnnexB::sampleWithFourByteLengths(bytes, std::nullopt);
    const auto units = AnnexB::units(bytes);
    for (auto codec : {AnnexB::Codec::h264, AnnexB::Codec::hevc}) {
        (void)AnnexB::configuration(units, codec);
        if (auto listed = AnnexB::recordUnits(bytes, codec)) (void)AnnexB::configuration(*listed, codec);
    }
    return 0;
}
