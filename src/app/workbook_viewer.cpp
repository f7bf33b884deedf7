#include "app/workbook_viewer.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#ifdef __GLIBC__
#include <malloc.h>
#endif

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

// Widens each column in use to show its widest cell, for a workbook that says nothing of its
// widths; returns the width of those columns.
int fitColumns(QTableView& view, const ViewerCells& sheet) {
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

// --- fonts and colours --------------------------------------------------------------------

bool hasChinese(const QString& text) {
    return std::any_of(text.begin(), text.end(),
                       [](QChar c) { return c.unicode() >= 0x2E80 && c.unicode() <= 0x9FFF; });
}

// The Latin names of the Chinese faces of the office desktop, and whether each is a serif
// (Song, Ming, Kai, Fang) face.
struct ChineseFace {
    const char16_t* name;
    bool serif;
};
constexpr ChineseFace kChineseFaces[] = {
    {u"simsun", true},   {u"nsimsun", true},          {u"fangsong", true},
    {u"kaiti", true},    {u"mingliu", true},          {u"pmingliu", true},
    {u"stsong", true},   {u"stkaiti", true},          {u"stfangsong", true},
    {u"simhei", false},  {u"microsoft yahei", false}, {u"dengxian", false},
    {u"stheiti", false}, {u"stxihei", false},         {u"microsoft jhenghei", false},
};

// An installed Chinese face: a serif one where there is one and `serif` asks for it.
QString installedChineseFace(bool serif) {
    static const QStringList chinese = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
    const auto find = [](const QStringList& keys) -> QString {
        for (const QString& key : keys)
            for (const QString& family : chinese)
                if (family.contains(key, Qt::CaseInsensitive))
                    return family;
        return {};
    };
    QString face =
        serif ? find({QStringLiteral("Serif CJK"), QStringLiteral("Ming"), QStringLiteral("Song")})
              : QString();
    if (face.isEmpty())
        face = find({QStringLiteral("Sans CJK"), QStringLiteral("Zen Hei"),
                     QStringLiteral("Micro Hei"), QStringLiteral("Hei")});
    if (face.isEmpty() && !chinese.isEmpty())
        face = chinese.first();
    return face;
}

QFont cellFont(const workbook::FontLook& f) {
    QFont font;
    font.setFamilies(fontFamilies(f.name));
    font.setPointSizeF(std::clamp(f.heightTwips, 20, 8180) / 20.0);
    font.setBold(f.bold);
    font.setItalic(f.italic);
    font.setUnderline(f.underline);
    font.setStrikeOut(f.strikeOut);
    return font;
}

QColor rgb(std::uint32_t value) {
    return QColor::fromRgb(static_cast<QRgb>(value));
}

// The share of the foreground colour in a pattern fill, drawn as one colour: the grey
// patterns by their share, the lines and grids about half.
double patternShare(std::uint8_t pattern) {
    switch (pattern) {
    case 1:
        return 1.0;
    case 3:
        return 0.75;
    case 4:
        return 0.25;
    case 17:
        return 0.125;
    case 18:
        return 0.0625;
    default:
        return 0.5;
    }
}

QColor mix(const QColor& a, const QColor& b, double share) {
    const auto part = [&](int x, int y) { return qRound(x * share + y * (1 - share)); };
    return QColor(part(a.red(), b.red()), part(a.green(), b.green()), part(a.blue(), b.blue()));
}

Qt::Alignment verticalAlignment(workbook::VerticalAlignment v) {
    switch (v) {
    case workbook::VerticalAlignment::Top:
        return Qt::AlignTop;
    case workbook::VerticalAlignment::Bottom:
        return Qt::AlignBottom;
    default:
        return Qt::AlignVCenter;
    }
}

// Draws a cell as the style does, and a comment's marker, a small red triangle in its top
// right corner.
class CellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (!index.data(SheetModel::CommentRole).toBool())
            return;
        const QRect r = option.rect;
        const int size = std::min({6, r.width() / 2, r.height() / 2});
        const std::array<QPoint, 3> corner = {QPoint(r.right() - size, r.top()),
                                              QPoint(r.right(), r.top()),
                                              QPoint(r.right(), r.top() + size)};
        painter->save();
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(0xCC, 0x00, 0x00));
        painter->drawPolygon(corner.data(), static_cast<int>(corner.size()));
        painter->restore();
    }
};

int twipsToPixels(int twips, int dpi) {
    return std::max(1, qRound(twips * dpi / 1440.0));
}

