#include "nimbrad/app_split.hpp"

namespace nimbra::nimbrad {

AppSplit::AppSplit(std::string tunnelDevice, std::filesystem::path journal)
    : table_(std::move(tunnelDevice), std::move(journal)) {}

std::optional<AppRouteTarget> AppSplit::routingDefault() const {
    if (!requested_) return std::nullopt;
    return requested_->defaultTarget;
}

void AppSplit::request(std::optional<AppRouteSet> set, PolicyRouting* routing) {
    requested_ = std::move(set);
    error_.clear();
    if (routing == nullptr || !routing->installed()) return;
    try {
        if (routingDefault() == AppRouteTarget::direct) {
            applyTable();
            routing->setAppDefault(routingDefault());
        } else {
            routing->setAppDefault(routingDefault());
            applyTable();
        }
    } catch (const std::exception& failure) {
        error_ = failure.what();
        throw;
    }
}

void AppSplit::beforeRoutingInstalled() {
    try {
        applyTable();
    } catch (const std::exception& failure) {
        // Routing then goes up without per-app routing rather than not at all: the default
        // follows the table, so nothing relies on marks that are not there.
        error_ = failure.what();
        requested_.reset();
        throw;
    }
}

void AppSplit::stop() {
    requested_.reset();
    applied_.clear();
    error_.clear();
    table_.remove();
}

void AppSplit::applyTable() {
    if (!requested_) {
        table_.remove();
        applied_.clear();
        return;
    }
    applied_ = table_.apply(*requested_);
}

}  // namespace nimbra::nimbrad
