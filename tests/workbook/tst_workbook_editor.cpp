// The record-level editor: a file opened and saved unchanged keeps every byte; the store's
// edits (H1 replaced, rows appended, texts into the shared strings, a spill sheet) read back
// as the value-level model predicts, by our reader and by xlrd, in files of our own writer,
// xlwt and LibreOffice; other streams kept byte for byte; records that lie refused with the
// file untouched.

#include "support/compound_tree.h"
#include "workbook/biff_reader.h"
#include "workbook/biff_writer.h"
#include "workbook/compound_file.h"
#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "workbook/reasons.h"
#include "workbook/shared_strings.h"
#include "xls_test_support.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <map>

using namespace workbook;
using FileMaker = std::function<QString(const QString& folder)>;
Q_DECLARE_METATYPE(FileMaker)
Q_DECLARE_METATYPE(workbook::Error::Kind)

namespace {

const char* const Captions[] = {"序号", "日期", "时间", "车号", "毛重", "皮重", "净重"};

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::vector<std::uint8_t> workbookStream(const QString& path) {
    return detail::openCompoundFile(path).stream;
}

// A day's workbook of our own writer with `rows` rows below the header.
QString ownDay(const QString& folder, int rows) {
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("Sheet1"));
    for (int c = 0; c < 7; ++c)
        sheet.setText(1, c + 1, QString::fromUtf8(Captions[c]));
    sheet.setNumber(1, 8, rows + 1);
    for (int r = 2; r <= rows + 1; ++r) {
        sheet.setNumber(r, 1, r - 1);
        sheet.setText(r, 2, QStringLiteral("2026-12-7"));
        sheet.setText(r, 3,
                      QStringLiteral("%1:%2:%3").arg(r / 3600 % 24).arg(r / 60 % 60).arg(r % 60));
        sheet.setText(r, 4, QString::fromUtf8("粤B%1").arg(r % 4999));
        sheet.setNumber(r, 5, 20000 + r % 15000 + (r % 4) * 0.25);
        sheet.setNumber(r, 6, 8000.5);
        sheet.setNumber(r, 7, 12000 + r % 15000 + (r % 4) * 0.25 - 0.5);
    }
    const QString path = folder + QStringLiteral("/own-%1.xls").arg(rows);
    writeBook(book, path);
    return path;
}

QString xlwtFile(const QString& folder, const QString& name) {
    QString error;
    if (!QFile::exists(folder + u'/' + name))
        wbtest::runPython(QStringLiteral("xlwt_fixtures.py"), {folder}, &error);
    return error.isEmpty() ? folder + u'/' + name : QString();
}

QString copied(const QString& folder, const QString& name) {
    const QString path = folder + u'/' + name;
    QFile::copy(wbtest::sourceDir() + QStringLiteral("/data/") + name, path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    return path;
}

// What a store writes, applied both to the editor and to the value-level model.
struct Writes {
    std::vector<std::tuple<int, int, int, QString>> cells; // sheet, row, column, text
    QString newSheet;                                      // added before the writes
};

void applyToModel(Book& book, const Writes& w) {
    if (!w.newSheet.isEmpty())
        book.addSheet(w.newSheet);
    for (const auto& [sheet, row, column, text] : w.cells) {
        Sheet& s = book.sheet(sheet);
        if (const auto number = numberFromText(text))
            s.setNumber(row, column, *number);
        else if (text.isEmpty())
            s.clearCell(row, column);
        else
            s.setText(row, column, text);
    }
}

// The store's writes into sheet `sheet`: `rows` rows below `last`, then H1; texts long and
// short, Latin and Chinese, so that the shared strings grow over record boundaries.
Writes dayWrites(int sheet, int last, int rows) {
    Writes w;
    for (int k = 1; k <= rows; ++k) {
        const int r = last + k;
        w.cells.emplace_back(sheet, r, 1, numberText(r - 1));
        w.cells.emplace_back(sheet, r, 2, QStringLiteral("2026-12-8"));
        w.cells.emplace_back(sheet, r, 3, QStringLiteral("9:%1:%2").arg(k / 60 % 60).arg(k % 60));
        w.cells.emplace_back(sheet, r, 4,
                             k % 5 == 0 ? QString() : QString::fromUtf8("京A%1").arg(k));
        w.cells.emplace_back(sheet, r, 5, numberText(30000 + k * 0.5));
        w.cells.emplace_back(sheet, r, 6, k % 7 == 0 ? QStringLiteral("00123") : numberText(8000));
        w.cells.emplace_back(sheet, r, 7,
                             k % 97 == 0 ? QString(300 + k % 900, QChar(0x4E00 + k % 300))
                                         : numberText(22000 + k * 0.5));
    }
    w.cells.emplace_back(sheet, 1, 8, numberText(last + rows));
    return w;
}

// What Apache POI sees in the workbook at `path`, one property a line; empty `error` on success.
QStringList poiDump(const QString& command, const QString& path, QString* error) {
    QProcess p;
    p.start(QStringLiteral(WB_JAVA), {QStringLiteral("-cp"), QStringLiteral(WB_POI_CLASSPATH),
                                      QStringLiteral("PoiDump"), command, path});
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        *error =
            QStringLiteral("PoiDump failed (Apache POI and a JDK come with scripts/setup.sh): ") +
            QString::fromUtf8(p.readAllStandardError());
    return QString::fromUtf8(p.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

QString poiFile(const QString& folder) {
    const QString path = folder + QStringLiteral("/poi.xls");
    QString error;
    if (!QFile::exists(path))
        poiDump(QStringLiteral("make"), path, &error);
    return error.isEmpty() ? path : QString();
}

// The dump's lines of a row of a sheet (its row line and cells), by row number.
bool isRowLine(const QString& line, const QString& sheet, int* row) {
    const QStringList f = line.split(u'\t');
    if (f.size() < 3 || f[1] != sheet || (f[0] != u"row" && f[0] != u"cell"))
        return false;
    if (f[0] == u"row") {
        *row = f[2].toInt();
        return true;
    }
    qsizetype digits = 0;
    while (digits < f[2].size() && f[2][digits].isLetter())
        ++digits;
    *row = f[2].mid(digits).toInt();
    return true;
}

} // namespace

class TestWorkbookEditor : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }
    void files_data();
    void unchangedFileKeepsEveryByte();
    void unchangedFileKeepsEveryByte_data() { files_data(); }
    void storeEdits();
    void storeEdits_data() { files_data(); }
    void editsOfOldRows();
    void editsOfOldRows_data() { files_data(); }
    void spillSheet();
    void foreignFilesKeepEverything_data();
    void foreignFilesKeepEverything();
    void lyingRecords_data();
    void lyingRecords();
    void faultsOfALargeFile_data();
    void faultsOfALargeFile();
    void editInsideSeveralCells_data();
    void editInsideSeveralCells();
    void compoundFileKeptWhole_data() { files_data(); }
    void compoundFileKeptWhole();
    void lyingCompoundFiles_data();
    void lyingCompoundFiles();
    void everyFixtureReadAlike_data();
    void everyFixtureReadAlike();
    void oneReadingOfACell_data();
    void oneReadingOfACell();
    void refusalsNameFileAndSheet_data();
    void refusalsNameFileAndSheet();
    void newCellRecords_data();
    void newCellRecords();
    void appendAfterAFullTable_data();
    void appendAfterAFullTable();
    void sharedStrings_data();
    void sharedStrings();
    void textsByNumber_data();
    void textsByNumber();
    void lastEditOfACellCounts_data();
    void lastEditOfACellCounts();
    void fullSizeRecordKept();
    void cellsOfAChartRefused();

private:
    QTemporaryDir m_dir;
};

void TestWorkbookEditor::files_data() {
    QTest::addColumn<FileMaker>("make");
    QTest::newRow("own, 3 rows") << FileMaker([](const QString& f) { return ownDay(f, 3); });
    QTest::newRow("own, 8000 rows") << FileMaker([](const QString& f) { return ownDay(f, 8000); });
    QTest::newRow("xlwt values") << FileMaker(
        [](const QString& f) { return xlwtFile(f, QStringLiteral("values.xls")); });
    QTest::newRow("xlwt big") << FileMaker(
        [](const QString& f) { return xlwtFile(f, QStringLiteral("big.xls")); });
    QTest::newRow("LibreOffice day")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_day.xls")); });
    QTest::newRow("LibreOffice mixed")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_mixed.xls")); });
    QTest::newRow("LibreOffice rich")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_rich.xls")); });
    QTest::newRow("Gnumeric rich") << FileMaker(
        [](const QString& f) { return copied(f, QStringLiteral("gnumeric_rich.xls")); });
    QTest::newRow("POI, row blocks") << FileMaker([](const QString& f) { return poiFile(f); });
}

void TestWorkbookEditor::foreignFilesKeepEverything_data() {
    QTest::addColumn<FileMaker>("make");
    QTest::addColumn<QString>("numberFormatOfF"); // what new cells of column F show
    QTest::newRow("LibreOffice rich")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_rich.xls")); })
        << QStringLiteral("General");
    QTest::newRow("Gnumeric rich") << FileMaker([](const QString& f) {
        return copied(f, QStringLiteral("gnumeric_rich.xls"));
    }) << QStringLiteral("General");
    QTest::newRow("POI, row blocks")
        << FileMaker([](const QString& f) { return poiFile(f); }) << QStringLiteral("#,##0.00");
    QTest::newRow("xlwt values") << FileMaker([](const QString& f) {
        return xlwtFile(f, QStringLiteral("values.xls"));
    }) << QStringLiteral("General");
    QTest::newRow("own") << FileMaker([](const QString& f) { return ownDay(f, 40); })
                         << QStringLiteral("General");
}

