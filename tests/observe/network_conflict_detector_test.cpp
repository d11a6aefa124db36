// The conflict scan, run whole against fake tools and files: status texts from the official WARP
// client in their several shapes, the resolver configuration, and the process list, each coming
// from where the real scan would look for it.

#include "observe/network_conflict_detector.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "observe/warp_status_parser.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

namespace fs = std::filesystem;
using nimbra::testing::ScopedEnv;
using nimbra::testing::TempDir;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kFakeTools = std::string(NIMBRA_SOURCE_DIR) + "/tests/observe/fake_tools";

// ---- the status text -------------------------------------------------------------------------

TEST(WarpStatusParser, AStatusLineSayingConnectedCountsInAnyLetterCase) {
    EXPECT_TRUE(warpStatusSaysConnected("Status update: Connected\nReason: Tunnel up\n"));
    EXPECT_TRUE(warpStatusSaysConnected("STATUS UPDATE: CONNECTED"));
    EXPECT_TRUE(warpStatusSaysConnected(" \t status update: connected \n"));
    EXPECT_TRUE(warpStatusSaysConnected("Status: Connected\r\nNetwork: healthy\r\n"));
}

TEST(WarpStatusParser, DisconnectedIsNeverReadAsConnected) {
    EXPECT_FALSE(
        warpStatusSaysConnected("Status update: Disconnected\nReason: Manual Disconnection\n"));
    EXPECT_FALSE(warpStatusSaysConnected("status: DISCONNECTED"));
    EXPECT_FALSE(warpStatusSaysConnected("Disconnected"));
}

TEST(WarpStatusParser, TheLastStatusLineWins) {
    EXPECT_FALSE(warpStatusSaysConnected(
        "Status update: Connected\nReason: ok\nStatus update: Disconnected\nReason: Manual\n"));
    // The whole text holds "disconnected", yet the later status line decides.
    EXPECT_TRUE(warpStatusSaysConnected(
        "Status update: Disconnected\nReason: Manual\nStatus update: Connected\n"));
    // A status line that names neither state leaves the earlier answer standing.
    EXPECT_TRUE(warpStatusSaysConnected("Status update: Connected\nStatus update: Reconnecting\n"));
    EXPECT_FALSE(warpStatusSaysConnected("Status update: Connecting\n"));
}

TEST(WarpStatusParser, OnlyLinesBeginningWithStatusCount) {
    // Neither "Previous status:" nor "Reason:" begins a status line, so neither overrides the one
    // that does.
    EXPECT_FALSE(
        warpStatusSaysConnected("Status update: Disconnected\nPrevious status: connected\n"));
    EXPECT_TRUE(
        warpStatusSaysConnected("Status update: Connected\nReason: disconnected by policy\n"));
}

TEST(WarpStatusParser, WithoutStatusLinesTheWholeTextDecides) {
    EXPECT_TRUE(warpStatusSaysConnected("Success\nTunnel connected\n"));
    EXPECT_FALSE(warpStatusSaysConnected("Success\nTunnel disconnected, connected before\n"));
    EXPECT_FALSE(warpStatusSaysConnected("Error: Daemon not running\n"));
    EXPECT_FALSE(warpStatusSaysConnected(""));
}

// ---- the whole scan --------------------------------------------------------------------------

class ConflictScanTest : public ::testing::Test {
protected:
    ConflictScanTest() {
        fs::create_directories(dir_ / "proc");
        writeFile(dir_ / "resolv.conf", "nameserver 192.168.1.1\nsearch lan\n");
        addProcess(1, "systemd");
        addProcess(812, "bash");
    }

    // Where the scan looks on Linux, moved into the temp dir. The first warp-cli path is never
    // there, as on most machines.
    NetworkConflictDetector::Sources sources() const {
        NetworkConflictDetector::Sources s;
        s.warpCliPaths = {(dir_ / "usr-bin-warp-cli").string(), (dir_ / "warp-cli").string()};
        s.installedMarkers = {(dir_ / "Cloudflare WARP.app").string(),
                              (dir_ / "var-lib-cloudflare-warp").string()};
        s.installedProcessNames = {"CloudflareWARP", "Cloudflare WARP", "warp-svc", "warp-taskbar"};
        s.resolvConf = (dir_ / "resolv.conf").string();
        s.procRoot = (dir_ / "proc").string();
        return s;
    }

