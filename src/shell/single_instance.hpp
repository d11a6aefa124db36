#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>
#include <memory>

#include "shell/launch_request.hpp"

namespace nimbra::shell {

// The first launch's hold on the application id, and its end of the channel later launches use.
//
// With a session bus, the holder owns kAppId as a well-known name (the bus hands it to one
// connection only, so two launches at the same instant cannot both win) and exports itself at
// kAppObjectPath with the methods Show, Toggle, ShowAppRules and ToggleConnection. Without one, it
// holds an flock on <runtime dir>/<id>.lock and listens on <runtime dir>/<id>.socket (owner-only),
// where a later launch writes the method's name and a newline and reads "ok" back once it was
// carried out.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "io.github.nimbra.Nimbra")

public:
    // Claims the id for this process. Null when another process holds it (or the claim failed:
    // the caller then tries to reach the holder and says so when that fails too).
    static std::unique_ptr<SingleInstance> claim();
    ~SingleInstance() override;

    // The local socket's path in the runtime folder, used when there is no session bus.
    static QString socketPath();

public Q_SLOTS:
    Q_SCRIPTABLE void Show();
    Q_SCRIPTABLE void Toggle();
    Q_SCRIPTABLE void ShowAppRules();
    Q_SCRIPTABLE void ToggleConnection();

Q_SIGNALS:
    // A later launch asked for `request`; handled before that launch gets its answer.
    void requested(nimbra::shell::LaunchRequest request);

private:
    SingleInstance() = default;
    bool claimOnBus();
    bool claimLocally();
    void answer(QLocalSocket* socket);

    int lockFd_ = -1;
    std::unique_ptr<QLocalServer> server_;
};

// Hands `request` to the process holding the id and waits for it to be carried out. False (with
// the reason on stderr) when no holder answered.
bool forwardToFirstInstance(LaunchRequest request);

}  // namespace nimbra::shell
