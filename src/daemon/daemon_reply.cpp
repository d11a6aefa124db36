#include "daemon/daemon_reply.hpp"

#include <limits>
#include <nlohmann/json.hpp>

namespace nimbra::DaemonClient {
namespace {

using nlohmann::json;

std::string describeValue(const json& value) {
    switch (value.type()) {
        case json::value_t::null:
            return "null";
        case json::value_t::boolean:
            return "a boolean";
        case json::value_t::string:
            return "a string";
        case json::value_t::array:
            return "an array";
        case json::value_t::object:
            return "an object";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float:
            return "the number " + value.dump();
        default:
            return "a value of another kind";
    }
}

[[noreturn]] void wrongType(const std::string& key, std::string_view expected, const json& found) {
    throw ReplyDecodeError("daemon reply: key \"" + key + "\" should be " + std::string(expected) +
                           ", found " + describeValue(found));
}

bool asBool(const json& value, const std::string& key) {
    if (!value.is_boolean()) wrongType(key, "a boolean", value);
    return value.get<bool>();
}

std::string asString(const json& value, const std::string& key) {
    if (!value.is_string()) wrongType(key, "a string", value);
    return value.get<std::string>();
}

// The parser keeps non-negative integers as unsigned and negative ones as signed, and turns
// anything beyond 64 bits into a floating-point number, so both ranges are checked exactly.
std::int64_t asInt64(const json& value, const std::string& key) {
    constexpr std::string_view expected = "a signed 64-bit integer";
    if (value.is_number_unsigned()) {
        const auto n = value.get<std::uint64_t>();
        if (n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            wrongType(key, expected, value);
        }
        return static_cast<std::int64_t>(n);
    }
    if (!value.is_number_integer()) wrongType(key, expected, value);
    return value.get<std::int64_t>();
}

std::uint64_t asUInt64(const json& value, const std::string& key) {
    if (!value.is_number_unsigned()) wrongType(key, "an unsigned 64-bit integer", value);
    return value.get<std::uint64_t>();
}

// The members of one JSON object, under the dotted path that names them in error texts.
class Members {
public:
    Members(const json& value, std::string path) : object_(value), path_(std::move(path)) {
        if (object_.is_object()) return;
        if (path_.empty()) {
            throw ReplyDecodeError("daemon reply should be a JSON object, found " +
                                   describeValue(value));
        }
        wrongType(path_, "an object", value);
    }

    std::string keyPath(std::string_view key) const {
        return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
    }

    // The value of an optional key; missing and null both count as absent.
    template <typename Convert>
    auto optional(std::string_view key, Convert convert) const
        -> std::optional<decltype(convert(std::declval<const json&>(), std::string()))> {
        const auto found = object_.find(key);
        if (found == object_.end() || found->is_null()) return std::nullopt;
        return convert(*found, keyPath(key));
    }

    template <typename Convert>
    auto required(std::string_view key, Convert convert) const {
        const auto found = object_.find(key);
        if (found == object_.end()) {
            throw ReplyDecodeError("daemon reply: required key \"" + keyPath(key) +
                                   "\" is missing");
        }
        return convert(*found, keyPath(key));
    }

private:
    const json& object_;
    std::string path_;
};

template <typename Convert>
auto asList(Convert convert) {
    return [convert](const json& value, const std::string& key) {
        if (!value.is_array()) wrongType(key, "an array", value);
        std::vector<decltype(convert(value, key))> items;
        items.reserve(value.size());
        for (std::size_t i = 0; i < value.size(); ++i) {
            items.push_back(convert(value[i], key + "[" + std::to_string(i) + "]"));
        }
        return items;
    };
}

Status asStatus(const json& value, const std::string& key) {
    const Members m(value, key);
    Status s;
    s.ok = m.optional("ok", asBool);
    s.tunnelOn = m.optional("tunnel_on", asBool);
    s.connected = m.optional("connected", asBool);
    s.tunIface = m.optional("tun_iface", asString);
    s.tunErr = m.optional("tun_err", asString);
    s.dnsMode = m.optional("dns_mode", asString);
    s.dnsUpstream = m.optional("dns_upstream", asString);
    s.dnsRunning = m.optional("dns_running", asBool);
    s.dnsErr = m.optional("dns_err", asString);
    s.listen = m.optional("listen", asString);
    s.excludes = m.optional("excludes", asList(asString));
    s.uptimeSec = m.optional("uptime_sec", asInt64);
    s.routeGen = m.optional("route_gen", asUInt64);
    s.version = m.optional("version", asString);
    s.chinaSource = m.optional("china_source", asString);
    s.appDefault = m.optional("app_default", asString);
    s.appErr = m.optional("app_err", asString);
    return s;
}

ExitProbe asExitProbe(const json& value, const std::string& key) {
    const Members m(value, key);
    return ExitProbe{m.required("id", asString), m.required("label", asString),
                     m.required("rtt_ms", asInt64)};
}

}  // namespace

Reply decodeReply(std::string_view line) {
    json document;
    try {
        document = json::parse(line);
    } catch (const json::parse_error& e) {
        // Drop the library's "[json.exception.parse_error.101] " tag; the rest says where.
        std::string detail = e.what();
        if (const auto tagEnd = detail.find("] "); tagEnd != std::string::npos) {
            detail.erase(0, tagEnd + 2);
        }
        throw ReplyDecodeError("daemon reply is not valid JSON: " + detail);
    }
    const Members m(document, "");
    Reply reply;
    reply.ok = m.required("ok", asBool);
    reply.msg = m.optional("msg", asString);
    reply.status = m.optional("status", asStatus);
    reply.exitProbes = m.optional("exitProbes", asList(asExitProbe));
    return reply;
}

}  // namespace nimbra::DaemonClient