    // A tool that prints `output` byte for byte when called with exactly "status", and nothing
    // (failing) otherwise.
    std::string writeWarpCli(const std::string& name, const std::string& output) const {
        const fs::path data = dir_ / (name + ".out");
        writeFile(data, output);
        const fs::path script = dir_ / name;
        writeFile(script, "#!/bin/sh\n[ \"$#\" -eq 1 ] && [ \"$1\" = status ] || exit 64\ncat '" +
                              data.string() + "'\n");
        ::chmod(script.c_str(), 0755);
        return script.string();
    }

    void addProcess(int pid, const std::string& comm) const {
        const fs::path entry = dir_ / "proc" / std::to_string(pid);
        fs::create_directories(entry);
        writeFile(entry / "comm", comm + "\n");
    }

    void setResolvConf(const std::string& content) const {
        writeFile(dir_ / "resolv.conf", content);
    }

    static void writeFile(const fs::path& path, const std::string& content) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    }

    TempDir dir_;
};

TEST_F(ConflictScanTest, NothingInstalledNothingFound) {
    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_EQ(report, ConflictReport{});
}

TEST_F(ConflictScanTest, ConnectedOfficialClientHidesTheTailscaleHint) {
    writeWarpCli("warp-cli", "Status update: Connected\nReason: Tunnel up\n");
    setResolvConf("nameserver 100.100.100.100\nsearch example.ts.net\n");
    addProcess(900, "tailscaled");

    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_TRUE(report.officialWarpConnected);
    EXPECT_TRUE(report.officialWarpInstalled);
    EXPECT_TRUE(report.tailscaleDNS);
    EXPECT_TRUE(report.tailscaleRunning);
    EXPECT_THAT(report.hints, ElementsAre(ConflictHint::disconnectOfficialWarp));
}

TEST_F(ConflictScanTest, TailscaleDnsWithoutOfficialClient) {
    setResolvConf("nameserver 100.100.100.100\n");
    addProcess(900, "tailscaled");

    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_FALSE(report.officialWarpConnected);
    EXPECT_FALSE(report.officialWarpInstalled);
    EXPECT_TRUE(report.tailscaleDNS);
    EXPECT_TRUE(report.tailscaleRunning);
    EXPECT_THAT(report.hints, ElementsAre(ConflictHint::tailscaleDNS));
}

TEST_F(ConflictScanTest, TailscaleDnsIsRecognisedByResolverSuffixOrName) {
    for (const std::string resolv : {"search tail4a2b.TS.NET\nnameserver 127.0.0.53\n",
                                     "# Generated by Tailscale\nnameserver 127.0.0.53\n"}) {
        setResolvConf(resolv);
        EXPECT_TRUE(NetworkConflictDetector::scan(sources()).tailscaleDNS) << resolv;
    }
    // Close to, but not, the MagicDNS resolver.
    setResolvConf("nameserver 100.100.100.10\nsearch ts.network.example\n");
    EXPECT_FALSE(NetworkConflictDetector::scan(sources()).tailscaleDNS);
}

TEST_F(ConflictScanTest, ResolvectlShowsWhatResolvConfHides) {
    setResolvConf("nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    writeFile(dir_ / "resolvectl.out",
              "Global\n  Protocols: +LLMNR\nLink 5 (tailscale0)\n  DNS Servers: 100.100.100.100\n");
    ScopedEnv output("NIMBRA_FAKE_RESOLVECTL_OUTPUT", (dir_ / "resolvectl.out").string());

    auto withResolvectl = sources();
    withResolvectl.resolvectl = kFakeTools + "/resolvectl";
    EXPECT_FALSE(NetworkConflictDetector::scan(sources()).tailscaleDNS);
    const auto report = NetworkConflictDetector::scan(withResolvectl);
    EXPECT_TRUE(report.tailscaleDNS);
    EXPECT_THAT(report.hints, ElementsAre(ConflictHint::tailscaleDNS));
}