// After a store into sheet1, POI sees every cell and property the store did not write as it
// was: formulas with their results, formats, widths, heights, comments, merges, names,
// pictures and drawings; every stream but the workbook's is byte for byte the same.
void TestWorkbookEditor::foreignFilesKeepEverything() {
    QFETCH(FileMaker, make);
    QFETCH(QString, numberFormatOfF);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    QString error;
    const QStringList before = poiDump(QStringLiteral("dump"), path, &error);
    QCOMPARE(error, QString());
    const wbtest::CompoundTree treeBefore = wbtest::readCompoundTree(path);
    int last = 0;
    QString sheetName;
    {
        Editor editor(path);
        const int sheet = editor.indexOf(u"sheet1");
        QVERIFY(sheet >= 0);
        sheetName = editor.sheetInfo(sheet).name;
        last = editor.lastRow(sheet);
        for (const auto& [s, row, column, text] : dayWrites(sheet, last, 300).cells)
            editor.setCell(s, row, column, text);
        editor.save();
    }
    const QStringList after = poiDump(QStringLiteral("dump"), path, &error);
    QCOMPARE(error, QString());
    // Apart from H1 and the new rows, line for line the same.
    const QString h1Line = QStringLiteral("cell\t%1\tH1\t").arg(sheetName);
    auto untouched = [&](const QStringList& lines) {
        QStringList kept;
        for (const QString& line : lines) {
            int row = 0;
            if (isRowLine(line, sheetName, &row) && (row > last || line.startsWith(h1Line)))
                continue;
            kept << line;
        }
        return kept;
    };
    const QStringList a = untouched(before);
    const QStringList b = untouched(after);
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i)
        QCOMPARE(b[i], a[i]);
    QCOMPARE(b.size(), a.size());
    // The written cells; column F's with the format the column gives them.
    auto line = [&](const QString& start) {
        const auto it = std::find_if(after.begin(), after.end(),
                                     [&](const QString& l) { return l.startsWith(start); });
        return it == after.end() ? QString() : *it;
    };
    QVERIFY(!line(h1Line + QStringLiteral("number\t%1.0\t").arg(last + 300)).isEmpty());
    QVERIFY(!line(QStringLiteral("cell\t%1\tD%2\ttext\t京A1\t").arg(sheetName).arg(last + 1))
                 .isEmpty());
    const QString f =
        line(QStringLiteral("cell\t%1\tF%2\tnumber\t8000.0\t").arg(sheetName).arg(last + 1));
    QVERIFY2(f.contains(QStringLiteral(" format=") + numberFormatOfF + u' '), qPrintable(f));

    const wbtest::CompoundTree treeAfter = wbtest::readCompoundTree(path);
    QCOMPARE(treeAfter.root.children.size(), treeBefore.root.children.size());
    QVERIFY(treeAfter.root.classId == treeBefore.root.classId);
    for (std::size_t i = 0; i < treeBefore.root.children.size(); ++i) {
        const wbtest::CompoundEntry& x = treeBefore.root.children[i];
        const wbtest::CompoundEntry& y = treeAfter.root.children[i];
        QCOMPARE(y.name, x.name);
        if (x.name != "Workbook")
            QVERIFY2(y.data == x.data && y.children.size() == x.children.size(), x.name.c_str());
    }
}

void TestWorkbookEditor::unchangedFileKeepsEveryByte() {
    QFETCH(FileMaker, make);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    const std::vector<std::uint8_t> before = workbookStream(path);
    const wbtest::CompoundTree treeBefore = wbtest::readCompoundTree(path);
    Editor editor(path);
    QVERIFY(editor.editedStream() == before);
    editor.save();
    QVERIFY(workbookStream(path) == before);
    const wbtest::CompoundTree treeAfter = wbtest::readCompoundTree(path);
    QCOMPARE(treeAfter.root.children.size(), treeBefore.root.children.size());
    for (std::size_t i = 0; i < treeBefore.root.children.size(); ++i) {
        QCOMPARE(treeAfter.root.children[i].name, treeBefore.root.children[i].name);
        QVERIFY(treeAfter.root.children[i].data == treeBefore.root.children[i].data);
    }
}

void TestWorkbookEditor::storeEdits() {
    QFETCH(FileMaker, make);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    Book expected = readBook(path);
    QString error;
    Book expectedXlrd = wbtest::xlrdBook(path, &error);
    QCOMPARE(error, QString());
    Writes writes;
    {
        Editor editor(path);
        const int sheet = editor.indexOf(expected.sheet(0).name());
        QCOMPARE(sheet, 0);
        const int last = std::max(editor.lastRow(0), 1);
        QCOMPARE(last, std::max(expected.sheet(0).rowCount(), 1));
        writes = dayWrites(0, last, 1500);
        // A cell of the first row replaced by an empty text, another written anew.
        writes.cells.emplace_back(0, 1, 3, QString());
        writes.cells.emplace_back(0, 1, 10, QStringLiteral("备注"));
        for (const auto& [s, row, column, text] : writes.cells)
            editor.setCell(s, row, column, text);
        QCOMPARE(editor.cell(0, 1, 8), Value::number(last + 1500));
        QCOMPARE(editor.lastRow(0), last + 1500);
        editor.save();
    }
    applyToModel(expected, writes);
    QCOMPARE(wbtest::firstDifference(expected, readBook(path)), QString());
    // xlrd gives dates as numbers: compared with what it read before the edits.
    applyToModel(expectedXlrd, writes);
    const Book independent = wbtest::xlrdBook(path, &error);
    QCOMPARE(error, QString());
    QCOMPARE(wbtest::firstDifference(expectedXlrd, independent), QString());

    // The edited file is edited again as it was left: the next store continues it.
    Editor::Opening opened = Editor::open(path);
    QCOMPARE(opened.refusal, QString());
    QVERIFY(opened.editor);
    Editor& again = *opened.editor;
    QCOMPARE(again.cell(0, 1, 8), Value::number(again.lastRow(0)));
    QVERIFY(again.editedStream() == workbookStream(path));
    const Writes more = dayWrites(0, again.lastRow(0), 40);
    for (const auto& [s, row, column, text] : more.cells)
        again.setCell(s, row, column, text);
    again.save();
    applyToModel(expected, more);
    QCOMPARE(wbtest::firstDifference(expected, readBook(path)), QString());
}

// Cells of rows the file already has, replaced and added, in every row block (each block's
// first row among them): every reader sees each edit once, and every other cell as it was.
void TestWorkbookEditor::editsOfOldRows() {
    QFETCH(FileMaker, make);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    Book expected = readBook(path);
    const int last = expected.sheet(0).rowCount();
    {
        Editor editor(path);
        for (int row = 1; row <= last; row += 16)
            for (const int column : {2, 12}) {
                editor.setCell(0, row, column, QStringLiteral("改%1").arg(row));
                expected.sheet(0).setText(row, column, QStringLiteral("改%1").arg(row));
            }
        editor.save();
    }
    QCOMPARE(wbtest::firstDifference(expected, readBook(path)), QString());
    QString error;
    const Book independent = wbtest::xlrdBook(path, &error);
    QCOMPARE(error, QString());
    for (int row = 1; row <= last; row += 16)
        QCOMPARE(independent.sheet(0).cell(row, 2), Value::text(QStringLiteral("改%1").arg(row)));
}

void TestWorkbookEditor::spillSheet() {
    // A full sheet1: H1 set to 65536 there, the rows go on in a new sheet2 of the same file.
    const QString path = ownDay(m_dir.path(), 65535);
    Book expected = readBook(path);
    Writes writes;
    writes.newSheet = QStringLiteral("sheet2");
    {
        Editor editor(path);
        QCOMPARE(editor.lastRow(0), MaxRows);
        QCOMPARE(editor.addWorksheet(QStringLiteral("sheet2")), 1);
        QCOMPARE(editor.sheetInfo(1).kind, Editor::SheetKind::Worksheet);
        QVERIFY_THROWS_EXCEPTION(Error, editor.addWorksheet(QStringLiteral("SHEET2")));
        writes.cells.emplace_back(0, 1, 8, numberText(MaxRows));
        for (int c = 0; c < 7; ++c)
            writes.cells.emplace_back(1, 1, c + 1, QString::fromUtf8(Captions[c]));
        const Writes rows = dayWrites(1, 1, 30);
        writes.cells.insert(writes.cells.end(), rows.cells.begin(), rows.cells.end());
        for (const auto& [s, row, column, text] : writes.cells)
            editor.setCell(s, row, column, text);
        QCOMPARE(editor.trySave(), std::nullopt);
    }
    applyToModel(expected, writes);
    QCOMPARE(wbtest::firstDifference(expected, readBook(path)), QString());
}

