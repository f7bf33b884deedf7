#include "app/viewing_mode.h"

#include "app/workbook_viewer.h"
#include "platform/message_box.h"
#include "workbook/file_io.h"

#include <QDir>

namespace app {
namespace {
const QString kViewOption = QStringLiteral("--view");
} // namespace

QStringList viewingArguments(const QString& path) {
    return {kViewOption, path};
}

std::optional<QString> viewingPath(const QStringList& arguments) {
    if (arguments.size() != 3 || arguments[1] != kViewOption || arguments[2].isEmpty())
        return std::nullopt;
    return arguments[2];
}

QString cannotOpenText(const workbook::Error& error) {
    return QStringLiteral("无法打开所选的文件：\n%1\n原因：%2")
        .arg(QDir::toNativeSeparators(error.file()), error.reason());
}

records::WorkbookViewer* showViewing(const QString& path, platform::MessageBoxes& messages) {
    try {
        return records::WorkbookViewer::open(path, workbook::readForViewing(path));
    } catch (const workbook::Error& e) {
        messages.MsgBox(cannotOpenText(e), platform::msgbox::vbExclamation);
        return nullptr;
    }
}

} // namespace app
