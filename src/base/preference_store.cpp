#include "base/preference_store.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

// An exclusive lock held across one read-merge-write of the preferences by every store, in this
// process or another. It is taken on a file beside the preferences, never on the preferences file
// itself: that one is replaced by rename on every write, so a lock on it would guard a file that
// nobody opens any more. Closing the descriptor releases the lock.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        std::error_code ignored;
        if (path.has_parent_path()) {
            std::filesystem::create_directories(path.parent_path(), ignored);
        }
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        int error = fd_ < 0 ? errno : 0;
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0) {
            if (errno == EINTR) continue;
            error = errno;
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ < 0) {
            logLine(kLog, "cannot lock " + path.string() + " (" + std::strerror(error) +
                              "); writing without it");
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

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

// What the file holds right now: nothing (first launch, or removed since), a usable object, or
// bytes that are not one.
struct PreferenceStore::Stored {
    bool present = false;
    std::string problem;  // empty when `object` is usable
    nlohmann::json object = nlohmann::json::object();
    std::string bytes;

    static Stored read(const std::filesystem::path& file) {
        Stored stored;
        std::ifstream input(file, std::ios::binary);
        if (!input) {
            std::error_code error;
            if (!std::filesystem::exists(file, error) && !error) return stored;
            stored.present = true;
            stored.problem = "cannot read";
            return stored;
        }
        stored.present = true;
        std::stringstream contents;
        contents << input.rdbuf();
        stored.bytes = contents.str();
        auto parsed = nlohmann::json::parse(stored.bytes, nullptr, /*allow_exceptions=*/false);
        if (parsed.is_object()) {
            stored.object = std::move(parsed);
        } else {
            stored.problem = parsed.is_discarded() ? "not valid JSON" : "not a JSON object";
        }
        return stored;
    }
};

void PreferenceStore::load() {
    auto stored = Stored::read(file_);
    if (!stored.present) return;  // first launch: empty store
    if (stored.problem.empty()) {
        *values_ = std::move(stored.object);
        return;
    }
    keepAsideLocked(stored, "started from empty preferences");  // no writer can run yet
}

// Keeps what was there before anything can overwrite it. The same damaged bytes are copied once:
// every write re-reads the file, and until one replaces it they are still there.
void PreferenceStore::keepAsideLocked(const Stored& stored, std::string_view outcome) {
    const bool readable = stored.problem != "cannot read";
    if (readable && keptAside_ == stored.bytes) return;

    std::error_code error;
    const auto copy = file_.string() + ".corrupt-" + timestampForFileName();
    std::filesystem::copy_file(file_, copy, std::filesystem::copy_options::overwrite_existing,
                               error);
    if (error) {
        persistent_ = false;
        logLine(kLog, file_.string() + " is " + stored.problem +
                          " and could not be copied aside (" + error.message() +
                          "); changes this run stay in memory");
        return;
    }
    if (readable) keptAside_ = stored.bytes;
    logLine(kLog, file_.string() + " is " + stored.problem + "; kept a copy at " + copy + " and " +
                      std::string(outcome));
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
        std::lock_guard writer(writerMutex_);
        std::optional<FileLock> fileLock;
        if (persistent_) fileLock.emplace(file_.string() + ".lock");

        Json merged = mergeBaseLocked();
        if (value) {
            merged[std::string(key)] = static_cast<nlohmann::json&&>(std::move(*value));
        } else {
            merged.erase(std::string(key));
        }
        if (persistent_) {
            try {
                writeFileAtomically(file_, merged.dump(2) + "\n");
            } catch (const std::exception& e) {
                logLine(kLog, std::string("could not save preferences: ") + e.what());
            }
        }
        std::lock_guard lock(mutex_);
        *values_ = std::move(merged);
    }
    notify(key);
}

// What a write starts from: the file as it is now, with whatever other stores sharing it wrote
// since this one last looked. When the file is damaged, or the store went memory-only, it is what
// this process last knew instead; that is the best copy of the user's settings left.
PreferenceStore::Json PreferenceStore::mergeBaseLocked() {
    if (persistent_) {
        auto stored = Stored::read(file_);
        if (!stored.present) return Json(nlohmann::json::object());
        if (stored.problem.empty()) return Json(std::move(stored.object));
        keepAsideLocked(stored, "went on from the preferences last read");
    }
    std::lock_guard lock(mutex_);
    return *values_;
}

bool PreferenceStore::reload() {
    // Writers replace the file by rename, so a read sees one whole version without the lock.
    std::lock_guard writer(writerMutex_);
    if (!persistent_) return false;
    auto stored = Stored::read(file_);
    if (!stored.present || !stored.problem.empty()) return false;
    std::lock_guard lock(mutex_);
    if (*values_ == stored.object) return false;
    *values_ = Json(std::move(stored.object));
    return true;
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
