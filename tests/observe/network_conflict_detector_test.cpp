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
#include <tuple>
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
        {" \t STATUS update: connected \n", true},
        {"Status: Connected\r\nNetwork: healthy\r\n", true},
        {"Status update: Disconnected\nReason: Manual\nStatus update: Connected\n", true},
        // A status line naming neither state leaves the earlier answer standing.
        {"Status update: Connected\nStatus update: Reconnecting\n", true},
        // Only lines that begin with "status" are status lines.
        {"Status update: Disconnected\nPrevious status: connected\n", false},
        {"Status update: Connected\nReason: disconnected by policy\n", true},
        {"Success\nTunnel connected\n", true},
        {"Success\nTunnel disconnected, connected before\n", false},
    };
    for (const auto& [text, connected] : cases)
        EXPECT_EQ(warpStatusSaysConnected(text), connected) << text;
}

// A machine for the scan in a temp dir, with the Linux sources pointed into it. The first
// warp-cli path is never there, as on most machines.
class FakeMachine {
public:
    FakeMachine() {
        fs::create_directories(dir_ / "proc");
        write("resolv.conf", "nameserver 192.168.1.1\nsearch lan\n");
        addProcess("systemd");
        sources.warpCliPaths = {path("usr-bin-warp-cli"), path("warp-cli")};
        sources.installedMarkers = {path("Cloudflare WARP.app"), path("var-lib-cloudflare-warp")};
        sources.installedProcessNames = {"CloudflareWARP", "warp-svc"};
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
    // What the case shows, warp-cli's status text, resolv.conf, a process, the installed marker.
    using Opt = std::optional<std::string>;
    const ConflictReport installed{false, true, false, false, {Hint::officialWarpInstalled}};
    const ConflictReport dns{false, false, true, false, {Hint::tailscaleDNS}};
    const std::tuple<const char*, Opt, Opt, Opt, bool, ConflictReport> cases[] = {
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
        {"installed by marker", {}, {}, {}, true, installed},
        {"installed by process", {}, {}, "warp-svc", false, installed},
        {"the MagicDNS resolver", {}, "nameserver 100.100.100.100\n", "tailscaled", false,
         {false, false, true, true, {Hint::tailscaleDNS}}},
        {"a tailnet suffix", {}, "search tail4a2b.TS.NET\nnameserver 127.0.0.53\n", {}, false, dns},
        {"a comment naming Tailscale is not its DNS", {},
         "# Generated by Tailscale\n#nameserver 100.100.100.100\nnameserver 127.0.0.53\n", {},
         false, {}},
        {"close to, but not, Tailscale DNS", {},
         "nameserver 100.100.100.10\nsearch ts.network.example\n", {}, false, {}},
        // clang-format on
    };
    for (const auto& [what, warpCli, resolvConf, process, marker, expected] : cases) {
        FakeMachine machine;
        if (warpCli) machine.writeWarpCli("warp-cli", *warpCli);
        if (resolvConf) machine.write("resolv.conf", *resolvConf);
        if (process) machine.addProcess(*process);
        if (marker) fs::create_directories(machine.path("var-lib-cloudflare-warp"));
        EXPECT_EQ(machine.scan(), expected) << what;
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

TEST(ConflictScan, ResolverAndProcessToolsShowWhatTheFilesDoNot) {
    // `resolvectl status` lists a tailscale0 link whenever Tailscale is up; only a MagicDNS
    // server or a tailnet domain on some link says Tailscale answers DNS.
    const std::pair<const char*, bool> resolvectlCases[] = {
        {"Link 5 (tailscale0)\n    Current Scopes: none\n     Protocols: -DefaultRoute\n"
         "Link 2 (eth0)\n  DNS Servers: 192.168.1.1\n   DNS Domain: lan\n",
         false},
        {"Link 5 (tailscale0)\nCurrent DNS Server: 100.100.100.100\n", true},
        {"Link 5 (tailscale0)\n  DNS Servers: fd7a:115c:a1e0::53\n               100.100.100.100\n",
         true},
        {"Link 5 (tailscale0)\n   DNS Domain: tail4a2b.ts.net ~.\n", true},
        {"Link 5 (tailscale0)\n   DNS Domain: ~ts.net\n", true},
    };
    for (const auto& [output, tailscaleDNS] : resolvectlCases) {
        FakeMachine stub;  // resolv.conf names only the local stub resolver
        stub.write("resolv.conf", "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
        stub.write("tool.out", std::string("Global\n  Protocols: +LLMNR\n") + output);
        ScopedEnv resolvectl("NIMBRA_FAKE_RESOLVECTL_OUTPUT", stub.path("tool.out"));
        EXPECT_FALSE(stub.scan().tailscaleDNS);
        stub.sources.resolvectl = kFakeTools + "/resolvectl";
        const ConflictReport expected{
            false, false, tailscaleDNS, false,
            tailscaleDNS ? std::vector{Hint::tailscaleDNS} : std::vector<Hint>{}};
        EXPECT_EQ(stub.scan(), expected) << output;
    }

    FakeMachine mac;  // no /proc and no resolv.conf: names come from ps, DNS from scutil
    mac.write("ps.out", "launchd\nCloudflareWARP\nTailscale\n");
    mac.write("scutil.out",
              "DNS configuration\n\nresolver #1\n  nameserver[0] : 100.100.100.100\n");
    ScopedEnv ps("NIMBRA_FAKE_PS_OUTPUT", mac.path("ps.out"));
    ScopedEnv scutil("NIMBRA_FAKE_SCUTIL_OUTPUT", mac.path("scutil.out"));
    mac.sources.procRoot = mac.sources.resolvConf = "";
    mac.sources.ps = kFakeTools + "/ps";
    mac.sources.scutil = kFakeTools + "/scutil";
    EXPECT_EQ(mac.scan(),
              (ConflictReport{
                  false, true, true, true, {Hint::officialWarpInstalled, Hint::tailscaleDNS}}));
}

}  // namespace
}  // namespace nimbra
