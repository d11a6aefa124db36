#pragma once

#include <asio/any_io_executor.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

namespace nimbra {

// Hears applications start and end in a user's systemd app.slice (their units' cgroups come
// and go there), and calls back once per burst, `coalesce` after its first change, so the per-app
// route set can follow an application the moment its cgroup exists. A burst (a desktop starting
// its autostart applications) costs one callback, and a steady stream of changes still calls
// back every `coalesce`.
//
// It watches the slice and the slices (folders named "*.slice") below it, where systemd puts
// units, never the inside of a unit: what an application does with its own cgroup is no change
// of which applications run. Slices that appear are watched as they come. The slice itself may
// be missing (it appears with the session's first application unit, and goes and comes again
// with the user's manager): its parent is watched for it, and its coming and going call back.
//
// Linux watches with inotify, driven by the core executor; elsewhere start() leaves it off. It
// lives on the core thread: construct it there and call every operation there; the callback
// runs there too.
class CgroupTreeWatcher {
public:
    CgroupTreeWatcher(asio::any_io_executor core, std::filesystem::path appSlice,
                      std::chrono::milliseconds coalesce, std::function<void()> onChange);
    // stop().
    ~CgroupTreeWatcher();
    CgroupTreeWatcher(const CgroupTreeWatcher&) = delete;
    CgroupTreeWatcher& operator=(const CgroupTreeWatcher&) = delete;

    // Starts watching; true when it does (or already did). Never throws: a slice whose parent
    // does not exist (no user manager, no cgroup2 tree) or a watch that cannot be set up is
    // logged and leaves the watcher off.
    bool start();
    // Stops watching and forgets a pending burst: no callback runs after stop() returns.
    void stop();
    // Whether start() succeeded and neither stop() nor the removal of the slice's parent (the
    // user's manager ending for good) has ended it.
    bool watching() const;

private:
    struct Session;

    asio::any_io_executor core_;
    std::filesystem::path appSlice_;
    std::chrono::milliseconds coalesce_;
    std::function<void()> onChange_;
    // Shared with the descriptor's and the timer's pending waits, which may finish after stop().
    std::shared_ptr<Session> session_;
};

}  // namespace nimbra
