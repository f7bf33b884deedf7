#pragma once
// The file-open dialog: a filter list ("description|pattern|..."), the selected entry, a
// file name in and out, and the modal showing.

#include <QString>
#include <QStringList>

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

// A filter list "description|pattern|description|pattern..." as Qt name filters, one per
// entry: "description (patterns)", where several patterns of an entry, separated by ";",
// are separated by spaces. A description without its pattern is dropped.
QStringList qtNameFilters(const QString& filter);

// A Qt file dialog shown modally over the active window. It starts in the folder of the file
// name set; a name holding "*" or "?" is a pattern and filters the list, any other name is
// proposed as the file to open. After a choice fileName() is the chosen file's full path in
// the platform's form; after a cancel it is what was set.
class QtFileDialog final : public FileDialog {
public:
    void setFilter(const QString& filter) override { m_filter = filter; }
    void setFilterIndex(int index) override { m_filterIndex = index; }
    void setFileName(const QString& fileName) override { m_fileName = fileName; }
    QString fileName() const override { return m_fileName; }
    void ShowOpen() override;

private:
    QString m_filter;
    int m_filterIndex = 1;
    QString m_fileName;
};

} // namespace platform
