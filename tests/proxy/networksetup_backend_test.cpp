// macOS's networksetup through its stand-in (tests/support/networksetup), which keeps each
// service's settings in a JSON file and logs every call: the call sequences are what macOS sees.

#include "proxy/system_proxy/networksetup_backend.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <tuple>
#include <variant>

#include "base/text.hpp"
#include "proxy/system_proxy/proxy_error.hpp"
#include "support/file_text.hpp"
#include "support/scoped_env.hpp"
#include "support/temp_dir.hpp"

namespace nimbra {
namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

json proxy(bool enabled, const std::string& server, int port) {
    return {{"enabled", enabled}, {"server", server}, {"port", port}};
}

// A user's own proxies (one switched off), PAC file and bypass list.
const json kUsers = {{"web", proxy(true, "proxy.corp", 8080)},
                     {"secureWeb", proxy(false, "10.1.1.1", 3128)},
                     {"socks", proxy(true, "socks.corp", 1080)},
                     {"autoProxyUrl", "http://wpad.corp/proxy.pac"},
                     {"autoProxyEnabled", true},
                     {"bypassDomains", {"a.example", "*.b.example"}}};
const std::string kPac = "http://127.0.0.1:19998/proxy.pac?v=1700000000";
const FullProxyRequest kFull{"127.0.0.1", 19998, 19999, standardBypassDomains()};
const LocalEndpoints kOurs;

class NetworksetupBackendTest : public ::testing::Test {
protected:
    void setState(const json& services, const json& settings = json::object()) {
        std::ofstream(dir_ / "state.json") << json{{"services", services}, {"settings", settings}};
    }
    void setService(const std::string& name, const json& settings) {
        setState({name}, {{name, settings}});
    }

    Lines takeLog() {
        Lines lines = text::splitLines(testing::readFile(dir_ / "calls.log"));
        std::filesystem::remove(dir_ / "calls.log");
        return lines;
    }

