#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "system/process_table.hpp"

namespace nimbra {

// The table for systems without /proc (macOS): asks lsof and ps, which ship with the system.
// Each question runs one short-lived child; none of them is allowed more than a few seconds.
class LsofProcessTable final : public ProcessTable {
public:
    struct Tools {
        std::string lsof;
        std::string ps;
    };

    // The platform's own lsof and ps.
    LsofProcessTable();
    explicit LsofProcessTable(Tools tools);

    // `lsof -nP -iTCP:<port> -sTCP:LISTEN -t`. lsof exits non-zero when nothing listens, so
    // a failure of any kind reads as "nobody".
    std::vector<pid_t> listenerPids(int port) override;
    // `ps -p <pid> -o args=`, exactly as printed (trailing newline included); "" when ps fails
    // or prints something that is not UTF-8.
    std::string processArgs(pid_t pid) override;
    // `lsof -nP -iTCP:<port> -sTCP:LISTEN`, the full listing on one line.
    std::string listenerSnapshot(int port) override;

    const Tools& tools() const { return tools_; }

private:
    Tools tools_;
};

}  // namespace nimbra
