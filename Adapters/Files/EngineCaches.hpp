#pragma once

#include <filesystem>

namespace korvel {

// The folders under the cache root; the one place their names are spelled.
struct EngineCaches {
    std::filesystem::path root;

    std::filesystem::path journal() const { return root / "journal"; }
    std::filesystem::path analysis() const { return root / "analysis"; }
    std::filesystem::path isolation() const { return analysis() / "isolation"; }
    std::filesystem::path before() const { return root / "before"; }
    std::filesystem::path after() const { return root / "after"; }
};

} // namespace korvel
