// Starts the recorder: one window on the first serial port, storing into the program's
// own folder; or, as `weighbridge --view FILE`, a viewing of one saved workbook.

#include "app/build_faults.h"
#include "app/form1.h"
#include "app/program_clock.h"
#include "app/viewing_mode.h"
#include "app/workbook_viewer.h"
#include "platform/blocked_close.h"
#include "platform/com1_device.h"
#include "platform/own_program.h"
#include "platform/serial_comm_control.h"
#include "platform/single_instance.h"
#include "platform/termination.h"
#include "platform/translations.h"
#include "workbook/aftercare.h"
#include "workbook/shared_files.h"

#include <QApplication>

#include <cstdlib>

#ifndef WEIGHBRIDGE_COM1
#define WEIGHBRIDGE_COM1 "/dev/ttyS0"
#endif
#ifndef WEIGHBRIDGE_COM1_LINK
#define WEIGHBRIDGE_COM1_LINK "/dev/weighbridge-com1"
#endif

namespace {

// A viewing: the viewer window until it is closed. No lock, no port, no journal.
int runViewing(const QString& path) {
    platform::QtMessageBoxes messages;
    const records::WorkbookViewer* viewer = app::showViewing(path, messages);
    if (viewer == nullptr)
        return 1;
    app::viewerFault(viewer->sheets().front().name());
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("weighbridge"));
    platform::installToolkitTranslation(application);

    if (const std::optional<QString> viewed = app::viewingPath(QApplication::arguments()))
        return runViewing(*viewed);

    // One recorder per folder: a second start leaves the running one's journal and port alone.
    const QString folder = QApplication::applicationDirPath();
    platform::SingleInstance instance(folder);
    if (!instance.acquire()) {
        platform::QtMessageBoxes().MsgBox(
            QStringLiteral("地磅数据记录系统已经在运行，不能再打开一个。\n请使用已经打开的窗口。"),
            platform::msgbox::vbOKOnly | platform::msgbox::vbInformation, {});
        return 0;
    }
    // Another operator's start takes over the lock a crash of this run leaves: it must be able
    // to open it.
    workbook::makeShared(instance.path());

    app::Platform parts;
    parts.comm = std::make_unique<platform::SerialCommControl>(platform::com1Device(
        QStringLiteral(WEIGHBRIDGE_COM1_LINK), QStringLiteral(WEIGHBRIDGE_COM1)));
    parts.messages = std::make_unique<platform::QtMessageBoxes>();
    parts.dialog = std::make_unique<platform::QtFileDialog>();
    parts.programFolder = folder;
    parts.clock = app::programClock(parts.programFolder);
    parts.endProgram = [&instance] {
        workbook::settle(); // the last store's leftovers removed, its old file let go
        instance.release();
        std::_Exit(0);
    };
    parts.startViewing = [](const QString& path) {
        return platform::startOwnProgram(app::viewingArguments(path));
    };

    app::Form1 form(std::move(parts));
    platform::endOnTermination(&form, [&form] { form.Terminate(); });
    platform::watchBlockedClose(&form, [&form] { form.closeAskedUnderBox(); });
    instance.onRaiseAsked([&form] {
        if (!form.isVisible())
            return; // hidden while its rows are stored on the way out
        form.setWindowState(form.windowState() & ~Qt::WindowMinimized);
        form.raise();
        form.activateWindow();
    });
    form.start();
    return QApplication::exec();
}
