#include "platform/own_program.h"

#include <QCoreApplication>
#include <QProcess>

namespace platform {

bool startOwnProgram(const QStringList& arguments) {
    // Every file the program opens is closed on exec (Qt opens them so, the journal too), so
    // the new process holds none of this one's files, locks or port.
    return QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments);
}

} // namespace platform
