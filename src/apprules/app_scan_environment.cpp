#include "apprules/app_scan_environment.hpp"

#include <cstdlib>
#include <string_view>

#include "base/paths.hpp"

namespace nimbra::apprules {
namespace {

// The XDG base directory rules: relative entries are invalid and ignored.
std::vector<std::filesystem::path> absoluteFolders(std::string_view list) {
    std::vector<std::filesystem::path> folders;
    while (!list.empty()) {
        const auto colon = list.find(':');
        const std::filesystem::path folder(list.substr(0, colon));
        if (folder.is_absolute()) folders.push_back(folder);
        list = colon == std::string_view::npos ? "" : list.substr(colon + 1);
    }
    return folders;
}

std::vector<std::string> colonSeparated(std::string_view list) {
    std::vector<std::string> items;
    while (!list.empty()) {
        const auto colon = list.find(':');
        if (colon != 0) items.emplace_back(list.substr(0, colon));
        list = colon == std::string_view::npos ? "" : list.substr(colon + 1);
    }
    return items;
}

std::string variable(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

}  // namespace

AppScanEnvironment AppScanEnvironment::fromProcess() {
    AppScanEnvironment environment;
    environment.dataHome = paths::dataHome();
    environment.dataDirs = absoluteFolders(variable("XDG_DATA_DIRS", ""));
    if (environment.dataDirs.empty()) environment.dataDirs = {"/usr/local/share", "/usr/share"};
    environment.searchPath = variable("PATH", "/bin:/usr/bin");
    environment.currentDesktops = colonSeparated(variable("XDG_CURRENT_DESKTOP", ""));
    return environment;
}

std::vector<std::filesystem::path> AppScanEnvironment::applicationFolders() const {
    std::vector<std::filesystem::path> folders{dataHome / "applications"};
    for (const auto& dir : dataDirs) folders.push_back(dir / "applications");
    return folders;
}

}  // namespace nimbra::apprules
