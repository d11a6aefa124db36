#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "model/app_preferences.hpp"

namespace nimbra {

// The preferences nimbrad reads from its config.yml.
struct DaemonConfigValues {
    std::string dnsMode;
    std::string dnsCustom;
    std::string dnsProfile;
    std::string dnsDevice;
    bool http2 = false;
    std::string nat64Prefix;
    bool chinaDirect = true;

    static DaemonConfigValues from(const AppPreferences& preferences);
};

// The excludes block of an existing config.yml: "excludes:" on its own line with the "- entry"
// lines under it, exactly as the daemon wrote them, always ending with a line feed. A file
// without such a block (including one with the inline "excludes: []") gives "excludes: []\n".
std::string carriedExcludesBlock(std::string_view existingConfig);

// The whole config.yml for `values`, followed by `excludesBlock`.
std::string daemonConfigText(const DaemonConfigValues& values, std::string_view excludesBlock);

// The four-line file written when there is no config.yml yet (no final line feed).
std::string defaultDaemonConfigText(const DaemonConfigValues& values);

// Rewrites `configPath` from `values`, keeping the daemon's excludes; atomic, so the daemon sees
// the old file or the new one. Never throws: when the write fails the old file stays.
void writeDaemonConfig(const std::filesystem::path& configPath, const DaemonConfigValues& values);

}  // namespace nimbra
