// The ways a run ends. "退出" saves the held rows and ends the program at once; closing the
// window any other way asks about unsaved rows first. A store that fails on either path
// keeps the program running with the rows, so the cause can be mended and the exit tried
// again. The end asked for by the system saves without asking, whatever box is open. Every
// way out closes the serial port, so its lock is not left behind.

#include "app/form1.h"
#include "platform/failure.h"
#include "records/journal.h"
#include "records/save_failure.h"

#include <QApplication>
#include <QCloseEvent>
#include <QPushButton>
#include <QTimer>
#include <QtDebug>

namespace app {

void Form1::Command2_Click() {
    hide();
    if (!saveBeforeLeaving())
        return;
    endProgramNow();
}

void Form1::Form_Unload(std::int16_t& Cancel) {
    using namespace platform::msgbox;
    if (!Command4->isEnabled()) {
        messages().MsgBox(QStringLiteral("感谢使用本软件！"), vbOKOnly | vbInformation,
                          QStringLiteral("消息"));
        return;
    }
    const int answer = messages().MsgBox(QStringLiteral("还有数据没有保存，是否保存？"),
                                         vbYesNo | vbQuestion, QStringLiteral("保存信息"));
    if (answer == vbNo) {
        discardHeldRows();
        return;
    }
    hide();
    if (!saveBeforeLeaving()) {
        Cancel = 1;
        return;
    }
    messages().MsgBox(QStringLiteral("您的数据已经保存成功！感谢使用本软件！"),
                      vbOKOnly | vbInformation, QStringLiteral("消息"));
    endProgramNow();
}

bool Form1::saveBeforeLeaving() {
    try {
        Save_date();
        return true;
    } catch (const std::exception& e) {
        // The window comes back with the rows and the save button as they were.
        show();
        reportUnhandled(e);
        return false;
    }
}

platform::MessageBoxes& Form1::messages() {
    // At the end asked for by the system nobody answers a box: none is shown.
    struct Silent final : platform::MessageBoxes {
        int MsgBox(const QString&, int style, const QString&) override {
            return (style & 0x0F) == platform::msgbox::vbYesNo ? platform::msgbox::vbYes
                                                               : platform::msgbox::vbOK;
        }
    };
    static Silent silent;
    if (m_terminating)
        return silent;
    return *m_platform.messages;
}

void Form1::Terminate() {
    if (std::exchange(m_terminating, true))
        return;
    // Boxes still waiting for an answer go first; nobody is there to answer them.
    for (int n = 0; n < 16; ++n) {
        QWidget* box = QApplication::activeModalWidget();
        if (!box || box == this)
            break;
        box->hide();
    }
    hide();
    Timer1->stop();
    Timer3->stop();
    Timer4->stop();
    try {
        Save_date(); // nothing when a store before this one took the rows
    } catch (const std::exception& e) {
        // The rows stay in the journal and come back at the next start.
        qWarning("weighbridge: the held rows were not stored at the end: %s", e.what());
    }
    endProgramNow();
}

void Form1::releasePort() {
    if (MSComm1->portOpen()) {
        try {
            MSComm1->setPortOpen(false);
        } catch (const platform::Failure&) {
        }
    }
}

void Form1::endProgramNow() {
    releasePort();
    if (m_journal)
        m_journal->waitSynced();
    m_platform.endProgram();
}

void Form1::closeAskedUnderBox() {
    m_closePending = true;
}

void Form1::closeEvent(QCloseEvent* event) {
    m_closePending = false; // this is the close asked for
    if (m_terminating) {
        event->accept();
        return;
    }
    std::int16_t cancel = 0;
    if (!runEvent([&] { Form_Unload(cancel); })) {
        // Another event waits in a modal box: the close takes effect once it is answered.
        m_closePending = true;
        event->ignore();
        return;
    }
    if (cancel != 0) {
        event->ignore();
        return;
    }
    releasePort();
    event->accept();
}

} // namespace app