namespace {
// The position of the `nth` record of `type` in a workbook stream (0 when there is none).
std::size_t find(const std::vector<std::uint8_t>& s, std::uint16_t type, int nth = 0) {
    std::size_t pos = 0;
    while (pos + 4 <= s.size()) {
        const std::uint16_t t = qFromLittleEndian<std::uint16_t>(&s[pos]);
        if (t == type && nth-- == 0)
            return pos;
        pos += 4 + qFromLittleEndian<std::uint16_t>(&s[pos + 2]);
    }
    return std::size_t(0);
}
} // namespace

void TestWorkbookEditor::lyingRecords_data() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QTest::addColumn<Lie>("lie");
    // Positions in our own three-row day file: the globals, then the one sheet.
    QTest::newRow("record past the end") << Lie([=](std::vector<std::uint8_t>& s) {
        qToLittleEndian<std::uint16_t>(8000, &s[find(s, 0x00FC) + 2]);
    });
    QTest::newRow("sheet position into nowhere") << Lie([=](std::vector<std::uint8_t>& s) {
        qToLittleEndian<std::uint32_t>(17, &s[find(s, 0x0085) + 4]);
    });
    QTest::newRow("sheet position past the end") << Lie([=](std::vector<std::uint8_t>& s) {
        qToLittleEndian<std::uint32_t>(0x7FFFFFF0, &s[find(s, 0x0085) + 4]);
    });
    QTest::newRow("cells out of order") << Lie([=](std::vector<std::uint8_t>& s) {
        // The first data row's serial number claims row 3.
        qToLittleEndian<std::uint16_t>(3, &s[find(s, 0x027E, 1) + 4]);
    });
    QTest::newRow("shared-string count too large") << Lie([=](std::vector<std::uint8_t>& s) {
        const std::size_t at = find(s, 0x00FC) + 8;
        qToLittleEndian<std::uint32_t>(qFromLittleEndian<std::uint32_t>(&s[at]) + 1, &s[at]);
    });
    QTest::newRow("shared-string count too small") << Lie([=](std::vector<std::uint8_t>& s) {
        const std::size_t at = find(s, 0x00FC) + 8;
        qToLittleEndian<std::uint32_t>(qFromLittleEndian<std::uint32_t>(&s[at]) - 1, &s[at]);
    });
    QTest::newRow("shared string that does not exist") << Lie([=](std::vector<std::uint8_t>& s) {
        qToLittleEndian<std::uint32_t>(9999, &s[find(s, 0x00FD, 2) + 10]);
    });
    QTest::newRow("a column twice in one row") << Lie([=](std::vector<std::uint8_t>& s) {
        // The second caption claims the first one's column.
        qToLittleEndian<std::uint16_t>(0, &s[find(s, 0x00FD, 1) + 6]);
    });
    QTest::newRow("a number posing as several") << Lie([=](std::vector<std::uint8_t>& s) {
        // An RK made a MULRK: its length leaves no room for its last column.
        qToLittleEndian<std::uint16_t>(0x00BD, &s[find(s, 0x027E, 1)]);
    });
    QTest::newRow("an INDEX that points past its DBCELL") << Lie([=](std::vector<std::uint8_t>& s) {
        // Gnumeric's file: ours and LibreOffice's have no INDEX.
        const auto gnumeric = detail::CompoundImage::read(
            wbtest::sourceDir() + QStringLiteral("/data/gnumeric_rich.xls"));
        s.assign(gnumeric.workbook().begin(), gnumeric.workbook().end());
        const std::size_t at = find(s, 0x020B) + 4 + 16;
        QVERIFY(at > 20);
        qToLittleEndian<std::uint32_t>(qFromLittleEndian<std::uint32_t>(&s[at]) + 4, &s[at]);
    });
    QTest::newRow("no end of the sheet")
        << Lie([=](std::vector<std::uint8_t>& s) { s.resize(s.size() - 4); });
    QTest::newRow("older version") << Lie(
        [=](std::vector<std::uint8_t>& s) { qToLittleEndian<std::uint16_t>(0x0500, &s[4]); });
}

void TestWorkbookEditor::lyingRecords() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QFETCH(Lie, lie);
    const QString path = m_dir.filePath(QStringLiteral("lie.xls"));
    std::vector<std::uint8_t> stream = workbookStream(ownDay(m_dir.path(), 3));
    lie(stream);
    detail::writeStreamFile(stream, path);
    const QByteArray before = contents(path);
    Editor::Opening opened = Editor::open(path);
    QString refusal = opened.refusal;
    if (opened.editor) {
        opened.editor->setCell(0, 5, 1, QStringLiteral(" 4"));
        refusal = opened.editor->trySave().value_or(QString());
    }
    QVERIFY2(!refusal.isEmpty(), "the editor took a file whose records lie");
    QCOMPARE(contents(path), before);
}

// The shared strings of a large file are read while its sheet is: a fault of theirs is told
// as before, also when the sheet has one too (it comes first in the file), and a fault of the
// sheet alone is told as its own.
// An edit inside a MULRK or a MULBLANK splits it into single cells: the record's other cells
// keep their values, and the file reads whole.
void TestWorkbookEditor::editInsideSeveralCells_data() {
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("first"); // the record's columns, 1-based
    QTest::addColumn<int>("last");
    QTest::addColumn<int>("edited");
    QTest::newRow("numbers (MULRK)") << "lo_day.xls" << 2 << 5 << 7 << 6;
    QTest::newRow("blanks (MULBLANK)") << "lo_rich.xls" << 1 << 2 << 3 << 2;
}

void TestWorkbookEditor::editInsideSeveralCells() {
    QFETCH(QString, fixture);
    QFETCH(int, row);
    QFETCH(int, first);
    QFETCH(int, last);
    QFETCH(int, edited);
    const QString path = copied(m_dir.path(), fixture);
    const Book before = readBook(path);
    Editor editor(path);
    editor.setCell(0, row, edited, QStringLiteral(" 4.5"));
    editor.save();
    const Book after = readBook(path);
    for (int c = first; c <= last; ++c)
        if (c != edited)
            QCOMPARE(after.sheet(0).cell(row, c), before.sheet(0).cell(row, c));
    QCOMPARE(after.sheet(0).cell(row, edited), Value::number(4.5));
    QCOMPARE(after.sheet(0).cell(row + 1, first), before.sheet(0).cell(row + 1, first));
}

void TestWorkbookEditor::faultsOfALargeFile_data() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QTest::addColumn<Lie>("lie");
    QTest::addColumn<QString>("told");
    const Lie countTooLarge = [](std::vector<std::uint8_t>& s) {
        const std::size_t at = find(s, 0x00FC) + 8;
        qToLittleEndian<std::uint32_t>(qFromLittleEndian<std::uint32_t>(&s[at]) + 1, &s[at]);
    };
    const Lie outOfOrder = [](std::vector<std::uint8_t>& s) {
        qToLittleEndian<std::uint16_t>(3, &s[find(s, 0x027E, 1) + 4]);
    };
    const Lie missingText = [](std::vector<std::uint8_t>& s) {
        const std::size_t at = find(s, 0x00FD, 5000) + 10;
        qToLittleEndian<std::uint32_t>(qFromLittleEndian<std::uint32_t>(&s[find(s, 0x00FC) + 8]),
                                       &s[at]);
    };
    QTest::newRow("count of the strings")
        << countTooLarge << reasonText(Reason::SharedStringCountWrong);
    QTest::newRow("count of the strings, and cells out of order")
        << Lie([=](std::vector<std::uint8_t>& s) {
               outOfOrder(s);
               countTooLarge(s);
           })
        << reasonText(Reason::SharedStringCountWrong);
    QTest::newRow("cells out of order") << outOfOrder << reasonText(Reason::CellsOutOfOrder);
    QTest::newRow("one past the last string")
        << missingText << reasonText(Reason::SharedTextMissing);
}

void TestWorkbookEditor::faultsOfALargeFile() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QFETCH(Lie, lie);
    QFETCH(QString, told);
    const QString path = m_dir.filePath(QStringLiteral("large-lie.xls"));
    std::vector<std::uint8_t> stream = workbookStream(ownDay(m_dir.path(), 8000));
    lie(stream);
    detail::writeStreamFile(stream, path);
    QVERIFY2(Editor::open(path).refusal.contains(told), qPrintable(Editor::open(path).refusal));
}

namespace {

// Every stream and storage under `a` and `b` alike: names, kinds, class ids and bytes.
QString firstTreeDifference(const wbtest::CompoundEntry& a, const wbtest::CompoundEntry& b) {
    if (a.name != b.name || a.storage != b.storage || a.classId != b.classId)
        return QString::fromStdString(a.name + " differs in name, kind or class id");
    if (a.data != b.data)
        return QString::fromStdString(a.name + ": bytes differ");
    if (a.children.size() != b.children.size())
        return QString::fromStdString(a.name + ": another number of entries");
    for (std::size_t i = 0; i < a.children.size(); ++i)
        if (const QString d = firstTreeDifference(a.children[i], b.children[i]); !d.isEmpty())
            return d;
    return {};
}

std::uint32_t at32(const std::vector<std::uint8_t>& f, std::size_t at) {
    return qFromLittleEndian<std::uint32_t>(&f[at]);
}
void put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    qToLittleEndian(v, &f[at]);
}
// In a file of our own writer (512-byte sectors, one directory sector, one FAT sector at
// first): where the workbook stream's directory entry lies, and where the FAT entry of
// sector `s` lies.
std::size_t workbookEntryAt(const std::vector<std::uint8_t>& f) {
    const std::size_t dir = (at32(f, 48) + 1) * 512;
    for (std::size_t e = dir; e < dir + 512; e += 128)
        if (f[e] == 'W' && f[e + 2] == 'o' && f[e + 66] == 2)
            return e;
    return 0;
}
std::size_t fatEntryAt(const std::vector<std::uint8_t>& f, std::uint32_t s) {
    return (at32(f, 76) + 1) * 512 + 4 * s;
}

} // namespace

