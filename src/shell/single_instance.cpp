#include "shell/single_instance.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QLocalSocket>
#include <QStandardPaths>
#include <cstdio>
#include <optional>

#include "shell/app_id.hpp"

namespace nimbra::shell {
namespace {

// Bounds every exchange with the first instance. It answers from its event loop, which a
// starting instance only enters once its controller is built: generous, but never endless.
constexpr int kAnswerTimeoutMs = 30'000;
// A method name and its newline; anything longer is not ours.
constexpr qint64 kLongestLine = 32;

QString fromView(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

const char* methodName(LaunchRequest request) {
    switch (request) {
        case LaunchRequest::toggle:
            return "Toggle";
        case LaunchRequest::showAppRules:
            return "ShowAppRules";
        case LaunchRequest::toggleConnection:
            return "ToggleConnection";
        case LaunchRequest::show:
            break;
    }
    return "Show";
}

std::optional<LaunchRequest> requestNamed(const QByteArray& name) {
    for (LaunchRequest request : {LaunchRequest::show, LaunchRequest::toggle,
                                  LaunchRequest::showAppRules, LaunchRequest::toggleConnection}) {
        if (name == methodName(request)) return request;
    }
    return std::nullopt;
}

QString runtimeFile(const char* suffix) {
    // Qt checks that the folder is the user's own with mode 0700 and makes one when
    // XDG_RUNTIME_DIR is unset, so neither file can sit where another user could reach it.
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + '/' +
           fromView(kAppId) + QLatin1String(suffix);
}

bool forwardOverBus(QDBusConnection& bus, LaunchRequest request) {
    QDBusMessage call = QDBusMessage::createMethodCall(fromView(kAppId), fromView(kAppObjectPath),
                                                       fromView(kAppId), methodName(request));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kAnswerTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage) return true;
    std::fprintf(stderr, "nimbra: the running instance did not answer: %s\n",
                 qPrintable(reply.errorMessage()));
    return false;
}

bool forwardOverSocket(LaunchRequest request) {
    QLocalSocket socket;
    socket.connectToServer(SingleInstance::socketPath());
    if (!socket.waitForConnected(kAnswerTimeoutMs)) {
        std::fprintf(stderr, "nimbra: cannot reach the running instance at %s: %s\n",
                     qPrintable(SingleInstance::socketPath()), qPrintable(socket.errorString()));
        return false;
    }
    socket.write(QByteArray(methodName(request)) + '\n');
    while (!socket.canReadLine() && socket.waitForReadyRead(kAnswerTimeoutMs)) {
    }
    if (socket.readLine(kLongestLine) == "ok\n") return true;
    std::fprintf(stderr, "nimbra: the running instance did not answer\n");
    return false;
}

}  // namespace

std::unique_ptr<SingleInstance> SingleInstance::claim() {
    std::unique_ptr<SingleInstance> instance(new SingleInstance);
    const bool claimed = QDBusConnection::sessionBus().isConnected() ? instance->claimOnBus()
                                                                     : instance->claimLocally();
    return claimed ? std::move(instance) : nullptr;
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file before the lock goes
    if (lockFd_ >= 0) ::close(lockFd_);
}

QString SingleInstance::socketPath() {
    return runtimeFile(".socket");
}

bool SingleInstance::claimOnBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    // The object first: whoever sees the name owned can call it at once.
    if (!bus.registerObject(fromView(kAppObjectPath), this,
                            QDBusConnection::ExportScriptableSlots)) {
        return false;
    }
    if (bus.registerService(fromView(kAppId))) return true;
    bus.unregisterObject(fromView(kAppObjectPath));
    return false;
}

bool SingleInstance::claimLocally() {
    const QByteArray lockPath = QFile::encodeName(runtimeFile(".lock"));
    lockFd_ = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        // Nowhere to hold the lock: running unguarded beats not running at all.
        std::fprintf(stderr, "nimbra: cannot open %s; not checking for another instance\n",
                     lockPath.constData());
        return true;
    }
    // The kernel drops the lock with the process, so a crashed holder never blocks a new start.
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) return false;
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    // Holding the lock, any socket file left there belongs to a holder that is gone.
    QLocalServer::removeServer(socketPath());
    if (!server_->listen(socketPath())) {
        std::fprintf(stderr, "nimbra: cannot listen at %s: %s\n", qPrintable(socketPath()),
                     qPrintable(server_->errorString()));
        return true;  // we are still the only instance; later launches just cannot reach us
    }
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { answer(socket); });
        }
    });
    return true;
}

void SingleInstance::answer(QLocalSocket* socket) {
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kLongestLine) socket->abort();
        return;
    }
    const std::optional<LaunchRequest> request =
        requestNamed(socket->readLine(kLongestLine).trimmed());
    if (request) {
        Q_EMIT requested(*request);
        socket->write("ok\n");
    }
    socket->disconnectFromServer();
}

void SingleInstance::Show() {
    Q_EMIT requested(LaunchRequest::show);
}

void SingleInstance::Toggle() {
    Q_EMIT requested(LaunchRequest::toggle);
}

void SingleInstance::ShowAppRules() {
    Q_EMIT requested(LaunchRequest::showAppRules);
}

void SingleInstance::ToggleConnection() {
    Q_EMIT requested(LaunchRequest::toggleConnection);
}

bool forwardToFirstInstance(LaunchRequest request) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected() ? forwardOverBus(bus, request) : forwardOverSocket(request);
}

}  // namespace nimbra::shell
