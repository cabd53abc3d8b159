#pragma once

#include "Core/Analysis/MatteQualityMeter.hpp"
#include "Core/Jobs.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace korvel {

// Cuts the person out of a video: a mask movie (HEVC, the mask in the luma
// plane) written at the output path, with the matte's quality.
class MatteBuilder {
public:
    enum class Method { hybrid, foreground };

    struct Built {
        int64_t width = 0;
        int64_t height = 0;
        int64_t frameCount = 0;
        int64_t durationUs = 0;
        MatteQualityValues quality;
        bool operator==(const Built&) const = default;
    };

    static std::optional<Method> methodNamed(std::string_view name);
    static std::string_view name(Method method);

    // Under the analysis gates. The movie reaches `outPath` only whole.
    Built build(const std::filesystem::path& source, Method method, int64_t longEdge,
                const std::filesystem::path& outPath, const std::optional<std::filesystem::path>& journal,
                const JobContext& job) const;
};

} // namespace korvel
