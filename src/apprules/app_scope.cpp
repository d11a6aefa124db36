#include "apprules/app_scope.hpp"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace nimbra::apprules {
namespace {

// systemd's unit name escaping: letters, digits, ':', '_' and '.' (not leading) stay; every other
// byte, the '-' that separates the name's parts among them, becomes "\xNN".
std::string escapedForUnitName(std::string_view text) {
    std::string escaped;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == ':' || c == '_' || (c == '.' && i > 0);
        if (plain) {
            escaped.push_back(static_cast<char>(c));
        } else {
            char code[5];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            escaped += code;
        }
    }
    return escaped;
}

// The cgroup2 path of a process, from the "0::" line of /proc/<pid>/cgroup.
std::string cgroupOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cgroup");
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("0::")) return line.substr(3);
    }
    return {};
}

[[noreturn]] void refused(const std::string& unitName, const std::string& why) {
    throw std::runtime_error("no scope " + unitName + " from the user's service manager (" + why +
                             "); the app follows the default for apps without a rule");
}

struct BusCall {
    sd_bus* bus = nullptr;
    sd_bus_message* request = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ~BusCall() {
        sd_bus_error_free(&error);
        sd_bus_message_unref(reply);
        sd_bus_message_unref(request);
        sd_bus_flush_close_unref(bus);
    }
};

// False when there is no session bus to ask: a session without a desktop (a terminal over ssh),
// whose programs all follow the default anyway.
bool startTransientScope(const std::string& unitName, pid_t pid,
                         std::chrono::milliseconds patience) {
    BusCall call;
    if (sd_bus_open_user(&call.bus) < 0) return false;
    int r = 0;
    r = sd_bus_message_new_method_call(call.bus, &call.request, "org.freedesktop.systemd1",
                                       "/org/freedesktop/systemd1",
                                       "org.freedesktop.systemd1.Manager", "StartTransientUnit");
    if (r >= 0) r = sd_bus_message_append(call.request, "ss", unitName.c_str(), "fail");
    if (r >= 0) r = sd_bus_message_open_container(call.request, 'a', "(sv)");
    if (r >= 0) r = sd_bus_message_append(call.request, "(sv)", "Slice", "s", "app.slice");
    if (r >= 0) {
        r = sd_bus_message_append(call.request, "(sv)", "PIDs", "au", 1,
                                  static_cast<std::uint32_t>(pid));
    }
    // The scope goes once its process has ended, failed or not: nothing is left to clean up.
    if (r >= 0) {
        r = sd_bus_message_append(call.request, "(sv)", "CollectMode", "s", "inactive-or-failed");
    }
    if (r >= 0) r = sd_bus_message_close_container(call.request);
    if (r >= 0) r = sd_bus_message_append(call.request, "a(sa(sv))", 0);
    if (r < 0) refused(unitName, std::strerror(-r));
    const auto timeout = std::chrono::duration_cast<std::chrono::microseconds>(patience);
    r = sd_bus_call(call.bus, call.request, static_cast<std::uint64_t>(timeout.count()),
                    &call.error, &call.reply);
    if (r < 0) {
        refused(unitName, call.error.message ? call.error.message : std::strerror(-r));
    }
    return true;
}

}  // namespace

std::string appScopeName(std::string_view desktopId) {
    std::random_device entropy;
    char random[9];
    std::snprintf(random, sizeof random, "%08x", static_cast<unsigned>(entropy()));
    return "app-nimbra-" + escapedForUnitName(desktopId) + "-" + random + ".scope";
}

bool enterAppScope(const std::string& unitName, pid_t pid, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    if (!startTransientScope(unitName, pid, patience)) return false;
    // The manager answers once the job is queued; the process moves when the scope starts.
    while (!cgroupOf(pid).ends_with("/" + unitName)) {
        if (std::chrono::steady_clock::now() >= deadline) refused(unitName, "it did not start");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace nimbra::apprules
