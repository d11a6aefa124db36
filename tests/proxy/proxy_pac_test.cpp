#include "proxy/proxy_pac.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/subprocess.hpp"
#include "base/text.hpp"
#include "proxy/pac_domains.hpp"

namespace nimbra::ProxyPAC {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::string_view kEmDash = "\xE2\x80\x94";

// The relay on 18080, the engine's SOCKS5 on 40000, two hosts to bypass given messily.
constexpr int kHttpPort = 18080;
constexpr int kSocksPort = 40000;
const std::vector<std::string> kMessyBypass{" Intranet.Example.COM ", "", "build.lan\n",
                                            "intranet.example.com"};

constexpr std::string_view kDirective =
    "PROXY 127.0.0.1:18080; SOCKS5 127.0.0.1:40000; SOCKS 127.0.0.1:40000; DIRECT";

// Both functions after the head are the same in either variant.
constexpr std::string_view kExpectedTail = R"pac(function isLanOrPrivate(host) {
    if (!host || isPlainHostName(host) || host === "localhost") return true;
    if (host === "::1" || host.indexOf("fe80:") === 0) return true;
    if (shExpMatch(host, "127.*") ||
        shExpMatch(host, "10.*") ||
        shExpMatch(host, "192.168.*") ||
        shExpMatch(host, "169.254.*")) {
        return true;
    }
    // 172.16.0.0/12
    if (shExpMatch(host, "172.1[6-9].*") ||
        shExpMatch(host, "172.2[0-9].*") ||
        shExpMatch(host, "172.3[0-1].*")) {
        return true;
    }
    // 100.64.0.0/10 (CGNAT) — literal host only
    var cgnat = /^100\.(\d+)\./.exec(host);
    if (cgnat) {
        var second = parseInt(cgnat[1], 10);
        if (second >= 64 && second <= 127) return true;
    }
    try {
        if (typeof isInNet === "function") {
            if (isInNet(host, "10.0.0.0", "255.0.0.0")) return true;
            if (isInNet(host, "172.16.0.0", "255.240.0.0")) return true;
            if (isInNet(host, "192.168.0.0", "255.255.0.0")) return true;
            if (isInNet(host, "127.0.0.0", "255.0.0.0")) return true;
            if (isInNet(host, "169.254.0.0", "255.255.0.0")) return true;
            if (isInNet(host, "100.64.0.0", "255.192.0.0")) return true;
        }
    } catch (e) {}
    return false;
}
function hostMatchesList(host, list) {
    for (var i = 0; i < list.length; i++) {
        var d = list[i];
        if (!d) continue;
        if (host === d || dnsDomainIs(host, "." + d) || shExpMatch(host, "*." + d)) return true;
    }
    return false;
})pac";

const std::string kExpectedFull = R"pac(// Nimbra routing — full
function FindProxyForURL(url, host) {
    host = (host || "").toLowerCase();
    if (isLanOrPrivate(host)) return "DIRECT";
    if (hostMatchesList(host, ["build.lan", "intranet.example.com"])) return "DIRECT";
    return "PROXY 127.0.0.1:18080; SOCKS5 127.0.0.1:40000; SOCKS 127.0.0.1:40000; DIRECT";
}

)pac" + std::string(kExpectedTail);

const std::string kExpectedAutoSplit =
    R"pac(// Nimbra routing — auto split (curated proxy list)
