#include "proxy/system_proxy/gnome_backend.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "base/text.hpp"
#include "proxy/system_proxy/settings_tool.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kRootSchema = "org.gnome.system.proxy";

// What a key holds, so that what gsettings printed can be told apart from an error message.
enum class Kind { string, stringList, integer, boolean };

struct Key {
    std::string_view name;   // our name, the key in ProxySettings::values
    std::string_view child;  // "" for org.gnome.system.proxy, else its child schema
    std::string_view key;    // the GSettings key
    Kind kind;
};

// Every key we read, write and restore. "mode" comes last: restore walks this order, so clients
// never see manual mode while the hosts are still half the old ones.
constexpr std::array kKeys{
    Key{"autoconfig-url", "", "autoconfig-url", Kind::string},
    Key{"ignore-hosts", "", "ignore-hosts", Kind::stringList},
    Key{"use-same-proxy", "", "use-same-proxy", Kind::boolean},
    Key{"http.host", "http", "host", Kind::string},
    Key{"http.port", "http", "port", Kind::integer},
    Key{"https.host", "https", "host", Kind::string},
    Key{"https.port", "https", "port", Kind::integer},
    Key{"socks.host", "socks", "host", Kind::string},
    Key{"socks.port", "socks", "port", Kind::integer},
    Key{"mode", "", "mode", Kind::string},
};

constexpr std::array<std::string_view, 3> kProxyKinds{"http", "https", "socks"};

const Key* findKey(std::string_view name) {
    for (const Key& key : kKeys) {
        if (key.name == name) return &key;
    }
    return nullptr;
}

std::string schemaOf(const Key& key) {
    std::string schema(kRootSchema);
    if (!key.child.empty()) schema.append(".").append(key.child);
    return schema;
}

