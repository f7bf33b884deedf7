// The first serial port: its line settings, opening and closing. Each procedure reports its
// own failure in a message box with the text alone and returns normally.

#include "app/form1.h"
#include "platform/failure.h"

namespace app {

void Form1::Comm_Load() {
    try {
        MSComm1->setSettings(QStringLiteral("9600,n,8,1"));
        MSComm1->setCommPort(1);
    } catch (const platform::Failure&) {
        messages().MsgBox(QStringLiteral("Com1不存在或者正在被使用！"));
    }
}

void Form1::Comm_Open() {
    try {
        MSComm1->setPortOpen(true);
    } catch (const platform::Failure&) {
        messages().MsgBox(QStringLiteral("端口已打开或正在被使用！"));
    }
}

void Form1::Comm_Close() {
    try {
        MSComm1->setPortOpen(false);
    } catch (const platform::Failure&) {
        messages().MsgBox(QStringLiteral("端口已关闭！"));
    }
}

} // namespace app