TEST_F(ConflictScanTest, TailscaledProcessSatisfiesTheTailscaleCheck) {
    addProcess(900, "tailscaled");
    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_TRUE(report.tailscaleRunning);
    EXPECT_FALSE(report.tailscaleDNS);
    EXPECT_THAT(report.hints, ElementsAre(ConflictHint::tailscaleRunning));
}

TEST_F(ConflictScanTest, DisconnectedOfficialClientIsInstalledAndListedFirst) {
    writeWarpCli("warp-cli", "Status update: Disconnected\nReason: Manual Disconnection\n");
    addProcess(900, "tailscaled");

    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_FALSE(report.officialWarpConnected);
    EXPECT_TRUE(report.officialWarpInstalled);
    EXPECT_THAT(report.hints,
                ElementsAre(ConflictHint::officialWarpInstalled, ConflictHint::tailscaleRunning));
}

TEST_F(ConflictScanTest, InstalledByMarkerPathOrByProcessName) {
    {
        fs::create_directories(dir_ / "var-lib-cloudflare-warp");
        const auto report = NetworkConflictDetector::scan(sources());
        EXPECT_TRUE(report.officialWarpInstalled);
        EXPECT_FALSE(report.officialWarpConnected);
        EXPECT_THAT(report.hints, ElementsAre(ConflictHint::officialWarpInstalled));
        fs::remove_all(dir_ / "var-lib-cloudflare-warp");
    }
    {
        addProcess(700, "warp-svc");
        const auto report = NetworkConflictDetector::scan(sources());
        EXPECT_TRUE(report.officialWarpInstalled);
        EXPECT_THAT(report.hints, ElementsAre(ConflictHint::officialWarpInstalled));
    }
}

TEST_F(ConflictScanTest, TheFirstWarpCliThatPrintsSomethingWins) {
    auto s = sources();
    const std::string silent = writeWarpCli("silent-warp-cli", "");
    const std::string notExecutable = (dir_ / "plain-warp-cli").string();
    writeFile(notExecutable, "#!/bin/sh\necho 'Status update: Disconnected'\n");
    const std::string connected = writeWarpCli("connected-warp-cli", "Status update: Connected\n");
    const std::string disconnected =
        writeWarpCli("disconnected-warp-cli", "Status update: Disconnected\n");
    s.warpCliPaths = {(dir_ / "missing").string(), silent, notExecutable, connected, disconnected};

    const auto report = NetworkConflictDetector::scan(s);
    EXPECT_TRUE(report.officialWarpConnected);
    EXPECT_THAT(report.hints, ElementsAre(ConflictHint::disconnectOfficialWarp));
}

TEST_F(ConflictScanTest, OutputThatIsNotUtf8CountsAsNoOutput) {
    writeWarpCli("warp-cli", "Status update: Connected\n\xff\xfe\n");
    const auto report = NetworkConflictDetector::scan(sources());
    EXPECT_FALSE(report.officialWarpConnected);
    EXPECT_FALSE(report.officialWarpInstalled);
    EXPECT_THAT(report.hints, IsEmpty());
}

TEST_F(ConflictScanTest, WithoutProcRootNamesComeFromPsAndDnsFromScutil) {
    // The macOS sources, played by fakes.
    writeFile(dir_ / "ps.out", "launchd\nCloudflareWARP\nTailscale\n");
    writeFile(dir_ / "scutil.out",
              "DNS configuration\n\nresolver #1\n  nameserver[0] : 100.100.100.100\n");
    ScopedEnv psOutput("NIMBRA_FAKE_PS_OUTPUT", (dir_ / "ps.out").string());
    ScopedEnv scutilOutput("NIMBRA_FAKE_SCUTIL_OUTPUT", (dir_ / "scutil.out").string());

    auto s = sources();
    s.procRoot.clear();
    s.resolvConf.clear();
    s.ps = kFakeTools + "/ps";
    s.scutil = kFakeTools + "/scutil";
    const auto report = NetworkConflictDetector::scan(s);
    EXPECT_TRUE(report.officialWarpInstalled);
    EXPECT_TRUE(report.tailscaleRunning);
    EXPECT_TRUE(report.tailscaleDNS);
    EXPECT_THAT(report.hints,
                ElementsAre(ConflictHint::officialWarpInstalled, ConflictHint::tailscaleDNS));
}

}  // namespace
}  // namespace nimbra