function FindProxyForURL(url, host) {
    host = (host || "").toLowerCase();
    if (isLanOrPrivate(host)) return "DIRECT";
    if (hostMatchesList(host, ["build.lan", "intranet.example.com"])) return "DIRECT";
    if (hostMatchesList(host, ["google.com", "googleapis.com", "gstatic.com", "googleusercontent.com", "ggpht.com", "bing.com", "duckduckgo.com", "youtube.com", "googlevideo.com", "ytimg.com", "youtu.be", "netflix.com", "nflxvideo.net", "vimeo.com", "twitch.tv", "openai.com", "chatgpt.com", "oaistatic.com", "oaiusercontent.com", "anthropic.com", "claude.ai", "perplexity.ai", "mistral.ai", "huggingface.co", "hf.co", "github.com", "githubusercontent.com", "githubassets.com", "gitlab.com", "bitbucket.org", "npmjs.com", "npmjs.org", "pypi.org", "pythonhosted.org", "crates.io", "docker.com", "docker.io", "twitter.com", "x.com", "twimg.com", "facebook.com", "fbcdn.net", "instagram.com", "whatsapp.com", "whatsapp.net", "telegram.org", "t.me", "reddit.com", "discord.com", "wikipedia.org", "wikimedia.org", "nytimes.com", "bbc.com", "reuters.com", "medium.com", "stackoverflow.com", "notion.so", "evernote.com", "slack.com", "dropbox.com", "dropboxusercontent.com", "box.com", "mega.nz", "wetransfer.com"])) return "PROXY 127.0.0.1:18080; SOCKS5 127.0.0.1:40000; SOCKS 127.0.0.1:40000; DIRECT";
    return "DIRECT";
}

)pac" +
    std::string(kExpectedTail);

std::string fullScript(const std::vector<std::string>& bypass = kMessyBypass) {
    return generate(kHttpPort, "127.0.0.1", kSocksPort, SplitTunnelMode::full, bypass);
}
std::string autoSplitScript(const std::vector<std::string>& bypass = kMessyBypass) {
    return generate(kHttpPort, "127.0.0.1", kSocksPort, SplitTunnelMode::autoSplit, bypass);
}

std::vector<std::string> linesOf(std::string_view script) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end = script.find('\n'); end != std::string_view::npos;
         start = end + 1, end = script.find('\n', start)) {
        lines.emplace_back(script.substr(start, end - start));
    }
    lines.emplace_back(script.substr(start));
    return lines;
}

size_t count(std::string_view haystack, std::string_view needle) {
    size_t n = 0;
    for (size_t pos = haystack.find(needle); pos != std::string_view::npos;
         pos = haystack.find(needle, pos + needle.size())) {
        ++n;
    }
    return n;
}

// Reads back the JavaScript string array that follows `prefix` in the script, undoing the
// escapes. Fails the test (and returns what it has) if the literal is malformed.
std::vector<std::string> arrayAfter(std::string_view script, std::string_view prefix) {
    std::vector<std::string> entries;
    size_t pos = script.find(prefix);
    if (pos == std::string_view::npos) {
        ADD_FAILURE() << "no " << prefix << " in the script";
        return entries;
    }
    pos += prefix.size();
    if (pos >= script.size() || script[pos] != '[') {
        ADD_FAILURE() << "no array after " << prefix;
        return entries;
    }
    ++pos;
    while (pos < script.size() && script[pos] != ']') {
        if (script[pos] == ',' || script[pos] == ' ') {
            ++pos;
            continue;
        }
        if (script[pos] != '"') {
            ADD_FAILURE() << "unexpected character in array at " << pos;
            return entries;
        }
        std::string entry;
        for (++pos; pos < script.size() && script[pos] != '"'; ++pos) {
            if (script[pos] == '\\') ++pos;
            if (pos < script.size()) entry += script[pos];
        }
        ++pos;  // closing quote
        entries.push_back(std::move(entry));
    }
    return entries;
}

// Brackets of each kind balance and never close before they open, outside string literals and
// line comments. The one regular expression in the script holds no quote and balanced groups.
::testing::AssertionResult bracketsBalance(std::string_view script) {
    int braces = 0, parens = 0, squares = 0;
    for (size_t i = 0; i < script.size(); ++i) {
        const char c = script[i];
        if (c == '"') {
            for (++i; i < script.size() && script[i] != '"'; ++i) {
                if (script[i] == '\\') ++i;
                if (script[i] == '\n') return ::testing::AssertionFailure() << "string spans lines";
            }
            continue;
        }
        if (c == '/' && i + 1 < script.size() && script[i + 1] == '/') {
            i = std::min(script.find('\n', i), script.size());
            continue;
        }
        braces += c == '{' ? 1 : c == '}' ? -1 : 0;
        parens += c == '(' ? 1 : c == ')' ? -1 : 0;
        squares += c == '[' ? 1 : c == ']' ? -1 : 0;
        if (braces < 0 || parens < 0 || squares < 0) {
            return ::testing::AssertionFailure() << "closes before it opens at byte " << i;
        }
    }
    if (braces != 0 || parens != 0 || squares != 0) {
        return ::testing::AssertionFailure() << "unbalanced: braces " << braces << ", parens "
                                             << parens << ", brackets " << squares;
    }
    return ::testing::AssertionSuccess();
}

