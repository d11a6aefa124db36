// The conflict scan, run whole against fake tools and files: the official WARP client's status
// texts in their several shapes, the resolver configuration and the process list, each coming
// from where the real scan would look for it.

#include "observe/network_conflict_detector.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "observe/warp_status_parser.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::ScopedEnv;
using Hint = ConflictHint;

const std::string kFakeTools = std::string(NIMBRA_SOURCE_DIR) + "/tests/observe/fake_tools";

TEST(WarpStatusParser, TheLastStatusLineDecidesElseTheWholeText) {
    const std::pair<const char*, bool> cases[] = {
        {"STATUS UPDATE: CONNECTED", true},
        {" \t status update: connected \n", true},
        {"Status: Connected\r\nNetwork: healthy\r\n", true},
        {"Status update: Disconnected\nReason: Manual Disconnection\n", false},
        {"Disconnected", false},
        {"Status update: Connected\nReason: ok\nStatus update: Disconnected\n", false},
        {"Status update: Disconnected\nReason: Manual\nStatus update: Connected\n", true},
        // A status line naming neither state leaves the earlier answer standing.
        {"Status update: Connected\nStatus update: Reconnecting\n", true},
        {"Status update: Connecting\n", false},
        // Only lines that begin with "status" are status lines.
        {"Status update: Disconnected\nPrevious status: connected\n", false},
        {"Status update: Connected\nReason: disconnected by policy\n", true},
        {"Success\nTunnel connected\n", true},
        {"Success\nTunnel disconnected, connected before\n", false},
        {"", false},
    };
    for (const auto& [text, connected] : cases) {
        EXPECT_EQ(warpStatusSaysConnected(text), connected) << text;
    }
}

// A machine for the scan in a temp dir, with the Linux sources pointed into it. The first
// warp-cli path is never there, as on most machines.
class FakeMachine {
public:
    FakeMachine() {
        fs::create_directories(dir_ / "proc");
        write("resolv.conf", "nameserver 192.168.1.1\nsearch lan\n");
        addProcess("systemd");
        addProcess("bash");
        sources.warpCliPaths = {path("usr-bin-warp-cli"), path("warp-cli")};
        sources.installedMarkers = {path("Cloudflare WARP.app"), path("var-lib-cloudflare-warp")};
        sources.installedProcessNames = {"CloudflareWARP", "Cloudflare WARP", "warp-svc",
                                         "warp-taskbar"};
        sources.resolvConf = path("resolv.conf");
        sources.procRoot = path("proc");
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }
    void write(const std::string& name, const std::string& content) const {
        std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc) << content;
    }
    // A warp-cli that prints `output` byte for byte when called with exactly "status".
    std::string writeWarpCli(const std::string& name, const std::string& output) const {
        write(name + ".out", output);
        write(name, "#!/bin/sh\n[ \"$#\" -eq 1 ] && [ \"$1\" = status ] || exit 64\ncat '" +
                        path(name + ".out") + "'\n");
        ::chmod(path(name).c_str(), 0755);
        return path(name);
    }
    void addProcess(const std::string& comm) {
        const std::string entry = "proc/" + std::to_string(++pid_);
        fs::create_directories(dir_ / entry);
        write(entry + "/comm", comm + "\n");
    }
    ConflictReport scan() const { return NetworkConflictDetector::scan(sources); }

    NetworkConflictDetector::Sources sources;

private:
    nimbra::testing::TempDir dir_;
    int pid_ = 0;
};