// The widths, heights, hidden rows and columns and merged ranges of a sheet's look on a view
// of it.
void sizeSections(QTableView& view, const SheetModel& model) {
    const workbook::SheetLook& look = *model.look();
    const int digit = model.styles()->digitWidth();
    QHeaderView* columns = view.horizontalHeader();
    // A column of the default width holds that many digits and a margin, in steps of 8 pixels.
    columns->setDefaultSectionSize((look.defaultColumnWidth * digit + 5 + 7) / 8 * 8);
    for (const workbook::ColumnLook& c : look.columns) {
        const int width = qRound(c.width / 256.0 * digit);
        for (int k = c.first; k <= c.last && k < model.columnCount(); ++k) {
            columns->resizeSection(k, width);
            view.setColumnHidden(k, c.hidden);
        }
    }
    const int dpi = view.logicalDpiY();
    QHeaderView* rows = view.verticalHeader();
    rows->setMinimumSectionSize(1); // rows as low as the file has them, below the header's font
    const int standard = twipsToPixels(look.defaultRowHeightTwips, dpi);
    rows->setDefaultSectionSize(standard);
    for (const auto& [row, r] : look.rows) {
        if (row >= model.rowCount())
            break;
        if (r.hidden) {
            view.setRowHidden(row, true);
            continue;
        }
        const int height = twipsToPixels(r.heightTwips, dpi);
        if (height != standard)
            rows->resizeSection(row, height);
    }
    for (const workbook::MergedRange& m : look.merges) {
        if (m.firstRow >= model.rowCount() || m.firstColumn >= model.columnCount())
            continue;
        const int rowSpan = std::min(m.lastRow, model.rowCount() - 1) - m.firstRow + 1;
        const int columnSpan = std::min(m.lastColumn, model.columnCount() - 1) - m.firstColumn + 1;
        if (rowSpan > 1 || columnSpan > 1)
            view.setSpan(m.firstRow, m.firstColumn, rowSpan, columnSpan);
    }
    view.setShowGrid(look.gridlines);
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

QStringList fontFamilies(const QString& fileFontName) {
    const QString name = fileFontName.trimmed();
    const QString lower = name.toLower();
    std::optional<bool> chineseSerif;
    if (hasChinese(name))
        chineseSerif = !(name.contains(u'黑') || name.contains(QStringLiteral("雅黑")) ||
                         name.contains(QStringLiteral("等线")));
    for (const ChineseFace& face : kChineseFaces)
        if (lower == QStringView(face.name))
            chineseSerif = face.serif;
    static const QStringList installed = QFontDatabase::families();
    const QString chinese = installedChineseFace(chineseSerif.value_or(false));
    QStringList families;
    if (chineseSerif && !installed.contains(name)) {
        families << chinese;
    } else {
        if (!name.isEmpty())
            families << name;
        if (!chinese.isEmpty() && !families.contains(chinese))
            families << chinese;
    }
    return families;
}

// CellStyles

CellStyles::CellStyles(const workbook::BookLook& look) : m_look(look) {
    m_styles.resize(look.formats.size());
    m_plain.font = QFont();
    m_plain.vertical = Qt::AlignVCenter;
    if (!look.fonts.empty())
        m_digitWidth =
            std::max(1, QFontMetrics(cellFont(look.font(0))).horizontalAdvance(QLatin1Char('0')));
}

std::optional<QColor> CellStyles::colour(workbook::ColourIndex index) const {
    if (index >= 64)
        return std::nullopt;
    return rgb(m_look.colour(index, 0));
}

const CellStyles::Style& CellStyles::style(std::uint16_t xf) const {
    if (xf >= m_styles.size())
        xf = 15;
    if (xf >= m_styles.size())
        return m_plain;
    if (!m_styles[xf])
        make(xf);
    return *m_styles[xf];
}

const CellStyles::Style& CellStyles::make(std::uint16_t xf) const {
    const workbook::CellLook& c = m_look.formats[xf];
    Style s;
    const workbook::FontLook& f = m_look.font(c.font);
    s.font = cellFont(f);
    s.text = colour(f.colour);
    if (c.fillPattern != 0) {
        const QColor fore = rgb(m_look.colour(c.fillForeground, 0x000000));
        const QColor back = rgb(m_look.colour(c.fillBackground, 0xFFFFFF));
        s.fill = mix(fore, back, patternShare(c.fillPattern));
    }
    s.horizontal = c.horizontal;
    s.vertical = verticalAlignment(c.vertical);
    s.formatCode = m_look.numberFormatCode(c.numberFormat);
    auto [it, fresh] = m_formats.try_emplace(c.numberFormat, s.formatCode);
    s.format = &it->second;
    m_styles[xf] = std::move(s);
    return *m_styles[xf];
}

// SheetModel

SheetModel::SheetModel(const ViewerCells& sheet, const workbook::SheetLook* look,
                       const CellStyles* styles, QObject* parent)
    : QAbstractTableModel(parent), m_sheet(sheet), m_look(styles ? look : nullptr),
      m_styles(look ? styles : nullptr), m_rows(std::max(sheet.rowCount(), kMinRows)),
      m_columns(std::min(std::max(sheet.columnCount(), kMinColumns), workbook::MaxColumns)) {
    if (!m_look)
        return;
    for (std::size_t i = 0; i < m_look->comments.size(); ++i) {
        const workbook::CommentLook& c = m_look->comments[i];
        m_comments.insert(static_cast<quint32>(c.row) << 8 | static_cast<quint32>(c.column),
                          static_cast<int>(i));
        m_rows = std::max(m_rows, std::min(c.row + 1, workbook::MaxRows));
    }
    for (const workbook::MergedRange& m : m_look->merges)
        m_rows = std::max(m_rows, std::min(m.lastRow + 1, workbook::MaxRows));
}

int SheetModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_rows;
}

int SheetModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_columns;
}

const CellStyles::Style* SheetModel::styleAt(int row, int column) const {
    if (!m_look)
        return nullptr;
    return &m_styles->style(m_look->formatAt(row, column));
}

const workbook::CommentLook* SheetModel::commentAt(int row, int column) const {
    const auto it =
        m_comments.constFind(static_cast<quint32>(row) << 8 | static_cast<quint32>(column));
    return it == m_comments.constEnd() ? nullptr : &m_look->comments[static_cast<std::size_t>(*it)];
}

SheetModel::Shown SheetModel::shown(const workbook::Value& value,
                                    const CellStyles::Style* style) const {
    if (!style || !style->format || value.kind() == workbook::Value::Kind::Boolean)
        return {cellText(value), std::nullopt};
    workbook::NumberFormat::Colour colour;
    Shown out;
    if (value.kind() == workbook::Value::Kind::Number)
        out.text = style->format->format(value.numberValue(), m_styles->look().date1904, &colour);
    else
        out.text = style->format->formatText(value.textValue(), &colour);
    if (colour)
        out.colour = m_styles->colour(*colour);
    return out;
}

QVariant SheetModel::alignment(const workbook::Value& value, const CellStyles::Style* style) const {
    Qt::Alignment horizontal = Qt::AlignLeft;
    switch (style ? style->horizontal : workbook::HorizontalAlignment::General) {
    case workbook::HorizontalAlignment::General:
        // As a spreadsheet aligns by default: numbers right, truth values centred.
        if (value.kind() == workbook::Value::Kind::Number)
            horizontal = Qt::AlignRight;
        else if (value.kind() == workbook::Value::Kind::Boolean)
            horizontal = Qt::AlignHCenter;
        break;
    case workbook::HorizontalAlignment::Centre:
    case workbook::HorizontalAlignment::CentreAcross:
        horizontal = Qt::AlignHCenter;
        break;
    case workbook::HorizontalAlignment::Right:
        horizontal = Qt::AlignRight;
        break;
    default:
        break;
    }
    return QVariant::fromValue(horizontal | (style ? style->vertical : Qt::AlignVCenter));
}

