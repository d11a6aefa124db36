#include "registration.hpp"

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>

#include "base/atomic_file.hpp"
#include "base/base64.hpp"
#include "base/text.hpp"
#include "log.hpp"

namespace nimbra::standin {
namespace {

namespace fs = std::filesystem;

// Prints the question and reads one line; only "y" or "Y" is a yes, EOF is a no.
bool confirm(const char* question) {
    std::cout << question << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::cout << '\n';
        return false;
    }
    const auto trimmed = text::trim(answer);
    return trimmed == "y" || trimmed == "Y";
}

std::string randomBytes(std::size_t count) {
    std::random_device random;
    std::string bytes(count, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
    return bytes;
}

std::string randomUuid() {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string uuid;
    for (const char byte : randomBytes(16)) {
        if (uuid.size() == 8 || uuid.size() == 13 || uuid.size() == 18 || uuid.size() == 23) {
            uuid += '-';
        }
        uuid += kHex[(byte >> 4) & 0xf];
        uuid += kHex[byte & 0xf];
    }
    return uuid;
}

nlohmann::json makeRegistration() {
    return {
        {"private_key", base64::encode(randomBytes(121))},
        {"endpoint_v4", "162.159.198.1"},
        {"endpoint_v6", "2606:4700:103::1"},
        {"endpoint_h2_v4", "162.159.198.2"},
        {"endpoint_h2_v6", "2606:4700:103::2"},
        {"endpoint_pub_key", "-----BEGIN PUBLIC KEY-----\n" + base64::encode(randomBytes(91)) +
                                 "\n-----END PUBLIC KEY-----\n"},
        {"id", randomUuid()},
        {"access_token", randomUuid()},
        {"ipv4", "172.16.0.2"},
        {"ipv6", "2606:4700:110:8a36:df92:102a:9602:fa18"},
    };
}

}  // namespace

int runRegister(const StandinOptions& options) {
    const fs::path path = options.configPath;
    std::error_code ignored;
    if (fs::exists(path, ignored) && !confirm("A config file already exists. Overwrite? [y/N]: ")) {
        std::cout << "Aborted." << std::endl;
        return 1;
    }
    if (!options.acceptTos && !confirm("Do you agree to the terms of service? [y/N]: ")) {
        std::cout << "Aborted." << std::endl;
        return 1;
    }
    if (options.registerHangMarker) {
        writeFileAtomically(*options.registerHangMarker, std::to_string(::getpid()));
        std::this_thread::sleep_for(std::chrono::minutes(1));
        return 1;
    }
    if (options.registerFailure) {
        std::cout << *options.registerFailure << std::endl;
        logLine(*options.registerFailure);
        return 1;
    }

    logLine("Registering with locale en_US and model PC");
    writeFileAtomically(path, makeRegistration().dump(4) + "\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, ignored);
    if (!options.deviceName.empty()) logLine("Device name set to " + options.deviceName);
    logLine("Registration successful");
    logLine("Config saved to " + path.string());
    return 0;
}

}  // namespace nimbra::standin
