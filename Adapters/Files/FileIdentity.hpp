#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

namespace korvel {

// Which file a path leads to, however it is spelled: the device and inode of
// the file there, or, for a file not there yet, the path it would be created
// at once its missing folders exist. Links to a file are that file.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    std::string resolved; // only for a file that is not there

    bool operator==(const FileIdentity&) const = default;

    static FileIdentity of(const std::filesystem::path& location);

    // Refused with -32602 and the sentence, before anything is written, when
    // the output is the same file as one of the inputs the request reads.
    static void refuseOverwriting(const std::filesystem::path& output,
                                  std::span<const std::filesystem::path> inputs, std::string_view sentence);
};

} // namespace korvel
