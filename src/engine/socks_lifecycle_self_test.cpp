#include "engine/socks_lifecycle_self_test.hpp"

#include <thread>

#include "base/log.hpp"
#include "engine/usque_engine.hpp"
#include "l10n/localized_error.hpp"
#include "model/app_preferences.hpp"
#include "system/process_table.hpp"

namespace nimbra {
namespace {

constexpr std::string_view kLog = "self-test";
constexpr auto kGraceAfterStop = std::chrono::milliseconds(300);

}  // namespace

int runSocksLifecycleSelfTest(PreferenceStore& store, const Timings& timings) {
    const int port = AppPreferences(store).socksPort();
    auto& processes = ProcessTable::system();

    const std::string before = processes.listenerSnapshot(port);
    logLine(kLog, "listeners before: " + before);

    UsqueEngine engine(port, {.timings = timings, .processes = &processes, .store = &store});
    try {
        engine.ensureReady();
        engine.startSocks(/*http2=*/false);
    } catch (...) {
        logLine(kLog, "FAIL: " + describeError(std::current_exception(),
                                               AppPreferences(store).uiLanguage()));
        return 1;
    }
    if (!engine.isRunning()) {
        logLine(kLog, "FAIL: startSocks returned but isRunning=false");
        return 2;
    }

    logLine(kLog, "after start/adopt: " + processes.listenerSnapshot(port) + " isRunning=true");
    logLine(kLog, before == "(none)" ? "started managed usque (no prior listener)"
                                     : "adopted/reused prior usque (no second bind)");

    engine.stop();
    std::this_thread::sleep_for(kGraceAfterStop);
    const std::string after = processes.listenerSnapshot(port);
    logLine(kLog, "after stop: " + after);
    if (after != "(none)") {
        logLine(kLog, "FAIL: port still held after Disconnect policy");
        return 3;
    }
    logLine(kLog, "OK");
    return 0;
}

}  // namespace nimbra
