#include "presentation/preferences_app_rules_store.hpp"

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace nimbra::presentation {

struct PreferencesAppRulesStore::Pending {
    explicit Pending(AppPreferences prefs) : preferences(prefs) {}

    // Takes what is queued and writes it. Holding `writing` across the take and the write keeps
    // two jobs from writing an older list after a newer one.
    void writeNewest() {
        std::lock_guard writingLock(writing);
        std::optional<std::vector<AppRuleItem>> newRules;
        std::optional<AppRuleTarget> newFallback;
        {
            std::lock_guard lock(mutex);
            if (std::exchange(rulesQueued, false)) newRules = rules;
            if (std::exchange(fallbackQueued, false)) newFallback = fallback;
        }
        if (newRules) preferences.setAppRules(*newRules);
        if (newFallback) preferences.setDefaultAppFallback(*newFallback);
        // Written: from now on the preferences hold the newest value, and reads follow them,
        // also when another process (nimbra-cli) changes them later.
        std::lock_guard lock(mutex);
        if (!rulesQueued) rules.reset();
        if (!fallbackQueued) fallback.reset();
    }

    AppPreferences preferences;
    std::mutex writing;
    std::mutex mutex;  // guards the four fields below
    // The newest values saved through this store, also once written: reads must not see the
    // file's older value while a job holds the newest between taking and writing it.
    std::optional<std::vector<AppRuleItem>> rules;
    std::optional<AppRuleTarget> fallback;
    bool rulesQueued = false;
    bool fallbackQueued = false;
};

PreferencesAppRulesStore::PreferencesAppRulesStore(AppPreferences preferences, Post post)
    : pending_(std::make_shared<Pending>(preferences)), post_(std::move(post)) {}

std::vector<AppRuleItem> PreferencesAppRulesStore::rules() const {
    {
        std::lock_guard lock(pending_->mutex);
        if (pending_->rules) return *pending_->rules;
    }
    return pending_->preferences.appRules();
}

AppRuleTarget PreferencesAppRulesStore::defaultFallback() const {
    {
        std::lock_guard lock(pending_->mutex);
        if (pending_->fallback) return *pending_->fallback;
    }
    return pending_->preferences.defaultAppFallback();
}

void PreferencesAppRulesStore::saveRules(const std::vector<AppRuleItem>& rules) {
    {
        std::lock_guard lock(pending_->mutex);
        pending_->rules = rules;
        pending_->rulesQueued = true;
    }
    schedule();
}

void PreferencesAppRulesStore::saveDefaultFallback(AppRuleTarget target) {
    {
        std::lock_guard lock(pending_->mutex);
        pending_->fallback = target;
        pending_->fallbackQueued = true;
    }
    schedule();
}

void PreferencesAppRulesStore::schedule() {
    post_([pending = pending_] { pending->writeNewest(); });
}

}  // namespace nimbra::presentation
