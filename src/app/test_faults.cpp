// The faults of the program's test build (see build_faults.h). Only weighbridge_testport is
// built with it.

#include "app/build_faults.h"

#include <QTimer>

#include <csignal>

namespace app {

void viewerFault(const QString& firstSheet) {
    if (firstSheet == QStringLiteral("viewer-crash"))
        QTimer::singleShot(1000, [] { std::raise(SIGSEGV); });
}

} // namespace app
