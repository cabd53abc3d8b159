#pragma once

#include "Adapters/Render/Sources/InputResolver.hpp"
#include "Adapters/Media/SourceLibrary.hpp"
#include "Core/Jobs.hpp"
#include "Core/Wire/ExportMethodTypes.hpp"

#include <filesystem>
#include <memory>

namespace korvel {

// render.export: one finished MP4 at the client's path, its pictures drawn
// and encoded (or copied when the plan passes one source through), the
// plan's sound muxed in. Written in a temporary output and committed whole.
struct ExportService {
    static constexpr int64_t audioBitrate = 256'000;

    std::shared_ptr<SourceLibrary> library;
    std::shared_ptr<TextCaches> text;
    std::filesystem::path journal;

    ExportResult export_(const ExportParams& params, const JobContext& context) const;

private:
    ExportResult exported(const ExportParams& params, const JobContext& context, const RenderInputs& inputs,
                          ContentChecks& checks) const;
};

} // namespace korvel