// Read and written again, a compound file keeps every stream and storage (names, class ids,
// bytes; the workbook stream too when it is handed back unchanged), and writing that file
// again gives the same bytes.
void TestWorkbookEditor::compoundFileKeptWhole() {
    QFETCH(FileMaker, make);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    const detail::CompoundImage image = detail::CompoundImage::read(path);
    QCOMPARE(image.state(), detail::CompoundFile::State::Workbook);
    QVERIFY(std::ranges::equal(image.workbook(), workbookStream(path)));
    const std::vector<std::uint8_t> once = image.bytes({image.workbook()});
    const QString copy = m_dir.filePath(QStringLiteral("kept.xls"));
    image.save(copy, {image.workbook()});
    QCOMPARE(contents(copy), QByteArray(reinterpret_cast<const char*>(once.data()),
                                        static_cast<qsizetype>(once.size())));
    const wbtest::CompoundTree before = wbtest::readCompoundTree(path);
    const wbtest::CompoundTree after = wbtest::readCompoundTree(copy);
    QCOMPARE(after.state, detail::CompoundFile::State::Workbook);
    QCOMPARE(firstTreeDifference(before.root, after.root), QString());
    const detail::CompoundImage again = detail::CompoundImage::fromBytes(once, copy);
    QVERIFY(again.bytes({again.workbook()}) == once);
    // A workbook stream that grows out of the mini stream, or far beyond its sectors.
    std::vector<std::uint8_t> grown(image.workbook().begin(), image.workbook().end());
    grown.resize(grown.size() + 70000, 0x5A);
    const std::vector<std::uint8_t> bigger =
        image.bytes({image.workbook(), {&grown[image.workbook().size()], 70000}});
    const detail::CompoundImage third = detail::CompoundImage::fromBytes(bigger, copy);
    QVERIFY(std::ranges::equal(third.workbook(), grown));
}

void TestWorkbookEditor::lyingCompoundFiles_data() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QTest::addColumn<Lie>("lie");
    QTest::addColumn<Error::Kind>("kind");
    const auto damaged = Error::Kind::Damaged;
    QTest::newRow("no signature") << Lie([](auto& f) { f[0] = 'P'; }) << Error::Kind::NotWorkbook;
    QTest::newRow("cut in its header") << Lie([](auto& f) { f.resize(300); }) << damaged;
    QTest::newRow("byte order") << Lie([](auto& f) { f[28] = 0; }) << damaged;
    QTest::newRow("sector size") << Lie([](auto& f) { f[30] = 10; }) << damaged;
    QTest::newRow("mini stream cutoff") << Lie([](auto& f) { put32(f, 56, 512); }) << damaged;
    QTest::newRow("FAT count past the file")
        << Lie([](auto& f) { put32(f, 44, 0x7FFFFFFF); }) << damaged;
    QTest::newRow("FAT sector past the end")
        << Lie([](auto& f) { put32(f, 76, 0x00FFFFF0); }) << damaged;
    QTest::newRow("more FAT sectors than the DIFAT lists")
        << Lie([](auto& f) { put32(f, 44, 110); }) << damaged;
    QTest::newRow("DIFAT chain into nowhere") << Lie([](auto& f) {
        put32(f, 44, 110);
        put32(f, 68, 0x00FFFFF0);
        put32(f, 72, 1);
    }) << damaged;
    QTest::newRow("directory chain loops")
        << Lie([](auto& f) { put32(f, fatEntryAt(f, at32(f, 48)), at32(f, 48)); }) << damaged;
    QTest::newRow("directory past the end")
        << Lie([](auto& f) { put32(f, 48, 0x00FFFFF0); }) << damaged;
    QTest::newRow("workbook chain loops") << Lie([](auto& f) {
        const std::uint32_t start = at32(f, workbookEntryAt(f) + 116);
        put32(f, fatEntryAt(f, start + 2), start);
    }) << damaged;
    QTest::newRow("workbook chain into nowhere") << Lie([](auto& f) {
        const std::uint32_t start = at32(f, workbookEntryAt(f) + 116);
        put32(f, fatEntryAt(f, start + 1), 0x00FFFFF0);
    }) << damaged;
    QTest::newRow("workbook longer than its chain") << Lie([](auto& f) {
        put32(f, workbookEntryAt(f) + 120, at32(f, workbookEntryAt(f) + 120) + 4096);
    }) << damaged;
    QTest::newRow("workbook larger than the file")
        << Lie([](auto& f) { put32(f, workbookEntryAt(f) + 120, 0x7FFFFFFF); }) << damaged;
    QTest::newRow("directory loops back on itself") << Lie([](auto& f) {
        const std::size_t e = workbookEntryAt(f);
        put32(f, e + 72, static_cast<std::uint32_t>((e % 512) / 128));
    }) << damaged;
    QTest::newRow("entry number past the directory")
        << Lie([](auto& f) { put32(f, workbookEntryAt(f) + 68, 4000); }) << damaged;
    QTest::newRow("mini stream with no sectors")
        << Lie([](auto& f) { put32(f, (at32(f, 48) + 1) * 512 + 120, 64); }) << damaged;
    QTest::newRow("file cut short") << Lie([](auto& f) { f.resize(f.size() - 3000); }) << damaged;
}

// A compound file whose header, FAT, DIFAT or directory lies is refused with a reason, and
// the editor leaves it untouched.
void TestWorkbookEditor::lyingCompoundFiles() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QFETCH(Lie, lie);
    QFETCH(Error::Kind, kind);
    const QByteArray made = contents(ownDay(m_dir.path(), 400));
    std::vector<std::uint8_t> bytes(made.begin(), made.end());
    QVERIFY(workbookEntryAt(bytes) != 0);
    QCOMPARE(detail::CompoundImage::fromBytes(bytes, QString()).workbook().size(),
             workbookStream(ownDay(m_dir.path(), 400)).size());
    lie(bytes);
    try {
        (void)detail::CompoundImage::fromBytes(bytes, QStringLiteral("lie.xls"));
        QFAIL("a lying compound file was read");
    } catch (const Error& e) {
        QCOMPARE(e.kind(), kind);
        QVERIFY(!e.reason().isEmpty());
    }
    const QString path = m_dir.filePath(QStringLiteral("lie.xls"));
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    f.close();
    const QByteArray before = contents(path);
    QVERIFY_THROWS_EXCEPTION(Error, Editor{path});
    QCOMPARE(contents(path), before);
}

void TestWorkbookEditor::everyFixtureReadAlike_data() {
    QTest::addColumn<FileMaker>("make");
    const QDir data(wbtest::sourceDir() + QStringLiteral("/data"));
    for (const QString& name : data.entryList({QStringLiteral("*.xls")}, QDir::Files))
        QTest::newRow(qPrintable(name))
            << FileMaker([name](const QString& f) { return copied(f, name); });
    for (const char* name : {"values.xls", "big.xls", "dated.xls"})
        QTest::newRow(name) << FileMaker(
            [name](const QString& f) { return xlwtFile(f, QString::fromLatin1(name)); });
    QTest::newRow("own") << FileMaker([](const QString& f) { return ownDay(f, 40); });
    QTest::newRow("POI, row blocks") << FileMaker([](const QString& f) { return poiFile(f); });
}

