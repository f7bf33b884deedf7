#pragma once
// The viewer window: one saved workbook shown read-only as a spreadsheet shows it, a tab per
// worksheet with column letters and row numbers and every cell as text. The window holds the
// workbook in memory (the file is not kept open), belongs to no other window, and frees
// itself when it is closed; nothing else keeps a reference to it. It is the one window of a
// viewing process (viewing_mode.h), which ends when it is closed.

#include "workbook/book.h"

#include <QAbstractTableModel>
#include <QTableView>
#include <QWidget>

class QLabel;
class QTabWidget;

namespace records {

// The spreadsheet name of a 1-based column: 1 "A", 26 "Z", 27 "AA", 256 "IV".
QString columnName(int column);

// A cell as the viewer shows it: a text as it is, a number without the leading space of its
// number text (" 15.25" shows as "15.25"), a boolean as "TRUE" or "FALSE".
QString cellText(const workbook::Value& value);

// The selected cells of `model` as a spreadsheet copies them: the rectangle around the
// selection, a row a line ending in "\n", cells separated by tabs; cells inside the
// rectangle but not selected are left empty.
QString selectionText(const QAbstractItemModel& model, const QModelIndexList& selected);

// One worksheet as a read-only table, with a screenful of empty rows and columns around
// the cells in use as a spreadsheet has.
class SheetModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    // `sheet` must outlive the model.
    explicit SheetModel(const workbook::Sheet& sheet, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const workbook::Sheet& sheet() const { return m_sheet; }

private:
    const workbook::Sheet& m_sheet;
    int m_rows;
    int m_columns;
};

// A sheet's table: selection and copying (Ctrl+C, or the context menu) but no editing.
class SheetView final : public QTableView {
    Q_OBJECT
public:
    explicit SheetView(QWidget* parent = nullptr);
    // Puts the selected cells on the clipboard as tab-separated text.
    void copySelection();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

class WorkbookViewer final : public QWidget {
    Q_OBJECT
public:
    // Shows `book`, read from the file at `path`, in a new window of its own and returns it.
    // The window deletes itself when it is closed.
    static WorkbookViewer* open(const QString& path, workbook::Book book);

    const QString& path() const { return m_path; }
    const workbook::Book& book() const { return m_book; }
    QTabWidget* tabs() const { return m_tabs; }
    SheetView* sheetView(int index) const;

private:
    WorkbookViewer(QString path, workbook::Book book);
    void openElsewhere();

    const QString m_path;
    const workbook::Book m_book; // the sheets the models show
    QTabWidget* m_tabs = nullptr;
    QLabel* m_note = nullptr;
};

} // namespace records