size_t codePoints(std::string_view utf8) {
    return static_cast<size_t>(std::count_if(utf8.begin(), utf8.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// ---- The whole script, byte for byte ----------------------------------------------------

TEST(ProxyPacScript, FullVariantIsByteExact) {
    EXPECT_EQ(fullScript(), kExpectedFull);
}

TEST(ProxyPacScript, AutoSplitVariantIsByteExact) {
    EXPECT_EQ(autoSplitScript(), kExpectedAutoSplit);
}

TEST(ProxyPacScript, EndsWithClosingBraceAndNoNewline) {
    for (const std::string& script : {fullScript(), autoSplitScript()}) {
        ASSERT_FALSE(script.empty());
        EXPECT_EQ(script.back(), '}');
        EXPECT_TRUE(script.ends_with("    return false;\n}"));
    }
    // The expectations themselves must not carry a newline the generator would then be held to.
    EXPECT_FALSE(kExpectedFull.ends_with('\n'));
    EXPECT_FALSE(kExpectedAutoSplit.ends_with('\n'));
}

TEST(ProxyPacScript, EmDashesAreUtf8AndCountThreeBytesEach) {
    for (const std::string& script : {fullScript(), autoSplitScript()}) {
        EXPECT_EQ(count(script, kEmDash), 2u);
        EXPECT_TRUE(script.starts_with("// Nimbra routing \xE2\x80\x94 "));
        EXPECT_NE(script.find("(CGNAT) \xE2\x80\x94 literal host only\n"), std::string::npos);
        // What the relay puts in Content-Length exceeds the character count by 2 * 2 bytes.
        EXPECT_TRUE(text::isValidUtf8(script));
        EXPECT_EQ(script.size(), codePoints(script) + 4);
    }
    // The same holds for the literal expectations, so a source file saved in another encoding
    // cannot make both sides agree on the wrong bytes.
    EXPECT_EQ(count(kExpectedFull, kEmDash), 2u);
    EXPECT_EQ(count(kExpectedAutoSplit, kEmDash), 2u);
}

TEST(ProxyPacScript, LayoutIsFourSpaceIndentedLfOnlyWithOneEmptyLineAfterTheHead) {
    for (const std::string& script : {fullScript(), autoSplitScript()}) {
        EXPECT_EQ(script.find('\t'), std::string::npos);
        EXPECT_EQ(script.find('\r'), std::string::npos);
        const auto lines = linesOf(script);
        size_t empty = 0;
        for (const std::string& line : lines) {
            const size_t indent = line.find_first_not_of(' ');
            if (indent == std::string::npos) {
                EXPECT_TRUE(line.empty()) << "white space only line";
                ++empty;
                continue;
            }
            EXPECT_EQ(indent % 4, 0u) << line;
            EXPECT_FALSE(line.ends_with(' ')) << line;
        }
        EXPECT_EQ(empty, 1u);
        // The empty line sits right before isLanOrPrivate.
        EXPECT_NE(script.find("}\n\nfunction isLanOrPrivate(host) {\n"), std::string::npos);
        EXPECT_NE(script.find("\n}\nfunction hostMatchesList(host, list) {\n"), std::string::npos);
    }
}

TEST(ProxyPacScript, IsStructurallySoundJavaScript) {
    for (const std::string& script : {fullScript(), autoSplitScript(), fullScript({}),
                                      autoSplitScript({"we\"ird\\host", "a(b", "c}d"})}) {
        EXPECT_TRUE(bracketsBalance(script)) << script;
        EXPECT_EQ(count(script, "function FindProxyForURL(url, host) {\n"), 1u);
        EXPECT_EQ(count(script, "function isLanOrPrivate(host) {\n"), 1u);
        EXPECT_EQ(count(script, "function hostMatchesList(host, list) {\n"), 1u);
        EXPECT_EQ(count(script, "function "), 3u);
    }
}

// ---- Variants and inserted values ----------------------------------------------------------

TEST(ProxyPacScript, SplitModePicksTheVariant) {
    const std::string full = fullScript();
    const std::string autoSplit = autoSplitScript();
    EXPECT_TRUE(full.starts_with("// Nimbra routing \xE2\x80\x94 full\n"));
    EXPECT_TRUE(
        autoSplit.starts_with("// Nimbra routing \xE2\x80\x94 auto split (curated proxy list)\n"));
    // Full sends everything left to the proxies; auto split only the curated list.
    EXPECT_NE(full.find("    return \"" + std::string(kDirective) + "\";\n}\n"), std::string::npos);
    EXPECT_EQ(full.find("google.com"), std::string::npos);
    EXPECT_NE(autoSplit.find("    return \"DIRECT\";\n}\n"), std::string::npos);
    EXPECT_EQ(count(autoSplit, kDirective), 1u);
    EXPECT_EQ(count(full, kDirective), 1u);
}

TEST(ProxyPacScript, EmptyBypassListIsAnEmptyArray) {
    for (const std::string& script : {fullScript({}), autoSplitScript({})}) {
        EXPECT_EQ(linesOf(script).at(4), "    if (hostMatchesList(host, [])) return \"DIRECT\";");
    }
    // Entries that normalise to nothing leave the array empty too.
    EXPECT_EQ(linesOf(fullScript({"", "  ", "\n"})).at(4),
              "    if (hostMatchesList(host, [])) return \"DIRECT\";");
}

TEST(ProxyPacScript, BypassListIsEmbeddedNormalisedAndEscaped) {
    const std::string script = fullScript({"Zeta.example", " alpha.example ", "q\"uote", "back\\"});
    EXPECT_EQ(
        linesOf(script).at(4),
        R"(    if (hostMatchesList(host, ["alpha.example", "back\\", "q\"uote", "zeta.example"])) return "DIRECT";)");
    EXPECT_THAT(arrayAfter(script,
                           "if (isLanOrPrivate(host)) return \"DIRECT\";\n"
                           "    if (hostMatchesList(host, "),
                ElementsAre("alpha.example", "back\\", "q\"uote", "zeta.example"));
}

