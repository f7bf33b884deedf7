// The viewer draws what a file holds, as Apache POI reads the same file: for workbooks of
// LibreOffice, Gnumeric, POI and our own writer, every cell's shown text, number format, font,
// font colour, fill and alignment, and each sheet's merges, column widths, row heights, hidden
// rows and columns, frozen panes and comments, from the viewer's model and views against
// `PoiDump look`.

#include "app/viewing_mode.h"
#include "app/workbook_viewer.h"
#include "doubles/scripted_messages.h"
#include "workbook/file_io.h"

#include <QFontDatabase>
#include <QPointer>
#include <QProcess>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QtTest>

using records::SheetModel;
using records::SheetView;
using records::WorkbookViewer;

namespace {

const QString kData = QStringLiteral(WB_DATA_DIR);

// POI's lines for `command` on `path`; a failure to run it fails the test.
QStringList poi(const QString& command, const QString& path) {
    QProcess p;
    p.start(QStringLiteral(WB_JAVA), {QStringLiteral("-cp"), QStringLiteral(WB_POI_CLASSPATH),
                                      QStringLiteral("PoiDump"), command, path});
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        qFatal("PoiDump %s failed (a JDK and Apache POI come with scripts/setup.sh): %s",
               qPrintable(command), p.readAllStandardError().constData());
    return QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString unescaped(QString text) {
    return text.replace(QStringLiteral("\\n"), QStringLiteral("\n"))
        .replace(QStringLiteral("\\t"), QStringLiteral("\t"))
        .replace(QStringLiteral("\\\\"), QStringLiteral("\\"));
}

bool chineseFaceName(const QString& name) {
    static const QStringList latin = {"simsun", "simhei", "kaiti", "fangsong", "microsoft yahei"};
    return std::any_of(name.begin(), name.end(), [](QChar c) { return c.unicode() >= 0x2E80; }) ||
           latin.contains(name.toLower());
}

// A built-in format a Chinese desktop shows its own way, where POI names the American code:
// the short date (14), date and time (22) and the Chinese dates and times (27 to 36), which POI
// calls "reserved". (A file's own format may have any of these numbers; POI then names its
// code.)
bool regionalFormat(int id, const QString& poiCode) {
    return (id == 14 && poiCode == u"m/d/yy") || (id == 22 && poiCode == u"m/d/yy h:mm") ||
           poiCode.startsWith(u"reserved-");
}

// Where POI shows a number otherwise than a spreadsheet application and the viewer: POI keeps
// the backslash of an escaped character and the quotes of a quoted text beside a date
// ("2026\\年", "2026\"年\""), and it rounds the binary number where a
// spreadsheet rounds its 15-digit decimal (26172.835 shows as 26,172.84, POI 26,172.83).
bool poiQuirk(const QString& poi, const QString& ours) {
    if (QString(poi).remove(u'\\').remove(u'"') == ours)
        return true;
    if (poi.size() != ours.size())
        return false;
    qsizetype differs = -1;
    for (qsizetype i = 0; i < poi.size(); ++i)
        if (poi[i] != ours[i]) {
            if (differs >= 0)
                return false;
            differs = i;
        }
    return differs >= 0 && poi[differs].isDigit() &&
           ours[differs].unicode() == poi[differs].unicode() + 1 &&
           (differs + 1 == poi.size() || !poi[differs + 1].isDigit());
}

// Compares one workbook's viewer with POI's lines, collecting every difference.
class Comparison {
public:
    Comparison(WorkbookViewer* viewer, const QStringList& lines) : m_viewer(viewer) {
        for (const QString& line : lines)
            compare(line.split(u'\t'));
        // Sheets POI lists without panes have none in the viewer either.
        for (int i = 0; i < viewer->tabs()->count(); ++i) {
            const SheetView* view = viewer->sheetView(i);
            if (!m_paned.contains(i) && (view->frozenRows() || view->frozenColumns()))
                m_problems << QStringLiteral("%1: frozen panes POI has not")
                                  .arg(viewer->tabs()->tabText(i));
            if (model(i)->look() && model(i)->look()->comments.size() != m_comments.value(i))
                m_problems << QStringLiteral("%1: %2 comments, POI %3")
                                  .arg(viewer->tabs()->tabText(i))
                                  .arg(model(i)->look()->comments.size())
                                  .arg(m_comments.value(i));
        }
    }
    const QStringList& problems() const { return m_problems; }
    int cells() const { return m_cells; }

private:
    int sheetIndex(const QString& name) const {
        for (int i = 0; i < m_viewer->tabs()->count(); ++i)
            if (m_viewer->tabs()->tabText(i) == name)
                return i;
        return -1;
    }
    const SheetModel* model(int sheet) const {
        return static_cast<const SheetModel*>(m_viewer->sheetView(sheet)->model());
    }
    void differ(const QStringList& f, const QString& what, const QVariant& ours) {
        m_problems << QStringLiteral("%1 (%2): %3, the viewer %4")
                          .arg(f.mid(1, 3).join(u' '), what, f.join(u' '), ours.toString());
    }

    void compare(const QStringList& f) {
        const int sheet = sheetIndex(f.value(1));
        if (sheet < 0) {
            m_problems << QStringLiteral("no sheet %1").arg(f.value(1));
            return;
        }
        SheetView* view = m_viewer->sheetView(sheet);
        const SheetModel& m = *model(sheet);
        const workbook::SheetLook& look = *m.look();
        const QString& kind = f[0];
        if (kind == u"pane") {
            m_paned << sheet;
            if (view->frozenColumns() != f[2].toInt() || view->frozenRows() != f[3].toInt() ||
                look.leftColumn != f[4].toInt() || look.topRow != f[5].toInt())
                differ(f, "panes",
                       QStringLiteral("%1 %2 %3 %4")
                           .arg(view->frozenColumns())
                           .arg(view->frozenRows())
                           .arg(look.leftColumn)
                           .arg(look.topRow));
        } else if (kind == u"defaults") {
            if (look.defaultColumnWidth != f[2].toInt() ||
                look.defaultRowHeightTwips != f[3].toInt())
                differ(f, "defaults",
                       QStringLiteral("%1 %2")
                           .arg(look.defaultColumnWidth)
                           .arg(look.defaultRowHeightTwips));
        } else if (kind == u"column") {
            compareColumn(f, *view, m);
        } else if (kind == u"row") {
            compareRow(f, *view, look);
        } else if (kind == u"merge") {
            const int r = f[2].toInt(), c = f[4].toInt();
            if (view->rowSpan(r, c) != f[3].toInt() - r + 1 ||
                view->columnSpan(r, c) != f[5].toInt() - c + 1)
                differ(
                    f, "merge",
                    QStringLiteral("%1x%2").arg(view->rowSpan(r, c)).arg(view->columnSpan(r, c)));
        } else if (kind == u"comment") {
            ++m_comments[sheet];
            const QModelIndex at = m.index(f[2].toInt(), f[3].toInt());
            const QString tip = m.data(at, Qt::ToolTipRole).toString();
            if (!m.data(at, SheetModel::CommentRole).toBool() || !tip.endsWith(unescaped(f[5])) ||
                (!f[4].trimmed().isEmpty() && !tip.startsWith(unescaped(f[4]))))
                differ(f, "comment", tip);
        } else if (kind == u"look") {
            ++m_cells;
            compareCell(f, m);
        }
    }

    void compareColumn(const QStringList& f, const SheetView& view, const SheetModel& m) {
        const int c = f[2].toInt();
        const bool hidden = f[4] == u"true";
        const workbook::ColumnLook* own = m.look()->column(c);
        const int units = own ? own->width : m.look()->defaultColumnWidth * 256;
        if (view.isColumnHidden(c) != hidden || units != f[3].toInt())
            differ(f, "column", QStringLiteral("%1 %2").arg(units).arg(view.isColumnHidden(c)));
        else if (own && !hidden &&
                 view.columnWidth(c) != qRound(units / 256.0 * m.styles()->digitWidth()))
            differ(f, "column pixels", view.columnWidth(c));
    }

    void compareRow(const QStringList& f, const SheetView& view, const workbook::SheetLook& look) {
        const int r = f[2].toInt();
        const bool hidden = f[4] == u"true";
        const auto own = look.rows.find(r);
        const int twips =
            own != look.rows.end() ? own->second.heightTwips : look.defaultRowHeightTwips;
        if (view.isRowHidden(r) != hidden || (!hidden && twips != f[3].toInt()))
            differ(f, "row", QStringLiteral("%1 %2").arg(twips).arg(view.isRowHidden(r)));
        else if (!hidden && view.rowHeight(r) != qRound(twips * view.logicalDpiY() / 1440.0))
            differ(f, "row pixels", view.rowHeight(r));
    }

    void compareCell(const QStringList& f, const SheetModel& m) {
        const QModelIndex at = m.index(f[2].toInt(), f[3].toInt());
        const QString type = f[4], shown = unescaped(f[5]), code = unescaped(f[7]);
        const int id = f[6].toInt();
        const QString ourCode = m.data(at, SheetModel::FormatCodeRole).toString();
        const QString ourText = m.data(at, Qt::DisplayRole).toString();
        if (regionalFormat(id, code)) {
            if (ourCode != workbook::builtInFormatCode(id))
                differ(f, "regional format", ourCode);
        } else if (ourCode.compare(code, Qt::CaseInsensitive) != 0) {
            differ(f, "format", ourCode);
        } else if (ourText != shown && !sameGeneralNumber(code, type, shown, ourText) &&
                   !poiQuirk(shown, ourText)) {
            differ(f, "text", ourText);
        }
        compareFont(f, m, at, ourCode);
        const QVariant fill = m.data(at, Qt::BackgroundRole);
        if (f[14] == u"none" ? fill.isValid()
                             : f[14].startsWith(u"SOLID_FOREGROUND/") &&
                                   fill.value<QColor>().name().mid(1) != f[14].mid(17))
            differ(f, "fill", fill);
        compareAlignment(f, m.data(at, Qt::TextAlignmentRole).value<Qt::Alignment>());
    }

    // POI writes General numbers with 10 significant digits, the viewer as the store wrote
    // them (15): the same number either way.
    static bool sameGeneralNumber(const QString& code, const QString& type, const QString& poi,
                                  const QString& ours) {
        if (code != u"General" || (type != u"NUMERIC" && type != u"FORMULA"))
            return false;
        bool a = false, b = false;
        const double x = poi.toDouble(&a), y = ours.toDouble(&b);
        return a && b && std::fabs(x - y) <= 1e-9 * std::max(1.0, std::fabs(x));
    }

    void compareFont(const QStringList& f, const SheetModel& m, const QModelIndex& at,
                     const QString& ourCode) {
        const QFont font = m.data(at, Qt::FontRole).value<QFont>();
        const QString name = f[8];
        const QString family = font.families().value(0);
        if (chineseFaceName(name)
                ? !QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese)
                : family != name)
            differ(f, "font face", font.families().join(u','));
        if (qRound(font.pointSizeF() * 20) != f[9].toInt() || font.bold() != (f[10] == u"true") ||
            font.italic() != (f[11] == u"true") || font.underline() != (f[12] == u"true"))
            differ(f, "font", font.toString());
        // A colour the number format's section gives ([Red]) takes the font's place.
        const QVariant colour = m.data(at, Qt::ForegroundRole);
        if (ourCode.contains(u'['))
            return;
        if (f[13] == u"auto" ? colour.isValid() : colour.value<QColor>().name().mid(1) != f[13])
            differ(f, "font colour", colour);
    }

    void compareAlignment(const QStringList& f, Qt::Alignment a) {
        const QString poiAlign = f[15], type = f[4];
        Qt::Alignment want = a & Qt::AlignHorizontal_Mask;
        if (poiAlign == u"GENERAL")
            want = type == u"STRING" || type == u"BLANK" ? Qt::AlignLeft
                   : type == u"BOOLEAN"                  ? Qt::AlignHCenter
                                                         : Qt::AlignRight;
        else if (poiAlign == u"LEFT")
            want = Qt::AlignLeft;
        else if (poiAlign == u"CENTER" || poiAlign == u"CENTER_SELECTION")
            want = Qt::AlignHCenter;
        else if (poiAlign == u"RIGHT")
            want = Qt::AlignRight;
        if (f[4] == u"FORMULA" && poiAlign == u"GENERAL")
            return; // a formula's result may be of any kind
        if ((a & Qt::AlignHorizontal_Mask) != want)
            differ(f, "alignment", static_cast<int>(a));
    }

    WorkbookViewer* m_viewer;
    QStringList m_problems;
    QSet<int> m_paned;
    QHash<int, std::size_t> m_comments;
    int m_cells = 0;
};

// A day's workbook as the program writes it.
void writeOwn(const QString& path) {
    workbook::Book book;
    workbook::Sheet& s = book.addSheet("sheet1");
    const QStringList header = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};
    for (int c = 1; c <= 7; ++c)
        s.setText(1, c, header[c - 1]);
    s.setNumber(1, 8, 4);
    for (int r = 2; r <= 4; ++r) {
        s.setNumber(r, 1, r - 1);
        s.setText(r, 2, "2026/12/7");
        s.setText(r, 3, QStringLiteral("08:0%1:07").arg(r));
        s.setText(r, 4, "浙江省杭州市萧山区城厢街道 浙A1234" + QString::number(r));
        s.setNumber(r, 5, 20000.25 * r);
        s.setNumber(r, 6, 8000.5);
        s.setNumber(r, 7, 20000.25 * r - 8000.5);
    }
    workbook::writeBook(book, path);
}

} // namespace

