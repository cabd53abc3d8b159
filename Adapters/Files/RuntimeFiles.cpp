#include "Adapters/Files/RuntimeFiles.hpp"

#include <dlfcn.h>
#include <link.h>

#include <system_error>

namespace korvel {

namespace fs = std::filesystem;

namespace RuntimeFiles {

fs::path programFile(const fs::path& link) {
    static constexpr std::string_view mark = " (deleted)";
    const std::string& text = link.native();
    if (text.size() > mark.size() && text.ends_with(mark)) return text.substr(0, text.size() - mark.size());
    return link;
}

namespace {

fs::path findCodeFolder() {
    Dl_info info{};
    link_map* object = nullptr;
    std::error_code ec;
    fs::path file;
    // The main program's map has no name; a library's is the path it was loaded from.
    if (::dladdr1(reinterpret_cast<void*>(&codeFolder), &info, reinterpret_cast<void**>(&object), RTLD_DL_LINKMAP) &&
        object && object->l_name && object->l_name[0]) {
        file = fs::absolute(object->l_name, ec);
    } else {
        // An engine updated while it runs still finds its files beside the new program.
        file = programFile(fs::read_symlink("/proc/self/exe", ec));
        if (ec) file = "/proc/self/exe";
    }
    fs::path resolved = fs::weakly_canonical(file, ec);
    return (ec ? file : resolved).parent_path();
}

} // namespace

fs::path codeFolder() {
    static const fs::path folder = findCodeFolder();
    return folder;
}

fs::path folder(std::string_view name) {
    const fs::path code = codeFolder();
    const fs::path installed = (code.parent_path() / "share" / "korvel-engine" / name).lexically_normal();
    std::error_code ec;
    for (const fs::path& candidate : {installed, code / name})
        if (fs::is_directory(candidate, ec)) return candidate;
    return installed;
}

} // namespace RuntimeFiles

} // namespace korvel
