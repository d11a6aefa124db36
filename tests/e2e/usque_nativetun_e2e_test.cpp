// The usque stand-in's `nativetun` in the namespace world: a TUN in the client namespace whose
// packets come out at the provider. No daemon here: routes into the tunnel are added by hand.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "namespace_world.hpp"
#include "support/line_reader.hpp"
#include "support/temp_dir.hpp"

namespace nimbra::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Ns = NamespaceWorld::Ns;

constexpr auto kWait = 60s;
constexpr const char* kTunnelIpv4 = "172.16.0.2";
constexpr const char* kTunnelIpv6 = "2606:4700:110:8a36:df92:102a:9602:fa18";

class NativeTunE2e : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto why = NamespaceWorld::unavailable(); !why.empty()) GTEST_SKIP() << why;
        world_.emplace();
        std::ofstream(config_) << R"({"ipv4": ")" << kTunnelIpv4 << R"(", "ipv6": ")" << kTunnelIpv6
                               << R"(", "endpoint_v4": "162.159.198.1"})"
                               << "\n";
    }

    // `usque nativetun` in the client namespace, `prefix` (e.g. setpriv) before it.
    Subprocess startUsque(const std::vector<std::string>& environment,
                          std::vector<std::string> prefix = {}) {
        std::vector<std::string> env = {"USQUE_STANDIN_PROVIDER_NETNS=" +
                                        world_->path(Ns::provider)};
        env.insert(env.end(), environment.begin(), environment.end());
        prefix.insert(prefix.end(), {std::string(NIMBRA_STANDIN_DIR) + "/usque", "nativetun", "-c",
                                     config_.string(), "-n", "nimbra0", "-k", "15s"});
        return world_->start(Ns::client, prefix, env);
    }

    bool linkExists(Ns ns, const std::string& name) const {
        return world_->run(ns, {"ip", "link", "show", name}).status.succeeded();
    }

    // The provider's route back to the client is the last thing the stand-in sets up.
    bool waitForProviderRoute() const {
        for (int attempt = 0; attempt < 600; ++attempt) {
            if (world_->output(Ns::provider, {"ip", "route"}).find(kTunnelIpv4) !=
                std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        return false;
    }

    // The trace host (both families) and the resolver.
    void routeTraceHostIntoTunnel() const {
        world_->output(Ns::client,
                       {"ip", "route", "add", std::string(kTraceHost) + "/32", "dev", "nimbra0"});
        world_->output(Ns::client, {"ip", "-6", "route", "add", std::string(kTraceHost6) + "/128",
                                    "dev", "nimbra0"});
        world_->output(Ns::client,
                       {"ip", "route", "add", std::string(kResolver) + "/32", "dev", "nimbra0"});
    }

    testing::TempDir dir_;
    fs::path config_ = dir_ / "usque.json";
    std::optional<NamespaceWorld> world_;
};

// Which way the trace host's packets go: through the tunnel once routed into it (and only while
// it is connected, only for the families it carries), straight to the router otherwise.
struct CarryCase {
    const char* name;
    std::vector<std::string> knobs;
    bool waitReady;
    const char* ipv4;  // warp= for the IPv4 trace host once routed into the tunnel; "" no answer
    const char* ipv6;
    const char* dns;  // what 1.1.1.1 answers once routed into the tunnel
};

class NativeTunCarries : public NativeTunE2e, public ::testing::WithParamInterface<CarryCase> {};

TEST_P(NativeTunCarries, RoutedTrafficExitsAtTheProvider) {
    const CarryCase& c = GetParam();
    Subprocess usque = startUsque(c.knobs);
    testing::LineReader err(usque.releaseStderr());
    if (c.waitReady) {
        ASSERT_TRUE(err.waitFor("Connected to MASQUE server", kWait)) << err.transcript();
    }
    ASSERT_TRUE(waitForProviderRoute()) << err.transcript();
    if (c.waitReady) {  // the registration's addresses, IPv6 only where the tunnel carries it
        const std::string addresses =
            world_->output(Ns::client, {"ip", "address", "show", "dev", "nimbra0"});
        EXPECT_THAT(addresses, HasSubstr(std::string(kTunnelIpv4) + "/32"));
        EXPECT_EQ(addresses.find(std::string(kTunnelIpv6) + "/128") != std::string::npos,
                  *c.ipv6 != '\0')
            << addresses;
    }
    EXPECT_EQ(world_->warp(false), "off");
    EXPECT_EQ(world_->warp(true), "off");
    EXPECT_EQ(world_->lookup(kResolver), kRouterDnsAnswer);

    routeTraceHostIntoTunnel();
    for (const auto& [ipv6, expected] : {std::pair{false, c.ipv4}, std::pair{true, c.ipv6}}) {
        if (*expected != '\0') {
            EXPECT_EQ(world_->warp(ipv6), expected) << (ipv6 ? "IPv6" : "IPv4");
        } else {
            EXPECT_THAT(world_->warp(ipv6), StartsWith("no trace")) << (ipv6 ? "IPv6" : "IPv4");
        }
    }
    EXPECT_EQ(world_->lookup(kResolver), c.dns);
    EXPECT_TRUE(usque.running()) << err.transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Knobs, NativeTunCarries,
    ::testing::Values(
        CarryCase{"BothFamilies", {}, true, "on", "on", kProviderDnsAnswer},
        CarryCase{"NoIpv6", {"USQUE_STANDIN_NO_IPV6=1"}, true, "on", "", kProviderDnsAnswer},
        CarryCase{"NeverConnected",
                  {"USQUE_STANDIN_NEVER_READY=1"},
                  false,
                  "",
                  "",
                  "recv: Resource temporarily unavailable"}),
    [](const auto& info) { return std::string(info.param.name); });

// However it ends, both interfaces (and with them the provider's routes back) are gone.
struct EndCase {
    const char* name;
    int signal;
    int exitCode;
};

class NativeTunEnds : public NativeTunE2e, public ::testing::WithParamInterface<EndCase> {};

TEST_P(NativeTunEnds, RemovesBothInterfaces) {
    Subprocess usque = startUsque({});
    testing::LineReader err(usque.releaseStderr());
    ASSERT_TRUE(err.waitFor("Connected to MASQUE server", kWait)) << err.transcript();
    ASSERT_TRUE(linkExists(Ns::client, "nimbra0"));
    ASSERT_TRUE(linkExists(Ns::provider, "warp0"));

    usque.signal(GetParam().signal);
    const auto status = usque.wait(kWait);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code, GetParam().exitCode);
    EXPECT_FALSE(linkExists(Ns::client, "nimbra0"));
    EXPECT_FALSE(linkExists(Ns::provider, "warp0"));
    EXPECT_EQ(world_->output(Ns::provider, {"ip", "route"}).find(kTunnelIpv4), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, NativeTunEnds,
                         ::testing::Values(EndCase{"Sigterm", SIGTERM, 0},
                                           EndCase{"Sigint", SIGINT, 0},
                                           EndCase{"Sigkill", SIGKILL, 128 + SIGKILL}),
                         [](const auto& info) { return std::string(info.param.name); });

// Runs that cannot build a tunnel say why and leave no interface behind.
TEST_F(NativeTunE2e, RefusesWithoutConfigRootOrProvider) {
    // The unprivileged run must be able to read the registration, to get as far as the TUN.
    fs::permissions(dir_.path(), fs::perms::owner_all | fs::perms::others_read |
                                     fs::perms::others_exec | fs::perms::group_read |
                                     fs::perms::group_exec);
    fs::permissions(config_, fs::perms::owner_read | fs::perms::owner_write |
                                 fs::perms::group_read | fs::perms::others_read);
    const fs::path missing = dir_ / "missing.json";
    struct Refusal {
        const char* name;
        std::vector<std::string> argv;
        std::vector<std::string> environment;
        const char* line;
        int exitCode;
    };
    const std::string usque = std::string(NIMBRA_STANDIN_DIR) + "/usque";
    const std::vector<std::string> args = {"nativetun", "-n", "nimbra0", "-k", "15s", "-c"};
    auto command = [&](std::vector<std::string> prefix, const fs::path& config) {
        prefix.push_back(usque);
        prefix.insert(prefix.end(), args.begin(), args.end());
        prefix.push_back(config.string());
        return prefix;
    };
    const std::string provider = "USQUE_STANDIN_PROVIDER_NETNS=" + world_->path(Ns::provider);
    const std::vector<Refusal> refusals = {
        {"no config",
         command({}, missing),
         {provider},
         "Config not loaded. Please register first.",
         0},
        {"not root",
         command({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, config_),
         {provider},
         "must run as root",
         1},
        {"no provider namespace", command({}, config_), {}, "USQUE_STANDIN_PROVIDER_NETNS", 1},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        Subprocess run = world_->start(Ns::client, refusal.argv, refusal.environment);
        const auto status = run.wait(kWait);
        ASSERT_TRUE(status.has_value());
        EXPECT_EQ(status->code, refusal.exitCode);
        EXPECT_THAT(run.takeStderr(), HasSubstr(refusal.line));
        EXPECT_FALSE(linkExists(Ns::client, "nimbra0"));
    }
}

}  // namespace
}  // namespace nimbra::e2e