TEST(ProxyPacScript, CuratedListIsEmbeddedInStoredOrder) {
    const std::string script = autoSplitScript({});
    const auto embedded = arrayAfter(script,
                                     "return \"DIRECT\";\n    if (hostMatchesList(host, []))"
                                     " return \"DIRECT\";\n    if (hostMatchesList(host, ");
    const auto curated = curatedProxyList();
    EXPECT_EQ(embedded, std::vector<std::string>(curated.begin(), curated.end()));
}

TEST(ProxyPacScript, DirectiveUsesTheGivenHostAndPorts) {
    EXPECT_EQ(proxyDirective("127.0.0.1", 18080, 40000), kDirective);
    EXPECT_EQ(proxyDirective("192.0.2.7", 1, 65535),
              "PROXY 192.0.2.7:1; SOCKS5 192.0.2.7:65535; SOCKS 192.0.2.7:65535; DIRECT");
    const std::string script =
        generate(8118, "10.9.8.7", 1080, SplitTunnelMode::full, std::vector<std::string>{});
    EXPECT_NE(script.find("    return \"PROXY 10.9.8.7:8118; SOCKS5 10.9.8.7:1080; SOCKS "
                          "10.9.8.7:1080; DIRECT\";\n"),
              std::string::npos);
    EXPECT_EQ(script.find("127.0.0.1:"), std::string::npos);
}

TEST(ProxyPacScript, SameInputsGiveTheSameScript) {
    EXPECT_EQ(fullScript(), fullScript());
    EXPECT_EQ(autoSplitScript(), autoSplitScript());
    // Bypass entries differing only in order, case and padding give the same script.
    EXPECT_EQ(fullScript({"b.example", "A.example"}), fullScript({" a.EXAMPLE", "b.example\t"}));
}

// ---- normalizedHosts --------------------------------------------------------------------

