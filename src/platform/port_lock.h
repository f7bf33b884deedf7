#pragma once
// The lock file the serial port layer keeps beside an open device: "LCK.." and the device's
// name in the system's lock folder (/run/lock), holding the number of the process that opened
// it. A program that is killed leaves its lock behind. The next program removes such a lock
// itself when it may; when the lock is another account's in a folder with the sticky bit (as
// /run/lock is), it cannot, and the port stays closed to it until the lock is gone.

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

namespace platform {

struct StaleLock {
    QString path;  // the lock file, its folder's links resolved
    QString owner; // the account the file belongs to (its number when it has no name)
    qint64 pid = 0;
};

// The lock file's name for `device`: "LCK.." and the device's path without "/dev/", each "/"
// written as "_" ("/dev/ttyUSB0" gives "LCK..ttyUSB0").
QString lockFileName(const QString& device);

// The folders the serial port layer keeps its lock files in, in the order it tries them.
QStringList lockFolders();

// The lock of `device` (in the first of `folders` that the serial port layer would take: one it
// may read that holds the lock or that it may write), when its process no longer runs and the
// account `self` may not remove it; nothing when there is no lock, its process runs, it names
// no process, or `self` may remove it.
std::optional<StaleLock> staleLock(const QString& device,
                                   const QStringList& folders = lockFolders(),
                                   uid_t self = ::geteuid());

} // namespace platform
