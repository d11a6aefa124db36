#pragma once

#include <functional>
#include <memory>

#include "model/app_preferences.hpp"
#include "presentation/app_rules_store.hpp"

namespace nimbra::presentation {

// The panel's list and default in the user's preferences. The panel lives on the GUI thread and
// the store writes its file with fsync, so saves run through `post` (the shell's blocking pool).
// Pool jobs may run in any order and side by side; each writes whatever is newest under one lock,
// so an older list can never land after a newer one. Reads give the newest value saved here while
// its write is still queued, and the preferences' own value once it is written. Jobs keep their
// state alive themselves: this object may go before they run.
class PreferencesAppRulesStore final : public AppRulesStore {
public:
    using Post = std::function<void(std::function<void()>)>;

    PreferencesAppRulesStore(AppPreferences preferences, Post post);

    std::vector<AppRuleItem> rules() const override;
    AppRuleTarget defaultFallback() const override;
    void saveRules(const std::vector<AppRuleItem>& rules) override;
    void saveDefaultFallback(AppRuleTarget target) override;

private:
    struct Pending;

    void schedule();

    std::shared_ptr<Pending> pending_;
    Post post_;
};

}  // namespace nimbra::presentation