    testing::TempDir dir_;
    testing::ScopedEnv state_{"NETWORKSETUP_STATE", (dir_ / "state.json").string()};
    testing::ScopedEnv log_{"NETWORKSETUP_LOG", (dir_ / "calls.log").string()};
    testing::ScopedEnv fail_{"NETWORKSETUP_FAIL", std::nullopt};
    NetworksetupProxyBackend backend_{{std::string(NIMBRA_STANDIN_DIR) + "/networksetup"}};
};

TEST_F(NetworksetupBackendTest, ChoosesTheServiceByPreferenceNeverADisabledOne) {
    const std::pair<Lines, std::string> cases[] = {
        {{"Ethernet", "Wi-Fi"}, "Wi-Fi"},
        {{"Bluetooth PAN", "Thunderbolt Bridge", "USB 10/100/1000 LAN"}, "USB 10/100/1000 LAN"},
        {{"*Wi-Fi", "Ethernet"}, "Ethernet"},
        {{"*Wi-Fi", "iPhone USB"}, "iPhone USB"},
        {{"*Wi-Fi"}, "NoService"},
    };
    for (const auto& [listed, expected] : cases) {
        setState(listed);
        std::string chosen = "NoService";
        try {
            chosen = backend_.chooseScope();
        } catch (const ProxyError& error) {
            EXPECT_TRUE(std::holds_alternative<ProxyError::NoService>(error.reason()));
        }
        EXPECT_EQ(chosen, expected) << json(listed).dump();
    }
}

// Two applies in a row (a mode change while connected), then the restore of what was read first.
TEST_F(NetworksetupBackendTest, AppliesAndRestoreCallInThisOrder) {
    setService("Wi-Fi", kUsers);
    const ProxySettings prior = backend_.read("Wi-Fi");
    takeLog();
    backend_.applyAutoSplit("Wi-Fi", kPac);
    EXPECT_EQ(takeLog(), (Lines{"-setautoproxyurl Wi-Fi " + kPac, "-setautoproxystate Wi-Fi on",
                                "-setproxyautodiscovery Wi-Fi Off", "-setwebproxystate Wi-Fi off",
                                "-setsecurewebproxystate Wi-Fi off",
                                "-setsocksfirewallproxystate Wi-Fi off"}));
    backend_.applyFull("Wi-Fi", kFull);
    EXPECT_EQ(takeLog(),
              (Lines{"-setautoproxystate Wi-Fi off", "-setproxyautodiscovery Wi-Fi Off",
                     "-setwebproxy Wi-Fi 127.0.0.1 19998", "-setwebproxystate Wi-Fi on",
                     "-setsecurewebproxy Wi-Fi 127.0.0.1 19998", "-setsecurewebproxystate Wi-Fi on",
                     "-setsocksfirewallproxy Wi-Fi 127.0.0.1 19999",
                     "-setsocksfirewallproxystate Wi-Fi on",
                     "-setproxybypassdomains Wi-Fi 127.0.0.1 localhost *.local 10.0.0.0/8 "
                     "172.16.0.0/12 192.168.0.0/16 169.254.0.0/16 <local>"}));
    backend_.restore(prior);
    EXPECT_EQ(takeLog(),
              (Lines{"-setwebproxy Wi-Fi proxy.corp 8080", "-setwebproxystate Wi-Fi on",
                     "-setsecurewebproxy Wi-Fi 10.1.1.1 3128", "-setsecurewebproxystate Wi-Fi off",
                     "-setsocksfirewallproxy Wi-Fi socks.corp 1080",
                     "-setsocksfirewallproxystate Wi-Fi on",
                     "-setautoproxyurl Wi-Fi http://wpad.corp/proxy.pac",
                     "-setautoproxystate Wi-Fi on", "-setproxyautodiscovery Wi-Fi Off",
                     "-setproxybypassdomains Wi-Fi a.example *.b.example"}));
    EXPECT_EQ(backend_.read("Wi-Fi").values, prior.values);

    // A server with port 0 is not written back, only its state; "URL: (null)" is no address and
    // only switches automatic configuration off; an empty bypass list is written as "Empty".
    const std::string usb = "USB 10/100/1000 LAN";
    setService(usb, {{"web", proxy(true, "proxy.corp", 0)}, {"autoProxyEnabled", true}});
    const ProxySettings bare = backend_.read(usb);
    backend_.applyFull(usb, kFull);
    takeLog();
    backend_.restore(bare);
    EXPECT_EQ(takeLog(),
              (Lines{"-setwebproxystate " + usb + " on", "-setsecurewebproxystate " + usb + " off",
                     "-setsocksfirewallproxystate " + usb + " off",
                     "-setautoproxystate " + usb + " off", "-setproxyautodiscovery " + usb + " Off",
                     "-setproxybypassdomains " + usb + " Empty"}));
}

TEST_F(NetworksetupBackendTest, SwitchOffTouchesOnlyWhatPointsAtUs) {
    setService("Wi-Fi", {{"web", proxy(true, "127.0.0.1", 19998)},
                         {"secureWeb", proxy(true, "proxy.corp", 19998)},
                         {"socks", proxy(true, "localhost", 19999)},
                         {"autoProxyUrl", kPac},
                         {"autoProxyEnabled", true}});
    const ProxySettings ours = backend_.read("Wi-Fi");
    EXPECT_TRUE(backend_.pointsAt(ours, kOurs));
    takeLog();
    backend_.switchOffOurs(ours, kOurs);
    EXPECT_EQ(takeLog(), (Lines{"-setwebproxystate Wi-Fi off", "-setautoproxystate Wi-Fi off",
                                "-setsocksfirewallproxystate Wi-Fi off"}));

    // Loopback on another port, ours but switched off, a PAC file elsewhere: all the user's.
    setService("Wi-Fi", {{"web", proxy(true, "127.0.0.1", 8080)},
                         {"socks", proxy(false, "127.0.0.1", 19999)},
                         {"autoProxyUrl", "http://wpad.corp/proxy.pac"},
                         {"autoProxyEnabled", true}});
    const ProxySettings users = backend_.read("Wi-Fi");
    EXPECT_FALSE(backend_.pointsAt(users, kOurs));
    takeLog();
    backend_.switchOffOurs(users, kOurs);
    EXPECT_EQ(takeLog(), Lines{});
}

// A write that matters ends the sequence with CommandFailed; a best-effort one is passed over.
TEST_F(NetworksetupBackendTest, StopsAtAFailedWriteThatMattersAndIgnoresTheRest) {
    // The failing command, the call ('a'uto split, 'f'ull, 'r'estore), calls made, and thrown.
    const std::tuple<std::string, char, std::size_t, bool> cases[] = {
        {"-setautoproxystate", 'a', 2, true},      {"-setproxyautodiscovery", 'a', 6, false},
        {"-setsecurewebproxy", 'f', 5, true},      {"-setautoproxystate", 'f', 9, false},
        {"-setproxybypassdomains", 'f', 9, false},  // clearing the list
        {"-setsecurewebproxy", 'r', 10, false},    {"-setsecurewebproxystate", 'r', 4, true},
    };
    for (const auto& [failing, action, count, thrown] : cases) {
        SCOPED_TRACE(failing + " in " + action);
        setService("Wi-Fi", kUsers);
        const ProxySettings prior = backend_.read("Wi-Fi");
        takeLog();
        testing::ScopedEnv fail("NETWORKSETUP_FAIL", failing);
        bool commandFailed = false;
        try {
            if (action == 'a') backend_.applyAutoSplit("Wi-Fi", kPac);
            if (action == 'f') backend_.applyFull("Wi-Fi", {"127.0.0.1", 19998, 19999, {}});
            if (action == 'r') backend_.restore(prior);
        } catch (const ProxyError& error) {
            commandFailed = std::holds_alternative<ProxyError::CommandFailed>(error.reason());
        }
        EXPECT_EQ(commandFailed, thrown);
        const Lines calls = takeLog();
        ASSERT_EQ(calls.size(), count);
        if (thrown) {
            EXPECT_TRUE(calls.back().starts_with(failing + " ")) << calls.back();
        }
    }
}

}  // namespace
}  // namespace nimbra