QVariant SheetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const int row = index.row(), column = index.column();
    switch (role) {
    case Qt::DisplayRole: {
        const workbook::Value value = m_sheet.cell(row + 1, column + 1);
        return value.isEmpty() ? QString() : shown(value, styleAt(row, column)).text;
    }
    case Qt::FontRole:
        if (const CellStyles::Style* style = styleAt(row, column))
            return style->font;
        return {};
    case Qt::ForegroundRole: {
        const CellStyles::Style* style = styleAt(row, column);
        if (!style)
            return {};
        const workbook::Value value = m_sheet.cell(row + 1, column + 1);
        const std::optional<QColor> colour =
            value.isEmpty() ? std::nullopt : shown(value, style).colour;
        if (colour || style->text)
            return colour ? *colour : *style->text;
        return {};
    }
    case Qt::BackgroundRole:
        if (const CellStyles::Style* style = styleAt(row, column); style && style->fill)
            return *style->fill;
        return {};
    case Qt::TextAlignmentRole:
        return alignment(m_sheet.cell(row + 1, column + 1), styleAt(row, column));
    case Qt::ToolTipRole: {
        if (const workbook::CommentLook* comment = commentAt(row, column))
            return comment->author.trimmed().isEmpty()
                       ? comment->text
                       : comment->author.trimmed() + QStringLiteral("：\n") + comment->text;
        const workbook::Value value = m_sheet.cell(row + 1, column + 1);
        const QString text = value.isEmpty() ? QString() : shown(value, styleAt(row, column)).text;
        return text.size() > kTooltipLength ? QVariant(text) : QVariant();
    }
    case CommentRole:
        return m_look != nullptr && commentAt(row, column) != nullptr;
    case FormatCodeRole:
        if (const CellStyles::Style* style = styleAt(row, column))
            return style->formatCode;
        return QStringLiteral("General");
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
    setItemDelegate(new CellDelegate(this));
    // Rows have the heights the file gives (by default one line), so a long sheet costs
    // nothing to lay out.
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

int SheetView::applyLook(SheetModel* model) {
    setModel(model);
    const ViewerCells& sheet = model->sheet();
    if (!model->look())
        return fitColumns(*this, sheet);
    sizeSections(*this, *model);
    const workbook::SheetLook& look = *model->look();
    m_frozenRows = std::clamp(look.frozenRows, 0, model->rowCount() - 1);
    m_frozenColumns = std::clamp(look.frozenColumns, 0, model->columnCount() - 1);
    // Rows and columns of other sizes than the frozen ones slide under them smoothly.
    if (m_frozenRows > 0 || m_frozenColumns > 0) {
        setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
        setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    }
    if (m_frozenRows > 0)
        m_top = addOverlay(false, true);
    if (m_frozenColumns > 0)
        m_left = addOverlay(true, false);
    if (m_frozenRows > 0 && m_frozenColumns > 0)
        m_corner = addOverlay(false, false);
    for (QTableView* overlay : {m_top, m_left, m_corner})
        if (overlay)
            sizeSections(*overlay, *model);
    placeOverlays();
    // The scrolled part starts where the file left it.
    const auto offset = [](const QHeaderView* header, int first, int frozen) {
        return first > frozen ? header->sectionPosition(first) - header->sectionPosition(frozen)
                              : 0;
    };
    const int down = offset(verticalHeader(), look.topRow, m_frozenRows);
    const int across = offset(horizontalHeader(), look.leftColumn, m_frozenColumns);
    if (down > 0 || across > 0)
        QTimer::singleShot(0, this, [this, down, across] {
            verticalScrollBar()->setValue(down);
            horizontalScrollBar()->setValue(across);
        });
    int used = 0;
    for (int c = 0; c < sheet.columnCount(); ++c)
        used += isColumnHidden(c) ? 0 : columnWidth(c);
    return used;
}

// A view of the same cells laid over an edge of this one: it scrolls with this one along
// the rows (`followsRows`) or along the columns (`followsColumns`) and stays put otherwise.
QTableView* SheetView::addOverlay(bool followsRows, bool followsColumns) {
    auto* overlay = new QTableView(this);
    overlay->setModel(model());
    overlay->setSelectionModel(selectionModel());
    overlay->setItemDelegate(itemDelegate());
    overlay->setEditTriggers(QAbstractItemView::NoEditTriggers);
    overlay->setSelectionMode(selectionMode());
    overlay->setWordWrap(false);
    overlay->setVerticalScrollMode(verticalScrollMode());
    overlay->setHorizontalScrollMode(horizontalScrollMode());
    overlay->setFocusPolicy(Qt::NoFocus);
    overlay->setFrameShape(QFrame::NoFrame);
    overlay->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    overlay->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    overlay->horizontalHeader()->setVisible(followsRows);
    overlay->verticalHeader()->setVisible(followsColumns);
    overlay->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    overlay->verticalHeader()->setDefaultAlignment(Qt::AlignCenter);
    // It never scrolls by itself: the wheel turns this view, a click scrolls nothing.
    overlay->setAutoScroll(false);
    overlay->viewport()->installEventFilter(this);
    if (followsRows)
        connect(verticalScrollBar(), &QScrollBar::valueChanged, overlay->verticalScrollBar(),
                &QScrollBar::setValue);
    if (followsColumns)
        connect(horizontalScrollBar(), &QScrollBar::valueChanged, overlay->horizontalScrollBar(),
                &QScrollBar::setValue);
    connect(horizontalHeader(), &QHeaderView::sectionResized, overlay,
            [this, overlay](int column, int, int size) {
                overlay->setColumnWidth(column, size);
                placeOverlays();
            });
    connect(overlay->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int column, int, int size) { setColumnWidth(column, size); });
    overlay->show();
    return overlay;
}

