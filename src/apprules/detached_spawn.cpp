#include "apprules/detached_spawn.hpp"

#include <glib.h>
#include <signal.h>
#include <unistd.h>

#include "apprules/app_launch_error.hpp"

namespace nimbra::apprules {
namespace {

// Runs in the grandchild between fork and exec, so it may only make async-signal-safe calls.
void becomeIndependent(gpointer) {
    ::setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Handlers are reset by exec, but an ignored signal (SIGPIPE, say) would stay ignored.
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &defaults, nullptr);
}

std::vector<gchar*> cStrings(const std::vector<std::string>& strings) {
    std::vector<gchar*> pointers;
    for (const auto& s : strings) pointers.push_back(const_cast<gchar*>(s.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

pid_t spawnDetached(const DetachedCommand& command) {
    auto argv = cStrings(command.argv);
    auto envp = cStrings(command.environment);
    // Without G_SPAWN_DO_NOT_REAP_CHILD GLib forks twice and reaps the intermediate child
    // itself; the exec outcome comes back over its close-on-exec report pipe, and every
    // descriptor but 0-2 is closed in the child.
    const auto flags =
        static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDIN_FROM_DEV_NULL |
                                 G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL);
    GPid pid = 0;
    GError* error = nullptr;
    const char* folder =
        command.workingDirectory.empty() ? nullptr : command.workingDirectory.c_str();
    if (!g_spawn_async(folder, argv.data(), envp.data(), flags, becomeIndependent, nullptr, &pid,
                       &error)) {
        std::string message = error->message;
        g_error_free(error);
        throw AppLaunchError(AppLaunchError::Kind::startFailed, message);
    }
    return pid;
}

}  // namespace nimbra::apprules
