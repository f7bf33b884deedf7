#pragma once
// The file-open dialog: a filter list ("description|pattern|..."), the selected entry, a
// file name in and out, and the modal showing.

#include <QString>

namespace platform {

class FileDialog {
public:
    virtual ~FileDialog() = default;
    virtual void setFilter(const QString& filter) = 0;
    // 1-based entry of the filter list.
    virtual void setFilterIndex(int index) = 0;
    virtual void setFileName(const QString& fileName) = 0;
    // The full path of the chosen file after ShowOpen, or unchanged after a cancel.
    virtual QString fileName() const = 0;
    // Shows the dialog for opening a file and returns when it is closed; a cancel is not a
    // failure.
    virtual void ShowOpen() = 0;
};

} // namespace platform