// The viewer, the store's reader and the editor (whose cells the journal checks its rows
// against) read every fixture alike: the same cells, where the viewer shows a date-formatted
// number as a number and an error value as its text, the store a date text and nothing. A
// file that cannot be read fails alike for the viewer and the store.
void TestWorkbookEditor::everyFixtureReadAlike() {
    QFETCH(FileMaker, make);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    std::optional<Book> stored;
    std::optional<Book> viewed;
    std::optional<Error::Kind> storeFailed;
    std::optional<Error::Kind> viewerFailed;
    try {
        stored = readBook(path);
    } catch (const Error& e) {
        storeFailed = e.kind();
    }
    try {
        viewed = readForViewing(path).book;
    } catch (const Error& e) {
        viewerFailed = e.kind();
    }
    QCOMPARE(viewerFailed, storeFailed);
    if (storeFailed)
        return;
    static const QRegularExpression dateOrTime(
        QStringLiteral(R"(^(\d{4}-\d\d-\d\d)?( ?\d\d:\d\d:\d\d)?$)"));
    QCOMPARE(viewed->sheetCount(), stored->sheetCount());
    for (int i = 0; i < stored->sheetCount(); ++i) {
        const Sheet& s = stored->sheet(i);
        const Sheet& v = viewed->sheet(i);
        QCOMPARE(v.name(), s.name());
        for (int r = 1; r <= std::max(s.rowCount(), v.rowCount()); ++r)
            for (int c = 1; c <= std::max(s.columnCount(), v.columnCount()); ++c) {
                const Value a = s.cell(r, c);
                const Value b = v.cell(r, c);
                const bool date = a.kind() == Value::Kind::Text &&
                                  b.kind() == Value::Kind::Number &&
                                  dateOrTime.match(a.toString()).hasMatch();
                const bool error = a.isEmpty() && b.toString().startsWith(u'#');
                QVERIFY2(a == b || date || error,
                         qPrintable(QStringLiteral("%1 row %2 column %3: \"%4\" viewed as \"%5\"")
                                        .arg(s.name())
                                        .arg(r)
                                        .arg(c)
                                        .arg(a.toString(), b.toString())));
            }
    }
    Editor::Opening opened = Editor::open(path);
    if (!opened.editor)
        return; // a file the editor cannot keep whole is stored by value
    const Editor& editor = *opened.editor;
    for (int i = 0; i < stored->sheetCount(); ++i) {
        const Sheet& sheet = stored->sheet(i);
        const int index = editor.indexOf(sheet.name());
        QVERIFY(index >= 0);
        // Every row of a small sheet; of a big one, a hundred spread over it and the last (the
        // editor finds each cell asked of it on its own: the whole of xlwt's 20,000 rows so
        // took a minute under the sanitizers).
        const int step = sheet.rowCount() > 2000 ? sheet.rowCount() / 100 : 1;
        std::vector<int> rows;
        for (int r = 1; r <= sheet.rowCount(); r += step)
            rows.push_back(r);
        if (!rows.empty() && rows.back() != sheet.rowCount())
            rows.push_back(sheet.rowCount());
        for (const int r : rows)
            for (int c = 1; c <= sheet.columnCount(); ++c)
                QVERIFY2(editor.cell(index, r, c) == sheet.cell(r, c),
                         qPrintable(QStringLiteral("%1 row %2 column %3: \"%4\" instead of \"%5\"")
                                        .arg(sheet.name())
                                        .arg(r)
                                        .arg(c)
                                        .arg(editor.cell(index, r, c).toString(),
                                             sheet.cell(r, c).toString())));
    }
    if (path.endsWith(QStringLiteral("dated.xls"))) { // a dated first row
        QCOMPARE(editor.cell(0, 1, 1), Value::text(QStringLiteral("2026-12-07")));
        QCOMPARE(editor.cell(0, 1, 8), Value::text(QStringLiteral("2026-12-07 12:00:00")));
        QCOMPARE(editor.cell(0, 2, 8), Value::number(46363.5));
    }
}

namespace {

using Bytes = std::vector<std::uint8_t>;

void add16(Bytes& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v & 0xFF));
    b.push_back(std::uint8_t(v >> 8));
}
void add32(Bytes& b, std::uint32_t v) {
    add16(b, std::uint16_t(v & 0xFFFF));
    add16(b, std::uint16_t(v >> 16));
}
void add64(Bytes& b, double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    add32(b, std::uint32_t(bits & 0xFFFFFFFFu));
    add32(b, std::uint32_t(bits >> 32));
}
void addText(Bytes& b, const char* latin1) {
    for (const char* c = latin1; *c != 0; ++c)
        b.push_back(std::uint8_t(*c));
}
void addWide(Bytes& b, const char16_t* chars) {
    for (const char16_t* c = chars; *c != 0; ++c)
        add16(b, *c);
}
Bytes record(std::uint16_t type, const Bytes& data) {
    Bytes b;
    add16(b, type);
    add16(b, std::uint16_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}
Bytes cellHead(int column) {
    Bytes b;
    add16(b, 0);
    add16(b, std::uint16_t(column));
    add16(b, 0); // format 0: General
    return b;
}
Bytes number(int column, double v) {
    Bytes b = cellHead(column);
    add64(b, v);
    return record(0x0203, b);
}
Bytes rk(int column, std::uint32_t v) {
    Bytes b = cellHead(column);
    add32(b, v);
    return record(0x027E, b);
}
// A FORMULA whose cached result is `result` (8 bytes), its parsed formula "1" after.
Bytes formula(int column, const Bytes& result) {
    Bytes b = cellHead(column);
    b.insert(b.end(), result.begin(), result.end());
    add16(b, 0);
    add32(b, 0);
    add16(b, 3);
    b.insert(b.end(), {0x1E, 0x01, 0x00});
    return record(0x0006, b);
}
Bytes textResult() {
    return {0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
}
Bytes numberResult(double v) {
    Bytes b;
    add64(b, v);
    return b;
}
// STRING with `count` characters, 8-bit or 16-bit, of which `chars` (its data) lie here.
Bytes string(std::uint16_t count, bool wide, const Bytes& chars) {
    Bytes b;
    add16(b, count);
    b.push_back(wide ? 1 : 0);
    b.insert(b.end(), chars.begin(), chars.end());
    return record(0x0207, b);
}
// CONTINUE whose characters follow a flags byte of their own.
Bytes continued(bool wide, const Bytes& chars) {
    Bytes b{std::uint8_t(wide ? 1 : 0)};
    b.insert(b.end(), chars.begin(), chars.end());
    return record(0x003C, b);
}
Bytes latinChars(const char* s) {
    Bytes b;
    addText(b, s);
    return b;
}
Bytes wideChars(const char16_t* s) {
    Bytes b;
    addWide(b, s);
    return b;
}
template <typename... T> Bytes join(const T&... parts) {
    Bytes b;
    (b.insert(b.end(), parts.begin(), parts.end()), ...);
    return b;
}

// A workbook stream of one worksheet, "S" unless named otherwise, whose first row is made of
// `cells` (records of its cell table), with 16 cell formats; with DIMENSIONS or without.
Bytes oneSheet(const Bytes& cells, const char* name = "S", bool withDimensions = true) {
    Bytes bof;
    add16(bof, 0x0600);
    add16(bof, 0x0005);
    bof.resize(16, 0);
    Bytes globals = record(0x0809, bof);
    for (int k = 0; k < 16; ++k)
        globals = join(globals, record(0x00E0, Bytes(20, 0)));
    const std::size_t boundSheet = globals.size() + 4;
    Bytes boundSheetData{0, 0, 0, 0, 0, 0, std::uint8_t(std::strlen(name)), 0};
    addText(boundSheetData, name);
    globals = join(globals, record(0x0085, boundSheetData), record(0x000A, {}));
    qToLittleEndian(std::uint32_t(globals.size()), &globals[boundSheet]);
    Bytes sheetBof;
    add16(sheetBof, 0x0600);
    add16(sheetBof, 0x0010);
    sheetBof.resize(16, 0);
    Bytes dimensions;
    add32(dimensions, 0);
    add32(dimensions, 1);
    add16(dimensions, 0);
    add16(dimensions, 4);
    add16(dimensions, 0);
    return join(globals, record(0x0809, sheetBof),
                withDimensions ? record(0x0200, dimensions) : Bytes(), cells, record(0x000A, {}));
}

// A cell as the tests write what they expect: "" empty, "n:" a number, "t:" a text.
QString shown(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::Empty:
        return {};
    case Value::Kind::Number:
        return QStringLiteral("n:") + v.toString().trimmed();
    case Value::Kind::Boolean:
        return QStringLiteral("b:") + v.toString();
    default:
        return QStringLiteral("t:") + v.toString();
    }
}
QStringList firstRow(const Sheet& sheet) {
    return {shown(sheet.cell(1, 1)), shown(sheet.cell(1, 2))};
}

} // namespace

Q_DECLARE_METATYPE(Bytes)

void TestWorkbookEditor::oneReadingOfACell_data() {
    QTest::addColumn<Bytes>("cells");        // of the first row
    QTest::addColumn<QStringList>("values"); // A1 and B1 as every reader gives them
    QTest::addColumn<bool>("readerDamaged");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("NaN in NUMBER")
        << join(number(0, nan), number(1, 2.5)) << QStringList{"", "n:2.5"} << false;
    QTest::newRow("infinity in NUMBER")
        << join(number(0, -inf), number(1, 0.1)) << QStringList{"", "n:0.1"} << false;
    QTest::newRow("NaN in RK") << join(rk(0, 0x7FF80000u), rk(1, (7u << 2) | 2))
                               << QStringList{"", "n:7"} << false;
    QTest::newRow("NaN as a formula's number")
        << join(formula(0, numberResult(nan)), formula(1, numberResult(4)))
        << QStringList{"", "n:4"} << false;
    QTest::newRow("formula text going on in CONTINUE, 16-bit there")
        << join(formula(0, textResult()), string(5, false, latinChars("ab")),
                continued(true, wideChars(u"毛重皮")), number(1, 1))
        << QStringList{QString::fromUtf8("t:ab毛重皮"), "n:1"} << false;
    QTest::newRow("formula text starting at CONTINUE, 8-bit there")
        << join(formula(0, textResult()), string(3, true, {}), continued(false, latinChars("xyz")))
        << QStringList{"t:xyz", ""} << false;
    QTest::newRow("formula text over three records")
        << join(formula(0, textResult()), string(4, true, wideChars(u"皮")),
                continued(false, latinChars("a")), continued(true, wideChars(u"净重")),
                formula(1, textResult()), string(2, false, latinChars("ok")))
        << QStringList{QString::fromUtf8("t:皮a净重"), "t:ok"} << false;
    QTest::newRow("formula text cut short")
        << join(formula(0, textResult()), string(6, false, latinChars("ab")),
                continued(false, latinChars("cd")), number(1, 3))
        << QStringList{"", "n:3"} << true;
}

