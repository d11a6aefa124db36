#include "daemon/launchd_files.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "base/subprocess.hpp"
#include "daemon/daemon_error.hpp"
#include "daemon/daemon_install_text.hpp"

namespace nimbra::launchd {
namespace {

using daemon_install::shellQuote;
using daemon_install::xmlEscape;

std::string stringLine(std::string_view indent, std::string_view value) {
    return std::string(indent) + "<string>" + std::string(value) + "</string>\n";
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::string propertyList(const DaemonFiles& files) {
    std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n"
        "<dict>\n"
        "  <key>Label</key>\n";
    plist += stringLine("  ", kLabel);
    plist += "  <key>ProgramArguments</key>\n  <array>\n";
    for (const std::string& argument :
         {std::string(kInstalledExecutable), std::string("-config"),
          xmlEscape(files.config.string()), std::string("-usque-config"),
          xmlEscape(files.registration.string()), std::string("-sock"),
          std::string("/var/run/nimbra.sock"), std::string("-listen"), std::string("127.0.0.1:53"),
          std::string("-log"), xmlEscape(files.log.string())}) {
        plist += stringLine("    ", argument);
    }
    plist +=
        "  </array>\n"
        "  <key>RunAtLoad</key>\n"
        "  <true/>\n"
        "  <key>KeepAlive</key>\n"
        "  <true/>\n"
        // Of the systemd unit's confinement, launchd offers only the file mode mask (0077: the
        // journals and the registration copy stay root's alone). It has no capability bounding
        // set, no read-only file system and no system call filter for a daemon run as root.
        "  <key>Umask</key>\n"
        "  <integer>63</integer>\n"
        "  <key>StandardOutPath</key>\n";
    plist += stringLine("  ", kBootLog);
    plist += "  <key>StandardErrorPath</key>\n";
    plist += stringLine("  ", kBootLog);
    plist += "</dict>\n</plist>";
    return plist;
}

std::string installScript(const std::filesystem::path& stagedExecutable,
                          const std::filesystem::path& stagedPropertyList,
                          const std::optional<std::filesystem::path>& stagedUsque) {
    std::string script =
        std::string(
            "#!/bin/bash\n"
            "set -euo pipefail\n"
            "/bin/mkdir -p /usr/local/libexec\n"
            "/bin/launchctl bootout system/com.nimbra.daemon 2>/dev/null || true\n") +
        "/usr/bin/install -o root -g wheel -m 0755 " + shellQuote(stagedExecutable.string()) + " " +
        shellQuote(kInstalledExecutable) + "\n";
    if (stagedUsque) {
        script += "/usr/bin/install -o root -g wheel -m 0755 " + shellQuote(stagedUsque->string()) +
                  " " + kInstalledUsque + "\n";
    }
    return script + "/usr/bin/install -o root -g wheel -m 0644 " +
           shellQuote(stagedPropertyList.string()) + " " + kServiceDefinition + "\n" +
           "/bin/launchctl bootstrap system " + kServiceDefinition + "\n" + "/bin/sleep 0.4\n" +
           "/bin/launchctl kickstart -k system/com.nimbra.daemon 2>/dev/null || true";
}

void runAdmin(const std::filesystem::path& script, const std::string& osascript) {
    const std::string command = "do shell script \"/bin/bash " + shellQuote(script.string()) +
                                "\" with administrator privileges";
    Subprocess::ExitStatus status;
    std::string output;
    try {
        // No time-out: the prompt waits for the user as long as they take.
        Subprocess::Options options;
        options.argv = {osascript, "-e", command};
        options.output = Subprocess::Output::joined;
        auto child = Subprocess::start(std::move(options));
        status = child.wait();
        output = child.takeStdout();
    } catch (const SubprocessError& failure) {
        throw DaemonError(DaemonError::InstallFailed{failure.what()});
    }
    if (status.succeeded()) return;
    const std::string folded = lowercase(output);
    if (folded.find("user canceled") != std::string::npos ||
        folded.find("-128") != std::string::npos) {
        throw DaemonError(DaemonError::InstallCanceled{});
    }
    throw DaemonError(DaemonError::InstallFailed{
        !output.empty() ? output : "osascript status " + std::to_string(status.code)});
}

}  // namespace nimbra::launchd
