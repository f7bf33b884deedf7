#include "platform/message_box.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>

namespace platform {
namespace {

// A box that only its buttons can answer.
class AnswerOnlyBox final : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Escape) {
            event->ignore();
            return;
        }
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override { event->ignore(); }
};

} // namespace

int QtMessageBoxes::MsgBox(const QString& prompt, int style, const QString& title) {
    const QString caption = title.isEmpty() ? kApplicationTitle : title;
    const bool yesNo = (style & 0x0F) == msgbox::vbYesNo;
    const int icon = style & 0x70;
    const QMessageBox::Icon qIcon = icon == msgbox::vbCritical      ? QMessageBox::Critical
                                    : icon == msgbox::vbQuestion    ? QMessageBox::Question
                                    : icon == msgbox::vbExclamation ? QMessageBox::Warning
                                    : icon == msgbox::vbInformation ? QMessageBox::Information
                                                                    : QMessageBox::NoIcon;
    if (!yesNo) {
        QMessageBox box(qIcon, caption, prompt, QMessageBox::Ok);
        box.exec();
        return msgbox::vbOK;
    }
    AnswerOnlyBox box(qIcon, caption, prompt, QMessageBox::Yes | QMessageBox::No);
    box.setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    box.setEscapeButton(static_cast<QAbstractButton*>(nullptr));
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Yes) ? msgbox::vbYes : msgbox::vbNo;
}

} // namespace platform