class TstViewerLook : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(m_folder.isValid()); }

    void matchesPoi_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("least"); // cells compared at least
        const QString poiDay = m_folder.filePath("poi_look.xls");
        const QString poiMade = m_folder.filePath("poi_make.xls");
        const QString own = m_folder.filePath("own.xls");
        poi("makelook", poiDay);
        poi("make", poiMade);
        writeOwn(own);
        QTest::newRow("LibreOffice day") << kData + "/lo_look.xls" << 80;
        QTest::newRow("LibreOffice rich") << kData + "/lo_rich.xls" << 30;
        QTest::newRow("Gnumeric day") << kData + "/gnumeric_look.xls" << 80;
        QTest::newRow("Gnumeric rich") << kData + "/gnumeric_rich.xls" << 30;
        QTest::newRow("POI day") << poiDay << 100;
        QTest::newRow("POI rows") << poiMade << 1000;
        QTest::newRow("our writer") << own << 28;
    }
    void matchesPoi() {
        QFETCH(QString, file);
        QFETCH(int, least);
        doubles::ScriptedMessages messages;
        QPointer<WorkbookViewer> viewer = app::showViewing(file, messages);
        QVERIFY2(viewer, qPrintable(messages.shown.value(0).prompt));
        const Comparison comparison(viewer, poi("look", file));
        viewer->close();
        QVERIFY2(comparison.problems().isEmpty(),
                 qPrintable(comparison.problems().mid(0, 20).join(u'\n')));
        QVERIFY2(comparison.cells() >= least, qPrintable(QString::number(comparison.cells())));
    }

private:
    QTemporaryDir m_folder;
};

QTEST_MAIN(TstViewerLook)
#include "tst_viewer_look.moc"
