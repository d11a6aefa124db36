#include "shell/launch.hpp"

#include <cstdlib>
#include <cstring>

namespace nimbra::shell {
namespace {

bool envSet(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

bool hasArgument(int argc, const char* const* argv, const char* wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], wanted) == 0) return true;
    }
    return false;
}

}  // namespace

bool wantsVersion(int argc, const char* const* argv) {
    return hasArgument(argc, argv, "--version");
}

bool displayAvailable(int argc, const char* const* argv) {
    return envSet("DISPLAY") || envSet("WAYLAND_DISPLAY") || envSet("QT_QPA_PLATFORM") ||
           hasArgument(argc, argv, "-platform") || hasArgument(argc, argv, "--platform");
}

}  // namespace nimbra::shell
