#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/preference_store.hpp"
#include "cli/commands.hpp"
#include "model/app_preferences.hpp"

namespace nimbra::cli {

namespace {

// Binary values that hold JSON (the per-app rules) are shown as that JSON, not as base64.
nlohmann::json readable(const PreferenceStore& store) {
    nlohmann::json shown = nlohmann::json::parse(store.snapshotJson());
    for (auto& [key, value] : shown.items()) {
        if (auto bytes = store.data(key)) {
            auto parsed = nlohmann::json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
            if (!parsed.is_discarded()) value = std::move(parsed);
        }
    }
    return shown;
}

}  // namespace

int printPreferences() {
    auto& store = PreferenceStore::standard();
    AppPreferences(store).migrateIfNeeded();
    std::printf("%s\n", readable(store).dump(2).c_str());
    return 0;
}

}  // namespace nimbra::cli