TEST(NormalizedHosts, TrimsLowerCasesDropsEmptiesAndDuplicatesAndSorts) {
    EXPECT_THAT(normalizedHosts({" Beta ", "beta", "", "alpha"}), ElementsAre("alpha", "beta"));
    EXPECT_THAT(normalizedHosts({"c.example", "B.example", "a.example"}),
                ElementsAre("a.example", "b.example", "c.example"));
    EXPECT_THAT(normalizedHosts({"Foo.COM", "foo.com ", "\tFOO.com\n"}), ElementsAre("foo.com"));
    EXPECT_THAT(normalizedHosts({}), IsEmpty());
    EXPECT_THAT(normalizedHosts({"", " ", "\t\r\n", "\v\f"}), IsEmpty());
}

TEST(NormalizedHosts, TrimsOnlyTheEnds) {
    EXPECT_THAT(normalizedHosts({"\r\n  Host.Example \t\r\n"}), ElementsAre("host.example"));
    EXPECT_THAT(normalizedHosts({" a b "}), ElementsAre("a b"));
    EXPECT_THAT(normalizedHosts({"  \xC2\xA0Wide.Example\xE2\x80\xA8\xE3\x80\x80 \xC2\x85"}),
                ElementsAre("wide.example"));
    // A non-breaking space inside a name is not trimmed; neither are other non-ASCII letters.
    EXPECT_THAT(normalizedHosts({"a\xC2\xA0"
                                 "b",
                                 "\xC3\xA9t\xC3\xA9.example"}),
                ElementsAre("a\xC2\xA0"
                            "b",
                            "\xC3\xA9t\xC3\xA9.example"));
}

TEST(NormalizedHosts, SortsByByteValue) {
    EXPECT_THAT(normalizedHosts({"b", "a.b", "a", "a-b", "1.example", "Z"}),
                ElementsAre("1.example", "a", "a-b", "a.b", "b", "z"));
}

// ---- jsStringArray ------------------------------------------------------------------------

TEST(JsStringArray, QuotesAndJoinsWithCommaSpace) {
    EXPECT_EQ(jsStringArray({}), "[]");
    EXPECT_EQ(jsStringArray({"a"}), R"(["a"])");
    EXPECT_EQ(jsStringArray({"a", "b"}), R"(["a", "b"])");
    EXPECT_EQ(jsStringArray({""}), R"([""])");
    EXPECT_EQ(jsStringArray({"b", "a", "b"}), R"(["b", "a", "b"])") << "no sorting, no dedup";
    EXPECT_EQ(jsStringArray({"Mixed.Case "}), R"(["Mixed.Case "])") << "no normalisation";
}

TEST(JsStringArray, EscapesBackslashesThenQuotes) {
    EXPECT_EQ(jsStringArray({"say \"hi\""}), R"(["say \"hi\""])");
    EXPECT_EQ(jsStringArray({"C:\\dir"}), R"(["C:\\dir"])");
    EXPECT_EQ(jsStringArray({"\\"}), R"(["\\"])");
    // A backslash followed by a quote: the backslash is doubled and the quote gets its own one,
    // never a backslash added for the quote doubled again.
    EXPECT_EQ(jsStringArray({"\\\""}), R"(["\\\""])");
    EXPECT_EQ(jsStringArray({"\"\\"}), R"(["\"\\"])");
    EXPECT_EQ(jsStringArray({"\\\\", "\"\""}), R"(["\\\\", "\"\""])");
}

TEST(JsStringArray, LeavesEverythingElseAlone) {
    EXPECT_EQ(jsStringArray({"it's", "tab\there", "\xC3\xA9t\xC3\xA9"}),
              "[\"it's\", \"tab\there\", \"\xC3\xA9t\xC3\xA9\"]");
}

// ---- The curated list -------------------------------------------------------------------

