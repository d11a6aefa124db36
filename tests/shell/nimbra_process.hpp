#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>

#include "support/temp_dir.hpp"

namespace nimbra::testing {

// The real `nimbra` as a process of the test's own, with a home, XDG folders and preferences
// under <dir>/<name>. Launches in the same <dir> share its runtime folder (the single-instance
// fallback's lock and socket live there), so a later one reaches the first. Its window's life
// ("built", "shown", "hidden", tab requests) comes on stderr through the "nimbra.window" debug
// category. Ended by SIGTERM, as a session would end it, if it still runs.
struct NimbraProcess {
    struct Setup {
        QString platform = QStringLiteral("offscreen");
        // The session bus: this process's own when unset, none when empty.
        std::optional<std::string> bus;
    };

    NimbraProcess(const TempDir& dir, const std::string& name, const QStringList& arguments,
                  const Setup& setup);
    ~NimbraProcess();

    // Its controller exists once it wrote its preferences (a later launch must never get there).
    bool controllerStarted() const;
    // Everything it wrote on stderr so far, one entry per line.
    QStringList stderrLines();
    // Its "nimbra.window" lines so far, without the category.
    QStringList windowLog();

    QString prefs;
    QString log;
    QProcess process;
};

}  // namespace nimbra::testing