void SheetView::placeOverlays() {
    if (!m_top && !m_left)
        return;
    const int frame = frameWidth();
    const int headerHeight = horizontalHeader()->isVisible() ? horizontalHeader()->height() : 0;
    const int headerWidth = verticalHeader()->isVisible() ? verticalHeader()->width() : 0;
    int rowsHeight = 0, columnsWidth = 0;
    for (int r = 0; r < m_frozenRows; ++r)
        rowsHeight += isRowHidden(r) ? 0 : rowHeight(r);
    for (int c = 0; c < m_frozenColumns; ++c)
        columnsWidth += isColumnHidden(c) ? 0 : columnWidth(c);
    const int viewWidth = viewport()->width(), viewHeight = viewport()->height();
    if (m_top) {
        m_top->verticalHeader()->setFixedWidth(headerWidth);
        m_top->setGeometry(frame, frame + headerHeight, headerWidth + viewWidth,
                           std::min(rowsHeight, viewHeight));
    }
    if (m_left) {
        m_left->horizontalHeader()->setFixedHeight(headerHeight);
        m_left->setGeometry(frame + headerWidth, frame, std::min(columnsWidth, viewWidth),
                            headerHeight + viewHeight);
    }
    if (m_corner) {
        m_corner->setGeometry(frame + headerWidth, frame + headerHeight,
                              std::min(columnsWidth, viewWidth), std::min(rowsHeight, viewHeight));
        m_corner->raise();
    }
}

void SheetView::updateGeometries() {
    QTableView::updateGeometries();
    placeOverlays();
}

void SheetView::scrollTo(const QModelIndex& index, ScrollHint hint) {
    // A frozen cell is always in sight: going to it scrolls only along its other direction.
    const int down = verticalScrollBar()->value(), across = horizontalScrollBar()->value();
    QTableView::scrollTo(index, hint);
    if (index.row() < m_frozenRows)
        verticalScrollBar()->setValue(down);
    if (index.column() < m_frozenColumns)
        horizontalScrollBar()->setValue(across);
}

bool SheetView::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Wheel && watched != viewport()) {
        QCoreApplication::sendEvent(viewport(), event);
        return true;
    }
    return QTableView::eventFilter(watched, event);
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

WorkbookViewer* WorkbookViewer::open(const QString& path, workbook::ViewedBook viewed) {
    // Owned by itself: Qt deletes it when it is closed.
    auto* viewer = new WorkbookViewer(path, std::move(viewed));
    viewer->show();
    return viewer;
}

namespace {
// The cells of every sheet, each sheet's read form freed as soon as it is taken over.
std::vector<ViewerCells> takeCells(workbook::Book& book) {
    std::vector<ViewerCells> cells;
    cells.reserve(static_cast<std::size_t>(book.sheetCount()));
    for (int i = 0; i < book.sheetCount(); ++i) {
        cells.emplace_back(book.sheet(i));
        book.sheet(i) = workbook::Sheet();
    }
    return cells;
}
} // namespace

WorkbookViewer::WorkbookViewer(QString path, workbook::ViewedBook viewed)
    : QWidget(nullptr), m_path(std::move(path)), m_look(std::move(viewed.look)),
      m_sheets(takeCells(viewed.book)), m_styles(m_look) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("%1 [只读]").arg(QFileInfo(m_path).fileName()));

    m_tabs = new QTabWidget(this);
    m_tabs->setTabPosition(QTabWidget::South);
    m_tabs->setDocumentMode(true);
    int widest = 0;
    for (std::size_t i = 0; i < m_sheets.size(); ++i) {
        const workbook::SheetLook* look = i < m_look.sheets.size() ? &m_look.sheets[i] : nullptr;
        auto* view = new SheetView(m_tabs);
        const int used = view->applyLook(new SheetModel(m_sheets[i], look, &m_styles, view));
        widest = std::max(widest, used + view->verticalHeader()->sizeHint().width());
        m_tabs->addTab(view, m_sheets[i].name());
    }
    const int active = viewed.book.activeSheet();
    m_tabs->setCurrentIndex(std::clamp(active, 0, m_tabs->count() - 1));

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

#ifdef __GLIBC__
    // The many small pieces of the read form, freed, leave pages the allocator would keep:
    // they are given back once the window has been drawn.
    QTimer::singleShot(200, this, [] { malloc_trim(0); });
#endif

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