bool isBareDomainName(std::string_view name) {
    if (name.empty() || name.size() > 253 || name.find('.') == std::string_view::npos) {
        return false;
    }
    size_t start = 0;
    for (;;) {
        const size_t dot = name.find('.', start);
        const std::string_view label = name.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-') {
            return false;
        }
        for (const char c : label) {
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
        }
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

TEST(CuratedProxyList, HasSixtyFourUniqueBareLowerCaseNames) {
    const auto curated = curatedProxyList();
    ASSERT_EQ(curated.size(), 64u);
    std::set<std::string_view> seen;
    for (const std::string_view name : curated) {
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        EXPECT_TRUE(isBareDomainName(name)) << name;
        EXPECT_EQ(text::toLowerAscii(name), name);
        EXPECT_FALSE(name.starts_with("www.")) << name;
        EXPECT_EQ(name.find('*'), std::string_view::npos) << name;
    }
    // Already normal form: normalising changes nothing but the order.
    EXPECT_EQ(normalizedHosts(std::vector<std::string>(curated.begin(), curated.end())).size(),
              64u);
}

TEST(CuratedProxyList, NoEntryIsAlreadyCoveredByAnother) {
    // An entry below another one would be dead weight: the parent already matches it.
    const auto curated = curatedProxyList();
    for (const std::string_view name : curated) {
        for (const std::string_view parent : curated) {
            EXPECT_FALSE(name.size() > parent.size() && name.ends_with(parent) &&
                         name[name.size() - parent.size() - 1] == '.')
                << name << " is under " << parent;
        }
    }
}

// ---- Evaluating the script --------------------------------------------------------------
//
// When node is installed the script runs for real, with the helper functions a PAC evaluator
// provides. shExpMatch follows the common browser implementation (dots literal, * and ?
// wildcards, brackets kept as character classes). isInNet "resolves" a few made-up names to
// stand for a DNS lookup, and can be left out or made to throw.

constexpr std::string_view kPacRuntime = R"js(
function isPlainHostName(host) { return host.indexOf(".") < 0; }
function dnsDomainIs(host, domain) {
    return host.length >= domain.length && host.substring(host.length - domain.length) === domain;
}
function shExpMatch(str, pattern) {
    var re = "^" + pattern.replace(/\./g, "\\.").replace(/\*/g, ".*").replace(/\?/g, ".") + "$";
    return new RegExp(re).test(str);
}
var fakeDns = { "nas.home.test": "192.168.1.20", "public.test": "203.0.113.9" };
function toNumber(ip) {
    var p = ip.split(".");
    if (p.length !== 4) return null;
    var n = 0;
    for (var i = 0; i < 4; i++) {
        if (!/^\d+$/.test(p[i]) || +p[i] > 255) return null;
        n = n * 256 + (+p[i]);
    }
    return n;
}
function realIsInNet(host, net, mask) {
    var a = toNumber(fakeDns[host] || host);
    if (a === null) return false;
    var m = toNumber(mask);
    return (a - (a % (4294967296 - m))) === toNumber(net);
}
)js";

struct Verdicts {
    bool ran = false;
    std::vector<std::string> lines;
};

// isInNetMode: "present", "absent" or "throws".
Verdicts evaluate(const std::string& script, const std::vector<std::string>& hosts,
                  std::string_view isInNetMode) {
    std::string program(kPacRuntime);
    if (isInNetMode == "present") program += "var isInNet = realIsInNet;\n";
    if (isInNetMode == "throws") program += "var isInNet = function () { throw new Error(); };\n";
    program += script;
    program += "\n";
    program += "var hosts = " + jsStringArray(hosts) + ";\n";
    program +=
        "hosts.forEach(function (h) { console.log(FindProxyForURL('http://' + h + '/', h)); "
        "});\n";

    Verdicts verdicts;
    Subprocess::RunResult result;
    try {
        Subprocess::Options options;
        options.argv = {"node", "-e", program};
        result = Subprocess::run(std::move(options), std::chrono::seconds(20));
    } catch (const SubprocessError&) {
        return verdicts;  // no JavaScript engine here
    }
    verdicts.ran = true;
    EXPECT_TRUE(result.status.succeeded()) << result.err;
    verdicts.lines = text::splitLines(result.out);
    return verdicts;
}

const std::string kProxy(kDirective);
const std::string kDirect = "DIRECT";

struct Case {
    std::string host;
    std::string expected;
};

