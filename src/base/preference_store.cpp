#include "base/preference_store.hpp"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <vector>

#include "base/atomic_file.hpp"
#include "base/base64.hpp"
#include "base/log.hpp"
#include "base/paths.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kLog = "prefs";
constexpr const char* kDataField = "base64";

std::string timestampForFileName() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y%m%d-%H%M%S", &local);
    return buffer;
}

}  // namespace

struct PreferenceStore::Json : nlohmann::json {
    Json(nlohmann::json value) : nlohmann::json(std::move(value)) {}
};

PreferenceStore::~PreferenceStore() = default;

PreferenceStore::PreferenceStore(std::filesystem::path file)
    : file_(std::move(file)), values_(std::make_unique<Json>(nlohmann::json::object())) {
    load();
}

std::filesystem::path PreferenceStore::defaultFile() {
    if (const char* override = std::getenv("NIMBRA_PREFERENCES_FILE"); override && *override) {
        return override;
    }
    return paths::configHome() / "nimbra" / "preferences.json";
}

PreferenceStore& PreferenceStore::standard() {
    static PreferenceStore store(defaultFile());
    return store;
}

void PreferenceStore::load() {
    std::error_code error;
    if (!std::filesystem::exists(file_, error) && !error) return;  // first launch: empty store

    std::string problem;
    std::ifstream input(file_, std::ios::binary);
    if (!input) {
        problem = "cannot read";
    } else {
        std::stringstream contents;
        contents << input.rdbuf();
        auto parsed = nlohmann::json::parse(contents.str(), nullptr, /*allow_exceptions=*/false);
        if (parsed.is_object()) {
            *values_ = std::move(parsed);
            return;
        }
        problem = parsed.is_discarded() ? "not valid JSON" : "not a JSON object";
    }

    // Keep what was there before anything can overwrite it.
    const auto copy = file_.string() + ".corrupt-" + timestampForFileName();
    std::filesystem::copy_file(file_, copy, std::filesystem::copy_options::overwrite_existing,
                               error);
    if (error) {
        persistent_ = false;
        logLine(kLog, file_.string() + " is " + problem + " and could not be copied aside (" +
                          error.message() + "); changes this run stay in memory");
    } else {
        logLine(kLog, file_.string() + " is " + problem + "; kept a copy at " + copy +
                          " and started from empty preferences");
    }
}

std::optional<PreferenceStore::Json> PreferenceStore::value(std::string_view key) const {
    std::lock_guard lock(mutex_);
    auto found = values_->find(key);
    if (found == values_->end()) return std::nullopt;
    return Json(*found);
}

bool PreferenceStore::contains(std::string_view key) const {
    return value(key).has_value();
}

std::optional<bool> PreferenceStore::boolean(std::string_view key) const {
    auto stored = value(key);
    if (!stored || !stored->is_boolean()) return std::nullopt;
    return stored->get<bool>();
}

std::optional<int64_t> PreferenceStore::integer(std::string_view key) const {
    auto stored = value(key);
    if (!stored) return std::nullopt;
    if (stored->is_number_integer()) return stored->get<int64_t>();
    return std::nullopt;  // floats and unsigned values beyond int64 are not integers we wrote
}

std::optional<std::string> PreferenceStore::text(std::string_view key) const {
    auto stored = value(key);
    if (!stored || !stored->is_string()) return std::nullopt;
    return stored->get<std::string>();
}

std::optional<std::string> PreferenceStore::data(std::string_view key) const {
    auto stored = value(key);
    if (!stored || !stored->is_object() || stored->size() != 1) return std::nullopt;
    auto encoded = stored->find(kDataField);
    if (encoded == stored->end() || !encoded->is_string()) return std::nullopt;
    return base64::decode(encoded->get<std::string>());
}

void PreferenceStore::setBoolean(std::string_view key, bool value) {
    write(key, Json(value));
}
void PreferenceStore::setInteger(std::string_view key, int64_t value) {
    write(key, Json(value));
}
void PreferenceStore::setText(std::string_view key, std::string_view value) {
    write(key, Json(std::string(value)));
}
void PreferenceStore::setData(std::string_view key, std::string_view bytes) {
    write(key, Json(nlohmann::json{{kDataField, base64::encode(bytes)}}));
}
void PreferenceStore::remove(std::string_view key) {
    write(key, std::nullopt);
}

void PreferenceStore::write(std::string_view key, std::optional<Json> value) {
    {
        std::lock_guard lock(mutex_);
        if (value) {
            (*values_)[std::string(key)] = static_cast<nlohmann::json&&>(std::move(*value));
        } else {
            values_->erase(std::string(key));
        }
        persistLocked();
    }
    notify(key);
}

// Runs under mutex_, so the file always reflects the writes in the order they were made.
void PreferenceStore::persistLocked() {
    if (!persistent_) return;
    try {
        writeFileAtomically(file_, values_->dump(2) + "\n");
    } catch (const std::exception& e) {
        logLine(kLog, std::string("could not save preferences: ") + e.what());
    }
}

std::string PreferenceStore::snapshotJson() const {
    std::lock_guard lock(mutex_);
    return values_->dump();
}

std::unique_ptr<PreferenceStore::Subscription> PreferenceStore::subscribe(std::string key,
                                                                          Listener listener) {
    std::lock_guard lock(listenersMutex_);
    const uint64_t id = nextListenerId_++;
    listeners_.emplace(id, ListenerEntry{std::move(key), std::move(listener)});
    return std::make_unique<Subscription>(*this, id);
}

void PreferenceStore::notify(std::string_view key) {
    // Called outside the lock so a listener may read or write preferences itself.
    std::vector<Listener> matching;
    {
        std::lock_guard lock(listenersMutex_);
        for (const auto& [id, entry] : listeners_) {
            if (entry.key == key) matching.push_back(entry.listener);
        }
    }
    for (const auto& listener : matching) listener(key);
}

PreferenceStore::Subscription::~Subscription() {
    std::lock_guard lock(store_.listenersMutex_);
    store_.listeners_.erase(id_);
}

}  // namespace nimbra
