#include "proxy/system_proxy/networksetup_backend.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "proxy/system_proxy/proxy_error.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

// The stand-in networksetup (tests/support/networksetup) keeps its settings in a JSON file and
// logs each call as one line of space-joined arguments.
class NetworksetupBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::filesystem::exists(tool_)) {
            GTEST_FAIL() << "stand-in networksetup missing at " << tool_
                         << " (build the nimbra_standins target)";
        }
    }

    void setState(const json& state) { std::ofstream(dir_ / "state.json") << state.dump(); }

    // One service with the given settings (the stand-in's own shape, see its README).
    void setService(const std::string& service, const json& settings) {
        setState({{"services", json::array({service})}, {"settings", {{service, settings}}}});
    }

    // The calls logged since the last take.
    Lines takeLog() {
        Lines lines;
        std::ifstream in(dir_ / "calls.log");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        std::filesystem::remove(dir_ / "calls.log");
        return lines;
    }

    testing::TempDir dir_;
    testing::ScopedEnv state_{"NETWORKSETUP_STATE", (dir_ / "state.json").string()};
    testing::ScopedEnv log_{"NETWORKSETUP_LOG", (dir_ / "calls.log").string()};
    testing::ScopedEnv fail_{"NETWORKSETUP_FAIL", std::nullopt};
    std::string tool_ = std::string(NIMBRA_STANDIN_DIR) + "/networksetup";
    NetworksetupProxyBackend backend_{{tool_}};
    LocalEndpoints ours_;
};

json proxy(bool enabled, const std::string& server, int port) {
    return {{"enabled", enabled}, {"server", server}, {"port", port}};
}

// Settings a user may well have: proxies of their own (one switched off), a PAC file and a bypass
// list.
const json kUserSettings = {{"web", proxy(true, "proxy.corp", 8080)},
                            {"secureWeb", proxy(false, "10.1.1.1", 3128)},
                            {"socks", proxy(true, "socks.corp", 1080)},
                            {"autoProxyUrl", "http://wpad.corp/proxy.pac"},
                            {"autoProxyEnabled", true},
                            {"bypassDomains", {"a.example", "*.b.example"}}};

