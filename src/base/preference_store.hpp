#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace nimbra {

// The per-user key-value store behind every preference: one JSON object in a file, read once and
// cached, every write replacing the file atomically. Safe to use from any thread.
//
// Several stores may share the file (the client and nimbra-cli run side by side), so a write never
// replays this process's cache over the file: under an exclusive lock on "<file>.lock" it re-reads
// the file, changes only its own key, replaces the file and takes the result as the new cache.
// Reads are served from the cache and never wait for a write's disk work.
//
// Values are typed as JSON gives them (Boolean, integer, text) plus binary data, which is kept as
// {"base64": "..."} so arbitrary bytes survive. A value of another type than asked for reads as
// absent, so an absent key is always distinguishable from a stored false, 0 or empty text.
//
// A file that cannot be read or parsed is never silently replaced: a copy is kept beside it
// ("preferences.json.corrupt-<time>"), the problem is logged and the store starts empty; found
// damaged at a write, the file is replaced by what this store last read plus the write. If even the
// copy cannot be made, the store keeps its changes in memory only for this run.
class PreferenceStore {
public:
    using Listener = std::function<void(std::string_view key)>;

    explicit PreferenceStore(std::filesystem::path file);
    ~PreferenceStore();
    PreferenceStore(const PreferenceStore&) = delete;
    PreferenceStore& operator=(const PreferenceStore&) = delete;

    // $XDG_CONFIG_HOME/nimbra/preferences.json, or NIMBRA_PREFERENCES_FILE when set.
    static std::filesystem::path defaultFile();
    // The process-wide store on defaultFile(), opened on first use.
    static PreferenceStore& standard();

    const std::filesystem::path& file() const { return file_; }

    bool contains(std::string_view key) const;
    std::optional<bool> boolean(std::string_view key) const;
    std::optional<int64_t> integer(std::string_view key) const;
    std::optional<std::string> text(std::string_view key) const;
    std::optional<std::string> data(std::string_view key) const;

    void setBoolean(std::string_view key, bool value);
    void setInteger(std::string_view key, int64_t value);
    void setText(std::string_view key, std::string_view value);
    void setData(std::string_view key, std::string_view bytes);
    void remove(std::string_view key);

    // Takes in what other stores sharing the file wrote since this one last looked (nimbra-cli
    // beside the client), for a reader that must act on the newest values. A file that is gone
    // or damaged leaves what this store knows as it is. Returns whether anything changed.
    bool reload();

    // Calls `listener` (on the writing thread, after the write) whenever `key` is set or removed.
    // The subscription ends when the returned handle is destroyed.
    class Subscription;
    [[nodiscard]] std::unique_ptr<Subscription> subscribe(std::string key, Listener listener);

    // The whole store as stored, as one JSON object text, for display.
    std::string snapshotJson() const;

private:
    // One stored JSON value; the JSON library stays out of this widely included header.
    struct Json;

    struct ListenerEntry {
        std::string key;
        Listener listener;
    };

    struct Stored;

    std::optional<Json> value(std::string_view key) const;
    void write(std::string_view key, std::optional<Json> value);
    void load();
    Json mergeBaseLocked();
    void keepAsideLocked(const Stored& stored, std::string_view outcome);
    void notify(std::string_view key);

    std::filesystem::path file_;
    // Guards only the cache, and is never held across disk work: the GUI thread reads through it.
    mutable std::mutex mutex_;
    std::unique_ptr<Json> values_;  // a JSON object
    // Serialises this process's writers; the lock file does the same across processes. Guards the
    // two fields below it.
    std::mutex writerMutex_;
    bool persistent_ = true;
    std::optional<std::string> keptAside_;  // the damaged bytes last copied aside

    std::mutex listenersMutex_;
    std::map<uint64_t, ListenerEntry> listeners_;
    uint64_t nextListenerId_ = 0;
};

class PreferenceStore::Subscription {
public:
    Subscription(PreferenceStore& store, uint64_t id) : store_(store), id_(id) {}
    ~Subscription();
    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

private:
    PreferenceStore& store_;
    uint64_t id_;
};

}  // namespace nimbra
