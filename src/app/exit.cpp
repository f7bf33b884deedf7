// The two ways a run ends. "退出" saves the held rows and ends the program at once; closing
// the window any other way asks about unsaved rows first. A store that fails on either
// path keeps the program running with the rows, so the cause can be mended and the exit
// tried again.

#include "app/form1.h"
#include "records/save_failure.h"

#include <QCloseEvent>
#include <QPushButton>

namespace app {

void Form1::Command2_Click() {
    hide();
    if (!saveBeforeLeaving())
        return;
    m_platform.endProgram();
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
    if (answer == vbNo)
        return;
    hide();
    if (!saveBeforeLeaving()) {
        Cancel = 1;
        return;
    }
    messages().MsgBox(QStringLiteral("您的数据已经保存成功！感谢使用本软件！"),
                      vbOKOnly | vbInformation, QStringLiteral("消息"));
    m_platform.endProgram();
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

void Form1::closeEvent(QCloseEvent* event) {
    // A close request that arrives while another event waits in a modal box is refused; the
    // operator can close again once that box is answered.
    std::int16_t cancel = 0;
    if (!runEvent([&] { Form_Unload(cancel); }))
        cancel = 1;
    if (cancel != 0)
        event->ignore();
    else
        event->accept();
}

} // namespace app
