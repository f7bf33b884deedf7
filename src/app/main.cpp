// Starts the recorder: one window on the first serial port, storing into the program's
// own folder.

#include "app/form1.h"
#include "platform/com1_device.h"
#include "platform/serial_comm_control.h"
#include "platform/termination.h"
#include "platform/translations.h"

#include <QApplication>

#include <cstdlib>

#ifndef WEIGHBRIDGE_COM1
#define WEIGHBRIDGE_COM1 "/dev/ttyS0"
#endif
#ifndef WEIGHBRIDGE_COM1_LINK
#define WEIGHBRIDGE_COM1_LINK "/dev/weighbridge-com1"
#endif

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("weighbridge"));
    platform::installToolkitTranslation(application);

    app::Platform parts;
    parts.comm = std::make_unique<platform::SerialCommControl>(platform::com1Device(
        QStringLiteral(WEIGHBRIDGE_COM1_LINK), QStringLiteral(WEIGHBRIDGE_COM1)));
    parts.messages = std::make_unique<platform::QtMessageBoxes>();
    parts.clock = std::make_unique<platform::SystemClock>();
    parts.dialog = std::make_unique<platform::QtFileDialog>();
    parts.programFolder = QApplication::applicationDirPath();
    parts.endProgram = [] { std::_Exit(0); };

    app::Form1 form(std::move(parts));
    platform::endOnTermination(&form, [&form] { form.Terminate(); });
    form.start();
    return QApplication::exec();
}
