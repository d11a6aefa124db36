// The routing script run the way a browser runs it: FindProxyForURL evaluated by a real
// JavaScript engine, with the helper functions a PAC evaluator provides defined beforehand.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QJSEngine>
#include <QJSValue>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proxy/proxy_pac.hpp"

namespace nimbra::ProxyPAC {
namespace {

// The helpers as browsers commonly implement them (shExpMatch keeps brackets as character
// classes). isInNet looks names up in a made-up table instead of resolving them; whether it
// exists, and whether it throws, is up to the evaluator, so each test picks one of three.
constexpr const char* kPacHelpers = R"js(
function isPlainHostName(host) { return host.search(/[.:]/) === -1; }
function dnsDomainIs(host, domain) {
    return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}
function shExpMatch(str, pattern) {
    var re = pattern.replace(/\./g, "\\.").replace(/\*/g, ".*").replace(/\?/g, ".");
    return new RegExp("^" + re + "$").test(str);
}
var madeUpNames = { "nas.home.test": "192.168.1.20", "public.test": "203.0.113.9" };
function addressOf(ip) {
    var parts = /^(\d+)\.(\d+)\.(\d+)\.(\d+)$/.exec(ip);
    if (!parts) return null;
    var n = 0;
    for (var i = 1; i <= 4; i++) {
        if (+parts[i] > 255) return null;
        n = n * 256 + (+parts[i]);
    }
    return n;
}
function workingIsInNet(host, net, mask) {
    var a = addressOf(madeUpNames[host] || host);
    if (a === null) return false;
    var m = addressOf(mask);
    return a - (a % (4294967296 - m)) === addressOf(net);
}
)js";

enum class IsInNet { works, absent, throws };

QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "test_pac_script";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

// One evaluated script; calling it answers FindProxyForURL for a host.
class Evaluated {
public:
    Evaluated(const std::string& script, IsInNet isInNet) {
        std::string program = kPacHelpers;
        if (isInNet == IsInNet::works) program += "var isInNet = workingIsInNet;\n";
        if (isInNet == IsInNet::throws) program += "function isInNet() { throw new Error(); }\n";
        const QJSValue loaded = engine_.evaluate(QString::fromStdString(program + script));
        EXPECT_FALSE(loaded.isError()) << loaded.toString().toStdString();
        find_ = engine_.globalObject().property("FindProxyForURL");
        EXPECT_TRUE(find_.isCallable());
    }
    std::string operator()(const std::string& host) {
        const QString name = QString::fromStdString(host);
        const QJSValue verdict = find_.call({"http://" + name + "/", name});
        return (verdict.isError() ? "threw " : "") + verdict.toString().toStdString();
    }

private:
    QCoreApplication& application_ = application();  // before the engine, which needs it
    QJSEngine engine_;
    QJSValue find_;
};

// Our proxies on the ports the expected scripts name.
const std::string kProxy =
    "PROXY 127.0.0.1:8118; SOCKS5 127.0.0.1:1080; SOCKS 127.0.0.1:1080; DIRECT";

using Hosts = std::vector<std::string>;

Hosts operator+(Hosts a, const Hosts& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string script(SplitTunnelMode mode, const Hosts& bypass) {
    return generate(8118, "127.0.0.1", 1080, mode, bypass);
}

// The script as it must be served, byte for byte (no final newline), from this folder.
std::string expectedScript(const std::string& name) {
    std::ifstream file(std::string(NIMBRA_SOURCE_DIR) + "/tests/pac_script/" + name,
                       std::ios::binary);
    EXPECT_TRUE(file) << name;
    return {std::istreambuf_iterator<char>(file), {}};
}

void expectRouting(const std::string& pac, IsInNet isInNet, const Hosts& direct,
                   const Hosts& proxied) {
    Evaluated find(pac, isInNet);
    const int evaluator = static_cast<int>(isInNet);
    for (const auto& host : direct) EXPECT_EQ(find(host), "DIRECT") << host << " " << evaluator;
    for (const auto& host : proxied) EXPECT_EQ(find(host), kProxy) << host << " " << evaluator;
}

// Untrimmed, mixed case, empty, doubled, with quotes, backslashes and wide white space: the
// script must carry each entry normalised and escaped, and still match the host it names.
// clang-format off
const Hosts kBypass{" Intranet.Example.COM ", "", "build.lan\n", "Gist.GitHub.com",
                    "we\"ird.example", "back\\slash.example", "intranet.example.com",
                    "\xC2\xA0Wide.Example\xE2\x80\xA8\xE3\x80\x80"};
// Direct in both variants, whatever the evaluator offers: local names, loopback, private and
// link-local ranges at their edges, CGNAT, and the bypass entries with the hosts below them.
const Hosts kAlwaysDirect{
    "", "printer", "localhost", "LOCALHOST", "::1", "fe80::1", "127.0.0.1", "10.20.30.40",
    "192.168.1.1", "169.254.0.9", "172.16.0.1", "172.31.255.255", "100.64.0.1", "100.127.255.254",
    "intranet.example.com", "wiki.intranet.example.com", "BUILD.LAN", "ci.build.lan",
    "we\"ird.example", "a.back\\slash.example", "wide.example"};
// clang-format on

// Browsers and the system evaluate exactly what the relay serves: the private ranges and their
// masks, the curated list and the directive all count to the byte. The auto split script gets
// the controller's own inputs (no bypass).
TEST(PacScript, EachVariantIsExactlyTheExpectedScript) {
    EXPECT_EQ(script(SplitTunnelMode::full, kBypass), expectedScript("full.pac"));
    EXPECT_EQ(script(SplitTunnelMode::autoSplit, {}), expectedScript("auto_split.pac"));
}

constexpr IsInNet kEvaluators[] = {IsInNet::works, IsInNet::absent, IsInNet::throws};

TEST(PacScript, FullSendsEverythingNotLocalOrBypassedToTheProxies) {
    const std::string pac = script(SplitTunnelMode::full, kBypass);
    for (IsInNet isInNet : kEvaluators) {
        expectRouting(
            pac, isInNet, kAlwaysDirect,
            {"example.org", "WWW.Example.ORG", "github.com", "172.15.0.1", "172.32.0.1",
             "100.63.0.1", "100.128.0.1", "11.0.0.1", "2001:db8::1", "example.com",
             "otherintranet.example.com", "public.test", "weird.example", "backslash.example"});
    }
    // A name that resolves to a private address goes direct only where isInNet can tell.
    expectRouting(pac, IsInNet::works, {"nas.home.test"}, {});
    expectRouting(pac, IsInNet::absent, {}, {"nas.home.test"});
    expectRouting(pac, IsInNet::throws, {}, {"nas.home.test"});
}

// Which hosts auto split sends through the tunnel: services of every kind on the curated list and
// the hosts below them; everything else direct, look-alikes and the bypass (over the list) too.
TEST(PacScript, AutoSplitProxiesTheCuratedServicesAndNothingElse) {
    // clang-format off
    const Hosts proxied{
        "www.google.com", "fonts.gstatic.com", "youtube.com", "www.youtube.com", "i.ytimg.com",
        "youtu.be", "www.netflix.com", "chatgpt.com", "api.openai.com", "claude.ai",
        "huggingface.co", "github.com", "api.github.com", "CODELOAD.GitHub.com",
        "raw.githubusercontent.com", "pypi.org", "registry.npmjs.org", "x.com", "t.me",
        "www.reddit.com", "a.b.c.wikipedia.org", "stackoverflow.com", "www.notion.so",
        "app.slack.com", "www.dropbox.com", "wetransfer.com"};
    // clang-format on
    const Hosts direct =
        kAlwaysDirect +
        Hosts{"gist.github.com", "x.gist.github.com", "notgithub.com", "github.com.evil.example",
              "myyoutube.com",   "youtube.co",        "baidu.com",     "www.qq.com",
              "bilibili.com",    "example.org",       "public.test",   "nas.home.test"};
    const std::string pac = script(SplitTunnelMode::autoSplit, kBypass);
    for (IsInNet isInNet : kEvaluators) expectRouting(pac, isInNet, direct, proxied);
}

}  // namespace
}  // namespace nimbra::ProxyPAC
