// The first serial port: its line settings, opening and closing. Each procedure reports its
// own failure in a message box with the text alone and returns normally; a port kept closed
// by a lock that no running program holds is told apart from one in use.

#include "app/form1.h"
#include "platform/failure.h"

#include <QDir>

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
    } catch (const platform::StaleLockFailure& stale) {
        // No program holds the port: say what keeps it closed and how that is cleared.
        messages().MsgBox(
            QStringLiteral("端口被一个遗留的锁文件占用，无法打开：\n%1\n"
                           "这个文件属于账户“%2”，留下它的程序已不再运行，"
                           "但本账户无权删除它。\n"
                           "重新启动计算机即可清除它，或请管理员删除这个文件；"
                           "然后重新打开本程序。")
                .arg(QDir::toNativeSeparators(stale.lock().path), stale.lock().owner));
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
