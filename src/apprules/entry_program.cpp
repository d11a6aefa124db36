#include "apprules/entry_program.hpp"

#include <glib.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace nimbra::apprules {
namespace {

struct StrvFree {
    void operator()(gchar** words) const { g_strfreev(words); }
};

// Exec's quoting (double quotes, backslash escapes inside them) is the shell's, without
// expansions, which is what GLib's word splitter implements.
std::vector<std::string> splitExec(const std::string& exec) {
    gchar** raw = nullptr;
    if (!g_shell_parse_argv(exec.c_str(), nullptr, &raw, nullptr)) return {};
    std::unique_ptr<gchar*, StrvFree> words(raw);
    std::vector<std::string> out;
    for (gchar** word = raw; *word != nullptr; ++word) out.emplace_back(*word);
    return out;
}

bool isAssignment(const std::string& word) {
    const auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0) return false;
    for (std::size_t i = 0; i < equals; ++i) {
        const char c = word[i];
        const bool ok = c == '_' || g_ascii_isalpha(c) || (i > 0 && g_ascii_isdigit(c));
        if (!ok) return false;
    }
    return true;
}

bool isExecutableFile(const std::filesystem::path& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string programOfExec(const std::string& exec) {
    const std::vector<std::string> words = splitExec(exec);
    std::size_t first = 0;
    if (!words.empty() && std::filesystem::path(words[0]).filename() == "env") {
        first = 1;
        while (first < words.size() && isAssignment(words[first])) ++first;
    }
    return first < words.size() ? words[first] : std::string();
}

std::string entryProgram(const DesktopEntry& entry) {
    return entry.tryExec.empty() ? programOfExec(entry.exec) : entry.tryExec;
}

std::optional<std::filesystem::path> findProgram(const std::string& program,
                                                 std::string_view searchPath) {
    if (program.empty()) return std::nullopt;
    if (program.find('/') != std::string::npos) {
        const std::filesystem::path path(program);
        if (path.is_absolute() && isExecutableFile(path)) return path;
        return std::nullopt;
    }
    while (!searchPath.empty()) {
        const auto colon = searchPath.find(':');
        const std::filesystem::path folder(searchPath.substr(0, colon));
        searchPath = colon == std::string_view::npos ? "" : searchPath.substr(colon + 1);
        if (folder.is_absolute() && isExecutableFile(folder / program)) return folder / program;
    }
    return std::nullopt;
}

}  // namespace nimbra::apprules
