#include "workbook/shared_files.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace workbook {

namespace {

constexpr mode_t kNew = 0664;
constexpr mode_t kGroupReadWrite = 0060;

} // namespace

mode_t sharedMode(const QString& replaced) {
    struct stat st {};
    if (replaced.isEmpty() || ::stat(QFile::encodeName(replaced).constData(), &st) != 0)
        return kNew;
    // Set-id and sticky bits never pass to a new file of this account.
    return (st.st_mode & 0777) | kGroupReadWrite;
}

void makeShared(int fd, const QString& replaced) {
    ::fchmod(fd, sharedMode(replaced));
}

void makeShared(const QString& path) {
    ::chmod(QFile::encodeName(path).constData(), sharedMode());
}

int openShared(const QString& path, int flags) {
    const QByteArray name = QFile::encodeName(path);
    // The open mode passes through the umask: a file this call made gets its mode afterwards.
    int fd = ::open(name.constData(), flags | O_CREAT | O_EXCL, kNew);
    if (fd >= 0) {
        makeShared(fd);
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    fd = ::open(name.constData(), flags);
    if (fd >= 0)
        shareIfOwned(fd, path);
    return fd;
}

void shareIfOwned(int fd, const QString& path) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() &&
        (st.st_mode & kGroupReadWrite) != kGroupReadWrite)
        makeShared(fd, path);
}

} // namespace workbook
