#include "platform/port_lock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <limits>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The process number on the lock's first line (the serial port layer writes it in decimal,
// other programs right-aligned in ten characters); 0 when there is none.
qint64 lockPid(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    bool ok = false;
    const qint64 pid = file.readLine(64).trimmed().toLongLong(&ok);
    return ok && pid > 0 && pid <= std::numeric_limits<pid_t>::max() ? pid : 0;
}

bool running(qint64 pid) {
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Whether `self` may remove the file `file` from the folder `folder`.
bool removable(const struct stat& folder, const struct stat& file, const QString& folderPath,
               uid_t self) {
    if (self == 0)
        return true;
    if (::access(QFile::encodeName(folderPath).constData(), W_OK | X_OK) != 0)
        return false;
    return (folder.st_mode & S_ISVTX) == 0 || file.st_uid == self || folder.st_uid == self;
}

QString accountName(uid_t uid) {
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return QString::fromUtf8(found->pw_name);
    return QString::number(uid);
}

} // namespace

QString lockFileName(const QString& device) {
    QString name = device;
    if (name.startsWith(QLatin1String("/dev/")))
        name.remove(0, 5);
    return QStringLiteral("LCK..") + name.replace(QLatin1Char('/'), QLatin1Char('_'));
}

QStringList lockFolders() {
    return {QStringLiteral("/var/lock"),
            QStringLiteral("/etc/locks"),
            QStringLiteral("/var/spool/locks"),
            QStringLiteral("/var/spool/uucp"),
            QStringLiteral("/tmp"),
            QStringLiteral("/var/tmp"),
            QStringLiteral("/var/lock/lockdev"),
            QStringLiteral("/run/lock")};
}

std::optional<StaleLock> staleLock(const QString& device, const QStringList& folders, uid_t self) {
    for (const QString& folder : folders) {
        const QFileInfo dir(folder);
        const QString path = QDir(folder).filePath(lockFileName(device));
        if (!dir.isReadable() || !(QFileInfo::exists(path) || dir.isWritable()))
            continue;
        struct stat folderStat {};
        struct stat fileStat {};
        if (::stat(QFile::encodeName(folder).constData(), &folderStat) != 0 ||
            ::lstat(QFile::encodeName(path).constData(), &fileStat) != 0)
            return std::nullopt;
        const qint64 pid = lockPid(path);
        if (pid == 0 || running(pid) || removable(folderStat, fileStat, folder, self))
            return std::nullopt;
        return StaleLock{QDir(dir.canonicalFilePath()).filePath(lockFileName(device)),
                         accountName(fileStat.st_uid), pid};
    }
    return std::nullopt;
}

} // namespace platform
