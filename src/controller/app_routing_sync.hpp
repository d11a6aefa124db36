#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/async/core_runtime.hpp"
#include "controller/controller_snapshot.hpp"
#include "controller/daemon_service.hpp"
#include "observe/cgroup_tree_watcher.hpp"

namespace nimbra {

// Keeps nimbrad's per-app routing in step with the rules while real TUN is connected: sends the
// set when the connection is up, again whenever application units come or go in the user's
// app.slice and whenever the rules change, and publishes where each running application's
// traffic goes (or why per-app routing cannot work here).
//
// Lives on the core thread. The scan of the cgroup tree and the exchange with nimbrad run on the
// blocking pool, one at a time: a change while one runs is folded into a single next one, so a
// burst of changes costs one exchange after the running one, never a queue.
class AppRoutingSync {
public:
    struct Places {
        std::filesystem::path cgroupRoot = "/sys/fs/cgroup";
        uid_t uid = 0;
    };
    using Publish = std::function<void(std::vector<AppTrafficNow> traffic, std::string note)>;

    AppRoutingSync(CoreRuntime& runtime, std::shared_ptr<DaemonService> daemon,
                   AppPreferences preferences, Places places, std::chrono::milliseconds coalesce,
                   Publish publish);
    ~AppRoutingSync();
    AppRoutingSync(const AppRoutingSync&) = delete;
    AppRoutingSync& operator=(const AppRoutingSync&) = delete;

    // Real TUN is connected: send the set and follow the units and rules from now on.
    void start();
    // The connection ends (nimbrad forgets the set with its tunnel): stop following, publish
    // nothing, and drop what an exchange still running brings back.
    void stop();
    // The stored rules or the default for unlisted apps changed.
    void rulesChanged();

private:
    struct Outcome {
        std::vector<AppTrafficNow> traffic;
        std::string note;
    };
    void request();
    void finished(std::uint64_t generation, Outcome outcome);
    static Outcome exchange(const DaemonService& daemon, const AppPreferences& preferences,
                            const Places& places);

    CoreRuntime& runtime_;
    std::shared_ptr<DaemonService> daemon_;
    AppPreferences preferences_;
    Places places_;
    Publish publish_;
    CgroupTreeWatcher watcher_;
    bool running_ = false;
    bool busy_ = false;
    bool again_ = false;
    std::uint64_t generation_ = 0;
    // Shared with pool jobs, which may finish after this object is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace nimbra
