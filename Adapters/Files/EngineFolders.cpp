#include "Adapters/Files/EngineFolders.hpp"

#include <algorithm>
#include <cctype>

extern char** environ;

namespace fs = std::filesystem;

namespace korvel {

namespace {

std::optional<std::string> flag(const std::vector<std::string>& arguments, const std::string& name) {
    auto it = std::find(arguments.begin(), arguments.end(), name);
    if (it == arguments.end() || std::next(it) == arguments.end()) return std::nullopt;
    // A NUL would cut the folder short in every system call: no such folder.
    if (std::next(it)->find('\0') != std::string::npos) return std::nullopt;
    return *std::next(it);
}

std::optional<std::string> variable(const std::map<std::string, std::string>& environment, const std::string& name) {
    auto it = environment.find(name);
    if (it == environment.end() || it->second.empty()) return std::nullopt;
    return it->second;
}

// An absolute URL: a scheme, "://", a host, and no blanks or controls.
bool parsesAsURL(const std::string& text) {
    auto colon = text.find("://");
    if (colon == std::string::npos || colon == 0 || colon + 3 >= text.size()) return false;
    if (!std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (size_t i = 0; i < colon; ++i) {
        char c = text[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7f) return false;
    return true;
}

// A flag's value as a folder: relative to the current folder, the current
// folder itself when empty (fs::absolute refuses an empty path).
fs::path folderNamed(const std::string& text) {
    std::error_code ec;
    fs::path folder = text.empty() ? fs::current_path(ec) : fs::absolute(text, ec);
    return ec ? fs::path(text) : folder;
}

fs::path userFolder(const std::map<std::string, std::string>& environment, const char* xdg, const char* fallback) {
    if (auto v = variable(environment, xdg); v && fs::path(*v).is_absolute()) return *v;
    if (auto home = variable(environment, "HOME")) return fs::path(*home) / fallback;
    std::error_code ec;
    fs::path temporary = fs::temp_directory_path(ec); // fails when $TMPDIR is not a folder
    return ec ? fs::path("/tmp") : temporary;
}

fs::path defaultCache(const std::map<std::string, std::string>& environment) {
    return userFolder(environment, "XDG_CACHE_HOME", ".cache") / "korvel-engine";
}

fs::path defaultModels(const std::map<std::string, std::string>& environment) {
    return userFolder(environment, "XDG_DATA_HOME", ".local/share") / "korvel-engine" / "models";
}

} // namespace

EngineFolders EngineFolders::from(const std::vector<std::string>& arguments,
                                  const std::map<std::string, std::string>& environment) {
    EngineFolders folders;
    if (auto cache = flag(arguments, "--cache-dir")) folders.cache = folderNamed(*cache);
    else folders.cache = defaultCache(environment);
    if (auto models = flag(arguments, "--models-dir")) folders.models = folderNamed(*models);
    else folders.models = defaultModels(environment);
    auto url = variable(environment, "KORVEL_MODELS_URL");
    folders.modelsBaseURL = url && parsesAsURL(*url) ? *url : defaultModelsBaseURL;
    return folders;
}

EngineFolders EngineFolders::named(fs::path cache, fs::path models,
                                   const std::map<std::string, std::string>& environment) {
    if (cache.empty()) cache = defaultCache(environment);
    if (models.empty()) models = defaultModels(environment);
    return make(std::move(cache), std::move(models));
}

std::map<std::string, std::string> EngineFolders::environment() {
    std::map<std::string, std::string> variables;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        if (auto eq = entry.find('='); eq != std::string::npos) variables.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return variables;
}

EngineFolders EngineFolders::make(fs::path cache, fs::path models, std::optional<std::string> modelsBaseURL) {
    return EngineFolders{std::move(cache), std::move(models), modelsBaseURL.value_or(defaultModelsBaseURL)};
}

} // namespace korvel
