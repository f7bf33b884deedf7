#pragma once
// Reading and writing whole .xls workbooks (BIFF8 inside an OLE2 compound file).

#include "workbook/book.h"
#include "workbook/look.h"

#include <QString>

namespace workbook {

// Every worksheet of the workbook at `path` with its name and its cell values: texts,
// numbers, booleans and the cached results of formulas. Cells whose number format is a date
// or a time come back as text ("2026-12-07", "2026-12-07 08:04:07", "08:04:07").
// Throws Error: Missing, NotWorkbook, Damaged, Encrypted or Io, naming the file.
Book readBook(const QString& path);

// A workbook as the viewer shows it: its cells with every number a number (the look's number
// formats show dates as dates) and an error value as its text, and how each sheet looks. A
// workbook of an older Excel version comes as readBook() gives it, with no look (its sheets
// show plain). Throws Error as readBook() does.
struct ViewedBook {
    Book book;
    BookLook look;
};
ViewedBook readForViewing(const QString& path);

// Writes `book` to `path` atomically: the workbook is written beside the target under a
// temporary name, flushed to disk and renamed over the target, so that the target holds
// either its old content or the new one at every instant. A failed save removes its
// temporary file and leaves the target untouched. The rename itself is on the disk only once
// the folder is synced (syncFolder): the caller does that, and checks it, before it tells
// anyone the file is stored. Throws Error: FormatLimit or InvalidUse (before any file is
// touched) or Io.
void writeBook(const Book& book, const QString& path);

// Brings the names created, renamed or removed in `folder` to the disk (a file's own data
// is synced on its own). 0, or the errno value of the step that failed.
int syncFolder(const QString& folder);

// Whether a file can be opened as a workbook, without changing anything on disk.
enum class FileState { Missing, Readable, Unreadable };
FileState fileState(const QString& path);

} // namespace workbook
