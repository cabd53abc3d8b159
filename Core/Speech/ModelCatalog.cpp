#include "Core/Speech/ModelCatalog.hpp"

namespace korvel::ModelCatalog {

const ModelEntry& whisperLargeV3() {
    static const ModelEntry entry{"whisper_large_v3_q5_0", "ggml-large-v3-q5_0.bin",
                                  "d75795ecff3f83b5faa89d1900604ad8c780abd5739fae406de19f23ecd98ad1",
                                  1'081'140'203, "MIT", ModelEntry::Archive::none};
    return entry;
}

const ModelEntry& whisperSmallEn() {
    static const ModelEntry entry{"whisper_small_en_q5_1", "ggml-small.en-q5_1.bin",
                                  "bfdff4894dcb76bbf647d56263ea2a96645423f1669176f4844a1bf8e478ad30",
                                  190'098'681, "MIT", ModelEntry::Archive::none};
    return entry;
}

const ModelEntry& sileroVad() {
    static const ModelEntry entry{"silero_vad_v5_1_2", "ggml-silero-v5.1.2.bin",
                                  "29940d98d42b91fbd05ce489f3ecf7c72f0a42f027e4875919a28fb4c04ea2cf",
                                  885'098, "MIT", ModelEntry::Archive::none};
    return entry;
}

const ModelEntry& ctcLv60() {
    static const ModelEntry entry{"ctc_wav2vec2_lv60_q8", "w2v_en_lv60_15s_q8.mlpackage",
                                  "2e32dc8d477611d522d71486586a0040baa4a51898949b06d8af83585134037f",
                                  268'909'236, "Apache-2.0", ModelEntry::Archive::zip};
    return entry;
}

const std::vector<ModelEntry>& all() {
    static const std::vector<ModelEntry> entries{whisperLargeV3(), sileroVad(), ctcLv60()};
    return entries;
}

} // namespace korvel::ModelCatalog
