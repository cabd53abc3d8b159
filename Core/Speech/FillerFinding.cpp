#include "Core/Speech/FillerFinding.hpp"

#include <array>
#include <utility>

namespace korvel {

namespace {
constexpr std::array<std::pair<FillerFinding::Kind, std::string_view>, 3> kindNames{{
    {FillerFinding::Kind::written, "written"},
    {FillerFinding::Kind::sustained, "sustained"},
    {FillerFinding::Kind::voicedGap, "voiced_gap"},
}};
} // namespace

std::string_view FillerFinding::rawValue(Kind kind) {
    for (const auto& [k, name] : kindNames)
        if (k == kind) return name;
    return {};
}

std::optional<FillerFinding::Kind> FillerFinding::kindNamed(std::string_view raw) {
    for (const auto& [k, name] : kindNames)
        if (name == raw) return k;
    return std::nullopt;
}

} // namespace korvel