// A cell reads the same for the viewer, the store's reader and the editor: a NaN or an
// infinity is an empty cell (never a damaged file, so that a file someone edited elsewhere
// stays usable), and a formula's text result is read over its STRING record's CONTINUE
// records. An edit of another cell keeps the file readable.
void TestWorkbookEditor::oneReadingOfACell() {
    QFETCH(Bytes, cells);
    QFETCH(QStringList, values);
    QFETCH(bool, readerDamaged);
    const Bytes stream = oneSheet(cells);
    for (const biff::CellReading reading : {biff::CellReading::Store, biff::CellReading::Viewer}) {
        const biff::StreamResult read = biff::readStream(stream, reading);
        if (readerDamaged) {
            QCOMPARE(read.verdict, biff::StreamResult::Verdict::Damaged);
            continue;
        }
        QCOMPARE(read.verdict, biff::StreamResult::Verdict::Read);
        QCOMPARE(firstRow(read.book->sheet(0)), values);
    }
    Editor editor(QStringLiteral("one.xls"), stream);
    QCOMPARE((QStringList{shown(editor.cell(0, 1, 1)), shown(editor.cell(0, 1, 2))}), values);
    editor.setCell(0, 2, 1, QStringLiteral("x"));
    const biff::StreamResult edited = biff::readStream(editor.editedStream());
    if (readerDamaged)
        return;
    QCOMPARE(edited.verdict, biff::StreamResult::Verdict::Read);
    QCOMPARE(firstRow(edited.book->sheet(0)), values);
    QCOMPARE(edited.book->sheet(0).cell(2, 1), Value::text(QStringLiteral("x")));
}

struct CellSet {
    int row, column;
    Value value;
};
using CellSets = QList<CellSet>;

void TestWorkbookEditor::newCellRecords_data() {
    QTest::addColumn<CellSets>("edits");
    QTest::addColumn<QList<int>>("dimensions"); // first row, last + 1, first column, last + 1
    const QList<int> asItWas{0, 1, 0, 4};
    QTest::newRow("a cell cleared beyond the sheet") << CellSets{{9, 12, Value()}} << asItWas;
    QTest::newRow("a cleared cell beside set ones")
        << CellSets{{3, 2, Value::number(1.5)}, {7, 9, Value()}, {3, 5, Value::boolean(true)}}
        << QList<int>{0, 3, 0, 5};
    QTest::newRow("a cell cleared before the first set one")
        << CellSets{{2, 7, Value()}, {5, 2, Value::number(7)}} << QList<int>{0, 5, 0, 4};
    QTest::newRow("every kind of cell") << CellSets{{2, 1, Value::text(QStringLiteral("x"))},
                                                    {2, 2, Value::number(1e300)},
                                                    {2, 3, Value::boolean(false)},
                                                    {4, 6, Value::number(-3)}}
                                        << QList<int>{0, 4, 0, 6};
}

// The records of new cells, each of its kind's exact size, and DIMENSIONS widened by the cells
// that hold a value, never by one that was cleared.
void TestWorkbookEditor::newCellRecords() {
    QFETCH(CellSets, edits);
    QFETCH(QList<int>, dimensions);
    Editor editor(QStringLiteral("one.xls"), oneSheet(number(0, 1)));
    for (const CellSet& e : edits)
        editor.setValue(0, e.row, e.column, e.value);
    const Bytes s = editor.editedStream();
    const auto le16 = [&](std::size_t at) { return qFromLittleEndian<std::uint16_t>(&s[at]); };
    const std::map<int, int> sizes{{0x00FD, 10}, {0x027E, 10}, {0x0203, 14}, {0x0205, 8}};
    QList<int> found;
    for (std::size_t at = 0; at + 4 <= s.size(); at += 4 + le16(at + 2)) {
        if (const auto size = sizes.find(le16(at)); size != sizes.end())
            QCOMPARE(int(le16(at + 2)), size->second);
        if (le16(at) == 0x0200)
            found = {int(qFromLittleEndian<std::uint32_t>(&s[at + 4])),
                     int(qFromLittleEndian<std::uint32_t>(&s[at + 8])), le16(at + 12),
                     le16(at + 14)};
    }
    QCOMPARE(found, dimensions);
    const biff::StreamResult read = biff::readStream(s);
    QCOMPARE(read.verdict, biff::StreamResult::Verdict::Read);
    for (const CellSet& e : edits)
        QCOMPARE(read.book->sheet(0).cell(e.row, e.column), e.value);
}

void TestWorkbookEditor::refusalsNameFileAndSheet_data() {
    QTest::addColumn<QByteArray>("sheetName");
    QTest::addColumn<QString>("reason");
    QTest::newRow("a named sheet") << QByteArray("S") << QString::fromUtf8("工作表“S”没有范围记录");
    QTest::newRow("a sheet without a name")
        << QByteArray() << QString::fromUtf8("第 1 个工作表没有范围记录");
}

// A refusal names the file, and a sheet by its number where it has no name: an empty sheet
// without DIMENSIONS, which the editor cannot give new rows, and globals refused on opening.
void TestWorkbookEditor::refusalsNameFileAndSheet() {
    QFETCH(QByteArray, sheetName);
    QFETCH(QString, reason);
    const QString name = QStringLiteral("plain.xls");
    Editor editor(name, oneSheet({}, sheetName.constData(), false));
    QVERIFY(editor.sheetInfo(0).name == QString::fromLatin1(sheetName));
    editor.setCell(0, 1, 1, QStringLiteral("x"));
    try {
        editor.editedStream();
        QFAIL("the editor gave rows to a sheet without DIMENSIONS");
    } catch (const Error& e) {
        QCOMPARE(e.kind(), Error::Kind::Unkeepable);
        QCOMPARE(e.file(), name);
        QCOMPARE(e.reason(), reason);
    }
    // Refused on opening: globals of an older version.
    std::vector<std::uint8_t> older = oneSheet(number(0, 1), sheetName.constData());
    older[5] = 0x05;
    try {
        Editor refused(name, older);
        QFAIL("the editor took globals of an older version");
    } catch (const Error& e) {
        QCOMPARE(e.kind(), Error::Kind::Unkeepable);
        QCOMPARE(e.file(), name);
    }
}

void TestWorkbookEditor::appendAfterAFullTable_data() {
    QTest::addColumn<int>("left"); // data bytes left in the table's record
    for (const int left : {0, 1, 2, 3, 4, 5})
        QTest::newRow(qPrintable(QStringLiteral("%1 bytes left").arg(left))) << left;
}

// New strings after a table whose record is full or nearly so: a string's header never split,
// characters going on in a new CONTINUE after a flags byte of their own, 8-bit and 16-bit
// strings, one longer than a record. Every record stays within its limit, and the edited
// table reads back and takes more strings in a second edit.
void TestWorkbookEditor::appendAfterAFullTable() {
    QFETCH(int, left);
    Book book;
    book.addSheet(QStringLiteral("S")).setText(1, 1, QString(8213 - left, u'x'));
    const Bytes stream = biff::workbookStream(book);
    const auto records = [](const Bytes& s) {
        std::vector<std::pair<std::uint16_t, std::uint16_t>> out; // type, size
        for (std::size_t at = 0; at + 4 <= s.size();) {
            out.emplace_back(qFromLittleEndian<std::uint16_t>(&s[at]),
                             qFromLittleEndian<std::uint16_t>(&s[at + 2]));
            at += 4 + out.back().second;
        }
        return out;
    };
    const auto before = records(stream);
    const auto sst =
        std::ranges::find(before, std::uint16_t(0x00FC), [](const auto& r) { return r.first; });
    QVERIFY(sst != before.end());
    QCOMPARE(int(sst->second), 8224 - left);
    QVERIFY(std::next(sst)->first != 0x003C);

    const QStringList texts{QStringLiteral("ab"), QString::fromUtf8("毛重"),
                            QString(9000, QChar(0x4E00)), QString(5000, u'y')};
    Editor editor(QStringLiteral("full.xls"), stream);
    for (qsizetype k = 0; k < texts.size(); ++k)
        editor.setCell(0, 1, int(k) + 2, texts[k]);
    const Bytes edited = editor.editedStream();
    for (const auto& [type, size] : records(edited))
        QVERIFY2(size <= 8224,
                 qPrintable(QStringLiteral("record %1 of %2 bytes").arg(type).arg(size)));
    const biff::StreamResult read = biff::readStream(edited);
    QCOMPARE(read.verdict, biff::StreamResult::Verdict::Read);
    QCOMPARE(read.book->sheet(0).cell(1, 1), Value::text(QString(8213 - left, u'x')));
    for (qsizetype k = 0; k < texts.size(); ++k)
        QCOMPARE(read.book->sheet(0).cell(1, int(k) + 2), Value::text(texts[k]));

    Editor again(QStringLiteral("full.xls"), edited);
    QCOMPARE(again.cell(0, 1, 4), Value::text(texts[2]));
    again.setCell(0, 2, 1, QString::fromUtf8("第二次"));
    again.setCell(0, 2, 2, texts[1]); // already in the table
    const biff::StreamResult twice = biff::readStream(again.editedStream());
    QCOMPARE(twice.verdict, biff::StreamResult::Verdict::Read);
    QCOMPARE(twice.book->sheet(0).cell(2, 1), Value::text(QString::fromUtf8("第二次")));
    QCOMPARE(twice.book->sheet(0).cell(2, 2), Value::text(texts[1]));
    QCOMPARE(twice.book->sheet(0).cell(1, 5), Value::text(texts[3]));
}

