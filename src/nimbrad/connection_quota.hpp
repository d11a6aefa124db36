#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>

namespace nimbra::nimbrad {

// How many control connections may be open at once, counted by the peer's uid, so that one local
// user holding connections open cannot lock anyone else out of the socket.
//
// - Every uid may hold at most `perUid` connections at once.
// - Peers that are neither root nor allowed (strangers) share `strangers` connections between
//   them; root and the allowed uids are not counted there, so each of them always finds its own
//   `perUid` free, however many strangers are connected.
//
// Thread-safe: connections are taken on the accepting strand and given back from whichever
// thread ends them.
class ConnectionQuota {
    struct Counts;

public:
    struct Limits {
        std::size_t perUid = 8;
        std::size_t strangers = 64;
    };

    // One open connection's place, given back when it is destroyed. It shares the counts, so it
    // may outlive the quota it came from.
    class Slot {
    public:
        Slot(Slot&& other) noexcept;
        Slot& operator=(Slot&&) = delete;
        Slot(const Slot&) = delete;
        Slot& operator=(const Slot&) = delete;
        ~Slot();

    private:
        friend class ConnectionQuota;
        Slot(std::shared_ptr<Counts> counts, uid_t uid, bool stranger);

        std::shared_ptr<Counts> counts_;
        uid_t uid_;
        bool stranger_;
    };

    explicit ConnectionQuota(Limits limits);

    // A place for one more connection from `uid`, or nothing when that uid (or, for a stranger,
    // the strangers together) already holds all it may.
    std::optional<Slot> take(uid_t uid, bool trusted);

private:
    Limits limits_;
    std::shared_ptr<Counts> counts_;
};

}  // namespace nimbra::nimbrad
