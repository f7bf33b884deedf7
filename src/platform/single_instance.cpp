#include "platform/single_instance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace platform {
namespace {

// The running recorder's local socket for a folder: per account, since another account's
// window is not ours to raise.
QString serverName(const QString& folder) {
    const QByteArray digest =
        QCryptographicHash::hash(QDir(folder).absolutePath().toUtf8(), QCryptographicHash::Sha256)
            .toHex()
            .left(16);
    return QStringLiteral("weighbridge-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

} // namespace

SingleInstance::SingleInstance(const QString& folder)
    : m_folder(folder), m_lock(QDir(folder).filePath(fileName())) {
    // Only a lock whose process is gone is stale, however old it is.
    m_lock.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::fileName() {
    return QStringLiteral(".weighbridge-running");
}

bool SingleInstance::acquire() {
    if (m_lock.tryLock(0))
        return true;
    if (m_lock.error() != QLockFile::LockFailedError)
        return true; // no lock can be made there: the store's own checks report the folder
    QLocalSocket running;
    running.connectToServer(serverName(m_folder));
    if (running.waitForConnected(500)) {
        running.write("raise\n");
        running.waitForBytesWritten(500);
        running.disconnectFromServer();
    }
    return false;
}

void SingleInstance::release() {
    m_lock.unlock();
}

QString SingleInstance::path() const {
    return QDir(m_folder).filePath(fileName());
}

void SingleInstance::onRaiseAsked(std::function<void()> raise) {
    m_server = std::make_unique<QLocalServer>();
    const QString name = serverName(m_folder);
    QLocalServer::removeServer(name); // left by a run of this account that crashed
    if (!m_server->listen(name))
        return;
    QObject::connect(m_server.get(), &QLocalServer::newConnection, m_server.get(),
                     [server = m_server.get(), raise = std::move(raise)] {
                         while (QLocalSocket* asking = server->nextPendingConnection()) {
                             QObject::connect(asking, &QLocalSocket::disconnected, asking,
                                              &QObject::deleteLater);
                             raise();
                         }
                     });
}

} // namespace platform
