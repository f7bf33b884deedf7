// The record-level editor: a file opened and saved unchanged keeps every byte; the store's
// edits (H1 replaced, rows appended, texts into the shared strings, a spill sheet) read back
// as the value-level model predicts, by our reader and by xlrd, in files of our own writer,
// xlwt and LibreOffice; other streams kept byte for byte; records that lie refused with the
// file untouched.

#include "support/compound_tree.h"
#include "workbook/compound_file.h"
#include "workbook/editor.h"
#include "workbook/file_io.h"
#include "workbook/readers.h"
#include "workbook/shared_strings.h"
#include "xls_test_support.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <functional>

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
    void spillSheet();
    void foreignFilesKeepEverything_data();
    void foreignFilesKeepEverything();
    void lyingRecords_data();
    void lyingRecords();
    void compoundFileKeptWhole_data() { files_data(); }
    void compoundFileKeptWhole();
    void lyingCompoundFiles_data();
    void lyingCompoundFiles();
    void editorReadsAsTheViewer_data();
    void editorReadsAsTheViewer();
    void sharedStrings_data();
    void sharedStrings();

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

void TestWorkbookEditor::editorReadsAsTheViewer_data() {
    QTest::addColumn<FileMaker>("make");
    QTest::addColumn<QString>("a1"); // A1 and H1 as both read them, "" when not checked
    QTest::addColumn<QString>("h1");
    QTest::newRow("xlwt, a dated first row")
        << FileMaker([](const QString& f) { return xlwtFile(f, QStringLiteral("dated.xls")); })
        << QStringLiteral("2026-12-07") << QStringLiteral("2026-12-07 12:00:00");
    QTest::newRow("xlwt values") << FileMaker([](const QString& f) {
        return xlwtFile(f, QStringLiteral("values.xls"));
    }) << QString() << QString();
    QTest::newRow("LibreOffice mixed")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_mixed.xls")); })
        << QString() << QString();
    QTest::newRow("LibreOffice rich")
        << FileMaker([](const QString& f) { return copied(f, QStringLiteral("lo_rich.xls")); })
        << QString() << QString();
    QTest::newRow("Gnumeric rich") << FileMaker([](const QString& f) {
        return copied(f, QStringLiteral("gnumeric_rich.xls"));
    }) << QString() << QString();
    QTest::newRow("own") << FileMaker([](const QString& f) { return ownDay(f, 40); }) << QString()
                         << QString();
}

// The store reads the cells it asks about as the viewer does: every cell of every worksheet
// the reader shows, date- and time-formatted numbers as their dates and times.
void TestWorkbookEditor::editorReadsAsTheViewer() {
    QFETCH(FileMaker, make);
    QFETCH(QString, a1);
    QFETCH(QString, h1);
    const QString path = make(m_dir.path());
    QVERIFY(!path.isEmpty());
    const Book viewed = readBook(path);
    const Editor editor(path);
    for (int i = 0; i < viewed.sheetCount(); ++i) {
        const Sheet& sheet = viewed.sheet(i);
        const int index = editor.indexOf(sheet.name());
        QVERIFY(index >= 0);
        for (int r = 1; r <= sheet.rowCount(); ++r)
            for (int c = 1; c <= sheet.columnCount(); ++c)
                QVERIFY2(editor.cell(index, r, c) == sheet.cell(r, c),
                         qPrintable(QStringLiteral("%1 row %2 column %3: \"%4\" instead of \"%5\"")
                                        .arg(sheet.name())
                                        .arg(r)
                                        .arg(c)
                                        .arg(editor.cell(index, r, c).toString(),
                                             sheet.cell(r, c).toString())));
    }
    if (!a1.isEmpty()) {
        QCOMPARE(editor.cell(0, 1, 1), Value::text(a1));
        QCOMPARE(editor.cell(0, 1, 8), Value::text(h1));
        QCOMPARE(editor.cell(0, 2, 8), Value::number(46363.5));
    }
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
    using P = SharedStrings::Problem;
    const auto flagsWide = std::vector<std::uint8_t>{1};
    QTest::newRow("8-bit and 16-bit alike")
        << Parts{cat(counts(3, 2), latin(3, "abc"), latin(3, "", 1), wide(u"abc"))} << P::None
        << QStringList{"abc", "abc"} << QStringLiteral("abc") << 0;
    QTest::newRow("a string going on after CONTINUE, 16-bit there")
        << Parts{cat(counts(1, 2), latin(1, "x"), latin(6, "ab")),
                 cat(flagsWide, wide(u"毛重皮重"))}
        << P::None << QStringList{"x", QString::fromUtf8("ab毛重皮重")}
        << QString::fromUtf8("ab毛重皮重") << 1;
    QTest::newRow("a string starting in CONTINUE")
        << Parts{cat(counts(2, 2), latin(2, "ab")), latin(2, "cd")} << P::None
        << QStringList{"ab", "cd"} << QStringLiteral("cd") << 1;
    QTest::newRow("a formatted string not taken for a plain one")
        << Parts{cat(counts(1, 1), latin(3, "", 0x08), std::vector<std::uint8_t>{1, 0},
                     std::vector<std::uint8_t>{'a', 'b', 'c', 0, 0, 1, 0})}
        << P::None << QStringList{QString()} << QStringLiteral("abc") << -1;
    QTest::newRow("not there") << Parts{cat(counts(1, 1), latin(2, "ab"))} << P::None
                               << QStringList{"ab"} << QStringLiteral("abc") << -1;
    QTest::newRow("count too large") << Parts{cat(counts(2, 2), latin(2, "ab"))} << P::CountMismatch
                                     << QStringList{} << QString() << -1;
    QTest::newRow("bytes after the last string")
        << Parts{cat(counts(1, 1), latin(2, "ab")), latin(1, "c")} << P::CountMismatch
        << QStringList{} << QString() << -1;
    QTest::newRow("a 16-bit character split between records")
        << Parts{cat(counts(1, 1), latin(2, "", 1), std::vector<std::uint8_t>{0x61, 0, 0x62}),
                 std::vector<std::uint8_t>{1, 0}}
        << P::CharacterSplit << QStringList{} << QString() << -1;
}

// The editor's shared-string table: texts across CONTINUE records with their fresh flags
// bytes, a plain string found whatever its width, a formatted one never taken for it,
// positions that point at each string, counts that lie refused.
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
}

QTEST_GUILESS_MAIN(TestWorkbookEditor)
#include "tst_workbook_editor.moc"
