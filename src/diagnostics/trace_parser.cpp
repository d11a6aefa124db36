#include "diagnostics/trace_parser.hpp"

#include <map>
#include <string>

#include "base/text.hpp"

namespace nimbra {

TraceProbe parseTrace(std::string_view text) {
    std::map<std::string, std::string, std::less<>> values;
    for (const auto& line : text::splitLines(text)) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key.empty() || value.empty()) continue;
        values.insert_or_assign(std::move(key), std::move(value));
    }

    const auto valueOf = [&values](std::string_view key) -> std::string {
        const auto found = values.find(key);
        return found == values.end() ? std::string() : found->second;
    };

    TraceProbe probe;
    probe.ip = valueOf("ip");
    if (probe.ip.empty()) return TraceProbe::failed(std::string(kEmptyExitIpError));
    probe.fetched = true;
    probe.loc = valueOf("loc");
    probe.colo = valueOf("colo");
    probe.warp = valueOf("warp");
    return probe;
}

}  // namespace nimbra
