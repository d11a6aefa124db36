#include "nimbrad/connection_quota.hpp"

#include <map>
#include <mutex>
#include <utility>

namespace nimbra::nimbrad {

struct ConnectionQuota::Counts {
    std::mutex mutex;
    std::map<uid_t, std::size_t> perUid;  // only uids holding at least one
    std::size_t strangers = 0;
};

ConnectionQuota::Slot::Slot(std::shared_ptr<Counts> counts, uid_t uid, bool stranger)
    : counts_(std::move(counts)), uid_(uid), stranger_(stranger) {}

ConnectionQuota::Slot::Slot(Slot&& other) noexcept
    : counts_(std::move(other.counts_)), uid_(other.uid_), stranger_(other.stranger_) {}

ConnectionQuota::Slot::~Slot() {
    if (!counts_) return;  // moved from
    const std::lock_guard lock(counts_->mutex);
    if (--counts_->perUid[uid_] == 0) counts_->perUid.erase(uid_);
    if (stranger_) --counts_->strangers;
}

ConnectionQuota::ConnectionQuota(Limits limits)
    : limits_(limits), counts_(std::make_shared<Counts>()) {}

std::optional<ConnectionQuota::Slot> ConnectionQuota::take(uid_t uid, bool trusted) {
    const std::lock_guard lock(counts_->mutex);
    const auto held = counts_->perUid.find(uid);
    const std::size_t holding = held == counts_->perUid.end() ? 0 : held->second;
    if (holding >= limits_.perUid) return std::nullopt;
    if (!trusted && counts_->strangers >= limits_.strangers) return std::nullopt;
    ++counts_->perUid[uid];
    if (!trusted) ++counts_->strangers;
    return Slot(counts_, uid, !trusted);
}

}  // namespace nimbra::nimbrad
