#pragma once
// The one error type of the workbook component: what went wrong, with the file it concerns
// and a reason an operator can read.

#include <QString>

#include <stdexcept>

namespace workbook {

class Error : public std::runtime_error {
public:
    enum class Kind {
        Missing,     // no file at that path
        NotWorkbook, // the file exists but is no .xls workbook at all (empty, text, zip, ...)
        Damaged,     // it looks like a workbook but its contents cannot be read
        Encrypted,   // the workbook is protected by a password
        FormatLimit, // more rows, columns, characters or sheets than an .xls can hold
        Io,          // the operating system refused a read or a write
        NoSuchSheet, // a worksheet looked up by a name or an index that is not there
        InvalidUse,  // an operation that cannot apply (closed workbook, bad row or name, ...)
        Unkeepable,  // readable, but the record-level editor cannot edit it without losing
                     // something (Editor::open() and trySave() return this as a reason)
    };

    // `file` may be empty when the error concerns no file.
    Error(Kind kind, const QString& file, const QString& reason);

    Kind kind() const { return m_kind; }
    const QString& file() const { return m_file; }
    const QString& reason() const { return m_reason; }
    // "<file>: <reason>", or the reason alone; the same text as what().
    QString message() const;

private:
    Kind m_kind;
    QString m_file;
    QString m_reason;
};

} // namespace workbook