TEST(ConflictScan, FindsTheOfficialClientAndTailscaleWhereverTheyShow) {
    const struct {
        const char* what;
        std::optional<std::string> warpCli, resolvConf, process;
        bool marker;
        ConflictReport expected;
    } cases[] = {
        // clang-format off
        {"nothing", {}, {}, {}, false, {}},
        {"a connected client hides the Tailscale hint", "Status update: Connected\n",
         "nameserver 100.100.100.100\nsearch example.ts.net\n", "tailscaled", false,
         {true, true, true, true, {Hint::disconnectOfficialWarp}}},
        {"a disconnected client is installed, listed first", "Status update: Disconnected\n", {},
         "tailscaled", false,
         {false, true, false, true, {Hint::officialWarpInstalled, Hint::tailscaleRunning}}},
        {"output that is not UTF-8 is no output", "Status update: Connected\n\xff\xfe\n", {}, {},
         false, {}},
        {"installed by marker", {}, {}, {}, true,
         {false, true, false, false, {Hint::officialWarpInstalled}}},
        {"installed by process", {}, {}, "warp-svc", false,
         {false, true, false, false, {Hint::officialWarpInstalled}}},
        {"the MagicDNS resolver", {}, "nameserver 100.100.100.100\n", "tailscaled", false,
         {false, false, true, true, {Hint::tailscaleDNS}}},
        {"a tailnet suffix", {}, "search tail4a2b.TS.NET\nnameserver 127.0.0.53\n", {}, false,
         {false, false, true, false, {Hint::tailscaleDNS}}},
        {"Tailscale's own resolv.conf", {}, "# Generated by Tailscale\nnameserver 127.0.0.53\n", {},
         false, {false, false, true, false, {Hint::tailscaleDNS}}},
        {"close to, but not, Tailscale DNS", {},
         "nameserver 100.100.100.10\nsearch ts.network.example\n", {}, false, {}},
        {"the daemon alone", {}, {}, "tailscaled", false,
         {false, false, false, true, {Hint::tailscaleRunning}}},
        // clang-format on
    };
    for (const auto& c : cases) {
        FakeMachine machine;
        if (c.warpCli) machine.writeWarpCli("warp-cli", *c.warpCli);
        if (c.resolvConf) machine.write("resolv.conf", *c.resolvConf);
        if (c.process) machine.addProcess(*c.process);
        if (c.marker) fs::create_directories(machine.path("var-lib-cloudflare-warp"));
        EXPECT_EQ(machine.scan(), c.expected) << c.what;
    }
}

TEST(ConflictScan, TheFirstWarpCliThatPrintsSomethingWins) {
    FakeMachine machine;
    const std::string notExecutable = machine.path("plain-warp-cli");
    machine.write("plain-warp-cli", "#!/bin/sh\necho 'Status update: Disconnected'\n");
    machine.sources.warpCliPaths = {machine.path("missing"), machine.writeWarpCli("silent", ""),
                                    notExecutable,
                                    machine.writeWarpCli("connected", "Status update: Connected\n"),
                                    machine.writeWarpCli("other", "Status update: Disconnected\n")};
    EXPECT_TRUE(machine.scan().officialWarpConnected);
}

TEST(ConflictScan, ResolvectlShowsWhatTheStubResolvConfHides) {
    FakeMachine machine;
    machine.write("resolv.conf", "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    machine.write(
        "resolvectl.out",
        "Global\n  Protocols: +LLMNR\nLink 5 (tailscale0)\n  DNS Servers: 100.100.100.100\n");
    ScopedEnv output("NIMBRA_FAKE_RESOLVECTL_OUTPUT", machine.path("resolvectl.out"));
    EXPECT_FALSE(machine.scan().tailscaleDNS);
    machine.sources.resolvectl = kFakeTools + "/resolvectl";
    EXPECT_EQ(machine.scan(), (ConflictReport{false, false, true, false, {Hint::tailscaleDNS}}));
}

TEST(ConflictScan, WithoutProcRootNamesComeFromPsAndDnsFromScutil) {
    FakeMachine machine;  // the macOS sources, played by fakes
    machine.write("ps.out", "launchd\nCloudflareWARP\nTailscale\n");
    machine.write("scutil.out",
                  "DNS configuration\n\nresolver #1\n  nameserver[0] : 100.100.100.100\n");
    ScopedEnv psOutput("NIMBRA_FAKE_PS_OUTPUT", machine.path("ps.out"));
    ScopedEnv scutilOutput("NIMBRA_FAKE_SCUTIL_OUTPUT", machine.path("scutil.out"));
    machine.sources.procRoot.clear();
    machine.sources.resolvConf.clear();
    machine.sources.ps = kFakeTools + "/ps";
    machine.sources.scutil = kFakeTools + "/scutil";
    EXPECT_EQ(machine.scan(),
              (ConflictReport{
                  false, true, true, true, {Hint::officialWarpInstalled, Hint::tailscaleDNS}}));
}

}  // namespace
}  // namespace nimbra
