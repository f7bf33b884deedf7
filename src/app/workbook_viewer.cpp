#include "app/workbook_viewer.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>

namespace records {
namespace {

// The empty grid a sheet shows around its cells in use.
constexpr int kMinRows = 100;
constexpr int kMinColumns = 26;
// A column is never made wider than this to show its widest cell; the cell's tooltip then
// shows the whole text.
constexpr int kMaxColumnWidth = 640;
constexpr qsizetype kTooltipLength = 40;

// The display width of a cell (workbook::displayWidth of its text), cheap for whole numbers,
// whose width is their digit count.
int cellUnits(const workbook::Value& value) {
    if (value.kind() != workbook::Value::Kind::Number)
        return workbook::displayWidth(value.toString());
    const double v = value.numberValue();
    const double magnitude = std::fabs(v);
    if (v != std::floor(v) || magnitude >= 1e15)
        return workbook::displayWidth(cellText(value));
    int digits = 1;
    for (double limit = 10; magnitude >= limit && digits < 16; limit *= 10)
        ++digits;
    return digits + (v < 0 ? 1 : 0);
}

// The few cells of a column that may be the widest, by their width estimate; the widest
// among them is then measured in the view's font.
class WidestCells {
public:
    void offer(int units, int row) {
        if (units <= m_floor)
            return;
        auto narrowest = std::min_element(m_cells.begin(), m_cells.end());
        *narrowest = {units, row};
        m_floor = std::min_element(m_cells.begin(), m_cells.end())->first;
    }
    template <class F> void forEachRow(F&& f) const {
        for (const auto& [units, row] : m_cells)
            if (units > 0)
                f(row);
    }

private:
    std::array<std::pair<int, int>, 8> m_cells{};
    int m_floor = 0;
};

// Widens each column in use to show its widest cell; returns the width of those columns.
int fitColumns(QTableView& view, const workbook::Sheet& sheet) {
    const QFontMetrics metrics(view.font());
    const int padding = 2 * (view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin) + 1) + 4;
    const int standard = metrics.horizontalAdvance(QLatin1Char('0')) * 9 + padding;
    QHeaderView* header = view.horizontalHeader();
    header->setDefaultSectionSize(standard);

    const int columns = sheet.columnCount();
    std::vector<WidestCells> widest(static_cast<std::size_t>(columns));
    for (int r = 1; r <= sheet.rowCount(); ++r) {
        for (int c = 1; c <= columns; ++c) {
            const workbook::Value value = sheet.cell(r, c);
            if (!value.isEmpty())
                widest[static_cast<std::size_t>(c - 1)].offer(cellUnits(value), r);
        }
    }
    int used = 0;
    for (int c = 1; c <= columns; ++c) {
        int width = 0;
        widest[static_cast<std::size_t>(c - 1)].forEachRow([&](int row) {
            width = std::max(width, metrics.horizontalAdvance(cellText(sheet.cell(row, c))));
        });
        width = std::clamp(width + padding, standard, kMaxColumnWidth);
        header->resizeSection(c - 1, width);
        used += width;
    }
    return used;
}

} // namespace

QString columnName(int column) {
    QString name;
    for (int n = column; n > 0; n = (n - 1) / 26)
        name.prepend(QChar(u'A' + (n - 1) % 26));
    return name;
}

QString cellText(const workbook::Value& value) {
    QString text = value.toString();
    if (value.kind() == workbook::Value::Kind::Number && text.startsWith(u' '))
        text.remove(0, 1);
    return text;
}

QString selectionText(const QAbstractItemModel& model, const QModelIndexList& selected) {
    if (selected.isEmpty())
        return {};
    int top = INT_MAX, left = INT_MAX, bottom = -1, right = -1;
    for (const QModelIndex& index : selected) {
        top = std::min(top, index.row());
        bottom = std::max(bottom, index.row());
        left = std::min(left, index.column());
        right = std::max(right, index.column());
    }
    // The rectangle as a grid of texts, filled from the selected cells only.
    const auto width = static_cast<std::size_t>(right - left + 1);
    std::vector<QString> grid(static_cast<std::size_t>(bottom - top + 1) * width);
    for (const QModelIndex& index : selected)
        grid[static_cast<std::size_t>(index.row() - top) * width +
             static_cast<std::size_t>(index.column() - left)] =
            model.data(index, Qt::DisplayRole).toString();
    QString text;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        text += grid[i];
        text += (i + 1) % width == 0 ? u'\n' : u'\t';
    }
    return text;
}