TEST_F(NetworksetupBackendTest, ChoosesTheServiceByPreferenceNeverADisabledOne) {
    const struct {
        Lines listed;
        std::optional<std::string> chosen;
    } cases[] = {
        {{"Ethernet", "Wi-Fi"}, "Wi-Fi"},
        {{"Bluetooth PAN", "Wi-Fi Direct", "Thunderbolt Bridge"}, "Thunderbolt Bridge"},
        {{"Thunderbolt Bridge", "USB 10/100/1000 LAN"}, "USB 10/100/1000 LAN"},
        {{"*Wi-Fi", "Ethernet"}, "Ethernet"},
        {{"*Wi-Fi", "iPhone USB", "Bluetooth PAN"}, "iPhone USB"},
        {{"*Wi-Fi"}, std::nullopt},
        {{}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(json(c.listed).dump());
        setState({{"services", c.listed}});
        try {
            EXPECT_EQ(backend_.chooseScope(), c.chosen.value_or("(no service)"));
        } catch (const ProxyError& error) {
            EXPECT_FALSE(c.chosen);
            EXPECT_TRUE(std::holds_alternative<ProxyError::NoService>(error.reason()));
        }
    }
}

TEST_F(NetworksetupBackendTest, ReadsEverySettingAsTheToolPrintsIt) {
    setService("Wi-Fi", {{"web", proxy(true, "proxy.corp", 8080)},
                         {"socks", proxy(true, "127.0.0.1", 19999)},
                         {"autoProxyEnabled", true},
                         {"autoDiscovery", true},
                         {"bypassDomains", {"*.local", "169.254/16"}}});
    const ProxySettings settings = backend_.read("Wi-Fi");

    EXPECT_EQ(takeLog(), (Lines{"-getwebproxy Wi-Fi", "-getsecurewebproxy Wi-Fi",
                                "-getsocksfirewallproxy Wi-Fi", "-getautoproxyurl Wi-Fi",
                                "-getproxyautodiscovery Wi-Fi", "-getproxybypassdomains Wi-Fi"}));
    EXPECT_EQ(settings.backend, "networksetup");
    EXPECT_EQ(settings.scope, "Wi-Fi");
    // "URL: (null)" is no address; an unset server reads as "Server: " and "Port: 0".
    EXPECT_EQ(settings.values, (std::map<std::string, std::string>{
                                   {"web.enabled", "on"},
                                   {"web.host", "proxy.corp"},
                                   {"web.port", "8080"},
                                   {"secureWeb.enabled", "off"},
                                   {"secureWeb.host", ""},
                                   {"secureWeb.port", "0"},
                                   {"socks.enabled", "on"},
                                   {"socks.host", "127.0.0.1"},
                                   {"socks.port", "19999"},
                                   {"autoProxy.enabled", "on"},
                                   {"autoProxy.url", ""},
                                   {"autoDiscovery", "on"},
                                   {"bypassDomains", "*.local\n169.254/16"},
                               }));
    EXPECT_EQ(
        backend_.describe(settings),
        (Lines{"Wi-Fi web proxy: on proxy.corp:8080", "Wi-Fi secure web proxy: off",
               "Wi-Fi SOCKS proxy: on 127.0.0.1:19999", "Wi-Fi automatic configuration: on",
               "Wi-Fi automatic discovery: on", "Wi-Fi bypass domains: *.local, 169.254/16"}));
}

TEST_F(NetworksetupBackendTest, ApplyWritesInOrder) {
    setService("Wi-Fi", kUserSettings);
    backend_.applyAutoSplit("Wi-Fi", "http://127.0.0.1:19998/proxy.pac?v=1700000000");
    EXPECT_EQ(takeLog(),
              (Lines{"-setautoproxyurl Wi-Fi http://127.0.0.1:19998/proxy.pac?v=1700000000",
                     "-setautoproxystate Wi-Fi on", "-setproxyautodiscovery Wi-Fi Off",
                     "-setwebproxystate Wi-Fi off", "-setsecurewebproxystate Wi-Fi off",
                     "-setsocksfirewallproxystate Wi-Fi off"}));

    backend_.applyFull("Wi-Fi", {"127.0.0.1", 19998, 19999, standardBypassDomains()});
    EXPECT_EQ(takeLog(),
              (Lines{"-setautoproxystate Wi-Fi off", "-setproxyautodiscovery Wi-Fi Off",
                     "-setwebproxy Wi-Fi 127.0.0.1 19998", "-setwebproxystate Wi-Fi on",
                     "-setsecurewebproxy Wi-Fi 127.0.0.1 19998", "-setsecurewebproxystate Wi-Fi on",
                     "-setsocksfirewallproxy Wi-Fi 127.0.0.1 19999",
                     "-setsocksfirewallproxystate Wi-Fi on",
                     "-setproxybypassdomains Wi-Fi 127.0.0.1 localhost *.local 10.0.0.0/8 "
                     "172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 <local>"}));
}

// Two applies in a row (a mode change while connected), then the restore of what was read first.
TEST_F(NetworksetupBackendTest, RestoreWritesBackWhatWasRead) {
    const struct {
        std::string service;
        json settings;
        bool exactlyBack;  // false: a server that cannot be written back keeps the one we set
        Lines calls;
    } cases[] = {
        // A server with port 0 is left alone, only its state comes back; a "(null)" address
        // only switches automatic configuration off; an empty bypass list is written as "Empty".
        {"Wi-Fi",
         {{"web", proxy(true, "proxy.corp", 0)},
          {"secureWeb", proxy(false, "10.1.1.1", 3128)},
          {"autoProxyEnabled", true},
          {"autoDiscovery", true}},
         false,
         {"-setwebproxystate Wi-Fi on", "-setsecurewebproxy Wi-Fi 10.1.1.1 3128",
          "-setsecurewebproxystate Wi-Fi off", "-setsocksfirewallproxystate Wi-Fi off",
          "-setautoproxystate Wi-Fi off", "-setproxyautodiscovery Wi-Fi On",
          "-setproxybypassdomains Wi-Fi Empty"}},
        {"USB 10/100/1000 LAN",
         kUserSettings,
         true,
         {"-setwebproxy USB 10/100/1000 LAN proxy.corp 8080",
          "-setwebproxystate USB 10/100/1000 LAN on",
          "-setsecurewebproxy USB 10/100/1000 LAN 10.1.1.1 3128",
          "-setsecurewebproxystate USB 10/100/1000 LAN off",
          "-setsocksfirewallproxy USB 10/100/1000 LAN socks.corp 1080",
          "-setsocksfirewallproxystate USB 10/100/1000 LAN on",
          "-setautoproxyurl USB 10/100/1000 LAN http://wpad.corp/proxy.pac",
          "-setautoproxystate USB 10/100/1000 LAN on",
          "-setproxyautodiscovery USB 10/100/1000 LAN Off",
          "-setproxybypassdomains USB 10/100/1000 LAN a.example *.b.example"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.service);
        setService(c.service, c.settings);
        const ProxySettings prior = backend_.read(c.service);
        backend_.applyAutoSplit(c.service, ours_.pacAddress() + "?v=1700000000");
        backend_.applyFull(c.service, {"127.0.0.1", 19998, 19999, standardBypassDomains()});
        ASSERT_TRUE(backend_.pointsAt(backend_.read(c.service), ours_));
        takeLog();
        backend_.restore(prior);
        EXPECT_EQ(takeLog(), c.calls);
        if (c.exactlyBack) {
            EXPECT_EQ(backend_.read(c.service).values, prior.values);
        }
    }
}

TEST_F(NetworksetupBackendTest, SwitchOffTouchesOnlyWhatPointsAtUs) {
    const json mixed = {{"web", proxy(true, "127.0.0.1", 19998)},
                        {"secureWeb", proxy(true, "proxy.corp", 19998)},
                        {"socks", proxy(true, "localhost", 19999)},
                        {"autoProxyUrl", "http://127.0.0.1:19998/proxy.pac?v=1700000000"},
                        {"autoProxyEnabled", true}};
    // Loopback on another port, ours but switched off, a PAC file elsewhere: all the user's.
    const json usersOwn = {{"web", proxy(true, "127.0.0.1", 8080)},
                           {"socks", proxy(false, "127.0.0.1", 19999)},
                           {"autoProxyUrl", "http://wpad.corp/proxy.pac"},
                           {"autoProxyEnabled", true}};
    const struct {
        json settings;
        bool socksOnly;
        bool pointsAtUs;
        Lines calls;
    } cases[] = {
        {mixed,
         false,
         true,
         {"-setwebproxystate Wi-Fi off", "-setautoproxystate Wi-Fi off",
          "-setsocksfirewallproxystate Wi-Fi off"}},
        {mixed, true, true, {"-setsocksfirewallproxystate Wi-Fi off"}},
        {usersOwn, false, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.dump() + (c.socksOnly ? " socksOnly" : ""));
        setService("Wi-Fi", c.settings);
        const ProxySettings current = backend_.read("Wi-Fi");
        EXPECT_EQ(backend_.pointsAt(current, ours_), c.pointsAtUs);
        takeLog();
        backend_.switchOffOurs(current, ours_, c.socksOnly);
        EXPECT_EQ(takeLog(), c.calls);
        // Only a SOCKS-only switch-off leaves something of ours (the web proxy) on.
        EXPECT_EQ(backend_.pointsAt(backend_.read("Wi-Fi"), ours_), c.socksOnly);
    }
}

TEST_F(NetworksetupBackendTest, StopsAtAFailedWriteThatMattersAndIgnoresTheRest) {
    const auto autoSplit = [&](const ProxySettings&) {
        backend_.applyAutoSplit("Wi-Fi", "http://127.0.0.1:19998/proxy.pac?v=1");
    };
    const auto full = [&](const ProxySettings&) {
        backend_.applyFull("Wi-Fi", {"127.0.0.1", 19998, 19999, {}});
    };
    const auto restore = [&](const ProxySettings& prior) { backend_.restore(prior); };
    const struct {
        std::string failing;
        std::function<void(const ProxySettings&)> action;
        bool thrown;
        std::size_t calls;
    } cases[] = {
        {"-setautoproxystate", autoSplit, true, 2},
        {"-setproxyautodiscovery", autoSplit, false, 6},
        {"-setsecurewebproxy", full, true, 5},
        {"-setautoproxystate", full, false, 9},
        {"-setproxybypassdomains", full, false, 9},  // clearing the list is best effort
        {"-setsecurewebproxy", restore, false, 10},  // a server write is best effort, its state not
        {"-setsecurewebproxystate", restore, true, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        setService("Wi-Fi", kUserSettings);
        const ProxySettings prior = backend_.read("Wi-Fi");
        takeLog();
        testing::ScopedEnv fail("NETWORKSETUP_FAIL", c.failing);
        try {
            c.action(prior);
            EXPECT_FALSE(c.thrown);
        } catch (const ProxyError& error) {
            EXPECT_TRUE(c.thrown);
            const auto* failed = std::get_if<ProxyError::CommandFailed>(&error.reason());
            ASSERT_NE(failed, nullptr);
            EXPECT_EQ(failed->message, "** Error: Unable to commit changes to network database.\n");
        }
        const Lines calls = takeLog();
        EXPECT_EQ(calls.size(), c.calls);
        const auto attempt = std::find_if(calls.begin(), calls.end(), [&](const std::string& call) {
            return call.rfind(c.failing + " ", 0) == 0;
        });
        ASSERT_NE(attempt, calls.end()) << "the failing write was never tried";
        if (c.thrown) {
            EXPECT_TRUE(attempt + 1 == calls.end()) << "the failed write ends the sequence";
        }
    }
}

}  // namespace
}  // namespace nimbra
