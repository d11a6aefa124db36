#pragma once

#include <string>
#include <vector>

namespace nimbra {

// Words in English and in Chinese.
struct Wording {
    std::string english;
    std::string chinese;
};

// An application the per-app rule list starts with: its name, the system's identifier for it (the
// bundle identifier on macOS, the desktop-file id without ".desktop" on Linux), its program, and
// where it usually is (the .app bundle; the desktop entry).
struct AppPreset {
    std::string name;
    std::string identifier;
    std::string executableName;
    std::string path;

    bool operator==(const AppPreset&) const = default;
};

// Everything that differs between the operating systems we ship on but is only data: where the
// tools live, what we tell users to run, what we call ourselves. Core logic reads these values
// instead of carrying its own `#ifdef`s; both profiles are built everywhere so each can be tested
// on any machine, and current() is the one place the choice is made.
struct PlatformProfile {
    // The device name usque registers with the provider.
    std::string usqueDeviceName;
    // The script that fetches usque, as named in the "not found" texts.
    std::string usqueFetchScript;
    // Places usque is looked for after PATH and the copies shipped beside the client.
    std::vector<std::string> usqueInstallLocations;

    std::string curl;
    std::string which;
    std::string lsof;
    std::string ps;

    // The official WARP client: its command-line tool, files that show it is installed, and the
    // names its processes run under.
    std::vector<std::string> warpCliPaths;
    std::vector<std::string> warpInstalledMarkers;
    std::vector<std::string> warpProcessNames;
    // Where the resolver configuration is read for the Tailscale DNS check, and where process
    // names come from ("" = not on this system).
    std::string resolvConf;
    std::string resolvectl;
    std::string scutil;
    std::string procRoot;
    // What the names of our tunnel devices begin with: nimbrad's own on Linux (nimbra0), the
    // kernel-numbered utun devices on macOS. The traffic monitor sums these until it learns
    // the daemon's exact interface.
    std::string tunnelInterfacePrefix;
    // What the "nimbrad not found" error tells the user, in English and in Chinese: the way to
    // get the daemon's executable on this system.
    struct {
        std::string english;
        std::string chinese;
    } nimbradHint;
    // The window's words that name the system. The description of the "System" theme, in
    // English and in Chinese.
    struct {
        std::string english;
        std::string chinese;
    } followSystemAppearance;
    // The TUN device the proxy hint names. macOS numbers its utun devices afresh on each run, so
    // the hint keeps the generic name; Linux names the interface the daemon reports, and this
    // (nimbrad's default device) until it has reported one.
    std::string hintTunnelDevice;
    bool hintNamesReportedTunnelDevice = false;
    // The per-app rule list a new user starts with, in the order shown.
    std::vector<AppPreset> appRulePresets;
    // The per-app rules panel's words that name the system's own tools: the file picker's button,
    // the row action that shows an app in the file manager, and what an app's identifier is called
    // in the search field's hint.
    Wording chooseAppFromDisk;
    Wording showInFileManager;
    Wording searchAppPlaceholder;

    static PlatformProfile forLinux();
    static PlatformProfile forMacos();
    // The profile of the system this binary was built for.
    static const PlatformProfile& current();
};

}  // namespace nimbra
