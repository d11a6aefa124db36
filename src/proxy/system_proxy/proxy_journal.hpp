#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

#include "proxy/system_proxy/proxy_settings.hpp"

namespace nimbra {

// What we changed in the desktop's proxy settings, written down before the first change and
// removed only once the user's settings are back, so that a crash, a SIGKILL or a power cut can
// never leave the desktop pointing at a dead local port: the next start finds the entry and puts
// things right.
struct ProxyJournalEntry {
    ProxySettings prior;       // the user's settings before our first write
    LocalEndpoints endpoints;  // where we pointed them
    pid_t pid = 0;             // the process that made the change
    std::string processStart;  // process_identity::startToken(pid) at that time

    bool operator==(const ProxyJournalEntry&) const = default;
};

class ProxyJournal {
public:
    explicit ProxyJournal(std::filesystem::path file);

    // system-proxy-snapshot.json in the work directory.
    static std::filesystem::path defaultFile();

    const std::filesystem::path& file() const { return file_; }

    // Replaces the journal atomically; readable by the user only. Throws std::system_error
    // when it cannot be written (the caller then makes no change to the desktop).
    void write(const ProxyJournalEntry& entry) const;

    // The entry; nothing when there is no journal. A journal that cannot be read or parsed is
    // moved aside ("<file>.corrupt") and logged, and reads as none.
    std::optional<ProxyJournalEntry> read() const;

    // Removes the journal; a journal that is already gone is fine.
    void remove() const;

private:
    std::filesystem::path file_;
};

}  // namespace nimbra
