#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

namespace nimbra {

// Hands immutable copies of a state value to subscribers on their own threads: the latest copy
// when they subscribe, then one after every visible change. Used from one thread only (the owner
// of the state); each subscriber's `post` moves the delivery onto the subscriber's thread.
template <typename Snapshot>
class SnapshotPublisher {
public:
    using Ptr = std::shared_ptr<const Snapshot>;
    using Poster = std::function<void(std::function<void()>)>;
    using Handler = std::function<void(Ptr)>;

    explicit SnapshotPublisher(const Snapshot& initial)
        : latest_(std::make_shared<const Snapshot>(initial)) {}

    // Publishes `current` unless it equals what subscribers have already seen.
    void publish(const Snapshot& current) {
        if (*latest_ == current) return;
        latest_ = std::make_shared<const Snapshot>(current);
        for (const auto& [id, subscriber] : subscribers_) deliver(subscriber, latest_);
    }

    uint64_t subscribe(Poster post, Handler handler) {
        const uint64_t id = nextId_++;
        const auto& subscriber =
            subscribers_.emplace(id, Subscriber{std::move(post), std::move(handler)}).first->second;
        deliver(subscriber, latest_);
        return id;
    }

    void unsubscribe(uint64_t id) { subscribers_.erase(id); }

    const Ptr& latest() const { return latest_; }

private:
    struct Subscriber {
        Poster post;
        Handler handler;
    };

    static void deliver(const Subscriber& subscriber, const Ptr& snapshot) {
        subscriber.post([handler = subscriber.handler, snapshot] { handler(snapshot); });
    }

    Ptr latest_;
    std::map<uint64_t, Subscriber> subscribers_;
    uint64_t nextId_ = 0;
};

}  // namespace nimbra
