#include "proxy/system_proxy/proxy_journal.hpp"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "base/atomic_file.hpp"
#include "base/log.hpp"
#include "base/paths.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kLog = "system-proxy";

nlohmann::json toJson(const ProxyJournalEntry& entry) {
    return {{"backend", entry.prior.backend},
            {"service", entry.prior.scope},
            {"values", entry.prior.values},
            {"endpoints",
             {{"host", entry.endpoints.host},
              {"http_port", entry.endpoints.httpPort},
              {"socks_port", entry.endpoints.socksPort}}},
            {"pid", entry.pid},
            {"process_start", entry.processStart}};
}

ProxyJournalEntry fromJson(const nlohmann::json& json) {
    ProxyJournalEntry entry;
    entry.prior.backend = json.at("backend").get<std::string>();
    entry.prior.scope = json.at("service").get<std::string>();
    entry.prior.values = json.at("values").get<std::map<std::string, std::string>>();
    const auto& endpoints = json.at("endpoints");
    entry.endpoints.host = endpoints.at("host").get<std::string>();
    entry.endpoints.httpPort = endpoints.at("http_port").get<int>();
    entry.endpoints.socksPort = endpoints.at("socks_port").get<int>();
    entry.pid = json.at("pid").get<pid_t>();
    entry.processStart = json.at("process_start").get<std::string>();
    return entry;
}

}  // namespace

ProxyJournal::ProxyJournal(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path ProxyJournal::defaultFile() {
    return paths::workDirectory() / "system-proxy-snapshot.json";
}

void ProxyJournal::write(const ProxyJournalEntry& entry) const {
    // The temporary file is created 0600 and renamed into place, so the journal is never
    // readable by others, not even for a moment.
    writeFileAtomically(file_, toJson(entry).dump(2) + "\n");
}

std::optional<ProxyJournalEntry> ProxyJournal::read() const {
    std::error_code error;
    if (!std::filesystem::exists(file_, error)) return std::nullopt;
    std::ifstream input(file_, std::ios::binary);
    const std::string contents((std::istreambuf_iterator<char>(input)),
                               std::istreambuf_iterator<char>());
    try {
        return fromJson(nlohmann::json::parse(contents));
    } catch (const std::exception& e) {
        // Nothing in it can be trusted to restore from; keep it for a human to look at.
        const auto aside = std::filesystem::path(file_.string() + ".corrupt");
        std::filesystem::rename(file_, aside, error);
        logLine(kLog, "unreadable journal " + file_.string() + " (" + e.what() + ") moved to " +
                          aside.string());
        return std::nullopt;
    }
}

void ProxyJournal::remove() const {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
}

}  // namespace nimbra
