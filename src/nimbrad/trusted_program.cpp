#include "nimbrad/trusted_program.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nimbra::nimbrad {
namespace {

std::optional<std::string> refusePath(const std::filesystem::path& path, bool folder) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return path.string() + ": " + std::strerror(errno);
    if (info.st_uid != 0) return path.string() + " is not owned by root";
    const bool sticky = folder && (info.st_mode & S_ISVTX) != 0;
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !sticky)
        return path.string() + " is writable by others than root";
    if (!folder && (!S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0))
        return path.string() + " is not an executable file";
    return std::nullopt;
}

}  // namespace

std::optional<std::string> refuseUntrustedProgram(const std::filesystem::path& program) {
    if (!program.is_absolute()) return program.string() + " is not an absolute path";
    std::error_code error;
    const auto real = std::filesystem::canonical(program, error);
    if (error) return program.string() + ": " + error.message();
    if (auto why = refusePath(real, false)) return why;
    for (auto folder = real.parent_path();; folder = folder.parent_path()) {
        if (auto why = refusePath(folder, true)) return why;
        if (folder == folder.root_path()) break;
    }
    return std::nullopt;
}

}  // namespace nimbra::nimbrad
