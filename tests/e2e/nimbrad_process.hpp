#pragma once

// nimbrad as the end-to-end tests run it: started by hand in the client namespace of a
// NamespaceWorld, confined as its systemd unit confines it (confined_service.hpp), spoken to over
// its socket, ended with SIGTERM when the test is done.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/subprocess.hpp"
#include "namespace_world.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::e2e {

// Polls `condition` until it holds; false when it never did within `limit`.
bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(60));

// {"cmd":cmd,"args":[...]} as one line, without the line feed.
std::string requestLine(const std::string& cmd, const std::vector<std::string>& args = {});

// One request line on the Unix socket at `path`; the reply line without its line feed, or ""
// when none came. Only system calls, so that a forked child may use it.
std::string askSocket(const std::string& path, const std::string& line);

// The client namespace's routing as `ip` and `nft` show it: both rule lists, both families'
// tables, the nftables ruleset and the one sysctl per-app routing changes.
std::string routingOf(const NamespaceWorld& world);

// The unprivileged user the daemon acts for in these tests (its -allow-uid): the files it reads
// and writes are this user's, and a client speaking for them runs as this user.
inline constexpr uid_t kDaemonUser = 65534;
// Gives `folder` and everything in it to kDaemonUser.
void giveToDaemonUser(const std::filesystem::path& folder);
// `argv` run as kDaemonUser, with no groups of root's.
std::vector<std::string> asDaemonUser(std::vector<std::string> argv);

class NimbradProcess {
public:
    struct Options {
        std::filesystem::path config;
        std::filesystem::path registration;
        std::filesystem::path resolvConf;
        std::filesystem::path stateDirectory;
        std::filesystem::path log;
        std::filesystem::path socket;
        std::filesystem::path usque;
        // "NAME=value" knobs for the usque stand-in.
        std::vector<std::string> environment;
    };

    // Starts it and waits until it answers a ping; a failed test shows its log.
    NimbradProcess(const NamespaceWorld& world, Options options);
    ~NimbradProcess();
    NimbradProcess(const NimbradProcess&) = delete;
    NimbradProcess& operator=(const NimbradProcess&) = delete;

    bool answering() const;
    std::string ask(const std::string& line) const;
    std::string ask(const std::string& cmd, const std::vector<std::string>& args) const {
        return ask(requestLine(cmd, args));
    }
    // The status object of a "status" reply; empty when there was none.
    nlohmann::json status() const;
    bool statusSays(const char* field, bool value) const;
    // The usque it runs now, from the pid file in its state folder; 0 when none.
    pid_t usquePid() const;
    std::string log() const;
    Subprocess& process() { return process_; }
    const Options& options() const { return options_; }

    static std::filesystem::path program();
    // Copies the usque stand-in into `folder` with the rights root demands of a program it runs
    // (the folder too: root-owned and writable by root alone); returns the copy.
    static std::filesystem::path installUsque(const std::filesystem::path& folder);

private:
    Options options_;
    Subprocess process_;
};

// A namespace world with what nimbrad finds on a machine: the usque stand-in in a folder only
// root may write to, and the LAN's resolver file. A failed test shows the daemon's log.
class NimbradWorldTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // nimbrad for the user whose files `config`, `registration` and `log` are.
    void startDaemon(const std::filesystem::path& config, const std::filesystem::path& registration,
                     const std::filesystem::path& log, std::vector<std::string> environment = {});
    nlohmann::json status() const { return daemon_->status(); }
    std::string routing() const { return routingOf(*world_); }
    std::string resolver() const;

    // `argv` started in the client namespace inside `cgroup` (relative to /sys/fs/cgroup, which
    // the calling thread must see as cgroup2: inPrivateCgroup), as a desktop starts an app in
    // its unit: it joins the cgroup before it execs, so its first packet is already the app's.
    Subprocess::Options inApp(const std::string& cgroup, std::vector<std::string> argv) const;
    // world_->warp() as seen from an app in `cgroup`.
    std::string warpIn(const std::string& cgroup) const;

    testing::TempDir dir_;
    std::filesystem::path usque_;
    std::filesystem::path socket_ = dir_ / "nimbra.sock";
    std::filesystem::path resolvConf_ = dir_ / "resolv.conf";
    std::optional<NamespaceWorld> world_;
    std::optional<NimbradProcess> daemon_;
};

}  // namespace nimbra::e2e