// SheetModel

SheetModel::SheetModel(const workbook::Sheet& sheet, QObject* parent)
    : QAbstractTableModel(parent), m_sheet(sheet), m_rows(std::max(sheet.rowCount(), kMinRows)),
      m_columns(std::min(std::max(sheet.columnCount(), kMinColumns), workbook::MaxColumns)) {}

int SheetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int SheetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_columns;
}

QVariant SheetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::DisplayRole:
        return cellText(m_sheet.cell(index.row() + 1, index.column() + 1));
    case Qt::ToolTipRole: {
        const QString text = cellText(m_sheet.cell(index.row() + 1, index.column() + 1));
        return text.size() > kTooltipLength ? QVariant(text) : QVariant();
    }
    case Qt::TextAlignmentRole:
        // As a spreadsheet aligns by default: numbers right, truth values centred.
        switch (m_sheet.cell(index.row() + 1, index.column() + 1).kind()) {
        case workbook::Value::Kind::Number:
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        case workbook::Value::Kind::Boolean:
            return QVariant::fromValue(Qt::AlignCenter);
        default:
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        }
    default:
        return {};
    }
}

QVariant SheetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    return orientation == Qt::Horizontal ? columnName(section + 1) : QString::number(section + 1);
}

Qt::ItemFlags SheetModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

// SheetView

SheetView::SheetView(QWidget* parent) : QTableView(parent) {
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setWordWrap(false);
    // Every row is one line high, so a long sheet costs nothing to lay out.
    QHeaderView* rows = verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setDefaultSectionSize(fontMetrics().height() + 6);
    rows->setDefaultAlignment(Qt::AlignCenter);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);

    auto* copy = new QAction(QStringLiteral("复制"), this);
    connect(copy, &QAction::triggered, this, &SheetView::copySelection);
    addAction(copy);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void SheetView::copySelection() {
    if (!model() || !selectionModel())
        return;
    QModelIndexList selected = selectionModel()->selectedIndexes();
    if (selected.isEmpty() && currentIndex().isValid())
        selected << currentIndex();
    QGuiApplication::clipboard()->setText(selectionText(*model(), selected));
}

void SheetView::keyPressEvent(QKeyEvent* event) {
    if (event->matches(QKeySequence::Copy)) {
        copySelection();
        event->accept();
        return;
    }
    QTableView::keyPressEvent(event);
}

// WorkbookViewer

WorkbookViewer* WorkbookViewer::open(const QString& path, workbook::Book book) {
    // Owned by itself: Qt deletes it when it is closed.
    auto* viewer = new WorkbookViewer(path, std::move(book));
    viewer->show();
    return viewer;
}

WorkbookViewer::WorkbookViewer(QString path, workbook::Book book)
    : QWidget(nullptr), m_path(std::move(path)), m_book(std::move(book)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("%1 [只读]").arg(QFileInfo(m_path).fileName()));

    m_tabs = new QTabWidget(this);
    m_tabs->setTabPosition(QTabWidget::South);
    m_tabs->setDocumentMode(true);
    int widest = 0;
    for (const workbook::Sheet& sheet : m_book.sheets()) {
        auto* view = new SheetView(m_tabs);
        view->setModel(new SheetModel(sheet, view));
        widest =
            std::max(widest, fitColumns(*view, sheet) + view->verticalHeader()->sizeHint().width());
        m_tabs->addTab(view, sheet.name());
    }
    m_tabs->setCurrentIndex(std::clamp(m_book.activeSheet(), 0, m_tabs->count() - 1));

    m_note = new QLabel(QDir::toNativeSeparators(m_path), this);
    m_note->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* elsewhere = new QPushButton(QStringLiteral("用其他程序打开"), this);
    connect(elsewhere, &QPushButton::clicked, this, &WorkbookViewer::openElsewhere);

    auto* bar = new QHBoxLayout;
    bar->addWidget(m_note, 1);
    bar->addWidget(elsewhere);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->addWidget(m_tabs, 1);
    layout->addLayout(bar);

    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    resize(std::clamp(widest + 40, 640, std::max(640, screen.width() * 9 / 10)),
           std::min(600, std::max(400, screen.height() * 9 / 10)));
}

SheetView* WorkbookViewer::sheetView(int index) const {
    return qobject_cast<SheetView*>(m_tabs->widget(index));
}

void WorkbookViewer::openElsewhere() {
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(m_path)))
        m_note->setText(QStringLiteral("没有能打开此文件的其他程序。"));
}

} // namespace records
