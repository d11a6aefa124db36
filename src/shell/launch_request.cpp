#include "shell/launch_request.hpp"

#include <string_view>

namespace nimbra::shell {
namespace {

bool hasArgument(int argc, const char* const* argv, std::string_view wanted) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && argv[i] == wanted) return true;
    }
    return false;
}

}  // namespace

LaunchRequest launchRequest(int argc, const char* const* argv) {
    if (hasArgument(argc, argv, "--toggle-connection")) return LaunchRequest::toggleConnection;
    if (hasArgument(argc, argv, "--show-app-rules")) return LaunchRequest::showAppRules;
    if (hasArgument(argc, argv, "--toggle")) return LaunchRequest::toggle;
    return LaunchRequest::show;
}

bool startsHidden(int argc, const char* const* argv) {
    return hasArgument(argc, argv, "--hidden");
}

}  // namespace nimbra::shell
