// The record-level editor: a file opened and saved unchanged keeps every byte; the store's
// edits (H1 replaced, rows appended, texts into the shared strings, a spill sheet) read back
// as the value-level model predicts, by our reader and by xlrd, in files of our own writer,
// xlwt and LibreOffice; other streams kept byte for byte; records that lie refused with the
// file untouched.

#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "xls_test_support.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <functional>

using namespace workbook;
using FileMaker = std::function<QString(const QString& folder)>;
Q_DECLARE_METATYPE(FileMaker)

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
    void spillSheet();
    void foreignFilesKeepEverything_data();
    void foreignFilesKeepEverything();
    void lyingRecords_data();
    void lyingRecords();

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
    const detail::CompoundTree treeBefore = detail::readCompoundTree(path);
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

    const detail::CompoundTree treeAfter = detail::readCompoundTree(path);
    QCOMPARE(treeAfter.root.children.size(), treeBefore.root.children.size());
    QVERIFY(treeAfter.root.classId == treeBefore.root.classId);
    for (std::size_t i = 0; i < treeBefore.root.children.size(); ++i) {
        const detail::CompoundEntry& x = treeBefore.root.children[i];
        const detail::CompoundEntry& y = treeAfter.root.children[i];
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
    const detail::CompoundTree treeBefore = detail::readCompoundTree(path);
    Editor editor(path);
    QVERIFY(editor.editedStream() == before);
    editor.save();
    QVERIFY(workbookStream(path) == before);
    const detail::CompoundTree treeAfter = detail::readCompoundTree(path);
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

void TestWorkbookEditor::lyingRecords_data() {
    using Lie = std::function<void(std::vector<std::uint8_t>&)>;
    QTest::addColumn<Lie>("lie");
    // Positions in our own three-row day file: the globals, then the one sheet.
    auto find = [](const std::vector<std::uint8_t>& s, std::uint16_t type, int nth = 0) {
        std::size_t pos = 0;
        while (pos + 4 <= s.size()) {
            const std::uint16_t t = qFromLittleEndian<std::uint16_t>(&s[pos]);
            if (t == type && nth-- == 0)
                return pos;
            pos += 4 + qFromLittleEndian<std::uint16_t>(&s[pos + 2]);
        }
        return std::size_t(0);
    };
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

QTEST_GUILESS_MAIN(TestWorkbookEditor)
#include "tst_workbook_editor.moc"
