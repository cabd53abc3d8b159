#pragma once

#include "Core/Jobs.hpp"
#include "Core/RPC.hpp"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// The method table of one engine instance, plus the answers that need no job.
struct Engine {
    static constexpr std::string_view version = "0.1.0";
    static constexpr int64_t renderRevision = 1;

    std::map<std::string, Job, std::less<>> methods;

    const Job* job(std::string_view method) const;
    std::vector<std::string> capabilities() const;
    // The handshake, or -32601 for a method no table holds.
    RPC::Response handle(const RPC::Request& request) const;

    static std::string renderId(int64_t revision);
};

} // namespace korvel
