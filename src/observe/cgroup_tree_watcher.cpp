#include "observe/cgroup_tree_watcher.hpp"

#include <utility>

#include "base/log.hpp"

#ifdef __linux__
#include <sys/inotify.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "base/unique_fd.hpp"
#endif

namespace nimbra {

namespace {
constexpr const char* kLog = "cgroup-watch";
}  // namespace

CgroupTreeWatcher::CgroupTreeWatcher(asio::any_io_executor core, std::filesystem::path appSlice,
                                     std::chrono::milliseconds coalesce,
                                     std::function<void()> onChange)
    : core_(std::move(core)),
      appSlice_(std::move(appSlice)),
      coalesce_(coalesce),
      onChange_(std::move(onChange)) {}

#ifdef __linux__

namespace {

namespace fs = std::filesystem;

// Desktops nest units a slice or two below app.slice; the bound keeps a subtree built to be deep
// from taking every inotify watch the user has.
constexpr int kMaxDepth = 8;
// Only folders count: cgroups are folders, and a new cgroup's control files would otherwise be
// heard as changes. Moves are heard too, though cgroup2 refuses to rename cgroups, so that the
// watcher means the same on any tree.
constexpr std::uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                     IN_DELETE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW;
// The slice's parent is watched for the slice itself coming and going: see Session::parentWatch.
constexpr std::uint32_t kParentMask =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW;

bool isSlice(const std::string& name) {
    return name.ends_with(".slice");
}

bool isWithin(const fs::path& folder, const fs::path& tree) {
    const std::string& path = folder.native();
    const std::string& top = tree.native();
    return path.starts_with(top) && (path.size() == top.size() || path[top.size()] == '/');
}

}  // namespace

// Everything the descriptor's and the timer's waits touch. The waits hold it, so a watcher that
// stops (or goes) while one is pending leaves them something valid to find closed.
struct CgroupTreeWatcher::Session {
    Session(const asio::any_io_executor& core, std::chrono::milliseconds wait,
            std::function<void()> callback)
        : inotify(core), timer(core), coalesce(wait), onChange(std::move(callback)) {}

    struct Watched {
        fs::path folder;
        int depth = 0;
    };

    asio::posix::stream_descriptor inotify;
    asio::steady_timer timer;
    std::chrono::milliseconds coalesce;
    std::function<void()> onChange;
    std::unordered_map<int, Watched> watches;  // by watch descriptor
    int rootWatch = -1;
    // The slice comes and goes with the user's manager (and appears with the first unit in it),
    // so its parent is watched for it. That is also the only place its removal is heard:
    // cgroup2 tells of a removed cgroup only through its parent's watch, the removed cgroup's
    // own watch getting neither IN_DELETE_SELF nor IN_IGNORED while the watch holds it. For the
    // same reason a removed slice below has its watch taken back when its parent reports it;
    // otherwise each slice that ever ended would keep a watch (the user's inotify allowance)
    // until the watcher stops.
    int parentWatch = -1;
    fs::path root;
    std::string rootName;
    bool burstPending = false;
    bool stopped = false;
    bool warnedFull = false;
    std::vector<char> buffer = std::vector<char>(64 * 1024);

    using Shared = std::shared_ptr<Session>;

    // Watches `folder` and the slices below it; the error of watching `folder` itself, 0 when
    // it is watched. Watching first and listing second means a slice made in between is seen
    // either way. A folder that went meanwhile is simply not watched.
    int watchTree(const fs::path& folder, int depth) {
        const int wd = ::inotify_add_watch(inotify.native_handle(), folder.c_str(), kWatchMask);
        if (wd < 0) {
            const int error = errno;
            if (error == ENOSPC && !warnedFull) {
                warnedFull = true;
                logLine(kLog, "out of inotify watches at " + folder.string() +
                                  "; applications started below it go unnoticed");
            }
            return error;
        }
        if (depth == 0) rootWatch = wd;
        watches[wd] = {folder, depth};
        if (depth + 1 >= kMaxDepth) return 0;
        std::error_code ec;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code statError;
            const std::string name = it->path().filename().string();
            if (isSlice(name) && it->is_directory(statError) && !it->is_symlink(statError)) {
                watchTree(it->path(), depth + 1);
            }
        }
        return 0;
    }

    static void noteChange(const Shared& session) {
        if (session->burstPending) return;
        session->burstPending = true;
        session->timer.expires_after(session->coalesce);
        session->timer.async_wait([session](const std::error_code& error) {
            session->burstPending = false;
            if (error || session->stopped) return;
            session->onChange();
        });
    }

    // Stops watching `tree` and everything below it.
    void forgetTree(const fs::path& tree) {
        for (auto it = watches.begin(); it != watches.end();) {
            if (!isWithin(it->second.folder, tree)) {
                ++it;
                continue;
            }
            ::inotify_rm_watch(inotify.native_handle(), it->first);
            it = watches.erase(it);
        }
    }

    // The slice itself went: everything that ran in it ended, and its parent's watch waits
    // for it to come back.
    static void rootGone(const Shared& session) {
        session->forgetTree(session->root);
        session->rootWatch = -1;
        noteChange(session);
    }

    static void rootCame(const Shared& session) {
        session->forgetTree(session->root);
        session->watchTree(session->root, 0);
        noteChange(session);
    }

    // The slice's parent went (the user's manager ended for good): nothing can come back.
    static void closeAll(const Shared& session) {
        logLine(kLog, session->root.parent_path().string() + " went away; no longer watching");
        std::error_code ignored;
        session->inotify.close(ignored);
        session->watches.clear();
    }