void appendUtf8(std::string& out, std::uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

std::optional<std::uint32_t> hexDigits(std::string_view digits) {
    std::uint32_t value = 0;
    for (char c : digits) {
        std::uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<std::uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * 16 + digit;
    }
    return value;
}

// One GVariant string literal starting at text[pos] ('...' or "..."), decoded; `pos` moves past
// its closing quote. The escapes are the ones g_variant_print writes and the parser reads.
std::optional<std::string> parseStringLiteral(std::string_view text, std::size_t& pos) {
    if (pos >= text.size() || (text[pos] != '\'' && text[pos] != '"')) return std::nullopt;
    const char quote = text[pos++];
    std::string out;
    while (pos < text.size()) {
        const char c = text[pos++];
        if (c == quote) return out;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (pos >= text.size()) return std::nullopt;
        const char escaped = text[pos++];
        switch (escaped) {
            case 'a':
                out += '\a';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'v':
                out += '\v';
                break;
            case 'u':
            case 'U': {
                const std::size_t length = escaped == 'u' ? 4 : 8;
                if (text.size() - pos < length) return std::nullopt;
                const auto codePoint = hexDigits(text.substr(pos, length));
                if (!codePoint || *codePoint > 0x10FFFF) return std::nullopt;
                appendUtf8(out, *codePoint);
                pos += length;
                break;
            }
            default:
                out += escaped;
                break;  // \\, \', \" and anything else stand for themselves
        }
    }
    return std::nullopt;
}

std::optional<std::string> decodeString(std::string_view text) {
    std::size_t pos = 0;
    auto decoded = parseStringLiteral(text, pos);
    if (!decoded || pos != text.size()) return std::nullopt;
    return decoded;
}

std::optional<std::vector<std::string>> decodeStringList(std::string_view text) {
    if (text == "@as []" || text == "[]") return std::vector<std::string>{};
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') return std::nullopt;
    std::vector<std::string> items;
    std::size_t pos = 1;
    while (true) {
        auto item = parseStringLiteral(text, pos);
        if (!item) return std::nullopt;
        items.push_back(std::move(*item));
        if (text.substr(pos) == "]") return items;
        if (text.substr(pos, 2) != ", ") return std::nullopt;
        pos += 2;
    }
}

bool isInteger(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Whether `text` is a value of `kind` as gsettings prints it. gsettings prints its complaints
// ("No such schema ...", GLib warnings) to the same joined output, and those must never end up
// in a snapshot that restore would write back.
bool isPrinted(Kind kind, std::string_view text) {
    switch (kind) {
        case Kind::string:
            return decodeString(text).has_value();
        case Kind::stringList:
            return decodeStringList(text).has_value();
        case Kind::integer:
            return isInteger(text);
        case Kind::boolean:
            return text == "true" || text == "false";
    }
    return false;
}

// The string held by `key` in `settings`, unquoted; "" when absent or not a string.
std::string stringValue(const ProxySettings& settings, const std::string& key) {
    return decodeString(settings.value(key)).value_or("");
}

std::string gvariantList(const std::vector<std::string>& items) {
    if (items.empty()) return "@as []";
    std::string out = "[";
    for (const std::string& item : items) {
        if (out.size() > 1) out += ", ";
        out += GnomeProxyBackend::quoted(item);
    }
    return out + "]";
}

std::string hostAndPort(const std::string& host, const std::string& port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + port;
}

}  // namespace

std::string GnomeProxyBackend::quoted(std::string_view text) {
    std::string out = "'";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\'' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(byte));
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::vector<std::string> GnomeProxyBackend::ignoreHostsFor(
    const std::vector<std::string>& bypassDomains) {
    std::vector<std::string> hosts;
    for (const std::string& entry : bypassDomains) {
        const std::string host(text::trim(entry));
        // "<local>" (every host name without a dot) has no ignore-hosts form: GNOME matches names,
        // "*.domain" wildcards and address ranges only. "localhost" and the loopback and private
        // ranges beside it in the list cover what users reach by a plain name most of the time.
        if (host.empty() || host == "<local>") continue;
        if (std::find(hosts.begin(), hosts.end(), host) != hosts.end()) continue;
        hosts.push_back(host);
    }
    return hosts;
}

ProxySettings GnomeProxyBackend::read(const std::string& scope) {
    ProxySettings settings;
    settings.backend = name();
    settings.scope = scope;
    for (const Key& key : kKeys) {
        auto printed =
            settings_tool::read({tools_.gsettings, "get", schemaOf(key), std::string(key.key)});
        if (!printed) continue;
        const std::string value(text::trim(*printed));
        if (isPrinted(key.kind, value)) settings.values.emplace(key.name, value);
    }
    return settings;
}

void GnomeProxyBackend::applyAutoSplit(const std::string&, const std::string& pacUrl) {
    // The address first: a client that sees 'auto' must never fetch a stale script.
    set("autoconfig-url", quoted(pacUrl));
    set("mode", quoted("auto"));
}

void GnomeProxyBackend::applyFull(const std::string&, const FullProxyRequest& request) {
    const std::string host = quoted(request.host);
    const std::string httpPort = std::to_string(request.httpPort);
    set("http.host", host);
    set("http.port", httpPort);
    set("https.host", host);
    set("https.port", httpPort);
    set("socks.host", host);
    set("socks.port", std::to_string(request.socksPort));
    set("use-same-proxy", "false");
    set("ignore-hosts", gvariantList(ignoreHostsFor(request.bypassDomains)));
    set("mode", quoted("manual"));
}

void GnomeProxyBackend::restore(const ProxySettings& prior) {
    // kKeys order, so the mode goes back last. Keys we do not know (a journal edited by hand)
    // are not handed to gsettings; keys missing from `prior` were never read and stay as they are.
    // The first refused write throws: the caller keeps its journal and tries the whole lot later.
    for (const Key& key : kKeys) {
        auto found = prior.values.find(std::string(key.name));
        if (found != prior.values.end()) set(found->first, found->second);
    }
}

bool GnomeProxyBackend::pointsAt(const ProxySettings& current, const LocalEndpoints& ours) const {
    const std::string mode = stringValue(current, "mode");
    if (mode == "auto") return ours.isOurPacAddress(stringValue(current, "autoconfig-url"));
    if (mode != "manual") return false;
    for (std::string_view kind : kProxyKinds) {
        const std::string prefix(kind);
        if (ours.isOurServer(stringValue(current, prefix + ".host"),
                             current.value(prefix + ".port"))) {
            return true;
        }
    }
    return false;
}

void GnomeProxyBackend::switchOffOurs(const ProxySettings& current, const LocalEndpoints& ours) {
    // One mode governs every kind, so 'none' is the only switch, and hosts and ports stay as
    // they are (inert under 'none').
    const std::string mode = stringValue(current, "mode");
    bool switchOff = false;
    if (mode == "auto") {
        switchOff = ours.isOurPacAddress(stringValue(current, "autoconfig-url"));
    } else if (mode == "manual") {
        bool oursSeen = false;
        bool usersOwn = false;
        for (std::string_view kind : kProxyKinds) {
            const std::string prefix(kind);
            const std::string host = stringValue(current, prefix + ".host");
            if (host.empty()) continue;  // GNOME leaves a kind without a host unproxied
            (ours.isOurServer(host, current.value(prefix + ".port")) ? oursSeen : usersOwn) = true;
        }
        // A manual configuration that mixes the user's own proxy with ours stays as it is:
        // turning the mode off would switch off the user's proxy too, and without a snapshot we
        // have nothing to put in its place. pointsAt keeps reporting it, so the caller can say so.
        switchOff = oursSeen && !usersOwn;
    }
    if (switchOff) set("mode", quoted("none"));
}

std::vector<std::string> GnomeProxyBackend::describe(const ProxySettings& current) const {
    const auto shown = [&](const std::string& key) {
        const std::string& raw = current.values.at(key);
        return decodeString(raw).value_or(raw);
    };
    std::vector<std::string> lines;
    if (current.values.contains("mode")) lines.push_back("mode: " + shown("mode"));
    if (!stringValue(current, "autoconfig-url").empty()) {
        lines.push_back("autoconfig-url: " + shown("autoconfig-url"));
    }
    for (std::string_view kind : kProxyKinds) {
        const std::string prefix(kind);
        const std::string host = stringValue(current, prefix + ".host");
        if (!host.empty()) {
            lines.push_back(prefix + ": " + hostAndPort(host, current.value(prefix + ".port")));
        }
    }
    if (current.values.contains("use-same-proxy")) {
        lines.push_back("use-same-proxy: " + current.value("use-same-proxy"));
    }
    if (current.values.contains("ignore-hosts")) {
        const std::string raw = current.value("ignore-hosts");
        std::string joined;
        if (auto hosts = decodeStringList(raw)) {
            for (const std::string& host : *hosts) joined += (joined.empty() ? "" : ", ") + host;
        } else {
            joined = raw;
        }
        if (!joined.empty()) lines.push_back("ignore-hosts: " + joined);
    }
    return lines;
}

void GnomeProxyBackend::set(const std::string& ourKey, const std::string& value) {
    const Key* key = findKey(ourKey);
    settings_tool::write({tools_.gsettings, "set", schemaOf(*key), std::string(key->key), value});
}

}  // namespace nimbra