namespace {

// A shared-string table as records: each part's data bytes, the first being the SST's.
using Parts = std::vector<std::vector<std::uint8_t>>;
// A string's count, flags, then 8-bit characters.
std::vector<std::uint8_t> latin(std::uint16_t count, const char* chars, std::uint8_t flags = 0) {
    std::vector<std::uint8_t> b;
    b.push_back(std::uint8_t(count & 0xFF));
    b.push_back(std::uint8_t(count >> 8));
    b.push_back(flags);
    for (const char* c = chars; *c != 0; ++c)
        b.push_back(std::uint8_t(*c));
    return b;
}
std::vector<std::uint8_t> wide(const char16_t* chars) {
    std::vector<std::uint8_t> b;
    for (const char16_t* c = chars; *c != 0; ++c) {
        b.push_back(std::uint8_t(*c & 0xFF));
        b.push_back(std::uint8_t(*c >> 8));
    }
    return b;
}
std::vector<std::uint8_t> counts(std::uint32_t total, std::uint32_t unique) {
    std::vector<std::uint8_t> b(8);
    qToLittleEndian(total, &b[0]);
    qToLittleEndian(unique, &b[4]);
    return b;
}
template <typename... T> std::vector<std::uint8_t> cat(const T&... parts) {
    std::vector<std::uint8_t> b;
    (b.insert(b.end(), parts.begin(), parts.end()), ...);
    return b;
}

} // namespace

Q_DECLARE_METATYPE(Parts)
Q_DECLARE_METATYPE(SharedStrings::Problem)

void TestWorkbookEditor::sharedStrings_data() {
    QTest::addColumn<Parts>("parts");
    QTest::addColumn<SharedStrings::Problem>("problem");
    QTest::addColumn<QStringList>("texts");
    QTest::addColumn<QString>("sought"); // and the string find() gives for it, -1 for none
    QTest::addColumn<int>("found");
    QTest::addColumn<bool>("extraBytes"); // after the last string: refused by the editor only
    using P = SharedStrings::Problem;
    const auto flagsWide = std::vector<std::uint8_t>{1};
    QTest::newRow("8-bit and 16-bit alike")
        << Parts{cat(counts(3, 2), latin(3, "abc"), latin(3, "", 1), wide(u"abc"))} << P::None
        << QStringList{"abc", "abc"} << QStringLiteral("abc") << 0 << false;
    QTest::newRow("a string going on after CONTINUE, 16-bit there")
        << Parts{cat(counts(1, 2), latin(1, "x"), latin(6, "ab")),
                 cat(flagsWide, wide(u"毛重皮重"))}
        << P::None << QStringList{"x", QString::fromUtf8("ab毛重皮重")}
        << QString::fromUtf8("ab毛重皮重") << 1 << false;
    const auto flagsLatin = std::vector<std::uint8_t>{0};
    QTest::newRow("16-bit first, 8-bit after CONTINUE")
        << Parts{cat(counts(1, 1), latin(5, "", 1), wide(u"毛重")),
                 cat(flagsLatin, std::vector<std::uint8_t>{'a', 'b', 'c'})}
        << P::None << QStringList{QString::fromUtf8("毛重abc")} << QString::fromUtf8("毛重abc") << 0
        << false;
    QTest::newRow("over three records, the width changing each time")
        << Parts{cat(counts(2, 2), latin(5, "a", 0)), cat(flagsWide, wide(u"皮重")),
                 cat(flagsLatin, std::vector<std::uint8_t>{'b', 'c'}, latin(1, "z"))}
        << P::None << QStringList{QString::fromUtf8("a皮重bc"), "z"} << QStringLiteral("z") << 1
        << false;
    QTest::newRow("16-bit, split between two characters")
        << Parts{cat(counts(1, 1), latin(3, "", 1), wide(u"净")), cat(flagsWide, wide(u"重量"))}
        << P::None << QStringList{QString::fromUtf8("净重量")} << QString::fromUtf8("净重量") << 0
        << false;
    QTest::newRow("a string longer than its records")
        << Parts{cat(counts(1, 1), latin(4, "ab")), cat(flagsLatin, std::vector<std::uint8_t>{'c'})}
        << P::CountMismatch << QStringList{} << QString() << -1 << false;
    QTest::newRow("a string starting in CONTINUE")
        << Parts{cat(counts(2, 2), latin(2, "ab")), latin(2, "cd")} << P::None
        << QStringList{"ab", "cd"} << QStringLiteral("cd") << 1 << false;
    QTest::newRow("a formatted string not taken for a plain one")
        << Parts{cat(counts(1, 1), latin(3, "", 0x08), std::vector<std::uint8_t>{1, 0},
                     std::vector<std::uint8_t>{'a', 'b', 'c', 0, 0, 1, 0})}
        << P::None << QStringList{QString()} << QStringLiteral("abc") << -1 << false;
    QTest::newRow("a string with phonetic data, then a plain one")
        << Parts{cat(counts(2, 2), std::vector<std::uint8_t>{3, 0, 0x04, 4, 0, 0, 0},
                     std::vector<std::uint8_t>{'a', 'b', 'c', 9, 9, 9, 9}, latin(2, "de"))}
        << P::None << QStringList{"abc", "de"} << QStringLiteral("de") << 1 << false;
    QTest::newRow("an empty table")
        << Parts{counts(0, 0)} << P::None << QStringList{} << QStringLiteral("abc") << -1 << false;
    QTest::newRow("not there") << Parts{cat(counts(1, 1), latin(2, "ab"))} << P::None
                               << QStringList{"ab"} << QStringLiteral("abc") << -1 << false;
    QTest::newRow("count too large") << Parts{cat(counts(2, 2), latin(2, "ab"))} << P::CountMismatch
                                     << QStringList{} << QString() << -1 << false;
    QTest::newRow("bytes after the last string")
        << Parts{cat(counts(1, 1), latin(2, "ab")), latin(1, "c")} << P::CountMismatch
        << QStringList{} << QString() << -1 << true;
    std::vector<std::uint8_t> many = counts(300, 300); // the index holds more than a few
    for (int i = 0; i < 300; ++i) {
        const QByteArray text = "s" + QByteArray::number(i);
        many = cat(many, latin(std::uint16_t(text.size()), text.constData()));
    }
    QStringList manyTexts;
    for (int i = 0; i < 300; ++i)
        manyTexts << QStringLiteral("s%1").arg(i);
    for (const int sought : {0, 150, 298, 299})
        QTest::addRow("300 strings, string %d sought", sought)
            << Parts{many} << P::None << manyTexts << manyTexts[sought] << sought << false;
    QTest::newRow("a 16-bit character split between records")
        << Parts{cat(counts(1, 1), latin(2, "", 1), std::vector<std::uint8_t>{0x61, 0, 0x62}),
                 std::vector<std::uint8_t>{1, 0}}
        << P::CharacterSplit << QStringList{} << QString() << -1 << false;
}

// The shared-string table as the reader and the editor read it: texts across CONTINUE
// records with their fresh flags bytes, a plain string found whatever its width, a formatted
// one never taken for it, positions that point at each string, counts that lie refused.
void TestWorkbookEditor::sharedStrings() {
    QFETCH(Parts, parts);
    QFETCH(SharedStrings::Problem, problem);
    QFETCH(QStringList, texts);
    QFETCH(QString, sought);
    QFETCH(int, found);
    std::vector<std::uint8_t> stream;
    std::vector<SharedStrings::Part> records;
    for (const std::vector<std::uint8_t>& data : parts) {
        records.push_back(
            {static_cast<std::uint32_t>(stream.size()), static_cast<std::uint16_t>(data.size())});
        stream.insert(stream.end(), {0x3C, 0x00, std::uint8_t(data.size()), 0x00});
        stream.insert(stream.end(), data.begin(), data.end());
    }
    QFETCH(bool, extraBytes);
    // The reader of the cells takes bytes after the last string; the editor, which appends
    // new strings there, does not.
    SharedStrings lenient;
    QCOMPARE(lenient.read(stream, records, SharedStrings::Count::AtLeast),
             extraBytes ? SharedStrings::Problem::None : problem);
    SharedStrings table;
    QCOMPARE(table.read(stream, records), problem);
    if (problem != SharedStrings::Problem::None)
        return;
    QCOMPARE(table.size(), std::size_t(texts.size()));
    for (qsizetype i = 0; i < texts.size(); ++i) {
        if (!texts[i].isEmpty())
            QCOMPARE(table.text(std::uint32_t(i)), texts[i]);
        const std::uint32_t at = table.position(std::uint32_t(i));
        const std::uint32_t record = at - table.offsetInRecord(std::uint32_t(i));
        QVERIFY(std::ranges::any_of(records, [&](const auto& r) { return r.pos == record; }));
    }
    const std::optional<std::uint32_t> hit = table.find(sought);
    QCOMPARE(hit ? int(*hit) : -1, found);
    // The editor's table, hashed as it is read, finds the same; a string with formatting or
    // phonetic data never.
    SharedStrings hashed;
    QCOMPARE(hashed.read(stream, records, SharedStrings::Count::Exact, SharedStrings::Finding::Now),
             problem);
    const std::optional<std::uint32_t> hashedHit = hashed.find(sought);
    QCOMPARE(hashedHit ? int(*hashedHit) : -1, found);
    QCOMPARE(hashed.find(QStringLiteral("abc")), table.find(QStringLiteral("abc")));
}

