#include "controller/connect_error.hpp"

#include "l10n/l10n.hpp"

namespace nimbra {
namespace {

std::string describe(const ConnectError::Case& reason, AppLanguage language) {
    if (auto* probe = std::get_if<ConnectError::ProbeFailed>(&reason)) return probe->text;
    return L10n::connectTimedOut(std::get<ConnectError::TimedOut>(reason).seconds, language);
}

}  // namespace

ConnectError::ConnectError(Case c)
    : LocalizedError(describe(c, AppLanguage::english)), case_(std::move(c)) {}

std::string ConnectError::description(AppLanguage language) const {
    return describe(case_, language);
}

}  // namespace nimbra
