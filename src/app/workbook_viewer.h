#pragma once
// The viewer window: one saved workbook shown read-only as a spreadsheet application shows it,
// a tab per worksheet with column letters and row numbers. What the file says of its look is
// drawn (workbook/look.h): number formats, fonts, fills and alignment, column widths and row
// heights, hidden rows and columns, merged ranges, frozen panes, and a comment's marker with
// the comment on hover; the rest shows plain. The window holds the workbook in memory (the
// file is not kept open), belongs to no other window, and frees itself when it is closed;
// nothing else keeps a reference to it. It is the one window of a viewing process
// (viewing_mode.h), which ends when it is closed.

#include "app/viewer_cells.h"
#include "workbook/book.h"
#include "workbook/file_io.h"
#include "workbook/look.h"
#include "workbook/number_format.h"

#include <QAbstractTableModel>
#include <QFont>
#include <QHash>
#include <QTableView>
#include <QWidget>

#include <optional>

class QLabel;
class QTabWidget;

namespace records {

// The spreadsheet name of a 1-based column: 1 "A", 26 "Z", 27 "AA", 256 "IV".
QString columnName(int column);

// A cell as the viewer shows it without a number format: a text as it is, a number without the
// leading space of its number text (" 15.25" shows as "15.25"), a boolean as "TRUE" or "FALSE".
QString cellText(const workbook::Value& value);

// The selected cells of `model` as a spreadsheet copies them: the rectangle around the
// selection, a row a line ending in "\n", cells separated by tabs; cells inside the
// rectangle but not selected are left empty.
QString selectionText(const QAbstractItemModel& model, const QModelIndexList& selected);

// The installed font families a cell font of the file is drawn with: a Chinese face the
// desktop does not have ("宋体", "SimSun", "微软雅黑" ...) by an installed Chinese face of its
// kind, any other face by itself with an installed Chinese face behind it for Chinese text.
QStringList fontFamilies(const QString& fileFontName);

// The look's cell formats as Qt draws them, each made once when it is first drawn.
class CellStyles {
public:
    struct Style {
        QFont font;
        std::optional<QColor> text; // the font's colour; none: automatic
        std::optional<QColor> fill;
        workbook::HorizontalAlignment horizontal = workbook::HorizontalAlignment::General;
        Qt::Alignment vertical = Qt::AlignBottom;
        const workbook::NumberFormat* format = nullptr;
        QString formatCode;
    };

    explicit CellStyles(const workbook::BookLook& look);
    const workbook::BookLook& look() const { return m_look; }
    // The style of cell format `xf`; the style of format 15 (or a plain one) for a format the
    // file does not have.
    const Style& style(std::uint16_t xf) const;
    // The colour of a palette index; none for the automatic and system colours.
    std::optional<QColor> colour(workbook::ColourIndex index) const;
    // The width of the digit 0 in the workbook's first font, the unit of column widths.
    int digitWidth() const { return m_digitWidth; }

private:
    const Style& make(std::uint16_t xf) const;

    const workbook::BookLook& m_look;
    mutable std::vector<std::optional<Style>> m_styles;
    mutable std::map<std::uint16_t, workbook::NumberFormat> m_formats;
    Style m_plain;
    int m_digitWidth = 7;
};

// One worksheet as a read-only table, with a screenful of empty rows and columns around
// the cells in use as a spreadsheet has.
class SheetModel final : public QAbstractTableModel {
    Q_OBJECT
public:
    // Whether a cell has a comment (bool), and the code of its number format (QString).
    static constexpr int CommentRole = Qt::UserRole + 1;
    static constexpr int FormatCodeRole = Qt::UserRole + 2;

    // `sheet`, `look` and `styles` must outlive the model; without a look (a workbook of an
    // older version) every cell shows plain.
    SheetModel(const ViewerCells& sheet, const workbook::SheetLook* look, const CellStyles* styles,
               QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    const ViewerCells& sheet() const { return m_sheet; }
    const workbook::SheetLook* look() const { return m_look; }
    const CellStyles* styles() const { return m_styles; }

private:
    struct Shown {
        QString text;
        std::optional<QColor> colour; // from the number format's section
    };
    Shown shown(const workbook::Value& value, const CellStyles::Style* style) const;
    const CellStyles::Style* styleAt(int row, int column) const;
    QVariant alignment(const workbook::Value& value, const CellStyles::Style* style) const;
    const workbook::CommentLook* commentAt(int row, int column) const;

    const ViewerCells& m_sheet;
    const workbook::SheetLook* m_look;
    const CellStyles* m_styles;
    QHash<quint32, int> m_comments; // row << 8 | column: index into the look's comments
    int m_rows;
    int m_columns;
};

// A sheet's table: selection and copying (Ctrl+C, or the context menu) but no editing. With
// frozen panes the frozen rows and columns are drawn by views laid over its edges that scroll
// with it along the other direction only.
class SheetView final : public QTableView {
    Q_OBJECT
public:
    explicit SheetView(QWidget* parent = nullptr);
    // Puts the selected cells on the clipboard as tab-separated text.
    void copySelection();
    // The sheet's widths, heights, hidden rows and columns, merges and frozen panes; a model
    // without a look gets columns wide enough for their cells. Returns the width of the
    // columns in use.
    int applyLook(SheetModel* model);

    int frozenRows() const { return m_frozenRows; }
    int frozenColumns() const { return m_frozenColumns; }

    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void updateGeometries() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QTableView* addOverlay(bool followsRows, bool followsColumns);
    void placeOverlays();

    int m_frozenRows = 0;
    int m_frozenColumns = 0;
    QTableView* m_top = nullptr;    // the frozen rows
    QTableView* m_left = nullptr;   // the frozen columns
    QTableView* m_corner = nullptr; // where both meet
};

class WorkbookViewer final : public QWidget {
    Q_OBJECT
public:
    // Shows `viewed`, read from the file at `path`, in a new window of its own and returns it.
    // The window deletes itself when it is closed. The cells are held as ViewerCells, each
    // sheet's read form freed as soon as it is taken over.
    static WorkbookViewer* open(const QString& path, workbook::ViewedBook viewed);

    const QString& path() const { return m_path; }
    const std::vector<ViewerCells>& sheets() const { return m_sheets; }
    QTabWidget* tabs() const { return m_tabs; }
    SheetView* sheetView(int index) const;

private:
    WorkbookViewer(QString path, workbook::ViewedBook viewed);
    void openElsewhere();

    const QString m_path;
    const workbook::BookLook m_look;
    std::vector<ViewerCells> m_sheets; // the cells the models show
    const CellStyles m_styles;
    QTabWidget* m_tabs = nullptr;
    QLabel* m_note = nullptr;
};

} // namespace records