void TestWorkbookEditor::textsByNumber_data() {
    QTest::addColumn<QStringList>("inTable");  // the file's shared strings
    QTest::addColumn<QStringList>("before");   // set one by one first
    QTest::addColumn<QStringList>("distinct"); // then handed over by textNumbers()
    QTest::newRow("into an editor without texts")
        << QStringList{} << QStringList{}
        << QStringList{QString::fromUtf8("毛重"), QString::fromUtf8("皮重"), "a"};
    QTest::newRow("after texts set one by one, one of them again")
        << QStringList{} << QStringList{QString::fromUtf8("皮重"), "b"}
        << QStringList{QString::fromUtf8("毛重"), QString::fromUtf8("皮重"), "a"};
    // Enough to be sought on a helper thread, some in the file's table and most not.
    QStringList table, many;
    for (int i = 0; i < 1400; ++i)
        (i < 600 ? table : many) << QStringLiteral("t%1").arg(i);
    many << table.mid(300);
    QTest::newRow("many, into a file with shared strings") << table << QStringList{} << many;
}

// Texts handed over once and their rows set with the texts by number make the same stream as
// the cells set one by one, in a fresh editor or one that holds texts; a row with a number no
// text has or a cell past the last column is refused whole, a text too long too.
void TestWorkbookEditor::textsByNumber() {
    QFETCH(QStringList, inTable);
    QFETCH(QStringList, before);
    QFETCH(QStringList, distinct);
    Book book;
    Sheet& sheet = book.addSheet(QStringLiteral("Sheet1"));
    for (int i = 0; i < inTable.size(); ++i)
        sheet.setText(i + 1, 10, inTable[i]);
    const std::vector<std::uint8_t> empty = biff::workbookStream(book);
    Editor byValue(QString(), empty);
    Editor byNumber(QString(), empty);
    int row = 1;
    for (const QString& text : before) {
        byValue.setValue(0, row, 1, Value::text(text));
        byNumber.setValue(0, row++, 1, Value::text(text));
    }
    const std::vector<QString> texts(distinct.begin(), distinct.end());
    const std::vector<std::uint32_t> numbers = byNumber.textNumbers(texts);
    QCOMPARE(numbers.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i, ++row) {
        QCOMPARE(byNumber.textNumber(texts[i]), numbers[i]);
        // The second cell reuses its string; the row goes on with a number and an emptied cell.
        for (int column = 2; column <= 3; ++column)
            byValue.setValue(0, row, column, Value::text(texts[i]));
        byValue.setValue(0, row, 4, Value::number(row));
        byValue.setValue(0, row, 5, {});
        using Cell = Editor::RowCell;
        const Cell cells[] = {{Cell::Kind::Text, numbers[i], 0},
                              {Cell::Kind::Text, numbers[i], 0},
                              {Cell::Kind::Number, 0, double(row)},
                              {}};
        byNumber.setRow(0, row, 2, cells);
        QCOMPARE(byNumber.cell(0, row, 3), Value::text(texts[i]));
    }
    QVERIFY(byNumber.editedStream() == byValue.editedStream());

    const auto refused = [](Error::Kind kind, const std::function<void()>& work) {
        try {
            work();
        } catch (const Error& e) {
            return e.kind() == kind && !e.reason().isEmpty();
        }
        return false;
    };
    const auto unknown = static_cast<std::uint32_t>(byNumber.textNumber(QStringLiteral("z")) + 1);
    // A row refused sets none of its cells.
    const Editor::RowCell badRow[] = {{Editor::RowCell::Kind::Number, 0, 7},
                                      {Editor::RowCell::Kind::Text, unknown, 0}};
    QVERIFY(refused(Error::Kind::InvalidUse, [&] { byNumber.setRow(0, row, 4, badRow); }));
    const Editor::RowCell twoNumbers[] = {{Editor::RowCell::Kind::Number, 0, 7},
                                          {Editor::RowCell::Kind::Number, 0, 8}};
    QVERIFY(
        refused(Error::Kind::InvalidUse, [&] { byNumber.setRow(0, row, MaxColumns, twoNumbers); }));
    QCOMPARE(byNumber.cell(0, row, 4), Value());
    QCOMPARE(byNumber.cell(0, row, MaxColumns), Value());
    Editor fresh(QString(), empty);
    QVERIFY(refused(Error::Kind::FormatLimit, [&] {
        (void)fresh.textNumbers({QStringLiteral("a"), QString(MaxTextLength + 1, u'x')});
    }));
    const Editor::RowCell firstText[] = {{Editor::RowCell::Kind::Text, 0, 0}};
    QVERIFY(refused(Error::Kind::InvalidUse, [&] { fresh.setRow(0, 1, 1, firstText); }));
}

void TestWorkbookEditor::lastEditOfACellCounts_data() {
    QTest::addColumn<QList<QPoint>>("edits"); // (row, value) of a cell in column B, as made
    QTest::newRow("twice running") << QList<QPoint>{{1, 1}, {2, 1}, {2, 2}, {3, 1}};
    QTest::newRow("again after others") << QList<QPoint>{{1, 1}, {2, 1}, {3, 1}, {2, 2}};
    QTest::newRow("out of order, twice") << QList<QPoint>{{3, 1}, {1, 1}, {3, 2}, {2, 1}};
}

// Of several edits of one cell the last counts, wherever they come in the order made: the
// stream is the one of the last edits alone.
void TestWorkbookEditor::lastEditOfACellCounts() {
    QFETCH(QList<QPoint>, edits);
    Book book;
    book.addSheet(QStringLiteral("Sheet1"));
    const std::vector<std::uint8_t> stream = biff::workbookStream(book);
    Editor all(QString(), stream);
    Editor last(QString(), stream);
    std::map<int, int> final;
    for (const QPoint& e : edits) {
        all.setValue(0, e.x(), 2, Value::number(e.y()));
        final[e.x()] = e.y();
    }
    for (const auto& [row, value] : final)
        last.setValue(0, row, 2, Value::number(value));
    QVERIFY(all.editedStream() == last.editedStream());
}

// A sheet record of the largest size a record has is kept, and the sheet edited around it.
void TestWorkbookEditor::fullSizeRecordKept() {
    std::vector<std::uint8_t> stream = workbookStream(ownDay(m_dir.path(), 3));
    std::vector<std::uint8_t> big(4 + biff::MaxRecordData, 0x5A);
    qToLittleEndian<std::uint16_t>(0x1234, big.data()); // a type the editor does not know
    qToLittleEndian<std::uint16_t>(biff::MaxRecordData, big.data() + 2);
    stream.insert(stream.end() - 4, big.begin(), big.end()); // before the sheet's EOF
    Editor editor(QStringLiteral("big.xls"), stream);
    editor.setCell(0, 5, 1, QStringLiteral(" 4"));
    const std::vector<std::uint8_t> edited = editor.editedStream();
    QVERIFY(std::search(edited.begin(), edited.end(), big.begin(), big.end()) != edited.end());
    QCOMPARE(Editor(QStringLiteral("big.xls"), edited).cell(0, 5, 1), Value::number(4));
}

// A chart sheet takes no cell, however often it is asked to.
void TestWorkbookEditor::cellsOfAChartRefused() {
    std::vector<std::uint8_t> stream = workbookStream(ownDay(m_dir.path(), 3));
    std::size_t pos = 0; // the BOUNDSHEET record: its sheet type made a chart's,
    while (qFromLittleEndian<std::uint16_t>(&stream[pos]) != 0x0085)
        pos += 4 + qFromLittleEndian<std::uint16_t>(&stream[pos + 2]);
    stream[pos + 4 + 5] = 0x02;
    const std::uint32_t bof = qFromLittleEndian<std::uint32_t>(&stream[pos + 4]);
    qToLittleEndian<std::uint16_t>(0x0020, &stream[bof + 4 + 2]); // and its BOF a chart's
    Editor editor(QStringLiteral("chart.xls"), stream);
    QCOMPARE(editor.sheetInfo(0).kind, Editor::SheetKind::Chart);
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            editor.setCell(0, 2, 1, QStringLiteral("x"));
            QFAIL("a chart sheet took a cell");
        } catch (const Error& e) {
            QCOMPARE(e.kind(), Error::Kind::InvalidUse);
        }
    }
}

QTEST_GUILESS_MAIN(TestWorkbookEditor)
#include "tst_workbook_editor.moc"