    static void handle(const Shared& session, const inotify_event& event, const char* name) {
        if (event.mask & IN_Q_OVERFLOW) {
            // Events were dropped: slices may have come or gone unheard, so the watches start
            // over from the slice, and the callback has everything looked at again.
            noteChange(session);
            session->forgetTree(session->root);
            session->watchTree(session->root, 0);
            return;
        }
        const std::string child =
            event.len > 0 ? std::string(name, ::strnlen(name, event.len)) : std::string();
        if (event.wd == session->parentWatch) {
            if (event.mask & IN_IGNORED) {
                closeAll(session);
                return;
            }
            if (child != session->rootName) return;
            if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
                rootGone(session);
            } else if (event.mask & IN_ISDIR) {
                rootCame(session);
            }
            return;
        }
        const auto watched = session->watches.find(event.wd);
        if (watched == session->watches.end()) return;
        if (event.mask & IN_IGNORED) {
            // The folder went (or was unmounted); its descriptor may be reused for another.
            const bool wasRoot = event.wd == session->rootWatch;
            session->watches.erase(watched);
            if (wasRoot) noteChange(session);
            return;
        }
        if (event.mask & IN_DELETE_SELF) {
            noteChange(session);
            return;
        }
        if (!(event.mask & IN_ISDIR)) return;
        if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
            session->forgetTree(watched->second.folder / child);
        } else if ((event.mask & (IN_CREATE | IN_MOVED_TO)) && isSlice(child) &&
                   watched->second.depth + 1 < kMaxDepth) {
            const Watched parent = watched->second;  // watchTree may rehash the map
            session->watchTree(parent.folder / child, parent.depth + 1);
        }
        noteChange(session);
    }

    // Reads every event queued. False when the descriptor failed for good.
    static bool drain(const Shared& session) {
        for (;;) {
            const ssize_t received = ::read(session->inotify.native_handle(),
                                            session->buffer.data(), session->buffer.size());
            if (received < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                logLine(kLog, std::string("reading inotify events failed: ") +
                                  std::strerror(errno) + "; no longer watching");
                return false;
            }
            for (std::size_t offset = 0;
                 offset + sizeof(inotify_event) <= static_cast<std::size_t>(received);) {
                inotify_event event;
                std::memcpy(&event, session->buffer.data() + offset, sizeof event);
                const char* name = session->buffer.data() + offset + sizeof event;
                offset += sizeof event + event.len;
                if (offset > static_cast<std::size_t>(received)) break;
                handle(session, event, name);
                if (!session->inotify.is_open()) return true;
            }
        }
    }

    static void waitReadable(const Shared& session) {
        session->inotify.async_wait(
            asio::posix::stream_descriptor::wait_read, [session](const std::error_code& error) {
                if (session->stopped || !session->inotify.is_open()) return;
                if (!error && drain(session)) {
                    if (session->inotify.is_open()) waitReadable(session);
                    return;
                }
                if (error) logLine(kLog, "waiting for inotify events failed: " + error.message());
                std::error_code ignored;
                session->inotify.close(ignored);
            });
    }
};

CgroupTreeWatcher::~CgroupTreeWatcher() {
    stop();
}

bool CgroupTreeWatcher::start() {
    if (watching()) return true;
    stop();

    fs::path slice = appSlice_.lexically_normal();
    if (!slice.has_filename()) slice = slice.parent_path();  // written with a trailing '/'
    const fs::path parent = slice.parent_path();
    UniqueFd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!fd.valid()) {
        logLine(kLog, std::string("cannot open inotify: ") + std::strerror(errno) +
                          "; applications starting and ending go unnoticed");
        return false;
    }
    auto session = std::make_shared<Session>(core_, coalesce_, onChange_);
    std::error_code ec;
    session->inotify.assign(fd.get(), ec);
    if (ec) {
        logLine(kLog, "cannot wait for inotify events: " + ec.message());
        return false;
    }
    fd.release();
    // The parent first: a slice made between the two watches is then seen either way.
    session->root = slice;
    session->rootName = slice.filename().string();
    session->parentWatch =
        ::inotify_add_watch(session->inotify.native_handle(), parent.c_str(), kParentMask);
    if (session->parentWatch < 0) {
        logLine(kLog, "cannot watch " + parent.string() + ": " + std::strerror(errno) +
                          "; applications starting and ending go unnoticed");
        return false;
    }
    if (const int error = session->watchTree(slice, 0); error != 0 && error != ENOENT) {
        logLine(kLog, "cannot watch " + slice.string() + ": " + std::strerror(error) +
                          "; applications starting and ending go unnoticed");
        return false;
    }
    Session::waitReadable(session);
    session_ = std::move(session);
    return true;
}

void CgroupTreeWatcher::stop() {
    if (!session_) return;
    session_->stopped = true;
    std::error_code ignored;
    session_->timer.cancel();
    session_->inotify.close(ignored);
    session_.reset();
}

bool CgroupTreeWatcher::watching() const {
    return session_ && !session_->stopped && session_->inotify.is_open();
}

#else  // !__linux__

// Other systems have no cgroups; per-app routing there takes another way.
struct CgroupTreeWatcher::Session {};

CgroupTreeWatcher::~CgroupTreeWatcher() = default;

bool CgroupTreeWatcher::start() {
    logLine(kLog, "not available on this system");
    return false;
}

void CgroupTreeWatcher::stop() {}

bool CgroupTreeWatcher::watching() const {
    return false;
}

#endif

}  // namespace nimbra
