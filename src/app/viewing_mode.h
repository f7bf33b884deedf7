#pragma once
// The program's viewing mode. "查看" starts the program again as `weighbridge --view FILE`:
// that process shows the one workbook in a viewer window and ends when the window is closed.
// It takes no lock, opens no port and no journal, so any number of viewings run beside the
// recorder and outlive it, and nothing a file does to a viewer reaches the recorder.

#include "workbook/error.h"

#include <QString>
#include <QStringList>

#include <optional>

namespace platform {
class MessageBoxes;
}
namespace records {
class WorkbookViewer;
}

namespace app {

// The arguments that start a viewing of `path`.
QStringList viewingArguments(const QString& path);

// The file a viewing is started on: the program's arguments (its own name first) are exactly
// "--view" and a file. Nothing for any other start, which is the recorder's.
std::optional<QString> viewingPath(const QStringList& arguments);

// What the operator is told of a chosen file that cannot be shown.
QString cannotOpenText(const workbook::Error& error);

// Reads the workbook at `path` and shows it in a viewer window of its own. A file that cannot
// be read is told through `messages`; nothing opens then and the result is null.
records::WorkbookViewer* showViewing(const QString& path, platform::MessageBoxes& messages);

} // namespace app