void expectVerdicts(const std::string& script, const std::vector<Case>& cases,
                    std::string_view isInNetMode) {
    std::vector<std::string> hosts;
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        hosts.push_back(c.host);
        expected.push_back(c.expected);
    }
    const Verdicts verdicts = evaluate(script, hosts, isInNetMode);
    if (!verdicts.ran) GTEST_SKIP() << "node is not installed";
    ASSERT_EQ(verdicts.lines.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(verdicts.lines[i], cases[i].expected)
            << "host \"" << cases[i].host << "\" with isInNet " << isInNetMode;
    }
}

// Hosts that go direct in both variants whatever the evaluator offers.
const std::vector<Case> kLocalHosts{
    {"", kDirect},
    {"printer", kDirect},
    {"localhost", kDirect},
    {"LOCALHOST", kDirect},
    {"::1", kDirect},
    {"fe80::1", kDirect},
    {"127.0.0.1", kDirect},
    {"10.20.30.40", kDirect},
    {"192.168.1.1", kDirect},
    {"169.254.0.9", kDirect},
    {"172.16.0.1", kDirect},
    {"172.24.5.5", kDirect},
    {"172.31.255.255", kDirect},
    {"100.64.0.1", kDirect},
    {"100.127.255.254", kDirect},
    {"intranet.example.com", kDirect},
    {"wiki.intranet.example.com", kDirect},
    {"BUILD.LAN", kDirect},
    {"ci.build.lan", kDirect},
};

TEST(ProxyPacEvaluation, FullVariantProxiesEverythingNotLocalOrBypassed) {
    std::vector<Case> cases = kLocalHosts;
    cases.insert(cases.end(), {
                                  {"example.org", kProxy},
                                  {"WWW.Example.ORG", kProxy},
                                  {"172.15.0.1", kProxy},
                                  {"172.32.0.1", kProxy},
                                  {"100.63.0.1", kProxy},
                                  {"100.128.0.1", kProxy},
                                  {"11.0.0.1", kProxy},
                                  {"example.com", kProxy},
                                  {"otherintranet.example.com", kProxy},
                                  {"public.test", kProxy},
                              });
    for (const std::string_view mode : {"present", "absent", "throws"}) {
        expectVerdicts(fullScript(), cases, mode);
    }
    // A name the evaluator resolves to a private address goes direct only where isInNet exists.
    expectVerdicts(fullScript(), {{"nas.home.test", kDirect}}, "present");
    expectVerdicts(fullScript(), {{"nas.home.test", kProxy}}, "absent");
    expectVerdicts(fullScript(), {{"nas.home.test", kProxy}}, "throws");
}

TEST(ProxyPacEvaluation, AutoSplitProxiesOnlyTheCuratedList) {
    std::vector<Case> cases = kLocalHosts;
    cases.insert(cases.end(), {
                                  {"github.com", kProxy},
                                  {"api.github.com", kProxy},
                                  {"CODELOAD.GitHub.com", kProxy},
                                  {"a.b.c.wikipedia.org", kProxy},
                                  {"t.me", kProxy},
                                  {"notgithub.com", kDirect},
                                  {"github.com.evil.example", kDirect},
                                  {"example.org", kDirect},
                                  {"public.test", kDirect},
                                  {"nas.home.test", kDirect},
                              });
    for (const std::string_view mode : {"present", "absent"}) {
        expectVerdicts(autoSplitScript(), cases, mode);
    }
}

TEST(ProxyPacEvaluation, BypassWinsOverTheCuratedList) {
    const std::string script = autoSplitScript({"Gist.GitHub.com"});
    expectVerdicts(script,
                   {{"gist.github.com", kDirect},
                    {"x.gist.github.com", kDirect},
                    {"api.github.com", kProxy},
                    {"github.com", kProxy}},
                   "absent");
}

TEST(ProxyPacEvaluation, EscapedBypassEntriesStayValidJavaScript) {
    const std::string script = fullScript({"we\"ird.example", "back\\slash.example"});
    expectVerdicts(script,
                   {{"we\"ird.example", kDirect},
                    {"a.back\\slash.example", kDirect},
                    {"weird.example", kProxy},
                    {"backslash.example", kProxy}},
                   "absent");
}

}  // namespace
}  // namespace nimbra::ProxyPAC
